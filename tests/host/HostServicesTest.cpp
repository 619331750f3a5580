// The host's own services: log lines and the default logger, the INI
// configuration store, and path expansion.
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
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

using testsupport::ScopedEnv;

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << text;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> readLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// A line of the default logger: "YYYY-MM-DDTHH:MM:SS.mmmZ text".
const std::regex kStampedLine(R"((\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2})\.\d{3}Z (.*))");

// True when `stamp` ("YYYY-MM-DDTHH:MM:SS") names a UTC second in [from, to].
bool isUtcSecondIn(const std::string& stamp, std::time_t from, std::time_t to) {
    for (std::time_t at = from; at <= to; ++at) {
        std::tm parts{};
        gmtime_r(&at, &parts);
        char text[32];
        std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &parts);
        if (stamp == text) return true;
    }
    return false;
}

// The stored value, or a text saying the key is absent and what `get` left in the
// caller's variable (which it must not touch).
std::string lookup(ConfigurationManager& config, const std::string& key) {
    std::string value = "untouched";
    return config.get(key, value, 0) == 0 ? value : "absent, " + value;
}

TEST(LoggerTest, LineFormatAndDefaultInstance) {
    for (const char* file : {"/home/build/src/plugin/Kestrup.cpp", "C:\\build\\src\\Kestrup.cpp",
                             "C:\\build/mixed\\dirs/Kestrup.cpp", "Kestrup.cpp"}) {
        EXPECT_EQ(formatLogLine(file, 42, "KESTRUP: text"), "Kestrup.cpp[42] -> KESTRUP: text") << file;
    }
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
    Logger::setDefaultInstance(nullptr);
    EXPECT_EQ(Logger::getDefaultInstance(), builtIn);
}

TEST(DefaultLoggerTest, AppendsWholeUtcStampedLinesFromManyThreads) {
    testsupport::TempDir dir;
    const std::string path = dir.file("host.log");
    writeFile(path, "earlier line\n");
    DefaultLogger logger;
    logger.setStderrEnabled(false);
    EXPECT_FALSE(logger.setLogFile(dir.file("missing-folder/host.log")));
    EXPECT_FALSE(logger.setLogFile(dir.path())) << "a folder is no log file";
    logger.log("goes nowhere");
    ASSERT_TRUE(logger.setLogFile(path));
    std::time_t before = 0;
    std::time_t after = 0;
    {
        ScopedEnv zone("TZ", "XST-5:30");  // far from UTC, so local time in place of UTC shows
        tzset();
        before = std::time(nullptr);
        logger.log("first");
        logger.log("second with  spaces ");
        after = std::time(nullptr);
    }
    tzset();
    const int threadCount = 4;
    const int linesPerThread = 400;
    const std::string filler(300, 'x');  // long lines make a torn write likely
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < linesPerThread; ++i) {
                logger.log("thread " + std::to_string(t) + " line " + std::to_string(i) + " " + filler);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    ASSERT_TRUE(logger.setLogFile(""));  // stops file output
    logger.log("not in the file");

    const std::vector<std::string> lines = readLines(path);
    ASSERT_EQ(lines.size(), 3u + threadCount * linesPerThread);
    EXPECT_EQ(lines[0], "earlier line");
    const std::regex body(R"(first|second with  spaces |thread (\d+) line (\d+) x{300})");
    std::map<int, int> nextLineOfThread;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::smatch stamped;
        std::smatch parts;
        ASSERT_TRUE(std::regex_match(lines[i], stamped, kStampedLine)) << lines[i];
        const std::string text = stamped[2].str();
        ASSERT_TRUE(std::regex_match(text, parts, body)) << "torn line: " << text;
        if (i <= 2) {
            EXPECT_EQ(text, i == 1 ? "first" : "second with  spaces ");
            EXPECT_TRUE(isUtcSecondIn(stamped[1], before, after)) << lines[i];
        } else {  // each thread's lines arrive in its own order
            EXPECT_EQ(std::stoi(parts[2]), nextLineOfThread[std::stoi(parts[1])]++);
        }
    }
    for (int t = 0; t < threadCount; ++t) EXPECT_EQ(nextLineOfThread[t], linesPerThread);
}

