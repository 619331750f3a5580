#pragma once
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrup_services {

class CurlCancel;
class Sha256;

// Writes a download's bytes to its file and feeds them to the hasher on a thread of
// its own, so that receiving, writing and hashing overlap. Bytes are copied into a
// few fixed buffers (bufferCount x bufferBytes: the whole memory it uses); when all
// are full, append() waits for the writer, which bounds memory whatever the network
// speed.
//
// With `startWriteback`, written ranges are handed to the disk as they go
// (sync_file_range), so that a final fsync has little left to do.
//
// Threads: append/flush/restart are called from one thread (the transfer's); the
// writer thread is started by the constructor and joined by the destructor.
class PipelinedFileWriter {
public:
    PipelinedFileWriter(int fd, uint64_t fileOffset, Sha256& hasher, const CurlCancel& cancel,
                        std::size_t bufferBytes, std::size_t bufferCount, bool startWriteback);
    ~PipelinedFileWriter();
    PipelinedFileWriter(const PipelinedFileWriter&) = delete;
    PipelinedFileWriter& operator=(const PipelinedFileWriter&) = delete;

    // Hands bytes over. False when an earlier write failed or the transfer was
    // cancelled while waiting for a free buffer.
    bool append(const char* data, std::size_t size);
    // Waits until every byte handed over is written and hashed. False on a write
    // error (see error()).
    bool flush();
    // flush(), then empties the file and resets the hasher: the server sent the
    // whole file instead of the asked range.
    bool restart();
    std::string error() const;

private:
    void writerLoop();
    void submitCurrent();  // caller holds m_mutex

    const int m_fd;
    Sha256& m_hasher;            // used only by the writer thread between flushes
    const CurlCancel& m_cancel;
    const std::size_t m_bufferBytes;
    const bool m_startWriteback;

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;            // waits on m_mutex
    std::vector<std::vector<char>> m_free;        // empty buffers; guarded by m_mutex
    std::deque<std::vector<char>> m_full;         // waiting to be written; guarded by m_mutex
    std::vector<char> m_current;                  // being filled by append(); guarded by m_mutex
    bool m_busy = false;                          // the writer holds a buffer; guarded by m_mutex
    bool m_stop = false;                          // guarded by m_mutex
    std::string m_error;                          // first write error; guarded by m_mutex
    // Writer thread only, or any thread while the writer is idle (restart()).
    uint64_t m_filePosition;                      // end of the written bytes
    uint64_t m_writebackFrom;
    std::thread m_writer;
};

}  // namespace kestrup_services
