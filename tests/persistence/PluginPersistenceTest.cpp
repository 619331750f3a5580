// The typed persistence helper and the workflow state on a real store: every type,
// flushes, restarts, each failure's code and log line, Idle, unusable stores.
#include <cstdint>
#include <fstream>
#include <functional>
#include <limits>
#include <list>
#include <regex>
#include <string>
#include <vector>

#include <boost/lexical_cast.hpp>
#include <gtest/gtest.h>

#include "KSPersistentState.h"
#include "PersistenceHelper.h"
#include "RawStore.h"
#include "support/TestSupport.h"
#include "bus/UUId.h"
#include "host/XMLTool.h"
#include "payloads/Manifest.h"
#include "payloads/RequestPayloads.h"

namespace {

const char* const kSchema = "KSPersistentStateSchema";
const char* const kDomain = "test-domain";
const char* const kApplication = "3f0c2a4e-9b1d-4c6e-8f00-0123456789ab";

KSFile makeFile(const std::string& arguments) {
    KSFile file;
    file.setArguments(arguments);
    file.setDigest("d41d8cd98f00b204e9800998ecf8427e");
    file.setMirrors({KSMirror("http://a.example/setup.exe?a=1&b=<2>", "http://a.example/eula"),
                     KSMirror("http://b.example/setup.exe", "")});
    return file;
}

// Writes the values under prefix0, prefix1, ... without a flush, or reads them back.
template <class T>
void roundTrip(PersistenceHelper& helper, const std::string& prefix, const std::list<T>& values, bool write) {
    int n = 0;
    for (const T& value : values) {
        const std::string key = prefix + std::to_string(n++);
        T out{};
        EXPECT_EQ(write ? helper.insert(key, value, false) : helper.get(key, out), 0) << key;
        EXPECT_TRUE(write || out == value) << key;
    }
}

// A read of `key` that must leave its output as it was.
template <class T>
std::function<int(PersistenceHelper&)> readKeeping(const std::string& key, const T& sentinel) {
    return [key, sentinel](PersistenceHelper& helper) {
        T out = sentinel;
        const int result = helper.get(key, out);
        EXPECT_TRUE(out == sentinel);
        return result;
    };
}

std::string wrapperText(const std::string& root, const std::string& data) {
    std::unique_ptr<IXMLTool> writer = bootStrapCreate();
    writer->setRootName(root);
    writer->writeField("data", data);
    return writer->text();
}

class PluginPersistenceTest : public ::testing::Test {
protected:
    void SetUp() override { PersistentManager::setStoreFolder(dir.path()); }
    void TearDown() override { PersistentManager::setStoreFolder(""); }

    // An auto-flushed session on the schema's table: what reached the store file.
    KeyValueSchema store(const std::string& type = "") {
        return PersistentManager(dir.path()).initLocal(kSchema, kDomain, "", type, {});
    }

    // The message of the one line logged since the last clear, from the helper's header.
    std::string onlyMessage() {
        const auto lines = logger.lines();
        if (lines.size() != 1) return std::to_string(lines.size()) + " lines logged";
        static const std::regex prefix(R"(^PersistenceHelper\.h\[[0-9]+\] -> )");
        std::smatch match;
        if (!std::regex_search(lines[0], match, prefix)) return "from elsewhere: " + lines[0];
        return lines[0].substr(static_cast<std::size_t>(match.length()));
    }

