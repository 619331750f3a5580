// kestrup-host as a user runs it: the offline demo prepared in a temporary folder,
// the real program, its output and its exit codes; and signed feeds read by its real
// backend client from a loopback HTTP server and from file URLs, one row per attack.
#include <chrono>
#include <csignal>
#include <filesystem>
#include <functional>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include <QDirIterator>
#include <QUrl>
#include <gtest/gtest.h>

#include "FeedSerialStore.h"
#include "FeedSignature.h"
#include "FeedTrustPolicy.h"
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
using servicetests::sha256Hex;
namespace ks = kestrup_services;
namespace fs = std::filesystem;

const char* const kApp = "7d3c9a4e-2f61-4b8a-9c05-5e1f2a3b4c6d";
const int kExitOk = 0;
const int kExitNoUpdate = 2;
const int kExitCheckFailed = 3;
const int kExitUsage = 64;
const int kExitSetupFailed = 70;

// Files under the data folder's download folder of `demo`.
int downloadedFiles(const std::string& demo) {
    int files = 0;
    for (QDirIterator it(QString::fromStdString(demo + "/data/Corvane"), QDir::Files, QDirIterator::Subdirectories);
         it.hasNext(); it.next()) {
        ++files;
    }
    return files;
}

class HostRoadTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(demo.ready()); }

    int registryVersion() const {
        std::smatch match;
        const std::string registry = readFile(demo.file("registry.xml"));
        const std::regex entry(std::string("id=\"") + kApp + "\" version=\"([0-9]+)\"");
        return std::regex_search(registry, match, entry) ? std::stoi(match[1]) : -1;
    }
    // The installer runs on its own after the host has answered.
    bool waitForRegistryVersion(int version) const {
        return testsupport::waitFor([&] { return registryVersion() == version; });
    }

    testsupport::TempDir dir;
    const Demo demo{dir.file("demo")};
};

TEST_F(HostRoadTest, UpdateStartsTheInstallerAndTheNextStartSettlesTheNewVersion) {
    ASSERT_EQ(1, registryVersion());
    const Finished update = demo.host({"update", "--app", kApp});
    ASSERT_TRUE(update.ended && update.exitCode == kExitOk) << shown(update);
    for (const char* said : {"version 1 is installed", "An update is available", "downloaded and verified",
                             "The installer has been started"})
        EXPECT_TRUE(has(update.out, said)) << said << "\n" << update.out;
    ASSERT_TRUE(waitForRegistryVersion(2)) << readFile(demo.file("registry.xml"));
    EXPECT_EQ(1, downloadedFiles(demo.file(""))) << "the installer was downloaded into the configured data folder";
    EXPECT_TRUE(has(demo.host({"state"}).out, "Installing (5)"));

    // The second start sees the new version, tells the backend, and is Idle again:
    // the check then finds nothing newer.
    const Finished status = demo.host({"status", "--app", kApp});
    ASSERT_TRUE(status.ended && status.exitCode == kExitNoUpdate) << shown(status);
    for (const char* said : {"version 2 is installed", "is now at version 2. The backend has been told.",
                             "No update is available"})
        EXPECT_TRUE(has(status.out, said)) << said << "\n" << status.out;
    const Finished state = demo.host({"state", "--app", kApp});
    ASSERT_EQ(kExitOk, state.exitCode) << shown(state);
    EXPECT_TRUE(has(state.out, "Workflow state: Idle (1)")) << state.out;
    EXPECT_TRUE(has(state.out, std::string("Installed version of application ") + kApp + ": 2")) << state.out;

    EXPECT_EQ(kExitNoUpdate, demo.host({"update", "--app", kApp}).exitCode) << "a further update has nothing to do";
    EXPECT_TRUE(has(demo.log(), "KESTRUP_HOST: Shut down; exit code 2"));
}

// With retries left, the component waits ten minutes before the next attempt; an
// interrupt ends the host at once and the workflow waits for the next start.
TEST_F(HostRoadTest, AnInterruptedRetryWaitEndsTheHostAndLeavesTheDownloadToTheNextStart) {
    demo.editFeed("<digest>[0-9a-f]+</digest>", "<digest>" + std::string(64, '0') + "</digest>");
    demo.set("Kestrup/DownloadRetries", "3");
    demo.set("Kestrup/DownloadRetryInterval", "600");
    std::unique_ptr<apptest::ChildProcess> update = demo.start({"update", "--app", kApp});
    ASSERT_TRUE(update->waitForText("A download attempt failed", 60000));
    update->sendSignal(SIGINT);
    const Finished finished = update->finish(60000);
    ASSERT_TRUE(finished.ended && !finished.crashed) << shown(finished);
    EXPECT_EQ(128 + SIGINT, finished.exitCode) << shown(finished);
    EXPECT_TRUE(has(finished.err, "interrupted by SIGINT")) << finished.err;
    EXPECT_TRUE(has(demo.host({"state"}).out, "Workflow state: Downloading (3)"));
    EXPECT_EQ(1, registryVersion());
}

