// Signed feeds end to end: kestrup-host with its real backend client reads a feed
// from a loopback HTTP server and from a file URL; one row per attack on the feed
// or its signature, and the rows that must pass.
#include <chrono>
#include <filesystem>
#include <functional>
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

namespace ks = kestrup_services;
namespace fs = std::filesystem;
using apptest::Finished;
using servicetests::readFile;
using servicetests::sha256Hex;
using servicetests::writeFile;

const char* const kApp = "7d3c9a4e-2f61-4b8a-9c05-5e1f2a3b4c6d";
const int kExitOk = 0;
const int kExitCheckFailed = 3;
const int kExitUsage = 64;
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
        template_ = dir.file("template");
        const Finished prepared =
            apptest::runProgram("/bin/sh",
                                {QStringLiteral(KESTRUP_DEMO_FOLDER "/prepare.sh"), QString::fromStdString(template_)},
                                dir.path());
        ASSERT_TRUE(prepared.ended && prepared.exitCode == 0) << prepared.err;
        www = dir.file("www");
        fs::create_directory(www);
        installer = readFile(template_ + "/install-demo-app-2.sh");
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
               (p.pinned ? "<digest>" + sha256Hex(installer) + "</digest><size>" +
                               std::to_string(installer.size()) + "</size>"
                         : std::string()) +
               "<mirror url=\"" + mirror + "\"/></release></application></updateFeed>\n";
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
        fs::copy(template_, folder, fs::copy_options::recursive);
        const std::string feedName = "feed-" + std::to_string(rows) + ".xml";
        const std::string feedPath = (overHttp ? www : folder) + "/" + feedName;
        const std::string feedUrl =
            overHttp ? server->url(p.signaturePath + feedName)
                     : QUrl::fromLocalFile(QString::fromStdString(feedPath)).toString(QUrl::FullyEncoded).toStdString();
        const std::string mirror = overHttp ? server->url("/files/app-2.run")
                                            : QUrl::fromLocalFile(QString::fromStdString(www + "/app-2.run"))
                                                  .toString(QUrl::FullyEncoded)
                                                  .toStdString();
        std::string feed = feedText(p, folder, mirror);
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
        if (p.corruptSerialRecord) {
            ASSERT_TRUE(writeFile(store.recordPath(feedUrl), "serial five\n"));
        }

        const Finished run = apptest::runProgram(
            KESTRUP_HOST_PROGRAM, {"update", "--app", kApp, "--config", QString::fromStdString(folder + "/kestrup-host.ini")},
            folder);
        const std::string log = readFile(folder + "/data/kestrup-host.log");
        ASSERT_TRUE(run.ended) << run.out << run.err;
        EXPECT_EQ(row.exitCode, run.exitCode) << run.out << run.err;

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
        EXPECT_NE(std::string::npos, run.err.find(row.reason)) << run.err;
        EXPECT_EQ(0, downloadedFiles(folder)) << "a refused feed led to a download";
        ASSERT_EQ(ks::FeedSerialStore::Lookup::Found, lookup) << error;
        EXPECT_EQ(seen.serial, stored.serial);
        EXPECT_EQ(seen.sha256, stored.sha256);
        if (row.exitCode == kExitCheckFailed) {
            EXPECT_NE(std::string::npos, run.err.find("The backend could not provide an update manifest")) << run.err;
            EXPECT_NE(std::string::npos, log.find(row.reason)) << log;
        }
    }

    static int downloadedFiles(const std::string& folder) {
        int files = 0;
        for (QDirIterator it(QString::fromStdString(folder + "/data/Corvane"), QDir::Files,
                             QDirIterator::Subdirectories);
             it.hasNext(); it.next()) {
            ++files;
        }
        return files;
    }

    static KeyPair keyA;  // trusted
    static KeyPair keyB;  // trusted after a rotation
    static KeyPair keyC;  // never trusted
    testsupport::TempDir dir;
    std::string template_;
    std::string www;
    std::string installer;
    std::unique_ptr<servicetests::LoopbackServer> server;
    int rows = 0;
};

KeyPair FeedTrustTest::keyA = newKeyPair();
KeyPair FeedTrustTest::keyB = newKeyPair();
KeyPair FeedTrustTest::keyC = newKeyPair();

