// The typed persistence helper against a real store: values of every type, the
// result codes 0/1/2 and the log line of every failure.
#include <cstdint>
#include <fstream>
#include <functional>
#include <limits>
#include <list>
#include <regex>
#include <string>

#include <boost/lexical_cast.hpp>
#include <gtest/gtest.h>

#include "PersistenceHelper.h"
#include "RawStore.h"
#include "support/TestSupport.h"
#include "host/XMLTool.h"
#include "payloads/Manifest.h"

using Strings = std::list<std::string>;

namespace {

const char* const kSchema = "TypedSchema";
const char* const kDomain = "test-domain";

KSFile makeFile(const std::string& arguments, int mirrors) {
    KSFile file;
    file.setArguments(arguments);
    file.setDigest("d41d8cd98f00b204e9800998ecf8427e");
    std::list<KSMirror> list;
    for (int i = 0; i < mirrors; ++i)
        list.push_back(KSMirror("http://mirror" + std::to_string(i) + ".example/setup.exe?a=1&b=<2>",
                                "http://eula.example/" + std::to_string(i)));
    file.setMirrors(list);
    return file;
}

// The message of a line logged from the helper's header ("" for any other line).
std::string helperMessage(const std::string& line) {
    static const std::regex prefix(R"(^PersistenceHelper\.h\[[0-9]+\] -> )");
    std::smatch match;
    if (!std::regex_search(line, match, prefix)) return "";
    return line.substr(static_cast<std::size_t>(match.length()));
}

bool startsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

class PersistenceHelperTest : public ::testing::Test {
protected:
    void SetUp() override { PersistentManager::setStoreFolder(dir.path()); }
    void TearDown() override { PersistentManager::setStoreFolder(""); }

    // Another session on the helper's table, to look at what reached the store.
    KeyValueSchema inspect(const std::string& type = "") {
        return PersistentManager(dir.path()).initLocal(kSchema, kDomain, "", type, {});
    }

