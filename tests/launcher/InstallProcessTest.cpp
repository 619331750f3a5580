// The installer launcher on the real bus, starting the argument recorder as its installer.
#include "InstallProcess.h"

#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <memory>
#include <regex>
#include <thread>

#include <gtest/gtest.h>

#include "InstallerLaunch.h"
#include "bus/MessageDispatcher.h"
#include "bus/ThreadPoolDispatcher.h"
#include "payloads/RequestPayloads.h"
#include "payloads/StatusPayloads.h"
#include "support/TestSupport.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

namespace {

namespace fs = std::filesystem;
using testsupport::CapturingLogger;
using testsupport::RecordingSink;
using testsupport::TempDir;

// An upper bound only: a process start under a busy Wine can take many seconds.
const std::chrono::seconds kEventWait(60);
// Long enough for a stray reply to show up if one were coming.
const std::chrono::milliseconds kQuietPeriod(1500);

bool waitFor(const std::function<bool()>& condition) { return testsupport::waitFor(condition, kEventWait); }

// The recorder, built next to this test program.
std::string recorderProgram() {
#if defined(_WIN32)
    wchar_t self[MAX_PATH];
    GetModuleFileNameW(nullptr, self, MAX_PATH);
    return (fs::path(self).parent_path() / "kestrup-argv-recorder.exe").string();
#else
    return (fs::read_symlink("/proc/self/exe").parent_path() / "kestrup-argv-recorder").string();
#endif
}

bool running(DWORD pid) {
    DWORD error = 0;
    return installer_launch::poll(pid, error) == installer_launch::Poll::Running;
}

#if !defined(_WIN32)
// True when `pid` is no unreaped child of ours; looks without reaping it.
bool notAZombie(pid_t pid) {
    siginfo_t info = {};
    return ::waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOHANG | WNOWAIT) == -1 && errno == ECHILD;
}
#endif

boost::shared_ptr<ISerializable> startInfo(const std::string& file, const std::string& arguments, bool wait) {
    return boost::shared_ptr<ISerializable>(new ProcessStartInfo(file, arguments, wait));
}

// In a folder of its own: the recorder writes "recorded.txt" there, runs while "hold" exists.
class InstallProcessTest : public ::testing::Test {
protected:
    InstallProcessTest()
        : m_replyTopic("event://Test/Launcher/" + UUId::generate().getValue()),
          m_sessionId(UUId::generate()),
          m_replies({m_replyTopic}),
          m_previousFolder(fs::current_path()) {
        fs::current_path(m_dir.path());
    }
    ~InstallProcessTest() override {
        release();
        if (m_pid) waitFor([this] { return !running(m_pid); });
        fs::current_path(m_previousFolder);
    }

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

    void hold() { std::ofstream("hold").put('\n'); }
    void release() { fs::remove("hold"); }

    // The arguments the recorder was started with; its pid goes to m_pid.
    std::vector<std::string> recorded() {
        // Read until it opens: under Wine a file being renamed into place can exist unreadable.
        std::vector<std::string> lines;
        if (!waitFor([&] {
                std::ifstream in("recorded.txt");
                for (std::string line; std::getline(in, line);) lines.push_back(line);
                return !lines.empty();
            }))
            return {"<not started>"};
        m_pid = static_cast<DWORD>(std::stoul(lines.at(0)));
        return std::vector<std::string>(lines.begin() + 1, lines.end());
    }

    // Posts a waited launch of a held recorder and waits for it to run.
    void launchHeld() { launchHeld(m_replies); }
    void launchHeld(RecordingSink& replies) {
        fs::remove("recorded.txt");  // an earlier launch's
        hold();
        post(startInfo(recorderProgram(), "", true));
        EXPECT_TRUE(replies.waitForType("ExecutionStarted", kEventWait));
        recorded();
    }

