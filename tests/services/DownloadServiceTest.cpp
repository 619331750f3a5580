// The download service on the real bus, against a loopback HTTP server.
#include <algorithm>
#include <cctype>
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include <sys/stat.h>
#include <unistd.h>

#include <boost/make_shared.hpp>
#include <gtest/gtest.h>

#include "DownloadService.h"
#include "LoopbackServer.h"
#include "support/TestSupport.h"
#include "bus/MessageDispatcher.h"
#include "payloads/RequestPayloads.h"
#include "payloads/StatusPayloads.h"

using namespace servicetests;
using testsupport::RecordingSink;

namespace {

bool isSymlink(const std::string& path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

class DownloadServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, ::mkdir(www.c_str(), 0700));
        ASSERT_EQ(0, ::mkdir(dest.c_str(), 0700));
        server.reset(new LoopbackServer(www));
        ASSERT_TRUE(server->started()) << server->startError();
        options.defaultDestinationFolder = dest;
        options.stateFolder = state;
        options.stallTimeoutSeconds = 1;
        options.connectTimeoutSeconds = 5;
        options.noProxy = "*";
        options.progressIntervalMs = 20;
        replies.subscribe(replyTopic);
        startService();
    }

    void TearDown() override {
        service.reset();
        server.reset();
    }

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
        CommonMessageProperties properties;
        properties.messageType = type;
        properties.targetTopic = DownloadService::Topic;
        properties.replyTopic = replyTopic;
        properties.sessionId = session;
        properties.priority = 1;
        auto message = boost::make_shared<LocalMessage>(properties);
        if (payload) message->setPayload(payload);
        ASSERT_EQ(0, MessageDispatcher::getInstance()->post(message));
    }

    void start(const UUId& session, const std::string& url, const std::string& hash, const std::string& folder = "") {
        send("Start", session, boost::make_shared<StartRequestPayload>(url, "", "", folder, false, hash));
    }

    // The answer (WasFinished, WasFailed, WasAborted) of `session` after the `skip`
    // answers it already had; empty after 30 s.
    boost::shared_ptr<LocalMessage> answer(const UUId& session, std::size_t skip = 0) {
        static const std::set<std::string> kAnswers = {"WasFinished", "WasFailed", "WasAborted"};
        for (int i = 0; i < 3000; ++i) {
            std::size_t seen = 0;
            for (const auto& m : replies.messages()) {
                if (m->getSessionId() == session && kAnswers.count(m->getMessageType()) && seen++ == skip) return m;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return boost::shared_ptr<LocalMessage>();
    }

    // Expects the answer `type` with `code` and returns its text.
    std::string expectAnswer(const UUId& session, const std::string& type, int32_t code, std::size_t skip) {
        const auto message = answer(session, skip);
        const auto report =
            message ? boost::dynamic_pointer_cast<StatusReportPayload>(message->getPayload()) : nullptr;
        if (!report) {
            ADD_FAILURE() << "no " << type << " with a StatusReportPayload for " << session.getValue();
            return std::string();
        }
        EXPECT_EQ(type, message->getMessageType()) << report->getMessage();
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
        return std::any_of(lines.begin(), lines.end(),
                           [&](const std::string& line) { return line.find(text) != std::string::npos; });
    }

    std::string partialOf(const std::string& name, const UUId& session) const {
        return dest + "/." + name + "." + session.getValue() + ".part";
    }

    testsupport::CapturingLogger logger;
    testsupport::TempDir temp;
    const std::string www = temp.file("www"), dest = temp.file("dest"), state = temp.file("state");
    std::unique_ptr<LoopbackServer> server;
    DownloadServiceOptions options;
    const std::string replyTopic = "test://download-replies/" + UUId::generate().getValue();
    RecordingSink replies;
    std::unique_ptr<DownloadService> service;
};

TEST_F(DownloadServiceTest, FinishedDownloadIsVerifiedOwnerOnlyAndReportsProgress) {
    const std::string content = serve("app-2.run", patternBytes(300000));
    const UUId session = UUId::generate();
    RecordingSink progress({DownloadService::progressTopic(session)});

    // The hash is compared without regard to letter case.
    std::string upperHash = sha256Hex(content);
    std::transform(upperHash.begin(), upperHash.end(), upperHash.begin(), ::toupper);
    start(session, server->url("/files/app-2.run"), upperHash);

    const std::string path = expectFinished(session);
    EXPECT_EQ(dest + "/app-2.run", path);
    EXPECT_EQ(content, readFile(path));
    struct stat info;
    ASSERT_EQ(0, ::stat(path.c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 07777u);
    EXPECT_EQ(std::vector<std::string>{"app-2.run"}, folderEntries(dest));
    const auto message = answer(session);
    EXPECT_EQ(replyTopic, message->getTargetTopic());
    EXPECT_EQ(1, message->getPriority());

    // Progress reports of the session, the last of them with every byte in.
    bool complete = false;
    for (int i = 0; i < 200 && !complete; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(20))) {
        for (const auto& report : progress.messagesOfType("ProgressReport")) {
            auto payload = boost::dynamic_pointer_cast<ProgressReportPayload>(report->getPayload());
            ASSERT_TRUE(payload);
            EXPECT_EQ(session, report->getSessionId());
            EXPECT_LE(payload->getCurrentBytes(), content.size());
            complete |= payload->getCurrentBytes() == content.size() && payload->getTotalBytes() == content.size();
        }
    }
    EXPECT_TRUE(complete);

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
    const std::string content = serve("big.bin", patternBytes(200000));
    struct Case {
        const char* query;
        bool restComesBeforeResume;  // as if it had arrived just before the host went down
    };
    for (const Case& c : {Case{"after=50000", false}, Case{"after=50000&norange=1", false},
                          Case{"after=50000&complete=1", true}}) {
        SCOPED_TRACE(c.query);
        const UUId session = UUId::generate();
        start(session, server->url("/flaky/big.bin?") + c.query, sha256Hex(content));
        expectFailure(session, DownloadFailure::Stalled);
        EXPECT_EQ(content.substr(0, 50000), readFile(partialOf("big.bin", session)));
        if (c.restComesBeforeResume) { ASSERT_TRUE(writeFile(partialOf("big.bin", session), content)); }

        const std::size_t before = server->requests().size();
        send("Resume", session);
        EXPECT_EQ(content, readFile(expectFinished(session, 1)));
        const std::string range = c.restComesBeforeResume ? "range=bytes=200000-" : "range=bytes=50000-";
        EXPECT_TRUE(anyRequestWith(std::string("/flaky/big.bin?") + c.query + " " + range));
        // A complete partial file is verified as it is (one ranged request answered 416).
        if (c.restComesBeforeResume) { EXPECT_EQ(before + 1, server->requests().size()); }
        EXPECT_EQ(std::vector<std::string>{"big.bin"}, folderEntries(dest));
    }
}

TEST_F(DownloadServiceTest, ResumeAfterARestartUsesTheSessionRecord) {
    const std::string content = serve("slow.bin", patternBytes(400000));
    const UUId session = UUId::generate();
    RecordingSink progress({DownloadService::progressTopic(session)});
    start(session, server->url("/slow/slow.bin?chunk=16384&delay=40"), sha256Hex(content));
    ASSERT_TRUE(progress.waitForType("ProgressReport"));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    // A stop ends the transfer without an answer and keeps what arrived.
    service.reset();
    const std::string kept = readFile(partialOf("slow.bin", session));
    ASSERT_FALSE(kept.empty());
    ASSERT_LT(kept.size(), content.size());
    EXPECT_EQ(content.substr(0, kept.size()), kept);
    for (const auto& message : replies.messages()) EXPECT_NE(session, message->getSessionId());

    startService();
    send("Resume", session);
    EXPECT_EQ(content, readFile(expectFinished(session)));
    EXPECT_TRUE(anyRequestWith("range=bytes=" + std::to_string(kept.size()) + "-"));
    EXPECT_TRUE(folderEntries(state).empty());  // the record goes with the finished download
}

TEST_F(DownloadServiceTest, FilesStayInsideTheFolderAndPlantedLinksAreNeverFollowed) {
    const std::string evil = serve("evil", patternBytes(300));
    const UUId escape = UUId::generate();
    start(escape, server->url("/files/..%2F..%2Fevil"), sha256Hex(evil));
    EXPECT_EQ(dest + "/evil", expectFinished(escape));
    EXPECT_EQ((std::vector<std::string>{"dest", "state", "www"}), folderEntries(temp.path()));
    ASSERT_EQ(0, ::unlink((dest + "/evil").c_str()));

    const std::string victim = temp.file("victim.txt");
    ASSERT_TRUE(writeFile(victim, "precious"));
    const std::string content = serve("app.bin", patternBytes(4000));
    // A link at the final name: the download fails and the link stays a link.
    ASSERT_EQ(0, ::symlink(victim.c_str(), (dest + "/app.bin").c_str()));
    const UUId first = UUId::generate();
    start(first, server->url("/files/app.bin"), sha256Hex(content));
    expectFailure(first, DownloadFailure::WriteFailed);
    EXPECT_TRUE(isSymlink(dest + "/app.bin"));
    EXPECT_EQ("precious", readFile(victim));
    ASSERT_EQ(0, ::unlink((dest + "/app.bin").c_str()));

    // A link at the partial file's name is removed, not written through.
    const UUId second = UUId::generate();
    ASSERT_EQ(0, ::symlink(victim.c_str(), partialOf("app.bin", second).c_str()));
    start(second, server->url("/files/app.bin"), sha256Hex(content));
    EXPECT_EQ(content, readFile(expectFinished(second)));
    EXPECT_FALSE(isSymlink(dest + "/app.bin"));
    EXPECT_EQ("precious", readFile(victim));
    EXPECT_EQ(std::vector<std::string>{"app.bin"}, folderEntries(dest));
}

TEST_F(DownloadServiceTest, AbortStopsARunningTransferAndIsAlwaysAnswered) {
    serve("slow.bin", patternBytes(1000000));
    const UUId session = UUId::generate();
    RecordingSink progress({DownloadService::progressTopic(session)});
    start(session, server->url("/slow/slow.bin?chunk=16384&delay=50"), "");
    ASSERT_TRUE(progress.waitForType("ProgressReport"));

    // One transfer per session at a time.
    start(session, server->url("/files/slow.bin"), "");
    expectFailure(session, DownloadFailure::Busy);

    const UUId idle = UUId::generate();  // nothing running: answered too
    for (const UUId& aborted : {session, idle}) send("Abort", aborted);
    for (const auto& reply : {answer(session, 1), answer(idle)}) {
        ASSERT_TRUE(reply);
        EXPECT_EQ("WasAborted", reply->getMessageType());
    }
    EXPECT_TRUE(folderEntries(dest).empty());
    EXPECT_TRUE(folderEntries(state).empty());
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(replies.messagesOfType("WasFinished").empty());
}

}  // namespace
