// The download service on the real bus, against a loopback HTTP server.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include "DownloadService.h"
#include "ServiceFixture.h"
#include "payloads/RequestPayloads.h"
#include "payloads/StatusPayloads.h"

using namespace servicetests;
using testsupport::RecordingSink;

namespace {

bool isSymlink(const std::string& path) {
    std::error_code error;
    return std::filesystem::is_symlink(std::filesystem::symlink_status(path, error));
}

// True once a progress report that `progress` recorded satisfies `holds`.
bool waitForProgress(const RecordingSink& progress, const std::function<bool(const ProgressReportPayload&)>& holds) {
    return testsupport::waitFor([&] {
        for (const auto& report : progress.messagesOfType("ProgressReport")) {
            auto payload = boost::dynamic_pointer_cast<ProgressReportPayload>(report->getPayload());
            if (payload && holds(*payload)) return true;
        }
        return false;
    });
}

class DownloadServiceTest : public ServiceFixture {
protected:
    void SetUp() override {
        ServiceFixture::SetUp();
        ASSERT_TRUE(std::filesystem::create_directory(dest));
        options.defaultDestinationFolder = dest;
        options.stateFolder = state;
        options.stallTimeoutSeconds = 1;
        options.connectTimeoutSeconds = 5;
        options.noProxy = "*";
        options.progressIntervalMs = 20;
        startService();
    }
    void TearDown() override { service.reset(); }

    void startService() {
        service.reset(new DownloadService(options));
        ASSERT_TRUE(service->start());
    }

    std::string serve(const std::string& name, const std::string& content) {
        EXPECT_TRUE(writeFile(www + "/" + name, content));
        return content;
    }

    void send(const std::string& type, const UUId& session,
              const boost::shared_ptr<ISerializable>& payload = boost::shared_ptr<ISerializable>()) {
        post(DownloadService::Topic, type, session, payload, 1);
    }

    void start(const UUId& session, const std::string& url, const std::string& hash, const std::string& folder = "") {
        send("Start", session, boost::make_shared<StartRequestPayload>(url, "", "", folder, false, hash));
    }

    // Expects the answer `type` with `code` and returns its text.
    std::string expectAnswer(const UUId& session, const std::string& type, int32_t code, std::size_t skip) {
        const auto report = answerOf<StatusReportPayload>(session, type, skip);
        if (!report) return std::string();
        EXPECT_EQ(code, report->getCode()) << report->getMessage();
        if (code != 0) { EXPECT_EQ(downloadFailureName(code), report->getDetail()); }
        return report->getMessage();
    }
    std::string expectFailure(const UUId& session, DownloadFailure code, std::size_t skip = 0) {
        return expectAnswer(session, "WasFailed", static_cast<int32_t>(code), skip);
    }
    // Returns the path that the "WasFinished" names.
    std::string expectFinished(const UUId& session, std::size_t skip = 0) {
        return expectAnswer(session, "WasFinished", 0, skip);
    }

    bool anyRequestWith(const std::string& text) const {
        const auto lines = server->requests();
        return std::any_of(lines.begin(), lines.end(), [&](const std::string& line) { return testsupport::contains(line, text); });
    }

    std::string partialOf(const std::string& name, const UUId& session) const {
        return dest + "/." + name + "." + session.getValue() + ".part";
    }

