#include "HostApplication.h"

#include <atomic>
#include <chrono>
#include <csignal>
#include <exception>
#include <iostream>
#include <thread>

#include <unistd.h>

#include <QCoreApplication>
#include <QDateTime>
#include <QJsonObject>

#include "ExitCodes.h"
#include "HealthFollowUp.h"
#include "HoldCommand.h"
#include "HostContext.h"
#include "HostFacts.h"
#include "LastFailure.h"
#include "HostSettings.h"
#include "OutcomePrinter.h"
#include "PluginLocator.h"
#include "SignalWatcher.h"
#include "UpdateClient.h"
#include "UpdateRoad.h"
#include "WindowedLauncher.h"
#include "WorkflowSnapshot.h"
#include "host/LogLine.h"
#include "host/Logger.h"
#include "host/ServiceOfferingManager.h"
#include "payloads/RequestPayloads.h"

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

// The application and its registered version, for the JSON of status and state.
void addApplication(QJsonObject& object, const UUId& application, ServiceOfferingManager& registry) {
    if (application.isNil()) return;
    object.insert("application", QString::fromStdString(application.getValue()));
    ServiceOfferingEntity entity;
    if (registry.getServiceOfferingEntity(application, entity) == ServiceOfferingManager::Ok) {
        object.insert("installedVersion", static_cast<qint64>(entity.getVersionNumber()));
    }
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

    printer.setQuiet(m_options.json);

    HostContext context(settings, m_options.verbose);
    std::string error;
    if (!context.openHost(error)) {
        printer.problem(error);
        return ExitSetupFailed;
    }
    if (m_options.command == Command::Hold) {
        return runHoldCommand(m_options, settings.holdListFile, context.logger(), printer);
    }

    WorkflowSnapshot snapshot;
    if (m_options.command == Command::State) {
        if (!readWorkflowSnapshot(settings.dataFolder, settings.domainId, snapshot, error)) {
            printer.problem(error);
            return ExitSetupFailed;
        }
        const int code = printWorkflowState(snapshot, context.registry(), applicationOf(m_options), printer);
        const HostFacts facts = gatherFacts(settings, snapshot);
        const QDateTime now = QDateTime::currentDateTime();
        if (!m_options.json) {
            printFacts(facts, now, printer);
            return code;
        }
        QJsonObject object = factsJson(facts, now);
        addApplication(object, applicationOf(m_options), context.registry());
        object.insert("exitCode", code);
        std::cout << renderJson(object) << std::endl;
        return code;
    }

    SignalWatcher signalWatcher([](int signalNumber) { QCoreApplication::exit(exitCodeForSignal(signalNumber)); });
    std::string pluginPath;
    const bool ready =
        signalWatcher.install(error) && context.lockDataFolder(error) &&
        locatePlugin(m_options.pluginPath, QCoreApplication::applicationDirPath().toStdString(), pluginPath, error);
    if (!ready) {
        printer.problem(error);
        return ExitSetupFailed;
    }
    // The download that a restart resumes, for "update" to follow, and the installed
    // version that the component's start will find changed.
    InstalledChange change;
    bool changed = false;
    if (readWorkflowSnapshot(settings.dataFolder, settings.domainId, snapshot, error)) {
        changed = findInstalledChange(snapshot, context.registry(), change);
    } else if (m_options.command == Command::Update) {
        printer.problem(error);
        return ExitSetupFailed;
    } else {
        KS_LOG(context.logger(), "KESTRUP_HOST: The workflow cannot be read before the start: " + error);
    }
    context.startBus();
    if (!context.startServices(error)) {
        printer.problem(error);
        return ExitSetupFailed;
    }
    UpdateClient client(context.bus());
    const bool windowed = m_options.command == Command::Run && settings.afterUpdate.hasInstallWindow;
    if ((m_options.command != Command::Run || windowed) && !client.open()) {
        printer.problem("cannot listen on the bus");
        return ExitSetupFailed;
    }
    if (!context.loadComponent(pluginPath, error)) {
        printer.problem(error);
        return ExitSetupFailed;
    }
    context.startComponent();

    int result = ExitOk;
    if (changed && !HealthFollowUp(settings, context.logger(), printer).run(change)) {
        result = endedEarly(signalWatcher, printer);
    } else if (m_options.command == Command::Run) {
        result = serve(context, client, signalWatcher, printer);
    } else {
        result = runCommand(context, client, snapshot, signalWatcher, printer);
    }

    // Some received messages were created by the module: they go before it does.
    client.close();
    context.shutDown();
    KS_LOG(context.logger(), "KESTRUP_HOST: Shut down; exit code " + std::to_string(result));
    return result;
}

