// "GetUpdateStatus": the status answers, the update check and its failures.
#include <atomic>
#include <thread>
#include <vector>

#include <boost/make_shared.hpp>
#include <boost/pointer_cast.hpp>

#include "ComponentFixture.h"
#include "KestrupRules.h"
#include "platform/Win32Api.h"

namespace componenttest {
namespace {

class UpdateStatusTest : public ComponentFixture {};

TEST_F(UpdateStatusTest, ACheckThatFindsAFileStoresItAndAnswers792) {
    startComponent();
    const KSFile file = defaultFile();
    backend.setManifest(makeManifest(AppA, file));
    const UUId session = UUId::generate();

    // The client claims version 1; the registry knows version 5.
    boost::shared_ptr<LocalMessage> reply = getUpdateStatus(AppA, session, 1);
    ASSERT_TRUE(reply);
    EXPECT_EQ(792, resultOf(reply));
    // The header of every reply to a request.
    EXPECT_EQ("OperationSuccess", reply->getMessageType());
    EXPECT_EQ(client.replyTopic(), reply->getTargetTopic());
    EXPECT_EQ("", reply->getReplyTopic());
    EXPECT_EQ(0, reply->getPriority());
    EXPECT_EQ("UnknownUser", reply->getUser());
    EXPECT_EQ(session, reply->getSessionId());

    // The backend request.
    ASSERT_EQ(1u, backend.checkCount());
    boost::shared_ptr<LocalMessage> check = backend.checks()[0];
    EXPECT_EQ("event://Backend/Kestrup", check->getTargetTopic());
    EXPECT_EQ("target://Client/Component/Kestrup", check->getReplyTopic());
    EXPECT_EQ(0, check->getPriority());
    EXPECT_EQ("UnknownUser", check->getUser());
    EXPECT_EQ(session, check->getSessionId());
    boost::shared_ptr<KSRequest> asked = boost::dynamic_pointer_cast<KSRequest>(check->getPayload());
    ASSERT_TRUE(asked);
    ASSERT_EQ(1u, asked->getConfigurationItems().size());
    EXPECT_EQ(AppA, asked->getConfigurationItems().front().getId());
    EXPECT_EQ(5, asked->getConfigurationItems().front().getNumber());

    EXPECT_EQ(KSPersistentState::UpdateAvailable, state());
    EXPECT_TRUE(countdownRunning());
    std::unique_ptr<KSPersistentState> stored = openStore();
    std::string storedId;
    KSFile storedFile;
    int64_t checkedAt = 0;
    ASSERT_EQ(0, stored->readServiceOfferingId(storedId));
    ASSERT_EQ(0, stored->readInstallerFile(storedFile));
    ASSERT_EQ(0, stored->readLastCheckForUpdate(checkedAt));
    EXPECT_EQ(AppA.getValue(), storedId);
    EXPECT_TRUE(storedFile == file);
    EXPECT_LE(checkedAt, _time64(nullptr));
    EXPECT_GT(checkedAt, _time64(nullptr) - 60);
    ServiceOfferingEntity storedOffering;
    ASSERT_TRUE(stored->readServiceOffering(storedOffering));
    EXPECT_EQ(5u, storedOffering.getVersionNumber());

    // Same offering in UpdateAvailable: reported, the backend is not asked again.
    EXPECT_EQ(792, resultOf(getUpdateStatus(AppA)));
    EXPECT_EQ(1u, backend.checkCount());
}

TEST_F(UpdateStatusTest, AnEmptyManifestAnswers791AndTheIntervalThenHoldsFurtherChecksBack) {
    settings["Kestrup/CheckForUpdateInterval"] = "3600";
    startComponent();
    backend.setManifest(makeManifest(std::vector<KSConfigurationItem>()));

    EXPECT_EQ(791, resultOf(getUpdateStatus(AppA)));
    EXPECT_EQ(1u, backend.checkCount());
    EXPECT_EQ(KSPersistentState::Idle, state());

    // Recorded: the next request within the hour is answered without asking.
    backend.setManifest(makeManifest(AppA, defaultFile()));
    EXPECT_EQ(791, resultOf(getUpdateStatus(AppA)));
    EXPECT_EQ(1u, backend.checkCount());
    EXPECT_TRUE(countdownRunning());
}

TEST_F(UpdateStatusTest, AnIntervalOfMinusOneMeansNeverAndAClockThatWentBackMakesTheCheckDue) {
    settings["Kestrup/CheckForUpdateInterval"] = "-1";
    startComponent();
    backend.setManifest(makeManifest(AppA, defaultFile()));
    EXPECT_EQ(791, resultOf(getUpdateStatus(AppA)));
    EXPECT_EQ(0u, backend.checkCount());
    destroyComponent();

    // A last check a day in the future: the clock went back, the check is due.
    settings["Kestrup/CheckForUpdateInterval"] = "3600";
    seed([](KSPersistentState& s) { s.writeLastCheckForUpdate(_time64(nullptr) + 86400); });
    startComponent();
    EXPECT_EQ(792, resultOf(getUpdateStatus(AppA)));
    EXPECT_EQ(1u, backend.checkCount());
}

TEST_F(UpdateStatusTest, TheFirstNonEmptyDeliverableGivesTheFileAndEmptyFilesAreSkipped) {
    startComponent();
    const KSFile wanted = makeFile({"http://second-item.test/x"}, "/wanted");
    const KSFile later = makeFile({"http://second-item.test/y"}, "/later");
    backend.setManifest(makeManifest({
        makeItem(AppA, {{}, {}}),                   // no files in any deliverable
        makeItem(AppA, {{KSFile()}, {wanted, later}}),  // an empty file does not count
    }));
    ASSERT_EQ(792, resultOf(getUpdateStatus(AppA)));
    KSFile stored;
    ASSERT_EQ(0, openStore()->readInstallerFile(stored));
    EXPECT_TRUE(stored == wanted);
}

TEST_F(UpdateStatusTest, AFileWithoutMirrorsIsError769AndTheCheckIsNotRecorded) {
    settings["Kestrup/CheckForUpdateInterval"] = "3600";
    startComponent();
    backend.setManifest(makeManifest(AppA, makeFile({})));
    boost::shared_ptr<LocalMessage> reply = getUpdateStatus(AppA);
    ASSERT_TRUE(reply);
    EXPECT_EQ("OperationError", reply->getMessageType());
    EXPECT_EQ(769, resultOf(reply));
    EXPECT_TRUE(logger.endsWithAny("] -> KESTRUP: The manifest received does not contain mirrors."));
    EXPECT_EQ(KSPersistentState::Idle, state());
    EXPECT_TRUE(countdownRunning());

    // No file at all is the same error; the check was not recorded, so it runs again.
    backend.setManifest(makeManifest({makeItem(AppA, {{}})}));
    EXPECT_EQ(769, resultOf(getUpdateStatus(AppA)));
    EXPECT_EQ(2u, backend.checkCount());
}

TEST_F(UpdateStatusTest, ARegistryThatForgetsTheApplicationDuringTheCheckLeavesNoFile) {
    startComponent();
    backend.setManifest(makeManifest(AppA, defaultFile()));
    backend.setBeforeAnswer([this] { registry.clear(); });
    EXPECT_EQ(769, resultOf(getUpdateStatus(AppA)));
    EXPECT_TRUE(logger.endsWithAny("] -> KESTRUP: getKSFile: Error retrieving app version"));
    EXPECT_EQ(KSPersistentState::Idle, state());
}

TEST_F(UpdateStatusTest, AnApplicationUnknownToTheRegistryIsError801WithoutAskingTheBackend) {
    startComponent();
    boost::shared_ptr<LocalMessage> reply = getUpdateStatus(AppUnknown);
    EXPECT_EQ("OperationError", reply->getMessageType());
    EXPECT_EQ(801, resultOf(reply));
    EXPECT_TRUE(logger.endsWithAny("] -> KESTRUP: Could not retrieve ServiceOfferingEntity from UpdateInfo"));
    EXPECT_EQ(0u, backend.checkCount());
}

TEST_F(UpdateStatusTest, BadBackendAnswersAreErrorsThatLeaveIdleAndRecordNothing) {
    settings["Kestrup/CheckForUpdateInterval"] = "3600";
    startComponent();
    backend.setManifest(makeManifest(AppA, defaultFile()));
    struct Case {
        FakeBackend::Mode mode;
        int32_t code;
        const char* log;
    };
    const Case cases[] = {
        {FakeBackend::AnswerWrongType, 802, "] -> KESTRUP: Invalid message type received."},
        {FakeBackend::AnswerWithoutPayload, 797, "] -> KESTRUP: Could not downcast KSManifest payload"},
    };
    std::size_t checks = 0;
    for (const Case& c : cases) {
        backend.setMode(c.mode);
        boost::shared_ptr<LocalMessage> reply = getUpdateStatus(AppA);
        ASSERT_TRUE(reply) << c.code;
        EXPECT_EQ("OperationError", reply->getMessageType());
        EXPECT_EQ(c.code, resultOf(reply));
        EXPECT_TRUE(logger.endsWithAny(c.log)) << c.log;
        EXPECT_EQ(KSPersistentState::Idle, state());
        EXPECT_EQ(++checks, backend.checkCount()) << "each request checks again";
    }
    backend.setMode(FakeBackend::AnswerManifest);
    EXPECT_EQ(792, resultOf(getUpdateStatus(AppA)));
}

TEST_F(UpdateStatusTest, ARequestWithoutAServiceOfferingIsError797) {
    startComponent();
    boost::shared_ptr<LocalMessage> reply = client.ask("GetUpdateStatus", boost::shared_ptr<ISerializable>(),
                                                       UUId::generate());
    EXPECT_EQ(797, resultOf(reply));
    EXPECT_TRUE(logger.endsWithAny("] -> KESTRUP: Invalid payload"));
    reply = client.ask("GetUpdateStatus", boost::make_shared<StatusReportPayload>(1, "x"), UUId::generate());
    EXPECT_EQ("OperationError", reply->getMessageType());
    EXPECT_EQ(797, resultOf(reply));
    EXPECT_EQ(0u, backend.checkCount());
    EXPECT_TRUE(countdownRunning());
}

TEST_F(UpdateStatusTest, OtherMessageTypesAreDroppedWithoutAnswer) {
    startComponent();
    backend.setManifest(makeManifest(AppA, defaultFile()));
    component->stop();
    client.post("getUpdateStatus", offering(AppA, 5), UUId::generate());
    client.post("UpdateManifest", boost::make_shared<KSManifest>(), UUId::generate(), ComponentTopic);
    client.post("Hello", offering(AppA, 5), UUId::generate());
    EXPECT_FALSE(client.replies().waitForCount(1, std::chrono::milliseconds(300)));
    EXPECT_EQ(0u, backend.checkCount());
    EXPECT_FALSE(countdownRunning()) << "no timer change for unknown types";
    // The component still answers afterwards, also on its second topic.
    EXPECT_EQ(792, resultOf(client.ask("GetUpdateStatus", offering(AppA, 5), UUId::generate(), ComponentTopic)));
}

TEST_F(UpdateStatusTest, EachWorkflowStateIsReportedForTheSameOffering) {
    const UUId session = UUId::generate();
    startComponent();
    ASSERT_NO_FATAL_FAILURE(reachDownloading(session, defaultFile()));
    EXPECT_EQ(793, resultOf(getUpdateStatus(AppA)));
    EXPECT_EQ(KSPersistentState::Downloading, state());
    EXPECT_FALSE(countdownRunning()) << "a running download keeps it stopped";

    downloads.send("WasFinished", session, 0, dir.file("setup.sh"));
    ASSERT_TRUE(waitUntil([&] { return state() == KSPersistentState::Downloaded; }));
    EXPECT_EQ(794, resultOf(getUpdateStatus(AppA)));
    EXPECT_TRUE(countdownRunning());
    EXPECT_EQ(1u, backend.checkCount());
}

TEST_F(UpdateStatusTest, AnUnreadablePersistedOfferingIdIsError781AndDropsToIdle) {
    seed([](KSPersistentState& s) {
        s.writeInstallerFile(makeFile({"http://m.test/a"}));
        s.setState(KSPersistentState::UpdateAvailable, true);
    });
    startComponent();
    ASSERT_EQ(KSPersistentState::UpdateAvailable, state());
    boost::shared_ptr<LocalMessage> reply = getUpdateStatus(AppA);
    EXPECT_EQ("OperationError", reply->getMessageType());
    EXPECT_EQ(781, resultOf(reply));
    EXPECT_TRUE(logger.endsWithAny("] -> KESTRUP: Could not retrieve persisted service offering Id"));
    EXPECT_EQ(KSPersistentState::Idle, state());
    KSFile file;
    EXPECT_NE(0, openStore()->readInstallerFile(file));
    EXPECT_EQ(0u, backend.checkCount());
}

TEST_F(UpdateStatusTest, AnotherApplicationAbortsTheRunningDownloadAndIsCheckedAfresh) {
    const UUId sessionA = UUId::generate();
    startComponent();
    ASSERT_NO_FATAL_FAILURE(reachDownloading(sessionA, makeFile({"http://only-mirror.test/a"})));
    testsupport::RecordingSink statusA({statusTopic(sessionA)});

    const UUId sessionB = UUId::generate();
    backend.setManifest(makeManifest(AppB, makeFile({"http://b.test/b"})));
    EXPECT_EQ(792, resultOf(getUpdateStatus(AppB, sessionB)));

    ASSERT_TRUE(downloads.waitForRequests("Abort", 1));
    boost::shared_ptr<LocalMessage> abort = downloads.requests("Abort")[0];
    EXPECT_EQ(sessionB, abort->getSessionId()) << "the abort goes out under the new request's session";
    EXPECT_EQ(2u, backend.checkCount());
    EXPECT_EQ(KSPersistentState::UpdateAvailable, state());
    std::string storedId;
    ASSERT_EQ(0, openStore()->readServiceOfferingId(storedId));
    EXPECT_EQ(AppB.getValue(), storedId);

    // A late failure of A's download reaches the component outside Downloading and
    // is ignored.
    downloads.send("WasFailed", sessionA, 5);
    ASSERT_TRUE(waitUntil([&] { return logger.contains("DOWNLOADER_PROXY: No more mirrors. Notifying error..."); }));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_FALSE(logger.contains("KESTRUP: Download finished with error"));
    EXPECT_EQ(0u, statusA.count());
    EXPECT_EQ(KSPersistentState::UpdateAvailable, state());
}

TEST_F(UpdateStatusTest, AnotherApplicationInAnyOtherStateAlsoStartsOver) {
    settings["Kestrup/CheckForUpdateInterval"] = "3600";
    startComponent();
    ASSERT_NO_FATAL_FAILURE(reachUpdateAvailable(defaultFile()));
    // The abandoned workflow took its check time with it: B is checked at once.
    backend.setManifest(makeManifest(std::vector<KSConfigurationItem>()));
    EXPECT_EQ(791, resultOf(getUpdateStatus(AppB)));
    EXPECT_EQ(2u, backend.checkCount());
    EXPECT_EQ(KSPersistentState::Idle, state());
    EXPECT_TRUE(downloads.requests("Abort").empty()) << "nothing was downloading";
}

TEST_F(UpdateStatusTest, ARestartInDownloadingResumesOnTheFirstRequestOnly) {
    const UUId session = UUId::generate();
    startComponent();
    ASSERT_NO_FATAL_FAILURE(reachDownloading(session, defaultFile()));
    restartComponent();

    EXPECT_TRUE(downloads.requests("Resume").empty()) << "not before the first request";
    EXPECT_EQ(793, resultOf(getUpdateStatus(AppA)));
    ASSERT_TRUE(downloads.waitForRequests("Resume", 1));
    EXPECT_EQ(session, downloads.requests("Resume")[0]->getSessionId());
    EXPECT_EQ(1u, backend.checkCount()) << "no backend contact for a resumption";
    EXPECT_FALSE(countdownRunning());

    EXPECT_EQ(793, resultOf(getUpdateStatus(AppA)));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_EQ(1u, downloads.requests("Resume").size());

    // The resumed session is the proxy's: its outcome finishes the download.
    testsupport::RecordingSink status({statusTopic(session)});
    downloads.send("WasFinished", session, 0, dir.file("setup.sh"));
    EXPECT_EQ(794, resultOf(status.waitForType("KestrupStatus")));
}

TEST_F(UpdateStatusTest, AResumptionWithoutItsDataDropsToIdleAndChecksInTheSameRequest) {
    seed([](KSPersistentState& s) {
        s.writeServiceOfferingId(AppA.getValue(), true);
        s.writeServiceOfferingVersion(5, true);
        s.setState(KSPersistentState::Downloading, true);  // no "ksFile", no "sessionId"
    });
    startComponent();
    backend.setManifest(makeManifest(AppA, defaultFile()));
    EXPECT_EQ(792, resultOf(getUpdateStatus(AppA)));
    EXPECT_TRUE(logger.endsWithAny("] -> KESTRUP: Failed to retrieve persisted data to resume download."));
    EXPECT_TRUE(downloads.requests("Resume").empty());
    EXPECT_EQ(1u, backend.checkCount());
    EXPECT_EQ(1u, client.replies().count()) << "answered once";
}

TEST_F(UpdateStatusTest, ConcurrentRequestsWhileACheckWaitsAreEachAnsweredOnce) {
    startComponent();
    backend.setManifest(makeManifest(AppA, defaultFile()));
    backend.setAnswerDelay(std::chrono::milliseconds(400));

    const int clientCount = 6;
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < clientCount; ++i) clients.emplace_back(new Client());
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < clientCount; ++i) {
        threads.emplace_back([&, i] {
            ++ready;
            while (ready.load() < clientCount) std::this_thread::yield();
            // The component's other topic would also reach the check's reply
            // listener, so these go to the service topic.
            clients[i]->post("GetUpdateStatus", offering(AppA, 1), UUId::generate());
        });
    }
    for (std::thread& t : threads) t.join();

