// The SQLite store: flushed and pending writes, sessions, schemas, domains, bad
// arguments and folders, a busy store, threads.
#include <chrono>
#include <filesystem>
#include <fstream>
#include <list>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "RawStore.h"
#include "support/TestSupport.h"
#include "persistence/PersistentManager.h"

namespace fs = std::filesystem;
using storetest::RawStore;
using Strings = std::list<std::string>;

namespace {

const PersistentManager::Properties kManualFlush = {{KeyValueSchema::AUTO_FLUSH, KeyValueSchema::DISABLE_PROPERTY}};

class KeyValueSchemaTest : public ::testing::Test {
protected:
    KeyValueSchema open(const std::string& schema, const PersistentManager::Properties& properties = kManualFlush,
                        const std::string& domain = "domain", const std::string& type = "",
                        const std::string& user = "") {
        return manager.initLocal(schema, domain, user, type, properties);
    }

    testsupport::TempDir dir;
    const std::string folder = dir.path() + "/st\xc3\xb6re";  // non-ASCII, as a user's profile folder may be
    PersistentManager manager{folder};
};

TEST_F(KeyValueSchemaTest, PendingWritesBelongToTheSessionAndOnlyFlushedOnesSurviveAReopen) {
    {
        KeyValueSchema session = open("Workflow");
        KeyValueSchema copy = session;
        KeyValueSchema other = open("Workflow");
        KeyValueSchema autoFlushed = open("Auto", {});  // each write commits by itself
        autoFlushed._update("gone", "x", Schema::REPLACE);
        autoFlushed.removeAll();
        autoFlushed._update("k", "v", Schema::REPLACE);
        EXPECT_FALSE(autoFlushed.hasPendingWrites());
        session._update("a", "1", Schema::REPLACE);
        session._update("b", "2", Schema::REPLACE);
        session.flush();
        session._update("b", "3", Schema::REPLACE);
        session._update("c", "4", Schema::REPLACE);
        EXPECT_EQ(copy.getRawData("b"), Strings{"3"});  // copies share the pending writes
        EXPECT_TRUE(copy.exist("c"));
        EXPECT_EQ(other.getRawData("b"), Strings{"2"});  // another session does not see them
        EXPECT_FALSE(other.exist("c"));

        copy.flush();
        EXPECT_FALSE(session.hasPendingWrites());
        EXPECT_EQ(other.getRawData("c"), Strings{"4"});

        session.removeAll();
        session._update("d", "5", Schema::REPLACE);
        EXPECT_FALSE(session.exist("a"));
        EXPECT_EQ(session.getRawData("d"), Strings{"5"});
        EXPECT_TRUE(other.exist("a"));  // the removal is pending too
        session.flush();
        session._update("e", "6", Schema::REPLACE);
    }  // the last handle goes without a flush
    KeyValueSchema reopened = open("Workflow");
    for (const char* gone : {"a", "b", "c", "e"}) EXPECT_FALSE(reopened.exist(gone)) << gone;
    EXPECT_EQ(reopened.getRawData("d"), Strings{"5"});
    EXPECT_FALSE(open("Auto").exist("gone"));
    EXPECT_EQ(open("Auto").getRawData("k"), Strings{"v"});
    EXPECT_EQ(RawStore(reopened.getStoreFile()).query("PRAGMA integrity_check"), "ok");
    // Write-ahead logging: a reader in another process is not blocked by a writer.
    EXPECT_EQ(RawStore(reopened.getStoreFile()).query("PRAGMA journal_mode"), "wal");
}

TEST_F(KeyValueSchemaTest, SchemasUsersAndDomainsAreSeparateAndOddNamesAndBytesRoundTrip) {
    const std::string binary("a\0b\xff\x01<&>", 8);
    const std::string oddSchema = "we\"ird\"; DROP TABLE First; --";
    const std::string oddDomain = "../../escape/\xc3\xa9";
    KeyValueSchema first = open("First");
    KeyValueSchema second = open("Second");
    KeyValueSchema firstOfUser = open("First", kManualFlush, "domain", "", "someone");
    KeyValueSchema otherDomain = open("First", kManualFlush, "elsewhere");
    KeyValueSchema odd = open(oddSchema, kManualFlush, oddDomain);
    EXPECT_EQ(first.getStoreFile(), second.getStoreFile());
    EXPECT_NE(first.getStoreFile(), otherDomain.getStoreFile());
    EXPECT_EQ(fs::u8path(odd.getStoreFile()).parent_path(), fs::u8path(folder));
    EXPECT_THROW(first._update("k", "v", Schema::APPEND), Schema::_update_exception);  // not multi-valued
    EXPECT_THROW(first._update("k", "v", static_cast<Schema::UpdateMode>(7)), Schema::_update_exception);

    first._update("k", "first", Schema::REPLACE);
    second._update("k", "second", Schema::REPLACE);
    firstOfUser._update("k", "user", Schema::REPLACE);
    otherDomain._update("k", "elsewhere", Schema::REPLACE);
    odd._update("", binary, Schema::REPLACE);
    first.flush();  // commits only First's own writes
    for (KeyValueSchema* schema : {&firstOfUser, &otherDomain, &odd}) schema->flush();
    firstOfUser.removeAll();
    firstOfUser.flush();  // empties only that user's partition

    EXPECT_EQ(open("First").getRawData("k"), Strings{"first"});
    EXPECT_FALSE(open("Second").exist("k"));
    EXPECT_FALSE(open("First", kManualFlush, "domain", "", "someone").exist("k"));
    EXPECT_EQ(open("First", kManualFlush, "elsewhere").getRawData("k"), Strings{"elsewhere"});
    EXPECT_EQ(open(oddSchema, kManualFlush, oddDomain).getRawData(""), Strings{binary});
    EXPECT_FALSE(fs::exists(fs::u8path(folder).parent_path().parent_path() / "escape"));

    // Appended values keep their order, in the store and with a pending one after them.
    KeyValueSchema multi = open("Multi", kManualFlush, "domain", KeyValueSchema::MULTI_VALUED);
    for (const char* value : {"a", "b"}) multi._update("k", value, Schema::APPEND);
    multi.flush();
    multi._update("k", "c", Schema::APPEND);
    EXPECT_EQ(multi.getRawData("k"), (Strings{"a", "b", "c"}));
    multi.flush();
    EXPECT_EQ(open("Multi", kManualFlush, "domain", KeyValueSchema::MULTI_VALUED).getRawData("k"),
              (Strings{"a", "b", "c"}));
}

TEST_F(KeyValueSchemaTest, BadArgumentsAndUnusableStoresMakeInitLocalThrow) {
    EXPECT_THROW(open(""), Schema::_scheme_exception);
    EXPECT_THROW(open("S", kManualFlush, "domain", "tree"), Schema::_scheme_exception);
    for (const auto& bad : {std::make_pair(KeyValueSchema::AUTO_FLUSH, "sometimes"),
                            std::make_pair(KeyValueSchema::BUSY_TIMEOUT_MS, "-1"),
                            std::make_pair(KeyValueSchema::BUSY_TIMEOUT_MS, "12ms")})
        EXPECT_THROW(open("S", {bad}), Schema::_scheme_exception) << bad.first << "=" << bad.second;

    fs::create_directories(fs::u8path(manager.storeFile("folder")));  // a folder where the file should be
    EXPECT_THROW(open("S", kManualFlush, "folder"), Schema::_scheme_exception);

    // Folders that cannot be created (below a file, or a file in their place; chmod would not stop root).
    std::ofstream(dir.file("plain-file")) << "x";
    for (const std::string& folder : {dir.file("plain-file") + "/store", dir.file("plain-file")})
        EXPECT_THROW(PersistentManager(folder).initLocal("S", "d", "", "", {}), Schema::_scheme_exception) << folder;
}

TEST_F(KeyValueSchemaTest, ABusyStoreIsWaitedForThenFailsTheFlushAndKeepsTheWritesPending) {
    KeyValueSchema impatient = open("Workflow", {{KeyValueSchema::AUTO_FLUSH, KeyValueSchema::DISABLE_PROPERTY},
                                                 {KeyValueSchema::BUSY_TIMEOUT_MS, "50"}});
    KeyValueSchema autoSchema = open("Auto", {{KeyValueSchema::BUSY_TIMEOUT_MS, "50"}});
    KeyValueSchema patient = open("Patient");  // the default time-out
    impatient._update("kept", "old", Schema::REPLACE);
    impatient.flush();

    RawStore otherProcess(impatient.getStoreFile());
    otherProcess.query("BEGIN IMMEDIATE");  // holds the write lock
    impatient.flush();  // nothing pending: no transaction, so no wait and no error
    impatient._update("kept", "new", Schema::REPLACE);
    try {
        impatient.flush();
        ADD_FAILURE() << "flush succeeded on a locked store";
    } catch (const Schema::_update_exception& e) {
        EXPECT_NE(std::string(e.what()).find("database is locked"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(impatient.hasPendingWrites());
    EXPECT_EQ(impatient.getRawData("kept"), Strings{"new"});  // readers are not blocked in WAL mode
    // An auto-flushed write that fails is gone, not left for a later commit.
    EXPECT_THROW(autoSchema._update("lost", "x", Schema::REPLACE), Schema::_update_exception);
    EXPECT_FALSE(autoSchema.exist("lost"));

    // A writer that lets go within the default time-out is waited for.
    patient._update("k", "v", Schema::REPLACE);
    std::thread release([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        otherProcess.query("COMMIT");
    });
    EXPECT_NO_THROW(patient.flush());
    release.join();

    impatient.flush();
    EXPECT_EQ(open("Workflow").getRawData("kept"), Strings{"new"});
    EXPECT_EQ(open("Patient").getRawData("k"), Strings{"v"});
    EXPECT_FALSE(open("Auto").exist("lost"));
}

TEST_F(KeyValueSchemaTest, ThreadsShareSessionsAndTheConnectionSafely) {
    KeyValueSchema shared = open("Shared");
    const int kThreads = 4;
    const int kRounds = 120;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            // Half the threads use copies of one session, half their own schema.
            KeyValueSchema schema = (t % 2 == 0) ? shared : open("Own" + std::to_string(t));
            const std::string key = "thread" + std::to_string(t);
            for (int round = 0; round < kRounds; ++round) {
                // Every call locks by itself; holding the recursive mutex as well must not deadlock.
                std::unique_lock<std::recursive_mutex> lock(schema.getMutex(), std::defer_lock);
                if (round % 2) lock.lock();
                schema._update(key, std::to_string(round), Schema::REPLACE);
                EXPECT_EQ(schema.getRawData(key), Strings{std::to_string(round)});
                if (round % 3 == 0) schema.flush();
            }
            schema.flush();
        });
    }
    for (auto& thread : threads) thread.join();
    for (int t = 0; t < kThreads; ++t)
        EXPECT_EQ(open(t % 2 == 0 ? "Shared" : "Own" + std::to_string(t)).getRawData("thread" + std::to_string(t)),
                  Strings{std::to_string(kRounds - 1)});
}

}  // namespace
