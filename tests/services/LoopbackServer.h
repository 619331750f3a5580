#pragma once
// Runs loopback_server.py (Python's http.server on 127.0.0.1, ephemeral port) as a
// child process for the duration of a test. On Windows the interpreter is
// KESTRUP_TEST_PYTHON (under Wine the build machine's own python3).
#include <string>
#include <sys/types.h>
#include <vector>

#include "support/TestSupport.h"

namespace servicetests {

class LoopbackServer {
public:
    // Serves the files of `root`; the request log goes to `root`/requests.log.
    explicit LoopbackServer(const std::string& root);
    // Terminates the server and waits for it.
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    bool started() const { return m_port > 0; }
    const std::string& startError() const { return m_error; }
    int port() const { return m_port; }
    // "http://127.0.0.1:<port>" + path.
    std::string url(const std::string& path) const;
    // One line per request so far: "GET /files/a range=bytes=10-".
    std::vector<std::string> requests() const;
    // The bodies POSTed to /report, one per line.
    std::vector<std::string> reports() const;

private:
    // Starts the interpreter on `serverArgs`; false with m_error when it cannot.
    bool spawn(std::vector<std::string> serverArgs);

    std::string m_root;
#ifdef _WIN32
    void* m_process = nullptr;  // HANDLE; none for a Linux program started by Wine
    bool m_running = false;
#else
    pid_t m_pid = -1;
#endif
    int m_port = 0;
    std::string m_error;
};

#ifndef _WIN32
// Starts `args` (looked up in PATH) with stdout on `stdoutFd` (-1: inherited) and,
// when `quiet`, stderr on /dev/null; the child's pid, or -1 with `error`.
pid_t spawnChild(std::vector<std::string> args, int stdoutFd, std::string& error, bool quiet = false);
// SIGTERM, then SIGKILL after 2.5 s; reaps the child. Nothing for pid <= 0.
void endChild(pid_t pid);
// Runs `args` to its end, output discarded; false with `error` unless it exits 0.
bool runCommand(const std::vector<std::string>& args, std::string& error);
#endif

// The lines of a text file; none when it cannot be read.
std::vector<std::string> readLines(const std::string& path);
using testsupport::readFile;
using testsupport::writeFile;
// `size` bytes of varied content (a fixed pseudo-random sequence for `seed`).
std::string patternBytes(std::size_t size, unsigned seed = 1);
// SHA-256 hex of `data` (OpenSSL one-shot; independent of the service's hasher).
std::string sha256Hex(const std::string& data);
// True when only the owner may read and write the file (mode 0600). Windows has no
// file modes (a file takes its folder's access list): there, any regular file.
bool isOwnerOnly(const std::string& path);
// The file URL of an absolute path.
std::string fileUrl(const std::string& path);
// Names of the entries of a folder, sorted; "." and ".." left out.
std::vector<std::string> folderEntries(const std::string& path);

}  // namespace servicetests
