#pragma once
#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace kestrup_services {

class CurlCancel;
class Sha256;

// Writes a download's bytes to its file and feeds them to the hasher, each on a
// thread of its own, so that receiving, writing and hashing overlap. Bytes are
// copied into a ring of fixed buffers (bufferCount x bufferBytes: the whole memory
// it uses); a buffer is taken again once it is both written and hashed. When all
// are taken, append() waits, which bounds memory whatever the network speed.
//
// With `writeThrough` the file is about to be synced, so its bytes go to the disk
// as they arrive: whole aligned buffers bypass the page cache where the file system
// allows it (direct I/O, no copy into the cache and nothing left for the final
// sync), everything else is written through the cache and handed to the disk in
// steps (write-behind).
//
// Threads: append/flush/restart are called from one thread (the transfer's); the
// writer and hasher threads are started by the first append and joined by the
// destructor.
class PipelinedFileWriter {
public:
    PipelinedFileWriter(int fd, uint64_t fileOffset, Sha256& hasher, const CurlCancel& cancel,
                        std::size_t bufferBytes, std::size_t bufferCount, bool writeThrough);
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
    void startConsumers();  // the buffers, the writer and the hasher
    bool takeBuffer();      // for the next append; false on error or cancel
    void handOver();       // the buffer being filled goes to the writer and hasher
    // One consumer's loop: `done` counts the buffers it finished; `consume` is called
    // without the lock and returns an error text, empty when fine.
    void consumeLoop(uint64_t& done, const std::function<std::string(const char*, std::size_t)>& consume);
    std::string writeBuffer(const char* data, std::size_t size);  // writer thread
    void setError(const std::string& error);                      // caller holds m_mutex

    const int m_fd;
    Sha256& m_hasher;            // used only by the hasher thread between flushes
    const CurlCancel& m_cancel;
    const std::size_t m_bufferBytes;
    const bool m_writeThrough;
    // The ring, made at the first append as one block of memory; buffer i holds
    // hand-over number i, i + n, ... Appending thread only until the consumers start.
    std::unique_ptr<char[]> m_memory;
    std::vector<char*> m_buffers;   // aligned for direct I/O

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;  // waits on m_mutex
    std::vector<std::size_t> m_sizes;   // bytes in each handed-over buffer; guarded by m_mutex
    uint64_t m_handedOver = 0;          // buffers handed over so far; guarded by m_mutex
    uint64_t m_written = 0;             // of them written; guarded by m_mutex
    uint64_t m_hashed = 0;              // of them hashed; guarded by m_mutex
    bool m_stop = false;                // guarded by m_mutex
    std::string m_error;                // first write error; guarded by m_mutex
    std::atomic<bool> m_failed{false};  // m_error is set; read without the lock by append()

    // The appending thread only.
    bool m_filling = false;             // it holds buffer m_handedOver % n
    std::size_t m_filled = 0;           // bytes in it

    // Writer thread only, or any thread while both consumers are idle (restart()).
    uint64_t m_filePosition;            // end of the written bytes
    uint64_t m_writebackFrom;
    bool m_directWanted;                // direct I/O not yet refused by the file system
    bool m_directOn = false;            // the descriptor is in direct mode

    std::thread m_writer;
    std::thread m_hasherThread;
};

}  // namespace kestrup_services
