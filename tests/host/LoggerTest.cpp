#include "host/Logger.h"

#include <cstdlib>
#include <ctime>
#include <fstream>
#include <map>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "host/LogLine.h"
#include "support/TestSupport.h"

namespace {

std::vector<std::string> readLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

const std::regex kTimestampedLine(R"((\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2})\.\d{3}Z (.*))");

TEST(LogLineTest, KeepsOnlyTheFileNameOfTheSource) {
    struct Case {
        const char* file;
        const char* expected;
    };
    const Case cases[] = {
        {"/home/build/src/plugin/Kestrup.cpp", "Kestrup.cpp[42] -> KESTRUP: text"},
        {"C:\\build\\src\\Kestrup.cpp", "Kestrup.cpp[42] -> KESTRUP: text"},
        {"C:\\build/mixed\\dirs/Kestrup.cpp", "Kestrup.cpp[42] -> KESTRUP: text"},
        {"Kestrup.cpp", "Kestrup.cpp[42] -> KESTRUP: text"},
        {"dir/", "[42] -> KESTRUP: text"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(formatLogLine(c.file, 42, "KESTRUP: text"), c.expected) << c.file;
    }
}

TEST(LogLineTest, MacroUsesCallerLocationAndGoesToTheGivenLogger) {
    testsupport::CapturingLogger log;
    const int line = __LINE__ + 1;
    KS_LOG(Logger::getDefaultInstance(), "KESTRUP: hello " + std::to_string(7));
    ASSERT_EQ(log.lines().size(), 1u);
    EXPECT_EQ(log.lines()[0], "LoggerTest.cpp[" + std::to_string(line) + "] -> KESTRUP: hello 7");
}

TEST(LoggerTest, DefaultInstanceIsTheInstalledOneElseTheBuiltIn) {
    Logger* builtIn = Logger::getDefaultInstance();
    ASSERT_NE(builtIn, nullptr);
    EXPECT_NE(dynamic_cast<DefaultLogger*>(builtIn), nullptr);
    {
        testsupport::CapturingLogger capturing;
        EXPECT_EQ(Logger::getDefaultInstance(), &capturing);
    }
    EXPECT_EQ(Logger::getDefaultInstance(), builtIn) << "the same built-in logger comes back";
    Logger::setDefaultInstance(nullptr);
    EXPECT_EQ(Logger::getDefaultInstance(), builtIn);
}

TEST(DefaultLoggerTest, AppendsUtcTimestampedLinesToItsFile) {
    testsupport::TempDir dir;
    const std::string path = dir.file("host.log");
    {
        std::ofstream existing(path);
        existing << "earlier line\n";
    }

    // A zone far from UTC, so local time in place of UTC shows.
    const char* oldTz = std::getenv("TZ");
    const std::string savedTz = oldTz ? oldTz : "";
    setenv("TZ", "XST-5:30", 1);
    tzset();

    DefaultLogger logger;
    logger.setStderrEnabled(false);
    ASSERT_TRUE(logger.setLogFile(path));
    const std::time_t before = std::time(nullptr);
    logger.log("first");
    logger.log("second with  spaces ");
    const std::time_t after = std::time(nullptr);
    // An empty path stops file output.
    ASSERT_TRUE(logger.setLogFile(""));
    logger.log("not in the file");

    if (oldTz) setenv("TZ", savedTz.c_str(), 1); else unsetenv("TZ");
    tzset();

    const std::vector<std::string> lines = readLines(path);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "earlier line");
    const char* expectedText[] = {"first", "second with  spaces "};
    for (int i = 0; i < 2; ++i) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(lines[i + 1], match, kTimestampedLine)) << lines[i + 1];
        EXPECT_EQ(match[7].str(), expectedText[i]);
        std::tm parts{};
        parts.tm_year = std::stoi(match[1]) - 1900;
        parts.tm_mon = std::stoi(match[2]) - 1;
        parts.tm_mday = std::stoi(match[3]);
        parts.tm_hour = std::stoi(match[4]);
        parts.tm_min = std::stoi(match[5]);
        parts.tm_sec = std::stoi(match[6]);
        const std::time_t stamped = timegm(&parts);
        EXPECT_GE(stamped, before);
        EXPECT_LE(stamped, after);
    }
}

TEST(DefaultLoggerTest, UnopenableFileIsReportedAndLoggingGoesOn) {
    testsupport::TempDir dir;
    DefaultLogger logger;
    logger.setStderrEnabled(false);
    EXPECT_FALSE(logger.setLogFile(dir.file("missing-folder/host.log")));
    EXPECT_FALSE(logger.setLogFile(dir.path())) << "a folder is no log file";
    logger.log("still fine");

    ASSERT_TRUE(logger.setLogFile(dir.file("host.log")));
    logger.log("after recovery");
    const std::vector<std::string> lines = readLines(dir.file("host.log"));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find(" after recovery"), std::string::npos);
}

TEST(DefaultLoggerTest, LinesFromManyThreadsStayWhole) {
    testsupport::TempDir dir;
    const std::string path = dir.file("threads.log");
    DefaultLogger logger;
    logger.setStderrEnabled(false);
    ASSERT_TRUE(logger.setLogFile(path));

    const int threadCount = 4;
    const int linesPerThread = 400;
    // Long lines make a torn write likely if writes were not serialised.
    const std::string filler(300, 'x');
    std::vector<std::thread> threads;
    for (int t = 0; t < threadCount; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < linesPerThread; ++i) {
                logger.log("thread " + std::to_string(t) + " line " + std::to_string(i) + " " + filler);
            }
        });
    }
    for (std::thread& thread : threads) thread.join();

    const std::vector<std::string> lines = readLines(path);
    ASSERT_EQ(lines.size(), static_cast<size_t>(threadCount * linesPerThread));
    const std::regex body(R"(thread (\d+) line (\d+) x{300})");
    std::map<int, int> nextLineOfThread;
    for (const std::string& line : lines) {
        std::smatch stamped;
        ASSERT_TRUE(std::regex_match(line, stamped, kTimestampedLine)) << line;
        const std::string text = stamped[7].str();
        std::smatch parts;
        ASSERT_TRUE(std::regex_match(text, parts, body)) << text;
        // Each thread's lines arrive complete and in its own order.
        const int thread = std::stoi(parts[1]);
        EXPECT_EQ(std::stoi(parts[2]), nextLineOfThread[thread]++);
    }
    for (int t = 0; t < threadCount; ++t) {
        EXPECT_EQ(nextLineOfThread[t], linesPerThread);
    }
}

}  // namespace
