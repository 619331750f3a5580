#include "PipelinedFileWriter.h"

#include <cerrno>
#include <chrono>
#include <cstring>

#include "CurlSupport.h"
#include "FileIo.h"
#include "Sha256.h"

namespace kestrup_services {

namespace {

const uint64_t kWritebackStepBytes = 16u << 20;

bool writeAll(int fd, const char* data, std::size_t size, std::string& error) {
    while (size > 0) {
        const long long n = writeSome(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            error = std::string("cannot write the partial file: ") + std::strerror(n < 0 ? errno : ENOSPC);
            return false;
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

PipelinedFileWriter::PipelinedFileWriter(int fd, uint64_t fileOffset, Sha256& hasher, const CurlCancel& cancel,
                                         std::size_t bufferBytes, std::size_t bufferCount, bool startWriteback)
    : m_fd(fd),
      m_hasher(hasher),
      m_cancel(cancel),
      m_bufferBytes(bufferBytes),
      m_startWriteback(startWriteback),
      m_filePosition(fileOffset),
      m_writebackFrom(fileOffset) {
    for (std::size_t i = 0; i < bufferCount; ++i) {
        m_free.emplace_back();
        m_free.back().reserve(bufferBytes);
    }
    m_writer = std::thread([this] { writerLoop(); });
}

PipelinedFileWriter::~PipelinedFileWriter() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_changed.notify_all();
    m_writer.join();
}

void PipelinedFileWriter::submitCurrent() {
    if (m_current.empty()) return;
    m_full.push_back(std::move(m_current));
    m_current = std::vector<char>();
    m_changed.notify_all();
}

bool PipelinedFileWriter::append(const char* data, std::size_t size) {
    std::unique_lock<std::mutex> lock(m_mutex);
    while (size > 0) {
        if (!m_error.empty()) return false;
        if (m_current.capacity() == 0) {
            // Wait for a free buffer; the time-out only lets a cancel be noticed.
            while (m_free.empty() && m_error.empty()) {
                if (m_cancel.cancelled()) return false;
                m_changed.wait_for(lock, std::chrono::milliseconds(50));
            }
            if (!m_error.empty()) return false;
            m_current = std::move(m_free.back());
            m_free.pop_back();
            m_current.clear();
        }
        const std::size_t room = m_bufferBytes - m_current.size();
        const std::size_t take = size < room ? size : room;
        m_current.insert(m_current.end(), data, data + take);
        data += take;
        size -= take;
        if (m_current.size() == m_bufferBytes) submitCurrent();
    }
    return true;
}

bool PipelinedFileWriter::flush() {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_current.empty()) {
        submitCurrent();
    } else if (m_current.capacity() > 0) {
        m_free.push_back(std::move(m_current));
        m_current = std::vector<char>();
    }
    m_changed.wait(lock, [this] { return (m_full.empty() && !m_busy) || !m_error.empty(); });
    return m_error.empty();
}

bool PipelinedFileWriter::restart() {
    if (!flush()) return false;
    // The writer is idle now: every buffer is back and none is in flight.
    std::lock_guard<std::mutex> lock(m_mutex);
    if (!truncateToStart(m_fd)) {
        m_error = std::string("cannot restart the partial file: ") + std::strerror(errno);
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

void PipelinedFileWriter::writerLoop() {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stop || !m_full.empty(); });
        if (m_full.empty()) return;  // stopping with nothing left
        std::vector<char> buffer = std::move(m_full.front());
        m_full.pop_front();
        m_busy = true;
        const bool failed = !m_error.empty();
        lock.unlock();

        std::string error;
        if (!failed && writeAll(m_fd, buffer.data(), buffer.size(), error)) {
            m_hasher.update(buffer.data(), buffer.size());
            m_filePosition += buffer.size();
            if (m_startWriteback && m_filePosition - m_writebackFrom >= kWritebackStepBytes) {
                startWriteback(m_fd, m_writebackFrom, m_filePosition - m_writebackFrom);
                m_writebackFrom = m_filePosition;
            }
        }

        lock.lock();
        if (!error.empty() && m_error.empty()) m_error = error;
        buffer.clear();
        m_free.push_back(std::move(buffer));
        m_busy = false;
        m_changed.notify_all();
    }
}

}  // namespace kestrup_services
