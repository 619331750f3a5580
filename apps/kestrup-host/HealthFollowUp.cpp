#include "HealthFollowUp.h"

#include <chrono>

#include "BoundedProcess.h"
#include "HoldList.h"
#include "TransferStack.h"
#include "LastFailure.h"
#include "OutcomePrinter.h"
#include "WorkflowSnapshot.h"
#include "host/LogLine.h"
#include "host/Logger.h"
#include "host/ServiceOfferingManager.h"
#include "payloads/RequestPayloads.h"

namespace kestrup_host {
namespace {

const int32_t kWorkflowIdle = 1;

std::string outcomeName(ProcessOutcome::End end) {
    switch (end) {
    case ProcessOutcome::End::Exited:
    case ProcessOutcome::End::Crashed:
        return "failed";
    case ProcessOutcome::End::TimedOut:
        return "timedOut";
    case ProcessOutcome::End::NotStarted:
        return "notStarted";
    case ProcessOutcome::End::Interrupted:
        return "interrupted";
    }
    return "failed";
}

std::string joined(const std::vector<std::string>& words) {
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : " ") + word;
    return text;
}

}  // namespace

bool findInstalledChange(const WorkflowSnapshot& snapshot, ServiceOfferingManager& registry, InstalledChange& change) {
    if (snapshot.state == kWorkflowIdle || snapshot.serviceOfferingId.empty() || !snapshot.versionStored ||
        !UUId::checkValid(snapshot.serviceOfferingId)) {
        return false;
    }
    ServiceOfferingEntity entity;
    const UUId application(snapshot.serviceOfferingId);
    if (registry.getServiceOfferingEntity(application, entity) != ServiceOfferingManager::Ok) return false;
    if (entity.getVersionNumber() == snapshot.serviceOfferingVersion) return false;
    change.applicationId = application.getValue();
    change.previousVersion = snapshot.serviceOfferingVersion;
    change.version = entity.getVersionNumber();
    return true;
}

HealthFollowUp::HealthFollowUp(const HostSettings& settings, Logger* logger, OutcomePrinter& printer)
    : m_settings(settings), m_logger(logger), m_printer(printer) {}

void HealthFollowUp::log(const std::string& line) {
    KS_LOG(m_logger, "KESTRUP_HOST: " + line);
}

bool HealthFollowUp::run(const InstalledChange& change) {
    const AfterUpdateSettings& after = m_settings.afterUpdate;
    const std::string release = "version " + std::to_string(change.version) + " of " + change.applicationId;
    const LastFailure lastFailure(m_settings.dataFolder + "/last-failure.json");
    std::string error;
    if (after.healthCommand.empty()) {
        log("The installed " + release + " is taken as healthy: no health command is configured");
        if (!lastFailure.clear(error)) log(error);
        return true;
    }
    const std::chrono::seconds limit(after.healthTimeoutSeconds);
    log("Checking the health of " + release + ": " + joined(after.healthCommand));
    const ProcessOutcome health = runBoundedProcess(after.healthCommand, limit);
    if (!health.output.empty()) log("The health check wrote: " + health.output);
    if (health.end == ProcessOutcome::End::Interrupted) {
        log("The health check of " + release + " was interrupted; its outcome is unknown");
        return false;
    }
    ReleaseHealthReport sent;
    sent.applicationId = change.applicationId;
    sent.version = change.version;
    sent.previousVersion = change.previousVersion;
    if (health.succeeded()) {
        log("The installed " + release + " is healthy: the health check exited with code 0");
        m_printer.say("The new version " + std::to_string(change.version) + " passed its health check.");
        if (!lastFailure.clear(error)) log(error);
        sent.outcome = "healthy";
        report(sent);
        return true;
    }

    const std::string why = "The new version " + std::to_string(change.version) + " of " + change.applicationId +
                            " is unhealthy: its health check " + health.describe(limit) + ".";
    log(why);
    m_printer.problem(why);
    sent.outcome = outcomeName(health.end);
    sent.exitCode = health.exitCode;
    putOnHold(change);
    bool interrupted = false;
    std::string recorded = why;
    if (!after.rollbackCommand.empty()) {
        sent.rollback = rollBack(change, sent.rollbackExitCode);
        interrupted = sent.rollback == "interrupted";
        recorded += sent.rollback == "done" ? " It was rolled back to version " +
                                                    std::to_string(change.previousVersion) + "."
                                              : " The rollback did not succeed.";
    }
    if (!lastFailure.record(recorded, error)) log(error);
    report(sent);
    return !interrupted;
}

void HealthFollowUp::putOnHold(const InstalledChange& change) {
    const kestrup_services::HoldList holds(m_settings.holdListFile);
    std::string error;
    const std::string release = "version " + std::to_string(change.version) + " of " + change.applicationId;
    if (holds.add(kestrup_services::HeldRelease(change.applicationId, change.version), error)) {
        log("Put " + release + " on hold: it is not offered again");
        m_printer.problem("Version " + std::to_string(change.version) +
                          " is on hold and is not offered again (kestrup-host hold list).");
    } else {
        log("Could not put " + release + " on hold: " + error);
        m_printer.problem("version " + std::to_string(change.version) + " could not be put on hold: " + error);
    }
}

std::string HealthFollowUp::rollBack(const InstalledChange& change, int& exitCode) {
    std::vector<std::string> command = m_settings.afterUpdate.rollbackCommand;
    command.push_back(std::to_string(change.previousVersion));
    command.push_back(std::to_string(change.version));
    // The rollback gets the same bound as the health check.
    const std::chrono::seconds limit(m_settings.afterUpdate.healthTimeoutSeconds);
    log("Rolling back from version " + std::to_string(change.version) + " to " +
        std::to_string(change.previousVersion) + ": " + joined(command));
    const ProcessOutcome outcome = runBoundedProcess(command, limit);
    if (!outcome.output.empty()) log("The rollback wrote: " + outcome.output);
    exitCode = outcome.exitCode;
    if (outcome.succeeded()) {
        log("The rollback to version " + std::to_string(change.previousVersion) + " is done");
        m_printer.say("Rolled back to version " + std::to_string(change.previousVersion) + ".");
        return "done";
    }
    const std::string why = "rollback to version " + std::to_string(change.previousVersion) + " " +
                            outcome.describe(limit) + ".";
    log("The " + why);
    m_printer.problem("the " + why);
    return outcomeName(outcome.end);
}

void HealthFollowUp::report(const ReleaseHealthReport& outcome) {
    if (m_settings.reportUrl.empty()) return;
    std::string error;
    kestrup_services::TransferModule* transfers = transferModule(error);
    if (transfers != nullptr && transfers->postHealthReport(m_settings.backend, outcome, error)) {
        log("Reported the health of version " + std::to_string(outcome.version) + " (" + outcome.outcome +
            ", rollback " + outcome.rollback + ")");
    } else {
        log("Could not report the health of version " + std::to_string(outcome.version) + ": " + error);
    }
}

}  // namespace kestrup_host
