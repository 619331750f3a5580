// The installer launcher on the real bus, starting real processes.
#include "InstallProcess.h"

#include <future>
#include <memory>
#include <regex>

#include <gtest/gtest.h>

#include "bus/MessageDispatcher.h"
#include "bus/ThreadPoolDispatcher.h"
#include "payloads/RequestPayloads.h"
#include "payloads/StatusPayloads.h"
#include "platform/ProcessTestHelpers.h"
#include "support/TestSupport.h"

namespace {

using namespace proctest;
using testsupport::CapturingLogger;
using testsupport::RecordingSink;
using testsupport::TempDir;

// Long enough for a stray reply to show up if one were coming.
const std::chrono::milliseconds kQuietPeriod(1500);
// An installer that runs for a second, marks its end and exits with a non-zero code.
const char* const kInstallerTail = "sleep 1\n: > \"$0.done\"\nexit 3\n";

boost::shared_ptr<ISerializable> startInfo(const std::string& file, const std::string& arguments, bool wait) {
    return boost::shared_ptr<ISerializable>(new ProcessStartInfo(file, arguments, wait));
}

class InstallProcessTest : public ::testing::Test {
protected:
    InstallProcessTest()
        : m_replyTopic("event://Test/Launcher/" + UUId::generate().getValue()),
          m_sessionId(UUId::generate()),
          m_replies({m_replyTopic}) {}

    // A launcher (made after the capturing logger, so that it logs there) on its topic.
    std::unique_ptr<InstallProcess> makeLauncher(int32_t waitTimeoutMs = InstallProcess::DefaultWaitTimeoutMs) {
        std::unique_ptr<InstallProcess> launcher(new InstallProcess(waitTimeoutMs));
        EXPECT_EQ(MessageDispatcher::getInstance()->subscribe(launcher.get(), InstallProcess::Topic), 0);
        return launcher;
    }

    void post(const boost::shared_ptr<ISerializable>& payload, const std::string& topic = InstallProcess::Topic,
              const std::string& type = "StartExecution") {
        auto message = testsupport::makeMessage(topic, type, m_replyTopic, m_sessionId, kPriority);
        if (payload) message->setPayload(payload);
        ASSERT_EQ(MessageDispatcher::getInstance()->post(message), 0);
    }

    // Posts a waited launch of an installer that does not end by itself; its pid.
    pid_t launchSleeper() {
        const std::string installer = m_dir.file("sleeper.sh");
        writeFile(installer, recorderScript("exec sleep 60\n"), 0755);
        post(startInfo(installer, "", true));
        EXPECT_TRUE(m_replies.waitForType("ExecutionStarted", kEventWait));
        return readPid(installer + ".pid");
    }

    // Checks one reply against the reply table and the header rules.
    void expectReply(const boost::shared_ptr<LocalMessage>& reply, const std::string& type, int32_t code,
                     const std::string& text) {
        ASSERT_TRUE(reply) << "no " << type;
        EXPECT_EQ(reply->getMessageType(), type);
        EXPECT_EQ(reply->getTargetTopic(), m_replyTopic);
        EXPECT_EQ(reply->getReplyTopic(), "");
        EXPECT_EQ(reply->getSessionId(), m_sessionId);
        EXPECT_EQ(reply->getPriority(), kPriority);
        const auto status = boost::dynamic_pointer_cast<StatusReportPayload>(reply->getPayload());
        ASSERT_TRUE(status) << "reply payload is not a StatusReportPayload";
        EXPECT_EQ(status->getCode(), code);
        EXPECT_EQ(status->getMessage(), text);
    }

    std::vector<std::string> launcherLogLines() const {
        std::vector<std::string> result;
        for (const std::string& line : m_log.lines())
            if (line.find("INSTALL_PROCESS: ") != std::string::npos) result.push_back(line);
        return result;
    }

