// Refused requests; failed downloads: retries, give-up, a retry wait cut short, an abandoned download.
#include <boost/make_shared.hpp>
#include <boost/pointer_cast.hpp>

#include "ComponentFixture.h"

namespace componenttest {
namespace {

class DownloadTest : public ComponentFixture {};

// Each refusal answers its code after its log line, restarts the countdown and starts
// nothing; stored data that cannot be read drops the workflow to Idle.
TEST_F(DownloadTest, RefusedRequestsAreAnsweredWithTheirCodeAndStartNothing) {
    testsupport::RecordingSink launcher({"event://Client/Service/ProcessExecute"});
    enum Payload { ForA, ForB, NotAnOffering };
    const struct {
        const char* type;
        State::KSState_t stored;
        bool storedId;    // "serviceOfferingId" (with the version)
        bool storedData;  // "ksFile", or "installerFilename" with the arguments
        Payload payload;
        bool registered;  // the registry knows A
        int32_t code;
        const char* text;
        State::KSState_t after;
    } cases[] = {
        {"PrepareForInstall", State::Idle, false, false, ForA, true, 798,
         "Discarding message due to invalid state. Current: 1 Required: 2", State::Idle},
        {"PrepareForInstall", State::UpdateAvailable, true, true, NotAnOffering, true, 797, "Invalid payload",
         State::UpdateAvailable},
        {"PrepareForInstall", State::UpdateAvailable, true, true, ForB, true, 798,
         "Previous ServiceOfferingId must be completed prior to starting a new service offering request",
         State::UpdateAvailable},
        {"PrepareForInstall", State::UpdateAvailable, true, true, ForA, false, 801,
         "Could not retrieve ServiceOfferingEntity from UpdateInfo", State::UpdateAvailable},
        {"PrepareForInstall", State::UpdateAvailable, true, false, ForA, true, 781,
         "Could not retrieve persisted manifest", State::Idle},
        {"PrepareForInstall", State::UpdateAvailable, false, true, ForA, true, 781,
         "Could not retrieve persisted service offering Id", State::Idle},
        {"LaunchInstall", State::UpdateAvailable, true, true, ForA, true, 798,
         "Discarding message due to invalid state. Current: 2 Required: 4", State::UpdateAvailable},
        {"LaunchInstall", State::Downloaded, true, true, NotAnOffering, true, 797, "Invalid payload",
         State::Downloaded},
        {"LaunchInstall", State::Downloaded, true, true, ForB, true, 798,
         "Previous ServiceOfferingId must be completed prior to starting a new service offering request",
         State::Downloaded},
        {"LaunchInstall", State::Downloaded, true, true, ForA, false, 801,
         "Could not retrieve ServiceOfferingEntity from UpdateInfo", State::Downloaded},
        {"LaunchInstall", State::Downloaded, true, false, ForA, true, 781,
         "Could not retrieve persisted installer filename and args", State::Idle},
        {"LaunchInstall", State::Downloaded, false, true, ForA, true, 781,
         "Could not retrieve persisted service offering Id", State::Idle},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.type) + ": " + c.text);
        startWith([&](KSPersistentState& s) {
            if (c.storedId) s.writeServiceOfferingId(AppA.getValue(), true);
            s.writeServiceOfferingVersion(5, true);
            if (c.storedData && c.stored == State::UpdateAvailable) s.writeInstallerFile(defaultFile());
            if (c.storedData && c.stored == State::Downloaded) s.writeInstallerFilename("/bin/true", true);
            s.writeInstallerArgs("/S", true);
            if (c.stored != State::Idle) s.setState(c.stored, true);
        });
        if (!c.registered) registry.clear();
        boost::shared_ptr<ISerializable> payload = boost::make_shared<KSManifest>();
        if (c.payload != NotAnOffering) payload = offering(c.payload == ForA ? AppA : AppB, 5);
        expectError(client.ask(c.type, payload, UUId::generate()), c.code, c.text);
        registry.set(AppA, 5);
        EXPECT_EQ(c.after, state());
        EXPECT_TRUE(countdownRunning()) << "a refusal starts the countdown again";
    }
    EXPECT_TRUE(downloads.requests("Start").empty());
    EXPECT_EQ(0u, launcher.count());
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
        const char* refusedByTheBus;  // a request type the bus refuses; "" none
    };
    const Case cases[] = {
        {"274 is retried while retries are left, and the last failure decides", "2", "0", {one},
         {Service::fail(274), Service::fail(5), Service::fail(274)}, 773, {one, one, one}, ""},
        {"an abort by the service is retried too, from the first mirror", "1", "0", {one, two},
         {Service::abort(), Service::fail(274), Service::fail(5)}, 799, {one, one, two}, ""},
        {"without retries the first failure gives up without a wait", "0", "600", {one}, {Service::fail(274)}, 773,
         {one}, ""},
        {"a start the bus refuses fails like any other", "1", "0", {one, two}, {}, 799, {}, "Start"},
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
        const std::string refused = c.refusedByTheBus;
        bus.setOnPost([refused](const boost::shared_ptr<LocalMessage>& m) { return m->getMessageType() == refused; });
        ASSERT_EQ(0, resultOf(prepareForInstall(AppA, session)));

        boost::shared_ptr<LocalMessage> event = status.waitForType("KestrupStatus");
        bus.setOnPost(nullptr);
        ASSERT_TRUE(event);
        EXPECT_EQ(c.status, resultOf(event));
        EXPECT_EQ(session, event->getSessionId());
        EXPECT_EQ(c.started, downloads.startedUrls(startsBefore));
        EXPECT_EQ(std::stoul(c.retries) + 1, logger.countContaining("KESTRUP: Download finished with error"));
        EXPECT_EQ(1u, logger.countContaining("] -> KESTRUP: Download retries exceded, returning to idle state..."));
        EXPECT_EQ(State::Idle, state());
        EXPECT_TRUE(waitFor([&] { return countdownRunning(); }));
    }
}

