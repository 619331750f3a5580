// The download service on the real bus, against a loopback HTTP server.
#include <chrono>
#include <memory>
#include <set>
#include <string>
#include <thread>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
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
using testsupport::CapturingLogger;
using testsupport::RecordingSink;
using testsupport::TempDir;

namespace {

const std::chrono::seconds kAnswerTimeout(30);

// A port on 127.0.0.1 that nothing listens on (bound once, then released).
int closedPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    ::close(fd);
    return ntohs(address.sin_port);
}

std::string upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

bool isSymlink(const std::string& path) {
    struct stat info;
    return ::lstat(path.c_str(), &info) == 0 && S_ISLNK(info.st_mode);
}

class DownloadServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        www = temp.file("www");
        dest = temp.file("dest");
        state = temp.file("state");
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
        boost::shared_ptr<LocalMessage> message = boost::make_shared<LocalMessage>(properties);
        if (payload) message->setPayload(payload);
        ASSERT_EQ(0, MessageDispatcher::getInstance()->post(message));
    }

    void start(const UUId& session, const std::string& url, const std::string& hash,
               const std::string& folder = "") {
        send("Start", session, boost::make_shared<StartRequestPayload>(url, "", "", folder, false, hash));
    }

    // The next answer (WasFinished, WasFailed, WasAborted) of `session` after the
    // `skip` answers it already had; empty after the time-out.
    boost::shared_ptr<LocalMessage> answer(const UUId& session, std::size_t skip = 0) {
        static const std::set<std::string> kAnswers = {"WasFinished", "WasFailed", "WasAborted"};
        const auto deadline = std::chrono::steady_clock::now() + kAnswerTimeout;
        while (std::chrono::steady_clock::now() < deadline) {
            std::size_t seen = 0;
            for (const auto& message : replies.messages()) {
                if (message->getSessionId() == session && kAnswers.count(message->getMessageType()) &&
                    seen++ == skip) {
                    return message;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return boost::shared_ptr<LocalMessage>();
    }

    static boost::shared_ptr<StatusReportPayload> status(const boost::shared_ptr<LocalMessage>& message) {
        return message ? boost::dynamic_pointer_cast<StatusReportPayload>(message->getPayload())
                       : boost::shared_ptr<StatusReportPayload>();
    }

    // Expects a "WasFailed" with `code` and returns its text.
    std::string expectFailure(const UUId& session, DownloadFailure code, std::size_t skip = 0) {
        boost::shared_ptr<LocalMessage> message = answer(session, skip);
        if (!message) {
            ADD_FAILURE() << "no answer for " << session.getValue();
            return std::string();
        }
        EXPECT_EQ("WasFailed", message->getMessageType());
        boost::shared_ptr<StatusReportPayload> report = status(message);
        if (!report) {
            ADD_FAILURE() << "WasFailed without a StatusReportPayload";
            return std::string();
        }
        EXPECT_EQ(static_cast<int32_t>(code), report->getCode()) << report->getMessage();
        EXPECT_EQ(downloadFailureName(static_cast<int32_t>(code)), report->getDetail());
        return report->getMessage();
    }

    // Expects a "WasFinished" and returns the path it names.
    std::string expectFinished(const UUId& session, std::size_t skip = 0) {
        boost::shared_ptr<LocalMessage> message = answer(session, skip);
        if (!message) {
            ADD_FAILURE() << "no answer for " << session.getValue();
            return std::string();
        }
        boost::shared_ptr<StatusReportPayload> report = status(message);
        EXPECT_EQ("WasFinished", message->getMessageType()) << (report ? report->getMessage() : "");
        if (!report) return std::string();
        EXPECT_EQ(0, report->getCode());
        return report->getMessage();
    }

    bool anyRequestWith(const std::string& text) const {
        for (const std::string& line : server->requests()) {
            if (line.find(text) != std::string::npos) return true;
        }
        return false;
    }

    CapturingLogger logger;
    TempDir temp;
    std::string www, dest, state;
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
    start(session, server->url("/files/app-2.run"), upper(sha256Hex(content)));

    const std::string path = expectFinished(session);
    EXPECT_EQ(dest + "/app-2.run", path);
    EXPECT_EQ(content, readFile(path));
    struct stat info;
    ASSERT_EQ(0, ::stat(path.c_str(), &info));
    EXPECT_EQ(0600u, info.st_mode & 07777u);
    EXPECT_EQ(std::vector<std::string>{"app-2.run"}, folderEntries(dest));

    // The answer carries the request's session on the request's reply topic.
    boost::shared_ptr<LocalMessage> message = answer(session);
    EXPECT_EQ(replyTopic, message->getTargetTopic());
    EXPECT_EQ(1, message->getPriority());

    // The last progress report says that every byte is in.
    ASSERT_TRUE(progress.waitForType("ProgressReport"));
    bool complete = false;
    for (int i = 0; i < 100 && !complete; ++i) {
        for (const auto& report : progress.messagesOfType("ProgressReport")) {
            auto payload = boost::dynamic_pointer_cast<ProgressReportPayload>(report->getPayload());
            ASSERT_TRUE(payload);
            EXPECT_EQ(session, report->getSessionId());
            EXPECT_LE(payload->getCurrentBytes(), content.size());
            complete = complete || (payload->getCurrentBytes() == content.size() &&
                                    payload->getTotalBytes() == content.size());
        }
        if (!complete) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(complete);
}

TEST_F(DownloadServiceTest, FileUrlsWorkAndANewerDownloadReplacesTheOldFile) {
    const std::string first = serve("local.bin", patternBytes(5000, 1));
    const UUId one = UUId::generate();
    start(one, "file://" + www + "/local.bin", "");  // empty hash: no check
    EXPECT_EQ(first, readFile(expectFinished(one)));

    const std::string second = serve("local.bin", patternBytes(7000, 2));
    const UUId two = UUId::generate();
    start(two, "file://" + www + "/local.bin", sha256Hex(second), dest);
    const std::string path = expectFinished(two);
    EXPECT_EQ(dest + "/local.bin", path);
    EXPECT_EQ(second, readFile(path));
}

TEST_F(DownloadServiceTest, FailuresAnswerWithTheirCodeAndLeaveNothingBehind) {
    serve("small.bin", patternBytes(1000));
    struct Case {
        const char* what;
        std::string url;
        std::string hash;
        DownloadFailure code;
    };
    const std::vector<Case> cases = {
        {"nobody listens", "http://127.0.0.1:" + std::to_string(closedPort()) + "/x.bin", "", DownloadFailure::TransferFailed},
        {"not found", server->url("/status/404"), "", DownloadFailure::HttpStatus},
        {"server error", server->url("/status/503"), "", DownloadFailure::HttpStatus},
        {"missing local file", "file://" + www + "/missing.bin", "", DownloadFailure::TransferFailed},
        {"unsupported scheme", "ftp://127.0.0.1/x.bin", "", DownloadFailure::InvalidRequest},
        {"no URL", "", "", DownloadFailure::InvalidRequest},
        {"hash of another kind", server->url("/files/small.bin"), "abc123", DownloadFailure::InvalidRequest},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const UUId session = UUId::generate();
        start(session, c.url, c.hash);
        expectFailure(session, c.code);
    }

    const UUId noPayload = UUId::generate();
    send("Start", noPayload);
    expectFailure(noPayload, DownloadFailure::InvalidRequest);

    const UUId unknown = UUId::generate();
    send("Resume", unknown);
    expectFailure(unknown, DownloadFailure::UnknownSession);

    EXPECT_TRUE(folderEntries(dest).empty());
}

TEST_F(DownloadServiceTest, DigestMismatchAnswers274AndDeletesTheFile) {
    const std::string content = serve("app.bin", patternBytes(20000));
    const UUId session = UUId::generate();
    start(session, server->url("/wrong/app.bin"), sha256Hex(content));
    const std::string text = expectFailure(session, DownloadFailure::DigestMismatch);
    EXPECT_NE(std::string::npos, text.find(sha256Hex(content))) << text;
    EXPECT_TRUE(folderEntries(dest).empty());
}

TEST_F(DownloadServiceTest, StalledTransferFailsAndResumeContinuesWithARange) {
    const std::string content = serve("big.bin", patternBytes(200000));
    const UUId session = UUId::generate();
    start(session, server->url("/flaky/big.bin?after=50000"), sha256Hex(content));

    expectFailure(session, DownloadFailure::Stalled);
    const std::string partial = dest + "/.big.bin." + session.getValue() + ".part";
    EXPECT_EQ(content.substr(0, 50000), readFile(partial));

    send("Resume", session);
    const std::string path = expectFinished(session, 1);
    EXPECT_EQ(content, readFile(path));
    EXPECT_TRUE(anyRequestWith("/flaky/big.bin?after=50000 range=bytes=50000-"));
    EXPECT_EQ(std::vector<std::string>{"big.bin"}, folderEntries(dest));
}

TEST_F(DownloadServiceTest, ResumeStartsOverWhenTheServerIgnoresTheRange) {
    const std::string content = serve("big.bin", patternBytes(120000));
    const UUId session = UUId::generate();
    start(session, server->url("/flaky/big.bin?after=30000&norange=1"), sha256Hex(content));
    expectFailure(session, DownloadFailure::Stalled);

    send("Resume", session);
    EXPECT_EQ(content, readFile(expectFinished(session, 1)));
    EXPECT_TRUE(anyRequestWith("range=bytes=30000-"));
}

TEST_F(DownloadServiceTest, ResumeOfACompletePartialFileVerifiesWhatIsThere) {
    const std::string content = serve("big.bin", patternBytes(90000));
    const UUId session = UUId::generate();
    start(session, server->url("/flaky/big.bin?after=1000"), sha256Hex(content));
    expectFailure(session, DownloadFailure::Stalled);

    // As if the rest had arrived just before the host went down.
    const std::string partial = dest + "/.big.bin." + session.getValue() + ".part";
    ASSERT_TRUE(writeFile(partial, content));
    send("Resume", session);
    EXPECT_EQ(content, readFile(expectFinished(session, 1)));
    // One request with the range, answered 416 (nothing left to send), and no second
    // download of the whole file.
    EXPECT_TRUE(anyRequestWith("range=bytes=90000-"));
    EXPECT_EQ(2u, server->requests().size());
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
    const std::string partial = dest + "/.slow.bin." + session.getValue() + ".part";
    const std::string kept = readFile(partial);
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

TEST_F(DownloadServiceTest, SizeCapEndsTheDownloadWithOrWithoutALength) {
    options.maxFileSizeBytes = 10000;
    startService();
    serve("large.bin", patternBytes(50000));
    for (const char* route : {"/files/large.bin", "/nolength/large.bin"}) {
        SCOPED_TRACE(route);
        const UUId session = UUId::generate();
        start(session, server->url(route), "");
        expectFailure(session, DownloadFailure::TooLarge);
    }
    EXPECT_TRUE(folderEntries(dest).empty());
}

TEST_F(DownloadServiceTest, NamesThatTryToLeaveTheFolderStayInside) {
    const std::string content = serve("evil", patternBytes(300));
    const UUId session = UUId::generate();
    start(session, server->url("/files/..%2F..%2Fevil"), sha256Hex(content));
    EXPECT_EQ(dest + "/evil", expectFinished(session));
    // Nothing appeared beside or above the destination folder.
    EXPECT_EQ((std::vector<std::string>{"dest", "state", "www"}), folderEntries(temp.path()));
}

TEST_F(DownloadServiceTest, PlantedLinksAreNeverFollowed) {
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
    const std::string partial = dest + "/.app.bin." + second.getValue() + ".part";
    ASSERT_EQ(0, ::symlink(victim.c_str(), partial.c_str()));
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

    send("Abort", session);
    boost::shared_ptr<LocalMessage> aborted = answer(session, 1);
    ASSERT_TRUE(aborted);
    EXPECT_EQ("WasAborted", aborted->getMessageType());
    EXPECT_TRUE(folderEntries(dest).empty());
    EXPECT_TRUE(folderEntries(state).empty());

    // Abort of a session with nothing running is answered too.
    const UUId idle = UUId::generate();
    send("Abort", idle);
    boost::shared_ptr<LocalMessage> idleAnswer = answer(idle);
    ASSERT_TRUE(idleAnswer);
    EXPECT_EQ("WasAborted", idleAnswer->getMessageType());

    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(replies.messagesOfType("WasFinished").empty());
}

}  // namespace
