#pragma once
#include <string>

#include <boost/shared_ptr.hpp>

#include "Export.h"
#include "bus/CommonMessageProperties.h"

class ISerializable;

// A message on the bus. Always created on the heap and held by boost::shared_ptr.
// The header is fixed at construction. Set the payload before posting: after a
// post, several receivers may read the message at once, and only reads are safe.
class KESTRUP_HOST_API LocalMessage {
public:
    explicit LocalMessage(CommonMessageProperties properties);
    virtual ~LocalMessage();

    const std::string& getMessageType() const;
    const std::string& getTargetTopic() const;
    const std::string& getReplyTopic() const;
    const UUId& getSessionId() const;
    int32_t getPriority() const;
    const std::string& getUser() const;
    const CommonMessageProperties& getProperties() const;

    void setPayload(boost::shared_ptr<ISerializable> payload);
    // A copy of the payload pointer; empty when none was set.
    boost::shared_ptr<ISerializable> getPayload() const;

private:
    CommonMessageProperties m_properties;
    boost::shared_ptr<ISerializable> m_payload;
};

typedef boost::shared_ptr<LocalMessage> LocalMessagePtr;
