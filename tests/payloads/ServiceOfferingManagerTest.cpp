// The registry file: lookups that always see the file as it is, and safe rewrites.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSupport.h"
#include "bus/UUId.h"
#include "host/ServiceOfferingManager.h"
#include "payloads/RequestPayloads.h"

namespace {

namespace fs = std::filesystem;
using Registry = ServiceOfferingManager;

const char* const kAppA = "3f0c6a2e-1b7d-4c1e-9a55-0d2f7b8e4a01";
const char* const kAppB = "b7e1f0a4-52c3-4d8e-8f19-6a7c2d9e0b55";

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << content;
}

std::string registryWith(const std::vector<std::pair<std::string, std::string>>& entries) {
    std::string xml = "<?xml version=\"1.0\"?>\n<serviceOfferings>\n";
    for (const auto& entry : entries) {
        xml += "  <serviceOffering id=\"" + entry.first + "\" version=\"" + entry.second + "\"/>\n";
    }
    return xml + "</serviceOfferings>\n";
}

// "v<version>" when the registry knows `id`, else the error's text. A failed
// lookup must leave the caller's entity alone.
std::string lookup(Registry& registry, const UUId& id) {
    const ServiceOfferingEntity sentinel(UUId(kAppB), 999);
    ServiceOfferingEntity entity = sentinel;
    const Registry::Error result = registry.getServiceOfferingEntity(id, entity);
    if (result != Registry::Ok) {
        EXPECT_TRUE(entity == sentinel) << "a failed lookup changed the entity";
        return Registry::errorText(result);
    }
    EXPECT_EQ(id, entity.getApplicationId());
    return "v" + std::to_string(entity.getVersionNumber());
}

class ServiceOfferingManagerTest : public ::testing::Test {
protected:
    testsupport::TempDir m_dir;
    std::string m_file = m_dir.file("serviceOfferings.xml");
    Registry m_registry{m_file};
    const UUId m_a{kAppA};
    const UUId m_b{kAppB};
};

TEST_F(ServiceOfferingManagerTest, EveryLookupSeesTheFileAsItIsNow) {
    EXPECT_EQ(lookup(m_registry, m_a), "registry file missing or unreadable");
    fs::create_directory(m_file);  // a folder where the file should be
    EXPECT_EQ(lookup(m_registry, m_a), "registry file missing or unreadable");
    fs::remove(m_file);

    // Ids match whichever way they are written.
    writeFile(m_file, registryWith({{kAppB, "7"}, {"{3F0C6A2E-1B7D-4C1E-9A55-0D2F7B8E4A01}", "42"}}));
    EXPECT_EQ(lookup(m_registry, m_a), "v42");
    EXPECT_EQ(lookup(m_registry, m_b), "v7");
    const std::list<ServiceOfferingEntity> all = m_registry.getServiceOfferingEntities();
    ASSERT_EQ(2u, all.size());
    EXPECT_EQ(m_b, all.front().getApplicationId());  // file order

    writeFile(m_file, registryWith({{kAppA, "4294967295"}}));  // an installer rewrote it
    EXPECT_EQ(lookup(m_registry, m_a), "v4294967295");
    writeFile(m_file, registryWith({{kAppB, "3"}}));  // and uninstalled it
    EXPECT_EQ(lookup(m_registry, m_a), "not found");
}

TEST_F(ServiceOfferingManagerTest, MalformedFilesAreReportedNotTrustedNorOverwritten) {
    const std::string good = registryWith({{kAppA, "5"}});
    for (const std::string& content : std::vector<std::string>{
             "", "garbage",
             good.substr(0, good.size() / 2),  // an installer caught mid-write
             "<offerings><serviceOffering id=\"" + std::string(kAppA) + "\" version=\"5\"/></offerings>",
             registryWith({{kAppA, "5"}, {"not-an-id", "1"}}), registryWith({{kAppA, "-1"}}),
             registryWith({{kAppA, "1.5"}}), registryWith({{kAppA, " 5"}}), registryWith({{kAppA, "4294967296"}}),
             registryWith({{kAppA, ""}}), "<serviceOfferings><serviceOffering version=\"5\"/></serviceOfferings>",
             good + "<serviceOfferings/>", good + "trailing text", "text before" + good}) {
        writeFile(m_file, content);
        EXPECT_EQ(lookup(m_registry, m_a), "registry file malformed") << content;
        EXPECT_TRUE(m_registry.getServiceOfferingEntities().empty()) << content;
        EXPECT_EQ(Registry::StoreMalformed, m_registry.setServiceOfferingEntity(ServiceOfferingEntity(m_a, 1)));
        std::ifstream in(m_file, std::ios::binary);
        EXPECT_EQ(content, std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()));
    }
}

