#pragma once
// Decides whether the backend client may use a feed it fetched, when trusted
// signing keys are configured:
//   1. before the feed is parsed: its detached signature (the feed's URL with
//      ".sig" added to its path, see FeedSignature.h) must be made by one of the
//      trusted keys over the feed's exact bytes;
//   2. after: the feed must be fresh, not older than the one accepted last from
//      the same URL, and pin every installer (FeedTrustPolicy.h). The accepted
//      serial is then stored (FeedSerialStore.h).
// Without keys every feed passes, and each check logs once that it is unsigned.
// Key files are read at every check, so a key file that cannot be read refuses the
// feed instead of silently dropping the key.
//
// Used by the backend client's worker thread only.
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "FeedSerialStore.h"
#include "UpdateFeed.h"

class Logger;

namespace kestrup_services {

struct FeedTrustOptions {
    // Trusted keys: each the public key itself or the path of a public key file.
    // Empty: feeds are taken unsigned.
    std::vector<std::string> publicKeys;
    // Folder of the serial records; empty: serials are not remembered.
    std::string serialFolder;
};

class FeedGuard {
public:
    // Reads at most `maxBytes` of `url` into `body`; false with `error`.
    using Fetch = std::function<bool(const std::string& url, uint64_t maxBytes, std::string& body, std::string& error)>;

    FeedGuard(const FeedTrustOptions& options, Logger* logger);  // `logger` not owned, not null

    bool signaturesRequired() const { return !m_options.publicKeys.empty(); }

    // Step 1; `fetch` reads the signature file. False with `reason`.
    bool checkSignature(const std::string& feedUrl, const std::string& feedBytes, const Fetch& fetch,
                        std::string& reason) const;
    // Step 2 at `now` (seconds since 1970 UTC); stores the serial when the feed
    // passes. False with `reason`.
    bool admit(const std::string& feedUrl, const std::string& feedBytes, const UpdateFeed& feed, int64_t now,
               std::string& reason) const;

private:
    const FeedTrustOptions m_options;
    const FeedSerialStore m_serials;
    Logger* const m_logger;
};

// `feedUrl` with ".sig" added to its path (before any query or fragment).
std::string signatureUrlOf(const std::string& feedUrl);

}  // namespace kestrup_services