TEST(IniConfigurationManagerTest, WritesThroughReadsGroupKeysAndReloads) {
    testsupport::TempDir dir;
    const std::string path = dir.file("host.ini");
    IniConfigurationManager config(path);  // a missing file is an empty store
    EXPECT_TRUE(config.isReadable());
    EXPECT_EQ(config.errorText(), "");
    EXPECT_EQ(lookup(config, "Kestrup/InactivityTimeout"), "absent, untouched");
    ASSERT_EQ(config.set("Kestrup/InactivityTimeout", "120", 0), 0);
    ASSERT_EQ(config.set("Kestrup/Url", "http://a,b", 0), 0);
    IniConfigurationManager reopened(path);  // sees the values: they were written through
    EXPECT_EQ(lookup(reopened, "Kestrup/InactivityTimeout"), "120");
    EXPECT_EQ(lookup(reopened, "Kestrup/Url"), "http://a,b");

    writeFile(path, "[Kestrup]\nInactivityTimeout=300\nDownloadRetries = 4\nEmpty=\nMirrors=a, b\n"
                    "[Identities]\nDomainID=domain-1\n");
    EXPECT_EQ(config.reload(), 0);
    EXPECT_EQ(lookup(config, "Kestrup/InactivityTimeout"), "300");
    EXPECT_EQ(lookup(config, "Kestrup/DownloadRetries"), "4");
    EXPECT_EQ(lookup(config, "Identities/DomainID"), "domain-1");
    EXPECT_EQ(lookup(config, "Kestrup/Empty"), "") << "present but empty is present";
    EXPECT_EQ(lookup(config, "Kestrup/Mirrors"), "a, b") << "a comma does not lose the value";
    for (const char* key : {"Kestrup/Url", "Other/InactivityTimeout", "InactivityTimeout", "Kestrup", ""}) {
        EXPECT_EQ(lookup(config, key), "absent, untouched") << key;
    }
}

TEST(IniConfigurationManagerTest, UnusableFilesAreReportedAndNeverOverwritten) {
    testsupport::TempDir dir;
    testsupport::CapturingLogger log;
    const std::string text = "[Kestrup]\nInactivityTimeout=300\nthis line has no equals sign\n";
    const std::string broken = dir.file("broken.ini");
    writeFile(broken, text);
    const std::string folder = dir.file("folder.ini");
    std::filesystem::create_directory(folder);
    const std::string locked = dir.file("locked.ini");
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
    // Repaired on disk, a reload makes the store usable again.
    writeFile(broken, "[Kestrup]\nInactivityTimeout=5\n");
    EXPECT_EQ(config.reload(), 0);
    EXPECT_TRUE(config.isReadable());
    EXPECT_EQ(lookup(config, "Kestrup/InactivityTimeout"), "5");
}

TEST(CorvanePathTest, ExpandsUserDataAndCanonicalises) {
    struct Case {
        const char* xdg;  // null: unset
        const char* home;
        const char* input;
        const char* expected;
    };
    const Case cases[] = {
        {"/data/xdg", "/home/t", "%USER_DATA%/Corvane/Brenmark/", "/data/xdg/Corvane/Brenmark/"},
        {nullptr, "/home/t", "%USER_DATA%/Corvane/Brenmark/", "/home/t/.local/share/Corvane/Brenmark/"},
        // A relative XDG_DATA_HOME is ignored.
        {"relative/xdg", "/home/t", "%USER_DATA%/x", "/home/t/.local/share/x"},
        // Nothing to expand the variable with; a path without it does not need it.
        {nullptr, nullptr, "%USER_DATA%/Corvane/", ""},
        {nullptr, nullptr, "/opt/app/", "/opt/app/"},
        {"/data//xdg/", "/home/t", "%USER_DATA%/Corvane/../Brenmark/", "/data/xdg/Brenmark/"},
        {"/data//xdg/", "/home/t", "/x/%USER_DATA%/y", "/x/data/xdg/y"},
        {"/d", "/home/t", "/a/b/../c", "/a/c"},
        {"/d", "/home/t", "/a/./b/./", "/a/b/"},
        {"/d", "/home/t", "/a//b///c//", "/a/b/c/"},
        {"/d", "/home/t", "/a/b/../", "/a/"},
        {"/d", "/home/t", "/../..", "/"},
        {"/d", "/home/t", "", ""},
    };
    for (const Case& c : cases) {
        ScopedEnv xdg("XDG_DATA_HOME", c.xdg);
        ScopedEnv home("HOME", c.home);
        EXPECT_EQ(CorvanePath(c.input).getCanonicalPath(), c.expected) << c.input;
    }

    const std::string cwd = std::filesystem::current_path().generic_string();
    EXPECT_EQ(CorvanePath("folder/file.txt").getCanonicalPath(), cwd + "/folder/file.txt");
    EXPECT_EQ(CorvanePath("./folder/").getCanonicalPath(), cwd + "/folder/");
}

}  // namespace
