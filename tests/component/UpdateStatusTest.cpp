// "GetUpdateStatus": the answers, the update check and its failures, resumption after a restart.
#include <vector>

#include <boost/make_shared.hpp>
#include <boost/pointer_cast.hpp>

#include "ComponentFixture.h"
#include "platform/Win32Api.h"

namespace componenttest {
namespace {

class UpdateStatusTest : public ComponentFixture {};

TEST_F(UpdateStatusTest, ACheckThatFindsAFileStoresItAndAnswers792AndOtherTypesAreDropped) {
    startComponent();
    // The first deliverable with files gives the file; an empty file does not count.
    const KSFile file = makeFile({"http://second-item.test/x"}, "/wanted");
    backend.setManifest(makeManifest({
        makeItem(AppA, {{}, {}}),
        makeItem(AppA, {{KSFile()}, {file, makeFile({"http://second-item.test/y"}, "/later")}}),
    }));
    const UUId session = UUId::generate();

    // Other message types (one only in letter case) are dropped: no answer, check or countdown.
    EXPECT_TRUE(countdownRunning()) << "started by start";
    component->stop();
    EXPECT_FALSE(countdownRunning()) << "halted by stop";
    client.post("getUpdateStatus", offering(AppA, 5), UUId::generate());
    client.post("UpdateManifest", boost::make_shared<KSManifest>(), UUId::generate(), ComponentTopic);
    client.post("Hello", offering(AppA, 5), UUId::generate());
    EXPECT_FALSE(client.replies().waitForCount(1, std::chrono::milliseconds(300)));
    EXPECT_EQ(0u, backend.checkCount());
    EXPECT_FALSE(countdownRunning());

    // Asked on the component's second topic, claiming version 1; the registry knows 5.
    boost::shared_ptr<LocalMessage> reply = client.ask("GetUpdateStatus", offering(AppA, 1), session, ComponentTopic);
    ASSERT_TRUE(reply);
    EXPECT_EQ(792, resultOf(reply));
    // The header of every reply to a request.
    EXPECT_EQ("OperationSuccess to=" + client.replyTopic() + " reply= session=" + session.getValue() +
                  " priority=0 user=UnknownUser",
              testsupport::header(reply));

    ASSERT_EQ(1u, backend.checkCount());
    boost::shared_ptr<LocalMessage> check = backend.received("CheckForUpdates")[0];
    EXPECT_EQ(session, check->getSessionId());
    boost::shared_ptr<KSRequest> asked = boost::dynamic_pointer_cast<KSRequest>(check->getPayload());
    ASSERT_TRUE(asked && asked->getConfigurationItems().size() == 1u);
    EXPECT_EQ(std::make_pair(AppA, 5), std::make_pair(asked->getConfigurationItems().front().getId(),
                                                      asked->getConfigurationItems().front().getNumber()));

    EXPECT_EQ(State::UpdateAvailable, state());
    EXPECT_TRUE(countdownRunning());
    KSFile storedFile;
    ServiceOfferingEntity stored;
    EXPECT_TRUE(openStore()->readInstallerFile(storedFile) == 0 && storedFile == file);
    ASSERT_TRUE(openStore()->readServiceOffering(stored));
    EXPECT_EQ(std::make_pair(AppA, 5u), std::make_pair(stored.getApplicationId(), stored.getVersionNumber()));

    // Same offering in UpdateAvailable: reported, the backend is not asked again.
    EXPECT_EQ(792, resultOf(getUpdateStatus(AppA)));
    EXPECT_EQ(1u, backend.checkCount());
}

TEST_F(UpdateStatusTest, TheCheckIntervalCountsFromTheLastCompletedCheck) {
    settings["Kestrup/CheckForUpdateInterval"] = "3600";
    startComponent();
    backend.setManifest(makeManifest(std::vector<KSConfigurationItem>()));
    EXPECT_EQ(791, resultOf(getUpdateStatus(AppA)));  // no configuration items: nothing to do
    backend.setManifest(makeManifest(AppA, defaultFile()));
    EXPECT_EQ(791, resultOf(getUpdateStatus(AppA)));  // recorded: not due within the hour
    EXPECT_EQ(1u, backend.checkCount());
    EXPECT_EQ(State::Idle, state());
    EXPECT_TRUE(countdownRunning());

    // A last check a day in the future: the clock went back, the check is due.
    startWith([](KSPersistentState& s) { s.writeLastCheckForUpdate(_time64(nullptr) + 86400); });
    EXPECT_EQ(792, resultOf(getUpdateStatus(AppA)));
    EXPECT_EQ(2u, backend.checkCount());

    // -1 is the longest interval there is: never due, even with no check recorded.
    settings["Kestrup/CheckForUpdateInterval"] = "-1";
    startWith([](KSPersistentState&) {});
    EXPECT_EQ(791, resultOf(getUpdateStatus(AppA)));
    EXPECT_EQ(2u, backend.checkCount());

    // 0 is none at all: every request checks, also several within one second.
    settings["Kestrup/CheckForUpdateInterval"] = "0";
    startWith([](KSPersistentState&) {});
    backend.setManifest(makeManifest(std::vector<KSConfigurationItem>()));
    for (int i = 0; i < 3; ++i) EXPECT_EQ(791, resultOf(getUpdateStatus(AppA)));
    EXPECT_EQ(5u, backend.checkCount());
}

TEST_F(UpdateStatusTest, AFailedCheckIsAnErrorThatLeavesIdleAndRecordsNothing) {
    settings["Kestrup/CheckForUpdateInterval"] = "3600";  // a recorded check would hold the next one back
    startComponent();
    const KSManifest good = makeManifest(AppA, defaultFile());
    struct Case {
        boost::shared_ptr<ISerializable> payload;
        KSManifest manifest;
        FakeBackend::Mode mode;
        bool registryForgetsDuringCheck;
        int32_t code;
        const char* log;
        bool asksBackend;
    };
    const Case cases[] = {
        {offering(AppA, 1), makeManifest(AppA, makeFile({})), FakeBackend::AnswerManifest, false, 769,
         "The manifest received does not contain mirrors.", true},
        {offering(AppA, 1), makeManifest({makeItem(AppA, {{}})}), FakeBackend::AnswerManifest, false, 769,
         "The manifest received does not contain mirrors.", true},
        // Only an item for the application asked about counts (this may answer a check for B).
        {offering(AppA, 1), makeManifest(AppB, defaultFile()), FakeBackend::AnswerManifest, false, 769,
         "The manifest received does not contain mirrors.", true},
        {offering(AppA, 1), good, FakeBackend::AnswerManifest, true, 769, "getKSFile: Error retrieving app version",
         true},
        {offering(AppA, 1), good, FakeBackend::AnswerWrongType, false, 802, "Invalid message type received.", true},
        {offering(AppA, 1), good, FakeBackend::AnswerWithoutPayload, false, 797,
         "Could not downcast KSManifest payload", true},
        {offering(AppUnknown, 1), good, FakeBackend::AnswerManifest, false, 801,
         "Could not retrieve ServiceOfferingEntity from UpdateInfo", false},
        {boost::shared_ptr<ISerializable>(), good, FakeBackend::AnswerManifest, false, 797, "Invalid payload", false},
        {boost::make_shared<StatusReportPayload>(1, "x"), good, FakeBackend::AnswerManifest, false, 797,
         "Invalid payload", false},
    };
    std::size_t checks = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.log);
        logger.clear();
        backend.setManifest(c.manifest);
        backend.setMode(c.mode);
        backend.setBeforeAnswer([&] {
            if (c.registryForgetsDuringCheck) registry.clear();
        });
        expectError(client.ask("GetUpdateStatus", c.payload, UUId::generate()), c.code, c.log);
        EXPECT_EQ(State::Idle, state());
        EXPECT_TRUE(countdownRunning());
        if (c.asksBackend) ++checks;
        EXPECT_EQ(checks, backend.checkCount());
        registry.set(AppA, 5);
    }
    backend.setBeforeAnswer(nullptr);
    backend.setMode(FakeBackend::AnswerManifest);
    backend.setManifest(good);
    EXPECT_EQ(792, resultOf(getUpdateStatus(AppA)));

