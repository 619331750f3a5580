// kestrup-host after an update, on the offline demo in a temporary folder: the
// health check of the new version and the rollback, the hold list, failures that
// name what failed where, and the install window.
#include <chrono>
#include <ctime>
#include <regex>
#include <string>
#include <vector>

#include <QJsonDocument>
#include <QJsonObject>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "HostProcess.h"
#include "LoopbackServer.h"
#include "support/TestSupport.h"

namespace {

using apptest::Demo;
using apptest::Finished;
using apptest::has;
using apptest::shown;
using testsupport::readFile;
using testsupport::writeFile;

const char* const kApp = "7d3c9a4e-2f61-4b8a-9c05-5e1f2a3b4c6d";

void writeScript(const std::string& path, const std::string& body) {
    writeFile(path, "#!/bin/sh\n" + body + "\n");
    ::chmod(path.c_str(), 0755);
}

class AfterUpdateTest : public ::testing::Test {
protected:
    testsupport::TempDir dir;
};

TEST_F(AfterUpdateTest, HealthCheckDecidesWhetherTheReleaseIsKeptOrRolledBackAndHeld) {
    struct Case {
        const char* name;
        const char* command;  // Host/HealthCommand
        const char* said;     // what the start after the install says
        const char* report;   // in the POSTed health report
    };
    const Case cases[] = {
        {"passes", "./check.sh 0", "The new version 2 passed its health check.", "outcome=\"healthy\""},
        {"fails", "./check.sh 3", "its health check exited with code 3.", "outcome=\"failed\" exitCode=\"3\""},
        {"hangs", "./check.sh hang", "its health check did not end within 1 seconds and was killed.",
         "outcome=\"timedOut\""},
        {"missing", "./no-such-check", "its health check could not be started", "outcome=\"notStarted\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Demo demo(dir.file(c.name));
        ASSERT_TRUE(demo.ready());
        servicetests::LoopbackServer server(demo.file(""));
        ASSERT_TRUE(server.started()) << server.startError();
        writeScript(demo.file("check.sh"), "[ \"$1\" = hang ] && exec sleep 60\nexit \"$1\"");
        writeScript(demo.file("rollback.sh"), "echo \"$@\" >> rollback.log\n"
                                   "sed -i 's/version=\"2\"/version=\"1\"/' registry.xml");
        demo.set("Host/HealthCommand", c.command);
        demo.set("Host/HealthTimeout", "1");
        demo.set("Host/RollbackCommand", "./rollback.sh");
        demo.set("Host/ReportUrl", server.url("/report"));
        demo.set("Host/NoProxy", "*");
        const Finished update = demo.host({"update", "--app", kApp});
        ASSERT_EQ(0, update.exitCode) << shown(update);

        // The installer runs on its own: the next start looks at what it left.
        ASSERT_TRUE(testsupport::waitFor(
            [&] { return has(readFile(demo.file("registry.xml")), "id=\"" + std::string(kApp) + "\" version=\"2\""); },
            std::chrono::seconds(60)));
        const bool healthy = std::string(c.name) == "passes";
        const Finished status = demo.host({"status", "--app", kApp});
        EXPECT_TRUE(has(healthy ? status.out : status.err, c.said)) << shown(status);
        EXPECT_TRUE(has(demo.log(), healthy ? "is healthy" : "is unhealthy")) << demo.log();
        EXPECT_EQ(healthy ? "" : "1 2\n", readFile(demo.file("rollback.log"))) << "runs once, old and new version";

        std::string health;  // the installed version is reported beside it, in either order
        for (const std::string& report : server.reports()) {
            if (has(report, "<updateHealth ")) health += report;
        }
        EXPECT_TRUE(has(health, "<updateHealth applicationId=\"" + std::string(kApp) +
                                    "\" version=\"2\" previousVersion=\"1\" " + c.report))
            << health;
        EXPECT_TRUE(has(health, healthy ? "rollback=\"none\"/>" : "rollback=\"done\" rollbackExitCode=\"0\"/>"))
            << "one report: " << health;

        // The held release is still the feed's newest: no update, and why.
        const Finished after = demo.host({"status", "--app", kApp});
        EXPECT_EQ(2, after.exitCode) << shown(after);
        EXPECT_EQ(!healthy, has(after.out, "held back: version 2 of " + std::string(kApp) + " is on hold"))
            << shown(after);
        EXPECT_EQ(!healthy, has(after.out, "Last failure (")) << shown(after);
        EXPECT_EQ(!healthy, has(demo.host({"hold", "list"}).out, std::string(kApp) + " 2"));
    }
}

TEST_F(AfterUpdateTest, HeldReleaseIsSkippedForTheNextOneAndAnUnreadableListIsNeverOverwritten) {
    const Demo demo(dir.file("demo"));
    ASSERT_TRUE(demo.ready());
    // Version 3, the newest, comes from a mirror that does not exist: offering it fails the download.
    const std::string feed = readFile(demo.file("feed.xml"));
    const std::size_t begin = feed.find("<release version=\"2\"");
    const std::size_t end = feed.find("</release>", begin) + std::string("</release>").size();
    ASSERT_NE(std::string::npos, begin);
    const std::string three = std::regex_replace(
        std::regex_replace(feed.substr(begin, end - begin), std::regex("version=\"2\""), "version=\"3\""),
        std::regex("url=\"[^\"]*\""), "url=\"file://" + demo.file("no-such-installer") + "\"");
    writeFile(demo.file("feed.xml"), feed.substr(0, begin) + three + "\n    " + feed.substr(begin));
    ASSERT_EQ(0, demo.host({"hold", "add", kApp, "3"}).exitCode);
    const Finished list = demo.host({"hold", "list"});
    EXPECT_EQ(std::string(kApp) + " 3\n", list.out) << shown(list);

    const Finished update = demo.host({"update", "--app", kApp});
    ASSERT_EQ(0, update.exitCode) << "release 2 is offered in its place: " << shown(update);
    EXPECT_TRUE(has(demo.log(), "version 3 of " + std::string(kApp) + " is on hold and not offered")) << demo.log();

    ASSERT_EQ(0, demo.host({"hold", "clear", kApp, "3"}).exitCode);
    EXPECT_EQ("No release is on hold.\n", demo.host({"hold", "list"}).out);

    writeFile(demo.file("data/hold-list"), "not a release\n");
    const Finished unreadable = demo.host({"hold", "add", kApp, "4"});
    EXPECT_EQ(70, unreadable.exitCode);
    EXPECT_TRUE(has(unreadable.err, "hold-list line 1 is not \"APPLICATION-ID VERSION\"")) << unreadable.err;
    EXPECT_EQ("not a release\n", readFile(demo.file("data/hold-list"))) << "an unreadable list is never overwritten";
    const Finished bad = demo.host({"hold", "add", kApp, "x"});
    EXPECT_EQ(64, bad.exitCode);
    EXPECT_TRUE(has(bad.err, "'x' is not a version")) << bad.err;
}

TEST_F(AfterUpdateTest, AnUnreadableHoldListIsLoggedAndThenTakenAsEmpty) {
    const Demo demo(dir.file("demo"));
    ASSERT_TRUE(demo.ready());
    ASSERT_EQ(0, demo.host({"hold", "add", kApp, "2"}).exitCode);
    writeFile(demo.file("data/hold-list"), std::string(kApp) + " 2\n" + kApp + " two\n");
    const Finished update = demo.host({"update", "--app", kApp});
    EXPECT_EQ(0, update.exitCode) << shown(update);
    const std::string log = demo.log();
    const std::size_t said = log.find("The hold list cannot be used (");
    EXPECT_NE(std::string::npos, said) << log;
    EXPECT_LT(said, log.find("applications have newer releases")) << "logged before the check goes on without it";
}

TEST_F(AfterUpdateTest, FailuresNameTheFeedOrTheMirrorItsAnswerAndTheBytesAndStatusKeepsTheLast) {
    struct Case {
        std::string mirror;  // below the loopback server; "": the feed itself is broken
        int exitCode;
        std::vector<std::string> said;
    };
    const std::vector<Case> cases = {
        {"refused", 4, {"Couldn't connect to server", "no HTTP answer", "0 bytes of an unknown size received"}},
        {"/status/404", 4, {"HTTP status 404", "0 bytes of an unknown size received"}},
        {"/stall/install-demo-app-2.sh?after=100", 4, {"no data for 1 seconds", "HTTP status 200", "100 of "}},
        {"/wrong/install-demo-app-2.sh", 4, {"digest mismatch", "HTTP status 200", "(code 773)"}},
        {"", 3, {"feed.xml is malformed", "version"}},
    };
    int number = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.mirror);
        const Demo demo(dir.file("demo" + std::to_string(++number)));
        ASSERT_TRUE(demo.ready());
        servicetests::LoopbackServer server(demo.file(""));
        ASSERT_TRUE(server.started()) << server.startError();
        demo.set("Host/NoProxy", "*");
        demo.set("Host/StallTimeout", "1");
        demo.set("Kestrup/DownloadRetries", "0");
        const std::string size = std::to_string(readFile(demo.file("install-demo-app-2.sh")).size());
        const std::string url = c.mirror == "refused" ? "http://127.0.0.1:1/app.sh" : server.url(c.mirror);
        if (c.mirror.empty()) {
            demo.editFeed("version=\"2\"", "version=\"two\"");
        } else {
            demo.editFeed("url=\"[^\"]*\"", "url=\"" + url + "\"");
        }
        const Finished update = demo.host({"update", "--app", kApp});
        EXPECT_EQ(c.exitCode, update.exitCode) << shown(update);
        std::vector<std::string> said = c.said;
        said.push_back(c.mirror.empty() ? demo.file("feed.xml") : "[mirror " + url + ", ");
        if (c.mirror.find("/wrong/") == 0) said.push_back(size + " of " + size + " bytes received");
        if (c.mirror.find("/stall/") == 0) said.push_back("of " + size + " bytes received");

        const Finished status = demo.host({"status", "--json", "--app", kApp});
        const QJsonObject facts = QJsonDocument::fromJson(QByteArray::fromStdString(status.out)).object();
        const std::string last = facts["lastFailure"].toObject()["text"].toString().toStdString();
        EXPECT_FALSE(facts["lastFailure"].toObject()["time"].toString().isEmpty()) << status.out;
        for (const std::string& part : said) {
            EXPECT_TRUE(has(update.err, part)) << part << "\n" << shown(update);
            EXPECT_TRUE(has(last, part)) << part << "\n" << status.out;
        }
        EXPECT_TRUE(c.mirror.empty() || has(demo.log(), "[mirror " + url)) << "the log names it too";
    }
}

