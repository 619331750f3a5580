// The SQLite-backed store: durability of flushed and pending writes, sessions,
// schemas and domains, errors from bad files and a busy or corrupt store, threads.
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
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

    void writeFile(const std::string& path, const std::string& bytes) {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << bytes;
    }

    testsupport::TempDir dir;
    PersistentManager manager{dir.path()};
};

TEST_F(KeyValueSchemaTest, FlushedValuesSurviveReopenAndPendingOnesDoNot) {
    {
        KeyValueSchema schema = open("Workflow");
        schema._update("a", "1", Schema::REPLACE);
        schema._update("b", "2", Schema::REPLACE);
        schema.flush();
        schema._update("b", "3", Schema::REPLACE);
        schema._update("c", "4", Schema::REPLACE);
        // Pending writes read back at once through the same session.
        EXPECT_EQ(schema.getRawData("b"), Strings{"3"});
        EXPECT_TRUE(schema.exist("c"));
        EXPECT_TRUE(schema.hasPendingWrites());
    }
    KeyValueSchema reopened = open("Workflow");
    EXPECT_EQ(reopened.getRawData("a"), Strings{"1"});
    EXPECT_EQ(reopened.getRawData("b"), Strings{"2"});
    EXPECT_FALSE(reopened.exist("c"));
    EXPECT_FALSE(reopened.hasPendingWrites());
    EXPECT_EQ(RawStore(reopened.getStoreFile()).integrityCheck(), "ok");
}

TEST_F(KeyValueSchemaTest, PendingWritesBelongToTheSessionAndItsCopies) {
    KeyValueSchema session = open("Workflow");
    KeyValueSchema copy = session;
    KeyValueSchema other = open("Workflow");

    session._update("k", "v", Schema::REPLACE);
    EXPECT_EQ(copy.getRawData("k"), Strings{"v"});
    EXPECT_FALSE(other.exist("k"));

    copy.flush();  // a copy commits the shared pending writes
    EXPECT_FALSE(session.hasPendingWrites());
    EXPECT_EQ(other.getRawData("k"), Strings{"v"});
}

TEST_F(KeyValueSchemaTest, AutoFlushCommitsEveryWriteByItself) {
    KeyValueSchema writer = open("Auto", {});
    KeyValueSchema observer = open("Auto");
    writer._update("k", "v", Schema::REPLACE);
    EXPECT_FALSE(writer.hasPendingWrites());
    EXPECT_EQ(observer.getRawData("k"), Strings{"v"});
    writer.removeAll();
    EXPECT_FALSE(observer.exist("k"));
}

TEST_F(KeyValueSchemaTest, RemoveAllIsPendingUntilFlushAndKeepsLaterWrites) {
    KeyValueSchema schema = open("Workflow");
    schema._update("a", "1", Schema::REPLACE);
    schema._update("b", "2", Schema::REPLACE);
    schema.flush();

    schema.removeAll();
    schema._update("c", "3", Schema::REPLACE);
    EXPECT_FALSE(schema.exist("a"));
    EXPECT_EQ(schema.getRawData("c"), Strings{"3"});
    EXPECT_TRUE(open("Workflow").exist("a"));  // not committed yet

    schema.flush();
    KeyValueSchema reopened = open("Workflow");
    EXPECT_FALSE(reopened.exist("a"));
    EXPECT_FALSE(reopened.exist("b"));
    EXPECT_EQ(reopened.getRawData("c"), Strings{"3"});
}

TEST_F(KeyValueSchemaTest, MultiValuedSchemaKeepsValuesInOrder) {
    KeyValueSchema single = open("Single");
    EXPECT_FALSE(single.isMultiValuedSchema());
    EXPECT_THROW(single._update("k", "v", Schema::APPEND), Schema::_update_exception);
    EXPECT_THROW(single._update("k", "v", static_cast<Schema::UpdateMode>(7)), Schema::_update_exception);
    EXPECT_FALSE(single.hasPendingWrites());
    {
        KeyValueSchema schema = open("Multi", kManualFlush, "domain", KeyValueSchema::MULTI_VALUED);
        EXPECT_TRUE(schema.isMultiValuedSchema());
        schema._update("k", "x1", Schema::APPEND);
        schema._update("k", "x2", Schema::APPEND);
        schema.flush();
        schema._update("k", "x3", Schema::APPEND);  // pending, after the stored ones
        EXPECT_EQ(schema.getRawData("k"), (Strings{"x1", "x2", "x3"}));
        schema.flush();
    }
    KeyValueSchema schema = open("Multi", kManualFlush, "domain", KeyValueSchema::MULTI_VALUED);
    EXPECT_EQ(schema.getRawData("k"), (Strings{"x1", "x2", "x3"}));
    schema._update("k", "y", Schema::REPLACE);
    schema.flush();
    EXPECT_EQ(open("Multi").getRawData("k"), Strings{"y"});
}