    const std::string dest = temp.file("dest"), state = temp.file("state");
    DownloadServiceOptions options;
    std::unique_ptr<DownloadService> service;
};

TEST_F(DownloadServiceTest, FinishedDownloadIsVerifiedOwnerOnlyAndReportsProgress) {
    const std::string content = serve("app-2.run", patternBytes((5 << 20) + 300000));  // > the write buffers; odd end
    const UUId session = UUId::generate();
    RecordingSink progress({DownloadService::progressTopic(session)});

    // The hash is compared without regard to letter case.
    std::string upperHash = sha256Hex(content);
    std::transform(upperHash.begin(), upperHash.end(), upperHash.begin(), ::toupper);
    start(session, server->url("/files/app-2.run"), upperHash);

    const std::string path = expectFinished(session);
    EXPECT_EQ(testsupport::nativePath(dest + "/app-2.run"), testsupport::nativePath(path));
    EXPECT_EQ(content, readFile(path));
    EXPECT_TRUE(isOwnerOnly(path));
    EXPECT_EQ(std::vector<std::string>{"app-2.run"}, folderEntries(dest));
    const auto message = replyOf(session);
    EXPECT_EQ(replyTopic, message->getTargetTopic());
    EXPECT_EQ(1, message->getPriority());

    // Progress reports of the session, the last of them with every byte in.
    EXPECT_TRUE(waitForProgress(progress, [&](const ProgressReportPayload& p) {
        return p.getCurrentBytes() == content.size() && p.getTotalBytes() == content.size();
    }));
    for (const auto& report : progress.messagesOfType("ProgressReport")) {
        auto payload = boost::dynamic_pointer_cast<ProgressReportPayload>(report->getPayload());
        ASSERT_TRUE(payload);
        EXPECT_EQ(session, report->getSessionId());
        EXPECT_LE(payload->getCurrentBytes(), content.size());
    }

    // A file URL, unchecked then checked: the newer download replaces the older file.
    for (unsigned seed : {1u, 2u}) {
        const std::string local = serve("local.bin", patternBytes(5000 + seed, seed));
        const UUId one = UUId::generate();
        start(one, fileUrl(www) + "/local.bin", seed == 1 ? "" : sha256Hex(local), dest);
        EXPECT_EQ(local, readFile(expectFinished(one)));
    }
    EXPECT_EQ((std::vector<std::string>{"app-2.run", "local.bin"}), folderEntries(dest));
}

TEST_F(DownloadServiceTest, FailuresAnswerWithTheirCodeAndLeaveNothingBehind) {
    options.maxFileSizeBytes = 10000;
    startService();
    const std::string small = serve("small.bin", patternBytes(1000));
    serve("large.bin", patternBytes(50000));
    struct Case {
        std::string url;
        std::string hash;
        DownloadFailure code;
    };
    const std::vector<Case> cases = {
        {"http://127.0.0.1:1/x.bin", "", DownloadFailure::TransferFailed},
        {server->url("/status/404"), "", DownloadFailure::HttpStatus},
        {server->url("/status/503"), "", DownloadFailure::HttpStatus},
        {fileUrl(www) + "/missing.bin", "", DownloadFailure::TransferFailed},
        {"ftp://127.0.0.1/x.bin", "", DownloadFailure::InvalidRequest},
        {"", "", DownloadFailure::InvalidRequest},
        {server->url("/files/small.bin"), "abc123", DownloadFailure::InvalidRequest},
        {server->url("/files/large.bin"), "", DownloadFailure::TooLarge},
        {server->url("/nolength/large.bin"), "", DownloadFailure::TooLarge},
        {server->url("/wrong/small.bin"), sha256Hex(small), DownloadFailure::DigestMismatch},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.url);
        const UUId session = UUId::generate();
        start(session, c.url, c.hash);
        const std::string text = expectFailure(session, c.code);
        if (c.code == DownloadFailure::DigestMismatch) {
            EXPECT_NE(std::string::npos, text.find(c.hash)) << text;
        }
    }

    const UUId noPayload = UUId::generate();
    send("Start", noPayload);
    expectFailure(noPayload, DownloadFailure::InvalidRequest);
    const UUId unknown = UUId::generate();
    send("Resume", unknown);
    expectFailure(unknown, DownloadFailure::UnknownSession);

    EXPECT_TRUE(folderEntries(dest).empty());
}

