// The host's own services: log lines and the default logger, the INI
// configuration store, and path expansion.
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/ConfigurationManager.h"
#include "host/CorvanePath.h"
#include "host/LogLine.h"
#include "host/Logger.h"
#include "support/TestSupport.h"

namespace {

using testsupport::readFile;
using testsupport::writeFile;

std::vector<std::string> readLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

using testsupport::ScopedEnv;

// The stored value, or a text saying the key is absent and what `get` left in the
// caller's variable (which it must not touch).
std::string lookup(ConfigurationManager& config, const std::string& key) {
    std::string value = "untouched";
    return config.get(key, value, 0) == 0 ? value : "absent, " + value;
}

TEST(LoggerTest, LineFormatAndDefaultInstance) {
    for (const char* file : {"/home/build/src/plugin/Kestrup.cpp", "C:\\build\\src\\Kestrup.cpp",
                             "C:\\build/mixed\\dirs/Kestrup.cpp", "Kestrup.cpp"})
        EXPECT_EQ(formatLogLine(file, 42, "KESTRUP: text"), "Kestrup.cpp[42] -> KESTRUP: text") << file;
    EXPECT_EQ(formatLogLine("dir/", 42, "KESTRUP: text"), "[42] -> KESTRUP: text");

    Logger* builtIn = Logger::getDefaultInstance();
    ASSERT_NE(dynamic_cast<DefaultLogger*>(builtIn), nullptr);
    {
        testsupport::CapturingLogger log;
        const int line = __LINE__ + 1;
        KS_LOG(Logger::getDefaultInstance(), "KESTRUP: hello " + std::to_string(7));
        EXPECT_EQ(log.lines(), std::vector<std::string>{"HostServicesTest.cpp[" + std::to_string(line) +
                                                        "] -> KESTRUP: hello 7"});
    }
    EXPECT_EQ(Logger::getDefaultInstance(), builtIn) << "the same built-in logger comes back";
}

// Lines are "YYYY-MM-DDTHH:MM:SS.mmmZ text" in UTC, appended, on disk as soon as
// log() returns, and whole when many threads log at once.
TEST(DefaultLoggerTest, AppendsWholeUtcStampedLinesFromManyThreads) {
    testsupport::TempDir dir;
    const std::string path = dir.file("host.log");
    writeFile(path, "earlier line\n");
    DefaultLogger logger;
    logger.setStderrEnabled(false);
    EXPECT_FALSE(logger.setLogFile(dir.file("missing-folder/host.log")));
    EXPECT_FALSE(logger.setLogFile(dir.path())) << "a folder is no log file";
    ASSERT_TRUE(logger.setLogFile(path));
    std::time_t before = 0;
    {
        ScopedEnv zone("TZ", "XST-5:30");  // far from UTC, so local time in place of UTC shows
        tzset();
        before = std::time(nullptr);
        logger.log("first");
    }
    tzset();
    const std::vector<std::string> early = readLines(path);  // the logger still holds the file
    ASSERT_EQ(early.size(), 2u);
    std::smatch stamped;
    ASSERT_TRUE(std::regex_match(early[1], stamped, std::regex(R"((\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d)\.\d{3}Z first)")));
    bool utc = false;
    for (std::time_t at = before; at <= std::time(nullptr) && !utc; ++at) {
        char text[32];
        std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", std::gmtime(&at));
        utc = stamped[1] == text;
    }
    EXPECT_TRUE(utc) << early[1];

    const std::string filler(300, 'x');  // long lines make a torn write likely
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i)
                logger.log("thread " + std::to_string(t) + " line " + std::to_string(i) + " " + filler);
        });
    for (std::thread& thread : threads) thread.join();
    ASSERT_TRUE(logger.setLogFile(""));  // stops file output
    logger.log("not in the file");

    const std::vector<std::string> lines = readLines(path);
    ASSERT_EQ(lines.size(), 2u + 4 * 300);
    const std::regex body(R"(\S+Z thread (\d+) line (\d+) x{300})");
    std::map<int, int> nextLineOfThread;
    for (std::size_t i = 2; i < lines.size(); ++i) {
        std::smatch parts;
        ASSERT_TRUE(std::regex_match(lines[i], parts, body)) << "torn line: " << lines[i];
        EXPECT_EQ(std::stoi(parts[2]), nextLineOfThread[std::stoi(parts[1])]++);  // each thread in its own order
    }
}

