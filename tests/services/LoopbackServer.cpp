#include "LoopbackServer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include <fcntl.h>
#include <openssl/sha.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace servicetests {

namespace {

std::string pythonInterpreter() {
    // The distribution's interpreter, which the install script provides; else PATH.
    return ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}

}  // namespace

LoopbackServer::LoopbackServer(const std::string& root) : m_root(root) {
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
        m_error = "pipe failed";
        return;
    }
    const std::string script = std::string(KESTRUP_SERVICES_TEST_DIR) + "/loopback_server.py";
    const std::string log = root + "/requests.log";
    const std::string python = pythonInterpreter();
    m_pid = spawnChild({python, script, "--root", root, "--log", log}, pipeFds[1], m_error);
    ::close(pipeFds[1]);
    if (m_pid <= 0) {
        ::close(pipeFds[0]);
        return;
    }

    // The first line is "PORT <n>"; give the interpreter up to 20 s to get there.
    std::string output;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (output.find('\n') == std::string::npos && std::chrono::steady_clock::now() < deadline) {
        struct pollfd descriptor = {pipeFds[0], POLLIN, 0};
        if (::poll(&descriptor, 1, 200) <= 0) continue;
        char buffer[128];
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n <= 0) break;
        output.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipeFds[0]);
    if (output.compare(0, 5, "PORT ") == 0) m_port = std::atoi(output.c_str() + 5);
    if (m_port <= 0) m_error = "the server did not report its port: '" + output + "'";
}

LoopbackServer::~LoopbackServer() { endChild(m_pid); }

pid_t spawnChild(std::vector<std::string> args, int stdoutFd, std::string& error, bool quiet) {
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (stdoutFd >= 0) posix_spawn_file_actions_adddup2(&actions, stdoutFd, STDOUT_FILENO);
    // A child that outlives a crashed test must not hold the test's output open.
    if (quiet) posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (spawned == 0) return pid;
    error = "cannot start " + args[0] + ": " + std::strerror(spawned);
    return -1;
}

void endChild(pid_t pid) {
    if (pid <= 0) return;
    ::kill(pid, SIGTERM);
    for (int i = 0; i < 50; ++i) {
        if (::waitpid(pid, nullptr, WNOHANG) == pid) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
}

bool runCommand(const std::vector<std::string>& args, std::string& error) {
    const int devNull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
    const pid_t pid = spawnChild(args, devNull, error, true);
    if (devNull >= 0) ::close(devNull);
    int status = 0;
    if (pid <= 0 || ::waitpid(pid, &status, 0) != pid) return false;
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return true;
    error = args[0] + " " + args[1] + " failed";
    return false;
}

std::string LoopbackServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

std::vector<std::string> LoopbackServer::requests() const { return readLines(m_root + "/requests.log"); }

std::vector<std::string> LoopbackServer::reports() const { return readLines(m_root + "/reports.log"); }

std::vector<std::string> readLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

bool writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
    return static_cast<bool>(out);
}

std::string patternBytes(std::size_t size, unsigned seed) {
    std::string data(size, '\0');
    uint32_t state = 2463534242u ^ seed;
    for (std::size_t i = 0; i < size; ++i) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        data[i] = static_cast<char>(state & 0xff);
    }
    return data;
}

std::string sha256Hex(const std::string& data) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
    char text[2 * SHA256_DIGEST_LENGTH + 1];
    for (int i = 0; i < SHA256_DIGEST_LENGTH; ++i) std::snprintf(text + 2 * i, 3, "%02x", digest[i]);
    return text;
}

std::string fileUrl(const std::string& path) {
#ifdef _WIN32
    return "file:///" + path;  // "C:/..." gives file:///C:/...
#else
    return "file://" + path;
#endif
}

std::vector<std::string> folderEntries(const std::string& path) {
    std::vector<std::string> names;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(path, error)) {
        names.push_back(entry.path().filename().string());
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace servicetests
