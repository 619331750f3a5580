#pragma once
#include <cstdint>
#include <string>

namespace kestrup_host {

// Keeps other kestrup-host processes off a data folder while this one runs: a lock
// of the operating system on a file in the folder, which the system drops however
// the holder ends, so a killed host never leaves the folder locked and there is no
// stale lock to judge or remove. The file holds the holder's process id, for the
// message of the next one.
class DataFolderLock {
public:
    enum Result { Acquired, HeldByAnother, Failed };

    DataFolderLock() = default;
    ~DataFolderLock();
    DataFolderLock(const DataFolderLock&) = delete;
    DataFolderLock& operator=(const DataFolderLock&) = delete;

    // Takes the lock on `path` (created when missing). HeldByAnother gives the
    // holder's process id in `holder` (0 when it has not written it yet).
    Result acquire(const std::string& path, int64_t& holder);

private:
#ifdef _WIN32
    void* m_handle = nullptr;
#else
    int m_fd = -1;
#endif
};

}  // namespace kestrup_host