    testsupport::TempDir dir;
    testsupport::CapturingLogger logger;
    testsupport::MemoryConfiguration configuration{{{"Identities/DomainID", kDomain}}};
};

TEST_F(PersistenceHelperTest, EveryTypeRoundTripsAndSurvivesARestart) {
    const std::list<int32_t> ints = {0, -1, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max()};
    const std::list<int64_t> times = {0, 1700000000, std::numeric_limits<int64_t>::min(),
                                      std::numeric_limits<int64_t>::max()};
    const std::list<std::string> strings = {"", "plain", "<a href=\"x\">&amp; 'q'</a> ]]>", "  spaced\nlines\t ",
                                            "\xc3\xbc\xe2\x82\xac"};
    const std::list<KSFile> files = {makeFile("/S /quiet", 3), makeFile("", 0)};

    auto check = [&](PersistenceHelper& helper) {
        int n = 0;
        for (int32_t v : ints) {
            int32_t out = 7;
            EXPECT_EQ(helper.get("int" + std::to_string(n++), out), 0);
            EXPECT_EQ(out, v);
        }
        n = 0;
        for (int64_t v : times) {
            int64_t out = 7;
            EXPECT_EQ(helper.get("time" + std::to_string(n++), out), 0);
            EXPECT_EQ(out, v);
        }
        n = 0;
        for (const std::string& v : strings) {
            std::string out = "unset";
            EXPECT_EQ(helper.get("string" + std::to_string(n++), out), 0);
            EXPECT_EQ(out, v);
        }
        n = 0;
        for (const KSFile& v : files) {
            KSFile out;
            EXPECT_EQ(helper.get("file" + std::to_string(n++), out), 0);
            EXPECT_TRUE(out == v) << "file" << n - 1;
        }
    };
    {
        PersistenceHelper helper(kSchema, "", "");
        ASSERT_TRUE(helper.isOpen());
        int n = 0;
        for (int32_t v : ints) EXPECT_EQ(helper.insert("int" + std::to_string(n++), v, false), 0);
        n = 0;
        for (int64_t v : times) EXPECT_EQ(helper.insert("time" + std::to_string(n++), v, false), 0);
        n = 0;
        for (const std::string& v : strings) EXPECT_EQ(helper.insert("string" + std::to_string(n++), v, false), 0);
        n = 0;
        for (const KSFile& v : files) EXPECT_EQ(helper.insert("file" + std::to_string(n++), v, false), 0);
        check(helper);  // pending values read back
        EXPECT_EQ(helper.insert("int0", ints.front(), true), 0);
    }
    PersistenceHelper restarted(kSchema, "", "");
    check(restarted);
    EXPECT_TRUE(logger.lines().empty());
}

TEST_F(PersistenceHelperTest, AnUnflushedInsertIsSavedByTheNextFlushOnly) {
    {
        PersistenceHelper helper(kSchema, "", "");
        EXPECT_EQ(helper.insert("first", int32_t(1), false), 0);
        EXPECT_TRUE(helper.exists("first"));
        EXPECT_FALSE(inspect().exist("first"));
        EXPECT_EQ(helper.insert("second", int32_t(2), true), 0);
        EXPECT_TRUE(inspect().exist("first"));
        EXPECT_TRUE(inspect().exist("second"));
        EXPECT_EQ(helper.insert("third", int32_t(3), false), 0);
        EXPECT_EQ(helper.removeAll(false), 0);
        EXPECT_FALSE(helper.exists("second"));
        EXPECT_TRUE(inspect().exist("second"));
    }  // destroyed without a flush
    PersistenceHelper restarted(kSchema, "", "");
    EXPECT_TRUE(restarted.exists("first"));
    EXPECT_TRUE(restarted.exists("second"));
    EXPECT_FALSE(restarted.exists("third"));
    EXPECT_EQ(restarted.removeAll(true), 0);
    EXPECT_FALSE(inspect().exist("first"));
}

// One failing operation per case: the result, and exactly one log line.
struct FailureCase {
    std::string name;
    std::function<void(KeyValueSchema&)> prepare;    // writes through a plain session
    std::function<int(PersistenceHelper&)> operation;
    std::string expectedMessage;                     // the whole message after "] -> "
};

std::string wrapperText(const std::string& root, const std::string& data) {
    std::unique_ptr<IXMLTool> writer = bootStrapCreate();
    writer->setRootName(root);
    writer->writeField("data", data);
    return writer->text();
}

TEST_F(PersistenceHelperTest, FailedReadsReturnTwoLogTheReasonAndLeaveTheOutputAlone) {
    const std::string castMessage = boost::bad_lexical_cast().what();
    const std::string stringText = String("not a number").serialize();
    const std::vector<FailureCase> cases = {
        {"missing key", [](KeyValueSchema&) {},
         [](PersistenceHelper& h) { int32_t out = 5; int r = h.get("missing", out); EXPECT_EQ(out, 5); return r; },
         "KESTRUP: Schema get failed. Reason: KeyValueSchema error get() due to: invalid key ->missing"},
        {"two values", [](KeyValueSchema&) {},
         [](PersistenceHelper& h) { std::string out = "x"; int r = h.get("twice", out); EXPECT_EQ(out, "x"); return r; },
         "KESTRUP: Schema get failed. Reason: KeyValueSchema error get() due to: there are more than one value for "
         "this key ->twice"},
        {"string read as int", [&](KeyValueSchema& s) { s._update("text", stringText, Schema::REPLACE); },
         [](PersistenceHelper& h) { int32_t out = 5; int r = h.get("text", out); EXPECT_EQ(out, 5); return r; },
         "KESTRUP: Schema get failed. Reason: KeyValueSchema error get() due to: Can't unwrap the serialized object: " +
             stringText},
        {"string read as file", [&](KeyValueSchema& s) { s._update("text", stringText, Schema::REPLACE); },
         [](PersistenceHelper& h) { KSFile out = makeFile("keep", 1); int r = h.get("text", out);
                                    EXPECT_TRUE(out == makeFile("keep", 1)); return r; },
         "KESTRUP: Schema get failed. Reason: KeyValueSchema error get() due to: Can't unwrap the serialized object: " +
             stringText},
        {"int data not decimal",
         [](KeyValueSchema& s) { s._update("bad", wrapperText("IntWrapper", "12abc"), Schema::REPLACE); },
         [](PersistenceHelper& h) { int32_t out = 5; int r = h.get("bad", out); EXPECT_EQ(out, 5); return r; },
         "KESTRUP: Schema get failed. Reason: Can't convert wrapped type, lexical cast exception: " + castMessage},
        {"int data out of range",
         [](KeyValueSchema& s) { s._update("big", wrapperText("IntWrapper", "2147483648"), Schema::REPLACE); },
         [](PersistenceHelper& h) { int32_t out = 5; int r = h.get("big", out); EXPECT_EQ(out, 5); return r; },
         "KESTRUP: Schema get failed. Reason: Can't convert wrapped type, lexical cast exception: " + castMessage},
        {"time data empty",
         [](KeyValueSchema& s) { s._update("when", wrapperText("TimeWrapper", ""), Schema::REPLACE); },
         [](PersistenceHelper& h) { int64_t out = 5; int r = h.get("when", out); EXPECT_EQ(out, 5); return r; },
         "KESTRUP: Schema get failed. Reason: Can't convert wrapped type, lexical cast exception: " + castMessage},
    };
    {
        KeyValueSchema multi = inspect(KeyValueSchema::MULTI_VALUED);
        multi._update("twice", String("a").serialize(), Schema::APPEND);
        multi._update("twice", String("b").serialize(), Schema::APPEND);
    }
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        KeyValueSchema plain = inspect();
        c.prepare(plain);
        PersistenceHelper helper(kSchema, "", "");
        logger.clear();
        EXPECT_EQ(c.operation(helper), 2);
        const auto lines = logger.lines();
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(helperMessage(lines[0]), c.expectedMessage) << lines[0];
    }
}

