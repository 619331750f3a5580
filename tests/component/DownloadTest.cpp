// "PrepareForInstall" and the outcome of the download: success, retries, give-up.
#include <thread>

#include <boost/make_shared.hpp>
#include <boost/pointer_cast.hpp>

#include "ComponentFixture.h"
#include "util/common/UserDataFolder.h"

namespace componenttest {
namespace {

class DownloadTest : public ComponentFixture {};

TEST_F(DownloadTest, PrepareStartsTheDownloadOfTheStoredFile) {
    startComponent();
    const KSFile file = defaultFile();
    ASSERT_NO_FATAL_FAILURE(reachUpdateAvailable(file));
    const UUId session = UUId::generate();

    boost::shared_ptr<LocalMessage> reply = prepareForInstall(AppA, session);
    ASSERT_TRUE(reply);
    EXPECT_EQ("OperationSuccess", reply->getMessageType());
    EXPECT_EQ(0, resultOf(reply));
    EXPECT_EQ(session, reply->getSessionId());

    ASSERT_TRUE(downloads.waitForRequests("Start", 1));
    boost::shared_ptr<LocalMessage> start = downloads.requests("Start")[0];
    EXPECT_EQ(session, start->getSessionId());
    boost::shared_ptr<StartRequestPayload> request =
        boost::dynamic_pointer_cast<StartRequestPayload>(start->getPayload());
    ASSERT_TRUE(request);
    EXPECT_EQ("http://mirror-one.test/setup.sh", request->getUrl());
    EXPECT_EQ(file.getDigest(), request->getFileHash());
    EXPECT_EQ(UserDataFolder::get(), request->getDestinationFolder());

    EXPECT_EQ(KSPersistentState::Downloading, state());
    EXPECT_FALSE(countdownRunning());
    std::unique_ptr<KSPersistentState> stored = openStore();
    std::string arguments, storedSession;
    int32_t retries = -1;
    ASSERT_EQ(0, stored->readInstallerArgs(arguments));
    ASSERT_EQ(0, stored->readSessionId(storedSession));
    ASSERT_EQ(0, stored->readRetries(retries));
    EXPECT_EQ("--quiet --all", arguments);
    EXPECT_EQ(session.getValue(), storedSession);
    EXPECT_EQ(0, retries);
}

TEST_F(DownloadTest, PrepareOutsideUpdateAvailableIsRefusedWith798) {
    startComponent();
    boost::shared_ptr<LocalMessage> reply = prepareForInstall(AppA, UUId::generate());
    ASSERT_TRUE(reply);
    EXPECT_EQ("OperationError", reply->getMessageType());
    EXPECT_EQ(798, resultOf(reply));
    EXPECT_TRUE(logger.endsWithAny("] -> KESTRUP: Discarding message due to invalid state. Current: 1 Required: 2"));
    EXPECT_EQ(KSPersistentState::Idle, state());
    EXPECT_TRUE(countdownRunning());

    const UUId session = UUId::generate();
    ASSERT_NO_FATAL_FAILURE(reachDownloading(session, defaultFile()));
    EXPECT_EQ(798, resultOf(prepareForInstall(AppA, session)));
    EXPECT_TRUE(logger.endsWithAny("KESTRUP: Discarding message due to invalid state. Current: 3 Required: 2"));
    EXPECT_EQ(KSPersistentState::Downloading, state());
    EXPECT_TRUE(countdownRunning()) << "a refusal starts the countdown again";
    EXPECT_EQ(1u, downloads.requests("Start").size());
}

TEST_F(DownloadTest, PrepareForAnotherOfferingIsRefusedAndTheStoredOfferingStays) {
    startComponent();
    ASSERT_NO_FATAL_FAILURE(reachUpdateAvailable(defaultFile()));
    EXPECT_EQ(798, resultOf(prepareForInstall(AppB, UUId::generate())));
    EXPECT_TRUE(logger.endsWithAny("] -> KESTRUP: Previous ServiceOfferingId must be completed prior to starting a "
                                   "new service offering request"));
    EXPECT_EQ(KSPersistentState::UpdateAvailable, state());
    std::string storedId;
    ASSERT_EQ(0, openStore()->readServiceOfferingId(storedId));
    EXPECT_EQ(AppA.getValue(), storedId);
    EXPECT_TRUE(downloads.requests("Start").empty());
}

TEST_F(DownloadTest, PrepareWithABadPayloadOrAnUnregisteredOfferingIsRefused) {
    startComponent();
    ASSERT_NO_FATAL_FAILURE(reachUpdateAvailable(defaultFile()));
    boost::shared_ptr<LocalMessage> reply =
        client.ask("PrepareForInstall", boost::make_shared<KSManifest>(), UUId::generate());
    EXPECT_EQ(797, resultOf(reply));

    registry.clear();
    reply = prepareForInstall(AppA, UUId::generate());
    EXPECT_EQ("OperationError", reply->getMessageType());
    EXPECT_EQ(801, resultOf(reply));
    EXPECT_EQ(KSPersistentState::UpdateAvailable, state());
    EXPECT_TRUE(downloads.requests("Start").empty());
}

TEST_F(DownloadTest, PrepareWithoutTheStoredFileOrOfferingIsError781AndDropsToIdle) {
    seed([](KSPersistentState& s) {
        s.writeServiceOfferingId(AppA.getValue(), true);
        s.writeServiceOfferingVersion(5, true);
        s.setState(KSPersistentState::UpdateAvailable, true);  // no "ksFile"
    });
    startComponent();
    boost::shared_ptr<LocalMessage> reply = prepareForInstall(AppA, UUId::generate());
    EXPECT_EQ(781, resultOf(reply));
    EXPECT_TRUE(logger.endsWithAny("] -> KESTRUP: Could not retrieve persisted manifest"));
    EXPECT_EQ(KSPersistentState::Idle, state());
    destroyComponent();

    seed([](KSPersistentState& s) {
        s.writeInstallerFile(makeFile({"http://m.test/a"}));
        s.setState(KSPersistentState::UpdateAvailable, true);  // no "serviceOfferingId"
    });
    startComponent();
    reply = prepareForInstall(AppA, UUId::generate());
    EXPECT_EQ(781, resultOf(reply));
    EXPECT_TRUE(logger.endsWithAny("] -> KESTRUP: Could not retrieve persisted service offering Id"));
    EXPECT_EQ(KSPersistentState::Idle, state());
    EXPECT_TRUE(downloads.requests("Start").empty());
}

TEST_F(DownloadTest, AFinishedDownloadIsStoredAndAnnouncedOnTheSessionsTopic) {
    startComponent();
    const UUId session = UUId::generate();
    testsupport::RecordingSink status({statusTopic(session)});
    const std::string installer = dir.file("setup.sh");
    downloads.script({FakeDownloadService::fail(5), FakeDownloadService::finish(installer)});
    ASSERT_NO_FATAL_FAILURE(reachUpdateAvailable(defaultFile()));
    ASSERT_EQ(0, resultOf(prepareForInstall(AppA, session)));

    boost::shared_ptr<LocalMessage> event = status.waitForType("KestrupStatus");
    ASSERT_TRUE(event);
    EXPECT_EQ(794, resultOf(event));
    EXPECT_EQ(session, event->getSessionId());
    EXPECT_EQ("", event->getReplyTopic());
    EXPECT_EQ("UnknownUser", event->getUser());
    // The first mirror failed, the second delivered: one try of the file.
    ASSERT_EQ(2u, downloads.requests("Start").size());

    EXPECT_EQ(KSPersistentState::Downloaded, state());
    EXPECT_TRUE(waitUntil([&] { return countdownRunning(); }));
    std::unique_ptr<KSPersistentState> stored = openStore();
    std::string filename;
    int32_t retries = -1;
    ASSERT_EQ(0, stored->readInstallerFilename(filename));
    ASSERT_EQ(0, stored->readRetries(retries));
    EXPECT_EQ(installer, filename);
    EXPECT_EQ(0, retries);
}

TEST_F(DownloadTest, FailedTriesAreRepeatedUntilTheRetriesRunOut) {
    settings["Kestrup/DownloadRetries"] = "2";
    startComponent();
    const UUId session = UUId::generate();
    testsupport::RecordingSink status({statusTopic(session)});
    // One mirror; the service fails every try, the last with its code 274.
    downloads.script({FakeDownloadService::fail(274), FakeDownloadService::fail(5), FakeDownloadService::fail(274)});
    ASSERT_NO_FATAL_FAILURE(reachUpdateAvailable(makeFile({"http://only.test/a"})));
    ASSERT_EQ(0, resultOf(prepareForInstall(AppA, session)));

    boost::shared_ptr<LocalMessage> event = status.waitForType("KestrupStatus");
    ASSERT_TRUE(event);
    EXPECT_EQ(773, resultOf(event));
    EXPECT_EQ(3u, downloads.requests("Start").size()) << "a first try and two retries";
    EXPECT_EQ(3u, logger.countContaining("KESTRUP: Download finished with error"));
    EXPECT_EQ(1u, logger.countContaining("] -> KESTRUP: Download retries exceded, returning to idle state..."));
    EXPECT_EQ(KSPersistentState::Idle, state());
    std::string storedSession;
    EXPECT_NE(0, openStore()->readSessionId(storedSession)) << "Idle forgets the session";
    EXPECT_TRUE(waitUntil([&] { return countdownRunning(); }));
}

TEST_F(DownloadTest, TheGiveUpCodeFollowsOnlyTheLastFailure) {
    settings["Kestrup/DownloadRetries"] = "1";
    startComponent();
    const UUId session = UUId::generate();
    testsupport::RecordingSink status({statusTopic(session)});
    // An abort by the service counts as a failure and is retried too.
    downloads.script({FakeDownloadService::abort(), FakeDownloadService::fail(274), FakeDownloadService::fail(5)});
    ASSERT_NO_FATAL_FAILURE(reachUpdateAvailable(makeFile({"http://one.test/a", "http://two.test/a"})));
    ASSERT_EQ(0, resultOf(prepareForInstall(AppA, session)));

    boost::shared_ptr<LocalMessage> event = status.waitForType("KestrupStatus");
    ASSERT_TRUE(event);
    EXPECT_EQ(799, resultOf(event));
    const auto starts = downloads.requests("Start");
    ASSERT_EQ(3u, starts.size());
    // The retry starts the file again from its first mirror.
    EXPECT_EQ("http://one.test/a",
              boost::dynamic_pointer_cast<StartRequestPayload>(starts[1]->getPayload())->getUrl());
    EXPECT_EQ("http://two.test/a",
              boost::dynamic_pointer_cast<StartRequestPayload>(starts[2]->getPayload())->getUrl());
}

TEST_F(DownloadTest, WithoutRetriesTheFirstFailureGivesUpAtOnce) {
    settings["Kestrup/DownloadRetries"] = "0";
    settings["Kestrup/DownloadRetryInterval"] = "600";  // would be seen if it were waited
    startComponent();
    const UUId session = UUId::generate();
    testsupport::RecordingSink status({statusTopic(session)});
    downloads.script({FakeDownloadService::fail(274)});
    ASSERT_NO_FATAL_FAILURE(reachUpdateAvailable(makeFile({"http://only.test/a"})));
    ASSERT_EQ(0, resultOf(prepareForInstall(AppA, session)));
    EXPECT_EQ(773, resultOf(status.waitForType("KestrupStatus")));
    EXPECT_EQ(1u, downloads.requests("Start").size());
}

TEST_F(DownloadTest, TheRetryWaitHoldsNoLockAndTheCountSurvivesARestart) {
    settings["Kestrup/DownloadRetries"] = "1";
    settings["Kestrup/DownloadRetryInterval"] = "2";
    startComponent();
    const UUId session = UUId::generate();
    testsupport::RecordingSink status({statusTopic(session)});
    downloads.script({FakeDownloadService::fail(5)});
    ASSERT_NO_FATAL_FAILURE(reachUpdateAvailable(makeFile({"http://only.test/a"})));
    ASSERT_EQ(0, resultOf(prepareForInstall(AppA, session)));
    ASSERT_TRUE(waitUntil([&] { return logger.contains("KESTRUP: Download finished with error"); }));

    // While the retry waits, requests are served.
    EXPECT_EQ(793, resultOf(getUpdateStatus(AppA)));
    EXPECT_EQ(1u, downloads.requests("Start").size()) << "answered before the retry started";

    ASSERT_TRUE(downloads.waitForRequests("Start", 2));
    int32_t retries = -1;
    ASSERT_TRUE(waitUntil([&] { return openStore()->readRetries(retries) == 0 && retries == 1; }));

    // The count lives in the store: after a restart the resumed download continues
    // it, so its next final failure is the last one.
    restartComponent();
    EXPECT_EQ(793, resultOf(getUpdateStatus(AppA)));
    ASSERT_TRUE(downloads.waitForRequests("Resume", 1));
    downloads.script({FakeDownloadService::fail(274)});
    downloads.send("WasFailed", session, 5);  // the proxy then tries the first mirror again
    boost::shared_ptr<LocalMessage> event = status.waitForType("KestrupStatus");
    ASSERT_TRUE(event);
    EXPECT_EQ(773, resultOf(event));
    EXPECT_EQ(3u, downloads.requests("Start").size());
    EXPECT_EQ(KSPersistentState::Idle, state());
}

TEST_F(DownloadTest, DestroyingTheComponentCancelsARetryWaitAndLeavesTheDownloadToResume) {
    // With the default interval an uncancelled wait would hold the destruction for
    // ten minutes, far past this test's time limit.
    settings["Kestrup/DownloadRetries"] = "1";
    settings["Kestrup/DownloadRetryInterval"] = "600";
    startComponent();
    downloads.script({FakeDownloadService::fail(5)});
    ASSERT_NO_FATAL_FAILURE(reachUpdateAvailable(makeFile({"http://only.test/a"})));
    ASSERT_EQ(0, resultOf(prepareForInstall(AppA, UUId::generate())));
    ASSERT_TRUE(waitUntil([&] { return logger.contains("KESTRUP: Download finished with error"); }));

    destroyComponent();
    // The cancelled wait neither counted a retry nor started the file again.
    EXPECT_EQ(1u, downloads.requests("Start").size());
    std::unique_ptr<KSPersistentState> stored = openStore();
    EXPECT_EQ(KSPersistentState::Downloading, stored->getState());
    int32_t retries = -1;
    ASSERT_EQ(0, stored->readRetries(retries));
    EXPECT_EQ(0, retries);
    stored.reset();

    // The next run resumes it on its first status request.
    startComponent();
    EXPECT_EQ(793, resultOf(getUpdateStatus(AppA)));
    EXPECT_TRUE(downloads.waitForRequests("Resume", 1));
}

TEST_F(DownloadTest, DownloadEventsOutsideDownloadingChangeNothingButTheCountdown) {
    startComponent();
    const UUId session = UUId::generate();
    testsupport::RecordingSink status({statusTopic(session)});
    ASSERT_NO_FATAL_FAILURE(reachUpdateAvailable(defaultFile()));
    component->stop();
    // The component reports itself; the proxy's own session is irrelevant here.
    component->onDownloadEvent(0, dir.file("setup.sh"));
    component->onDownloadEvent(2, "");
    EXPECT_EQ(KSPersistentState::UpdateAvailable, state());
    EXPECT_TRUE(countdownRunning());
    EXPECT_FALSE(logger.contains("KESTRUP: Download finished with error"));
    EXPECT_FALSE(status.waitForCount(1, std::chrono::milliseconds(200)));
}

}  // namespace
}  // namespace componenttest
