// The installer launcher on the real bus, starting real processes.
#include "InstallProcess.h"

#include <cerrno>
#include <chrono>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "bus/LocalMessage.h"
#include "bus/MessageDispatcher.h"
#include "bus/ThreadPoolDispatcher.h"
#include "bus/UUId.h"
#include "payloads/RequestPayloads.h"
#include "payloads/StatusPayloads.h"
#include "platform/Win32Api.h"
#include "support/TestSupport.h"

namespace {

using testsupport::CapturingLogger;
using testsupport::RecordingSink;
using testsupport::TempDir;

const std::chrono::seconds kEventWait(10);
// Long enough for a stray reply to show up if one were coming.
const std::chrono::milliseconds kQuietPeriod(1500);

void writeFile(const std::string& path, const std::string& content, mode_t mode) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << content;
    }
    ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

bool exists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

bool waitFor(const std::function<bool()>& condition, std::chrono::milliseconds timeout = kEventWait) {
    const auto giveUp = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > giveUp) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

pid_t readPid(const std::string& path) {
    EXPECT_TRUE(waitFor([&] {
        const std::string text = readFile(path);
        return !text.empty() && text.back() == '\n';
    })) << path;
    return static_cast<pid_t>(std::stol(readFile(path)));
}

// Ends a process the test left running and reaps it through the platform layer.
void killAndReap(pid_t pid) {
    ::kill(pid, SIGKILL);
    if (HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(pid))) {
        EXPECT_EQ(WaitForSingleObject(process, 10000), WAIT_OBJECT_0);
        CloseHandle(process);
    }
}

// An installer stand-in: records its pid and its arguments (one per line) next to
// itself, runs for a second, marks its end and exits with a non-zero code.
std::string installerScript() {
    return "#!/bin/sh\n"
           "echo $$ > \"$0.pid\"\n"
           "printf '%s\\n' \"$@\" > \"$0.args.tmp\"\n"
           "mv \"$0.args.tmp\" \"$0.args\"\n"
           "sleep 1\n"
           ": > \"$0.done\"\n"
           "exit 3\n";
}

// An installer that does not end by itself.
std::string sleeperScript() { return "#!/bin/sh\necho $$ > \"$0.pid\"\nexec sleep 60\n"; }

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) result.push_back(line);
    return result;
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

    boost::shared_ptr<LocalMessage> request(const boost::shared_ptr<ISerializable>& payload,
                                            const std::string& topic = InstallProcess::Topic,
                                            const std::string& type = "StartExecution") {
        boost::shared_ptr<LocalMessage> message =
            testsupport::makeMessage(topic, type, m_replyTopic, m_sessionId, kPriority);
        if (payload) message->setPayload(payload);
        return message;
    }

    void post(const boost::shared_ptr<ISerializable>& payload) {
        ASSERT_EQ(MessageDispatcher::getInstance()->post(request(payload)), 0);
    }

    static boost::shared_ptr<ISerializable> startInfo(const std::string& file, const std::string& arguments,
                                                      bool wait) {
        return boost::shared_ptr<ISerializable>(new ProcessStartInfo(file, arguments, wait));
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
        const boost::shared_ptr<StatusReportPayload> status =
            boost::dynamic_pointer_cast<StatusReportPayload>(reply->getPayload());
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
    writeFile(installer, installerScript(), 0755);

    post(startInfo(installer, "/S   \"/D=C:\\Program Files\\App\"  \"say \"\"hi\"\"\"  back\\slash\\\"q\\\"", true));

    ASSERT_TRUE(m_replies.waitForCount(1, kEventWait));
    expectReply(m_replies.messages()[0], "ExecutionStarted", 0, "Process started");
    ASSERT_TRUE(waitFor([&] { return exists(installer + ".args"); }));
    const std::vector<std::string> expected = {"/S", "/D=C:\\Program Files\\App", "say \"hi\"", "back\\slash\"q\""};
    EXPECT_EQ(lines(readFile(installer + ".args")), expected);
    const pid_t pid = readPid(installer + ".pid");

    // The end is reported within about a poll interval of the process's exit, and
    // never before it, whatever its exit code.
    ASSERT_TRUE(waitFor([&] { return exists(installer + ".done"); }));
    const boost::shared_ptr<LocalMessage> finished =
        m_replies.waitForType("ExecutionFinished", std::chrono::milliseconds(3000));
    expectReply(finished, "ExecutionFinished", 0, "The process finished execution");
    EXPECT_EQ(m_replies.count(), 2u);
    EXPECT_TRUE(launcherLogLines().empty());

    // Polling reaped the installer: no zombie is left.
    int status = 0;
    const pid_t waited = ::waitpid(pid, &status, WNOHANG);
    const int error = errno;
    EXPECT_EQ(waited, -1);
    EXPECT_EQ(error, ECHILD);
}