TEST(IniConfigurationManagerTest, WritesThroughReadsGroupKeysAndReloads) {
    testsupport::TempDir dir;
    const std::string path = dir.file("host.ini");
    IniConfigurationManager config(path);  // a missing file is an empty store
    EXPECT_TRUE(config.isReadable());
    EXPECT_EQ(lookup(config, "Kestrup/InactivityTimeout"), "absent, untouched");
    ASSERT_EQ(config.set("Kestrup/InactivityTimeout", "120", 0), 0);
    ASSERT_EQ(config.set("Kestrup/Url", "http://a,b", 0), 0);
    IniConfigurationManager reopened(path);  // sees the values: they were written through
    EXPECT_EQ(lookup(reopened, "Kestrup/InactivityTimeout") + " " + lookup(reopened, "Kestrup/Url"), "120 http://a,b");

    writeFile(path, "[Kestrup]\nInactivityTimeout=300\nDownloadRetries = 4\nEmpty=\nMirrors=a, b\n"
                    "[Identities]\nDomainID=domain-1\n");
    EXPECT_EQ(config.reload(), 0);
    const std::map<std::string, std::string> expected = {
        {"Kestrup/InactivityTimeout", "300"}, {"Kestrup/DownloadRetries", "4"}, {"Identities/DomainID", "domain-1"},
        {"Kestrup/Empty", ""},  // present but empty is present
        {"Kestrup/Mirrors", "a, b"}, {"Kestrup/Url", "absent, untouched"},
        {"Other/InactivityTimeout", "absent, untouched"}, {"InactivityTimeout", "absent, untouched"},
        {"Kestrup", "absent, untouched"}, {"", "absent, untouched"}};
    for (const auto& [key, value] : expected) EXPECT_EQ(lookup(config, key), value) << key;
}

TEST(IniConfigurationManagerTest, UnusableFilesAreReportedAndNeverOverwritten) {
    testsupport::TempDir dir;
    testsupport::CapturingLogger log;
    const std::string text = "[Kestrup]\nInactivityTimeout=300\nthis line has no equals sign\n";
    const std::string broken = dir.file("broken.ini"), folder = dir.file("folder.ini"), locked = dir.file("locked.ini");
    writeFile(broken, text);
    std::filesystem::create_directory(folder);
    writeFile(locked, "[Kestrup]\nInactivityTimeout=300\n");
    std::vector<std::pair<std::string, std::string>> cases = {{broken, "not a valid INI file"}, {folder, "is a folder"}};
    if (testsupport::lockAway(locked)) cases.emplace_back(locked, "cannot be read");
    for (const auto& [path, reason] : cases) {
        IniConfigurationManager config(path);
        EXPECT_FALSE(config.isReadable()) << path;
        EXPECT_NE(config.errorText().find(reason), std::string::npos) << config.errorText();
        EXPECT_TRUE(log.contains(config.errorText())) << "the fault is logged";
        EXPECT_NE(config.set("Kestrup/InactivityTimeout", "1", 0), 0) << path;
        EXPECT_NE(config.reload(), 0) << path;
    }
    EXPECT_EQ(readFile(broken), text);
    EXPECT_TRUE(std::filesystem::is_directory(folder));

    IniConfigurationManager config(broken);
    EXPECT_FALSE(config.isReadable()) << "a second store on the same file sees the fault too";
    writeFile(broken, "[Kestrup]\nInactivityTimeout=5\n");  // repaired on disk, a reload makes it usable
    EXPECT_EQ(config.reload(), 0);
    EXPECT_EQ(lookup(config, "Kestrup/InactivityTimeout"), "5");
}

TEST(CorvanePathTest, ExpandsUserDataAndCanonicalises) {
    const std::string cwd = std::filesystem::current_path().generic_string();
    struct Case {
        const char *xdg, *home, *input;  // null: unset
        std::string expected;
    } const cases[] = {
        {"/data/xdg", "/home/t", "%USER_DATA%/Corvane/Brenmark/", "/data/xdg/Corvane/Brenmark/"},
        {nullptr, "/home/t", "%USER_DATA%/Corvane/Brenmark/", "/home/t/.local/share/Corvane/Brenmark/"},
        {"relative/xdg", "/home/t", "%USER_DATA%/x", "/home/t/.local/share/x"},  // a relative one is ignored
        // Nothing to expand the variable with; a path without it does not need it.
        {nullptr, nullptr, "%USER_DATA%/Corvane/", ""},
        {nullptr, nullptr, "/opt/app/", "/opt/app/"},
        {"/data//xdg/", "/home/t", "%USER_DATA%/Corvane/../Brenmark/", "/data/xdg/Brenmark/"},
        {"/data//xdg/", "/home/t", "/x/%USER_DATA%/y", "/x/data/xdg/y"},
        {"/d", "/h", "/a/b/../c", "/a/c"}, {"/d", "/h", "/a/./b/./", "/a/b/"}, {"/d", "/h", "/a//b///c//", "/a/b/c/"},
        {"/d", "/h", "/a/b/../", "/a/"}, {"/d", "/h", "/../..", "/"}, {"/d", "/h", "", ""},
        {"/d", "/h", "folder/file.txt", cwd + "/folder/file.txt"},
        {"/d", "/h", "./folder/", cwd + "/folder/"},
    };
    for (const Case& c : cases) {
        ScopedEnv xdg("XDG_DATA_HOME", c.xdg), home("HOME", c.home);
        EXPECT_EQ(CorvanePath(c.input).getCanonicalPath(), c.expected) << c.input;
    }
}

}  // namespace
