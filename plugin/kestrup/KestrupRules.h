#pragma once
#include <cstdint>

#include "payloads/Manifest.h"

// The component's decisions as pure functions: no clock, no store, no bus, so they
// can be called on their own.
namespace kestrup_rules {

// "OperationSuccess" code of a "GetUpdateStatus" answer for a workflow state
// other than Idle: 792 UpdateAvailable, 793 Downloading, 794 Downloaded,
// 795 Installing; 790 for any value that is not a workflow state (Idle included:
// its code depends on the update check).
int32_t statusCodeForState(int32_t state);

// Seconds since the last update check, as the low 32 bits of a 64-bit difference.
// A last check in the future (the clock went back) counts as `now` seconds ago, so
// that a check is due.
uint32_t secondsSince(int64_t now, int64_t lastCheck);

// Whether a check is due: both values taken as unsigned 32-bit numbers, so an
// interval of -1 means never.
bool isCheckDue(uint32_t secondsSinceLastCheck, int32_t checkInterval);

// The installer file of a manifest for one application: the first file of the
// first deliverable (in configuration-item order, then deliverable order) whose file
// list is not empty, skipping a first file that equals an empty KSFile. Items of
// other applications (a late answer to another check) are passed over. An empty
// KSFile when none.
KSFile chooseInstallerFile(const KSManifest& manifest, const UUId& applicationId);

}  // namespace kestrup_rules
