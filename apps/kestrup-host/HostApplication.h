#pragma once
// One run of kestrup-host: loads the configuration, sets the host up, runs the
// command while the Qt event loop runs on the main thread, and shuts down.
#include "CommandLine.h"
#include "bus/UUId.h"

namespace kestrup_host {

class HostContext;
class OutcomePrinter;
class SignalWatcher;
class UpdateClient;
class UpdateRoad;
struct WorkflowSnapshot;

class HostApplication {
public:
    explicit HostApplication(const HostOptions& options);
    // Needs a QCoreApplication; call on its thread. Returns the exit code.
    int run();

private:
    // "run": the event loop until the inactivity timer or a signal ends it.
    // With an install window, a downloaded installer is launched inside it.
    int serve(const HostContext& context, UpdateClient& client, const SignalWatcher& signalWatcher,
              OutcomePrinter& printer);
    // A signal or the inactivity timer ended the event loop before the command.
    int endedEarly(const SignalWatcher& signalWatcher, OutcomePrinter& printer) const;
    // After "status": the last failure and the install window, as lines or JSON.
    void showStatusFacts(HostContext& context, const UpdateRoad& road, const UUId& application, int exitCode,
                         OutcomePrinter& printer) const;
    // "update" and "status" on a thread of their own while the event loop runs;
    // a signal or the inactivity timer ends the loop and cancels the command.
    int runCommand(HostContext& context, UpdateClient& client, const WorkflowSnapshot& snapshot,
                   const SignalWatcher& signalWatcher, OutcomePrinter& printer);

    HostOptions m_options;
};

}  // namespace kestrup_host