TEST_F(HostRoadTest, BadInvocationsAndFailedChecksEndWithTheirExitCodes) {
    demo.set("Kestrup/DownloadRetryInterval", "ten minutes");
    const Finished bad = demo.host({"update", "--app", kApp});
    EXPECT_TRUE(bad.ended && bad.exitCode == kExitUsage) << shown(bad);
    EXPECT_TRUE(has(bad.err, "Kestrup/DownloadRetryInterval must be a whole number")) << bad.err;
    EXPECT_FALSE(fs::exists(demo.file("data"))) << "nothing was set up";

    demo.set("Kestrup/DownloadRetryInterval", "600");
    const std::string other = "0f1e2d3c-4b5a-4978-8695-a4b3c2d1e0f9";
    for (const char* command : {"status", "update", "state"}) {
        const Finished run = demo.host({command, "--app", QString::fromStdString(other)});
        EXPECT_TRUE(run.ended && run.exitCode == kExitCheckFailed) << command << "\n" << shown(run);
        EXPECT_TRUE(std::string(command) == "state" ||
                    has(run.err, "application " + other + " is not in the registry " + demo.file("registry.xml")))
            << run.err;
    }
    demo.set("Host/FeedUrl", "file://" + demo.file("no-such-feed.xml"));
    for (const char* command : {"status", "update"}) {
        const Finished run = demo.host({command, "--app", kApp});
        ASSERT_TRUE(run.ended && run.exitCode == kExitCheckFailed) << command << "\n" << shown(run);
        EXPECT_TRUE(has(run.err, "could not provide an update manifest") && has(run.err, "no-such-feed.xml"))
            << "the message names the feed: " << run.err;
    }
    EXPECT_EQ(1, registryVersion());
}

TEST_F(HostRoadTest, RunEndsWhenIdleLongEnoughOrCleanlyOnSigterm) {
    demo.set("Kestrup/InactivityTimeout", "1");
    const Finished idle = demo.host({"run"}, 60000);
    ASSERT_TRUE(idle.ended && !idle.crashed && idle.exitCode == kExitOk) << shown(idle);
    EXPECT_TRUE(has(idle.out, "Stopping: the inactivity time has passed.")) << idle.out;

    demo.set("Kestrup/InactivityTimeout", "-1");
    std::unique_ptr<apptest::ChildProcess> run = demo.start({"run"});
    ASSERT_TRUE(run->waitForText("Serving update requests", 30000));
    // One host at a time runs a component on a data folder.
    const Finished second = demo.host({"status", "--app", kApp});
    EXPECT_TRUE(second.ended && second.exitCode == kExitSetupFailed) << shown(second);
    EXPECT_TRUE(has(second.err, "is using the data folder " + demo.file("data"))) << second.err;

    run->sendSignal(SIGTERM);
    const Finished finished = run->finish(30000);
    ASSERT_TRUE(finished.ended && !finished.crashed && finished.exitCode == kExitOk) << shown(finished);
    EXPECT_TRUE(has(finished.out, "Stopping: SIGTERM received.")) << finished.out;
    EXPECT_TRUE(has(demo.log(), "KESTRUP_HOST: Shut down; exit code 0"));
}

