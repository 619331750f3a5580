// "PrepareForInstall" and the download's outcome: retries, resumption, abort.
#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/thread/thread.hpp>

#include "Kestrup.h"
#include "KestrupTopics.h"
#include "bus/LocalMessage.h"
#include "bus/UUId.h"
#include "host/LogLine.h"
#include "host/ServiceOfferingManager.h"
#include "payloads/Manifest.h"
#include "payloads/RequestPayloads.h"

void Kestrup::onPrepareForInstall(const boost::shared_ptr<LocalMessage>& request) {
    boost::unique_lock<boost::mutex> lock(m_mutex);
    m_shutdownTimer.stopCountdown();
    try {
        requireState(KSPersistentState::UpdateAvailable);
        boost::shared_ptr<ServiceOfferingEntity> entity = getServiceOfferingPayload(request);
        requireSameServiceOffering(*entity);
        requireRegisteredServiceOffering(*entity);

        KSFile file;
        if (m_persistentState->readInstallerFile(file) != 0) {
            m_persistentState->setState(KSPersistentState::Idle, true);
            throw op_error_exception(781, "Could not retrieve persisted manifest");
        }
        // The three values become durable together with the new state.
        m_persistentState->writeRetries(0, false);
        m_persistentState->writeInstallerArgs(file.getArguments(), false);
        m_persistentState->writeSessionId(request->getSessionId().getValue(), false);
        m_persistentState->setState(KSPersistentState::Downloading, true);

        m_downloaderProxy.startDownload(file, request->getSessionId());
        sendStatusReply(0, "OperationSuccess", request->getReplyTopic(), request->getSessionId());
        // The download is under way: the inactivity countdown stays stopped.
    } catch (const op_error_exception& error) {
        replyWithError(error, request);
        m_shutdownTimer.startCountdown();
    }
}

void Kestrup::onDownloadEvent(int code, std::string text) {
    // Read without m_mutex: an event after an abort, or of an old session, ends here.
    if (m_persistentState->getState() == KSPersistentState::Downloading) {
        if (code == DownloadFinished) {
            handleDownloadSuccess(text);
        } else {
            handleDownloadFailure(code);
        }
    }
    m_shutdownTimer.startCountdown();
}

void Kestrup::handleDownloadSuccess(const std::string& path) {
    boost::unique_lock<boost::mutex> lock(m_mutex);
    m_persistentState->writeInstallerFilename(path, false);
    m_persistentState->writeRetries(0, false);
    m_persistentState->setState(KSPersistentState::Downloaded, true);

    std::string sessionId;
    m_persistentState->readSessionId(sessionId);
    sendStatusReply(794, "KestrupStatus", kestrup_topics::StatusTopicPrefix + sessionId, UUId(sessionId));
}

void Kestrup::handleDownloadFailure(int code) {
    KS_LOG(m_logger, "KESTRUP: Download finished with error");
    int32_t retries = 0;
    m_persistentState->readRetries(retries);  // a missing count is 0

    if (static_cast<uint32_t>(retries) >= static_cast<uint32_t>(m_downloadRetries)) {
        KS_LOG(m_logger, "KESTRUP: Download retries exceded, returning to idle state...");
        boost::unique_lock<boost::mutex> lock(m_mutex);
        std::string sessionId;
        m_persistentState->readSessionId(sessionId);
        m_persistentState->setState(KSPersistentState::Idle, true);
        const int32_t status = (code == DownloadFailedCode274) ? 773 : 799;
        sendStatusReply(status, "KestrupStatus", kestrup_topics::StatusTopicPrefix + sessionId, UUId(sessionId));
        return;
    }

    // No lock held: requests on other threads are served meanwhile. A bus that shuts
    // down interrupts the wait; a component being destroyed cancels it, and then the
    // download is left in Downloading for the next start to resume.
    if (!m_retryWait.waitUntil(boost::posix_time::microsec_clock::universal_time() +
                               boost::posix_time::seconds(m_downloadRetryInterval)))
        return;
    m_persistentState->writeRetries(static_cast<int32_t>(static_cast<uint32_t>(retries) + 1u), true);
    m_downloaderProxy.restartDownload();
}

void Kestrup::resumePersistedDownload() {
    KSFile file;
    std::string sessionId;
    const bool fileRead = m_persistentState->readInstallerFile(file) == 0;
    const bool sessionRead = m_persistentState->readSessionId(sessionId) == 0;
    if (fileRead && sessionRead) {
        m_downloaderProxy.resumeDownload(file, UUId(sessionId));
        return;
    }
    KS_LOG(m_logger, "KESTRUP: Failed to retrieve persisted data to resume download.");
    m_persistentState->setState(KSPersistentState::Idle, true);
}

void Kestrup::abortWorkflow(const boost::shared_ptr<LocalMessage>& request) {
    if (m_persistentState->getState() == KSPersistentState::Downloading) {
        // Under the session of the request being handled; later events of the old
        // session find the workflow outside Downloading and are ignored.
        m_downloaderProxy.abortDownload(request->getSessionId());
    }
    m_resumeDownloadPending = false;
    m_persistentState->setState(KSPersistentState::Idle, true);
}

void Kestrup::requireRegisteredServiceOffering(const ServiceOfferingEntity& entity) {
    ServiceOfferingManager* registry = Singleton<ServiceOfferingManager>::instance();
    ServiceOfferingEntity registered;  // only asks whether the host knows the application
    if (registry == nullptr || registry->getServiceOfferingEntity(entity.getApplicationId(), registered) != 0) {
        throw op_error_exception(801, "Could not retrieve ServiceOfferingEntity from UpdateInfo");
    }
}
