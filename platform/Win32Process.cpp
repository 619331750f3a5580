// Process start and process handles of the non-Windows API subset.
#include "platform/Win32Api.h"

#if !defined(_WIN32)

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/CommandLine.h"
#include "platform/TextConversion.h"

extern char** environ;

namespace {

// --- process table -----------------------------------------------------------

int openPidfd(pid_t pid) {
#if defined(SYS_pidfd_open)
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
    (void)pid;
    errno = ENOSYS;
    return -1;
#endif
}

// One child started by ShellExecuteExW.
struct ChildProcess {
    // The pidfd is taken while the child cannot have been reaped, so it is its own.
    explicit ChildProcess(pid_t id) : pid(id), pidfd(openPidfd(id)) {}
    ~ChildProcess() {
        if (pidfd >= 0) ::close(pidfd);
    }
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // True once the child has ended (reaped or not).
    bool ended() const {
        if (pidfd >= 0) {
            struct pollfd entry = {pidfd, POLLIN, 0};
            int rc;
            do {
                rc = ::poll(&entry, 1, 0);
            } while (rc < 0 && errno == EINTR);
            return rc > 0;
        }
        siginfo_t info = {};
        const int rc = ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT);
        return rc != 0 || info.si_pid == pid;  // ECHILD: reaped already
    }

    const pid_t pid;
    const int pidfd;      // readable once the child has ended; -1 without pidfds
    bool reaped = false;  // guarded by ProcessTable::m_mutex
    int openHandles = 0;  // guarded by ProcessTable::m_mutex
};

// What a handle refers to. Shared with waits in progress, so that closing a handle
// while another thread waits on it cannot pull the pidfd from under the wait.
struct ProcessRef {
    ProcessRef(pid_t id, std::shared_ptr<ChildProcess> ownChild, int fd)
        : pid(id), child(std::move(ownChild)), pidfd(fd) {}
    ~ProcessRef() {
        if (pidfd >= 0) ::close(pidfd);
    }
    ProcessRef(const ProcessRef&) = delete;
    ProcessRef& operator=(const ProcessRef&) = delete;

    const pid_t pid;
    const std::shared_ptr<ChildProcess> child;  // null: a process we did not start
    const int pidfd;                            // another process's pidfd, or -1
};

// The object behind a HANDLE.
struct ProcessHandle {
    std::shared_ptr<ProcessRef> ref;
};

// Our unreaped children by pid and the open handles. Every member is guarded by
// m_mutex; waitpid is only ever called with WNOHANG under it, so it never blocks.
class ProcessTable {
public:
    static ProcessTable& instance() {
        // Never destroyed: handles may be closed from static destructors of others.
        static ProcessTable* table = new ProcessTable;
        return *table;
    }

    std::shared_ptr<ChildProcess> addChild(pid_t pid) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto child = std::make_shared<ChildProcess>(pid);
        m_children[pid] = child;
        return child;
    }

    // A handle to our child `pid`, or null when it is not in the table.
    HANDLE openChild(pid_t pid) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_children.find(pid);
        if (it == m_children.end()) return nullptr;
        return addHandleLocked(std::make_shared<ProcessRef>(pid, it->second, -1));
    }

    HANDLE openOther(pid_t pid, int pidfd) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return addHandleLocked(std::make_shared<ProcessRef>(pid, nullptr, pidfd));
    }

    // The handle's target; null when `handle` is not an open handle.
    std::shared_ptr<ProcessRef> lookup(HANDLE handle) {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_handles.find(static_cast<ProcessHandle*>(handle));
        return it == m_handles.end() ? nullptr : (*it)->ref;
    }

    bool close(HANDLE handle) {
        std::unique_ptr<ProcessHandle> owned;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            auto it = m_handles.find(static_cast<ProcessHandle*>(handle));
            if (it == m_handles.end()) return false;
            owned.reset(*it);
            m_handles.erase(it);
            if (const auto& child = owned->ref->child) --child->openHandles;
            reapUnheldLocked();
        }
        return true;  // `owned` (and maybe the pidfd) goes outside the lock
    }

    // True once our child has finished; reaps it if nobody has yet.
    bool childFinished(const std::shared_ptr<ChildProcess>& child) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return tryReapLocked(child);
    }

    // Reaps finished children that no handle refers to.
    void reapUnheld() {
        std::lock_guard<std::mutex> lock(m_mutex);
        reapUnheldLocked();
    }

    // Reaps our ended child unless a handle still refers to it (the last
    // CloseHandle, or a wait, reaps it then).
    void reapIfUnheld(const std::shared_ptr<ChildProcess>& child) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (child->openHandles == 0) tryReapLocked(child);
    }

