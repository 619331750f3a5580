#include "UpdateRoad.h"

#include <set>

#include <QDateTime>

#include "ExitCodes.h"
#include "HoldList.h"
#include "InstallWindow.h"
#include "LastFailure.h"
#include "WorkflowSnapshot.h"
#include "host/ServiceOfferingManager.h"
#include "payloads/RequestPayloads.h"

namespace kestrup_host {
namespace {

const int32_t kStatusNoUpdate = 791;
const int32_t kStatusAvailable = 792;
const int32_t kStatusDownloading = 793;
const int32_t kStatusDownloaded = 794;
const int32_t kStatusInstalling = 795;
const int32_t kDownloadedAndVerified = 794;
const int32_t kUnknownApplication = 801;
const int32_t kNoManifest = 802;
const int32_t kWorkflowDownloading = 3;
// How long a "no update" waits for the backend's word on a held release.
const std::chrono::seconds kHeldNoticeWait(2);
// How often "update" asks again while a resumed download runs whose session it
// could not follow.
const std::chrono::seconds kPollInterval(2);

}  // namespace

const std::chrono::seconds UpdateRoad::RequestBound(45);

UpdateRoad::UpdateRoad(UpdateClient& client, ServiceOfferingManager& registry, OutcomePrinter& printer,
                       Clock::time_point deadline)
    : m_client(client), m_registry(registry), m_printer(printer), m_deadline(deadline) {}

void UpdateRoad::keepRecords(const LastFailure* failures, const std::string& holdListFile) {
    m_failures = failures;
    m_holdListFile = holdListFile;
}

void UpdateRoad::recordFailure(const std::string& text) {
    std::string error;
    if (m_failures != nullptr && !m_failures->record(text, error)) m_printer.problem(error);
}

void UpdateRoad::sayHeld(const UUId& application, uint32_t version, const UUId& session) {
    if (m_holdListFile.empty()) return;
    std::set<kestrup_services::HeldRelease> held;
    std::string error;
    kestrup_services::HoldList(m_holdListFile).load(held, error);
    bool newerHeld = false;
    for (const kestrup_services::HeldRelease& release : held) {
        newerHeld = newerHeld || (release.first == application.getValue() && release.second > version);
    }
    std::string notice;
    if (newerHeld && m_client.waitForHeldNotice(session, Clock::now() + kHeldNoticeWait, notice)) {
        m_printer.say("The feed's newest release is held back: " + notice + ".");
    }
}

void UpdateRoad::prepareToResume(const WorkflowSnapshot& snapshot) {
    if (snapshot.state != kWorkflowDownloading || !UUId::checkValid(snapshot.sessionId)) return;
    m_resumedSession = UUId(snapshot.sessionId);
    m_followingResumed = m_client.followDownload(m_resumedSession);
}

UpdateRoad::Clock::time_point UpdateRoad::requestDeadline() const {
    const Clock::time_point bound = Clock::now() + RequestBound;
    return bound < m_deadline ? bound : m_deadline;
}

bool UpdateRoad::lookUpInstalled(const UUId& application, uint32_t& version) {
    ServiceOfferingEntity entity;
    const ServiceOfferingManager::Error error = m_registry.getServiceOfferingEntity(application, entity);
    if (error == ServiceOfferingManager::Ok) {
        version = entity.getVersionNumber();
        m_installedVersion = version;
        m_printer.say("Application " + application.getValue() + ": version " + std::to_string(version) +
                      " is installed.");
        return true;
    }
    m_printer.problem("application " + application.getValue() + " is not in the registry " +
                      m_registry.registryFile() + " (" + ServiceOfferingManager::errorText(error) + ").");
    return false;
}

Reply UpdateRoad::checkStatus(const UUId& application, uint32_t version, const UUId& session) {
    const Reply reply = m_client.ask("GetUpdateStatus", application, version, session, requestDeadline());
    // The component reports an update installed by the last run while it starts,
    // before it answers the first request.
    UUId installedApplication;
    uint32_t installedVersion = 0;
    while (m_client.takeInstalledReport(installedApplication, installedVersion)) {
        m_printer.say("The update installed by the last run is in place: application " +
                      installedApplication.getValue() + " is now at version " + std::to_string(installedVersion) +
                      ". The backend has been told.");
    }
    return reply;
}

int UpdateRoad::failed(Step step, const Reply& reply, const UUId& application, const UUId& session) {
    if (reply.kind == Reply::Kind::Cancelled) return ExitNotFinished;
    if (reply.kind == Reply::Kind::TimedOut) {
        m_printer.problem(Clock::now() >= m_deadline
                              ? "the time limit (--timeout) has passed; the update goes on at the next start."
                              : "the update component did not answer in time.");
        return ExitNotFinished;
    }
    std::string text = errorText(step, reply.code);
    if (reply.code == kUnknownApplication) {
        ServiceOfferingEntity entity;
        text += " Registry " + m_registry.registryFile() + ": " +
                ServiceOfferingManager::errorText(m_registry.getServiceOfferingEntity(application, entity)) + ".";
    }
    std::string feedError;
    if (reply.code == kNoManifest && m_client.takeFeedError(session, feedError)) {
        text += " The backend said: " + feedError;
    }
    m_printer.problem(text);
    recordFailure(text);
    return failureExitCode(step);
}

int UpdateRoad::status(const UUId& application) {
    uint32_t version = 0;
    if (!lookUpInstalled(application, version)) return ExitCheckFailed;
    const UUId session = UUId::generate();
    const Reply reply = checkStatus(application, version, session);
    if (!reply.isSuccess()) return failed(Step::Check, reply, application, session);
    m_lastStatus = reply.code;
    if (statusExitCode(reply.code) == ExitCheckFailed) {
        m_printer.problem(statusText(reply.code));
    } else {
        m_printer.say(statusText(reply.code));
    }
    if (reply.code == kStatusNoUpdate) sayHeld(application, version, session);
    return statusExitCode(reply.code);
}

int UpdateRoad::update(const UUId& application) {
    uint32_t version = 0;
    if (!lookUpInstalled(application, version)) return ExitCheckFailed;
    m_printer.say("Checking for an update...");
    const UUId session = UUId::generate();
    const Reply reply = checkStatus(application, version, session);
    if (!reply.isSuccess()) return failed(Step::Check, reply, application, session);
    m_lastStatus = reply.code;

    switch (reply.code) {
    case kStatusNoUpdate:
        m_printer.say(statusText(reply.code));
        sayHeld(application, version, session);
        return ExitNoUpdate;
    case kStatusAvailable: {
        m_printer.say(statusText(reply.code));
        // A new workflow: what failed in the last one is no longer its failure.
        std::string error;
        if (m_failures != nullptr && !m_failures->clear(error)) m_printer.problem(error);
        const int downloaded = download(application, version);
        return downloaded == ExitOk ? launch(application, version) : downloaded;
    }
    case kStatusDownloading: {
        m_printer.say("The download of an earlier run goes on.");
        const int downloaded = m_followingResumed ? followDownload(m_resumedSession)
                                                  : waitForResumedDownload(application, version);
        return downloaded == ExitOk ? launch(application, version) : downloaded;
    }
    case kStatusDownloaded:
        m_printer.say("An earlier run has downloaded the update already.");
        return launch(application, version);
    case kStatusInstalling:
        m_printer.say(statusText(reply.code));
        return ExitOk;
    default:
        m_printer.problem(statusText(reply.code));
        return ExitCheckFailed;
    }
}

int UpdateRoad::download(const UUId& application, uint32_t version) {
    const UUId session = UUId::generate();
    // The outcome goes to the session's status topic: listen before asking.
    if (!m_client.followDownload(session)) {
        m_printer.problem("cannot listen for the download's outcome on the bus.");
        return ExitDownloadFailed;
    }
    m_printer.say("Downloading the installer...");
    const Reply reply = m_client.ask("PrepareForInstall", application, version, session, requestDeadline());
    if (!reply.isSuccess()) return failed(Step::Download, reply, application, session);
    return followDownload(session);
}

int UpdateRoad::followDownload(const UUId& session) {
    std::string lastFailure;
    for (;;) {
        const DownloadEvent event = m_client.nextDownloadEvent(session, m_deadline);
        switch (event.kind) {
        case DownloadEvent::Kind::Progress:
            m_printer.progress(event.currentBytes, event.totalBytes, event.bytesPerSecond);
            break;
        case DownloadEvent::Kind::AttemptFailed:
            lastFailure = event.text + " (service code " + std::to_string(event.code) + ")";
            m_printer.say("A download attempt failed: " + lastFailure + ".");
            recordFailure("A download attempt failed: " + lastFailure + ".");
            break;
        case DownloadEvent::Kind::Outcome:
            if (event.code == kDownloadedAndVerified) {
                sayDownloaded(session);
                return ExitOk;
            }
            lastFailure = errorText(Step::Download, event.code) +
                          (lastFailure.empty() ? std::string() : " Last failure: " + lastFailure + ".");
            m_printer.problem(lastFailure);
            recordFailure(lastFailure);
            return ExitDownloadFailed;
        case DownloadEvent::Kind::TimedOut:
            m_printer.problem("the download did not end within the time limit (--timeout); it goes on at the next "
                              "start.");
            return ExitNotFinished;
        case DownloadEvent::Kind::Cancelled:
            m_printer.endProgress();
            return ExitNotFinished;
        }
    }
}

void UpdateRoad::sayDownloaded(const UUId& session) {
    if (m_client.takeUncheckedFinish(session)) {
        m_printer.say("The installer has been downloaded; the feed gives no digest for it, so it is not verified.");
    } else {
        m_printer.say("The installer has been downloaded and verified.");
    }
}

int UpdateRoad::waitForResumedDownload(const UUId& application, uint32_t version) {
    for (;;) {
        if (!m_client.pauseUntil(std::min(Clock::now() + kPollInterval, m_deadline))) return ExitNotFinished;
        if (Clock::now() >= m_deadline) {
            m_printer.problem("the download did not end within the time limit (--timeout); it goes on at the next "
                              "start.");
            return ExitNotFinished;
        }
        const UUId session = UUId::generate();
        const Reply reply = m_client.ask("GetUpdateStatus", application, version, session, requestDeadline());
        if (!reply.isSuccess()) return failed(Step::Download, reply, application, session);
        if (reply.code == kStatusDownloading) continue;
        if (reply.code == kStatusDownloaded) {
            sayDownloaded(m_resumedSession);
            return ExitOk;
        }
        m_printer.problem("the download of the earlier run ended without an installer; the component now reports: " +
                          statusText(reply.code));
        return ExitDownloadFailed;
    }
}

int UpdateRoad::launch(const UUId& application, uint32_t version) {
    if (m_window != nullptr) {
        const QDateTime now = QDateTime::currentDateTime();
        const QDateTime opening = m_window->nextOpening(now);
        if (opening > now) {
            m_printer.say("The installer waits for the install window " + m_window->text() +
                          " (local time): kestrup-host run starts it at " +
                          opening.toString(QStringLiteral("yyyy-MM-dd HH:mm")).toStdString() + ".");
            return ExitOk;
        }
    }
    m_printer.say("Starting the installer...");
    const UUId session = UUId::generate();
    // Answered once the launcher has started the installer (the first answer counts).
    const Reply reply = m_client.ask("LaunchInstall", application, version, session, requestDeadline());
    if (!reply.isSuccess()) return failed(Step::Install, reply, application, session);
    m_printer.say("The installer has been started. The new version is recorded at the next start of kestrup-host.");
    return ExitOk;
}

int printWorkflowState(const WorkflowSnapshot& snapshot, ServiceOfferingManager& registry, const UUId& application,
                       OutcomePrinter& printer) {
    printer.say("Workflow state: " + workflowStateName(snapshot.state) + " (" + std::to_string(snapshot.state) + ")" +
                (snapshot.stateStored ? "" : ", nothing stored yet"));
    if (!snapshot.serviceOfferingId.empty()) {
        printer.say("Update in progress for application " + snapshot.serviceOfferingId +
                    (snapshot.versionStored ? ", found at installed version " +
                                                  std::to_string(snapshot.serviceOfferingVersion)
                                            : std::string()) +
                    ".");
    }
    if (!snapshot.installerFilename.empty()) printer.say("Downloaded installer: " + snapshot.installerFilename);
    if (application.isNil()) return ExitOk;

    ServiceOfferingEntity entity;
    const ServiceOfferingManager::Error error = registry.getServiceOfferingEntity(application, entity);
    if (error != ServiceOfferingManager::Ok) {
        printer.problem("application " + application.getValue() + " is not in the registry " +
                        registry.registryFile() + " (" + ServiceOfferingManager::errorText(error) + ").");
        return ExitCheckFailed;
    }
    printer.say("Installed version of application " + application.getValue() + ": " +
                std::to_string(entity.getVersionNumber()));
    return ExitOk;
}

}  // namespace kestrup_host
