// "LaunchInstall", the launcher's answers, and the finished download before them.
#include <cstdio>

#include <boost/make_shared.hpp>
#include <boost/pointer_cast.hpp>

#include "ComponentFixture.h"
#include "util/common/UserDataFolder.h"

namespace componenttest {
namespace {

class InstallTest : public ComponentFixture {
protected:
    // Posts one of the launcher's answers to the component as the launcher would.
    static void answerAsLauncher(const std::string& messageType, int32_t code) {
        postMessage(ServiceTopic, messageType, UUId(), boost::make_shared<StatusReportPayload>(code, "from the test"));
    }
    // A Downloaded workflow of AppA, as a previous run left it.
    static void downloaded(KSPersistentState& s, const std::string& installer, int32_t launches) {
        s.writeServiceOfferingId(AppA.getValue(), true);
        s.writeServiceOfferingVersion(5, true);
        s.writeInstallerFilename(installer, true);
        s.writeInstallerArgs("", true);
        s.writeSessionId(UUId::generate().getValue(), true);
        s.writeRetries(launches, true);
        s.setState(State::Downloaded, true);
    }
};

TEST_F(InstallTest, APreparedDownloadIsLaunchedAndAnsweredWhenTheInstallerHasStarted) {
    startComponent();
    const UUId downloadSession = UUId::generate();
    const std::string installer = recordingInstaller();
    testsupport::RecordingSink status({statusTopic(downloadSession)});
    ASSERT_NO_FATAL_FAILURE(reachDownloading(downloadSession, defaultFile()));

    // Into the user's data folder (the proxy suite checks the rest); the countdown stops.
    EXPECT_EQ(UserDataFolder::get(), boost::dynamic_pointer_cast<StartRequestPayload>(
                                         downloads.requests("Start")[0]->getPayload())->getDestinationFolder());
    EXPECT_EQ(State::Downloading, state());
    EXPECT_FALSE(countdownRunning());

    // Its end is announced on the session's status topic.
    downloads.send("WasFinished", downloadSession, 0, installer);
    boost::shared_ptr<LocalMessage> event = status.waitForType("KestrupStatus");
    ASSERT_TRUE(event);
    EXPECT_EQ(794, resultOf(event));
    EXPECT_EQ(downloadSession, event->getSessionId());
    EXPECT_EQ(State::Downloaded, state());
    EXPECT_TRUE(waitFor([&] { return countdownRunning(); }));
    EXPECT_EQ(794, resultOf(getUpdateStatus(AppA)));

    // What a crash right after the launch request would leave: the launch is counted.
    std::pair<int, int32_t> durableAtLaunch(0, -1);
    boost::shared_ptr<LocalMessage> start;
    bus.setOnPost([&](const boost::shared_ptr<LocalMessage>& m) {
        if (m->getMessageType() != "StartExecution") return 0;
        start = m;
        std::unique_ptr<KSPersistentState> stored = openStore();
        durableAtLaunch.first = stored->getState();
        stored->readRetries(durableAtLaunch.second);
        return 0;
    });
    const std::size_t before = client.replies().count();
    client.post("LaunchInstall", offering(AppA, 5), UUId::generate());

    // The launcher's two "ExecutionStarted" become success replies under the download's session.
    ASSERT_TRUE(client.replies().waitForCount(before + 2));
    for (std::size_t i = before; i < before + 2; ++i) {
        boost::shared_ptr<LocalMessage> reply = client.replies().messages()[i];
        EXPECT_EQ("OperationSuccess", reply->getMessageType());
        EXPECT_EQ(0, resultOf(reply));
        EXPECT_EQ(downloadSession, reply->getSessionId());
    }
    ASSERT_TRUE(waitFor([&] { return !recordedArguments().empty(); }));
    EXPECT_EQ("--quiet\n--all\n", recordedArguments());

    bus.setOnPost(nullptr);
    EXPECT_EQ(std::make_pair(static_cast<int>(State::Installing), 1), durableAtLaunch);
    ASSERT_TRUE(start);
    EXPECT_EQ("StartExecution to=event://Client/Service/ProcessExecute reply=event://Client/Service/Kestrup session=" +
                  UUId().getValue() + " priority=1 user=UnknownUser",
              testsupport::header(start));
    boost::shared_ptr<ProcessStartInfo> info = boost::dynamic_pointer_cast<ProcessStartInfo>(start->getPayload());
    ASSERT_TRUE(info);
    EXPECT_EQ(installer, info->getFileName());
    EXPECT_EQ("--quiet --all", info->getArguments());
    EXPECT_FALSE(info->getWaitProcessFinish());

    EXPECT_EQ(State::Installing, state());
    EXPECT_TRUE(waitFor([&] { return countdownRunning(); }));

    // Reported as 795; a request in Installing leaves the countdown stopped.
    EXPECT_EQ(795, resultOf(getUpdateStatus(AppA)));
    EXPECT_FALSE(countdownRunning());

    // "ExecutionFinished" changes nothing but the countdown.
    answerAsLauncher("ExecutionFinished", 0);
    EXPECT_TRUE(waitFor([&] { return countdownRunning(); }));
    EXPECT_EQ(State::Installing, state());
    EXPECT_EQ(before + 3, client.replies().count());

    expectError(launchInstall(AppA), 798, "Discarding message due to invalid state. Current: 5 Required: 4");

    // An "ExecutionError", whatever the launcher's code (779: its time-out), ends the
    // workflow and goes to the launch's reply topic under the download's session.
    answerAsLauncher("ExecutionError", 779);
    ASSERT_TRUE(client.replies().waitForCount(before + 5));
    boost::shared_ptr<LocalMessage> failed = client.replies().messages()[before + 4];
    expectError(failed, 778, "Execution error");
    EXPECT_EQ(downloadSession, failed->getSessionId());
    EXPECT_EQ(State::Idle, state());
    EXPECT_TRUE(countdownRunning());
}

TEST_F(InstallTest, TheLaunchLimitCountsLaunchesAcrossRestarts) {
    const std::string installer = recordingInstaller();
    // The install retries setting (empty: the default), and launches that allow one more.
    const std::pair<std::string, int32_t> cases[] = {{"0", 0}, {"", 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        if (c.first.empty()) settings.erase("Kestrup/InstallRetries");
        else settings["Kestrup/InstallRetries"] = c.first;
        startWith([&](KSPersistentState& s) { downloaded(s, installer, c.second); });
        std::remove("recorded.txt");
        const std::size_t before = client.replies().count();
        client.post("LaunchInstall", offering(AppA, 5), UUId::generate());
        ASSERT_TRUE(client.replies().waitForCount(before + 2));
        EXPECT_EQ(0, resultOf(client.replies().messages()[before]));
        ASSERT_TRUE(waitFor([&] { return !readFile("recorded.txt").empty(); }));

        // The version did not change: Downloaded after the restart, but one launch too many.
        destroyComponent();
        startComponent();
        EXPECT_EQ(State::Downloaded, state());
        expectError(launchInstall(AppA), 781, "Install retries exceded, returning to Idle state");
        EXPECT_EQ(State::Idle, state());
        EXPECT_TRUE(countdownRunning());
    }
    EXPECT_TRUE(backend.received("UpdateInstalled").empty());
}

}  // namespace
}  // namespace componenttest