    static constexpr int kPriority = 7;
    CapturingLogger m_log;
    TempDir m_dir;
    const std::string m_replyTopic;
    const UUId m_sessionId;
    RecordingSink m_replies;
};

TEST_F(InstallProcessTest, WaitedLaunchPassesWindowsArgumentsAndReportsTheEnd) {
    auto launcher = makeLauncher();
    const std::string installer = m_dir.file("setup.sh");
    writeFile(installer, recorderScript(kInstallerTail), 0755);

    post(startInfo(installer, "/S   \"/D=C:\\Program Files\\App\"  \"say \"\"hi\"\"\"  back\\slash\\\"q\\\"", true));

    ASSERT_TRUE(m_replies.waitForCount(1, kEventWait));
    expectReply(m_replies.messages()[0], "ExecutionStarted", 0, "Process started");
    ASSERT_TRUE(waitFor([&] { return exists(installer + ".args"); }));
    const std::vector<std::string> expected = {"/S", "/D=C:\\Program Files\\App", "say \"hi\"", "back\\slash\"q\""};
    EXPECT_EQ(readLines(installer + ".args"), expected);
    const pid_t pid = readPid(installer + ".pid");
    EXPECT_EQ(::getsid(pid), pid) << "the installer must not share the host's session";

    // The end is reported within about a poll interval of the process's exit, and
    // never before it, whatever its exit code.
    ASSERT_TRUE(waitFor([&] { return exists(installer + ".done"); }));
    const auto finished = m_replies.waitForType("ExecutionFinished", std::chrono::milliseconds(3000));
    expectReply(finished, "ExecutionFinished", 0, "The process finished execution");
    EXPECT_EQ(m_replies.count(), 2u);
    EXPECT_TRUE(launcherLogLines().empty());
    EXPECT_TRUE(notAnUnreapedChild(pid));  // polling reaped the installer: no zombie
}

// Requests on another topic or of another type start nothing; a launch without the
// wait flag is answered with "ExecutionStarted" twice, and nothing more.
TEST_F(InstallProcessTest, LaunchWithoutWaitRepliesStartedTwiceAndOtherRequestsNothing) {
    auto launcher = makeLauncher();
    const std::string otherTopic = "event://Test/Launcher/Other/" + UUId::generate().getValue();
    ASSERT_EQ(MessageDispatcher::getInstance()->subscribe(launcher.get(), otherTopic), 0);
    const std::string installer = m_dir.file("setup.sh");
    writeFile(installer, recorderScript(kInstallerTail), 0755);

    post(startInfo(installer, "--ignored", false), otherTopic);
    post(startInfo(installer, "--ignored", false), InstallProcess::Topic, "StopExecution");
    post(startInfo(installer, "--ignored", false), InstallProcess::Topic, "startexecution");
    post(startInfo(installer, "--quiet", false));

    ASSERT_TRUE(m_replies.waitForCount(2, kEventWait));
    for (const auto& reply : m_replies.messages()) expectReply(reply, "ExecutionStarted", 0, "Process started");
    ASSERT_TRUE(waitFor([&] { return exists(installer + ".done"); }));
    EXPECT_EQ(readLines(installer + ".args"), std::vector<std::string>{"--quiet"});
    EXPECT_FALSE(m_replies.waitForCount(3, kQuietPeriod));
    EXPECT_TRUE(launcherLogLines().empty());
    // Nobody waits for it, yet the ended installer is reaped without a later launch.
    const pid_t pid = readPid(installer + ".pid");
    EXPECT_TRUE(waitFor([&] { return notAnUnreapedChild(pid); })) << "the installer was left as a zombie";
}

// A launch that cannot start answers exactly once and logs exactly one line.
TEST_F(InstallProcessTest, RefusedLaunchRepliesOnceAndLogsOneLine) {
    auto launcher = makeLauncher();
    writeFile(m_dir.file("garbage.exe"), "not a program\n", 0755);
    const std::string notStarted = "Process could not be started.";
    const std::string shellExecuteFailed = "Error when invoking ShellExecuteEx \\(0x";
    struct Case {
        boost::shared_ptr<ISerializable> payload;
        int32_t code;
        std::string text;
        std::string logged;  // a pattern for the text after the prefix
    };
    const Case cases[] = {
        {startInfo(m_dir.file("missing.exe"), "/S", true), 778, notStarted, shellExecuteFailed + "2\\)"},
        {startInfo(m_dir.file("garbage.exe"), "", false), 778, notStarted, shellExecuteFailed + "c1\\)"},
        {boost::shared_ptr<ISerializable>(new StatusReportPayload(0, "not a start info")), 777,
         notStarted + " Wrong payload received", "Could not downcast payload"},
        {boost::shared_ptr<ISerializable>(), 777, notStarted + " Wrong payload received", "Could not downcast payload"},
    };
    for (const Case& c : cases) {
        m_replies.clear();
        m_log.clear();
        post(c.payload);
        ASSERT_TRUE(m_replies.waitForCount(1, kEventWait)) << c.logged;
        EXPECT_FALSE(m_replies.waitForCount(2, std::chrono::milliseconds(300))) << c.logged;
        expectReply(m_replies.messages()[0], "ExecutionError", c.code, c.text);
        const std::vector<std::string> logged = launcherLogLines();
        ASSERT_EQ(logged.size(), 1u) << c.logged;
        EXPECT_TRUE(std::regex_match(logged[0], std::regex("InstallProcess\\.cpp\\[[0-9]+\\] -> INSTALL_PROCESS: " +
                                                           c.logged)))
            << logged[0];
    }
}

TEST_F(InstallProcessTest, WaitGivesUpAfterTheTimeOutAndLeavesTheProcessRunning) {
    auto launcher = makeLauncher(1500);
    const pid_t pid = launchSleeper();
    ASSERT_TRUE(m_replies.waitForCount(2, kEventWait));
    expectReply(m_replies.messages()[0], "ExecutionStarted", 0, "Process started");
    expectReply(m_replies.messages()[1], "ExecutionError", 779, "The process timed out");
    EXPECT_EQ(::kill(pid, 0), 0) << "the installer must be left running";
    killAndReap(pid);
}

TEST_F(InstallProcessTest, DestroyingTheLauncherEndsARunningWaitWithoutAFinalReply) {
    auto launcher = makeLauncher();
    const pid_t pid = launchSleeper();
    std::future<void> destroyed = std::async(std::launch::async, [&] { launcher.reset(); });
    EXPECT_EQ(destroyed.wait_for(kEventWait), std::future_status::ready);
    destroyed.get();
    EXPECT_FALSE(m_replies.waitForCount(2, kQuietPeriod));
    killAndReap(pid);
}

TEST(InstallProcessBusShutdownTest, ShuttingTheBusDownInterruptsAWait) {
    CapturingLogger log;
    TempDir dir;
    const std::string installer = dir.file("sleeper.sh");
    writeFile(installer, recorderScript("exec sleep 60\n"), 0755);
    const std::string replyTopic = "event://Test/Launcher/" + UUId::generate().getValue();
    pid_t pid = 0;
    {
        ThreadPoolDispatcher bus;
        struct Installed {  // the process's bus for this scope, also when an assertion fails
            explicit Installed(MessageDispatcher* dispatcher) { MessageDispatcher::setInstance(dispatcher); }
            ~Installed() { MessageDispatcher::setInstance(nullptr); }
        } installed(&bus);
        InstallProcess launcher;
        RecordingSink replies({replyTopic});
        ASSERT_EQ(bus.subscribe(&launcher, InstallProcess::Topic), 0);
        auto message = testsupport::makeMessage(InstallProcess::Topic, "StartExecution", replyTopic);
        message->setPayload(startInfo(installer, "", true));
        ASSERT_EQ(bus.post(message), 0);
        ASSERT_TRUE(replies.waitForType("ExecutionStarted", kEventWait));
        pid = readPid(installer + ".pid");
        // Every worker, the waiting one included, is joined within the limit.
        EXPECT_TRUE(bus.shutdown(5000));
        EXPECT_EQ(replies.count(), 1u);
    }
    killAndReap(pid);
}

}  // namespace