void flipBit(std::string& text, std::size_t at) { text[at] = static_cast<char>(text[at] ^ 0x01); }

TEST_F(FeedTrustTest, EveryAttackIsRefusedAndTrustedFeedsPass) {
    const std::vector<Row> table = {
        {"wrong key", [](Publication& p) {
             p.sign = [](const std::string& f) { return signatureBy(keyC, f, keyA.publicKey.id); };
         }, kExitCheckFailed, "does not match the feed"},
        {"key not trusted", [](Publication& p) {
             p.sign = [](const std::string& f) { return signatureBy(keyC, f); };
         }, kExitCheckFailed, "which is not a trusted key"},
        {"bit flipped in the feed", [](Publication& p) {
             p.tamperFeed = [](std::string& f) { flipBit(f, f.find("version=\"2\"") + 9); };
         }, kExitCheckFailed, "does not match the feed"},
        {"bit flipped in the signature", [](Publication& p) {
             p.sign = [](const std::string& f) {
                 ks::FeedSignature s = ks::signFeed(f, keyA.secretKey);
                 s.bytes[17] ^= 0x10;
                 return ks::formatFeedSignature(s);
             };
         }, kExitCheckFailed, "does not match the feed"},
        {"truncated signature", [](Publication& p) {
             p.sign = [](const std::string& f) {
                 const std::string s = signatureBy(keyA, f);
                 return s.substr(0, 40) + s.substr(s.find('\n'));
             };
         }, kExitCheckFailed, "is not a signature (base64 of 64 bytes)"},
        {"missing signature file", [](Publication& p) { p.sign = nullptr; }, kExitCheckFailed, "cannot be read"},
        {"signature of another feed", [](Publication& p) {
             p.sign = [](const std::string& f) { return signatureBy(keyA, f + " "); };
         }, kExitCheckFailed, "does not match the feed"},
        {"expired", [](Publication& p) {
             p.issued = now() - 10 * 86400;
             p.expires = now() - 3600;
         }, kExitCheckFailed, "the feed expired at"},
        {"issued in the future", [](Publication& p) { p.issued = now() + 3600; }, kExitCheckFailed,
         "issued in the future"},
        {"replayed older serial", [](Publication& p) { p.serial = kSeenSerial - 1; }, kExitCheckFailed,
         "replayed older feed"},
        {"same serial, other bytes", [](Publication& p) { p.serial = kSeenSerial; }, kExitCheckFailed,
         "but other content"},
        {"no digest or size", [](Publication& p) { p.pinned = false; }, kExitCheckFailed,
         "gives no installer digest"},
        {"huge signature file", [](Publication& p) {
             p.sign = [](const std::string& f) { return signatureBy(keyA, f) + std::string(1 << 20, '#'); };
         }, kExitCheckFailed, "larger than 4096 bytes"},
        {"endless signature file", [](Publication& p) {
             p.signaturePath = "/endless/";
             p.endlessSignatureFile = true;
         }, kExitCheckFailed, "larger than 4096 bytes"},
        {"key file unreadable", [](Publication& p) { p.trustedKeys = "/nonexistent/a.pub"; }, kExitUsage,
         "Host/FeedPublicKeys has an entry that is not usable"},
        {"malformed key in the configuration", [](Publication& p) { p.trustedKeys = "QUJD"; }, kExitUsage,
         "Host/FeedPublicKeys has an entry that is not usable"},
        {"signed feed accepted", [](Publication&) {}, kExitOk, "Accepted serial 6"},
        {"rotated key accepted", [](Publication& p) {
             p.sign = [](const std::string& f) { return signatureBy(keyB, f); };
             p.trustedKeys += ", " + ks::formatFeedPublicKey(keyB.publicKey);
         }, kExitOk, "is signed by trusted key " + keyB.publicKey.id},
        {"unreadable serial record: logged, then taken as unseen", [](Publication& p) {
             p.serial = 3;
             p.corruptSerialRecord = true;
         }, kExitOk, "taking it as if no feed had been seen"},
        {"unsigned feed without keys", [](Publication& p) {
             p.sign = nullptr;
             p.trustedKeys.clear();
         }, kExitOk, "is taken unsigned"},
    };
    for (bool overHttp : {true, false}) {
        for (const Row& row : table) runRow(row, overHttp);
    }
}

}  // namespace
