#include "platform/DurableFile.h"

#include <cerrno>
#include <cstdio>
#include <vector>

#if defined(_WIN32)
#include <mutex>
#include <shared_mutex>
#endif

#if defined(_WIN32)
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace platform {

#if defined(_WIN32)

namespace {

std::wstring widePath(const std::string& path) {
    if (path.empty()) return std::wstring();
    const int needed = MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(needed > 0 ? needed : 0), L'\0');
    if (needed > 0) MultiByteToWideChar(CP_UTF8, 0, path.data(), static_cast<int>(path.size()), &wide[0], needed);
    return wide;
}

// Closes the handle when it goes out of scope.
class FileHandle {
public:
    explicit FileHandle(HANDLE handle) : m_handle(handle) {}
    ~FileHandle() { close(); }
    FileHandle(const FileHandle&) = delete;
    FileHandle& operator=(const FileHandle&) = delete;
    bool valid() const { return m_handle != INVALID_HANDLE_VALUE; }
    HANDLE get() const { return m_handle; }
    bool close() {
        if (!valid()) return true;
        const bool closed = CloseHandle(m_handle) != FALSE;
        m_handle = INVALID_HANDLE_VALUE;
        return closed;
    }

private:
    HANDLE m_handle;
};

bool writeAll(HANDLE file, const std::string& data) {
    std::size_t written = 0;
    while (written < data.size()) {
        const std::size_t left = data.size() - written;
        const DWORD piece = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
        DWORD done = 0;
        if (!WriteFile(file, data.data() + written, piece, &done, nullptr)) return false;
        written += done;
    }
    return true;
}

// Windows refuses to replace a file while another handle has it open, even one that
// shares delete, as readers do. Readers in this process take this lock shared and the
// replace takes it exclusively, so they never meet; a reader in another process holds
// the file only for a moment, so the move is tried again for up to about two seconds
// before it counts as failed.
std::shared_mutex& openFilesLock() {
    static std::shared_mutex lock;
    return lock;
}

bool moveOver(const std::wstring& from, const std::wstring& to) {
    for (int attempt = 0;; ++attempt) {
        if (MoveFileExW(from.c_str(), to.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)) return true;
        const DWORD error = GetLastError();
        if ((error != ERROR_ACCESS_DENIED && error != ERROR_SHARING_VIOLATION) || attempt == 200) return false;
        Sleep(10);
    }
}

}  // namespace

bool readWholeFile(const std::string& path, std::string& content) {
    const std::shared_lock<std::shared_mutex> noReplaceMeanwhile(openFilesLock());
    // Sharing delete and write too, so that an open reader never blocks a replace.
    FileHandle file(CreateFileW(widePath(path).c_str(), GENERIC_READ,
                                FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.valid()) return false;  // a folder fails here as well (access denied)
    std::string data;
    char buffer[8192];
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(file.get(), buffer, sizeof buffer, &read, nullptr)) return false;
        if (read == 0) break;
        data.append(buffer, read);
    }
    content.swap(data);
    return true;
}

bool replaceFileDurably(const std::string& path, const std::string& content) {
    const std::wstring target = widePath(path);
    if (target.empty()) return false;
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const std::wstring temp = target + L".tmp-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                                  std::to_wstring(GetTickCount64()) + L"-" + std::to_wstring(attempt);
        FileHandle file(CreateFileW(temp.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL,
                                    nullptr));
        if (!file.valid()) {
            if (GetLastError() == ERROR_FILE_EXISTS) continue;
            return false;
        }
        const bool written = writeAll(file.get(), content) && FlushFileBuffers(file.get());
        const bool closed = file.close();
        if (written && closed) {
            const std::unique_lock<std::shared_mutex> noReaderMeanwhile(openFilesLock());
            if (moveOver(temp, target)) return true;
        }
        DeleteFileW(temp.c_str());
        return false;
    }
    return false;
}

#else

namespace {

// Closes the descriptor when it goes out of scope.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd) : m_fd(fd) {}
    ~FileDescriptor() { close(); }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    bool valid() const { return m_fd >= 0; }
    int get() const { return m_fd; }
    bool close() {
        if (!valid()) return true;
        const bool closed = ::close(m_fd) == 0;
        m_fd = -1;
        return closed;
    }

private:
    int m_fd;
};

bool writeAll(int fd, const std::string& data) {
    std::size_t written = 0;
    while (written < data.size()) {
        const ssize_t n = ::write(fd, data.data() + written, data.size() - written);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        written += static_cast<std::size_t>(n);
    }
    return true;
}

std::string folderOf(const std::string& path) {
    const std::string::size_type slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

}  // namespace

bool readWholeFile(const std::string& path, std::string& content) {
    FileDescriptor file(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!file.valid()) return false;
    std::string data;
    char buffer[8192];
    for (;;) {
        const ssize_t n = ::read(file.get(), buffer, sizeof buffer);
        if (n > 0) {
            data.append(buffer, static_cast<std::size_t>(n));
        } else if (n == 0) {
            break;
        } else if (errno != EINTR) {
            return false;  // e.g. the path is a folder
        }
    }
    content.swap(data);
    return true;
}

bool replaceFileDurably(const std::string& path, const std::string& content) {
    if (path.empty()) return false;
    std::vector<char> tempName(path.begin(), path.end());
    const std::string suffix = ".tmp-XXXXXX";
    tempName.insert(tempName.end(), suffix.begin(), suffix.end());
    tempName.push_back('\0');
    FileDescriptor file(::mkostemp(tempName.data(), O_CLOEXEC));
    if (!file.valid()) return false;
    const bool written = ::fchmod(file.get(), 0644) == 0 && writeAll(file.get(), content) && ::fsync(file.get()) == 0;
    const bool closed = file.close();
    if (!written || !closed || std::rename(tempName.data(), path.c_str()) != 0) {
        ::unlink(tempName.data());
        return false;
    }
    // The rename itself is on disk once the folder is; a failure here changes
    // nothing a reader sees, so it does not fail the replace.
    FileDescriptor folder(::open(folderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folder.valid()) ::fsync(folder.get());
    return true;
}

#endif

}  // namespace platform
