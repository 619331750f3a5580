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
class LastFailure;
class InstallWindow;

class UpdateRoad {
public:
    typedef std::chrono::steady_clock Clock;

    // How long one request may wait for its reply: the component itself waits up
    // to 30 seconds for the backend.
    static const std::chrono::seconds RequestBound;

    // Not owned; all outlive the road. `deadline` bounds the whole command.
    UpdateRoad(UpdateClient& client, ServiceOfferingManager& registry, OutcomePrinter& printer,
               Clock::time_point deadline);

    // Failures are recorded there for a later "status" (null: not recorded), and a
    // "no update" looks for releases left out by this hold list (empty: none).
    void keepRecords(const LastFailure* failures, const std::string& holdListFile);
    // With a window, "update" starts the installer only inside it (null: any time).
    void keepWindow(const InstallWindow* window) { m_window = window; }

    // Before the first request: follow the download that `snapshot` names, if the
    // workflow stands in Downloading (a restart resumes it).
    void prepareToResume(const WorkflowSnapshot& snapshot);

    // Check, download with progress, launch the installer; continues a workflow
    // that an earlier run left further along.
    int update(const UUId& application);
    // One "GetUpdateStatus", printed.
    int status(const UUId& application);

    // The last status code the component answered (790..795); 0 when none.
    int32_t lastStatus() const { return m_lastStatus; }
    // The installed version looked up by the last command.
    uint32_t installedVersion() const { return m_installedVersion; }

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
    // After "no update": says which newer release the hold list kept back.
    void sayHeld(const UUId& application, uint32_t version, const UUId& session);
    void recordFailure(const std::string& text);

    UpdateClient& m_client;
    ServiceOfferingManager& m_registry;
    OutcomePrinter& m_printer;
    const Clock::time_point m_deadline;
    UUId m_resumedSession;       // the stored download session; nil when none
    bool m_followingResumed = false;
    const LastFailure* m_failures = nullptr;
    std::string m_holdListFile;
    const InstallWindow* m_window = nullptr;
    int32_t m_lastStatus = 0;
    uint32_t m_installedVersion = 0;
};

// The "state" command: the stored workflow, and the registered version of
// `application` when one is given (nil: none). Reads only; starts nothing.
int printWorkflowState(const WorkflowSnapshot& snapshot, ServiceOfferingManager& registry, const UUId& application,
                       OutcomePrinter& printer);

}  // namespace kestrup_host