TEST_F(KeyValueSchemaTest, SchemasUsersAndDomainsAreSeparate) {
    KeyValueSchema first = open("First");
    KeyValueSchema second = open("Second");
    KeyValueSchema firstOfUser = open("First", kManualFlush, "domain", "", "someone");
    KeyValueSchema otherDomain = open("First", kManualFlush, "elsewhere");
    EXPECT_EQ(first.getStoreFile(), second.getStoreFile());
    EXPECT_NE(first.getStoreFile(), otherDomain.getStoreFile());

    first._update("k", "first", Schema::REPLACE);
    second._update("k", "second", Schema::REPLACE);
    firstOfUser._update("k", "user", Schema::REPLACE);
    otherDomain._update("k", "elsewhere", Schema::REPLACE);
    first.flush();  // commits only First's own writes
    firstOfUser.flush();
    otherDomain.flush();
    firstOfUser.removeAll();
    firstOfUser.flush();  // empties only that user's partition

    EXPECT_EQ(open("First").getRawData("k"), Strings{"first"});
    EXPECT_FALSE(open("Second").exist("k"));
    EXPECT_FALSE(open("First", kManualFlush, "domain", "", "someone").exist("k"));
    EXPECT_EQ(open("First", kManualFlush, "elsewhere").getRawData("k"), Strings{"elsewhere"});
}

TEST_F(KeyValueSchemaTest, OddNamesAndBytesRoundTripInsideTheStoreFolder) {
    const std::string binary("a\0b\xff\x01<&>", 8);
    {
        KeyValueSchema schema = open("we\"ird; DROP TABLE x", kManualFlush, "../../escape/\xc3\xa9");
        EXPECT_EQ(fs::path(schema.getStoreFile()).parent_path(), fs::path(dir.path()));
        schema._update("", "empty key", Schema::REPLACE);
        schema._update("bytes", binary, Schema::REPLACE);
        schema._update("empty", "", Schema::REPLACE);
        schema.flush();
    }
    KeyValueSchema schema = open("we\"ird; DROP TABLE x", kManualFlush, "../../escape/\xc3\xa9");
    EXPECT_EQ(schema.getRawData(""), Strings{"empty key"});
    EXPECT_EQ(schema.getRawData("bytes"), Strings{binary});
    EXPECT_EQ(schema.getRawData("empty"), Strings{""});
    EXPECT_FALSE(fs::exists(fs::path(dir.path()).parent_path().parent_path() / "escape"));
}

TEST_F(KeyValueSchemaTest, BadArgumentsAndUnusableStoresMakeInitLocalThrow) {
    EXPECT_THROW(open(""), Schema::_scheme_exception);
    EXPECT_THROW(open("S", {{KeyValueSchema::AUTO_FLUSH, "sometimes"}}), Schema::_scheme_exception);
    EXPECT_THROW(open("S", {{KeyValueSchema::BUSY_TIMEOUT_MS, "-1"}}), Schema::_scheme_exception);
    EXPECT_THROW(open("S", {{KeyValueSchema::BUSY_TIMEOUT_MS, "12ms"}}), Schema::_scheme_exception);
    EXPECT_THROW(open("S", kManualFlush, "domain", "tree"), Schema::_scheme_exception);

    // A store file that is not a database: SQLite's own message comes through.
    writeFile(manager.storeFile("garbage"), std::string(8192, 'G'));
    try {
        open("S", kManualFlush, "garbage");
        ADD_FAILURE() << "a garbage store file was opened";
    } catch (const Schema::_scheme_exception& e) {
        EXPECT_NE(std::string(e.what()).find("file is not a database"), std::string::npos) << e.what();
    }

    // A folder where the store file should be.
    fs::create_directory(manager.storeFile("folder"));
    EXPECT_THROW(open("S", kManualFlush, "folder"), Schema::_scheme_exception);

    // Store folders that cannot be created: one below a regular file, and a regular
    // file in the folder's place (chmod does not stop root, these do).
    writeFile(dir.file("plain-file"), "x");
    EXPECT_THROW(PersistentManager(dir.file("plain-file") + "/store").initLocal("S", "d", "", "", {}),
                 Schema::_scheme_exception);
    EXPECT_THROW(PersistentManager(dir.file("plain-file")).initLocal("S", "d", "", "", {}), Schema::_scheme_exception);
}

