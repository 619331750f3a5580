// Settings, and what initialize and start make of the workflow a previous run left.
#include <boost/pointer_cast.hpp>

#include "ComponentFixture.h"
#include "host/ConfigurationManager.h"
#include "host/ServiceOfferingManager.h"

namespace componenttest {
namespace {

class ComponentLifecycleTest : public ComponentFixture {
protected:
    std::vector<int32_t> currentSettings() const {
        const Kestrup::Settings s = component->getSettings();
        return {s.inactivityTimeout, s.downloadRetries, s.downloadRetryInterval, s.checkForUpdateInterval,
                s.installRetries};
    }
};

TEST_F(ComponentLifecycleTest, SettingsComeFromTheirKeysAndBadValuesFallBackWithAWarning) {
    settings["Kestrup/InactivityTimeout"] = "-5";
    settings["Kestrup/DownloadRetries"] = "abc";
    settings["Kestrup/DownloadRetryInterval"] = "17";
    settings["Kestrup/CheckForUpdateInterval"] = "99999999999";  // does not fit 32 bits
    settings["Kestrup/InstallRetries"] = "8";
    startComponent();
    EXPECT_EQ((std::vector<int32_t>{-1, 3, 17, 0, 8}), currentSettings());
    EXPECT_TRUE(logger.endsWithAny(
        "] -> KESTRUP: key 'Kestrup/DownloadRetries' does not contain an integer value. Using default value"));
    EXPECT_TRUE(logger.endsWithAny("KESTRUP: key 'Kestrup/CheckForUpdateInterval' does not contain an integer "
                                   "value. Using default value"));
    EXPECT_EQ(2u, logger.countContaining("does not contain an integer value"));

    settings["Kestrup/InactivityTimeout"] = "30";
    settings["Kestrup/DownloadRetries"] = "2";
    settings["Kestrup/CheckForUpdateInterval"] = "45";
    // Subscribed last: no request finds default settings or an unreconciled store.
    std::vector<int32_t> atSubscription;
    int storedAtSubscription = 0;
    bus.setOnSubscribe([&](IMessageSink* sink, const std::string& topic) {
        if (topic != ServiceTopic || !component || sink != static_cast<IMessageSink*>(component.get())) return;
        atSubscription = currentSettings();
        storedAtSubscription = openStore()->getState();
    });
    startWith([](KSPersistentState& s) { s.setState(State::Installing, true); });
    bus.setOnSubscribe(nullptr);
    EXPECT_EQ((std::vector<int32_t>{30, 2, 17, 45, 8}), currentSettings());
    EXPECT_EQ(currentSettings(), atSubscription);
    EXPECT_EQ(State::Downloaded, storedAtSubscription);

    // Without a configuration store every setting falls back to its default, silently.
    configuration.reset();
    ASSERT_EQ(nullptr, ConfigurationManager::getDefaultInstance());
    component->initialize();
    EXPECT_EQ((std::vector<int32_t>{-1, 3, 600, 0, 3}), currentSettings());
    EXPECT_EQ(2u, logger.countContaining("does not contain an integer value"));
}

// The registry knows AppA at version 5 throughout.
TEST_F(ComponentLifecycleTest, StartSettlesTheOfferingThatThePreviousRunLeft) {
    struct Case {
        const char* what;
        std::string id;
        uint32_t version;
        State::KSState_t left, expected;
        uint32_t reportedVersion;  // of the "UpdateInstalled" sent to the backend; 0: none
        bool resetLogged;
    };
    const Case cases[] = {
        // Idle holds no offering: these are the leftovers of a write a crash cut short.
        {"stray offering in Idle", AppB.getValue(), 4, State::Idle, State::Idle, 0, false},
        {"installer ran, version unchanged", AppA.getValue(), 5, State::Installing, State::Downloaded, 0, false},
        {"installer raised the version", AppA.getValue(), 4, State::Installing, State::Idle, 5, false},
        {"a lower version counts too", AppA.getValue(), 9, State::UpdateAvailable, State::Idle, 5, false},
        {"registry forgot the application", AppUnknown.getValue(), 2, State::Downloaded, State::Idle, 0, true},
        {"stored id is not an id", "not-an-id", 2, State::UpdateAvailable, State::UpdateAvailable, 0, false},
        {"no registry at all", AppA.getValue(), 5, State::UpdateAvailable, State::Idle, 0, true},
    };
    std::size_t notifications = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        logger.clear();
        if (&c == std::end(cases) - 1) Singleton<ServiceOfferingManager>::install(nullptr);  // the last case
        startWith([&](KSPersistentState& s) {
            s.writeServiceOfferingId(c.id, true);
            s.writeServiceOfferingVersion(c.version, true);
            if (c.left != State::Idle) s.setState(c.left, true);  // the store starts Idle
        });
        EXPECT_EQ(c.expected, state());
        EXPECT_EQ(c.expected, openStore()->getState()) << "saved at once";
        EXPECT_EQ(c.resetLogged, logger.endsWithAny("] -> KSPersistentState: Error retrieving a previously persisted "
                                                    "service offering entity from the xml store. Resetting the state"));
        if (c.reportedVersion == 0) continue;
        ++notifications;
        ASSERT_TRUE(waitFor([&] { return backend.received("UpdateInstalled").size() == notifications; }));
        boost::shared_ptr<LocalMessage> note = backend.received("UpdateInstalled").back();
        boost::shared_ptr<ServiceOfferingEntity> reported =
            boost::dynamic_pointer_cast<ServiceOfferingEntity>(note->getPayload());
        ASSERT_TRUE(reported);
        EXPECT_TRUE(*reported == ServiceOfferingEntity(AppA, c.reportedVersion));
        EXPECT_EQ("UpdateInstalled to=event://Backend/Kestrup reply= session=" + UUId().getValue() +
                      " priority=0 user=UnknownUser",
                  testsupport::header(note));
    }
    EXPECT_EQ(notifications, backend.received("UpdateInstalled").size());
}

}  // namespace
}  // namespace componenttest
