#include "FeedTrustPolicy.h"

#include <exception>

#include <boost/date_time/posix_time/posix_time.hpp>

namespace kestrup_services {
namespace {

namespace pt = boost::posix_time;

const pt::ptime kEpoch(boost::gregorian::date(1970, 1, 1));

}  // namespace

bool parseFeedTime(const std::string& text, int64_t& seconds) {
    // Only the one UTC form: a zone offset or fractions would make "expired" depend
    // on how a reader handles them.
    if (text.size() != 20 || text[10] != 'T' || text[19] != 'Z') return false;
    try {
        const pt::ptime time = pt::from_iso_extended_string(text.substr(0, 19));
        if (time.is_special()) return false;
        seconds = (time - kEpoch).total_seconds();
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

std::string formatFeedTime(int64_t seconds) {
    // Whole days first: pt::seconds takes a long, which has 32 bits on Windows.
    const int64_t days = seconds / 86400;
    const pt::ptime time = kEpoch + boost::gregorian::days(static_cast<long>(days)) +
                           pt::seconds(static_cast<long>(seconds - days * 86400));
    return pt::to_iso_extended_string(time) + "Z";
}

std::string readFeedStamp(const UpdateFeed& feed, FeedStamp& stamp) {
    FeedStamp read;
    if (!parseWholeNumber(feed.serial, read.serial)) {
        return feed.serial.empty() ? "the signed feed has no serial attribute"
                                   : "the feed's serial '" + feed.serial + "' is not a whole number";
    }
    if (!parseFeedTime(feed.issued, read.issued)) {
        return feed.issued.empty() ? "the signed feed has no issued attribute"
                                   : "the feed's issued time '" + feed.issued + "' is not YYYY-MM-DDTHH:MM:SSZ";
    }
    if (!parseFeedTime(feed.expires, read.expires)) {
        return feed.expires.empty() ? "the signed feed has no expires attribute"
                                    : "the feed's expiry '" + feed.expires + "' is not YYYY-MM-DDTHH:MM:SSZ";
    }
    if (read.expires <= read.issued) return "the feed expires (" + feed.expires + ") before it was issued";
    stamp = read;
    return std::string();
}

std::string checkFreshness(const FeedStamp& stamp, int64_t now) {
    if (now > stamp.expires + kFeedClockSkewSeconds) {
        return "the feed expired at " + formatFeedTime(stamp.expires) + " (now " + formatFeedTime(now) + ")";
    }
    if (stamp.issued > now + kFeedClockSkewSeconds) {
        return "the feed is issued in the future, at " + formatFeedTime(stamp.issued) + " (now " +
               formatFeedTime(now) + ")";
    }
    return std::string();
}

std::string checkSerial(const FeedStamp& stamp, const std::string& feedSha256, const FeedSerialRecord* seen) {
    if (!seen) return std::string();
    if (stamp.serial < seen->serial) {
        return "replayed older feed: serial " + std::to_string(stamp.serial) + " is lower than serial " +
               std::to_string(seen->serial) + " accepted before";
    }
    if (stamp.serial == seen->serial && feedSha256 != seen->sha256) {
        return "the feed has serial " + std::to_string(stamp.serial) +
               " like the feed accepted before, but other content";
    }
    return std::string();
}

std::string checkInstallersPinned(const UpdateFeed& feed) {
    for (const auto& application : feed.applications) {
        for (const FeedRelease& release : application.second) {
            if (release.digest.empty() || !release.hasSize) {
                return "release " + std::to_string(release.version) + " of application " + application.first +
                       " gives no installer " + (release.digest.empty() ? "digest" : "size") +
                       ", which a signed feed must give";
            }
        }
    }
    return std::string();
}

std::string judgeSignedFeed(const UpdateFeed& feed, const std::string& feedSha256, const FeedSerialRecord* seen,
                            int64_t now, FeedStamp& stamp) {
    std::string reason = readFeedStamp(feed, stamp);
    if (reason.empty()) reason = checkFreshness(stamp, now);
    if (reason.empty()) reason = checkSerial(stamp, feedSha256, seen);
    if (reason.empty()) reason = checkInstallersPinned(feed);
    return reason;
}

}  // namespace kestrup_services