TEST_F(HostRoadTest, UpdateFollowsADownloadThatAnEarlierRunLeftUnfinished) {
    // The installer, made larger, comes slowly from a local HTTP server.
    const std::string installer = demo.file("install-demo-app-2.sh");
    writeFile(installer, readFile(installer) + "# " + std::string(256 * 1024, 'x') + "\n");
    servicetests::LoopbackServer server(demo.file(""));
    ASSERT_TRUE(server.started()) << server.startError();
    demo.editFeed("<digest>[0-9a-f]+</digest>", "<digest>" + sha256Hex(readFile(installer)) + "</digest>");
    demo.editFeed("url=\"file://[^\"]*\"",
                  "url=\"" + server.url("/slow/install-demo-app-2.sh?chunk=8192&amp;delay=100") + "\"");
    demo.set("Host/NoProxy", "*");

    std::unique_ptr<apptest::ChildProcess> first = demo.start({"update", "--app", kApp});
    ASSERT_TRUE(first->waitForText("Downloading the installer...", 60000));
    ASSERT_TRUE(first->waitForText("%", 60000)) << "a progress line while the file arrives";
    first->sendSignal(SIGINT);
    const Finished interrupted = first->finish(60000);
    ASSERT_TRUE(interrupted.ended && interrupted.exitCode == 128 + SIGINT) << shown(interrupted);
    EXPECT_TRUE(has(demo.host({"state"}).out, "Workflow state: Downloading (3)"));

    const Finished second = demo.host({"update", "--app", kApp});
    ASSERT_TRUE(second.ended && second.exitCode == kExitOk) << shown(second);
    EXPECT_TRUE(has(second.out, "The download of an earlier run goes on.")) << second.out;
    EXPECT_TRUE(has(second.err, "100%")) << "the resumed download shows its progress: " << second.err;
    EXPECT_TRUE(has(second.out, "The installer has been started")) << second.out;
    EXPECT_TRUE(waitForRegistryVersion(2));
}

const uint64_t kSeenSerial = 5;