    testsupport::TempDir dir;
    testsupport::CapturingLogger logger;
    testsupport::MemoryConfiguration configuration{{{"Identities/DomainID", kDomain}}};
};

TEST_F(PluginPersistenceTest, EveryTypeRoundTripsAndOnlyFlushedValuesSurviveARestart) {
    const std::list<int32_t> ints = {0, -1, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()};
    const std::list<int64_t> times = {1700000000, std::numeric_limits<int64_t>::min(),
                                      std::numeric_limits<int64_t>::max()};
    const std::list<std::string> strings = {"", "<a href=\"x\">&amp; 'q'</a> ]]>", "  spaced\nlines\t ",
                                            "\xc3\xbc\xe2\x82\xac"};
    const std::list<KSFile> files = {makeFile("/S /quiet"), makeFile("")};
    {
        PersistenceHelper helper(kSchema, "", "");
        ASSERT_TRUE(helper.isOpen());
        for (bool write : {true, false}) {  // pending values read back at once
            roundTrip(helper, "int", ints, write);
            roundTrip(helper, "time", times, write);
            roundTrip(helper, "string", strings, write);
            roundTrip(helper, "file", files, write);
        }
        EXPECT_FALSE(store().exist("file0"));
        EXPECT_EQ(helper.insert("last", int32_t(9), true), 0);  // saves everything pending
        EXPECT_EQ(helper.insert("unflushed", int32_t(3), false), 0);
        EXPECT_EQ(helper.removeAll(false), 0);
    }  // destroyed without a flush
    PersistenceHelper restarted(kSchema, "", "");
    roundTrip(restarted, "int", ints, false);
    roundTrip(restarted, "time", times, false);
    roundTrip(restarted, "string", strings, false);
    roundTrip(restarted, "file", files, false);
    EXPECT_TRUE(restarted.exists("last"));
    EXPECT_FALSE(restarted.exists("unflushed"));
    EXPECT_TRUE(logger.lines().empty());
}

TEST_F(PluginPersistenceTest, FailedReadsReturnTwoLogTheReasonAndLeaveTheOutputAlone) {
    const std::string stringText = String("not a number").serialize();
    const std::string unwrapFailed = "KeyValueSchema error get() due to: Can't unwrap the serialized object: " + stringText;
    const std::string castFailed =
        std::string("Can't convert wrapped type, lexical cast exception: ") + boost::bad_lexical_cast().what();
    struct { std::string name; std::string stored; std::function<int(PersistenceHelper&)> read; std::string reason; }
    cases[] = {
        {"missing key", "", readKeeping("missing", int32_t(5)),
         "KeyValueSchema error get() due to: invalid key ->missing"},
        {"two values", "", readKeeping("twice", std::string("x")),
         "KeyValueSchema error get() due to: there are more than one value for this key ->twice"},
        {"string read as int", stringText, readKeeping("k", int32_t(5)), unwrapFailed},
        {"string read as file", stringText, readKeeping("k", makeFile("keep")), unwrapFailed},
        {"int data not decimal", wrapperText("IntWrapper", "12abc"), readKeeping("k", int32_t(5)), castFailed},
        {"int data out of range", wrapperText("IntWrapper", "2147483648"), readKeeping("k", int32_t(5)), castFailed},
        {"time data empty", wrapperText("TimeWrapper", ""), readKeeping("k", int64_t(5)), castFailed},
    };
    KeyValueSchema multi = store(KeyValueSchema::MULTI_VALUED);
    multi._update("twice", String("a").serialize(), Schema::APPEND);
    multi._update("twice", String("b").serialize(), Schema::APPEND);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        if (!c.stored.empty()) store()._update("k", c.stored, Schema::REPLACE);
        PersistenceHelper helper(kSchema, "", "");
        logger.clear();
        EXPECT_EQ(c.read(helper), 2);
        EXPECT_EQ(onlyMessage(), "KESTRUP: Schema get failed. Reason: " + c.reason);
    }
}

