#pragma once
#include <mutex>
#include <string>
#include <vector>

#include "DownloadTransfer.h"

namespace kestrup_services {

// Remembers, per session, the URL, folder, file name, hash and validator of its last "Start" in
// one small owner-only file, ".<session id>.download" in the state folder, so that a
// "Resume" after a restart knows what to continue. The user name and password of a
// Start are never written (a URL is kept as given).
// Thread-safe.
class DownloadSessionStore {
public:
    // An empty folder disables the store: save() does nothing, load() finds nothing.
    explicit DownloadSessionStore(const std::string& folder);

    bool enabled() const { return !m_folder.empty(); }
    // Writes the record (replacing an older one). False with `error` on failure.
    bool save(const DownloadTask& task, std::string& error);
    // Reads the record of `sessionId` into `task`; false when there is none or it is
    // not a valid record (which is then ignored).
    bool load(const std::string& sessionId, DownloadTask& task);
    void remove(const std::string& sessionId);
    // The record's path, for log lines.
    std::string recordPath(const std::string& sessionId) const { return m_folder + "/" + recordName(sessionId); }
    // The session ids that have a record, valid or not.
    std::vector<std::string> sessions() const;

private:
    std::string recordName(const std::string& sessionId) const;

    const std::string m_folder;
    std::mutex m_mutex;  // serialises file access; guards no member
};

}  // namespace kestrup_services
