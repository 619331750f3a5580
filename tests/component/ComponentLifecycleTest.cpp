// Construction, configuration, initialize/start reconciliation and destruction.
#include <boost/pointer_cast.hpp>

#include "ComponentFixture.h"
#include "host/ConfigurationManager.h"
#include "host/ServiceOfferingManager.h"

namespace componenttest {
namespace {

class ComponentLifecycleTest : public ComponentFixture {};

TEST_F(ComponentLifecycleTest, WithoutConfigurationStoreEverySettingHasItsDefault) {
    startComponent();
    configuration.reset();  // restores the process default: no store at all
    ASSERT_EQ(nullptr, ConfigurationManager::getDefaultInstance());
    component->initialize();  // reads the settings again

    const Kestrup::Settings s = component->getSettings();
    EXPECT_EQ(-1, s.inactivityTimeout);
    EXPECT_EQ(3, s.downloadRetries);
    EXPECT_EQ(600, s.downloadRetryInterval);
    EXPECT_EQ(0, s.checkForUpdateInterval);
    EXPECT_EQ(3, s.installRetries);
    EXPECT_FALSE(logger.contains("does not contain an integer value"));
}

TEST_F(ComponentLifecycleTest, SettingsAreReadFromTheirKeysAndBadValuesFallBackWithAWarning) {
    settings["Kestrup/InactivityTimeout"] = "-5";
    settings["Kestrup/DownloadRetries"] = "abc";
    settings["Kestrup/DownloadRetryInterval"] = "17";
    settings["Kestrup/CheckForUpdateInterval"] = "99999999999";  // does not fit 32 bits
    settings["Kestrup/InstallRetries"] = "8";
    startComponent();

    const Kestrup::Settings s = component->getSettings();
    EXPECT_EQ(-1, s.inactivityTimeout);
    EXPECT_EQ(3, s.downloadRetries);
    EXPECT_EQ(17, s.downloadRetryInterval);
    EXPECT_EQ(0, s.checkForUpdateInterval);
    EXPECT_EQ(8, s.installRetries);
    EXPECT_TRUE(logger.endsWithAny(
        "] -> KESTRUP: key 'Kestrup/DownloadRetries' does not contain an integer value. Using default value"));
    EXPECT_TRUE(logger.endsWithAny("KESTRUP: key 'Kestrup/CheckForUpdateInterval' does not contain an integer "
                                   "value. Using default value"));
    EXPECT_EQ(2u, logger.countContaining("does not contain an integer value"));

    settings["Kestrup/InactivityTimeout"] = "abc";
    settings["Kestrup/CheckForUpdateInterval"] = "45";
    restartComponent();
    EXPECT_EQ(-1, component->getSettings().inactivityTimeout);
    EXPECT_EQ(45, component->getSettings().checkForUpdateInterval);
    EXPECT_TRUE(logger.contains("KESTRUP: key 'Kestrup/InactivityTimeout' does not contain an integer value."));

    settings["Kestrup/InactivityTimeout"] = "30";
    restartComponent();
    EXPECT_EQ(30, component->getSettings().inactivityTimeout);
}

TEST_F(ComponentLifecycleTest, AComponentThatWasNeverInitialisedListensToNothingAndGoesCleanly) {
    configuration.reset(new testsupport::MemoryConfiguration(settings));
    backend.setManifest(makeManifest(AppA, defaultFile()));
    {
        Kestrup idle;
        client.post("GetUpdateStatus", offering(AppA, 5), UUId::generate());
        // Nothing subscribed: wait a moment for anything that would have come.
        EXPECT_FALSE(client.replies().waitForCount(1, std::chrono::milliseconds(300)));
        EXPECT_EQ(0u, backend.checkCount());
        EXPECT_EQ(KSPersistentState::Idle, idle.getWorkflowState());
    }
    // The store was opened and "state" written; a started component finds Idle.
    startComponent();
    EXPECT_EQ(KSPersistentState::Idle, state());
}

TEST_F(ComponentLifecycleTest, UninitializeStopsTheAnswersAndMayBeCalledTwice) {
    startComponent();
    backend.setManifest(makeManifest(std::vector<KSConfigurationItem>()));
    ASSERT_EQ(791, resultOf(getUpdateStatus(AppA)));

    component->stop();
    component->uninitialize();
    component->uninitialize();
    client.post("GetUpdateStatus", offering(AppA, 5), UUId::generate());
    EXPECT_FALSE(client.replies().waitForCount(2, std::chrono::milliseconds(300)));
}

TEST_F(ComponentLifecycleTest, StartRunsTheInactivityCountdownAndStopHaltsIt) {
    startComponent();
    EXPECT_TRUE(countdownRunning());
    component->stop();
    EXPECT_FALSE(countdownRunning());
    component->start();
    EXPECT_TRUE(countdownRunning());
}

// --- restart reconciliation ----------------------------------------------------------

TEST_F(ComponentLifecycleTest, ARestartInInstallingWithTheSameVersionComesUpDownloaded) {
    seed([](KSPersistentState& s) {
        s.writeServiceOfferingId(AppA.getValue(), true);
        s.writeServiceOfferingVersion(5, true);  // the registry still says 5
        s.writeInstallerFile(makeFile({"http://m.test/a"}));
        s.setState(KSPersistentState::Installing, true);
    });
    startComponent();
    EXPECT_EQ(KSPersistentState::Downloaded, state());
    EXPECT_EQ(KSPersistentState::Downloaded, openStore()->getState());  // saved at once
    EXPECT_EQ(0u, backend.updateInstalledCount());
}

TEST_F(ComponentLifecycleTest, ARestartWithAChangedVersionTellsTheBackendAndReturnsToIdle) {
    seed([](KSPersistentState& s) {
        s.writeServiceOfferingId(AppA.getValue(), true);
        s.writeServiceOfferingVersion(4, true);  // the registry now says 5
        s.writeInstallerFile(makeFile({"http://m.test/a"}));
        s.writeInstallerFilename("/tmp/setup.sh", true);
        s.setState(KSPersistentState::Installing, true);
    });
    startComponent();

    boost::shared_ptr<LocalMessage> note = backend.waitForUpdateInstalled(std::chrono::seconds(10));
    ASSERT_TRUE(note);
    boost::shared_ptr<ServiceOfferingEntity> reported =
        boost::dynamic_pointer_cast<ServiceOfferingEntity>(note->getPayload());
    ASSERT_TRUE(reported);
    EXPECT_EQ(AppA, reported->getApplicationId());
    EXPECT_EQ(5u, reported->getVersionNumber());
    EXPECT_EQ(UUId(), note->getSessionId());
    EXPECT_EQ("UnknownUser", note->getUser());

    EXPECT_EQ(KSPersistentState::Idle, state());
    std::string filename;
    EXPECT_NE(0, openStore()->readInstallerFilename(filename));  // Idle forgot the update
}

TEST_F(ComponentLifecycleTest, AnOlderRegisteredVersionAlsoCountsAsInstalled) {
    seed([](KSPersistentState& s) {
        s.writeServiceOfferingId(AppA.getValue(), true);
        s.writeServiceOfferingVersion(9, true);
        s.setState(KSPersistentState::UpdateAvailable, true);
    });
    startComponent();
    ASSERT_TRUE(backend.waitForUpdateInstalled(std::chrono::seconds(10)));
    EXPECT_EQ(KSPersistentState::Idle, state());
}

TEST_F(ComponentLifecycleTest, ARestartWithAnOfferingTheRegistryForgotResetsTheState) {
    seed([](KSPersistentState& s) {
        s.writeServiceOfferingId(AppUnknown.getValue(), true);
        s.writeServiceOfferingVersion(2, true);
        s.setState(KSPersistentState::Downloaded, true);
    });
    startComponent();
    EXPECT_EQ(KSPersistentState::Idle, state());
    EXPECT_TRUE(logger.endsWithAny(
        "] -> KSPersistentState: Error retrieving a previously persisted service offering entity from the xml "
        "store. Resetting the state"));
    EXPECT_EQ(0u, backend.updateInstalledCount());
}

TEST_F(ComponentLifecycleTest, ARestartWithAnInvalidPersistedOfferingIdLeavesTheWorkflowAlone) {
    seed([](KSPersistentState& s) {
        s.writeServiceOfferingId("not-an-id", true);
        s.writeServiceOfferingVersion(2, true);
        s.setState(KSPersistentState::UpdateAvailable, true);
    });
    startComponent();
    EXPECT_EQ(KSPersistentState::UpdateAvailable, state());
    EXPECT_FALSE(logger.contains("Resetting the state"));
}

TEST_F(ComponentLifecycleTest, ARestartWithoutRegistryResetsAPersistedOffering) {
    seed([](KSPersistentState& s) {
        s.writeServiceOfferingId(AppA.getValue(), true);
        s.writeServiceOfferingVersion(5, true);
        s.setState(KSPersistentState::UpdateAvailable, true);
    });
    Singleton<ServiceOfferingManager>::install(nullptr);
    startComponent();
    EXPECT_EQ(KSPersistentState::Idle, state());
    EXPECT_TRUE(logger.contains("Resetting the state"));
}

}  // namespace
}  // namespace componenttest