TEST_F(KeyValueSchemaTest, ALockedStoreFailsTheFlushAndKeepsTheWritesPending) {
    KeyValueSchema schema = open("Workflow", {{KeyValueSchema::AUTO_FLUSH, KeyValueSchema::DISABLE_PROPERTY},
                                              {KeyValueSchema::BUSY_TIMEOUT_MS, "50"}});
    KeyValueSchema autoSchema = open("Auto", {{KeyValueSchema::BUSY_TIMEOUT_MS, "50"}});
    schema._update("kept", "old", Schema::REPLACE);
    schema.flush();

    RawStore otherProcess(schema.getStoreFile());
    otherProcess.exec("BEGIN IMMEDIATE");  // holds the write lock

    schema.flush();  // nothing pending: no transaction, so no wait and no error
    schema._update("kept", "new", Schema::REPLACE);
    try {
        schema.flush();
        ADD_FAILURE() << "flush succeeded on a locked store";
    } catch (const Schema::_update_exception& e) {
        EXPECT_NE(std::string(e.what()).find("database is locked"), std::string::npos) << e.what();
    }
    EXPECT_TRUE(schema.hasPendingWrites());
    EXPECT_EQ(schema.getRawData("kept"), Strings{"new"});  // readers are not blocked in WAL mode

    // An auto-flushed write that fails is gone, not left for a later commit.
    EXPECT_THROW(autoSchema._update("lost", "x", Schema::REPLACE), Schema::_update_exception);
    EXPECT_FALSE(autoSchema.exist("lost"));

    otherProcess.exec("COMMIT");
    schema.flush();
    autoSchema._update("later", "y", Schema::REPLACE);
    EXPECT_EQ(open("Workflow").getRawData("kept"), Strings{"new"});
    EXPECT_FALSE(open("Auto").exist("lost"));
}

TEST_F(KeyValueSchemaTest, AWriterInAnotherConnectionIsWaitedFor) {
    KeyValueSchema schema = open("Workflow");
    const std::string file = schema.getStoreFile();
    std::promise<void> locked;
    std::thread otherProcess([&] {
        RawStore raw(file);
        raw.exec("BEGIN IMMEDIATE");
        raw.exec("CREATE TABLE IF NOT EXISTS other (x)");
        locked.set_value();
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
        raw.exec("COMMIT");
    });
    locked.get_future().wait();
    schema._update("k", "v", Schema::REPLACE);
    EXPECT_NO_THROW(schema.flush());  // within the default busy time-out
    otherProcess.join();
    EXPECT_EQ(open("Workflow").getRawData("k"), Strings{"v"});
}

TEST_F(KeyValueSchemaTest, ACorruptTableIsReportedAsAnError) {
    std::string file;
    {
        KeyValueSchema schema = open("Workflow");
        for (int i = 0; i < 300; ++i) schema._update("key" + std::to_string(i), std::string(100, 'v'), Schema::REPLACE);
        schema.flush();
        file = schema.getStoreFile();
    }  // the last connection checkpoints the WAL into the file
    long rootPage = 0;
    long pageSize = 0;
    {
        RawStore raw(file);
        rootPage = std::stol(raw.queryText("SELECT rootpage FROM sqlite_master WHERE name = 'Workflow'"));
        pageSize = std::stol(raw.queryText("PRAGMA page_size"));
        raw.exec("PRAGMA wal_checkpoint(TRUNCATE)");
    }
    ASSERT_GT(rootPage, 1);
    {
        std::fstream out(file, std::ios::binary | std::ios::in | std::ios::out);
        out.seekp((rootPage - 1) * pageSize);
        const std::string garbage(static_cast<std::size_t>(pageSize), '\xAB');
        out.write(garbage.data(), static_cast<std::streamsize>(garbage.size()));
    }

    KeyValueSchema schema = open("Workflow");
    try {
        schema.getRawData("key7");
        ADD_FAILURE() << "a corrupt table was read";
    } catch (const Schema::_query_exception& e) {
        EXPECT_NE(std::string(e.what()).find("malformed"), std::string::npos) << e.what();
    }
    schema._update("key7", "new", Schema::REPLACE);
    EXPECT_THROW(schema.flush(), Schema::_update_exception);
}

TEST_F(KeyValueSchemaTest, ThreadsShareSessionsAndTheConnectionSafely) {
    KeyValueSchema shared = open("Shared");
    const int kThreads = 4;
    const int kRounds = 60;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            // Half the threads use copies of one session, half their own schema.
            KeyValueSchema schema = (t % 2 == 0) ? shared : open("Own" + std::to_string(t));
            const std::string key = "thread" + std::to_string(t);
            for (int round = 0; round < kRounds; ++round) {
                std::lock_guard<std::recursive_mutex> lock(schema.getMutex());
                schema._update(key, std::to_string(round), Schema::REPLACE);
                if (schema.getRawData(key) != Strings{std::to_string(round)}) ++failures;
                if (round % 3 == 0) schema.flush();
            }
            schema.flush();
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    for (int t = 0; t < kThreads; ++t) {
        KeyValueSchema schema = open(t % 2 == 0 ? "Shared" : "Own" + std::to_string(t));
        EXPECT_EQ(schema.getRawData("thread" + std::to_string(t)), Strings{std::to_string(kRounds - 1)});
    }
}

}  // namespace
