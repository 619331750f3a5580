// "LaunchInstall" and the installer launcher's answers.
#include <fstream>
#include <sstream>
#include <thread>

#include <boost/make_shared.hpp>
#include <boost/pointer_cast.hpp>

#include "ComponentFixture.h"
#include "bus/MessageDispatcher.h"

namespace componenttest {
namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

bool fileExists(const std::string& path) {
    return std::ifstream(path).good();
}

class InstallTest : public ComponentFixture {
protected:
    // Posts one of the launcher's answers to the component as the launcher would.
    void answerAsLauncher(const std::string& messageType, int32_t code) {
        boost::shared_ptr<LocalMessage> message = testsupport::makeMessage(ServiceTopic, messageType);
        message->setPayload(boost::make_shared<StatusReportPayload>(code, "from the test"));
        MessageDispatcher::getInstance()->post(message);
    }
};

TEST_F(InstallTest, ALaunchStartsTheInstallerAndIsAnsweredWhenItHasStarted) {
    startComponent();
    testsupport::RecordingSink launcherRequests({"event://Client/Service/ProcessExecute"});
    const UUId downloadSession = UUId::generate();
    const std::string marker = dir.file("installer-ran");
    const std::string installer = writeInstallerScript("setup.sh", marker);
    ASSERT_NO_FATAL_FAILURE(reachDownloaded(downloadSession, defaultFile(), installer));

    const std::size_t before = client.replies().count();
    client.post("LaunchInstall", offering(AppA, 5), UUId::generate());

    // The launcher answers "ExecutionStarted" twice; each becomes a success reply
    // under the download's session.
    ASSERT_TRUE(client.replies().waitForCount(before + 2));
    for (std::size_t i = before; i < before + 2; ++i) {
        boost::shared_ptr<LocalMessage> reply = client.replies().messages()[i];
        EXPECT_EQ("OperationSuccess", reply->getMessageType());
        EXPECT_EQ(0, resultOf(reply));
        EXPECT_EQ(downloadSession, reply->getSessionId());
    }
    ASSERT_TRUE(waitUntil([&] { return fileExists(marker); }));
    EXPECT_EQ("--quiet\n--all\n", readFile(marker));

    boost::shared_ptr<LocalMessage> start = launcherRequests.waitForType("StartExecution");
    ASSERT_TRUE(start);
    EXPECT_EQ(1, start->getPriority());
    EXPECT_EQ("event://Client/Service/Kestrup", start->getReplyTopic());
    EXPECT_EQ(UUId(), start->getSessionId());
    EXPECT_EQ("UnknownUser", start->getUser());
    boost::shared_ptr<ProcessStartInfo> info = boost::dynamic_pointer_cast<ProcessStartInfo>(start->getPayload());
    ASSERT_TRUE(info);
    EXPECT_EQ(installer, info->getFileName());
    EXPECT_EQ("--quiet --all", info->getArguments());
    EXPECT_FALSE(info->getWaitProcessFinish());

    EXPECT_EQ(KSPersistentState::Installing, state());
    int32_t launches = -1;
    ASSERT_EQ(0, openStore()->readRetries(launches));
    EXPECT_EQ(1, launches);
    EXPECT_TRUE(waitUntil([&] { return countdownRunning(); }));

    // Reported as 795; a request in Installing leaves the countdown stopped.
    EXPECT_EQ(795, resultOf(getUpdateStatus(AppA)));
    EXPECT_FALSE(countdownRunning());

    // "ExecutionFinished" changes nothing but the countdown.
    answerAsLauncher("ExecutionFinished", 0);
    EXPECT_TRUE(waitUntil([&] { return countdownRunning(); }));
    EXPECT_EQ(KSPersistentState::Installing, state());
    EXPECT_EQ(before + 3, client.replies().count());

    EXPECT_EQ(798, resultOf(launchInstall(AppA, UUId::generate())));
    EXPECT_TRUE(logger.endsWithAny("] -> KESTRUP: Discarding message due to invalid state. Current: 5 Required: 4"));
}

TEST_F(InstallTest, AnInstallerThatCannotBeStartedEndsTheWorkflowWith778) {
    startComponent();
    const UUId downloadSession = UUId::generate();
    ASSERT_NO_FATAL_FAILURE(reachDownloaded(downloadSession, defaultFile(), dir.file("no-such-installer")));

    boost::shared_ptr<LocalMessage> reply = launchInstall(AppA, UUId::generate());
    ASSERT_TRUE(reply);
    EXPECT_EQ("OperationError", reply->getMessageType());
    EXPECT_EQ(778, resultOf(reply));
    EXPECT_EQ(downloadSession, reply->getSessionId());
    EXPECT_TRUE(logger.endsWithAny("] -> KESTRUP: Execution error"));
    EXPECT_EQ(KSPersistentState::Idle, state());
    EXPECT_TRUE(waitUntil([&] { return countdownRunning(); }));
}

TEST_F(InstallTest, AnExecutionErrorInAnyStateReturnsToIdle) {
    startComponent();
    ASSERT_NO_FATAL_FAILURE(reachDownloaded(UUId::generate(), defaultFile(), dir.file("setup.sh")));
    answerAsLauncher("ExecutionError", 779);
    ASSERT_TRUE(waitUntil([&] { return state() == KSPersistentState::Idle; }));
    EXPECT_TRUE(logger.contains("KESTRUP: Execution error"));
}

TEST_F(InstallTest, TheLaunchLimitCountsLaunchesAcrossRestarts) {
    settings["Kestrup/InstallRetries"] = "0";
    startComponent();
    const std::string marker = dir.file("installer-ran");
    ASSERT_NO_FATAL_FAILURE(
        reachDownloaded(UUId::generate(), defaultFile(), writeInstallerScript("setup.sh", marker)));
    const std::size_t before = client.replies().count();
    client.post("LaunchInstall", offering(AppA, 5), UUId::generate());
    ASSERT_TRUE(client.replies().waitForCount(before + 2));
    ASSERT_TRUE(waitUntil([&] { return fileExists(marker); }));

    // The installer did not change the registered version: back to Downloaded.
    restartComponent();
    EXPECT_EQ(KSPersistentState::Downloaded, state());
    EXPECT_EQ(0u, backend.updateInstalledCount());

    boost::shared_ptr<LocalMessage> reply = launchInstall(AppA, UUId::generate());
    EXPECT_EQ("OperationError", reply->getMessageType());
    EXPECT_EQ(781, resultOf(reply));
    EXPECT_TRUE(logger.endsWithAny("] -> KESTRUP: Install retries exceded, returning to Idle state"));
    EXPECT_EQ(KSPersistentState::Idle, state());
    EXPECT_TRUE(countdownRunning());
}

TEST_F(InstallTest, TheDefaultLimitAllowsAFourthLaunchButNotAFifth) {
    const std::string marker = dir.file("installer-ran");
    const std::string installer = writeInstallerScript("setup.sh", marker);
    seed([&](KSPersistentState& s) {
        s.writeServiceOfferingId(AppA.getValue(), true);
        s.writeServiceOfferingVersion(5, true);
        s.writeInstallerFile(defaultFile());
        s.writeInstallerFilename(installer, true);
        s.writeInstallerArgs("", true);
        s.writeSessionId(UUId::generate().getValue(), true);
        s.writeRetries(3, true);  // three launches so far
        s.setState(KSPersistentState::Downloaded, true);
    });
    startComponent();
    const std::size_t before = client.replies().count();
    client.post("LaunchInstall", offering(AppA, 5), UUId::generate());
    ASSERT_TRUE(client.replies().waitForCount(before + 2));
    EXPECT_EQ(0, resultOf(client.replies().messages()[before]));
    ASSERT_TRUE(waitUntil([&] { return fileExists(marker); }));

    restartComponent();
    EXPECT_EQ(781, resultOf(launchInstall(AppA, UUId::generate())));
    EXPECT_EQ(KSPersistentState::Idle, state());
}

TEST_F(InstallTest, UnreadableInstallerDataIsError781AndDropsToIdle) {
    seed([](KSPersistentState& s) {
        s.writeServiceOfferingId(AppA.getValue(), true);
        s.writeServiceOfferingVersion(5, true);
        s.writeInstallerArgs("/S", true);
        s.setState(KSPersistentState::Downloaded, true);  // no "installerFilename"
    });
    startComponent();
    boost::shared_ptr<LocalMessage> reply = launchInstall(AppA, UUId::generate());
    EXPECT_EQ(781, resultOf(reply));
    EXPECT_TRUE(logger.endsWithAny("] -> KESTRUP: Could not retrieve persisted installer filename and args"));
    EXPECT_EQ(KSPersistentState::Idle, state());
}

TEST_F(InstallTest, ALaunchOutsideDownloadedOrForAnotherOfferingIsRefused) {
    startComponent();
    ASSERT_NO_FATAL_FAILURE(reachUpdateAvailable(defaultFile()));
    boost::shared_ptr<LocalMessage> reply = launchInstall(AppA, UUId::generate());
    EXPECT_EQ("OperationError", reply->getMessageType());
    EXPECT_EQ(798, resultOf(reply));
    EXPECT_TRUE(logger.endsWithAny("] -> KESTRUP: Discarding message due to invalid state. Current: 2 Required: 4"));
    EXPECT_EQ(KSPersistentState::UpdateAvailable, state());
    EXPECT_TRUE(countdownRunning());
    destroyComponent();

    seed([](KSPersistentState& s) { s.setState(KSPersistentState::Downloaded, true); });
    startComponent();
    // Downloaded, but the stored offering is gone.
    EXPECT_EQ(781, resultOf(launchInstall(AppA, UUId::generate())));
    EXPECT_EQ(KSPersistentState::Idle, state());
    destroyComponent();

    seed([](KSPersistentState& s) {
        s.writeServiceOfferingId(AppA.getValue(), true);
        s.writeServiceOfferingVersion(5, true);
        s.writeInstallerFilename("/bin/true", true);
        s.writeInstallerArgs("", true);
        s.setState(KSPersistentState::Downloaded, true);
    });
    startComponent();
    EXPECT_EQ(798, resultOf(launchInstall(AppB, UUId::generate())));
    EXPECT_TRUE(logger.endsWithAny("KESTRUP: Previous ServiceOfferingId must be completed prior to starting a new "
                                   "service offering request"));
    EXPECT_EQ(797, resultOf(client.ask("LaunchInstall", boost::shared_ptr<ISerializable>(), UUId::generate())));
    registry.clear();
    EXPECT_EQ(801, resultOf(launchInstall(AppA, UUId::generate())));
    EXPECT_EQ(KSPersistentState::Downloaded, state());
}

}  // namespace
}  // namespace componenttest