// The wait holds no lock and keeps the countdown stopped, and so does the retried
// download; destroying the component cancels a wait and leaves the download to resume.
TEST_F(DownloadTest, ARetriedDownloadKeepsTheCountdownStoppedAndAWaitEndsWithTheComponent) {
    settings["Kestrup/DownloadRetries"] = "2";
    settings["Kestrup/DownloadRetryInterval"] = "600";  // uncancelled: far past this test's time limit
    startComponent();
    downloads.script({FakeDownloadService::fail(5), FakeDownloadService::fail(5)});
    ASSERT_NO_FATAL_FAILURE(reachDownloading(UUId::generate(), makeFile({"http://only.test/a"})));
    ASSERT_TRUE(waitFor([&] { return component->isWaitingToRetry(); }));
    EXPECT_EQ(793, resultOf(getUpdateStatus(AppA)));
    EXPECT_FALSE(countdownRunning());

    // The retried try fails too; by the second wait its delivery is over.
    component->retryDownloadNow();
    ASSERT_TRUE(waitFor([&] { return logger.countContaining("KESTRUP: Download finished with error") == 2; }));
    ASSERT_TRUE(waitFor([&] { return component->isWaitingToRetry(); }));
    EXPECT_FALSE(countdownRunning()) << "the retried download ran with the countdown on";

    destroyComponent();
    // The cancelled wait counted no retry and started nothing: the next run resumes.
    EXPECT_EQ(2u, downloads.requests("Start").size());
    std::unique_ptr<KSPersistentState> stored = openStore();
    EXPECT_EQ(State::Downloading, stored->getState());
    int32_t retries = -1;
    EXPECT_EQ(0, stored->readRetries(retries));
    EXPECT_EQ(1, retries);
}

