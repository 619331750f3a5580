#pragma once
// The host's side of the commands "update" and "status": which request to send
// next given the component's answers, and what to tell the user. Each operation
// returns the program's exit code (ExitCodes.h).
//
// Threads: runs on one thread of its own (not the Qt main thread), so that the Qt
// event loop keeps running while it waits; UpdateClient::cancel() from another
// thread ends it promptly with ExitNotFinished.
#include <chrono>
#include <cstdint>
#include <string>

#include "OutcomePrinter.h"
#include "UpdateClient.h"
#include "bus/UUId.h"

class ServiceOfferingManager;

namespace kestrup_host {

struct WorkflowSnapshot;

class UpdateRoad {
public:
    typedef std::chrono::steady_clock Clock;

    // How long one request may wait for its reply: the component itself waits up
    // to 30 seconds for the backend.
    static const std::chrono::seconds RequestBound;

    // Not owned; all outlive the road. `deadline` bounds the whole command.
    UpdateRoad(UpdateClient& client, ServiceOfferingManager& registry, OutcomePrinter& printer,
               Clock::time_point deadline);

    // Before the first request: follow the download that `snapshot` names, if the
    // workflow stands in Downloading (a restart resumes it).
    void prepareToResume(const WorkflowSnapshot& snapshot);

    // Check, download with progress, launch the installer; continues a workflow
    // that an earlier run left further along.
    int update(const UUId& application);
    // One "GetUpdateStatus", printed.
    int status(const UUId& application);

private:
    bool lookUpInstalled(const UUId& application, uint32_t& version);
    // "GetUpdateStatus"; prints what the start of the component reported.
    Reply checkStatus(const UUId& application, uint32_t version, const UUId& session);
    int download(const UUId& application, uint32_t version);
    int followDownload(const UUId& session);
    int waitForResumedDownload(const UUId& application, uint32_t version);
    // "downloaded and verified", unless the download had no digest to check.
    void sayDownloaded(const UUId& session);
    int launch(const UUId& application, uint32_t version);
    // Prints why a request got no usable reply and returns the exit code.
    int failed(Step step, const Reply& reply, const UUId& application, const UUId& session);
    Clock::time_point requestDeadline() const;

    UpdateClient& m_client;
    ServiceOfferingManager& m_registry;
    OutcomePrinter& m_printer;
    const Clock::time_point m_deadline;
    UUId m_resumedSession;       // the stored download session; nil when none
    bool m_followingResumed = false;
};

// The "state" command: the stored workflow, and the registered version of
// `application` when one is given (nil: none). Reads only; starts nothing.
int printWorkflowState(const WorkflowSnapshot& snapshot, ServiceOfferingManager& registry, const UUId& application,
                       OutcomePrinter& printer);

}  // namespace kestrup_host