TEST_F(DownloadServiceTest, StalledTransferFailsAndResumeContinuesOrStartsOver) {
    const std::string original = patternBytes(200000);
    struct Case {
        const char* query;
        bool restComesBeforeResume;  // as if it had arrived just before the host went down
        bool replaced;               // the server's file changes before the resume
        bool retryByStart;           // a new Start of the same file instead of a Resume
        std::size_t requestsAfter;   // requests of the resume
    };
    for (const Case& c : {Case{"after=50000", false, false, false, 1}, Case{"after=50000&norange=1", false, false, false, 1},
                          Case{"after=50000&complete=1", true, false, false, 1},
                          Case{"after=50000&retry=1", false, false, true, 1},
                          Case{"after=50000&replaced=1", false, true, false, 1},
                          // A server that ignores If-Range sends the range of the new file: taken back, whole file asked.
                          Case{"after=50000&ignoreifrange=1", false, true, true, 2}}) {
        SCOPED_TRACE(c.query);
        const std::string content = serve("big.bin", original);
        const UUId session = UUId::generate();
        const std::string url = server->url("/flaky/big.bin?") + c.query;
        start(session, url, c.replaced ? "" : sha256Hex(content));
        expectFailure(session, DownloadFailure::Stalled);
        EXPECT_EQ(content.substr(0, 50000), readFile(partialOf("big.bin", session)));
        if (c.restComesBeforeResume) { ASSERT_TRUE(writeFile(partialOf("big.bin", session), content)); }
        const std::string expected = c.replaced ? serve("big.bin", patternBytes(200000, 7)) : content;

        const std::size_t before = server->requests().size();
        if (c.retryByStart) {
            start(session, url, c.replaced ? "" : sha256Hex(content));
        } else {
            send("Resume", session);
        }
        EXPECT_EQ(expected, readFile(expectFinished(session, 1)));
        const auto reply = replyOf(session, 1);
        EXPECT_EQ(c.replaced ? DownloadService::NoDigestDetail : "",
                  boost::dynamic_pointer_cast<StatusReportPayload>(reply->getPayload())->getDetail());
        const std::string range = c.restComesBeforeResume ? "range=bytes=200000-" : "range=bytes=50000-";
        EXPECT_TRUE(anyRequestWith(std::string("/flaky/big.bin?") + c.query + " " + range + " if-range=\""));
        // A complete partial file is verified as it is (one ranged request answered 416).
        EXPECT_EQ(before + c.requestsAfter, server->requests().size());
        EXPECT_EQ(std::vector<std::string>{"big.bin"}, folderEntries(dest));
    }
}

TEST_F(DownloadServiceTest, LeftoversOfDownloadsNobodyContinuesAreRemoved) {
    serve("a.bin", patternBytes(100000));
    serve("b.bin", patternBytes(100000, 2));
    const std::string other = temp.file("other");
    ASSERT_TRUE(std::filesystem::create_directory(other));
    const UUId kept = UUId::generate(), givenUp = UUId::generate(), switched = UUId::generate();
    for (const UUId& session : {kept, givenUp, switched}) {
        start(session, server->url("/flaky/a.bin?after=1000&s=") + session.getValue(), "", other);
        expectFailure(session, DownloadFailure::Stalled);
    }
    ASSERT_EQ(3u, folderEntries(other).size());
    ASSERT_EQ(3u, folderEntries(state).size());
    // A Start of another file gives the session's earlier download up.
    start(switched, server->url("/flaky/b.bin?after=1000"), "", other);
    expectFailure(switched, DownloadFailure::Stalled, 1);
    EXPECT_TRUE(logger.contains("DOWNLOAD_SERVICE: Session " + switched.getValue() + " gave up"));
    EXPECT_EQ(3u, folderEntries(other).size());
    // A partial file without a record (its record was lost) goes as well.
    ASSERT_TRUE(writeFile(dest + "/.c.bin." + UUId::generate().getValue() + ".part", "x"));

    service->removeLeftovers({kept.getValue()}, {});
    EXPECT_EQ(std::vector<std::string>{"." + std::string("a.bin.") + kept.getValue() + ".part"}, folderEntries(other));
    EXPECT_EQ(std::vector<std::string>{"." + kept.getValue() + ".download"}, folderEntries(state));
    EXPECT_TRUE(folderEntries(dest).empty());
    EXPECT_TRUE(logger.contains("DOWNLOAD_SERVICE: Removed " + other + "/.a.bin." + givenUp.getValue() + ".part"));
    send("Resume", givenUp);
    expectFailure(givenUp, DownloadFailure::UnknownSession, 1);

    // After a restart, a record of another format version is not trusted.
    const std::string record = state + "/." + kept.getValue() + ".download";
    std::string text = readFile(record);
    ASSERT_EQ(0u, text.find("kestrup-download-record 1\n"));
    ASSERT_TRUE(writeFile(record, text.replace(0, 25, "kestrup-download-record 2")));
    startService();
    send("Resume", kept);
    expectFailure(kept, DownloadFailure::UnknownSession, 1);
}

