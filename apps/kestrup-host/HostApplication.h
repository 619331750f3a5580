#pragma once
// One run of kestrup-host: loads the configuration, sets the host up, runs the
// command while the Qt event loop runs on the main thread, and shuts down.
#include "CommandLine.h"

namespace kestrup_host {

class HostContext;
class OutcomePrinter;
class SignalWatcher;
class UpdateClient;
struct WorkflowSnapshot;

class HostApplication {
public:
    explicit HostApplication(const HostOptions& options);
    // Needs a QCoreApplication; call on its thread. Returns the exit code.
    int run();

private:
    // "run": the event loop until the inactivity timer or a signal ends it.
    int serve(const HostContext& context, const SignalWatcher& signalWatcher, OutcomePrinter& printer);
    // "update" and "status" on a thread of their own while the event loop runs;
    // a signal or the inactivity timer ends the loop and cancels the command.
    int runCommand(HostContext& context, UpdateClient& client, const WorkflowSnapshot& snapshot,
                   const SignalWatcher& signalWatcher, OutcomePrinter& printer);

    HostOptions m_options;
};

}  // namespace kestrup_host