TEST_F(InstallProcessTest, LaunchWithoutWaitRepliesStartedTwiceAndNothingElse) {
    auto launcher = makeLauncher();
    const std::string installer = m_dir.file("setup.sh");
    writeFile(installer, installerScript(), 0755);

    post(startInfo(installer, "--quiet", false));

    ASSERT_TRUE(m_replies.waitForCount(2, kEventWait));
    for (const auto& reply : m_replies.messages()) expectReply(reply, "ExecutionStarted", 0, "Process started");
    ASSERT_TRUE(waitFor([&] { return exists(installer + ".done"); }));
    EXPECT_EQ(lines(readFile(installer + ".args")), std::vector<std::string>{"--quiet"});
    EXPECT_FALSE(m_replies.waitForCount(3, kQuietPeriod));
    EXPECT_TRUE(launcherLogLines().empty());
}

TEST_F(InstallProcessTest, FailedLaunchRepliesOnceAndLogsTheErrorCodeInHex) {
    auto launcher = makeLauncher();
    writeFile(m_dir.file("garbage.exe"), "not a program\n", 0755);
    struct Case {
        std::string file;
        std::string hex;
    };
    const Case cases[] = {
        {m_dir.file("missing.exe"), "2"},          // file not found
        {m_dir.file("nowhere/setup.exe"), "3"},    // path not found
        {m_dir.file("garbage.exe"), "c1"},         // bad executable format, in lower case
    };
    for (const Case& c : cases) {
        m_replies.clear();
        m_log.clear();
        post(startInfo(c.file, "/S", false));
        ASSERT_TRUE(m_replies.waitForCount(1, kEventWait)) << c.file;
        EXPECT_FALSE(m_replies.waitForCount(2, std::chrono::milliseconds(300))) << c.file;
        expectReply(m_replies.messages()[0], "ExecutionError", 778, "Process could not be started.");
        const std::vector<std::string> logged = launcherLogLines();
        ASSERT_EQ(logged.size(), 1u) << c.file;
        EXPECT_TRUE(std::regex_match(
            logged[0], std::regex("InstallProcess\\.cpp\\[[0-9]+\\] -> INSTALL_PROCESS: Error when invoking "
                                  "ShellExecuteEx \\(0x" + c.hex + "\\)")))
            << logged[0];
    }
}

TEST_F(InstallProcessTest, PayloadOfAnotherClassIsRefusedOnce) {
    auto launcher = makeLauncher();
    const boost::shared_ptr<ISerializable> payloads[] = {
        boost::shared_ptr<ISerializable>(new StatusReportPayload(0, "not a start info")),
        boost::shared_ptr<ISerializable>(),  // none at all
    };
    for (const auto& payload : payloads) {
        m_replies.clear();
        m_log.clear();
        post(payload);
        ASSERT_TRUE(m_replies.waitForCount(1, kEventWait));
        EXPECT_FALSE(m_replies.waitForCount(2, std::chrono::milliseconds(300)));
        expectReply(m_replies.messages()[0], "ExecutionError", 777,
                    "Process could not be started. Wrong payload received");
        const std::vector<std::string> logged = launcherLogLines();
        ASSERT_EQ(logged.size(), 1u);
        EXPECT_TRUE(std::regex_match(
            logged[0], std::regex("InstallProcess\\.cpp\\[[0-9]+\\] -> INSTALL_PROCESS: Could not downcast payload")))
            << logged[0];
    }
}

