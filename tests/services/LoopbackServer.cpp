#include "LoopbackServer.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#include <bcrypt.h>
#else
#include <fcntl.h>
#include <openssl/sha.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;
#endif

namespace servicetests {

namespace {

#ifdef _WIN32

// KESTRUP_TEST_PYTHON (under Wine the build machine's own python3), else PATH's.
std::string pythonInterpreter() {
    const char* chosen = std::getenv("KESTRUP_TEST_PYTHON");
    return chosen && *chosen ? chosen : "python.exe";
}

// A path as the server sees it. Under Wine the server is a Linux program, for which
// the drive KESTRUP_TEST_UNIX_DRIVE ("Z:") is the file system's root.
std::string serverPath(const std::string& path) {
    const char* drive = std::getenv("KESTRUP_TEST_UNIX_DRIVE");
    const std::size_t length = drive ? std::strlen(drive) : 0;
    if (length > 0 && path.compare(0, length, drive) == 0) return path.substr(length);
    return path;
}

std::wstring wide(const std::string& utf8) { return std::filesystem::u8path(utf8).wstring(); }

#else

std::string pythonInterpreter() {
    // The distribution's interpreter, which the install script provides; else PATH.
    return ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}

#endif

}  // namespace

#ifdef _WIN32

// The server cannot be signalled here: it ends when the stop file appears (or is
// terminated, when Windows gave us a handle for it).
bool LoopbackServer::spawn(std::vector<std::string> serverArgs) {
    std::vector<std::string> args = {pythonInterpreter()};
    for (std::size_t i = 0; i < serverArgs.size(); ++i) args.push_back(i % 2 ? serverArgs[i] : serverPath(serverArgs[i]));
    args.push_back("--stop-file");
    args.push_back(serverPath(m_root + "/.server-stop"));
    std::wstring commandLine;
    for (const std::string& arg : args) commandLine += (commandLine.empty() ? L"\"" : L" \"") + wide(arg) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!::CreateProcessW(wide(args[0]).c_str(), &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                          &startup, &process)) {
        m_error = "cannot start " + args[0] + ": error " + std::to_string(::GetLastError());
        return false;
    }
    if (process.hThread) ::CloseHandle(process.hThread);
    m_process = process.hProcess;
    m_running = true;
    return true;
}

LoopbackServer::~LoopbackServer() {
    if (!m_running) return;
    std::ofstream(m_root + "/.server-stop") << "stop\n";
    if (!m_process) return;  // a Linux program started by Wine: it goes on the stop file
    const HANDLE process = static_cast<HANDLE>(m_process);
    if (::WaitForSingleObject(process, 2500) != WAIT_OBJECT_0) {
        ::TerminateProcess(process, 1);
        ::WaitForSingleObject(process, INFINITE);
    }
    ::CloseHandle(process);
}

#else

bool LoopbackServer::spawn(std::vector<std::string> serverArgs) {
    serverArgs.insert(serverArgs.begin(), pythonInterpreter());
    m_pid = spawnChild(serverArgs, -1, m_error);
    return m_pid > 0;
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

#endif  // _WIN32

// The server writes its port into a file; give the interpreter up to 20 s to get there.
LoopbackServer::LoopbackServer(const std::string& root) : m_root(root) {
    const std::string portFile = root + "/.server-port";
    if (!spawn({std::string(KESTRUP_SERVICES_TEST_DIR) + "/loopback_server.py", "--root", root, "--log",
                root + "/requests.log", "--port-file", portFile})) {
        return;
    }
    std::vector<std::string> lines;
    for (int i = 0; i < 1000 && (lines = readLines(portFile)).empty(); ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    const std::string output = lines.empty() ? std::string() : lines.front();
    if (output.compare(0, 5, "PORT ") == 0) m_port = std::atoi(output.c_str() + 5);
    if (m_port <= 0) m_error = "the server did not report its port: '" + output + "'";
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

bool isOwnerOnly(const std::string& path) {
    namespace fs = std::filesystem;
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
#ifdef _WIN32
    return !error && fs::is_regular_file(status);
#else
    return !error && (status.permissions() & fs::perms::all) == (fs::perms::owner_read | fs::perms::owner_write);
#endif
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
