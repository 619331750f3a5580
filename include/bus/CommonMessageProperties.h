#pragma once
#include <cstdint>
#include <string>

#include <boost/shared_ptr.hpp>

#include "Export.h"
#include "bus/UUId.h"

class ISerializable;

// The header record of a bus message. Plain data: default-constructible and copyable.
class KESTRUP_HOST_API CommonMessageProperties {
public:
    CommonMessageProperties();
    virtual ~CommonMessageProperties();
    CommonMessageProperties(const CommonMessageProperties&);
    CommonMessageProperties& operator=(const CommonMessageProperties&);

    std::string messageType;
    int32_t priority = 0;
    std::string replyTopic;   // empty when no reply is wanted
    std::string targetTopic;
    UUId sessionId;
    std::string user;

    // Carried but not used by the update component.
    UUId messageId;
    boost::shared_ptr<ISerializable> payload;
    int32_t flags = 0;
};