    void expectReply(const boost::shared_ptr<LocalMessage>& reply, const std::string& type, int32_t code,
                     const std::string& text) {
        ASSERT_TRUE(reply) << "no " << type;
        EXPECT_EQ(testsupport::header(reply), type + " to=" + m_replyTopic + " reply= session=" +
                                                  m_sessionId.getValue() + " priority=7 user=");
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
    const fs::path m_previousFolder;
    DWORD m_pid = 0;
};

// Requests on another topic or of another type start nothing. The end of a waited
// launch is reported after the process's exit, never before, whatever its exit code;
// the installer runs in a session of its own and is reaped. (The unwaited launch's
// two "ExecutionStarted" are the component suite's: it launches through this code.)
TEST_F(InstallProcessTest, WaitedLaunchPassesTheArgumentsAndReportsTheEnd) {
    auto launcher = makeLauncher();
    const std::string otherTopic = "event://Test/Launcher/Other/" + UUId::generate().getValue();
    ASSERT_EQ(MessageDispatcher::getInstance()->subscribe(launcher.get(), otherTopic), 0);
    post(startInfo(recorderProgram(), "--ignored", false), otherTopic);
    post(startInfo(recorderProgram(), "--ignored", false), InstallProcess::Topic, "StopExecution");
    post(startInfo(recorderProgram(), "--ignored", false), InstallProcess::Topic, "startexecution");
    hold();
    post(startInfo(recorderProgram(), "/S   \"/D=C:\\Program Files\\App\"  \"say \"\"hi\"\"\"", true));
    ASSERT_TRUE(m_replies.waitForCount(1, kEventWait));
    expectReply(m_replies.messages()[0], "ExecutionStarted", 0, "Process started");
    EXPECT_EQ(recorded(), (std::vector<std::string>{"/S", "/D=C:\\Program Files\\App", "say \"hi\""}));
#if !defined(_WIN32)
    EXPECT_EQ(::getsid(static_cast<pid_t>(m_pid)), static_cast<pid_t>(m_pid)) << "shares the host's session";
#endif
    EXPECT_FALSE(m_replies.waitForCount(2, kQuietPeriod)) << "reported an end while the installer runs";

    release();
    expectReply(m_replies.waitForType("ExecutionFinished", kEventWait), "ExecutionFinished", 0,
                "The process finished execution");
    EXPECT_EQ(m_replies.count(), 2u);
    EXPECT_TRUE(launcherLogLines().empty());
#if !defined(_WIN32)
    EXPECT_TRUE(notAZombie(static_cast<pid_t>(m_pid)));
#endif
}

// A launch that cannot start answers exactly once and logs exactly one line.
TEST_F(InstallProcessTest, RefusedLaunchRepliesOnceAndLogsOneLine) {
    auto launcher = makeLauncher();
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

// A wait ends with error 779 after its time-out and leaves the installer running;
// destroying the launcher or shutting the bus down ends it without a final reply.
TEST_F(InstallProcessTest, AWaitEndsAtItsTimeOutOrWithTheLauncherOrTheBus) {
    {
        auto launcher = makeLauncher(1500);
        launchHeld();
        ASSERT_TRUE(m_replies.waitForCount(2, kEventWait));
        expectReply(m_replies.messages()[1], "ExecutionError", 779, "The process timed out");
        EXPECT_TRUE(running(m_pid)) << "the installer must be left running";
    }
    m_replies.clear();
    auto launcher = makeLauncher();
    launchHeld();
    std::future<void> destroyed = std::async(std::launch::async, [&] { launcher.reset(); });
    EXPECT_EQ(destroyed.wait_for(kEventWait), std::future_status::ready);
    destroyed.get();
    EXPECT_FALSE(m_replies.waitForCount(2, kQuietPeriod));

    ThreadPoolDispatcher bus;
    struct Installed {  // the process's bus for this scope, also when an assertion fails
        explicit Installed(MessageDispatcher* dispatcher) { MessageDispatcher::setInstance(dispatcher); }
        ~Installed() { MessageDispatcher::setInstance(nullptr); }
    } installed(&bus);
    InstallProcess onPool;
    RecordingSink replies({m_replyTopic});
    ASSERT_EQ(bus.subscribe(&onPool, InstallProcess::Topic), 0);
    launchHeld(replies);
    // Every worker, the waiting one included, is joined within the limit.
    EXPECT_TRUE(bus.shutdown(5000));
    EXPECT_EQ(replies.count(), 1u);
}

}  // namespace
