#pragma once
// The update feed that BackendClient reads (format in BackendClient.h) and the
// manifest it builds from it: pure functions, no network.
#include <cstdint>
#include <list>
#include <map>
#include <string>
#include <vector>

#include "payloads/Manifest.h"

namespace kestrup_services {

struct FeedRelease {
    uint32_t version = 0;
    std::string label;      // the version in decimal when the feed gives none
    std::string arguments;
    std::string digest;     // lower or upper case hex as in the feed; may be empty
    bool hasSize = false;   // the feed gives the installer's size in bytes
    uint64_t size = 0;
    std::list<KSMirror> mirrors;  // absolute URLs, feed order
};

struct UpdateFeed {
    // The root's serial, issued and expires attributes as written (trimmed); empty
    // when absent. Only a signed feed needs them (FeedTrustPolicy reads them).
    std::string serial;
    std::string issued;
    std::string expires;
    // Application id (canonical text) -> its releases, newest first.
    std::map<std::string, std::vector<FeedRelease>> applications;
};

// Decimal digits only, at most 19 of them (no sign, no blanks).
bool parseWholeNumber(const std::string& text, uint64_t& value);

// Parses `xml`; relative URLs are resolved against `feedUrl`, the URL the feed was
// finally read from. Only a feed read from a local file may name local (file)
// mirrors; any other may name http and https mirrors only. False with `error`
// naming the first broken rule (and its line for XML errors); `feed` is then
// untouched.
bool parseUpdateFeed(const std::string& xml, const std::string& feedUrl, UpdateFeed& feed, std::string& error);

// One item per requested application that has releases newer than the item's
// number (the installed version, read as unsigned), in request order; see
// BackendClient.h for the fields.
KSManifest buildManifest(const UpdateFeed& feed, const std::list<KSConfigurationItem>& requested);

}  // namespace kestrup_services