int HostApplication::serve(const HostContext& context, UpdateClient& client, const SignalWatcher& signalWatcher,
                           OutcomePrinter& printer) {
    const HostSettings& settings = context.settings();
    const int32_t timeout = settings.component.inactivityTimeout;
    printer.say(timeout < 0 ? "Serving update requests; stop with Ctrl-C or SIGTERM."
                            : "Serving update requests until " + std::to_string(timeout) +
                                  " seconds pass without activity, or Ctrl-C or SIGTERM.");
    std::thread launcher;
    if (settings.afterUpdate.hasInstallWindow) {
        printer.say("A downloaded installer is started inside the install window " +
                    settings.afterUpdate.installWindow.text() + " (local time) only.");
        launcher = std::thread([&] { WindowedLauncher(client, settings, context.logger()).serve(); });
    }
    QCoreApplication::exec();
    if (launcher.joinable()) {
        client.cancel();
        launcher.join();
    }
    return endedEarly(signalWatcher, printer);
}

int HostApplication::endedEarly(const SignalWatcher& signalWatcher, OutcomePrinter& printer) const {
    const int signalNumber = signalWatcher.firstSignal();
    if (m_options.command == Command::Run) {
        printer.say(signalNumber != 0 ? "Stopping: " + signalName(signalNumber) + " received."
                                      : "Stopping: the inactivity time has passed.");
        return ExitOk;
    }
    if (signalNumber != 0) {
        printer.problem("interrupted by " + signalName(signalNumber) + "; the update goes on at the next start.");
        return exitCodeForSignal(signalNumber);
    }
    printer.problem("the inactivity timer of the component ended the host before the command finished.");
    return ExitNotFinished;
}

int HostApplication::runCommand(HostContext& context, UpdateClient& client, const WorkflowSnapshot& snapshot,
                                const SignalWatcher& signalWatcher, OutcomePrinter& printer) {
    UpdateRoad road(client, context.registry(), printer,
                    UpdateRoad::Clock::now() + std::chrono::seconds(m_options.timeoutSeconds));
    const HostSettings& settings = context.settings();
    const LastFailure failures(settings.dataFolder + "/last-failure.json");
    road.keepRecords(&failures, settings.holdListFile);
    if (settings.afterUpdate.hasInstallWindow) road.keepWindow(&settings.afterUpdate.installWindow);
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

    if (!finishedInTime) return endedEarly(signalWatcher, printer);
    if (update) return commandResult;
    showStatusFacts(context, road, application, commandResult, printer);
    return commandResult;
}

void HostApplication::showStatusFacts(HostContext& context, const UpdateRoad& road, const UUId& application,
                                      int exitCode, OutcomePrinter& printer) const {
    const HostSettings& settings = context.settings();
    WorkflowSnapshot snapshot;
    std::string error;
    if (!readWorkflowSnapshot(settings.dataFolder, settings.domainId, snapshot, error)) printer.problem(error);
    const HostFacts facts = gatherFacts(settings, snapshot);
    const QDateTime now = QDateTime::currentDateTime();
    if (!m_options.json) {
        printFacts(facts, now, printer);
        return;
    }
    QJsonObject object = factsJson(facts, now);
    addApplication(object, application, context.registry());
    if (road.lastStatus() != 0) {
        QJsonObject status;
        status.insert("code", road.lastStatus());
        status.insert("text", QString::fromStdString(statusText(road.lastStatus())));
        object.insert("status", status);
    }
    object.insert("exitCode", exitCode);
    std::cout << renderJson(object) << std::endl;
}

}  // namespace kestrup_host
