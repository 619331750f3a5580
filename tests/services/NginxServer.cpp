#include "NginxServer.h"

#include <chrono>
#include <thread>


#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "LoopbackServer.h"

namespace servicetests {

namespace {

// A port nobody listens on right now; nginx binds it a moment later.
int freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    int port = 0;
    if (fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        port = ntohs(address.sin_port);
    }
    if (fd >= 0) ::close(fd);
    return port;
}

bool accepts(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    if (fd >= 0) ::close(fd);
    return connected;
}

void replaceAll(std::string& text, const std::string& from, const std::string& to) {
    for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

}  // namespace

NginxServer::NginxServer(const std::string& folder, const std::string& root, const std::string& locations)
    : m_folder(folder), m_caFile(folder + "/ca.pem") {
    if (!makeCertificates()) return;
    m_httpPort = freeLoopbackPort();
    m_httpsPort = freeLoopbackPort();
    std::string blocks = locations;
    replaceAll(blocks, "@HTTP@", httpUrl(""));
    replaceAll(blocks, "@HTTPS@", httpsUrl(""));
    const std::string& f = m_folder;
    const std::string common = "  root " + root + ";\n" + blocks + "\n";
    const std::string config =
        "daemon off; master_process off; pid " + f + "/nginx.pid; error_log " + f + "/error.log;\n"
        "events {}\n"
        "http {\n"
        "  types { application/xml xml; application/octet-stream bin run; }\n"
        "  log_format tests '$request_method $request_uri $status range=$http_range if-range=$http_if_range "
        "enc=$sent_http_content_encoding ae=$http_accept_encoding $server_protocol';\n"
        "  access_log " + f + "/access.log tests;\n"
        "  client_body_temp_path " + f + "/tmp; proxy_temp_path " + f + "/tmp; fastcgi_temp_path " + f + "/tmp;\n"
        "  uwsgi_temp_path " + f + "/tmp; scgi_temp_path " + f + "/tmp;\n"
        "  gzip on; gzip_types application/xml; gzip_min_length 0;\n"
        "  server {\n  listen 127.0.0.1:" + std::to_string(m_httpsPort) + " ssl http2;\n"
        "  ssl_certificate " + m_caFile + "; ssl_certificate_key " + f + "/server.key;\n" + common + "  }\n"
        "  server {\n  listen 127.0.0.1:" + std::to_string(m_httpPort) + ";\n" + common + "  }\n"
        "}\n";
    if (!writeFile(f + "/nginx.conf", config) || ::mkdir((f + "/tmp").c_str(), 0700) != 0) {
        m_error = "cannot write the nginx configuration into " + f;
        return;
    }
    m_pid = spawnChild({"nginx", "-p", f, "-c", f + "/nginx.conf", "-e", f + "/error.log"}, -1, m_error, true);
    if (m_pid > 0 && !waitUntilServing()) m_error = "nginx did not start: " + readFile(f + "/error.log");
}

NginxServer::~NginxServer() { endChild(m_pid); }

// One self-signed certificate for 127.0.0.1 and localhost, which is its own CA.
bool NginxServer::makeCertificates() {
    return runCommand({"openssl", "req", "-x509", "-days", "2", "-subj", "/CN=127.0.0.1", "-newkey", "ec", "-pkeyopt",
                       "ec_paramgen_curve:prime256v1", "-nodes", "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost",
                       "-keyout", m_folder + "/server.key", "-out", m_caFile},
                      m_error);
}

bool NginxServer::waitUntilServing() {
    for (int i = 0; i < 200; ++i) {
        if (accepts(m_httpsPort) && accepts(m_httpPort)) return true;
        if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) {
            m_pid = -1;
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
}

std::string NginxServer::httpsUrl(const std::string& path) const {
    return "https://127.0.0.1:" + std::to_string(m_httpsPort) + path;
}

std::string NginxServer::httpUrl(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(m_httpPort) + path;
}

std::vector<std::string> NginxServer::requests() const { return readLines(m_folder + "/access.log"); }

}  // namespace servicetests

