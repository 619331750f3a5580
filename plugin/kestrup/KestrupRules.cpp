#include "KestrupRules.h"

#include "KSPersistentState.h"

namespace kestrup_rules {

int32_t statusCodeForState(int32_t state) {
    switch (state) {
    case KSPersistentState::UpdateAvailable:
        return 792;
    case KSPersistentState::Downloading:
        return 793;
    case KSPersistentState::Downloaded:
        return 794;
    case KSPersistentState::Installing:
        return 795;
    default:
        return 790;
    }
}

uint32_t secondsSince(int64_t now, int64_t lastCheck) {
    // Computed unsigned: a wrap-around only happens for absurd stored values and
    // must not be undefined behaviour.
    int64_t elapsed = static_cast<int64_t>(static_cast<uint64_t>(now) - static_cast<uint64_t>(lastCheck));
    if (elapsed < 0) elapsed = now;
    return static_cast<uint32_t>(static_cast<uint64_t>(elapsed));
}

bool isCheckDue(uint32_t secondsSinceLastCheck, int32_t checkInterval) {
    return !(secondsSinceLastCheck < static_cast<uint32_t>(checkInterval));
}

KSFile chooseInstallerFile(const KSManifest& manifest, const UUId& applicationId) {
    const KSFile empty;
    const std::list<KSConfigurationItem> items = manifest.getConfigurationItems();
    for (const KSConfigurationItem& item : items) {
        if (!(item.getId() == applicationId)) continue;
        for (const KSDeliverable& deliverable : item.getDeliverables()) {
            const std::list<KSFile>& files = deliverable.getFiles();
            if (files.empty()) continue;
            if (files.front() == empty) continue;
            return files.front();
        }
    }
    return KSFile();
}

}  // namespace kestrup_rules
