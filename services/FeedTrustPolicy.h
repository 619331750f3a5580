#pragma once
// What a signed feed must hold besides a valid signature, as pure decisions with
// the time passed in: a serial number, an issue time and an expiry on the root
// element, no serial older than one already accepted, and the digest and size of
// every installer.
//
//   <updateFeed serial="42" issued="2026-12-01T00:00:00Z" expires="2026-12-31T00:00:00Z">
//
// Times are UTC in the form YYYY-MM-DDTHH:MM:SSZ; the serial is a whole number
// below 10^19. Each function returns "" when the feed passes, else the reason in
// words for the log and the user.
#include <cstdint>
#include <string>

#include "UpdateFeed.h"

namespace kestrup_services {

// How far the publisher's clock and ours may disagree: a feed is still taken this
// long after it expired, and when issued up to this far in the future.
const int64_t kFeedClockSkewSeconds = 300;

struct FeedStamp {
    uint64_t serial = 0;
    int64_t issued = 0;   // seconds since 1970 UTC
    int64_t expires = 0;
};

// The highest serial accepted from a feed URL, and the SHA-256 of that feed's bytes.
struct FeedSerialRecord {
    uint64_t serial = 0;
    std::string sha256;  // lower-case hex
};

// Seconds since 1970 of "YYYY-MM-DDTHH:MM:SSZ"; false when it is not that form or
// no such time.
bool parseFeedTime(const std::string& text, int64_t& seconds);
std::string formatFeedTime(int64_t seconds);

// The root's attributes; "" and `stamp` set, or the reason.
std::string readFeedStamp(const UpdateFeed& feed, FeedStamp& stamp);
// Neither expired nor issued in the future at `now`, beyond the clock-skew allowance.
std::string checkFreshness(const FeedStamp& stamp, int64_t now);
// Not older than `seen` (null: no feed of this URL accepted yet), and not the same
// serial with other bytes.
std::string checkSerial(const FeedStamp& stamp, const std::string& feedSha256, const FeedSerialRecord* seen);
// Every release gives its installer's digest and size, so that the signature covers
// what gets launched.
std::string checkInstallersPinned(const UpdateFeed& feed);

// All of the above, in that order; the first reason found.
std::string judgeSignedFeed(const UpdateFeed& feed, const std::string& feedSha256, const FeedSerialRecord* seen,
                            int64_t now, FeedStamp& stamp);

}  // namespace kestrup_services
