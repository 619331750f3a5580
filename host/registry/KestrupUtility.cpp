// Host-side helpers that the update component uses to talk to the backend.
#include "host/KestrupUtility.h"

#include <boost/make_shared.hpp>

#include "bus/CommonMessageProperties.h"
#include "bus/LocalMessage.h"
#include "bus/MessageDispatcher.h"
#include "bus/UUId.h"
#include "host/LogLine.h"
#include "host/Logger.h"
#include "payloads/Manifest.h"
#include "payloads/RequestPayloads.h"

const char* const KestrupUtility::BackendTopic = "event://Backend/Kestrup";
const char* const KestrupUtility::UpdateInstalledType = "UpdateInstalled";

void KestrupUtility::notifyBackendAboutUpdate(const UUId& applicationId, const int& versionNumber,
                                              const std::string& sessionId, const std::string& user) {
    CommonMessageProperties properties;
    properties.messageType = UpdateInstalledType;
    properties.targetTopic = BackendTopic;
    properties.sessionId = UUId(sessionId);  // a text that is no id gives the nil id
    properties.user = user;

    boost::shared_ptr<LocalMessage> message = boost::make_shared<LocalMessage>(properties);
    message->setPayload(
        boost::make_shared<ServiceOfferingEntity>(applicationId, static_cast<uint32_t>(versionNumber)));

    const int result = MessageDispatcher::getInstance()->post(message);
    if (result != 0) {
        KS_LOG(Logger::getDefaultInstance(),
               "KestrupUtility: Could not post " + std::string(UpdateInstalledType) + " to " + BackendTopic +
                   " for application " + applicationId.getValue() + ". Result: " + std::to_string(result));
    }
}

boost::shared_ptr<ISerializable>
KestrupUtility::createCheckForUpdatesPayloadLP(const std::list<ServiceOfferingEntity>& entities) {
    std::list<KSConfigurationItem> items;
    for (const ServiceOfferingEntity& entity : entities) {
        // The item's number is signed; a version above INT32_MAX keeps its bits,
        // and the label carries the exact unsigned value.
        KSConfigurationItem item(entity.getApplicationId(), static_cast<int32_t>(entity.getVersionNumber()));
        item.setVersionlabel(std::to_string(entity.getVersionNumber()));
        items.push_back(item);
    }
    boost::shared_ptr<KSRequest> request = boost::make_shared<KSRequest>();
    request->setConfigurationItems(items);
    return request;
}
