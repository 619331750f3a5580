// The registry file: lookups that always see the file as it is, and safe rewrites.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "support/TestSupport.h"
#include "bus/UUId.h"
#include "host/ServiceOfferingManager.h"
#include "payloads/RequestPayloads.h"

namespace {

namespace fs = std::filesystem;

const char* const kAppA = "3f0c6a2e-1b7d-4c1e-9a55-0d2f7b8e4a01";
const char* const kAppB = "b7e1f0a4-52c3-4d8e-8f19-6a7c2d9e0b55";

void writeFile(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

std::string registryWith(const std::vector<std::pair<std::string, std::string> >& entries) {
    std::string xml = "<?xml version=\"1.0\"?>\n<serviceOfferings>\n";
    for (const auto& entry : entries) {
        xml += "  <serviceOffering id=\"" + entry.first + "\" version=\"" + entry.second + "\"/>\n";
    }
    return xml + "</serviceOfferings>\n";
}

ServiceOfferingEntity sentinel() { return ServiceOfferingEntity(UUId(kAppB), 999); }

class ServiceOfferingManagerTest : public ::testing::Test {
protected:
    testsupport::TempDir m_dir;
    std::string m_file = m_dir.file("serviceOfferings.xml");
    ServiceOfferingManager m_registry{m_file};
};

TEST_F(ServiceOfferingManagerTest, FindsEntriesWhateverWayTheIdIsWritten) {
    writeFile(m_file, registryWith({{kAppB, "7"}, {"{3F0C6A2E-1B7D-4C1E-9A55-0D2F7B8E4A01}", "42"}}));

    ServiceOfferingEntity entity;
    ASSERT_EQ(ServiceOfferingManager::Ok, m_registry.getServiceOfferingEntity(UUId(kAppA), entity));
    EXPECT_EQ(UUId(kAppA), entity.getApplicationId());
    EXPECT_EQ(42u, entity.getVersionNumber());

    ASSERT_EQ(ServiceOfferingManager::Ok, m_registry.getServiceOfferingEntity(UUId(kAppB), entity));
    EXPECT_EQ(7u, entity.getVersionNumber());

    const std::list<ServiceOfferingEntity> all = m_registry.getServiceOfferingEntities();
    ASSERT_EQ(2u, all.size());
    EXPECT_EQ(UUId(kAppB), all.front().getApplicationId());  // file order
}

TEST_F(ServiceOfferingManagerTest, UnknownIdAndMissingFileLeaveTheEntityAlone) {
    ServiceOfferingEntity entity = sentinel();
    EXPECT_EQ(ServiceOfferingManager::StoreUnreadable, m_registry.getServiceOfferingEntity(UUId(kAppA), entity));
    EXPECT_TRUE(entity == sentinel());

    fs::create_directory(m_file);  // a folder where the file should be
    EXPECT_EQ(ServiceOfferingManager::StoreUnreadable, m_registry.getServiceOfferingEntity(UUId(kAppA), entity));
    fs::remove(m_file);

    writeFile(m_file, registryWith({{kAppB, "1"}}));
    EXPECT_EQ(ServiceOfferingManager::NotFound, m_registry.getServiceOfferingEntity(UUId(kAppA), entity));
    EXPECT_TRUE(entity == sentinel());
}

TEST_F(ServiceOfferingManagerTest, MalformedFilesAreReportedNotTrusted) {
    const std::string good = registryWith({{kAppA, "5"}});
    const std::vector<std::string> malformed = {
        "",
        "garbage",
        good.substr(0, good.size() / 2),  // an installer caught mid-write
        "<offerings><serviceOffering id=\"" + std::string(kAppA) + "\" version=\"5\"/></offerings>",
        registryWith({{kAppA, "5"}, {"not-an-id", "1"}}),
        registryWith({{kAppA, "-1"}}),
        registryWith({{kAppA, "1.5"}}),
        registryWith({{kAppA, " 5"}}),
        registryWith({{kAppA, "4294967296"}}),
        registryWith({{kAppA, ""}}),
        "<serviceOfferings><serviceOffering version=\"5\"/></serviceOfferings>",
        good + "<serviceOfferings/>",
        good + "trailing text",
        "text before" + good,
    };
    for (const std::string& content : malformed) {
        SCOPED_TRACE(content);
        writeFile(m_file, content);
        ServiceOfferingEntity entity = sentinel();
        EXPECT_EQ(ServiceOfferingManager::StoreMalformed, m_registry.getServiceOfferingEntity(UUId(kAppA), entity));
        EXPECT_TRUE(entity == sentinel());
        EXPECT_TRUE(m_registry.getServiceOfferingEntities().empty());
    }

    writeFile(m_file, registryWith({{kAppA, "4294967295"}}));
    ServiceOfferingEntity entity;
    ASSERT_EQ(ServiceOfferingManager::Ok, m_registry.getServiceOfferingEntity(UUId(kAppA), entity));
    EXPECT_EQ(4294967295u, entity.getVersionNumber());
}

TEST_F(ServiceOfferingManagerTest, EveryLookupSeesTheFileAsItIsNow) {
    ServiceOfferingEntity entity;
    writeFile(m_file, registryWith({{kAppA, "1"}}));
    ASSERT_EQ(ServiceOfferingManager::Ok, m_registry.getServiceOfferingEntity(UUId(kAppA), entity));
    EXPECT_EQ(1u, entity.getVersionNumber());

    writeFile(m_file, registryWith({{kAppA, "2"}}));  // an installer rewrote it
    ASSERT_EQ(ServiceOfferingManager::Ok, m_registry.getServiceOfferingEntity(UUId(kAppA), entity));
    EXPECT_EQ(2u, entity.getVersionNumber());

    writeFile(m_file, registryWith({{kAppB, "3"}}));  // and uninstalled it
    EXPECT_EQ(ServiceOfferingManager::NotFound, m_registry.getServiceOfferingEntity(UUId(kAppA), entity));
}

TEST_F(ServiceOfferingManagerTest, SetCreatesReplacesAndKeepsOtherEntries) {
    ASSERT_EQ(ServiceOfferingManager::Ok, m_registry.setServiceOfferingEntity(ServiceOfferingEntity(UUId(kAppA), 1)));
    ASSERT_EQ(ServiceOfferingManager::Ok, m_registry.setServiceOfferingEntity(ServiceOfferingEntity(UUId(kAppB), 2)));
    ASSERT_EQ(ServiceOfferingManager::Ok, m_registry.setServiceOfferingEntity(ServiceOfferingEntity(UUId(kAppA), 3)));

    // A fresh manager reads what was written, in the original order.
    ServiceOfferingManager reopened(m_file);
    const std::list<ServiceOfferingEntity> all = reopened.getServiceOfferingEntities();
    ASSERT_EQ(2u, all.size());
    EXPECT_TRUE(all.front() == ServiceOfferingEntity(UUId(kAppA), 3));
    EXPECT_TRUE(all.back() == ServiceOfferingEntity(UUId(kAppB), 2));

    // Only the registry itself is left in the folder: no temporary files.
    std::vector<std::string> names;
    for (const auto& item : fs::directory_iterator(m_dir.path())) names.push_back(item.path().filename().string());
    EXPECT_EQ(std::vector<std::string>{"serviceOfferings.xml"}, names);
}

TEST_F(ServiceOfferingManagerTest, SetCollapsesDuplicateEntries) {
    writeFile(m_file, registryWith({{kAppA, "1"}, {kAppB, "2"}, {kAppA, "3"}}));
    ASSERT_EQ(ServiceOfferingManager::Ok, m_registry.setServiceOfferingEntity(ServiceOfferingEntity(UUId(kAppA), 4)));
    const std::list<ServiceOfferingEntity> all = m_registry.getServiceOfferingEntities();
    ASSERT_EQ(2u, all.size());
    EXPECT_TRUE(all.front() == ServiceOfferingEntity(UUId(kAppA), 4));
}

TEST_F(ServiceOfferingManagerTest, SetRefusesToOverwriteAMalformedFileOrWriteNowhere) {
    writeFile(m_file, "<not a registry");
    EXPECT_EQ(ServiceOfferingManager::StoreMalformed,
              m_registry.setServiceOfferingEntity(ServiceOfferingEntity(UUId(kAppA), 1)));
    EXPECT_EQ("<not a registry", readFile(m_file));

    ServiceOfferingManager nowhere(m_dir.file("no/such/folder/registry.xml"));
    EXPECT_EQ(ServiceOfferingManager::StoreUnwritable,
              nowhere.setServiceOfferingEntity(ServiceOfferingEntity(UUId(kAppA), 1)));
}

TEST_F(ServiceOfferingManagerTest, ReadersNeverSeeAHalfWrittenFile) {
    ASSERT_EQ(ServiceOfferingManager::Ok, m_registry.setServiceOfferingEntity(ServiceOfferingEntity(UUId(kAppA), 0)));
    const uint32_t lastVersion = 100;
    std::atomic<bool> done{false};
    std::atomic<int> badResults{0};
    std::atomic<int> versionWentBack{0};
    std::atomic<int> lookups{0};

    std::thread reader([&] {
        ServiceOfferingManager registry(m_file);
        uint32_t seen = 0;
        while (!done.load()) {
            ServiceOfferingEntity entity;
            if (registry.getServiceOfferingEntity(UUId(kAppA), entity) != ServiceOfferingManager::Ok) {
                ++badResults;
            } else if (entity.getVersionNumber() < seen) {
                ++versionWentBack;
            } else {
                seen = entity.getVersionNumber();
            }
            ++lookups;
        }
    });
    // Each round also adds an entry, so the file keeps growing and a torn or
    // in-place write would show up as a malformed read.
    for (uint32_t version = 1; version <= lastVersion; ++version) {
        ASSERT_EQ(ServiceOfferingManager::Ok,
                  m_registry.setServiceOfferingEntity(ServiceOfferingEntity(UUId(kAppA), version)));
        ASSERT_EQ(ServiceOfferingManager::Ok,
                  m_registry.setServiceOfferingEntity(ServiceOfferingEntity(UUId::generate(), version)));
    }
    done = true;
    reader.join();

    EXPECT_GT(lookups.load(), 0);
    EXPECT_EQ(0, badResults.load());
    EXPECT_EQ(0, versionWentBack.load());
    ServiceOfferingEntity entity;
    ASSERT_EQ(ServiceOfferingManager::Ok, m_registry.getServiceOfferingEntity(UUId(kAppA), entity));
    EXPECT_EQ(lastVersion, entity.getVersionNumber());
}

TEST_F(ServiceOfferingManagerTest, ConcurrentWritersLoseNoEntry) {
    const int perThread = 40;
    std::vector<UUId> ids[2];
    for (auto& list : ids) {
        for (int i = 0; i < perThread; ++i) list.push_back(UUId::generate());
    }
    std::atomic<int> failures{0};
    auto write = [&](const std::vector<UUId>& list) {
        ServiceOfferingManager registry(m_file);  // separate managers, same file
        for (const UUId& id : list) {
            if (registry.setServiceOfferingEntity(ServiceOfferingEntity(id, 1)) != ServiceOfferingManager::Ok) {
                ++failures;
            }
        }
    };
    std::thread first(write, std::cref(ids[0]));
    std::thread second(write, std::cref(ids[1]));
    first.join();
    second.join();

    EXPECT_EQ(0, failures.load());
    EXPECT_EQ(static_cast<std::size_t>(2 * perThread), m_registry.getServiceOfferingEntities().size());
}

}  // namespace