private:
    ProcessTable() = default;

    HANDLE addHandleLocked(std::shared_ptr<ProcessRef> ref) {
        std::unique_ptr<ProcessHandle> handle(new ProcessHandle{std::move(ref)});
        if (const auto& child = handle->ref->child) ++child->openHandles;
        m_handles.insert(handle.get());
        return handle.release();
    }

    bool tryReapLocked(const std::shared_ptr<ChildProcess>& child) {
        if (child->reaped) return true;
        for (;;) {
            int status = 0;
            const pid_t result = ::waitpid(child->pid, &status, WNOHANG);
            if (result == 0) return false;  // still running
            if (result == -1 && errno == EINTR) continue;
            // Reaped now, or (ECHILD) already reaped by someone else, e.g. a host's
            // SIGCHLD handler or SIGCHLD set to SIG_IGN: either way it has finished.
            break;
        }
        child->reaped = true;
        auto it = m_children.find(child->pid);
        if (it != m_children.end() && it->second == child) m_children.erase(it);
        return true;
    }

    void reapUnheldLocked() {
        std::vector<std::shared_ptr<ChildProcess>> unheld;
        for (const auto& entry : m_children)
            if (entry.second->openHandles == 0) unheld.push_back(entry.second);
        for (const auto& child : unheld) tryReapLocked(child);
    }

    std::mutex m_mutex;
    std::map<pid_t, std::shared_ptr<ChildProcess>> m_children;  // guarded by m_mutex
    std::set<ProcessHandle*> m_handles;                          // guarded by m_mutex; owned
};

// --- reaper ----------------------------------------------------------------------

// Reaps children as they end, so that a launch nobody waits for leaves no zombie
// behind, without blocking the caller and without waitpid(-1) or SIGCHLD. One
// thread watches the children's pidfds (or, without pidfds, checks them every few
// milliseconds); it starts with the first child and ends when none is left to
// watch. A child still held by a handle is left to its waits and its last
// CloseHandle, so that its pid cannot be reused while a handle names it.
class ChildReaper {
public:
    static ChildReaper& instance() {
        // Never destroyed, like the table; ReaperShutdown stops the thread at unload.
        static ChildReaper* reaper = new ChildReaper;
        return *reaper;
    }

    void watch(std::shared_ptr<ChildProcess> child) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopped || m_wakeFd < 0) return;  // the next launch or CloseHandle reaps it
        m_watched.push_back(std::move(child));
        if (m_running) {
            wake();
            return;
        }
        // A finished thread takes the lock no more, so it can be joined under it.
        if (m_thread.joinable()) m_thread.join();
        m_running = true;
        m_thread = std::thread(&ChildReaper::run, this);
    }

    // Ends the thread for good and joins it.
    void stop() {
        std::thread finished;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stopped = true;
            wake();
            finished.swap(m_thread);
        }
        if (finished.joinable()) finished.join();
    }

