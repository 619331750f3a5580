// DownloaderProxy against a scripted fake download service on the real bus.
#include "DownloaderProxy.h"

#include <atomic>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "IDownloaderObserver.h"
#include "bus/MessageDispatcher.h"
#include "payloads/Payloads.h"
#include "support/TestSupport.h"

namespace {

using MessagePtr = boost::shared_ptr<LocalMessage>;
using PayloadPtr = boost::shared_ptr<ISerializable>;
using Outcomes = std::vector<std::pair<int, std::string>>;
using Texts = std::vector<std::string>;
const std::string kFolder = "/var/tmp/kestrup-downloads", kDigest = "sha256:5f0c3a9e";
const std::string kPath = kFolder + "/setup-2.1.exe";
const std::string kNext = "DOWNLOADER_PROXY: Trying with next mirror...";
const std::string kNoMore = "DOWNLOADER_PROXY: No more mirrors. Notifying error...";

std::string mirrorUrl(int index) { return "https://mirror" + std::to_string(index) + ".example/setup-2.1.exe"; }
std::string error(int code) { return "DOWNLOADER_PROXY: Download error #" + std::to_string(code); }

KSFile makeFile(int mirrorCount) {
    KSFile file;
    file.setDigest(kDigest);
    std::list<KSMirror> mirrors;
    for (int i = 1; i <= mirrorCount; ++i) mirrors.push_back(KSMirror(mirrorUrl(i), ""));
    file.setMirrors(mirrors);
    return file;
}

struct Answer {  // of the fake service
    std::string type;
    PayloadPtr payload;
};
Answer failed(int32_t code, const std::string& type = "WasFailed") {
    return Answer{type, PayloadPtr(new StatusReportPayload(code, "transfer failed"))};
}
Answer finished() { return Answer{"WasFinished", PayloadPtr(new StatusReportPayload(0, kPath))}; }

// A request of the proxy as one text: its header, then the fields of a "Start" payload.
std::string describe(const MessagePtr& request) {
    std::string text = request->getMessageType() + " session=" + request->getSessionId().getValue() +
                       " reply=" + request->getReplyTopic() + " priority=" + std::to_string(request->getPriority());
    if (auto start = boost::dynamic_pointer_cast<StartRequestPayload>(request->getPayload()))
        text += " url=" + start->getUrl() + " user=" + start->getUserName() + " password=" + start->getPassword() +
                " folder=" + start->getDestinationFolder() + " auth=" + std::to_string(start->getUseAuthData()) +
                " hash=" + start->getFileHash();
    else if (request->getPayload())
        text += " with an unexpected payload";
    return text;
}

// What describe() gives for a request as the proxy must send it; mirror 0: no payload.
std::string expected(const std::string& type, const UUId& session, int mirror = 0) {
    std::string text = type + " session=" + session.getValue() + " reply=" + DownloaderProxy::ReplyTopic + " priority=1";
    if (mirror) text += " url=" + mirrorUrl(mirror) + " user= password= folder=" + kFolder + " auth=0 hash=" + kDigest;
    return text;
}

void postToProxy(const std::string& type, const UUId& session, const PayloadPtr& payload = PayloadPtr()) {
    MessagePtr message = testsupport::makeMessage(DownloaderProxy::ReplyTopic, type, "", session);
    if (payload) message->setPayload(payload);
    ASSERT_EQ(MessageDispatcher::getInstance()->post(message), 0);
}

// The test is the proxy's observer; the fake service records every request and
// answers each "Start" and "Resume" with the next scripted answer, under its session.
class DownloaderProxyTest : public ::testing::Test, public IDownloaderObserver {
protected:
    DownloaderProxyTest() {
        service.setOnMessage([this](const MessagePtr& request) {
            if (request->getMessageType() != "Start" && request->getMessageType() != "Resume") return;
            std::unique_lock<std::mutex> lock(mutex);
            if (script.empty()) return;
            const Answer next = script.front();
            script.pop_front();
            lock.unlock();
            postToProxy(next.type, request->getSessionId(), next.payload);
        });
        proxy.setDestinationFolder(kFolder);
        proxy.setObserver(this);
    }
    void onDownloadEvent(int code, std::string text) override {
        std::lock_guard<std::mutex> lock(mutex);
        outcomes.emplace_back(code, text);
    }
    Outcomes waitForOutcomes(std::size_t count) {
        testsupport::waitFor([&] {
            std::lock_guard<std::mutex> lock(mutex);
            return outcomes.size() >= count;
        });
        std::lock_guard<std::mutex> lock(mutex);
        return outcomes;
    }
    void answerWith(const std::vector<Answer>& answers) {
        std::lock_guard<std::mutex> lock(mutex);
        script.insert(script.end(), answers.begin(), answers.end());
    }
    Texts requests() {
        Texts texts;
        for (const MessagePtr& request : service.messages()) texts.push_back(describe(request));
        return texts;
    }
    // The proxy's log lines without their "DownloaderProxy.cpp[<line>] -> " prefix.
    Texts logTexts() {
        Texts texts;
        for (const std::string& line : logger.lines()) {
            EXPECT_EQ(line.rfind("DownloaderProxy.cpp[", 0), 0u) << line;
            texts.push_back(line.substr(line.find("] -> ") + 5));
        }
        return texts;
    }
    // The outcomes are exactly `want`: a "WasAborted" marker goes through the proxy
    // after every earlier message, so an extra outcome would come before the marker's.
    void expectOutcomes(Outcomes want, const UUId& current) {
        postToProxy("WasAborted", current);
        want.emplace_back(DownloadAborted, "");
        EXPECT_EQ(waitForOutcomes(want.size()), want);
    }

