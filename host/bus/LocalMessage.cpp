#include "bus/LocalMessage.h"

#include <utility>

CommonMessageProperties::CommonMessageProperties() = default;
CommonMessageProperties::~CommonMessageProperties() = default;
CommonMessageProperties::CommonMessageProperties(const CommonMessageProperties&) = default;
CommonMessageProperties& CommonMessageProperties::operator=(const CommonMessageProperties&) = default;

// A payload already placed in the header record is the message's initial payload.
LocalMessage::LocalMessage(CommonMessageProperties properties)
    : m_properties(std::move(properties)), m_payload(m_properties.payload) {}

LocalMessage::~LocalMessage() = default;

const std::string& LocalMessage::getMessageType() const { return m_properties.messageType; }
const std::string& LocalMessage::getTargetTopic() const { return m_properties.targetTopic; }
const std::string& LocalMessage::getReplyTopic() const { return m_properties.replyTopic; }
const UUId& LocalMessage::getSessionId() const { return m_properties.sessionId; }
int32_t LocalMessage::getPriority() const { return m_properties.priority; }
const std::string& LocalMessage::getUser() const { return m_properties.user; }
const CommonMessageProperties& LocalMessage::getProperties() const { return m_properties; }

void LocalMessage::setPayload(boost::shared_ptr<ISerializable> payload) { m_payload = std::move(payload); }

boost::shared_ptr<ISerializable> LocalMessage::getPayload() const { return m_payload; }