// Another application's check abandons download A (aborted under the check's session;
// the check is due at once). A's give-up, retry or success must not touch B's workflow.
TEST_F(DownloadTest, AnAbandonedDownloadNeitherGivesUpNorRetriesOverTheNewerWorkflow) {
    const struct {
        const char* what;
        const char* retries;
        bool duringTheWait;   // else right after the failure is logged
        bool newDownload;     // B's download is started meanwhile
        const char* dropped;  // the log line of the dropped step
    } cases[] = {
        {"the give-up", "0", false, false, "KESTRUP: Download outcome dropped: the workflow moved on"},
        {"the retry", "1", true, false, "KESTRUP: Download retry dropped: the workflow moved on"},
        {"the retry, with B downloading", "1", true, true, "KESTRUP: Download retry dropped: the workflow moved on"},
    };
    settings["Kestrup/DownloadRetryInterval"] = "600";
    settings["Kestrup/CheckForUpdateInterval"] = "3600";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        settings["Kestrup/DownloadRetries"] = c.retries;
        startWith([](KSPersistentState&) {});
        const std::size_t startsBefore = downloads.requests("Start").size();
        const std::size_t abortsBefore = downloads.requests("Abort").size();
        const std::size_t checksBefore = backend.checkCount();
        const UUId sessionA = UUId::generate(), sessionB = UUId::generate(), checkB = UUId::generate();
        testsupport::RecordingSink statusA({statusTopic(sessionA)});
        Client clientB;  // its own replies: the hook may run before A's reply is in
        const auto moveOn = [&] {
            backend.setManifest(makeManifest(AppB, makeFile({"http://b.test/b"})));
            EXPECT_EQ(792, resultOf(clientB.ask("GetUpdateStatus", offering(AppB, 1), checkB)));
            if (c.newDownload) {
                EXPECT_EQ(0, resultOf(clientB.ask("PrepareForInstall", offering(AppB, 1), sessionB)));
            }
        };
        if (!c.duringTheWait) logger.onceOn("KESTRUP: Download finished with error", moveOn);
        downloads.script({FakeDownloadService::fail(5)});
        ASSERT_NO_FATAL_FAILURE(reachDownloading(sessionA, makeFile({"http://a.test/a"})));
        if (c.duringTheWait) {
            ASSERT_TRUE(waitFor([&] { return component->isWaitingToRetry(); }));
            moveOn();
            component->retryDownloadNow();
        }
        ASSERT_TRUE(waitFor([&] { return logger.contains(c.dropped); }));
        ASSERT_TRUE(downloads.waitForRequests("Abort", abortsBefore + 1));
        EXPECT_EQ(checkB, downloads.requests("Abort").back()->getSessionId());
        EXPECT_EQ(checksBefore + 2, backend.checkCount());

        EXPECT_EQ(c.newDownload ? State::Downloading : State::UpdateAvailable, state());
        EXPECT_EQ(c.newDownload, !countdownRunning());
        std::unique_ptr<KSPersistentState> stored = openStore();
        std::string storedId;
        ASSERT_EQ(0, stored->readServiceOfferingId(storedId));
        EXPECT_EQ(AppB.getValue(), storedId);
        int32_t retries = -1;
        // Only B's own download holds a count, and it is 0.
        EXPECT_EQ(c.newDownload ? 0 : 2, stored->readRetries(retries));
        EXPECT_EQ(c.newDownload ? 0 : -1, retries);
        EXPECT_EQ(c.newDownload ? 2u : 1u, downloads.startedUrls(startsBefore).size()) << "A started again";
        if (c.newDownload) continue;

        // A late success of A only starts the countdown.
        component->stop();
        downloads.send("WasFinished", sessionA, 0, dir.file("setup.sh"));
        ASSERT_TRUE(waitFor([&] { return countdownRunning(); }));
        EXPECT_EQ(State::UpdateAvailable, state());
        EXPECT_EQ(0u, statusA.count());
    }
}

}  // namespace
}  // namespace componenttest