TEST_F(DownloadServiceTest, FilesStayInsideTheFolderAndPlantedLinksAreNeverFollowed) {
    const std::string evil = serve("evil", patternBytes(300));
    const UUId escape = UUId::generate();
    start(escape, server->url("/files/..%2F..%2Fevil"), sha256Hex(evil));
    EXPECT_EQ(dest + "/evil", expectFinished(escape));
    EXPECT_EQ((std::vector<std::string>{"dest", "state", "www"}), folderEntries(temp.path()));
    ASSERT_TRUE(std::filesystem::remove(dest + "/evil"));

    const std::string victim = temp.file("victim.txt");
    ASSERT_TRUE(writeFile(victim, "precious"));
    const std::string content = serve("app.bin", patternBytes(4000));
    // A link at the final name: the download fails and the link stays a link.
    std::filesystem::create_symlink(victim, dest + "/app.bin");
    ASSERT_TRUE(isSymlink(dest + "/app.bin"));
    const UUId first = UUId::generate();
    start(first, server->url("/files/app.bin"), sha256Hex(content));
    expectFailure(first, DownloadFailure::WriteFailed);
    EXPECT_TRUE(isSymlink(dest + "/app.bin"));
    EXPECT_EQ("precious", readFile(victim));
    ASSERT_TRUE(std::filesystem::remove(dest + "/app.bin"));

    // A link at the partial file's name is removed, not written through.
    const UUId second = UUId::generate();
    std::filesystem::create_symlink(victim, partialOf("app.bin", second));
    start(second, server->url("/files/app.bin"), sha256Hex(content));
    EXPECT_EQ(content, readFile(expectFinished(second)));
    EXPECT_FALSE(isSymlink(dest + "/app.bin"));
    EXPECT_EQ("precious", readFile(victim));
    EXPECT_EQ(std::vector<std::string>{"app.bin"}, folderEntries(dest));
}

TEST_F(DownloadServiceTest, AbortStopsARunningTransferAndIsAlwaysAnswered) {
    options.workerThreads = 1;
    options.maxQueuedRequests = 1;
    startService();
    serve("slow.bin", patternBytes(1000000));
    const UUId session = UUId::generate();
    RecordingSink progress({DownloadService::progressTopic(session)});
    start(session, server->url("/slow/slow.bin?chunk=16384&delay=50"), "");
    ASSERT_TRUE(progress.waitForType("ProgressReport"));

    // One transfer per session at a time, and no more waiting requests than allowed.
    start(session, server->url("/files/slow.bin"), "");
    expectFailure(session, DownloadFailure::Busy);
    const UUId waiting = UUId::generate(), refused = UUId::generate();
    start(waiting, server->url("/files/slow.bin"), "");
    start(refused, server->url("/files/slow.bin"), "");
    EXPECT_EQ("too many downloads are waiting", expectFailure(refused, DownloadFailure::Busy));

    const UUId idle = UUId::generate();  // nothing running: answered too
    for (const UUId& aborted : {waiting, session, idle}) send("Abort", aborted);
    for (const auto& reply : {replyOf(waiting), replyOf(session, 1), replyOf(idle)}) {
        ASSERT_TRUE(reply);
        EXPECT_EQ("WasAborted", reply->getMessageType());
    }
    EXPECT_TRUE(folderEntries(dest).empty());
    EXPECT_TRUE(folderEntries(state).empty());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(replies.messagesOfType("WasFinished").empty());
}

}  // namespace
