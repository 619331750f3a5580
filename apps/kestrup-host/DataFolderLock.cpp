#include "DataFolderLock.h"

#include <cstdlib>

#include <QString>

#ifdef _WIN32
#include <windows.h>
#else
#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

namespace kestrup_host {

namespace {

int64_t parseHolder(const char* text, long length) {
    return length > 0 ? std::strtoll(std::string(text, static_cast<std::size_t>(length)).c_str(), nullptr, 10) : 0;
}

}  // namespace

#ifdef _WIN32

// The lock covers one byte far past the text, so that the next host can still read
// the holder's id.
const DWORD kLockedOffsetHigh = 1;

DataFolderLock::~DataFolderLock() {
    if (m_handle) CloseHandle(m_handle);  // closing the handle drops the lock
}

DataFolderLock::Result DataFolderLock::acquire(const std::string& path, int64_t& holder) {
    const std::wstring wide = QString::fromStdString(path).toStdWString();
    HANDLE file = CreateFileW(wide.c_str(), GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return Failed;
    OVERLAPPED where = {};
    where.OffsetHigh = kLockedOffsetHigh;
    if (!LockFileEx(file, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where)) {
        const bool held = GetLastError() == ERROR_LOCK_VIOLATION;
        char text[32] = {};
        DWORD read = 0;
        ReadFile(file, text, sizeof text - 1, &read, nullptr);
        CloseHandle(file);
        holder = parseHolder(text, static_cast<long>(read));
        return held ? HeldByAnother : Failed;
    }
    const std::string pid = std::to_string(GetCurrentProcessId());
    DWORD written = 0;
    SetFilePointer(file, 0, nullptr, FILE_BEGIN);
    WriteFile(file, pid.data(), static_cast<DWORD>(pid.size()), &written, nullptr);
    SetEndOfFile(file);
    m_handle = file;
    return Acquired;
}

#else

DataFolderLock::~DataFolderLock() {
    if (m_fd >= 0) ::close(m_fd);  // closing the file drops the lock
}

DataFolderLock::Result DataFolderLock::acquire(const std::string& path, int64_t& holder) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) return Failed;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const bool held = errno == EWOULDBLOCK;
        char text[32] = {};
        const ssize_t read = ::pread(fd, text, sizeof text - 1, 0);
        ::close(fd);
        holder = parseHolder(text, static_cast<long>(read));
        return held ? HeldByAnother : Failed;
    }
    const std::string pid = std::to_string(::getpid());
    if (::ftruncate(fd, 0) != 0 || ::pwrite(fd, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
        ::close(fd);
        return Failed;
    }
    m_fd = fd;
    return Acquired;
}

#endif

}  // namespace kestrup_host
