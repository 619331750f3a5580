#include "DownloaderProxy.h"

#include <boost/pointer_cast.hpp>
#include <boost/thread/locks.hpp>

#include "IDownloaderObserver.h"
#include "bus/CommonMessageProperties.h"
#include "bus/LocalMessage.h"
#include "bus/MessageDispatcher.h"
#include "host/LogLine.h"
#include "host/Logger.h"
#include "payloads/RequestPayloads.h"
#include "payloads/StatusPayloads.h"

const char* const DownloaderProxy::ServiceTopic = "event://Client/Service/Download";
const char* const DownloaderProxy::ReplyTopic = "event://Client/Kestrup/DownloaderProxy";

namespace {

// The service's failure code that the owner treats apart from all others.
const int32_t kServiceCode274 = 274;
// The code of the failure that stands for a request the bus refused: no code.
const int32_t kRefusedPostCode = -1;

}  // namespace

DownloaderProxy::DownloaderProxy()
    : m_logger(Logger::getDefaultInstance()), m_observer(nullptr) {
    // A failed subscription leaves the proxy deaf; there is nothing better to do here.
    MessageDispatcher::getInstance()->subscribe(this, ReplyTopic);
}

DownloaderProxy::~DownloaderProxy() {
    // Before the members go: no delivery may reach them once this returns.
    MessageDispatcher::getInstance()->unsubscribe(this, "");
}

void DownloaderProxy::setDestinationFolder(const std::string& folder) {
    boost::lock_guard<boost::mutex> lock(m_mutex);
    m_destinationFolder = folder;
}

void DownloaderProxy::setObserver(IDownloaderObserver* observer) {
    boost::lock_guard<boost::mutex> lock(m_mutex);
    m_observer = observer;
}

UUId DownloaderProxy::getSessionId() const {
    boost::lock_guard<boost::mutex> lock(m_mutex);
    return m_sessionId;
}

void DownloaderProxy::startDownload(const KSFile& file, const UUId& sessionId) {
    const std::list<KSMirror> mirrors = file.getMirrors();
    if (mirrors.empty()) {
        KS_LOG(m_logger, "DOWNLOADER_PROXY: KSFile contains no mirrors");
        return;
    }
    StartRequest start;
    {
        boost::lock_guard<boost::mutex> lock(m_mutex);
        m_file = file;
        m_remainingMirrors = mirrors;
        m_sessionId = sessionId;
        start = takeNextMirror();
    }
    postStart(start);
}

void DownloaderProxy::restartDownload() {
    KSFile file;
    UUId sessionId;
    {
        boost::lock_guard<boost::mutex> lock(m_mutex);
        file = m_file;
        sessionId = m_sessionId;
    }
    startDownload(file, sessionId);
}

void DownloaderProxy::resumeDownload(const KSFile& file, const UUId& sessionId) {
    {
        boost::lock_guard<boost::mutex> lock(m_mutex);
        m_file = file;
        // Nothing is consumed: the service continues by session id, and a failure
        // after a resume goes on with the first mirror.
        m_remainingMirrors = file.getMirrors();
        m_sessionId = sessionId;
    }
    postRequest("Resume", sessionId, boost::shared_ptr<ISerializable>());
}

void DownloaderProxy::abortDownload(const UUId& sessionId) {
    postRequest("Abort", sessionId, boost::shared_ptr<ISerializable>());
}

DownloaderProxy::StartRequest DownloaderProxy::takeNextMirror() {
    StartRequest start;
    start.url = m_remainingMirrors.front().getUrl();
    m_remainingMirrors.pop_front();
    start.sessionId = m_sessionId;
    start.destinationFolder = m_destinationFolder;
    start.fileHash = m_file.getDigest();
    return start;
}

void DownloaderProxy::postStart(const StartRequest& start) {
    boost::shared_ptr<ISerializable> payload(
        new StartRequestPayload(start.url, "", "", start.destinationFolder, false, start.fileHash));
    postRequest("Start", start.sessionId, payload);
}

void DownloaderProxy::postRequest(const std::string& messageType, const UUId& sessionId,
                                  const boost::shared_ptr<ISerializable>& payload) {
    CommonMessageProperties properties;
    properties.messageType = messageType;
    properties.targetTopic = ServiceTopic;
    properties.replyTopic = ReplyTopic;
    properties.priority = 1;
    properties.sessionId = sessionId;
    boost::shared_ptr<LocalMessage> message(new LocalMessage(properties));
    if (payload) message->setPayload(payload);
    if (MessageDispatcher::getInstance()->post(message) != 0) {
        KS_LOG(m_logger, "DOWNLOADER_PROXY: Could not post message.");
        // Otherwise nothing would ever answer, and the download would never end.
        if (messageType != "Abort") reportRefusedPost(sessionId);
    }
}