// "HH:MM" of the local time `minutes` from now.
std::string clockIn(int minutes) {
    const std::time_t at = std::time(nullptr) + minutes * 60;
    char text[8];
    std::strftime(text, sizeof(text), "%H:%M", std::localtime(&at));
    return text;
}

TEST_F(AfterUpdateTest, InstallerStartsInsideTheWindowOnlyAndWaitsOutsideIt) {
    struct Case {
        std::string window;
        bool open;
    };
    const Case cases[] = {
        {clockIn(-60) + "-" + clockIn(60), true},
        {clockIn(60) + "-" + clockIn(120), false},
    };
    int number = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.window);
        const Demo demo(dir.file("demo" + std::to_string(++number)));
        ASSERT_TRUE(demo.ready());
        demo.set("Host/InstallWindow", c.window);
        const Finished update = demo.host({"update", "--app", kApp});
        EXPECT_EQ(0, update.exitCode) << shown(update);
        EXPECT_EQ(c.open, has(update.out, "The installer has been started")) << shown(update);
        EXPECT_EQ(!c.open, has(update.out, "The installer waits for the install window " + c.window)) << shown(update);
        if (c.open) continue;

        const Finished status = demo.host({"status", "--app", kApp});
        EXPECT_TRUE(has(status.out, "The downloaded installer waits for the install window " + c.window +
                                        " (local time): kestrup-host run starts it at "))
            << shown(status);
        // The opening is the window's start, whatever minute it is now.
        EXPECT_TRUE(has(status.out, c.window.substr(0, 5) + ".")) << "the window opens in an hour: " << shown(status);
        // "run" keeps it waiting, and starts it once the window is open.
        demo.set("Kestrup/InactivityTimeout", "3");
        const Finished waiting = demo.host({"run"});
        EXPECT_TRUE(has(demo.log(), "The downloaded installer waits for the install window " + c.window))
            << demo.log();
        EXPECT_TRUE(has(demo.host({"state"}).out, "Downloaded (4)")) << shown(waiting);
        demo.set("Host/InstallWindow", clockIn(-60) + "-" + clockIn(60));
        demo.host({"run"});
        EXPECT_TRUE(has(demo.log(), "is open: asking for the installer's launch")) << demo.log();
        EXPECT_TRUE(has(demo.host({"state"}).out, "Installing (5)"));
    }
}

}  // namespace
