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
    onSessionDownloadEvent(code, text, m_downloaderProxy.getSessionId());
}

void Kestrup::onSessionDownloadEvent(int code, const std::string& text, const UUId& sessionId) {
    if (code == DownloadFinished) {
        handleDownloadSuccess(text, sessionId);
    } else {
        handleDownloadFailure(code, sessionId);
    }
    boost::unique_lock<boost::mutex> lock(m_mutex);
    // A download still under way (a retry, or a newer one) keeps the countdown stopped.
    if (m_persistentState->getState() != KSPersistentState::Downloading) m_shutdownTimer.startCountdown();
}

bool Kestrup::isCurrentDownload(const UUId& sessionId) {
    if (m_persistentState->getState() != KSPersistentState::Downloading) return false;
    std::string persisted;
    // An unreadable session cannot tell: the outcome is taken rather than lost.
    return m_persistentState->readSessionId(persisted) != 0 || persisted == sessionId.getValue();
}

void Kestrup::handleDownloadSuccess(const std::string& path, const UUId& sessionId) {
    boost::unique_lock<boost::mutex> lock(m_mutex);
    // An outcome of an abandoned download must not overwrite a newer workflow.
    if (!isCurrentDownload(sessionId)) return;
    m_persistentState->writeInstallerFilename(path, false);
    m_persistentState->writeRetries(0, false);
    m_persistentState->setState(KSPersistentState::Downloaded, true);

    std::string persistedSession;
    m_persistentState->readSessionId(persistedSession);
    sendStatusReply(794, "KestrupStatus", kestrup_topics::StatusTopicPrefix + persistedSession,
                    UUId(persistedSession));
}

void Kestrup::handleDownloadFailure(int code, const UUId& sessionId) {
    // A first look filters, silently, the outcomes of an old session or of an aborted
    // download; the decision itself is taken under the lock after the log line.
    {
        boost::unique_lock<boost::mutex> lock(m_mutex);
        if (!isCurrentDownload(sessionId)) return;
    }
    KS_LOG(m_logger, "KESTRUP: Download finished with error");
    boost::unique_lock<boost::mutex> lock(m_mutex);
    // Decided again under the lock: the workflow may have moved on since.
    if (!isCurrentDownload(sessionId)) {
        KS_LOG(m_logger, "KESTRUP: Download outcome dropped: the workflow moved on");
        return;
    }
    int32_t retries = 0;
    m_persistentState->readRetries(retries);  // a missing count is 0

    if (static_cast<uint32_t>(retries) >= static_cast<uint32_t>(m_downloadRetries)) {
        KS_LOG(m_logger, "KESTRUP: Download retries exceded, returning to idle state...");
        std::string persistedSession;
        m_persistentState->readSessionId(persistedSession);
        m_persistentState->setState(KSPersistentState::Idle, true);
        const int32_t status = (code == DownloadFailedCode274) ? 773 : 799;
        sendStatusReply(status, "KestrupStatus", kestrup_topics::StatusTopicPrefix + persistedSession,
                        UUId(persistedSession));
        return;
    }
    KSFile retriedFile;
    m_persistentState->readInstallerFile(retriedFile);
    lock.unlock();

    // No lock held: requests on other threads are served meanwhile. A bus that shuts
    // down interrupts the wait; a component being destroyed cancels it, and then the
    // download is left in Downloading for the next start to resume.
    if (!m_retryWait.waitUntil(boost::posix_time::microsec_clock::universal_time() +
                               boost::posix_time::seconds(m_downloadRetryInterval)))
        return;

    lock.lock();
    // During the wait another request may have abandoned this download or started
    // another one; retrying then would restart a file nobody wants any more.
    KSFile currentFile;
    m_persistentState->readInstallerFile(currentFile);
    if (!isCurrentDownload(sessionId) || !(currentFile == retriedFile)) {
        KS_LOG(m_logger, "KESTRUP: Download retry dropped: the workflow moved on");
        return;
    }
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
