#include "UpdateClient.h"

#include <boost/pointer_cast.hpp>

#include "BackendClient.h"
#include "DownloadService.h"
#include "bus/LocalMessage.h"
#include "bus/MessageDispatcher.h"
#include "payloads/RequestPayloads.h"
#include "payloads/StatusPayloads.h"

namespace kestrup_host {
namespace {

// The component's request topic, and the topic where the backend answers it.
const char* const kComponentTopic = "event://Client/Service/Kestrup";
const char* const kComponentAnswerTopic = "target://Client/Component/Kestrup";
// Download outcomes: this prefix followed by the download's session id.
const char* const kStatusTopicPrefix = "event://Client/Service/KestrupStatus/";
// Where the download service answers the component's download proxy.
const char* const kProxyReplyTopic = "event://Client/Kestrup/DownloaderProxy";
const char* const kUser = "kestrup-host";

std::string statusTopic(const UUId& session) {
    return kStatusTopicPrefix + session.getValue();
}

}  // namespace

UpdateClient::UpdateClient(MessageDispatcher* bus)
    : m_inbox(bus), m_replyTopicBase("event://Client/KestrupHost/" + UUId::generate().getValue() + "/") {}

UpdateClient::~UpdateClient() {
    close();
}

bool UpdateClient::open() {
    return m_inbox.subscribe(BackendClient::Topic) && m_inbox.subscribe(kComponentAnswerTopic) &&
           m_inbox.subscribe(BackendClient::NoticeTopic);
}

Reply UpdateClient::ask(const std::string& messageType, const UUId& application, uint32_t version,
                        const UUId& session, Clock::time_point deadline) {
    const std::string replyTopic = m_replyTopicBase + std::to_string(++m_requestCount);
    Reply reply;
    if (!m_inbox.subscribe(replyTopic)) return reply;

    CommonMessageProperties properties;
    properties.targetTopic = kComponentTopic;
    properties.messageType = messageType;
    properties.replyTopic = replyTopic;
    properties.sessionId = session;
    properties.user = kUser;
    boost::shared_ptr<LocalMessage> request(new LocalMessage(properties));
    request->setPayload(boost::shared_ptr<ISerializable>(new ServiceOfferingEntity(application, version)));
    if (m_inbox.bus()->post(request) != 0) return reply;

    boost::shared_ptr<LocalMessage> answer;
    const MessageInbox::WaitEnd end = m_inbox.waitFor(
        [&replyTopic](const LocalMessage& message) { return message.getTargetTopic() == replyTopic; }, deadline,
        answer);
    if (end != MessageInbox::WaitEnd::Received) {
        reply.kind = end == MessageInbox::WaitEnd::Cancelled ? Reply::Kind::Cancelled : Reply::Kind::TimedOut;
        return reply;
    }
    reply.kind = Reply::Kind::Answered;
    reply.messageType = answer->getMessageType();
    boost::shared_ptr<StatusResultTypePayload> result =
        boost::dynamic_pointer_cast<StatusResultTypePayload>(answer->getPayload());
    reply.code = result ? result->getResult() : -1;
    return reply;
}

bool UpdateClient::followDownload(const UUId& session) {
    return m_inbox.subscribe(statusTopic(session)) && m_inbox.subscribe(DownloadService::progressTopic(session)) &&
           m_inbox.subscribe(kProxyReplyTopic);
}

DownloadEvent UpdateClient::nextDownloadEvent(const UUId& session, Clock::time_point deadline) {
    const std::string status = statusTopic(session);
    const std::string progress = DownloadService::progressTopic(session);
    boost::shared_ptr<LocalMessage> message;
    const MessageInbox::WaitEnd end = m_inbox.waitFor(
        [&](const LocalMessage& m) {
            const std::string& topic = m.getTargetTopic();
            if (topic == status) return m.getMessageType() == "KestrupStatus";
            if (topic == progress) return m.getMessageType() == "ProgressReport";
            return topic == kProxyReplyTopic && m.getMessageType() == "WasFailed" && m.getSessionId() == session;
        },
        deadline, message);

    DownloadEvent event;
    if (end != MessageInbox::WaitEnd::Received) {
        event.kind = end == MessageInbox::WaitEnd::Cancelled ? DownloadEvent::Kind::Cancelled
                                                            : DownloadEvent::Kind::TimedOut;
        return event;
    }
    const boost::shared_ptr<ISerializable> payload = message->getPayload();
    if (message->getMessageType() == "KestrupStatus") {
        event.kind = DownloadEvent::Kind::Outcome;
        boost::shared_ptr<StatusResultTypePayload> result = boost::dynamic_pointer_cast<StatusResultTypePayload>(payload);
        event.code = result ? result->getResult() : -1;
    } else if (message->getMessageType() == "ProgressReport") {
        event.kind = DownloadEvent::Kind::Progress;
        if (boost::shared_ptr<ProgressReportPayload> report = boost::dynamic_pointer_cast<ProgressReportPayload>(payload)) {
            event.currentBytes = report->getCurrentBytes();
            event.totalBytes = report->getTotalBytes();
            event.bytesPerSecond = report->getBytesPerSecond();
        }
    } else {
        event.kind = DownloadEvent::Kind::AttemptFailed;
        if (boost::shared_ptr<StatusReportPayload> report = boost::dynamic_pointer_cast<StatusReportPayload>(payload)) {
            event.code = report->getCode();
            event.text = report->getMessage();
        }
    }
    return event;
}

bool UpdateClient::takeFeedError(const UUId& session, std::string& text) {
    return takeReport(kComponentAnswerTopic, BackendClient::FeedErrorType, session, Clock::now(), text);
}

bool UpdateClient::waitForHeldNotice(const UUId& session, Clock::time_point deadline, std::string& text) {
    return takeReport(BackendClient::NoticeTopic, BackendClient::UpdateHeldType, session, deadline, text);
}

bool UpdateClient::takeReport(const char* topic, const char* type, const UUId& session, Clock::time_point deadline,
                              std::string& text) {
    boost::shared_ptr<LocalMessage> message;
    const MessageInbox::Match match = [&](const LocalMessage& m) {
        return m.getTargetTopic() == topic && m.getMessageType() == type && m.getSessionId() == session;
    };
    if (m_inbox.waitFor(match, deadline, message) != MessageInbox::WaitEnd::Received) return false;
    if (!message) return false;
    boost::shared_ptr<StatusReportPayload> report = boost::dynamic_pointer_cast<StatusReportPayload>(message->getPayload());
    text = report ? report->getMessage() : std::string();
    return true;
}

bool UpdateClient::takeUncheckedFinish(const UUId& session) {
    return static_cast<bool>(m_inbox.take([&session](const LocalMessage& m) {
        if (m.getTargetTopic() != kProxyReplyTopic || m.getMessageType() != "WasFinished" ||
            !(m.getSessionId() == session)) {
            return false;
        }
        boost::shared_ptr<StatusReportPayload> report =
            boost::dynamic_pointer_cast<StatusReportPayload>(m.getPayload());
        return report && report->getDetail() == DownloadService::NoDigestDetail;
    }));
}

bool UpdateClient::takeInstalledReport(UUId& application, uint32_t& version) {
    boost::shared_ptr<LocalMessage> message = m_inbox.take([](const LocalMessage& m) {
        return m.getTargetTopic() == BackendClient::Topic && m.getMessageType() == BackendClient::UpdateInstalledType;
    });
    if (!message) return false;
    boost::shared_ptr<ServiceOfferingEntity> entity =
        boost::dynamic_pointer_cast<ServiceOfferingEntity>(message->getPayload());
    if (!entity) return false;
    application = entity->getApplicationId();
    version = entity->getVersionNumber();
    return true;
}

bool UpdateClient::pauseUntil(Clock::time_point time) {
    boost::shared_ptr<LocalMessage> none;
    return m_inbox.waitFor([](const LocalMessage&) { return false; }, time, none) !=
           MessageInbox::WaitEnd::Cancelled;
}

void UpdateClient::cancel() {
    m_inbox.cancel();
}

void UpdateClient::close() {
    m_inbox.close();
}

}  // namespace kestrup_host
