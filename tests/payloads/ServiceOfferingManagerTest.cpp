// The registry file (lookups that always see the file as it is, safe rewrites) and
// the update utility's request and notification.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include <boost/pointer_cast.hpp>

#include "bus/MessageDispatcher.h"
#include "bus/UUId.h"
#include "host/KestrupUtility.h"
#include "host/ServiceOfferingManager.h"
#include "payloads/Payloads.h"
#include "support/TestSupport.h"

namespace {

namespace fs = std::filesystem;
using Registry = ServiceOfferingManager;
using Entity = ServiceOfferingEntity;

const char* const kAppA = "3f0c6a2e-1b7d-4c1e-9a55-0d2f7b8e4a01";
const char* const kAppB = "b7e1f0a4-52c3-4d8e-8f19-6a7c2d9e0b55";

using testsupport::writeFile;

std::string registryWith(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string xml = "<?xml version=\"1.0\"?>\n<serviceOfferings>\n";
    for (const auto& entry : entries)
        xml += "  <serviceOffering id=\"" + entry.first + "\" version=\"" + entry.second + "\"/>\n";
    return xml + "</serviceOfferings>\n";
}

class ServiceOfferingManagerTest : public ::testing::Test {
protected:
    // "v<version>" when the registry knows `id`, else the error's text. A failed
    // lookup must leave the caller's entity alone.
    std::string lookup(const UUId& id) {
        const Entity sentinel(UUId(kAppB), 999);
        Entity entity = sentinel;
        const Registry::Error result = m_registry.getServiceOfferingEntity(id, entity);
        if (result != Registry::Ok) return entity == sentinel ? Registry::errorText(result) : "entity changed";
        return entity.getApplicationId() == id ? "v" + std::to_string(entity.getVersionNumber()) : "wrong id";
    }

    testsupport::TempDir m_dir;
    std::string m_file = m_dir.file("serviceOfferings.xml");
    Registry m_registry{m_file};
    const UUId m_a{kAppA};
};

TEST_F(ServiceOfferingManagerTest, EveryLookupSeesTheFileAsItIsNow) {
    EXPECT_EQ(lookup(m_a), "registry file missing or unreadable");
    fs::create_directory(m_file);  // a folder where the file should be
    EXPECT_EQ(lookup(m_a), "registry file missing or unreadable");
    fs::remove(m_file);
    // Ids match whichever way they are written.
    writeFile(m_file, registryWith({{kAppB, "7"}, {"{3F0C6A2E-1B7D-4C1E-9A55-0D2F7B8E4A01}", "42"}}));
    EXPECT_EQ(lookup(m_a), "v42");
    EXPECT_EQ(lookup(UUId(kAppB)), "v7");
    EXPECT_TRUE(m_registry.getServiceOfferingEntities().front() == Entity(UUId(kAppB), 7));  // file order
    writeFile(m_file, registryWith({{kAppA, "4294967295"}}));  // an installer rewrote it
    EXPECT_EQ(lookup(m_a), "v4294967295");
    writeFile(m_file, registryWith({{kAppB, "3"}}));  // and uninstalled it
    EXPECT_EQ(lookup(m_a), "not found");
}

TEST_F(ServiceOfferingManagerTest, MalformedFilesAreReportedNotTrustedNorOverwritten) {
    const std::string good = registryWith({{kAppA, "5"}});
    for (const std::string& content : std::vector<std::string>{
             "", "garbage", good.substr(0, good.size() / 2),  // an installer caught mid-write
             "<offerings><serviceOffering id=\"" + std::string(kAppA) + "\" version=\"5\"/></offerings>",
             registryWith({{kAppA, "5"}, {"not-an-id", "1"}}), registryWith({{kAppA, "-1"}}),
             registryWith({{kAppA, "1.5"}}), registryWith({{kAppA, " 5"}}), registryWith({{kAppA, "4294967296"}}),
             registryWith({{kAppA, ""}}), registryWith({{kAppA, "5:"}}),
             "<serviceOfferings><serviceOffering version=\"5\"/></serviceOfferings>", good + "<serviceOfferings/>",
             good + "trailing text", "text before" + good}) {
        writeFile(m_file, content);
        EXPECT_EQ(lookup(m_a), "registry file malformed") << content;
        EXPECT_TRUE(m_registry.getServiceOfferingEntities().empty()) << content;
        EXPECT_EQ(Registry::StoreMalformed, m_registry.setServiceOfferingEntity(Entity(m_a, 1)));
        EXPECT_EQ(content, testsupport::readFile(m_file));
    }
}

TEST_F(ServiceOfferingManagerTest, SetReplacesInPlaceKeepsOthersAndLeavesNoTemporaryFiles) {
    writeFile(m_file, registryWith({{kAppA, "1"}, {kAppB, "2"}, {kAppA, "3"}}));
    const UUId added = UUId::generate();
    ASSERT_EQ(Registry::Ok, m_registry.setServiceOfferingEntity(Entity(m_a, 4)));
    ASSERT_EQ(Registry::Ok, m_registry.setServiceOfferingEntity(Entity(added, 5)));
    // A fresh manager reads what was written: duplicates collapsed, order kept.
    const std::list<Entity> all = Registry(m_file).getServiceOfferingEntities();
    EXPECT_TRUE(all == (std::list<Entity>{Entity(m_a, 4), Entity(UUId(kAppB), 2), Entity(added, 5)}));
    EXPECT_EQ(std::distance(fs::directory_iterator(m_dir.path()), fs::directory_iterator()), 1);
    Registry nowhere(m_dir.file("no/such/folder/registry.xml"));
    EXPECT_EQ(Registry::StoreUnwritable, nowhere.setServiceOfferingEntity(Entity(m_a, 1)));
}

TEST_F(ServiceOfferingManagerTest, ConcurrentReadersAndWritersSeeWholeFilesAndLoseNoEntry) {
    ASSERT_EQ(Registry::Ok, m_registry.setServiceOfferingEntity(Entity(m_a, 0)));
    const uint32_t lastVersion = 100;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        Registry registry(m_file);
        for (uint32_t seen = 0; !done.load();) {
            Entity entity;
            ASSERT_EQ(Registry::Ok, registry.getServiceOfferingEntity(m_a, entity)) << "torn or in-place write";
            ASSERT_GE(entity.getVersionNumber(), seen) << "the version went back";
            seen = entity.getVersionNumber();
        }
    });
    // Separate managers on the same file; every round adds an entry, so the file
    // keeps growing and a torn write or a lost update would show.
    std::thread otherWriter([&] {
        Registry registry(m_file);
        for (uint32_t i = 0; i < lastVersion; ++i)
            ASSERT_EQ(Registry::Ok, registry.setServiceOfferingEntity(Entity(UUId::generate(), i)));
    });
    for (uint32_t version = 1; version <= lastVersion; ++version) {
        EXPECT_EQ(Registry::Ok, m_registry.setServiceOfferingEntity(Entity(m_a, version)));
        EXPECT_EQ(Registry::Ok, m_registry.setServiceOfferingEntity(Entity(UUId::generate(), version)));
    }
    otherWriter.join();
    done = true;
    reader.join();
    EXPECT_EQ(lookup(m_a), "v" + std::to_string(lastVersion));
    EXPECT_EQ(1 + 2 * lastVersion, m_registry.getServiceOfferingEntities().size());
}

