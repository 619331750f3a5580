#include "HostApplication.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <exception>
#include <iostream>
#include <thread>

#include <unistd.h>

#include <QCoreApplication>

#include "ExitCodes.h"
#include "HostContext.h"
#include "HostSettings.h"
#include "OutcomePrinter.h"
#include "PluginLocator.h"
#include "SignalWatcher.h"
#include "UpdateClient.h"
#include "UpdateRoad.h"
#include "WorkflowSnapshot.h"
#include "host/LogLine.h"
#include "host/Logger.h"

namespace kestrup_host {
namespace {

std::string signalName(int signalNumber) {
    if (signalNumber == SIGINT) return "SIGINT";
    if (signalNumber == SIGTERM) return "SIGTERM";
    return "signal " + std::to_string(signalNumber);
}

// Ends the event loop; callable from any thread.
void exitEventLoop(int code) {
    QMetaObject::invokeMethod(
        QCoreApplication::instance(), [code] { QCoreApplication::exit(code); }, Qt::QueuedConnection);
}

UUId applicationOf(const HostOptions& options) {
    return options.applicationId.empty() ? UUId() : UUId(options.applicationId);
}

}  // namespace

HostApplication::HostApplication(const HostOptions& options) : m_options(options) {}

int HostApplication::run() {
    OutcomePrinter printer(std::cout, std::cerr, ::isatty(STDERR_FILENO) == 1);

    HostSettings settings;
    std::vector<std::string> problems;
    if (!loadHostSettings(m_options.configFile, settings, problems)) {
        for (const std::string& problem : problems) printer.problem(problem);
        return ExitUsage;
    }

    HostContext context(settings, m_options.verbose);
    std::string error;
    if (!context.openHost(error)) {
        printer.problem(error);
        return ExitSetupFailed;
    }

    WorkflowSnapshot snapshot;
    if (m_options.command == Command::State) {
        if (!readWorkflowSnapshot(settings.dataFolder, settings.domainId, snapshot, error)) {
            printer.problem(error);
            return ExitSetupFailed;
        }
        return printWorkflowState(snapshot, context.registry(), applicationOf(m_options), printer);
    }

    SignalWatcher signalWatcher([](int signalNumber) { QCoreApplication::exit(exitCodeForSignal(signalNumber)); });
    std::string pluginPath;
    const bool ready =
        signalWatcher.install(error) && context.lockDataFolder(error) &&
        locatePlugin(m_options.pluginPath, QCoreApplication::applicationDirPath().toStdString(), pluginPath, error) &&
        // The download that a restart resumes, for "update" to follow.
        (m_options.command != Command::Update ||
         readWorkflowSnapshot(settings.dataFolder, settings.domainId, snapshot, error));
    if (!ready) {
        printer.problem(error);
        return ExitSetupFailed;
    }
    context.startBus();
    if (!context.startServices(error)) {
        printer.problem(error);
        return ExitSetupFailed;
    }
    UpdateClient client(context.bus());
    if (m_options.command != Command::Run && !client.open()) {
        printer.problem("cannot listen on the bus");
        return ExitSetupFailed;
    }
    if (!context.loadComponent(pluginPath, error)) {
        printer.problem(error);
        return ExitSetupFailed;
    }
    context.startComponent();

    const int result = m_options.command == Command::Run
                           ? serve(context, signalWatcher, printer)
                           : runCommand(context, client, snapshot, signalWatcher, printer);

    // Some received messages were created by the module: they go before it does.
    client.close();
    context.shutDown();
    KS_LOG(context.logger(), "KESTRUP_HOST: Shut down; exit code " + std::to_string(result));
    return result;
}

int HostApplication::serve(const HostContext& context, const SignalWatcher& signalWatcher, OutcomePrinter& printer) {
    const int32_t timeout = context.settings().component.inactivityTimeout;
    printer.say(timeout < 0 ? "Serving update requests; stop with Ctrl-C or SIGTERM."
                            : "Serving update requests until " + std::to_string(timeout) +
                                  " seconds pass without activity, or Ctrl-C or SIGTERM.");
    QCoreApplication::exec();
    printer.say(signalWatcher.firstSignal() != 0 ? "Stopping: " + signalName(signalWatcher.firstSignal()) + " received."
                                                 : "Stopping: the inactivity time has passed.");
    return ExitOk;
}

int HostApplication::runCommand(HostContext& context, UpdateClient& client, const WorkflowSnapshot& snapshot,
                                const SignalWatcher& signalWatcher, OutcomePrinter& printer) {
    UpdateRoad road(client, context.registry(), printer,
                    UpdateRoad::Clock::now() + std::chrono::seconds(m_options.timeoutSeconds));
    road.prepareToResume(snapshot);
    const UUId application = applicationOf(m_options);
    const bool update = m_options.command == Command::Update;

    std::atomic<bool> finished(false);
    int commandResult = ExitNotFinished;  // written by the worker before `finished`
    std::thread worker([&] {
        int code = ExitSetupFailed;
        try {
            code = update ? road.update(application) : road.status(application);
        } catch (const std::exception& e) {
            printer.problem(std::string("unexpected error: ") + e.what());
        }
        commandResult = code;
        finished = true;
        exitEventLoop(code);
    });
    QCoreApplication::exec();
    const bool finishedInTime = finished;
    if (!finishedInTime) client.cancel();
    worker.join();

    if (finishedInTime) return commandResult;
    if (signalWatcher.firstSignal() != 0) {
        printer.problem("interrupted by " + signalName(signalWatcher.firstSignal()) +
                        "; the update goes on at the next start.");
        return exitCodeForSignal(signalWatcher.firstSignal());
    }
    printer.problem("the inactivity timer of the component ended the host before the command finished.");
    return ExitNotFinished;
}

}  // namespace kestrup_host
