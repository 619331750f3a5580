#pragma once
// After an installed version changed: runs the configured health check of the new
// version, and when it fails, puts the release on hold, runs the rollback command
// once, records the failure for "status" and reports the outcome to the report URL.
#include <cstdint>
#include <string>

#include "HostSettings.h"

class Logger;
class ServiceOfferingManager;

namespace kestrup_host {

class OutcomePrinter;
struct WorkflowSnapshot;

struct InstalledChange {
    std::string applicationId;  // canonical
    uint32_t previousVersion = 0;
    uint32_t version = 0;
};

// Whether the component's start will find the installed version changed: the
// stored workflow is under way for an application whose registered version differs
// from the one stored with it. Read before the component starts.
bool findInstalledChange(const WorkflowSnapshot& snapshot, ServiceOfferingManager& registry, InstalledChange& change);

class HealthFollowUp {
public:
    // Not owned; all outlive it.
    HealthFollowUp(const HostSettings& settings, Logger* logger, OutcomePrinter& printer);

    // Main thread, after the component has started. False when the host was ended
    // (signal, inactivity) while a command ran; what was decided so far stays.
    bool run(const InstalledChange& change);

private:
    // Runs the rollback command; "done", "failed", "timedOut", "notStarted" or, when
    // interrupted, "interrupted".
    std::string rollBack(const InstalledChange& change, int& exitCode);
    void putOnHold(const InstalledChange& change);
    void report(const ReleaseHealthReport& report);
    void log(const std::string& line);

    const HostSettings& m_settings;
    Logger* m_logger;
    OutcomePrinter& m_printer;
};

}  // namespace kestrup_host
