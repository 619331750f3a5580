// A writer process killed with SIGKILL: the store keeps exactly what was flushed,
// never part of a flush, and stays a sound database.
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <list>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "RawStore.h"
#include "support/TestSupport.h"
#include "persistence/PersistentManager.h"

extern char** environ;

using Strings = std::list<std::string>;

namespace {

// Runs the crash writer with its stdout on a pipe.
class CrashWriter {
public:
    CrashWriter(const std::string& storeFolder, const std::string& mode) {
        int fds[2];
        if (pipe(fds) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        posix_spawn_file_actions_addclose(&actions, fds[1]);
        std::string program = STORE_CRASH_WRITER;
        char* argv[] = {program.data(), const_cast<char*>(storeFolder.c_str()), const_cast<char*>(mode.c_str()),
                        nullptr};
        if (posix_spawn(&m_pid, program.c_str(), &actions, nullptr, argv, environ) != 0) m_pid = -1;
        posix_spawn_file_actions_destroy(&actions);
        close(fds[1]);
        m_output = fds[0];
    }

    ~CrashWriter() {
        if (m_pid > 0) killAndReap();
        if (m_output >= 0) close(m_output);
    }

    bool started() const { return m_pid > 0; }

    // True once the writer printed "ready" within the time-out.
    bool waitReady(std::chrono::milliseconds timeout) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        std::string received;
        while (received.find("ready\n") == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0) return false;
            pollfd fd{m_output, POLLIN, 0};
            if (poll(&fd, 1, static_cast<int>(left.count())) <= 0) continue;
            char buffer[64];
            const ssize_t n = read(m_output, buffer, sizeof buffer);
            if (n <= 0) return false;  // the writer ended (it prints its error on stderr)
            received.append(buffer, static_cast<std::size_t>(n));
        }
        return true;
    }

    // SIGKILL; true when the writer died of it (rather than ending by itself).
    bool killAndReap() {
        kill(m_pid, SIGKILL);
        int status = 0;
        const pid_t reaped = waitpid(m_pid, &status, 0);
        m_pid = -1;
        return reaped > 0 && WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL;
    }

private:
    pid_t m_pid = -1;
    int m_output = -1;
};

const PersistentManager::Properties kManualFlush = {{KeyValueSchema::AUTO_FLUSH, KeyValueSchema::DISABLE_PROPERTY}};

TEST(StoreCrash, AKilledWriterLeavesExactlyTheFlushedValues) {
    testsupport::TempDir dir;
    CrashWriter writer(dir.path(), "partial");
    ASSERT_TRUE(writer.started());
    ASSERT_TRUE(writer.waitReady(std::chrono::seconds(30)));
    ASSERT_TRUE(writer.killAndReap());

    PersistentManager manager(dir.path());
    EXPECT_EQ(storetest::RawStore(manager.storeFile("crash")).integrityCheck(), "ok");
    KeyValueSchema schema = manager.initLocal("CrashSchema", "crash", "", "", kManualFlush);
    EXPECT_EQ(schema.getRawData("k1"), Strings{"one"});
    EXPECT_EQ(schema.getRawData("k2"), Strings{"two"});
    EXPECT_EQ(schema.getRawData("k3"), Strings{"three"});
    EXPECT_FALSE(schema.exist("k4"));
    KeyValueSchema autoSchema = manager.initLocal("AutoSchema", "crash", "", "", {});
    EXPECT_EQ(autoSchema.getRawData("auto"), Strings{"committed"});
}

TEST(StoreCrash, AKillDuringFlushesNeverLeavesHalfOfOne) {
    // Different delays land the kill at different points of the flush loop.
    for (int delayMs : {0, 3, 17, 41, 90}) {
        SCOPED_TRACE("kill after " + std::to_string(delayMs) + " ms");
        testsupport::TempDir dir;
        {
            CrashWriter writer(dir.path(), "churn");
            ASSERT_TRUE(writer.started());
            ASSERT_TRUE(writer.waitReady(std::chrono::seconds(30)));
            std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
            ASSERT_TRUE(writer.killAndReap());
        }
        PersistentManager manager(dir.path());
        EXPECT_EQ(storetest::RawStore(manager.storeFile("crash")).integrityCheck(), "ok");
        KeyValueSchema schema = manager.initLocal("CrashSchema", "crash", "", "", kManualFlush);
        const Strings first = schema.getRawData("key0");
        ASSERT_EQ(first.size(), 1u);
        for (int key = 1; key < 50; ++key)
            EXPECT_EQ(schema.getRawData("key" + std::to_string(key)), first) << "key" << key;
    }
}

}  // namespace