private:
    ChildReaper() : m_wakeFd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

    void wake() {
        const uint64_t one = 1;
        ssize_t rc;
        do {
            rc = ::write(m_wakeFd, &one, sizeof one);
        } while (rc < 0 && errno == EINTR);
    }

    void run() {
        for (;;) {
            std::vector<std::shared_ptr<ChildProcess>> watched;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                if (m_stopped || m_watched.empty()) {
                    m_running = false;
                    return;
                }
                watched = m_watched;
            }
            std::vector<struct pollfd> entries = {{m_wakeFd, POLLIN, 0}};
            bool withoutPidfd = false;
            for (const auto& child : watched) {
                if (child->pidfd >= 0)
                    entries.push_back({child->pidfd, POLLIN, 0});
                else
                    withoutPidfd = true;
            }
            if (::poll(entries.data(), entries.size(), withoutPidfd ? 20 : -1) < 0 && errno != EINTR) {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));  // never spin
            }
            uint64_t count = 0;
            while (::read(m_wakeFd, &count, sizeof count) > 0) {
            }
            for (const auto& child : watched) {
                if (!child->ended()) continue;
                ProcessTable::instance().reapIfUnheld(child);
                std::lock_guard<std::mutex> lock(m_mutex);
                m_watched.erase(std::remove(m_watched.begin(), m_watched.end(), child), m_watched.end());
            }
        }
    }

    std::mutex m_mutex;
    std::vector<std::shared_ptr<ChildProcess>> m_watched;  // guarded by m_mutex
    bool m_running = false;                                 // guarded by m_mutex
    bool m_stopped = false;                                 // guarded by m_mutex
    std::thread m_thread;                                   // guarded by m_mutex
    const int m_wakeFd;                                     // never closed: the reaper is never destroyed
};

// Joins the reaper thread when the program ends or the module holding this code
// is unloaded, so that no thread runs on in code that is gone.
struct ReaperShutdown {
    ~ReaperShutdown() { ChildReaper::instance().stop(); }
} g_reaperShutdown;

// --- helpers -------------------------------------------------------------------

BOOL fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// The Win32 error a Windows caller would see for a failed file-system or exec call.
DWORD win32ErrorFromErrno(int error) {
    switch (error) {
    case ENOENT:
        return ERROR_FILE_NOT_FOUND;
    case ENOTDIR:
    case ELOOP:
        return ERROR_PATH_NOT_FOUND;
    case EACCES:
    case EPERM:
    case EISDIR:
    case EROFS:
        return ERROR_ACCESS_DENIED;
    case ENAMETOOLONG:
        return ERROR_FILENAME_EXCED_RANGE;
    case ENOMEM:
    case E2BIG:
    case EAGAIN:
        return ERROR_NOT_ENOUGH_MEMORY;
    case ETXTBSY:
        return ERROR_SHARING_VIOLATION;
    default:
        return ERROR_BAD_EXE_FORMAT;  // ENOEXEC, ELIBBAD, EIO...: cannot be run
    }
}

// hInstApp carries an SE_ERR_* value on failure.
HINSTANCE instanceValueFor(DWORD error) {
    uintptr_t value = 0;
    switch (error) {
    case ERROR_FILE_NOT_FOUND:
        value = SE_ERR_FNF;
        break;
    case ERROR_PATH_NOT_FOUND:
        value = SE_ERR_PNF;
        break;
    case ERROR_ACCESS_DENIED:
        value = SE_ERR_ACCESSDENIED;
        break;
    case ERROR_NOT_ENOUGH_MEMORY:
        value = SE_ERR_OOM;
        break;
    case ERROR_NO_ASSOCIATION:
        value = SE_ERR_NOASSOC;
        break;
    default:
        value = ERROR_BAD_FORMAT;
        break;
    }
    return reinterpret_cast<HINSTANCE>(value);
}

std::string parentOf(const std::string& path) {
    const std::string::size_type slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    if (slash == 0) return "/";
    return path.substr(0, slash);
}