TEST_F(ServiceOfferingManagerTest, SetReplacesInPlaceKeepsOthersAndLeavesNoTemporaryFiles) {
    writeFile(m_file, registryWith({{kAppA, "1"}, {kAppB, "2"}, {kAppA, "3"}}));
    ASSERT_EQ(Registry::Ok, m_registry.setServiceOfferingEntity(ServiceOfferingEntity(m_a, 4)));
    const UUId added = UUId::generate();
    ASSERT_EQ(Registry::Ok, m_registry.setServiceOfferingEntity(ServiceOfferingEntity(added, 5)));

    // A fresh manager reads what was written: duplicates collapsed, order kept.
    Registry reopened(m_file);
    const std::list<ServiceOfferingEntity> all = reopened.getServiceOfferingEntities();
    ASSERT_EQ(3u, all.size());
    EXPECT_TRUE(all.front() == ServiceOfferingEntity(m_a, 4));
    EXPECT_TRUE(*std::next(all.begin()) == ServiceOfferingEntity(m_b, 2));
    EXPECT_TRUE(all.back() == ServiceOfferingEntity(added, 5));
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(m_dir.path())) names.push_back(item.path().filename().string());
    EXPECT_EQ(std::vector<std::string>{"serviceOfferings.xml"}, names);

    Registry nowhere(m_dir.file("no/such/folder/registry.xml"));
    EXPECT_EQ(Registry::StoreUnwritable, nowhere.setServiceOfferingEntity(ServiceOfferingEntity(m_a, 1)));
}

TEST_F(ServiceOfferingManagerTest, ConcurrentReadersAndWritersSeeWholeFilesAndLoseNoEntry) {
    ASSERT_EQ(Registry::Ok, m_registry.setServiceOfferingEntity(ServiceOfferingEntity(m_a, 0)));
    const uint32_t lastVersion = 100;
    std::atomic<bool> done{false};
    std::thread reader([&] {
        Registry registry(m_file);
        uint32_t seen = 0;
        do {
            ServiceOfferingEntity entity;
            ASSERT_EQ(Registry::Ok, registry.getServiceOfferingEntity(m_a, entity)) << "torn or in-place write";
            ASSERT_GE(entity.getVersionNumber(), seen) << "the version went back";
            seen = entity.getVersionNumber();
        } while (!done.load());
    });
    // Separate managers on the same file; every round adds an entry, so the file
    // keeps growing and a torn write or a lost update would show.
    std::thread otherWriter([&] {
        Registry registry(m_file);
        for (uint32_t i = 0; i < lastVersion; ++i) {
            ASSERT_EQ(Registry::Ok, registry.setServiceOfferingEntity(ServiceOfferingEntity(UUId::generate(), i)));
        }
    });
    for (uint32_t version = 1; version <= lastVersion; ++version) {
        EXPECT_EQ(Registry::Ok, m_registry.setServiceOfferingEntity(ServiceOfferingEntity(m_a, version)));
        EXPECT_EQ(Registry::Ok, m_registry.setServiceOfferingEntity(ServiceOfferingEntity(UUId::generate(), version)));
    }
    otherWriter.join();
    done = true;
    reader.join();

    EXPECT_EQ(lookup(m_registry, m_a), "v" + std::to_string(lastVersion));
    EXPECT_EQ(1 + 2 * lastVersion, m_registry.getServiceOfferingEntities().size());
}

}  // namespace
