#include "FeedGuard.h"

#include "CurlSupport.h"
#include "FeedSignature.h"
#include "Sha256.h"
#include "host/LogLine.h"
#include "host/Logger.h"

namespace kestrup_services {

std::string signatureUrlOf(const std::string& feedUrl) {
    const std::size_t end = feedUrl.find_first_of("?#");
    if (end == std::string::npos) return feedUrl + ".sig";
    return feedUrl.substr(0, end) + ".sig" + feedUrl.substr(end);
}

FeedGuard::FeedGuard(const FeedTrustOptions& options, Logger* logger)
    : m_options(options), m_serials(options.serialFolder), m_logger(logger) {}

bool FeedGuard::checkSignature(const std::string& feedUrl, const std::string& feedBytes, const Fetch& fetch,
                               std::string& reason) const {
    if (!signaturesRequired()) {
        KS_LOG(m_logger, "BACKEND_CLIENT: The update feed " + redactUrl(feedUrl) +
                             " is taken unsigned: no trusted feed keys are configured");
        return true;
    }
    std::vector<FeedPublicKey> trusted;
    for (const std::string& entry : m_options.publicKeys) {
        FeedPublicKey key;
        std::string error;
        if (!loadFeedPublicKey(entry, key, error)) {
            reason = "a trusted key cannot be loaded: " + error;
            return false;
        }
        trusted.push_back(key);
    }
    const std::string signatureUrl = signatureUrlOf(feedUrl);
    std::string body;
    std::string error;
    if (!fetch(signatureUrl, kMaxFeedSignatureBytes, body, error)) {
        reason = "its signature " + redactUrl(signatureUrl) + " cannot be read: " + error;
        return false;
    }
    FeedSignature signature;
    if (!parseFeedSignature(body, signature, error)) {
        reason = "its signature " + redactUrl(signatureUrl) + " is unusable: " + error;
        return false;
    }
    std::string signer;
    if (!verifyFeedSignature(feedBytes, signature, trusted, signer, error)) {
        reason = error;
        return false;
    }
    KS_LOG(m_logger, "BACKEND_CLIENT: The update feed " + redactUrl(feedUrl) + " is signed by trusted key " + signer);
    return true;
}

bool FeedGuard::admit(const std::string& feedUrl, const std::string& feedBytes, const UpdateFeed& feed, int64_t now,
                      std::string& reason) const {
    if (!signaturesRequired()) return true;
    Sha256 hash;
    hash.update(feedBytes.data(), feedBytes.size());
    const std::string digest = hash.finishHex();

    FeedSerialRecord seen;
    std::string error;
    const FeedSerialStore::Lookup lookup =
        m_options.serialFolder.empty() ? FeedSerialStore::Lookup::NotSeen : m_serials.load(feedUrl, seen, error);
    if (lookup == FeedSerialStore::Lookup::Unreadable) {
        KS_LOG(m_logger, "BACKEND_CLIENT: The stored serial of the update feed " + redactUrl(feedUrl) +
                             " cannot be read (" + error + "); taking it as if no feed had been seen");
    }
    FeedStamp stamp;
    reason = judgeSignedFeed(feed, digest, lookup == FeedSerialStore::Lookup::Found ? &seen : nullptr, now, stamp);
    if (!reason.empty()) return false;

    const bool newer = lookup != FeedSerialStore::Lookup::Found || stamp.serial > seen.serial;
    if (newer && !m_options.serialFolder.empty() && !m_serials.save(feedUrl, {stamp.serial, digest}, error)) {
        // The feed itself is fine; only its replay protection is weaker until a
        // later save works.
        KS_LOG(m_logger, "BACKEND_CLIENT: Could not store serial " + std::to_string(stamp.serial) +
                             " of the update feed " + redactUrl(feedUrl) + ": " + error);
    }
    KS_LOG(m_logger, "BACKEND_CLIENT: Accepted serial " + std::to_string(stamp.serial) + " of the update feed " +
                         redactUrl(feedUrl) + ", issued " + formatFeedTime(stamp.issued) + ", expires " +
                         formatFeedTime(stamp.expires));
    return true;
}

}  // namespace kestrup_services