    testsupport::CapturingLogger logger;  // before the proxy, which takes the default logger
    std::mutex mutex;                     // guards the two below
    Outcomes outcomes;
    std::deque<Answer> script;
    const UUId session = UUId::generate();
    testsupport::RecordingSink service{{DownloaderProxy::ServiceTopic}};
    DownloaderProxy proxy;
};

// Every failure moves on to the next mirror in list order; only the last one's code
// picks the single final outcome.
TEST_F(DownloaderProxyTest, TriesEveryMirrorInOrderThenReportsOnce) {
    const struct {
        std::vector<Answer> failures;
        int outcome;
    } cases[] = {
        {{failed(5), failed(5), failed(12)}, DownloadFailed},
        {{failed(274), failed(5)}, DownloadFailed},
        {{failed(5), failed(7, "DownloaderError"), failed(274)}, DownloadFailedCode274},
    };
    Outcomes sofar;  // of every case so far, each followed by its marker's
    for (const auto& c : cases) {
        logger.clear();
        service.clear();
        answerWith(c.failures);
        proxy.startDownload(makeFile(static_cast<int>(c.failures.size())), session);
        Texts starts, log;
        for (std::size_t i = 0; i < c.failures.size(); ++i) {
            starts.push_back(expected("Start", session, static_cast<int>(i) + 1));
            log.push_back(error(boost::dynamic_pointer_cast<StatusReportPayload>(c.failures[i].payload)->getCode()));
            log.push_back(i + 1 < c.failures.size() ? kNext : kNoMore);
        }
        sofar.emplace_back(c.outcome, "");
        ASSERT_EQ(waitForOutcomes(sofar.size()).size(), sofar.size());
        expectOutcomes(sofar, session);
        sofar.emplace_back(DownloadAborted, "");
        EXPECT_EQ(requests(), starts);
        EXPECT_EQ(logTexts(), log);
    }
}

// A failure without a status report counts as -1 and fails over; a finish without one
// is a failure, without failover.
TEST_F(DownloaderProxyTest, RepliesWithoutAStatusReport) {
    answerWith({Answer{"WasFailed", PayloadPtr()}, Answer{"WasFinished", PayloadPtr(new ProgressReportPayload(1, 2, 3))}});
    proxy.startDownload(makeFile(3), session);
    ASSERT_EQ(waitForOutcomes(1).size(), 1u);
    expectOutcomes({{DownloadFailed, ""}}, session);
    EXPECT_EQ(requests(), (Texts{expected("Start", session, 1), expected("Start", session, 2)}));
    const std::string noReport = "DOWNLOADER_PROXY: Could not downcast to StatusReportPayload";
    EXPECT_EQ(logTexts(), (Texts{noReport, error(-1), kNext, noReport}));
}

// A file without mirrors, an abort of another session and messages of other sessions
// or of other types leave the current download as it was. A download started (on
// another thread) while a failover runs keeps all of its mirrors: the failover took
// its mirror before the new download began.
TEST_F(DownloaderProxyTest, KeepsTheCurrentDownloadAgainstEverythingElse) {
    proxy.startDownload(makeFile(3), session);
    ASSERT_TRUE(service.waitForCount(1));
    proxy.startDownload(makeFile(0), UUId::generate());
    EXPECT_EQ(logTexts(), (Texts{"DOWNLOADER_PROXY: KSFile contains no mirrors"}));
    const UUId other = UUId::generate();
    proxy.abortDownload(other);

    postToProxy("WasFinished", other, finished().payload);
    postToProxy("WasFailed", other, failed(274).payload);
    postToProxy("DownloaderError", other, failed(5).payload);
    postToProxy("WasAborted", other);
    postToProxy("WasFailed", UUId(), failed(5).payload);  // the default session is not ours either
    postToProxy("Start", session, failed(5).payload);     // our own requests echoed back
    postToProxy("Progress", session, failed(5).payload);
    const UUId second = UUId::generate();
    logger.onceOn("Trying with next mirror...", [&] { proxy.startDownload(makeFile(2), second); });
    postToProxy("WasFailed", session, failed(9).payload);  // moves on to mirror 2, same session
    ASSERT_TRUE(service.waitForCount(4));
    postToProxy("WasFailed", second, failed(5).payload);

    ASSERT_TRUE(service.waitForCount(5));
    expectOutcomes({}, second);
    EXPECT_EQ(requests(), (Texts{expected("Start", session, 1), expected("Abort", other), expected("Start", second, 1),
                                 expected("Start", session, 2), expected("Start", second, 2)}));
    EXPECT_EQ(logTexts(),
              (Texts{"DOWNLOADER_PROXY: KSFile contains no mirrors", error(9), kNext, error(5), kNext}));
}

// A resume consumes no mirror, so a failure after it starts the first one; a restart
// starts over from the first mirror under the same session.
TEST_F(DownloaderProxyTest, ResumeAndRestartBeginWithTheFirstMirror) {
    answerWith({failed(5), finished()});
    proxy.resumeDownload(makeFile(3), session);
    ASSERT_EQ(waitForOutcomes(1), (Outcomes{{DownloadFinished, kPath}}));
    answerWith({finished()});
    proxy.restartDownload();
    ASSERT_EQ(waitForOutcomes(2).size(), 2u);
    expectOutcomes({{DownloadFinished, kPath}, {DownloadFinished, kPath}}, session);
    EXPECT_EQ(requests(),
              (Texts{expected("Resume", session), expected("Start", session, 1), expected("Start", session, 1)}));
}

// A refused post is logged and uses up its mirror; a refused "Start" or "Resume" is
// reported back as a failure of its session (-1), so the failover goes on. A bus that
// refuses that report as well is shutting down: nothing more happens.
TEST_F(DownloaderProxyTest, ARefusedPostIsAFailureOfItsMirror) {
    std::atomic<bool> refuseAll(false);  // else only the requests to the service
    testsupport::ForwardingBus bus;
    bus.setOnPost([&](const MessagePtr& m) { return refuseAll || m->getTargetTopic() == DownloaderProxy::ServiceTopic; });
    proxy.resumeDownload(makeFile(2), session);
    ASSERT_EQ(waitForOutcomes(1), (Outcomes{{DownloadFailed, ""}}));
    const std::string notPosted = "DOWNLOADER_PROXY: Could not post message.";
    EXPECT_EQ(logTexts(), (Texts{notPosted, error(-1), kNext, notPosted, error(-1), kNext, notPosted, error(-1), kNoMore}));
    EXPECT_TRUE(requests().empty());

    logger.clear();
    refuseAll = true;
    proxy.startDownload(makeFile(3), session);
    proxy.abortDownload(session);
    EXPECT_EQ(logTexts(), Texts(3, notPosted));
    bus.setOnPost(nullptr);
    postToProxy("WasFailed", session, failed(5).payload);
    ASSERT_TRUE(service.waitForCount(1));
    expectOutcomes({{DownloadFailed, ""}}, session);
    EXPECT_EQ(requests(), (Texts{expected("Start", session, 2)}));
}

}  // namespace
