// The update feed parser and the manifest built from what it accepts.
#include <list>
#include <string>

#include "FuzzInput.h"
#include "bus/UUId.h"
#include "UpdateFeed.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrup_services;
    UpdateFeed feed;
    std::string error;
    if (!parseUpdateFeed(kestrup_fuzz::asText(data, size), "https://feed.example/updates/feed.xml", feed, error)) {
        if (error.empty()) __builtin_trap();  // a rejection must say why
        return 0;
    }
    std::list<KSConfigurationItem> requested;
    for (const auto& application : feed.applications) {
        requested.push_back(KSConfigurationItem(UUId(application.first), 0));
    }
    buildManifest(feed, requested);
    return 0;
}