TEST_F(PersistenceHelperTest, FailedWritesReturnTwoAndLogTheReason) {
    // A multi-valued schema refuses the typed update.
    {
        PersistenceHelper multi(kSchema, "", KeyValueSchema::MULTI_VALUED);
        EXPECT_EQ(multi.insert("k", std::string("v"), true), 2);
        ASSERT_EQ(logger.lines().size(), 1u);
        EXPECT_EQ(helperMessage(logger.lines()[0]),
                  "KESTRUP: Schema insert failed. Reason: KeyValueSchema update() exception due to: "
                  "Can't update on multivalued schema");
    }

    // Database errors: the table vanishes under the helper.
    PersistenceHelper helper(kSchema, "", "");
    EXPECT_EQ(helper.insert("k", int32_t(1), true), 0);
    storetest::RawStore(inspect().getStoreFile()).exec(std::string("DROP TABLE \"") + kSchema + "\"");

    // Reads first: a failed write stays pending and would answer them from memory.
    struct { std::string name; std::function<int()> operation; std::string message; } cases[] = {
        {"exists", [&] { return helper.exists("k") ? 0 : 2; }, "KESTRUP: Schema exists(key) failed. Reason: "},
        {"get", [&] { int32_t out; return helper.get("k", out); }, "KESTRUP: Schema get failed. Reason: "},
        {"insert", [&] { return helper.insert("k", int32_t(2), true); }, "KESTRUP: Schema insert failed. Reason: "},
        {"remove all", [&] { return helper.removeAll(true); }, "KESTRUP: Schema remove all failed. Reason: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        logger.clear();
        EXPECT_EQ(c.operation(), 2);
        const auto lines = logger.lines();
        ASSERT_EQ(lines.size(), 1u);
        const std::string message = helperMessage(lines[0]);
        EXPECT_TRUE(startsWith(message, c.message)) << lines[0];
        EXPECT_NE(message.find("no such table"), std::string::npos) << lines[0];  // SQLite's message
    }
}

TEST_F(PersistenceHelperTest, AnUnopenedSchemaAnswersOneAndLogsNothingMore) {
    std::ofstream(dir.file("plain-file")) << "x";
    struct { std::string name; std::function<void()> arrange; std::string reasonPart; } cases[] = {
        {"store folder below a file", [&] { PersistentManager::setStoreFolder(dir.file("plain-file") + "/store"); },
         "cannot create the store folder"},
        {"garbage store file",
         [&] {
             PersistentManager::setStoreFolder(dir.path());
             std::ofstream(PersistentManager().storeFile(kDomain), std::ios::binary) << std::string(8192, 'G');
         },
         "file is not a database"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        c.arrange();
        logger.clear();
        PersistenceHelper helper(kSchema, "", "");
        EXPECT_FALSE(helper.isOpen());
        ASSERT_EQ(logger.lines().size(), 1u);
        const std::string message = helperMessage(logger.lines()[0]);
        EXPECT_TRUE(startsWith(message, "KESTRUP: Init schema failed. Reason: ")) << logger.lines()[0];
        EXPECT_NE(message.find(c.reasonPart), std::string::npos) << message;

        int32_t number = 5;
        int64_t time = 5;
        std::string text = "keep";
        KSFile file = makeFile("keep", 1);
        EXPECT_EQ(helper.get("k", number), 1);
        EXPECT_EQ(helper.get("k", time), 1);
        EXPECT_EQ(helper.get("k", text), 1);
        EXPECT_EQ(helper.get("k", file), 1);
        EXPECT_EQ(helper.insert("k", int32_t(1), true), 1);
        EXPECT_EQ(helper.insert("k", int64_t(1), false), 1);
        EXPECT_EQ(helper.insert("k", std::string("v"), true), 1);
        EXPECT_EQ(helper.insert("k", makeFile("x", 0), true), 1);
        EXPECT_EQ(helper.removeAll(true), 1);
        EXPECT_FALSE(helper.exists("k"));
        EXPECT_EQ(number, 5);
        EXPECT_EQ(text, "keep");
        EXPECT_EQ(logger.lines().size(), 1u);
    }
}

TEST_F(PersistenceHelperTest, TheDomainIdComesFromTheConfiguration) {
    {
        PersistenceHelper helper(kSchema, "", "");
        EXPECT_EQ(helper.insert("k", int32_t(1), true), 0);
        EXPECT_TRUE(logger.lines().empty());
        EXPECT_TRUE(inspect().exist("k"));  // the configured domain's file
    }
    // Without the key, and without any configuration store, the empty domain is used.
    testsupport::MemoryConfiguration empty;
    for (bool withStore : {true, false}) {
        SCOPED_TRACE(withStore ? "key missing" : "no configuration store");
        if (!withStore) ConfigurationManager::setDefaultInstance(nullptr);
        logger.clear();
        PersistenceHelper helper(kSchema, "", "");
        ASSERT_TRUE(helper.isOpen());
        EXPECT_FALSE(helper.exists("k"));
        EXPECT_EQ(helper.insert("empty-domain", int32_t(withStore), true), 0);
        ASSERT_EQ(logger.lines().size(), 1u);
        EXPECT_EQ(helperMessage(logger.lines()[0]), "KESTRUP: Could not get DomainID from config.ini");
    }
    ConfigurationManager::setDefaultInstance(&empty);
    EXPECT_TRUE(PersistentManager(dir.path()).initLocal(kSchema, "", "", "", {}).exist("empty-domain"));
}

}  // namespace