TEST_F(InstallProcessTest, OtherTopicsAndTypesGetNoReply) {
    auto launcher = makeLauncher();
    const std::string otherTopic = "event://Test/Launcher/Other/" + UUId::generate().getValue();
    ASSERT_EQ(MessageDispatcher::getInstance()->subscribe(launcher.get(), otherTopic), 0);
    const std::string installer = m_dir.file("setup.sh");
    writeFile(installer, installerScript(), 0755);
    const auto info = startInfo(installer, "", false);

    MessageDispatcher* bus = MessageDispatcher::getInstance();
    ASSERT_EQ(bus->post(request(info, otherTopic, "StartExecution")), 0);
    ASSERT_EQ(bus->post(request(info, InstallProcess::Topic, "StopExecution")), 0);
    ASSERT_EQ(bus->post(request(info, InstallProcess::Topic, "startexecution")), 0);
    // Deliveries to one sink keep their order: once this one is answered, the three
    // above have been handled.
    post(boost::shared_ptr<ISerializable>(new StatusReportPayload(1, "marker")));

    ASSERT_TRUE(m_replies.waitForCount(1, kEventWait));
    EXPECT_FALSE(m_replies.waitForCount(2, std::chrono::milliseconds(300)));
    EXPECT_EQ(m_replies.messages()[0]->getMessageType(), "ExecutionError");
    EXPECT_EQ(launcherLogLines().size(), 1u);  // only the marker's
    EXPECT_FALSE(exists(installer + ".pid"));  // nothing was started
}

TEST_F(InstallProcessTest, WaitGivesUpAfterTheTimeOutAndLeavesTheProcessRunning) {
    auto launcher = makeLauncher(1500);
    const std::string installer = m_dir.file("sleeper.sh");
    writeFile(installer, sleeperScript(), 0755);

    post(startInfo(installer, "", true));

    ASSERT_TRUE(m_replies.waitForCount(2, kEventWait));
    const auto replies = m_replies.messages();
    expectReply(replies[0], "ExecutionStarted", 0, "Process started");
    expectReply(replies[1], "ExecutionError", 779, "The process timed out");
    const pid_t pid = readPid(installer + ".pid");
    EXPECT_EQ(::kill(pid, 0), 0) << "the installer must be left running";
    killAndReap(pid);
}

TEST_F(InstallProcessTest, DestroyingTheLauncherEndsARunningWaitWithoutAFinalReply) {
    auto launcher = makeLauncher();
    const std::string installer = m_dir.file("sleeper.sh");
    writeFile(installer, sleeperScript(), 0755);
    post(startInfo(installer, "", true));
    ASSERT_TRUE(m_replies.waitForType("ExecutionStarted", kEventWait));
    const pid_t pid = readPid(installer + ".pid");

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
    writeFile(installer, sleeperScript(), 0755);
    const std::string replyTopic = "event://Test/Launcher/" + UUId::generate().getValue();
    pid_t pid = 0;
    {
        ThreadPoolDispatcher bus;
        struct Installed {  // the process's bus for this scope, also when an assertion fails
            explicit Installed(MessageDispatcher* dispatcher) { MessageDispatcher::setInstance(dispatcher); }
            ~Installed() { MessageDispatcher::setInstance(nullptr); }
        } installed(&bus);
        {
            InstallProcess launcher;
            RecordingSink replies({replyTopic});
            ASSERT_EQ(bus.subscribe(&launcher, InstallProcess::Topic), 0);
            auto message = testsupport::makeMessage(InstallProcess::Topic, "StartExecution", replyTopic);
            message->setPayload(boost::shared_ptr<ISerializable>(new ProcessStartInfo(installer, "", true)));
            ASSERT_EQ(bus.post(message), 0);
            ASSERT_TRUE(replies.waitForType("ExecutionStarted", kEventWait));
            pid = readPid(installer + ".pid");

            // Every worker, the waiting one included, is joined within the limit.
            EXPECT_TRUE(bus.shutdown(5000));
            EXPECT_EQ(replies.count(), 1u);
        }
    }
    if (pid > 0) killAndReap(pid);
}

}  // namespace