TEST(KestrupUtility, CheckForUpdatesRequestHasOneLabelledItemPerEntityInOrder) {
    const UUId first = UUId::generate(), second = UUId::generate();
    const auto request = boost::dynamic_pointer_cast<KSRequest>(KestrupUtility::createCheckForUpdatesPayloadLP(
        {ServiceOfferingEntity(first, 12), ServiceOfferingEntity(second, 4294967295u)}));
    ASSERT_TRUE(request);
    EXPECT_EQ("updateRequest", request->getSerializableType());
    std::string items;
    for (const KSConfigurationItem& item : request->getConfigurationItems())
        items += item.getId().getValue() + " " + std::to_string(item.getNumber()) + " " + item.getVersionlabel() +
                 (item.hasDeliverables() ? " with deliverables;" : ";");
    // The largest version keeps its exact decimal text in the label.
    EXPECT_EQ(items, first.getValue() + " 12 12;" + second.getValue() + " -1 4294967295;");
}

TEST(KestrupUtility, UpdateInstalledArrivesAtTheBackendWithItsHeaderAndPayload) {
    testsupport::RecordingSink backend({"event://Backend/Kestrup"});
    testsupport::CapturingLogger log;
    const UUId application = UUId::generate(), session = UUId::generate();
    KestrupUtility::notifyBackendAboutUpdate(application, 17, "{" + session.getValue() + "}", "alice");
    const boost::shared_ptr<LocalMessage> message = backend.waitForType("UpdateInstalled");
    ASSERT_TRUE(message);
    EXPECT_EQ(session, message->getSessionId());
    EXPECT_EQ("alice", message->getUser());
    const auto entity = boost::dynamic_pointer_cast<ServiceOfferingEntity>(message->getPayload());
    ASSERT_TRUE(entity);
    EXPECT_TRUE(*entity == ServiceOfferingEntity(application, 17));
    EXPECT_TRUE(log.lines().empty());

    // A bus that refuses the post: the loss is logged with the bus's result.
    struct Refusing : MessageDispatcher {
        int post(boost::shared_ptr<LocalMessage>) override { return 7; }
        int subscribe(IMessageSink*, const std::string&) override { return 0; }
        void unsubscribe(IMessageSink*, const std::string&) override {}
    } refusing;
    MessageDispatcher::setInstance(&refusing);
    KestrupUtility::notifyBackendAboutUpdate(application, 18, session.getValue(), "alice");
    MessageDispatcher::setInstance(nullptr);
    EXPECT_EQ(log.countContaining("KestrupUtility: Could not post UpdateInstalled to event://Backend/Kestrup for "
                                  "application " + application.getValue() + ". Result: 7"),
              1u);
}

}  // namespace
