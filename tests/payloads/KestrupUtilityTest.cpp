// The update utility: the update-check request it builds and the notification it
// puts on the real bus.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>

#include <boost/pointer_cast.hpp>

#include "support/TestSupport.h"
#include "bus/MessageDispatcher.h"
#include "bus/UUId.h"
#include "host/KestrupUtility.h"
#include "payloads/Manifest.h"
#include "payloads/RequestPayloads.h"

namespace {

TEST(KestrupUtility, CheckForUpdatesRequestHasOneItemPerEntityInOrder) {
    const UUId first = UUId::generate();
    const UUId second = UUId::generate();
    const boost::shared_ptr<ISerializable> payload = KestrupUtility::createCheckForUpdatesPayloadLP(
        {ServiceOfferingEntity(first, 12), ServiceOfferingEntity(second, 4294967295u)});
    ASSERT_TRUE(payload);
    EXPECT_EQ("updateRequest", payload->getSerializableType());
    const boost::shared_ptr<KSRequest> request = boost::dynamic_pointer_cast<KSRequest>(payload);
    ASSERT_TRUE(request);
    const std::list<KSConfigurationItem> items = request->getConfigurationItems();
    ASSERT_EQ(2u, items.size());
    EXPECT_EQ(first, items.front().getId());
    EXPECT_EQ(12, items.front().getNumber());
    EXPECT_TRUE(items.front().hasVersionlabel());
    EXPECT_EQ("12", items.front().getVersionlabel());
    EXPECT_FALSE(items.front().hasDeliverables());
    // The largest version keeps its exact decimal text in the label.
    EXPECT_EQ(second, items.back().getId());
    EXPECT_EQ("4294967295", items.back().getVersionlabel());

    const boost::shared_ptr<KSRequest> empty =
        boost::dynamic_pointer_cast<KSRequest>(KestrupUtility::createCheckForUpdatesPayloadLP({}));
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->getConfigurationItems().empty());
}

TEST(KestrupUtility, UpdateInstalledArrivesAtTheBackendWithItsHeaderAndPayload) {
    testsupport::RecordingSink backend({"event://Backend/Kestrup"});
    const UUId application = UUId::generate();
    const UUId session = UUId::generate();
    // The session id may come in any written form.
    std::string sessionText = "{" + session.getValue() + "}";
    std::transform(sessionText.begin(), sessionText.end(), sessionText.begin(), ::toupper);
    KestrupUtility::notifyBackendAboutUpdate(application, 17, sessionText, "alice");
    const boost::shared_ptr<LocalMessage> message = backend.waitForType("UpdateInstalled");
    ASSERT_TRUE(message);
    EXPECT_EQ("event://Backend/Kestrup", message->getTargetTopic());
    EXPECT_EQ(session, message->getSessionId());
    EXPECT_EQ("alice", message->getUser());
    const auto entity = boost::dynamic_pointer_cast<ServiceOfferingEntity>(message->getPayload());
    ASSERT_TRUE(entity);
    EXPECT_EQ("ServiceOffering", entity->getSerializableType());
    EXPECT_EQ(application, entity->getApplicationId());
    EXPECT_EQ(17u, entity->getVersionNumber());
    EXPECT_EQ(1u, backend.count());
}

}  // namespace
