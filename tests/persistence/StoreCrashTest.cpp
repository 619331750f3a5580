// A writer process killed with SIGKILL: the store keeps exactly what was flushed,
// never part of a flush, and stays a sound database.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <list>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "RawStore.h"
#include "support/TestSupport.h"
#include "persistence/PersistentManager.h"

using Strings = std::list<std::string>;

namespace {

// The forked writer. "Kept": k1..k3 flushed, then k1 rewritten and k4 written
// without a flush. "Auto" (auto-flush on): "auto" written. "Churn": key0..key49 set
// to the round number and flushed, round after round, until the kill; the marker
// file appears after the first round. Gives up after a minute.
[[noreturn]] void runWriter(const std::string& folder, const std::string& marker) {
    try {
        PersistentManager manager(folder);
        const PersistentManager::Properties manual = {{KeyValueSchema::AUTO_FLUSH, KeyValueSchema::DISABLE_PROPERTY}};
        KeyValueSchema kept = manager.initLocal("Kept", "crash", "", "", manual);
        KeyValueSchema churn = manager.initLocal("Churn", "crash", "", "", manual);
        for (const char* key : {"k1", "k2", "k3"}) kept._update(key, std::string("flushed ") + key, Schema::REPLACE);
        kept.flush();
        kept._update("k1", "unflushed", Schema::REPLACE);
        kept._update("k4", "unflushed", Schema::REPLACE);
        manager.initLocal("Auto", "crash", "", "", {})._update("auto", "committed", Schema::REPLACE);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        for (long round = 0; std::chrono::steady_clock::now() < deadline; ++round) {
            for (int key = 0; key < 50; ++key) churn._update("key" + std::to_string(key), std::to_string(round), Schema::REPLACE);
            churn.flush();
            if (round == 0) std::ofstream(marker) << "ready";
        }
    } catch (...) {
        _exit(1);
    }
    _exit(2);
}

TEST(StoreCrash, AKilledWriterLeavesExactlyTheFlushedValuesInASoundStore) {
    // Different delays land the kill at different points of the flush loop.
    for (int delayMs : {0, 9, 45}) {
        SCOPED_TRACE("kill after " + std::to_string(delayMs) + " ms");
        testsupport::TempDir dir;
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) runWriter(dir.path(), dir.file("ready"));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!std::filesystem::exists(dir.file("ready")) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const bool ready = std::filesystem::exists(dir.file("ready"));
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(ready);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << "the writer ended by itself";

        PersistentManager manager(dir.path());
        EXPECT_EQ(storetest::RawStore(manager.storeFile("crash")).query("PRAGMA integrity_check"), "ok");
        KeyValueSchema kept = manager.initLocal("Kept", "crash", "", "", {});
        for (const char* key : {"k1", "k2", "k3"}) EXPECT_EQ(kept.getRawData(key), Strings{std::string("flushed ") + key});
        EXPECT_FALSE(kept.exist("k4"));
        EXPECT_EQ(manager.initLocal("Auto", "crash", "", "", {}).getRawData("auto"), Strings{"committed"});
        KeyValueSchema churn = manager.initLocal("Churn", "crash", "", "", {});
        const Strings first = churn.getRawData("key0");
        ASSERT_EQ(first.size(), 1u);
        for (int key = 1; key < 50; ++key) EXPECT_EQ(churn.getRawData("key" + std::to_string(key)), first) << key;
    }
}

}  // namespace
