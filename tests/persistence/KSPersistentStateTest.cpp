// The persisted workflow state against a real store: first run, restart, unsaved
// writes, entering Idle, the persisted service offering and unusable stores.
#include <cstdint>
#include <fstream>
#include <functional>
#include <list>
#include <memory>
#include <string>

#include <gtest/gtest.h>

#include "KSPersistentState.h"
#include "support/TestSupport.h"
#include "bus/UUId.h"
#include "host/ServiceOfferingManager.h"
#include "payloads/Manifest.h"
#include "payloads/RequestPayloads.h"

using Strings = std::list<std::string>;

namespace {

const char* const kSchema = "KSPersistentStateSchema";
const char* const kDomain = "state-domain";
const char* const kApplication = "3f0c2a4e-9b1d-4c6e-8f00-0123456789ab";

KSFile makeFile() {
    KSFile file;
    file.setArguments("/S");
    file.setDigest("abc");
    file.setMirrors({KSMirror("http://a.example/setup.exe", "http://a.example/eula"),
                     KSMirror("http://b.example/setup.exe", "")});
    return file;
}

class KSPersistentStateTest : public ::testing::Test {
protected:
    void SetUp() override { PersistentManager::setStoreFolder(dir.path()); }
    void TearDown() override { PersistentManager::setStoreFolder(""); }

    // A plain session on the state's table: what reached the store file.
    KeyValueSchema store() { return PersistentManager(dir.path()).initLocal(kSchema, kDomain, "", "", {}); }
    // A typed helper on the same table (its writes are flushed by the tests).
    std::unique_ptr<PersistenceHelper> helper() { return std::make_unique<PersistenceHelper>(kSchema, "", ""); }

    testsupport::TempDir dir;
    testsupport::CapturingLogger logger;
    testsupport::MemoryConfiguration configuration{{{"Identities/DomainID", kDomain}}};
};

TEST_F(KSPersistentStateTest, AFirstRunWritesAndSavesIdle) {
    KSPersistentState state;
    EXPECT_EQ(state.getState(), KSPersistentState::Idle);
    int32_t stored = 0;
    EXPECT_EQ(helper()->get("state", stored), 0);  // another session: it was flushed
    EXPECT_EQ(stored, 1);
    EXPECT_TRUE(logger.lines().empty());
}

TEST_F(KSPersistentStateTest, SavedStateAndKeysSurviveARestart) {
    const std::string session = UUId::generate().getValue();
    {
        KSPersistentState state;
        EXPECT_EQ(state.writeServiceOfferingId(kApplication, true), 0);
        EXPECT_EQ(state.writeServiceOfferingVersion(4000000000u, true), 0);
        EXPECT_EQ(state.writeInstallerFile(makeFile()), 0);
        EXPECT_EQ(state.writeLastCheckForUpdate(1700000123), 0);
        // These three become durable with the state change that follows.
        EXPECT_EQ(state.writeRetries(0, false), 0);
        EXPECT_EQ(state.writeInstallerArgs("/S /norestart", false), 0);
        EXPECT_EQ(state.writeSessionId(session, false), 0);
        state.setState(KSPersistentState::Downloading, true);
        // Never saved: no flush follows them.
        EXPECT_EQ(state.writeInstallerFilename("/tmp/setup.exe", false), 0);
        state.setState(KSPersistentState::Downloaded, false);
        EXPECT_EQ(state.getState(), KSPersistentState::Downloaded);
    }
    KSPersistentState state;
    EXPECT_EQ(state.getState(), KSPersistentState::Downloading);
    std::string text;
    EXPECT_EQ(state.readServiceOfferingId(text), 0);
    EXPECT_EQ(text, kApplication);
    KSFile file;
    EXPECT_EQ(state.readInstallerFile(file), 0);
    EXPECT_TRUE(file == makeFile());
    int64_t lastCheck = 0;
    EXPECT_EQ(state.readLastCheckForUpdate(lastCheck), 0);
    EXPECT_EQ(lastCheck, 1700000123);
    int32_t retries = -1;
    EXPECT_EQ(state.readRetries(retries), 0);
    EXPECT_EQ(retries, 0);
    EXPECT_EQ(state.readInstallerArgs(text), 0);
    EXPECT_EQ(text, "/S /norestart");
    EXPECT_EQ(state.readSessionId(text), 0);
    EXPECT_EQ(text, session);
    ServiceOfferingEntity entity;
    ASSERT_TRUE(state.readServiceOffering(entity));
    EXPECT_EQ(entity.getVersionNumber(), 4000000000u);

    logger.clear();
    EXPECT_EQ(state.readInstallerFilename(text), 2);
    EXPECT_TRUE(logger.contains("invalid key ->installerFilename"));
}

TEST_F(KSPersistentStateTest, AStoredStateThatCannotBeReadGivesIdleWithoutRewritingIt) {
    helper()->insert("state", std::string("garbage"), true);
    const Strings before = store().getRawData("state");
    KSPersistentState state;
    EXPECT_EQ(state.getState(), KSPersistentState::Idle);
    EXPECT_EQ(store().getRawData("state"), before);
}

TEST_F(KSPersistentStateTest, AStoredNumberOutsideTheKnownStatesIsKeptAsItIs) {
    helper()->insert("state", int32_t(42), true);
    KSPersistentState state;
    EXPECT_EQ(static_cast<int>(state.getState()), 42);
}

TEST_F(KSPersistentStateTest, EnteringIdleEmptiesAndSavesTheSchemaWhateverTheSaveFlag) {
    {
        KSPersistentState state;
        state.writeServiceOfferingId(kApplication, true);
        state.writeInstallerFile(makeFile());
        state.writeInstallerArgs("/S", false);
        state.setState(KSPersistentState::Downloaded, true);
        state.setState(KSPersistentState::Idle, false);
        EXPECT_EQ(state.getState(), KSPersistentState::Idle);

        KeyValueSchema saved = store();
        for (const char* key : {"serviceOfferingId", "ksFile", "installerArgs", "state"})
            EXPECT_FALSE(saved.exist(key)) << key;  // the removal was flushed, the new state not
    }
    KSPersistentState state;
    EXPECT_EQ(state.getState(), KSPersistentState::Idle);
    std::string text;
    EXPECT_EQ(state.readServiceOfferingId(text), 2);
}

TEST_F(KSPersistentStateTest, ThePersistedOfferingNeedsBothKeysReadableAndAValidId) {
    const ServiceOfferingEntity untouched(UUId("00000000-0000-0000-0000-0000000000aa"), 99);
    struct { std::string name; std::function<void(PersistenceHelper&)> write; } refused[] = {
        {"nothing stored", [](PersistenceHelper&) {}},
        {"id only", [](PersistenceHelper& h) { h.insert("serviceOfferingId", std::string(kApplication), true); }},
        {"version only", [](PersistenceHelper& h) { h.insert("serviceOfferingVersion", int32_t(3), true); }},
        {"id not a string",
         [](PersistenceHelper& h) {
             h.insert("serviceOfferingId", int64_t(12), false);
             h.insert("serviceOfferingVersion", int32_t(3), true);
         }},
        {"version not an integer",
         [](PersistenceHelper& h) {
             h.insert("serviceOfferingId", std::string(kApplication), false);
             h.insert("serviceOfferingVersion", std::string("three"), true);
         }},
        {"id not a UUId",
         [](PersistenceHelper& h) {
             h.insert("serviceOfferingId", std::string("not-a-uuid"), false);
             h.insert("serviceOfferingVersion", int32_t(3), true);
         }},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.name);
        helper()->removeAll(true);
        c.write(*helper());
        KSPersistentState state;
        ServiceOfferingEntity entity = untouched;
        EXPECT_FALSE(state.readServiceOffering(entity));
        EXPECT_TRUE(entity == untouched);
    }