int64_t now() {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

struct KeyPair {
    ks::FeedPublicKey publicKey;
    ks::FeedSecretKey secretKey;
};

KeyPair newKeyPair() {
    KeyPair pair;
    (void)ks::generateFeedKeyPair(pair.publicKey, pair.secretKey);  // a failure shows in every row
    return pair;
}

// What one row publishes and how the host is set up.
struct Publication {
    uint64_t serial = kSeenSerial + 1;
    int64_t issued = now() - 60;
    int64_t expires = now() + 86400;
    bool pinned = true;                           // digest and size given
    std::function<std::string(const std::string&)> sign;  // feed bytes -> .sig text; null: no .sig
    std::function<void(std::string&)> tamperFeed;          // after signing
    std::string trustedKeys;                      // Host/FeedPublicKeys; empty: not set
    std::string signaturePath = "/files/";        // the HTTP server's mode for the feed and its .sig
    bool endlessSignatureFile = false;            // file URL: the .sig is /dev/zero
    bool corruptSerialRecord = false;
};

struct Row {
    const char* what;
    std::function<void(Publication&)> setUp;
    int exitCode;
    std::string reason;  // refused: in the message and (unless a configuration error) the log; passed: in the log
};

class FeedTrustTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(demo.ready());
        fs::create_directory(www);
        installer = readFile(demo.file("install-demo-app-2.sh"));
        ASSERT_TRUE(writeFile(www + "/app-2.run", installer));
        server = std::make_unique<servicetests::LoopbackServer>(www);
        ASSERT_TRUE(server->started()) << server->startError();
        ASSERT_TRUE(writeFile(dir.file("a.pub"), ks::formatFeedPublicKey(keyA.publicKey) + "\n"));
    }

    // The signature file of `feed` by `key`, naming `claimedId` as its key.
    static std::string signatureBy(const KeyPair& key, const std::string& feed, const std::string& claimedId = "") {
        ks::FeedSignature signature = ks::signFeed(feed, key.secretKey);
        if (!claimedId.empty()) signature.keyId = claimedId;
        return ks::formatFeedSignature(signature);
    }

    std::string feedText(const Publication& p, const std::string& row, const std::string& mirror) const {
        return "<updateFeed serial=\"" + std::to_string(p.serial) + "\" issued=\"" + ks::formatFeedTime(p.issued) +
               "\" expires=\"" + ks::formatFeedTime(p.expires) + "\">\n<application id=\"" + kApp +
               "\"><release version=\"2\"><arguments>\"" + row + "/registry.xml\" " + kApp + "</arguments>" +
               (p.pinned ? "<digest>" + sha256Hex(installer) + "</digest><size>" + std::to_string(installer.size()) +
                               "</size>"
                         : std::string()) +
               "<mirror url=\"" + mirror + "\"/></release></application></updateFeed>\n";
    }

    static std::string fileUrl(const std::string& path) {
        return QUrl::fromLocalFile(QString::fromStdString(path)).toString(QUrl::FullyEncoded).toStdString();
    }

    // Runs `update` on a fresh copy of the demo set up as `p` and checks the result
    // against `row`, over HTTP or a file URL.
    void runRow(const Row& row, bool overHttp) {
        SCOPED_TRACE(std::string(row.what) + (overHttp ? " over HTTP" : " from a file URL"));
        Publication p;
        p.sign = [](const std::string& feed) { return signatureBy(keyA, feed); };
        p.trustedKeys = dir.file("a.pub");
        row.setUp(p);

        const std::string folder = dir.file("row-" + std::to_string(++rows));
        fs::copy(demo.file(""), folder, fs::copy_options::recursive);
        const std::string feedName = "feed-" + std::to_string(rows) + ".xml";
        const std::string feedPath = (overHttp ? www : folder) + "/" + feedName;
        const std::string feedUrl = overHttp ? server->url(p.signaturePath + feedName) : fileUrl(feedPath);
        std::string feed = feedText(p, folder, overHttp ? server->url("/files/app-2.run") : fileUrl(www + "/app-2.run"));
        const std::string signature = p.sign ? p.sign(feed) : std::string();
        if (p.tamperFeed) p.tamperFeed(feed);
        ASSERT_TRUE(writeFile(feedPath, feed));
        if (p.endlessSignatureFile) {
            fs::create_symlink("/dev/zero", feedPath + ".sig");
        } else if (p.sign) {
            ASSERT_TRUE(writeFile(feedPath + ".sig", signature));
        }
        std::string ini = readFile(folder + "/kestrup-host.ini") + "FeedUrl=" + feedUrl + "\nNoProxy=*\n";
        if (!p.trustedKeys.empty()) ini += "FeedPublicKeys=" + p.trustedKeys + "\n";
        ASSERT_TRUE(writeFile(folder + "/kestrup-host.ini", ini));

        const ks::FeedSerialStore store(folder + "/data/feed-serials");
        const ks::FeedSerialRecord seen{kSeenSerial, sha256Hex("the feed accepted before")};
        std::string error;
        ASSERT_TRUE(store.save(feedUrl, seen, error)) << error;
        if (p.corruptSerialRecord) { ASSERT_TRUE(writeFile(store.recordPath(feedUrl), "serial five\n")); }

        const Finished run = apptest::runProgram(
            KESTRUP_HOST_PROGRAM, {"update", "--app", kApp, "--config", QString::fromStdString(folder + "/kestrup-host.ini")},
            folder);
        const std::string log = readFile(folder + "/data/kestrup-host.log");
        ASSERT_TRUE(run.ended) << shown(run);
        EXPECT_EQ(row.exitCode, run.exitCode) << shown(run);

        ks::FeedSerialRecord stored;
        const ks::FeedSerialStore::Lookup lookup = store.load(feedUrl, stored, error);
        if (row.exitCode == kExitOk) {
            EXPECT_EQ(1, downloadedFiles(folder)) << "the installer was not downloaded";
            if (p.trustedKeys.empty()) {
                EXPECT_EQ(seen.serial, stored.serial);
                EXPECT_EQ(log.find(row.reason), log.rfind(row.reason)) << "logged more than once:\n" << log;
            } else {
                EXPECT_EQ(p.serial, stored.serial);
                EXPECT_EQ(sha256Hex(feed), stored.sha256);
            }
            EXPECT_NE(std::string::npos, log.find(row.reason)) << log;
            // A record that cannot be read is reported before the feed is judged.
            EXPECT_LT(log.find(row.reason), log.find("BACKEND_CLIENT: Update check")) << log;
            return;
        }
        EXPECT_TRUE(has(run.err, row.reason)) << run.err;
        EXPECT_EQ(0, downloadedFiles(folder)) << "a refused feed led to a download";
        ASSERT_EQ(ks::FeedSerialStore::Lookup::Found, lookup) << error;
        EXPECT_EQ(seen.serial, stored.serial);
        EXPECT_EQ(seen.sha256, stored.sha256);
        if (row.exitCode == kExitCheckFailed) {
            EXPECT_TRUE(has(run.err, "The backend could not provide an update manifest")) << run.err;
            EXPECT_TRUE(has(log, row.reason)) << log;
        }
    }

    static KeyPair keyA;  // trusted
    static KeyPair keyB;  // trusted after a rotation
    static KeyPair keyC;  // never trusted
    testsupport::TempDir dir;
    const Demo demo{dir.file("template")};
    const std::string www = dir.file("www");
    std::string installer;
    std::unique_ptr<servicetests::LoopbackServer> server;
    int rows = 0;
};

