// A writer process killed from outside (SIGKILL on Linux, TerminateProcess on
// Windows): the store keeps exactly what was flushed, never part of a flush, and
// stays a sound database.
#include <chrono>
#include <filesystem>
#include <list>
#include <string>
#include <thread>

#include <QProcess>
#include <gtest/gtest.h>

#include "RawStore.h"
#include "support/TestSupport.h"
#include "persistence/PersistentManager.h"

using Strings = std::list<std::string>;

namespace {

TEST(StoreCrash, AKilledWriterLeavesExactlyTheFlushedValuesInASoundStore) {
    // Different delays land the kill at different points of the flush loop.
    for (int delayMs : {0, 9, 45}) {
        SCOPED_TRACE("kill after " + std::to_string(delayMs) + " ms");
        testsupport::TempDir dir;
        QProcess writer;
        writer.start(QStringLiteral(KESTRUP_STORE_CRASH_WRITER),
                     {QString::fromStdString(dir.path()), QString::fromStdString(dir.file("ready"))});
        ASSERT_TRUE(writer.waitForStarted()) << writer.errorString().toStdString();
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!std::filesystem::exists(dir.file("ready")) && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const bool ready = std::filesystem::exists(dir.file("ready"));
        std::this_thread::sleep_for(std::chrono::milliseconds(delayMs));
        writer.kill();
        ASSERT_TRUE(writer.waitForFinished());
        ASSERT_TRUE(ready);
        ASSERT_EQ(writer.exitStatus(), QProcess::CrashExit) << "the writer ended by itself with " << writer.exitCode();

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
