#include "WindowedLauncher.h"

#include <chrono>

#include <QDateTime>

#include "UpdateClient.h"
#include "UpdateRoad.h"
#include "WorkflowSnapshot.h"
#include "host/LogLine.h"
#include "host/Logger.h"

namespace kestrup_host {
namespace {

const int32_t kWorkflowDownloaded = 4;
// How often the stored workflow is looked at: a download that other clients start
// ends at any time, and the window may open meanwhile.
const std::chrono::seconds kLookInterval(5);

}  // namespace

WindowedLauncher::WindowedLauncher(UpdateClient& client, const HostSettings& settings, Logger* logger)
    : m_client(client), m_settings(settings), m_logger(logger) {}

void WindowedLauncher::log(const std::string& line) {
    KS_LOG(m_logger, "KESTRUP_HOST: " + line);
}

void WindowedLauncher::serve() {
    do {
        look();
    } while (m_client.pauseUntil(UpdateClient::Clock::now() + kLookInterval));
}

void WindowedLauncher::look() {
    WorkflowSnapshot snapshot;
    std::string error;
    if (!readWorkflowSnapshot(m_settings.dataFolder, m_settings.domainId, snapshot, error)) {
        log("The install window cannot be kept: " + error);
        return;
    }
    if (snapshot.state != kWorkflowDownloaded || !UUId::checkValid(snapshot.serviceOfferingId)) return;
    const InstallWindow& window = m_settings.afterUpdate.installWindow;
    const QDateTime now = QDateTime::currentDateTime();
    const QDateTime opening = window.nextOpening(now);
    if (opening > now) {
        const std::string until = opening.toString(QStringLiteral("yyyy-MM-dd HH:mm")).toStdString();
        if (until != m_waitLogged) {
            log("The downloaded installer waits for the install window " + window.text() + " (until " + until + ")");
            m_waitLogged = until;
        }
        return;
    }
    m_waitLogged.clear();
    log("The install window " + window.text() + " is open: asking for the installer's launch");
    const Reply reply = m_client.ask("LaunchInstall", UUId(snapshot.serviceOfferingId),
                                     snapshot.serviceOfferingVersion, UUId::generate(),
                                     UpdateClient::Clock::now() + UpdateRoad::RequestBound);
    if (reply.kind == Reply::Kind::Cancelled) return;  // the host is ending
    if (reply.kind != Reply::Kind::Answered) {
        log("The launch got no answer in time");
    } else if (reply.isSuccess()) {
        log("The installer has been started");
    } else {
        log("The launch failed: " + errorText(Step::Install, reply.code));
    }
}

}  // namespace kestrup_host
