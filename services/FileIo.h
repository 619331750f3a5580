#pragma once
#include <cstddef>
#include <cstdint>

// The few descriptor calls the download service makes, with one meaning on Linux
// and Windows (where descriptors come from the C runtime and calls differ in name
// and width). Each returns false, or a negative count, with errno set on failure.
namespace kestrup_services {

// One write(); the count written, or -1.
long long writeSome(int fd, const void* data, std::size_t size);
// One read(); the count read (0 at the end), or -1.
long long readSome(int fd, void* buffer, std::size_t size);
// Reads at `offset` without relying on the file position afterwards.
long long readAt(int fd, void* buffer, std::size_t size, uint64_t offset);
bool fileSize(int fd, uint64_t& size);
bool seekToEnd(int fd);
bool seekTo(int fd, uint64_t offset);
// Empties the file and puts the position back at its start.
bool truncateToStart(int fd);
// Flushes the file's data to the disk.
bool syncToDisk(int fd);
// Asks the kernel to start writing a range back early (Linux only; elsewhere nothing),
// so that the final flush has little left to do.
void startWriteback(int fd, uint64_t offset, uint64_t length);

// Direct I/O: writes of whole blocks at block offsets from memory aligned to this go
// to the disk without a copy into the page cache.
constexpr std::size_t kDirectWriteAlignment = 4096;
// Switches the descriptor's writes to direct I/O or back (Linux only; elsewhere, and
// on file systems that do not offer it, switching on fails).
bool setDirectWrites(int fd, bool on);

}  // namespace kestrup_services
