// "PrepareForInstall" refused, and failed downloads: retries, give-up, and a retry
// wait cut short by the host.
#include <boost/make_shared.hpp>
#include <boost/pointer_cast.hpp>

#include "ComponentFixture.h"

namespace componenttest {
namespace {

class DownloadTest : public ComponentFixture {};

TEST_F(DownloadTest, RefusedPreparesAreAnsweredWithTheirCodeAndStartNothing) {
    startComponent();
    expectError(prepareForInstall(AppA), 798, "Discarding message due to invalid state. Current: 1 Required: 2");
    EXPECT_EQ(State::Idle, state());
    EXPECT_TRUE(countdownRunning()) << "a refusal starts the countdown again";

    ASSERT_NO_FATAL_FAILURE(reachUpdateAvailable(defaultFile()));
    expectError(client.ask("PrepareForInstall", boost::make_shared<KSManifest>(), UUId::generate()), 797,
                "Invalid payload");
    expectError(prepareForInstall(AppB), 798,
                "Previous ServiceOfferingId must be completed prior to starting a new service offering request");
    registry.clear();
    expectError(prepareForInstall(AppA), 801, "Could not retrieve ServiceOfferingEntity from UpdateInfo");
    registry.set(AppA, 5);
    EXPECT_EQ(State::UpdateAvailable, state());
    std::string storedId;
    ASSERT_EQ(0, openStore()->readServiceOfferingId(storedId));
    EXPECT_EQ(AppA.getValue(), storedId);

    // Stored data that cannot be read drops the workflow to Idle.
    startWith([](KSPersistentState& s) {
        s.writeServiceOfferingId(AppA.getValue(), true);
        s.writeServiceOfferingVersion(5, true);
        s.setState(State::UpdateAvailable, true);  // no "ksFile"
    });
    expectError(prepareForInstall(AppA), 781, "Could not retrieve persisted manifest");
    EXPECT_EQ(State::Idle, state());
    startWith([](KSPersistentState& s) {
        s.writeInstallerFile(makeFile({"http://m.test/a"}));
        s.setState(State::UpdateAvailable, true);  // no "serviceOfferingId"
    });
    expectError(prepareForInstall(AppA), 781, "Could not retrieve persisted service offering Id");
    EXPECT_EQ(State::Idle, state());
    EXPECT_TRUE(downloads.requests("Start").empty());
}

TEST_F(DownloadTest, FailedTriesAreRepeatedUntilTheRetriesRunOut) {
    using Service = FakeDownloadService;
    const std::string one = "http://one.test/a", two = "http://two.test/a";
    struct Case {
        const char* what;
        const char* retries;
        const char* interval;
        std::vector<std::string> mirrors;
        std::vector<Service::Outcome> outcomes;
        int32_t status;
        std::vector<std::string> started;
    };
    const Case cases[] = {
        {"274 is retried while retries are left, and the last failure decides", "2", "0", {one},
         {Service::fail(274), Service::fail(5), Service::fail(274)}, 773, {one, one, one}},
        {"an abort by the service is retried too, from the first mirror", "1", "0", {one, two},
         {Service::abort(), Service::fail(274), Service::fail(5)}, 799, {one, one, two}},
        {"without retries the first failure gives up without a wait", "0", "600", {one}, {Service::fail(274)}, 773,
         {one}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        settings["Kestrup/DownloadRetries"] = c.retries;
        settings["Kestrup/DownloadRetryInterval"] = c.interval;
        startWith([](KSPersistentState&) {});
        logger.clear();
        const std::size_t startsBefore = downloads.requests("Start").size();
        const UUId session = UUId::generate();
        testsupport::RecordingSink status({statusTopic(session)});
        downloads.script(c.outcomes);
        ASSERT_NO_FATAL_FAILURE(reachUpdateAvailable(makeFile(c.mirrors)));
        ASSERT_EQ(0, resultOf(prepareForInstall(AppA, session)));

        boost::shared_ptr<LocalMessage> event = status.waitForType("KestrupStatus");
        ASSERT_TRUE(event);
        EXPECT_EQ(c.status, resultOf(event));
        EXPECT_EQ(session, event->getSessionId());
        EXPECT_EQ(c.started, downloads.startedUrls(startsBefore));
        EXPECT_EQ(std::stoul(c.retries) + 1, logger.countContaining("KESTRUP: Download finished with error"));
        EXPECT_EQ(1u, logger.countContaining("] -> KESTRUP: Download retries exceded, returning to idle state..."));
        EXPECT_EQ(State::Idle, state());
        EXPECT_TRUE(waitUntil([&] { return countdownRunning(); }));
    }
}

TEST_F(DownloadTest, DestroyingTheComponentCancelsARetryWaitAndLeavesTheDownloadToResume) {
    // With the default interval an uncancelled wait would hold the destruction for
    // ten minutes, far past this test's time limit.
    settings["Kestrup/DownloadRetries"] = "1";
    settings["Kestrup/DownloadRetryInterval"] = "600";
    startComponent();
    downloads.script({FakeDownloadService::fail(5)});
    ASSERT_NO_FATAL_FAILURE(reachUpdateAvailable(makeFile({"http://only.test/a"})));
    ASSERT_EQ(0, resultOf(prepareForInstall(AppA)));
    ASSERT_TRUE(waitUntil([&] { return logger.contains("KESTRUP: Download finished with error"); }));

    // The wait holds no lock: requests are served meanwhile.
    EXPECT_EQ(793, resultOf(getUpdateStatus(AppA)));
    EXPECT_FALSE(countdownRunning());

    destroyComponent();
    // The cancelled wait neither counted a retry nor started the file again.
    EXPECT_EQ(1u, downloads.requests("Start").size());
    {
        std::unique_ptr<KSPersistentState> stored = openStore();
        EXPECT_EQ(State::Downloading, stored->getState());
        int32_t retries = -1;
        ASSERT_EQ(0, stored->readRetries(retries));
        EXPECT_EQ(0, retries);
    }

    // The next run resumes it on its first status request.
    startComponent();
    EXPECT_EQ(793, resultOf(getUpdateStatus(AppA)));
    EXPECT_TRUE(downloads.waitForRequests("Resume", 1));
}

}  // namespace
}  // namespace componenttest