void DownloaderProxy::reportRefusedPost(const UUId& sessionId) {
    // Through the bus, never a direct call: the owner may hold its lock right now.
    CommonMessageProperties properties;
    properties.messageType = "DownloaderError";
    properties.targetTopic = ReplyTopic;
    properties.priority = 1;
    properties.sessionId = sessionId;
    boost::shared_ptr<LocalMessage> failure(new LocalMessage(properties));
    failure->setPayload(boost::shared_ptr<ISerializable>(
        new StatusReportPayload(kRefusedPostCode, "the request could not be posted")));
    // A bus that refuses this too is shutting down: the next start resumes the download.
    if (MessageDispatcher::getInstance()->post(failure) != 0) {
        KS_LOG(m_logger, "DOWNLOADER_PROXY: Could not post message.");
    }
}

void DownloaderProxy::handleMessage(boost::shared_ptr<LocalMessage> message) {
    if (!message) return;
    const std::string& type = message->getMessageType();
    if (type == "WasFinished") {
        onDownloadFinished(message);
    } else if (type == "WasFailed") {
        onDownloadFailed(message);
    } else if (type == "DownloaderError") {
        onDownloadFailed(message);
    } else if (type == "WasAborted") {
        onDownloadAborted(message);
    }
    // Anything else (our own requests echoed back included) is not for us.
}

bool DownloaderProxy::isCurrent(const UUId& sessionId, IDownloaderObserver*& observer) {
    boost::lock_guard<boost::mutex> lock(m_mutex);
    observer = m_observer;
    return sessionId == m_sessionId;
}

void DownloaderProxy::onDownloadFinished(const boost::shared_ptr<LocalMessage>& message) {
    const UUId sessionId = message->getSessionId();
    IDownloaderObserver* observer = nullptr;
    if (!isCurrent(sessionId, observer)) return;
    std::string path;
    if (getStatusMessage(message, path)) {
        notifyObserver(observer, DownloadFinished, path, sessionId);
    } else {
        KS_LOG(m_logger, "DOWNLOADER_PROXY: Could not downcast to StatusReportPayload");
        notifyObserver(observer, DownloadFailed, "", sessionId);
    }
}

void DownloaderProxy::onDownloadFailed(const boost::shared_ptr<LocalMessage>& message) {
    const UUId sessionId = message->getSessionId();
    // The session test and the choice of the next mirror are one step, so a download
    // started meanwhile on another thread keeps all of its mirrors.
    bool mirrorLeft = false;
    StartRequest next;
    IDownloaderObserver* observer = nullptr;
    {
        boost::lock_guard<boost::mutex> lock(m_mutex);
        if (!(sessionId == m_sessionId)) return;
        mirrorLeft = !m_remainingMirrors.empty();
        if (mirrorLeft) next = takeNextMirror();
        observer = m_observer;
    }
    int code = -1;
    if (!getStatusCode(message, code)) {
        KS_LOG(m_logger, "DOWNLOADER_PROXY: Could not downcast to StatusReportPayload");
    }
    KS_LOG(m_logger, "DOWNLOADER_PROXY: Download error #" + std::to_string(code));
    // Every failure moves on while a mirror is left; the code only picks the final event.
    if (mirrorLeft) {
        KS_LOG(m_logger, "DOWNLOADER_PROXY: Trying with next mirror...");
        postStart(next);
    } else {
        KS_LOG(m_logger, "DOWNLOADER_PROXY: No more mirrors. Notifying error...");
        notifyObserver(observer, code == kServiceCode274 ? DownloadFailedCode274 : DownloadFailed, "", sessionId);
    }
}

void DownloaderProxy::onDownloadAborted(const boost::shared_ptr<LocalMessage>& message) {
    const UUId sessionId = message->getSessionId();
    IDownloaderObserver* observer = nullptr;
    if (isCurrent(sessionId, observer)) notifyObserver(observer, DownloadAborted, "", sessionId);
}

void DownloaderProxy::notifyObserver(IDownloaderObserver* observer, int code, const std::string& text,
                                     const UUId& sessionId) {
    if (observer) observer->onSessionDownloadEvent(code, text, sessionId);
}

bool DownloaderProxy::getStatusCode(const boost::shared_ptr<LocalMessage>& message, int& code) {
    boost::shared_ptr<StatusReportPayload> status =
        boost::dynamic_pointer_cast<StatusReportPayload>(message->getPayload());
    if (!status) return false;
    code = status->getCode();
    return true;
}

bool DownloaderProxy::getStatusMessage(const boost::shared_ptr<LocalMessage>& message, std::string& text) {
    boost::shared_ptr<StatusReportPayload> status =
        boost::dynamic_pointer_cast<StatusReportPayload>(message->getPayload());
    if (!status) return false;
    text = status->getMessage();
    return true;
}
