#include "PipelinedFileWriter.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>

#include "CurlSupport.h"
#include "FileIo.h"
#include "Sha256.h"

namespace kestrup_services {

namespace {

// Write-behind step for bytes that go through the page cache.
const uint64_t kWritebackStepBytes = 16u << 20;

// Writes every byte; 0, or the errno of the failure.
int writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const long long n = writeSome(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return n < 0 ? errno : ENOSPC;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

std::string writeError(int code) { return std::string("cannot write the partial file: ") + std::strerror(code); }

}  // namespace

PipelinedFileWriter::PipelinedFileWriter(int fd, uint64_t fileOffset, Sha256& hasher, const CurlCancel& cancel,
                                         std::size_t bufferBytes, std::size_t bufferCount, bool writeThrough)
    : m_fd(fd),
      m_hasher(hasher),
      m_cancel(cancel),
      // Whole buffers keep whole blocks, so that they can bypass the page cache.
      m_bufferBytes((std::max(bufferBytes, kDirectWriteAlignment) / kDirectWriteAlignment) * kDirectWriteAlignment),
      m_writeThrough(writeThrough),
      m_sizes(std::max<std::size_t>(bufferCount, 2)),
      m_filePosition(fileOffset),
      m_writebackFrom(fileOffset),
      m_directWanted(writeThrough) {}

void PipelinedFileWriter::startConsumers() {
    // Plain heap memory, aligned by hand: the allocator keeps it for the next download,
    // where fresh pages would cost a fault each.
    m_memory.reset(new char[m_sizes.size() * m_bufferBytes + kDirectWriteAlignment]);
    const uintptr_t start = reinterpret_cast<uintptr_t>(m_memory.get());
    char* aligned = m_memory.get() + (kDirectWriteAlignment - start % kDirectWriteAlignment) % kDirectWriteAlignment;
    for (std::size_t i = 0; i < m_sizes.size(); ++i) m_buffers.push_back(aligned + i * m_bufferBytes);
    m_writer = std::thread([this] {
        consumeLoop(m_written, [this](const char* data, std::size_t size) { return writeBuffer(data, size); });
    });
    m_hasherThread = std::thread([this] {
        consumeLoop(m_hashed, [this](const char* data, std::size_t size) {
            m_hasher.update(data, size);
            return std::string();
        });
    });
}

PipelinedFileWriter::~PipelinedFileWriter() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    if (m_writer.joinable()) m_writer.join();
    if (m_hasherThread.joinable()) m_hasherThread.join();
}

bool PipelinedFileWriter::takeBuffer() {
    // Threads and buffers only once there are bytes: a mirror that fails before its
    // first byte costs none of them.
    if (m_buffers.empty()) startConsumers();
    std::unique_lock<std::mutex> lock(m_mutex);
    // A buffer is free once both consumers are done with it; the time-out only lets
    // a cancel be noticed.
    while (m_handedOver - std::min(m_written, m_hashed) >= m_sizes.size() && m_error.empty()) {
        if (m_cancel.cancelled()) return false;
        m_changed.wait_for(lock, std::chrono::milliseconds(50));
    }
    if (!m_error.empty()) return false;
    m_filling = true;
    m_filled = 0;
    return true;
}

void PipelinedFileWriter::handOver() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_sizes[m_handedOver % m_sizes.size()] = m_filled;
        ++m_handedOver;
    }
    m_filling = false;
    m_changed.notify_all();
}

bool PipelinedFileWriter::append(const char* data, std::size_t size) {
    while (size > 0) {
        if (m_failed.load()) return false;
        if (!m_filling && !takeBuffer()) return false;
        // The buffer being filled belongs to this thread alone: no lock for the copy.
        char* buffer = m_buffers[m_handedOver % m_sizes.size()];
        const std::size_t take = std::min(size, m_bufferBytes - m_filled);
        std::memcpy(buffer + m_filled, data, take);
        m_filled += take;
        data += take;
        size -= take;
        if (m_filled == m_bufferBytes) handOver();
    }
    return !m_failed.load();
}

bool PipelinedFileWriter::flush() {
    if (m_filling) {
        if (m_filled > 0) {
            handOver();
        } else {
            m_filling = false;
        }
    }
    std::unique_lock<std::mutex> lock(m_mutex);
    // Also after an error (the consumers then skip what is left): restart() and the
    // caller's sync must not race a write still under way.
    m_changed.wait(lock, [this] { return m_written == m_handedOver && m_hashed == m_handedOver; });
    return m_error.empty();
}

bool PipelinedFileWriter::restart() {
    if (!flush()) return false;
    // Both consumers are idle now: every buffer is back and none is in flight.
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!truncateToStart(m_fd)) {
        setError(std::string("cannot restart the partial file: ") + std::strerror(errno));
        return false;
    }
    m_hasher.reset();
    m_filePosition = 0;
    m_writebackFrom = 0;
    return true;
}

std::string PipelinedFileWriter::error() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_error;
}

void PipelinedFileWriter::setError(const std::string& error) {
    if (!m_error.empty()) return;
    m_error = error;
    m_failed.store(true);
}

void PipelinedFileWriter::consumeLoop(uint64_t& done,
                                      const std::function<std::string(const char*, std::size_t)>& consume) {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [&] { return m_stop || done < m_handedOver; });
        if (done == m_handedOver) return;  // stopping with nothing left
        const std::size_t index = done % m_sizes.size();
        const std::size_t size = m_sizes[index];
        const bool failed = !m_error.empty();
        lock.unlock();
        const std::string error = failed ? std::string() : consume(m_buffers[index], size);
        lock.lock();
        if (!error.empty()) setError(error);
        ++done;
        m_changed.notify_all();
    }
}

std::string PipelinedFileWriter::writeBuffer(const char* data, std::size_t size) {
    // Direct I/O takes whole blocks at block offsets; a short last buffer, or bytes
    // after a resumed file's odd end, go through the cache.
    const bool direct =
        m_directWanted && m_filePosition % kDirectWriteAlignment == 0 && size % kDirectWriteAlignment == 0;
    if (direct != m_directOn) {
        if (setDirectWrites(m_fd, direct)) {
            m_directOn = direct;
        } else if (direct) {
            m_directWanted = false;  // the file system does not offer it
        } else {
            return writeError(errno);
        }
    }
    int failure = writeAll(m_fd, data, size);
    if (failure == EINVAL && m_directOn) {
        // Some file systems take the mode but refuse the write: the buffer goes
        // through the cache instead, from where this one began.
        m_directWanted = false;
        if (!setDirectWrites(m_fd, false)) return writeError(errno);
        m_directOn = false;
        failure = seekTo(m_fd, m_filePosition) ? writeAll(m_fd, data, size) : errno;
    }
    if (failure != 0) return writeError(failure);
    m_filePosition += size;
    if (m_directOn) {
        m_writebackFrom = m_filePosition;  // nothing of it waits in the cache
    } else if (m_writeThrough && m_filePosition - m_writebackFrom >= kWritebackStepBytes) {
        startWriteback(m_fd, m_writebackFrom, m_filePosition - m_writebackFrom);
        m_writebackFrom = m_filePosition;
    }
    return std::string();
}

}  // namespace kestrup_services
