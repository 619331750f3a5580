#include "DestinationFolder.h"
#include "FileIo.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#ifdef _WIN32
#include <io.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace kestrup_services {

bool isPlainFileName(const std::string& name) {
#ifdef _WIN32
    // Windows also takes a backslash as a separator and a colon for a drive or a stream.
    if (name.find_first_of("\\:") != std::string::npos) return false;
#endif
    return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

DestinationFolder::DestinationFolder(const std::string& path, UniqueFd fd)
    : m_path(path), m_fd(std::move(fd)) {
    while (m_path.size() > 1 && m_path.back() == '/') m_path.pop_back();
}

std::string DestinationFolder::pathOf(const std::string& name) const {
#ifdef _WIN32
    // A folder written with backslashes only gets its files named the same way.
    if (m_path.find('\\') != std::string::npos && m_path.find('/') == std::string::npos) {
        return m_path.back() == '\\' ? m_path + name : m_path + "\\" + name;
    }
#endif
    return m_path == "/" ? "/" + name : m_path + "/" + name;
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other) reset(other.release());
    return *this;
}

int UniqueFd::release() {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

void UniqueFd::reset(int fd) {
    if (m_fd >= 0) ::close(m_fd);
    m_fd = fd;
}

#ifndef _WIN32

namespace {

std::string errnoText(const std::string& what, int error) {
    return what + ": " + std::strerror(error);
}

}  // namespace

bool makeFolders(const std::string& path, std::string& error) {
    if (path.empty()) {
        error = "empty folder name";
        return false;
    }
    std::string prefix;
    std::size_t position = 0;
    while (position <= path.size()) {
        const std::size_t slash = path.find('/', position);
        const std::size_t end = slash == std::string::npos ? path.size() : slash;
        prefix = path.substr(0, end);
        position = end + 1;
        if (prefix.empty()) continue;  // the leading '/' of an absolute path
        if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
            error = errnoText("cannot create folder " + prefix, errno);
            return false;
        }
        if (slash == std::string::npos) break;
    }
    struct stat info;
    if (::stat(path.c_str(), &info) != 0 || !S_ISDIR(info.st_mode)) {
        error = path + " is not a folder";
        return false;
    }
    return true;
}

std::unique_ptr<DestinationFolder> DestinationFolder::open(const std::string& path, std::string& error,
                                                           bool createMissing) {
    if (createMissing && !makeFolders(path, error)) return nullptr;
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) {
        error = errnoText("cannot open folder " + path, errno);
        return nullptr;
    }
    return std::unique_ptr<DestinationFolder>(new DestinationFolder(path, std::move(fd)));
}

UniqueFd DestinationFolder::createExclusive(const std::string& name, std::string& error) {
    if (!isPlainFileName(name)) {
        error = "invalid file name";
        return UniqueFd();
    }
    if (!removeFile(name)) {
        error = "cannot remove the old " + pathOf(name);
        return UniqueFd();
    }
    UniqueFd fd(::openat(m_fd.get(), name.c_str(),
                         O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd.valid()) error = errnoText("cannot create " + pathOf(name), errno);
    return fd;
}

UniqueFd DestinationFolder::openOwnRegular(const std::string& name) {
    if (!isPlainFileName(name)) return UniqueFd();
    UniqueFd fd(::openat(m_fd.get(), name.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK));
    if (!fd.valid()) return UniqueFd();
    struct stat info;
    if (::fstat(fd.get(), &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != ::geteuid()) {
        return UniqueFd();
    }
    // Regular files ignore O_NONBLOCK for data; it only kept the open from waiting on
    // a FIFO planted at the name.
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags >= 0) ::fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK);
    return fd;
}

bool DestinationFolder::removeFile(const std::string& name) {
    if (!isPlainFileName(name)) return false;
    if (::unlinkat(m_fd.get(), name.c_str(), 0) == 0) return true;
    return errno == ENOENT;
}

bool DestinationFolder::moveIntoPlace(const std::string& from, const std::string& to, std::string& error) {
    if (!isPlainFileName(from) || !isPlainFileName(to)) {
        error = "invalid file name";
        return false;
    }
    // A few rounds at most: another process may create or remove `to` in between.
    for (int attempt = 0; attempt < 3; ++attempt) {
        struct stat info;
        if (::fstatat(m_fd.get(), to.c_str(), &info, AT_SYMLINK_NOFOLLOW) == 0) {
            if (!S_ISREG(info.st_mode)) {
                error = pathOf(to) + " exists and is not a regular file";
                return false;
            }
            // rename() replaces the entry itself, never a link's target, in one step.
            if (::renameat(m_fd.get(), from.c_str(), m_fd.get(), to.c_str()) == 0) return true;
            error = errnoText("cannot replace " + pathOf(to), errno);
            return false;
        }
        if (errno != ENOENT) {
            error = errnoText("cannot inspect " + pathOf(to), errno);
            return false;
        }
        if (::renameat2(m_fd.get(), from.c_str(), m_fd.get(), to.c_str(), RENAME_NOREPLACE) == 0) return true;
        if (errno == EEXIST) continue;
        if (errno != EINVAL && errno != ENOSYS) {
            error = errnoText("cannot rename to " + pathOf(to), errno);
            return false;
        }
        // File systems without RENAME_NOREPLACE: link() never replaces either.
        if (::linkat(m_fd.get(), from.c_str(), m_fd.get(), to.c_str(), 0) == 0) {
            ::unlinkat(m_fd.get(), from.c_str(), 0);
            return true;
        }
        if (errno == EEXIST) continue;
        error = errnoText("cannot rename to " + pathOf(to), errno);
        return false;
    }
    error = pathOf(to) + " keeps changing";
    return false;
}

#endif  // !_WIN32

bool DestinationFolder::replaceFile(const std::string& name, const std::string& text, bool durable,
                                    std::string& error) {
    const std::string temporary = name + ".new";
    UniqueFd fd = createExclusive(temporary, error);
    if (!fd.valid()) return false;
    if (!writeAll(fd.get(), text) || (durable && !syncToDisk(fd.get()))) {
        error = "cannot write " + pathOf(temporary) + ": " + std::strerror(errno);
        fd.reset();
        removeFile(temporary);
        return false;
    }
    fd.reset();
    if (!moveIntoPlace(temporary, name, error)) {
        removeFile(temporary);
        return false;
    }
    // The folder's entry too; on Windows the move itself is written through.
    if (durable && m_fd.valid()) (void)syncToDisk(m_fd.get());
    return true;
}

bool writeAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const long long n = writeSome(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace kestrup_services
