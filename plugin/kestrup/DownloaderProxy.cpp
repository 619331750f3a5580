#include "DownloaderProxy.h"

#include <boost/pointer_cast.hpp>

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

void DownloaderProxy::setDestinationFolder(const std::string& folder) { m_destinationFolder = folder; }

void DownloaderProxy::setObserver(IDownloaderObserver* observer) { m_observer = observer; }

void DownloaderProxy::startDownload(const KSFile& file, const UUId& sessionId) {
    const std::list<KSMirror> mirrors = file.getMirrors();
    if (mirrors.empty()) {
        KS_LOG(m_logger, "DOWNLOADER_PROXY: KSFile contains no mirrors");
        return;
    }
    m_file = file;
    m_remainingMirrors = mirrors;
    m_sessionId = sessionId;
    startWithNextMirror();
}

void DownloaderProxy::restartDownload() {
    // Copies: startDownload assigns to the very members it would otherwise read.
    const KSFile file = m_file;
    const UUId sessionId = m_sessionId;
    startDownload(file, sessionId);
}

void DownloaderProxy::resumeDownload(const KSFile& file, const UUId& sessionId) {
    m_file = file;
    // Nothing is consumed: the service continues by session id, and a failure after
    // a resume goes on with the first mirror.
    m_remainingMirrors = file.getMirrors();
    m_sessionId = sessionId;
    postRequest("Resume", m_sessionId, boost::shared_ptr<ISerializable>());
}

void DownloaderProxy::abortDownload(const UUId& sessionId) {
    postRequest("Abort", sessionId, boost::shared_ptr<ISerializable>());
}

void DownloaderProxy::startWithNextMirror() {
    const std::string url = m_remainingMirrors.front().getUrl();
    m_remainingMirrors.pop_front();
    boost::shared_ptr<ISerializable> payload(
        new StartRequestPayload(url, "", "", m_destinationFolder, false, m_file.getDigest()));
    postRequest("Start", m_sessionId, payload);
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

void DownloaderProxy::onDownloadFinished(const boost::shared_ptr<LocalMessage>& message) {
    if (!(message->getSessionId() == m_sessionId)) return;
    std::string path;
    if (getStatusMessage(message, path)) {
        notifyObserver(DownloadFinished, path);
    } else {
        KS_LOG(m_logger, "DOWNLOADER_PROXY: Could not downcast to StatusReportPayload");
        notifyObserver(DownloadFailed, "");
    }
}

void DownloaderProxy::onDownloadFailed(const boost::shared_ptr<LocalMessage>& message) {
    if (!(message->getSessionId() == m_sessionId)) return;
    int code = -1;
    if (!getStatusCode(message, code)) {
        KS_LOG(m_logger, "DOWNLOADER_PROXY: Could not downcast to StatusReportPayload");
    }
    KS_LOG(m_logger, "DOWNLOADER_PROXY: Download error #" + std::to_string(code));
    // Every failure moves on while a mirror is left; the code only picks the final event.
    if (!m_remainingMirrors.empty()) {
        KS_LOG(m_logger, "DOWNLOADER_PROXY: Trying with next mirror...");
        startWithNextMirror();
    } else {
        KS_LOG(m_logger, "DOWNLOADER_PROXY: No more mirrors. Notifying error...");
        notifyObserver(code == kServiceCode274 ? DownloadFailedCode274 : DownloadFailed, "");
    }
}

void DownloaderProxy::onDownloadAborted(const boost::shared_ptr<LocalMessage>& message) {
    if (!(message->getSessionId() == m_sessionId)) return;
    notifyObserver(DownloadAborted, "");
}

void DownloaderProxy::notifyObserver(int code, const std::string& text) {
    if (IDownloaderObserver* observer = m_observer.load()) observer->onDownloadEvent(code, text);
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
