#include "LoopbackServers.h"

#include <cstdio>
#include <cstdlib>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

namespace benchsupport {

namespace {

// A TCP socket bound to a free port of 127.0.0.1; exits the benchmark when that fails.
int boundSocket(int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        std::perror("bench server");
        std::exit(1);
    }
    port = ntohs(address.sin_port);
    return fd;
}

std::string loopbackUrl(int port, const char* path) { return "http://127.0.0.1:" + std::to_string(port) + path; }

}  // namespace

LoopbackListener::LoopbackListener() {
    m_listener = boundSocket(m_port);
    if (::listen(m_listener, 16) != 0) {
        std::perror("bench server");
        std::exit(1);
    }
}

LoopbackListener::~LoopbackListener() { ::close(m_listener); }

void LoopbackListener::startAccepting() { m_thread = std::thread([this] { acceptLoop(); }); }

void LoopbackListener::stopAccepting() {
    m_stop = true;
    if (m_thread.joinable()) m_thread.join();
}

void LoopbackListener::acceptLoop() {
    while (!m_stop) {
        struct pollfd descriptor = {m_listener, POLLIN, 0};
        if (::poll(&descriptor, 1, 100) <= 0) continue;
        const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (client >= 0) serve(client);
    }
}

FileServer::FileServer(const std::string& file) : m_file(file) { startAccepting(); }
FileServer::~FileServer() { stopAccepting(); }
std::string FileServer::url() const { return loopbackUrl(port(), "/files/big.bin"); }

void FileServer::serve(int client) {
    std::string request;
    char buffer[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
        const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
        if (n <= 0) break;
        request.append(buffer, static_cast<std::size_t>(n));
    }
    const int fd = ::open(m_file.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat info;
    if (fd >= 0 && ::fstat(fd, &info) == 0) {
        const std::string header = "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                                   std::to_string(info.st_size) + "\r\nConnection: close\r\n\r\n";
        if (::send(client, header.data(), header.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(header.size())) {
            off_t offset = 0;
            while (offset < info.st_size && !stopping()) {
                const ssize_t n = ::sendfile(client, fd, &offset, static_cast<std::size_t>(info.st_size - offset));
                if (n <= 0) break;
            }
        }
    }
    if (fd >= 0) ::close(fd);
    ::close(client);
}

StallingServer::StallingServer() { startAccepting(); }

StallingServer::~StallingServer() {
    stopAccepting();
    for (int client : m_clients) ::close(client);
}

std::string StallingServer::url() const { return loopbackUrl(port(), "/files/big.bin"); }
void StallingServer::serve(int client) { m_clients.push_back(client); }

RefusingPort::RefusingPort() { m_socket = boundSocket(m_port); }
RefusingPort::~RefusingPort() { ::close(m_socket); }
std::string RefusingPort::url() const { return loopbackUrl(m_port, "/files/big.bin"); }

}  // namespace benchsupport
