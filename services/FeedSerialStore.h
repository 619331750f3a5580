#pragma once
// Remembers, per feed URL, the highest serial of a signed feed that was accepted and
// the SHA-256 of that feed's bytes: one small owner-only file per URL in a folder
// of the host's data folder, named after the URL's SHA-256. A record is replaced
// durably (written to a temporary file, synced, renamed over the old one, folder
// synced), so a crash leaves the old record or the new one, never a torn one.
//
// Used by one thread at a time.
#include <string>

#include "FeedTrustPolicy.h"

namespace kestrup_services {

class FeedSerialStore {
public:
    // `folder` is created on the first save.
    explicit FeedSerialStore(const std::string& folder);

    enum class Lookup { NotSeen, Found, Unreadable };
    // Unreadable (with `error`) when a record exists but cannot be read or parsed.
    Lookup load(const std::string& feedUrl, FeedSerialRecord& record, std::string& error) const;
    bool save(const std::string& feedUrl, const FeedSerialRecord& record, std::string& error) const;
    // The file that holds the record of `feedUrl`.
    std::string recordPath(const std::string& feedUrl) const;

private:
    static std::string recordName(const std::string& feedUrl);

    const std::string m_folder;
};

}  // namespace kestrup_services
