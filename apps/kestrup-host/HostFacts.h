#pragma once
// What "status" and "state" tell beside the component's answer: the last failure
// of the workflow with its time, and whether a downloaded installer waits for the
// install window; as lines for a person, or as one JSON object for scripts.
#include <cstdint>
#include <string>

#include <QDateTime>
#include <QJsonObject>

#include "HostSettings.h"
#include "LastFailure.h"
#include "WorkflowSnapshot.h"

namespace kestrup_host {

class OutcomePrinter;

struct HostFacts {
    WorkflowSnapshot snapshot;
    bool hasFailure = false;
    FailureEntry failure;
    std::string failureProblem;  // why the failure record could not be read
    bool hasWindow = false;
    InstallWindow window;
};

// The facts kept in the data folder, beside `snapshot`.
HostFacts gatherFacts(const HostSettings& settings, const WorkflowSnapshot& snapshot);

// "The downloaded installer waits for the install window 02:00-05:00; kestrup-host
// run starts it at ..." when the workflow is Downloaded and `now` lies outside.
// Empty when nothing waits.
std::string windowWait(const HostFacts& facts, const QDateTime& now);

// The lines that "status" adds: the last failure, the wait for the window.
void printFacts(const HostFacts& facts, const QDateTime& now, OutcomePrinter& printer);

// The JSON of "status --json" and "state --json": the workflow, the last failure
// and the install window, plus what the caller adds (the application, its version,
// the component's status).
QJsonObject factsJson(const HostFacts& facts, const QDateTime& now);

// One line of compact JSON.
std::string renderJson(const QJsonObject& object);

}  // namespace kestrup_host
