#include "LoopbackServer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#include <bcrypt.h>
#else
#include <openssl/sha.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

namespace servicetests {

namespace {

std::vector<std::string> readLines(const std::string& path) {
    std::vector<std::string> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

// The interpreter: KESTRUP_TEST_PYTHON, else the distribution's, else PATH's.
std::string pythonInterpreter() {
    if (const char* chosen = std::getenv("KESTRUP_TEST_PYTHON")) return chosen;
#ifdef _WIN32
    return "python.exe";
#else
    return ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
#endif
}

// A path as the server sees it. Under Wine the server is a Linux program, for
// which the drive KESTRUP_TEST_UNIX_DRIVE ("Z:") is the file system's root.
std::string serverPath(const std::string& path) {
    const char* drive = std::getenv("KESTRUP_TEST_UNIX_DRIVE");
    if (drive && *drive && path.compare(0, std::strlen(drive), drive) == 0) return path.substr(std::strlen(drive));
    return path;
}

#ifdef _WIN32
std::wstring quotedArgument(const std::string& text) { return L"\"" + std::wstring(text.begin(), text.end()) + L"\""; }
#endif

}  // namespace

LoopbackServer::LoopbackServer(const std::string& root) : m_root(root) {
    const std::string script = std::string(KESTRUP_SERVICES_TEST_DIR) + "/loopback_server.py";
    const std::string portFile = root + "/.server-port";
    std::vector<std::string> args = {pythonInterpreter(), script, "--root", serverPath(root),
                                     "--log", serverPath(root + "/requests.log"), "--port-file", serverPath(portFile),
                                     "--stop-file", serverPath(root + "/.server-stop")};
#ifdef _WIN32
    std::wstring commandLine;
    for (const std::string& arg : args) commandLine += (commandLine.empty() ? L"" : L" ") + quotedArgument(arg);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    const std::wstring program(args[0].begin(), args[0].end());
    if (!::CreateProcessW(program.c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                          &process)) {
        m_error = "cannot start " + args[0] + ": error " + std::to_string(::GetLastError());
        return;
    }
    // A Linux program started from Wine has no usable handle; it ends on the stop file.
    if (process.hProcess) ::CloseHandle(process.hProcess);
    if (process.hThread) ::CloseHandle(process.hThread);
    m_running = true;
#else
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    const int spawned = ::posix_spawnp(&m_pid, args[0].c_str(), nullptr, nullptr, argv.data(), environ);
    if (spawned != 0) {
        m_pid = -1;
        m_error = "cannot start " + args[0] + ": " + std::strerror(spawned);
        return;
    }
    m_running = true;
#endif

    // The port file holds "PORT <n>"; give the interpreter up to 20 s to get there.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    std::vector<std::string> lines;
    while ((lines = readLines(portFile)).empty() && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const std::string output = lines.empty() ? std::string() : lines.front();
    if (output.compare(0, 5, "PORT ") == 0) m_port = std::atoi(output.c_str() + 5);
    if (m_port <= 0) m_error = "the server did not report its port: '" + output + "'";
}

LoopbackServer::~LoopbackServer() {
    if (!m_running) return;
    std::ofstream(m_root + "/.server-stop") << "stop\n";
#ifndef _WIN32
    ::kill(m_pid, SIGTERM);
    for (int i = 0; i < 50; ++i) {
        if (::waitpid(m_pid, nullptr, WNOHANG) == m_pid) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ::kill(m_pid, SIGKILL);
    ::waitpid(m_pid, nullptr, 0);
#endif
}

std::string LoopbackServer::url(const std::string& path) const {
    return "http://127.0.0.1:" + std::to_string(m_port) + path;
}

std::vector<std::string> LoopbackServer::requests() const { return readLines(m_root + "/requests.log"); }

std::vector<std::string> LoopbackServer::reports() const { return readLines(m_root + "/reports.log"); }

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
    unsigned char digest[32];
#ifdef _WIN32
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    ::BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0);
    ::BCryptHash(algorithm, nullptr, 0, reinterpret_cast<PUCHAR>(const_cast<char*>(data.data())),
                 static_cast<ULONG>(data.size()), digest, sizeof digest);
    ::BCryptCloseAlgorithmProvider(algorithm, 0);
#else
    SHA256(reinterpret_cast<const unsigned char*>(data.data()), data.size(), digest);
#endif
    char text[2 * sizeof digest + 1];
    for (std::size_t i = 0; i < sizeof digest; ++i) std::snprintf(text + 2 * i, 3, "%02x", digest[i]);
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