    helper()->removeAll(true);
    {
        auto h = helper();
        h->insert("serviceOfferingId", "{" + std::string("3F0C2A4E-9B1D-4C6E-8F00-0123456789AB") + "}", false);
        h->insert("serviceOfferingVersion", int32_t(7), true);
    }
    KSPersistentState state;
    ServiceOfferingEntity entity = untouched;
    ASSERT_TRUE(state.readServiceOffering(entity));
    EXPECT_EQ(entity.getApplicationId().getValue(), kApplication);
    EXPECT_EQ(entity.getVersionNumber(), 7u);
}

TEST_F(KSPersistentStateTest, LookupAsksTheInstalledRegistry) {
    KSPersistentState state;
    const UUId known(kApplication);
    ServiceOfferingEntity entity;

    Singleton<ServiceOfferingManager>::install(nullptr);
    EXPECT_FALSE(state.lookupServiceOffering(known, entity));

    ServiceOfferingManager registry(dir.file("registry.xml"));
    Singleton<ServiceOfferingManager>::install(&registry);
    EXPECT_FALSE(state.lookupServiceOffering(known, entity));  // no registry file yet
    ASSERT_EQ(registry.setServiceOfferingEntity(ServiceOfferingEntity(known, 12)), ServiceOfferingManager::Ok);
    EXPECT_TRUE(state.lookupServiceOffering(known, entity));
    EXPECT_EQ(entity.getApplicationId(), known);
    EXPECT_EQ(entity.getVersionNumber(), 12u);
    EXPECT_FALSE(state.lookupServiceOffering(UUId::generate(), entity));
    Singleton<ServiceOfferingManager>::install(nullptr);
}

TEST_F(KSPersistentStateTest, AnUnusableStoreFallsBackToIdle) {
    std::ofstream(dir.file("plain-file")) << "x";
    struct { std::string name; std::function<void()> arrange; } cases[] = {
        {"store folder below a file", [&] { PersistentManager::setStoreFolder(dir.file("plain-file") + "/store"); }},
        {"garbage store file",
         [&] {
             PersistentManager::setStoreFolder(dir.path());
             std::ofstream(PersistentManager().storeFile(kDomain), std::ios::binary) << std::string(4096, '\x5a');
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.arrange();
        logger.clear();
        KSPersistentState state;
        EXPECT_EQ(state.getState(), KSPersistentState::Idle);
        EXPECT_EQ(state.writeInstallerArgs("/S", true), 1);
        std::string text;
        EXPECT_EQ(state.readInstallerArgs(text), 1);
        state.setState(KSPersistentState::Downloading, true);  // only the cached state moves
        EXPECT_EQ(state.getState(), KSPersistentState::Downloading);
        ServiceOfferingEntity entity;
        EXPECT_FALSE(state.readServiceOffering(entity));
        EXPECT_EQ(logger.countContaining("KESTRUP: Init schema failed. Reason: "), 1u);
        EXPECT_EQ(logger.lines().size(), 1u);
    }
}

}  // namespace