    // Outside Idle the stored offering must be readable.
    startWith([](KSPersistentState& s) {
        s.writeInstallerFile(makeFile({"http://m.test/a"}));
        s.setState(State::UpdateAvailable, true);
    });
    expectError(getUpdateStatus(AppA), 781, "Could not retrieve persisted service offering Id");
    EXPECT_EQ(State::Idle, state());
    KSFile file;
    EXPECT_NE(0, openStore()->readInstallerFile(file)) << "Idle forgets the update";
    EXPECT_EQ(checks + 1, backend.checkCount());
}

// A backend that never answers: the check gives up after its 30 seconds.
TEST_F(UpdateStatusTest, NoManifestWithinTheWaitIsError796AndTheNextRequestChecksAgain) {
    settings["Kestrup/CheckForUpdateInterval"] = "3600";
    startComponent();
    backend.setMode(FakeBackend::Silent);

    boost::shared_ptr<LocalMessage> reply = getUpdateStatus(AppA, UUId::generate(), 5);
    ASSERT_FALSE(reply) << "no answer while the check waits";
    reply = client.replies().waitForType("OperationError", std::chrono::seconds(45));
    ASSERT_TRUE(reply);
    EXPECT_EQ(796, resultOf(reply));
    EXPECT_TRUE(logger.endsWithAny("] -> KESTRUP: Could not obtain update manifest. Timeout reached."));
    EXPECT_EQ(KSPersistentState::Idle, state());
    EXPECT_TRUE(countdownRunning());

    // The time-out recorded no check: the next request asks again.
    backend.setMode(FakeBackend::AnswerManifest);
    backend.setManifest(makeManifest(AppA, defaultFile()));
    EXPECT_EQ(792, resultOf(getUpdateStatus(AppA)));
    EXPECT_EQ(2u, backend.checkCount());
}