TEST_F(PluginPersistenceTest, FailedWritesReturnTwoAndLogTheReason) {
    {
        PersistenceHelper multi(kSchema, "", KeyValueSchema::MULTI_VALUED);
        EXPECT_EQ(multi.insert("k", std::string("v"), true), 2);
        EXPECT_EQ(onlyMessage(), "KESTRUP: Schema insert failed. Reason: KeyValueSchema update() exception due to: "
                                 "Can't update on multivalued schema");
    }
    // Database errors: the table vanishes under the helper.
    PersistenceHelper helper(kSchema, "", "");
    EXPECT_EQ(helper.insert("k", int32_t(1), true), 0);
    storetest::RawStore(store().getStoreFile()).query(std::string("DROP TABLE \"") + kSchema + "\"");
    // Reads first: a failed write stays pending and would answer them from memory.
    struct { std::string name; std::function<int()> operation; std::string prefix; } cases[] = {
        {"exists", [&] { return helper.exists("k") ? 0 : 2; }, "KESTRUP: Schema exists(key) failed. Reason: "},
        {"get", [&] { int32_t out; return helper.get("k", out); }, "KESTRUP: Schema get failed. Reason: "},
        {"insert", [&] { return helper.insert("k", int32_t(2), true); }, "KESTRUP: Schema insert failed. Reason: "},
        {"remove all", [&] { return helper.removeAll(true); }, "KESTRUP: Schema remove all failed. Reason: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        logger.clear();
        EXPECT_EQ(c.operation(), 2);
        const std::string message = onlyMessage();
        EXPECT_EQ(message.rfind(c.prefix, 0), 0u) << message;
        EXPECT_NE(message.find("no such table"), std::string::npos) << message;  // SQLite's message
    }
}

TEST_F(PluginPersistenceTest, TheDomainIdComesFromTheConfiguration) {
    store()._update("k", Int(1).serialize(), Schema::REPLACE);  // in the configured domain's file
    // Without the key, and without any configuration store, the empty domain is used.
    testsupport::MemoryConfiguration empty;
    for (bool withStore : {true, false}) {
        SCOPED_TRACE(withStore ? "key missing" : "no configuration store");
        if (!withStore) ConfigurationManager::setDefaultInstance(nullptr);
        logger.clear();
        PersistenceHelper helper(kSchema, "", "");
        EXPECT_FALSE(helper.exists("k"));
        EXPECT_EQ(helper.insert("empty-domain", int32_t(withStore), true), 0);
        EXPECT_EQ(onlyMessage(), "KESTRUP: Could not get DomainID from config.ini");
    }
    ConfigurationManager::setDefaultInstance(&empty);
    EXPECT_TRUE(PersistentManager(dir.path()).initLocal(kSchema, "", "", "", {}).exist("empty-domain"));
}

TEST_F(PluginPersistenceTest, TheWorkflowStateAndItsSavedKeysSurviveARestartUntilIdleEmptiesTheSchema) {
    const std::string session = UUId::generate().getValue();
    {
        KSPersistentState state;
        EXPECT_EQ(state.getState(), KSPersistentState::Idle);
        EXPECT_EQ(store().getRawData("state"), std::list<std::string>{Int(1).serialize()});  // a first run saves Idle
        // The last three become durable with the state change that follows.
        EXPECT_EQ((std::vector<int>{state.writeServiceOfferingId(kApplication, true),
                                    state.writeServiceOfferingVersion(4000000000u, true),
                                    state.writeInstallerFile(makeFile("/S")), state.writeLastCheckForUpdate(1700000123),
                                    state.writeRetries(0, false), state.writeInstallerArgs("/S /norestart", false),
                                    state.writeSessionId(session, false)}),
                  std::vector<int>(7, 0));
        state.setState(KSPersistentState::Downloading, true);
        EXPECT_EQ(state.writeInstallerFilename("/tmp/setup.exe", false), 0);  // no flush follows
        state.setState(KSPersistentState::Downloaded, false);
        EXPECT_EQ(state.getState(), KSPersistentState::Downloaded);
    }
    EXPECT_TRUE(logger.lines().empty());
    {
        KSPersistentState state;
        EXPECT_EQ(state.getState(), KSPersistentState::Downloading);
        std::string id, arguments, sessionId, filename;
        KSFile file;
        int64_t lastCheck = 0;
        int32_t retries = -1;
        EXPECT_EQ((std::vector<int>{state.readServiceOfferingId(id), state.readInstallerFile(file),
                                    state.readLastCheckForUpdate(lastCheck), state.readRetries(retries),
                                    state.readInstallerArgs(arguments), state.readSessionId(sessionId),
                                    state.readInstallerFilename(filename)}),
                  (std::vector<int>{0, 0, 0, 0, 0, 0, 2}));
        EXPECT_EQ(id, kApplication);
        EXPECT_TRUE(file == makeFile("/S"));
        EXPECT_EQ(lastCheck, 1700000123);
        EXPECT_EQ(retries, 0);
        EXPECT_EQ(arguments, "/S /norestart");
        EXPECT_EQ(sessionId, session);
        EXPECT_EQ(onlyMessage(), "KESTRUP: Schema get failed. Reason: KeyValueSchema error get() due to: invalid key "
                                 "->installerFilename");
        ServiceOfferingEntity entity;
        EXPECT_TRUE(state.readServiceOffering(entity) && entity.getVersionNumber() == 4000000000u);

        // Entering Idle empties the schema and saves that, whatever the save flag.
        state.setState(KSPersistentState::Idle, false);
        EXPECT_EQ(state.getState(), KSPersistentState::Idle);
        KeyValueSchema saved = store();
        for (const char* key : {"serviceOfferingId", "ksFile", "installerArgs", "sessionId", "state"})
            EXPECT_FALSE(saved.exist(key)) << key;  // the removal was flushed, the new state not
    }
    EXPECT_EQ(KSPersistentState().getState(), KSPersistentState::Idle);
}

// An unreadable stored state gives Idle without being rewritten; a number outside
// the known states is kept as it is.
TEST_F(PluginPersistenceTest, AStoredStateIsTakenAsItIsOrIdleWhenUnreadable) {
    const std::vector<std::pair<std::string, int>> cases = {{String("3").serialize(), 1}, {Int(42).serialize(), 42}};
    for (const auto& [stored, expected] : cases) {
        store()._update("state", stored, Schema::REPLACE);
        EXPECT_EQ(static_cast<int>(KSPersistentState().getState()), expected);
        EXPECT_EQ(store().getRawData("state"), std::list<std::string>{stored});
    }
}

TEST_F(PluginPersistenceTest, ThePersistedOfferingNeedsBothKeysReadableAndAValidId) {
    const ServiceOfferingEntity untouched(UUId("00000000-0000-0000-0000-0000000000aa"), 99);
    const std::string id = String(kApplication).serialize();
    const std::string version = Int(-7).serialize();  // the unsigned version 2^32 - 7
    struct { std::string name; std::string id; std::string version; bool found; } cases[] = {
        {"both valid", id, version, true},
        {"nothing stored", "", "", false},
        {"id only", id, "", false},
        {"version only", "", version, false},
        {"id not a string", Time(12).serialize(), version, false},
        {"version not an integer", id, String("7").serialize(), false},
        {"id not a UUId", String("not-a-uuid").serialize(), version, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        KeyValueSchema raw = store();
        raw.removeAll();
        if (!c.id.empty()) raw._update("serviceOfferingId", c.id, Schema::REPLACE);
        if (!c.version.empty()) raw._update("serviceOfferingVersion", c.version, Schema::REPLACE);
        KSPersistentState state;
        ServiceOfferingEntity entity = untouched;
        EXPECT_EQ(state.readServiceOffering(entity), c.found);
        EXPECT_TRUE(entity == (c.found ? ServiceOfferingEntity(UUId(kApplication), 4294967289u) : untouched));
    }
}

// The helper answers 1 (or false) to everything and logs only its failed opening;
// the workflow state starts Idle and only its cached copy moves.
TEST_F(PluginPersistenceTest, AnUnusableStoreGivesTheNotOpenedResultsAndAnIdleWorkflow) {
    std::ofstream(dir.file("plain-file")) << "x";
    for (bool garbageFile : {false, true}) {
        SCOPED_TRACE(garbageFile ? "garbage store file" : "store folder below a file");
        PersistentManager::setStoreFolder(garbageFile ? dir.path() : dir.file("plain-file") + "/store");
        if (garbageFile) std::ofstream(PersistentManager().storeFile(kDomain)) << std::string(8192, 'G');
        logger.clear();
        PersistenceHelper helper(kSchema, "", "");
        EXPECT_FALSE(helper.isOpen());
        const std::string opening = onlyMessage();
        EXPECT_EQ(opening.rfind("KESTRUP: Init schema failed. Reason: ", 0), 0u) << opening;
        EXPECT_NE(opening.find(garbageFile ? "file is not a database" : "cannot create the store folder"),
                  std::string::npos) << opening;
        int32_t number = 5;
        int64_t time = 5;
        std::string text = "keep";
        KSFile file = makeFile("keep");
        EXPECT_EQ((std::vector<int>{helper.get("k", number), helper.get("k", time), helper.get("k", text),
                                    helper.get("k", file), helper.insert("k", number, true),
                                    helper.insert("k", time, false), helper.insert("k", text, true),
                                    helper.insert("k", file, true), helper.removeAll(true)}),
                  std::vector<int>(9, 1));
        EXPECT_FALSE(helper.exists("k"));
        EXPECT_TRUE(number == 5 && time == 5 && text == "keep" && file == makeFile("keep"));

        // The workflow state starts Idle; only its cached copy moves.
        KSPersistentState state;
        EXPECT_EQ(state.getState(), KSPersistentState::Idle);
        EXPECT_EQ(state.writeInstallerArgs("/S", true), 1);
        EXPECT_EQ(state.readInstallerArgs(text), 1);
        state.setState(KSPersistentState::Downloading, true);
        EXPECT_EQ(state.getState(), KSPersistentState::Downloading);
        ServiceOfferingEntity entity;
        EXPECT_FALSE(state.readServiceOffering(entity));
        EXPECT_EQ(logger.lines().size(), 2u);  // the state's own failed opening, nothing more
    }
}

}  // namespace