std::string joinPath(const std::string& folder, const std::string& name) {
    if (folder.empty()) return name;
    return folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::string currentFolder() {
    std::vector<char> buffer(4096);
    for (;;) {
        if (::getcwd(buffer.data(), buffer.size())) return buffer.data();
        if (errno != ERANGE) return ".";
        buffer.resize(buffer.size() * 2);
    }
}

// The Win32 error for a path that stat() refused with `error`: a missing file in an
// existing folder is "file not found", a missing folder on the way "path not found".
DWORD missingPathError(const std::string& path, int error) {
    if (error != ENOENT) return win32ErrorFromErrno(error);
    struct stat info;
    if (::stat(parentOf(path).c_str(), &info) == 0 && S_ISDIR(info.st_mode)) return ERROR_FILE_NOT_FOUND;
    return ERROR_PATH_NOT_FOUND;
}

// The file that "open" of `file` means, following Windows: a name with a folder
// part is taken as given (relative to `folder`); a bare name is looked for in
// `folder`, then in PATH.
std::string resolveFile(const std::string& file, const std::string& folder) {
    const std::string local = file[0] == '/' ? file : joinPath(folder, file);
    if (file.find('/') != std::string::npos) return local;
    struct stat info;
    if (::stat(local.c_str(), &info) == 0 || errno != ENOENT) return local;
    const char* searchPath = std::getenv("PATH");
    if (!searchPath) return local;
    const std::string entries = searchPath;
    std::string::size_type start = 0;
    for (;;) {
        const std::string::size_type end = entries.find(':', start);
        const std::string dir = entries.substr(start, end == std::string::npos ? std::string::npos : end - start);
        const std::string candidate = joinPath(dir.empty() ? "." : dir, file);
        if (::stat(candidate.c_str(), &info) == 0 && S_ISREG(info.st_mode) && ::access(candidate.c_str(), X_OK) == 0)
            return candidate;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return local;
}

// Interpreter and optional argument of a "#!" first line; false when the file does
// not start with "#!".
bool readInterpreterLine(int fd, std::string& interpreter, std::string& argument) {
    char buffer[256];  // the kernel reads no further for a "#!" line either
    ssize_t length;
    do {
        length = ::read(fd, buffer, sizeof buffer);
    } while (length < 0 && errno == EINTR);
    if (length < 2 || buffer[0] != '#' || buffer[1] != '!') return false;
    std::string line(buffer + 2, static_cast<std::size_t>(length) - 2);
    line = line.substr(0, line.find('\n'));
    // Strip trailing blanks, and a CR left by an editor that writes CRLF lines.
    while (!line.empty() && (line.back() == ' ' || line.back() == '\t' || line.back() == '\r')) line.pop_back();
    std::string::size_type pos = line.find_first_not_of(" \t");
    if (pos == std::string::npos) return true;  // "#!" with nothing after it
    const std::string::size_type end = line.find_first_of(" \t", pos);
    interpreter = line.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
    if (end != std::string::npos) {
        pos = line.find_first_not_of(" \t", end);
        if (pos != std::string::npos) argument = line.substr(pos);
    }
    return true;
}

// What to execute for `path`; false with the last error set when it cannot be run.
bool commandFor(const std::string& path, std::vector<std::string>& command) {
    struct stat info;
    if (::stat(path.c_str(), &info) != 0) return fail(missingPathError(path, errno));
    if (!S_ISREG(info.st_mode)) return fail(ERROR_ACCESS_DENIED);  // a folder, a device...
    if (::access(path.c_str(), X_OK) == 0) {
        command.push_back(path);
        return true;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return fail(win32ErrorFromErrno(errno));
    std::string interpreter, argument;
    const bool isScript = readInterpreterLine(fd, interpreter, argument);
    ::close(fd);
    if (!isScript) return fail(ERROR_NO_ASSOCIATION);
    if (interpreter.empty()) return fail(ERROR_BAD_EXE_FORMAT);
    command.push_back(interpreter);
    if (!argument.empty()) command.push_back(argument);
    command.push_back(path);
    return true;
}

// RAII for the posix_spawn descriptions.
class SpawnSetup {
public:
    SpawnSetup() {
        m_actionsOk = ::posix_spawn_file_actions_init(&m_actions) == 0;
        m_attributesOk = ::posix_spawnattr_init(&m_attributes) == 0;
    }
    ~SpawnSetup() {
        if (m_actionsOk) ::posix_spawn_file_actions_destroy(&m_actions);
        if (m_attributesOk) ::posix_spawnattr_destroy(&m_attributes);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    // The child gets only stdin/stdout/stderr (a Windows child inherits no handle
    // either), default signal dispositions, an empty signal mask and a session of
    // its own, and runs in `folder` when it is not empty. Returns an errno value, 0 on success.
    int prepare(const std::string& folder) {
        if (!m_actionsOk || !m_attributesOk) return ENOMEM;
        int rc = 0;
        if (!folder.empty() && (rc = ::posix_spawn_file_actions_addchdir_np(&m_actions, folder.c_str())) != 0)
            return rc;
        if ((rc = ::posix_spawn_file_actions_addclosefrom_np(&m_actions, 3)) != 0) return rc;
        sigset_t mask;
        sigemptyset(&mask);
        if ((rc = ::posix_spawnattr_setsigmask(&m_attributes, &mask)) != 0) return rc;
        sigset_t defaults;
        sigfillset(&defaults);
        if ((rc = ::posix_spawnattr_setsigdefault(&m_attributes, &defaults)) != 0) return rc;
        // A session of its own: a Ctrl-C or hang-up meant for the caller's
        // terminal or process group does not end the installer.
        return ::posix_spawnattr_setflags(&m_attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF |
                                                             POSIX_SPAWN_SETSID);
    }

    int spawn(pid_t& pid, const std::vector<std::string>& argv) {
        std::vector<char*> pointers;
        for (const auto& argument : argv) pointers.push_back(const_cast<char*>(argument.c_str()));
        pointers.push_back(nullptr);
        return ::posix_spawn(&pid, argv[0].c_str(), &m_actions, &m_attributes, pointers.data(), environ);
    }

private:
    posix_spawn_file_actions_t m_actions;
    posix_spawnattr_t m_attributes;
    bool m_actionsOk = false;
    bool m_attributesOk = false;
};

bool isOpenVerb(const std::string& verb) {
    if (verb.empty()) return true;
    if (verb.size() != 4) return false;
    for (std::size_t i = 0; i < 4; ++i)
        if (std::tolower(static_cast<unsigned char>(verb[i])) != "open"[i]) return false;
    return true;
}

// --- other processes -----------------------------------------------------------

// Without a pidfd: a pid that is gone or only a zombie has finished.
bool otherProcessFinishedByPid(pid_t pid) {
    if (::kill(pid, 0) != 0 && errno == ESRCH) return true;
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string content;
    if (!std::getline(stat, content)) return true;
    const std::string::size_type close = content.rfind(')');
    return close != std::string::npos && close + 2 < content.size() && content[close + 2] == 'Z';
}

bool otherProcessFinished(const ProcessRef& ref) {
    if (ref.pidfd < 0) return otherProcessFinishedByPid(ref.pid);
    struct pollfd entry = {ref.pidfd, POLLIN, 0};
    int rc;
    do {
        rc = ::poll(&entry, 1, 0);
    } while (rc < 0 && errno == EINTR);
    return rc > 0;
}

bool finished(const ProcessRef& ref) {
    return ref.child ? ProcessTable::instance().childFinished(ref.child) : otherProcessFinished(ref);
}

}  // namespace

// --- the API ---------------------------------------------------------------------

BOOL ShellExecuteExW(SHELLEXECUTEINFOW* pExecInfo) {
    if (!pExecInfo || pExecInfo->cbSize != sizeof(SHELLEXECUTEINFOW)) return fail(ERROR_INVALID_PARAMETER);
    SHELLEXECUTEINFOW& info = *pExecInfo;
    info.hProcess = nullptr;
    ProcessTable::instance().reapUnheld();

    auto failWith = [&info](DWORD error) {
        info.hInstApp = instanceValueFor(error);
        return fail(error);
    };

    if (!isOpenVerb(platform::utf16ToUtf8(info.lpVerb))) return failWith(ERROR_NO_ASSOCIATION);
    const std::string file = platform::utf16ToUtf8(info.lpFile);
    if (file.empty()) return failWith(ERROR_FILE_NOT_FOUND);

    std::string folder = platform::utf16ToUtf8(info.lpDirectory);
    if (!folder.empty()) {
        struct stat folderInfo;
        if (::stat(folder.c_str(), &folderInfo) != 0)
            return failWith(errno == EACCES ? ERROR_ACCESS_DENIED : ERROR_DIRECTORY);
        if (!S_ISDIR(folderInfo.st_mode)) return failWith(ERROR_DIRECTORY);
    }
    // Absolute, so that the child's change of folder cannot change what it runs.
    const std::string base = folder.empty() ? currentFolder()
                                            : (folder[0] == '/' ? folder : joinPath(currentFolder(), folder));
    const std::string path = resolveFile(file, base);

    std::vector<std::string> command;
    if (!commandFor(path, command)) return failWith(GetLastError());
    const std::string parameters = platform::utf16ToUtf8(info.lpParameters);
    for (auto& argument : platform::splitCommandLine(parameters)) command.push_back(std::move(argument));

    SpawnSetup setup;
    int rc = setup.prepare(folder);
    pid_t pid = 0;
    if (rc == 0) rc = setup.spawn(pid, command);
    if (rc != 0) return failWith(win32ErrorFromErrno(rc));

    ProcessTable& table = ProcessTable::instance();
    std::shared_ptr<ChildProcess> child = table.addChild(pid);
    info.hInstApp = reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(33));
    // The handle first: a child that ends at once must not be reaped before it.
    if (info.fMask & SEE_MASK_NOCLOSEPROCESS) info.hProcess = table.openChild(pid);
    ChildReaper::instance().watch(std::move(child));
    return TRUE;
}

DWORD GetProcessId(HANDLE Process) {
    const std::shared_ptr<ProcessRef> ref = ProcessTable::instance().lookup(Process);
    if (!ref) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    return static_cast<DWORD>(ref->pid);
}

HANDLE OpenProcess(DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwProcessId) {
    (void)dwDesiredAccess;
    (void)bInheritHandle;
    const pid_t pid = static_cast<pid_t>(dwProcessId);
    if (pid <= 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    ProcessTable& table = ProcessTable::instance();
    // Our own child, finished or not, as long as it has not been reaped: a wait on
    // the handle then sees the exit and reaps it.
    if (HANDLE child = table.openChild(pid)) return child;

    const int pidfd = openPidfd(pid);
    if (pidfd >= 0) return table.openOther(pid, pidfd);
    // ESRCH: no such process; EINVAL: not a process id (a thread's id, say).
    if (errno == ESRCH || errno == EINVAL || (::kill(pid, 0) != 0 && errno == ESRCH)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    // No pidfd (an older kernel, or one a sandbox refuses): observe the pid alone.
    return table.openOther(pid, -1);
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    const std::shared_ptr<ProcessRef> ref = ProcessTable::instance().lookup(hHandle);
    if (!ref) {
        SetLastError(ERROR_INVALID_HANDLE);
        return WAIT_FAILED;
    }
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(dwMilliseconds);
    std::chrono::milliseconds pause(1);
    for (;;) {
        if (finished(*ref)) return WAIT_OBJECT_0;
        if (dwMilliseconds == 0) return WAIT_TIMEOUT;
        const Clock::time_point now = Clock::now();
        if (dwMilliseconds != INFINITE && now >= deadline) return WAIT_TIMEOUT;
        std::chrono::milliseconds step = pause;
        if (dwMilliseconds != INFINITE)
            step = std::min(step, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now) +
                                      std::chrono::milliseconds(1));
        std::this_thread::sleep_for(step);
        pause = std::min(pause * 2, std::chrono::milliseconds(20));
    }
}

BOOL CloseHandle(HANDLE hObject) {
    if (!ProcessTable::instance().close(hObject)) return fail(ERROR_INVALID_HANDLE);
    return TRUE;
}

#endif  // !_WIN32