TEST_F(UpdateStatusTest, AStoredWorkflowIsResumedOrReportedOnTheFirstRequest) {
    settings["Kestrup/DownloadRetries"] = "1";
    // A "Resume" the bus refuses is a failure of the resumed download like any other.
    for (bool resumeRefused : {false, true}) {
        SCOPED_TRACE(resumeRefused ? "resume refused" : "resume posted");
        const UUId session = UUId::generate();
        startWith([&](KSPersistentState& s) {
            s.writeServiceOfferingId(AppA.getValue(), true);
            s.writeServiceOfferingVersion(5, true);
            s.writeInstallerFile(makeFile({"http://only.test/a"}));
            s.writeSessionId(session.getValue(), true);
            s.writeRetries(1, true);  // retried once before the restart
            s.setState(State::Downloading, true);
        });
        testsupport::RecordingSink status({statusTopic(session)});
        EXPECT_EQ(resumeRefused ? 1u : 0u, downloads.requests("Resume").size()) << "not before the first request";
        bus.setOnPost([resumeRefused](const boost::shared_ptr<LocalMessage>& m) {
            return resumeRefused && m->getMessageType() == "Resume";
        });
        downloads.script({FakeDownloadService::fail(274)});
        EXPECT_EQ(793, resultOf(getUpdateStatus(AppA)));
        if (!resumeRefused) {
            ASSERT_TRUE(downloads.waitForRequests("Resume", 1));
            EXPECT_EQ(session, downloads.requests("Resume")[0]->getSessionId());
            EXPECT_FALSE(countdownRunning()) << "a running download keeps it stopped";
            EXPECT_EQ(793, resultOf(getUpdateStatus(AppA)));
            downloads.send("WasFailed", session, 5);  // the proxy then tries the first mirror again
        }
        // The resumed download's next final failure is its last: the count lives on.
        boost::shared_ptr<LocalMessage> event = status.waitForType("KestrupStatus");
        bus.setOnPost(nullptr);
        ASSERT_TRUE(event);
        EXPECT_EQ(773, resultOf(event));
        EXPECT_EQ(State::Idle, state());
        EXPECT_EQ(1u, downloads.requests("Resume").size());
        EXPECT_EQ(0u, backend.checkCount());
    }

    // Without its stored data the resumption drops to Idle; the same request then checks.
    startWith([](KSPersistentState& s) {
        s.writeServiceOfferingId(AppA.getValue(), true);
        s.writeServiceOfferingVersion(5, true);
        s.setState(State::Downloading, true);
    });
    backend.setManifest(makeManifest(AppA, defaultFile()));
    const std::size_t replies = client.replies().count();
    EXPECT_EQ(792, resultOf(getUpdateStatus(AppA)));
    EXPECT_TRUE(logger.endsWithAny("] -> KESTRUP: Failed to retrieve persisted data to resume download."));
    EXPECT_EQ(1u, downloads.requests("Resume").size());
    EXPECT_EQ(1u, backend.checkCount());
    EXPECT_EQ(replies + 1, client.replies().count()) << "answered once";

    // An unknown stored state is reported as 790 and left alone: no check, no rewrite.
    startWith([](KSPersistentState& s) {
        s.writeServiceOfferingId(AppA.getValue(), true);
        s.setState(static_cast<State::KSState_t>(7), true);
    });
    EXPECT_EQ(790, resultOf(getUpdateStatus(AppA)));
    EXPECT_EQ(1u, backend.checkCount());
    EXPECT_EQ(7, static_cast<int>(openStore()->getState()));
    EXPECT_TRUE(countdownRunning());
}

}  // namespace
}  // namespace componenttest