    for (int i = 0; i < clientCount; ++i) {
        ASSERT_TRUE(clients[i]->replies().waitForCount(1, std::chrono::seconds(30))) << i;
    }
    // Give a duplicate answer the chance to show up.
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    for (int i = 0; i < clientCount; ++i) {
        ASSERT_EQ(1u, clients[i]->replies().count()) << i;
        EXPECT_EQ(792, resultOf(clients[i]->replies().messages()[0])) << i;
    }
    EXPECT_EQ(1u, backend.checkCount());
    EXPECT_EQ(KSPersistentState::UpdateAvailable, state());
}

// A stored state that is none of the five known ones is reported as 790 for the
// same offering and left alone: the backend is not asked and nothing is rewritten.
TEST_F(UpdateStatusTest, AnUnknownStoredStateIsReportedAs790AndKept) {
    seed([](KSPersistentState& s) {
        s.writeServiceOfferingId(AppA.getValue(), true);
        s.setState(static_cast<KSPersistentState::KSState_t>(7), true);
    });
    startComponent();
    EXPECT_EQ(790, resultOf(getUpdateStatus(AppA)));
    EXPECT_EQ(0u, backend.checkCount());
    EXPECT_EQ(7, static_cast<int>(state()));
    EXPECT_EQ(7, static_cast<int>(openStore()->getState()));
    EXPECT_TRUE(countdownRunning());
}

}  // namespace
}  // namespace componenttest
