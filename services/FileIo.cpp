#include "FileIo.h"

#include <cerrno>
#include <climits>
#include <cstdio>

#include <sys/stat.h>
#include <sys/types.h>
#ifdef _WIN32
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace kestrup_services {

#ifdef _WIN32

namespace {
// The C runtime counts in unsigned int.
unsigned int clampCount(std::size_t size) { return size > INT_MAX ? INT_MAX : static_cast<unsigned int>(size); }
}  // namespace

long long writeSome(int fd, const void* data, std::size_t size) { return ::_write(fd, data, clampCount(size)); }
long long readSome(int fd, void* buffer, std::size_t size) { return ::_read(fd, buffer, clampCount(size)); }

long long readAt(int fd, void* buffer, std::size_t size, uint64_t offset) {
    if (::_lseeki64(fd, static_cast<long long>(offset), SEEK_SET) < 0) return -1;
    return readSome(fd, buffer, size);
}

bool fileSize(int fd, uint64_t& size) {
    struct _stat64 info;
    if (::_fstat64(fd, &info) != 0) return false;
    size = static_cast<uint64_t>(info.st_size);
    return true;
}

bool seekToEnd(int fd) { return ::_lseeki64(fd, 0, SEEK_END) >= 0; }
bool seekTo(int fd, uint64_t offset) { return ::_lseeki64(fd, static_cast<long long>(offset), SEEK_SET) >= 0; }
bool truncateToStart(int fd) { return ::_chsize_s(fd, 0) == 0 && ::_lseeki64(fd, 0, SEEK_SET) == 0; }
bool syncToDisk(int fd) { return ::_commit(fd) == 0; }
void startWriteback(int, uint64_t, uint64_t) {}

bool setDirectWrites(int, bool on) {
    if (!on) return true;
    errno = EINVAL;
    return false;
}

#else

long long writeSome(int fd, const void* data, std::size_t size) { return ::write(fd, data, size); }
long long readSome(int fd, void* buffer, std::size_t size) { return ::read(fd, buffer, size); }

long long readAt(int fd, void* buffer, std::size_t size, uint64_t offset) {
    return ::pread(fd, buffer, size, static_cast<off_t>(offset));
}

bool fileSize(int fd, uint64_t& size) {
    struct stat info;
    if (::fstat(fd, &info) != 0) return false;
    size = static_cast<uint64_t>(info.st_size);
    return true;
}

bool seekToEnd(int fd) { return ::lseek(fd, 0, SEEK_END) >= 0; }
bool seekTo(int fd, uint64_t offset) { return ::lseek(fd, static_cast<off_t>(offset), SEEK_SET) >= 0; }
bool truncateToStart(int fd) { return ::ftruncate(fd, 0) == 0 && ::lseek(fd, 0, SEEK_SET) == 0; }
bool syncToDisk(int fd) { return ::fsync(fd) == 0; }

void startWriteback(int fd, uint64_t offset, uint64_t length) {
    ::sync_file_range(fd, static_cast<off64_t>(offset), static_cast<off64_t>(length), SYNC_FILE_RANGE_WRITE);
}

bool setDirectWrites(int fd, bool on) {
    const int flags = ::fcntl(fd, F_GETFL);
    if (flags < 0) return false;
    const int wanted = on ? (flags | O_DIRECT) : (flags & ~O_DIRECT);
    return wanted == flags || ::fcntl(fd, F_SETFL, wanted) == 0;
}

#endif

}  // namespace kestrup_services