KeyPair FeedTrustTest::keyA = newKeyPair();
KeyPair FeedTrustTest::keyB = newKeyPair();
KeyPair FeedTrustTest::keyC = newKeyPair();

void flipBit(std::string& text, std::size_t at) { text[at] = static_cast<char>(text[at] ^ 0x01); }

TEST_F(FeedTrustTest, EveryAttackIsRefusedAndTrustedFeedsPass) {
    using P = Publication&;
    const auto signedBy = [](const KeyPair& key, const std::string& claimedId = "") {
        return [&key, claimedId](const std::string& f) { return signatureBy(key, f, claimedId); };
    };
    const std::string mismatch = "does not match the feed";
    const std::string tooLarge = "larger than 4096 bytes";
    const std::string badKey = "Host/FeedPublicKeys has an entry that is not usable";
    const std::vector<Row> table = {
        {"wrong key", [&](P p) { p.sign = signedBy(keyC, keyA.publicKey.id); }, kExitCheckFailed, mismatch},
        {"key not trusted", [&](P p) { p.sign = signedBy(keyC); }, kExitCheckFailed, "which is not a trusted key"},
        {"bit flipped in the feed",
         [](P p) { p.tamperFeed = [](std::string& f) { flipBit(f, f.find("version=\"2\"") + 9); }; },
         kExitCheckFailed, mismatch},
        {"bit flipped in the signature", [](P p) {
             p.sign = [](const std::string& f) {
                 ks::FeedSignature s = ks::signFeed(f, keyA.secretKey);
                 s.bytes[17] ^= 0x10;
                 return ks::formatFeedSignature(s);
             };
         }, kExitCheckFailed, mismatch},
        {"truncated signature", [](P p) {
             p.sign = [](const std::string& f) {
                 const std::string s = signatureBy(keyA, f);
                 return s.substr(0, 40) + s.substr(s.find('\n'));
             };
         }, kExitCheckFailed, "is not a signature (base64 of 64 bytes)"},
        {"missing signature file", [](P p) { p.sign = nullptr; }, kExitCheckFailed, "cannot be read"},
        {"signature of another feed",
         [](P p) { p.sign = [](const std::string& f) { return signatureBy(keyA, f + " "); }; }, kExitCheckFailed,
         mismatch},
        {"expired", [](P p) { p.issued = now() - 10 * 86400, p.expires = now() - 3600; }, kExitCheckFailed,
         "the feed expired at"},
        {"issued in the future", [](P p) { p.issued = now() + 3600; }, kExitCheckFailed, "issued in the future"},
        {"replayed older serial", [](P p) { p.serial = kSeenSerial - 1; }, kExitCheckFailed, "replayed older feed"},
        {"same serial, other bytes", [](P p) { p.serial = kSeenSerial; }, kExitCheckFailed, "but other content"},
        {"no digest or size", [](P p) { p.pinned = false; }, kExitCheckFailed, "gives no installer digest"},
        {"huge signature file",
         [](P p) { p.sign = [](const std::string& f) { return signatureBy(keyA, f) + std::string(1 << 20, '#'); }; },
         kExitCheckFailed, tooLarge},
        {"endless signature file", [](P p) { p.signaturePath = "/endless/", p.endlessSignatureFile = true; },
         kExitCheckFailed, tooLarge},
        {"key file unreadable", [](P p) { p.trustedKeys = "/nonexistent/a.pub"; }, kExitUsage, badKey},
        {"malformed key in the configuration", [](P p) { p.trustedKeys = "QUJD"; }, kExitUsage, badKey},
        {"signed feed accepted", [](P) {}, kExitOk, "Accepted serial 6"},
        {"rotated key accepted",
         [&](P p) { p.sign = signedBy(keyB), p.trustedKeys += ", " + ks::formatFeedPublicKey(keyB.publicKey); },
         kExitOk, "is signed by trusted key " + keyB.publicKey.id},
        {"unreadable serial record: logged, then taken as unseen",
         [](P p) { p.serial = 3, p.corruptSerialRecord = true; }, kExitOk, "taking it as if no feed had been seen"},
        {"unsigned feed without keys", [](P p) { p.sign = nullptr, p.trustedKeys.clear(); }, kExitOk,
         "is taken unsigned"},
    };
    for (bool overHttp : {true, false}) {
        for (const Row& row : table) runRow(row, overHttp);
    }
}

}  // namespace
