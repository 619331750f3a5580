#pragma once
// A read-only look at the workflow the component keeps in its store, for the
// host's "state" command and for following a download that a restart resumes.
#include <cstdint>
#include <string>

namespace kestrup_host {

struct WorkflowSnapshot {
    int32_t state = 1;              // 1 Idle, 2 UpdateAvailable, 3 Downloading, 4 Downloaded, 5 Installing
    bool stateStored = false;       // false: nothing stored yet (a first run), which is Idle
    std::string serviceOfferingId;  // empty when none is stored
    bool versionStored = false;
    uint32_t serviceOfferingVersion = 0;
    std::string sessionId;          // the session that asked for the download
    std::string installerFilename;  // the downloaded installer
};

// Reads the component's schema in the store of `domainId` under `storeFolder`.
// Keys that are missing stay at their defaults. False with `error` when the store
// cannot be opened or read.
bool readWorkflowSnapshot(const std::string& storeFolder, const std::string& domainId, WorkflowSnapshot& snapshot,
                          std::string& error);

// "Idle", "UpdateAvailable", ... or "unknown".
std::string workflowStateName(int32_t state);

}  // namespace kestrup_host
