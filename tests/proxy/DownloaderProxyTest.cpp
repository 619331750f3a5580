// DownloaderProxy against a scripted fake download service on the real bus.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <vector>

#include "DownloaderProxy.h"
#include "IDownloaderObserver.h"
#include "support/TestSupport.h"
#include "bus/MessageDispatcher.h"
#include "payloads/Payloads.h"

namespace {

using testsupport::CapturingLogger;
using testsupport::RecordingSink;
typedef boost::shared_ptr<LocalMessage> MessagePtr;

const std::chrono::seconds kWait(10);
const char* const kFolder = "/var/tmp/kestrup-downloads";
const char* const kDigest = "sha256:5f0c3a9e";
const char* const kPath = "/var/tmp/kestrup-downloads/setup-2.1.exe";

struct Event {
    int code;
    std::string text;
    bool operator==(const Event& other) const { return code == other.code && text == other.text; }
};

std::ostream& operator<<(std::ostream& out, const Event& event) {
    return out << "{" << event.code << ", \"" << event.text << "\"}";
}

// Records every outcome and lets the test wait for them.
class RecordingObserver : public IDownloaderObserver {
public:
    void onDownloadEvent(int code, std::string text) override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_events.push_back(Event{code, text});
        }
        m_condition.notify_all();
    }
    bool waitForCount(std::size_t count) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_condition.wait_for(lock, kWait, [&] { return m_events.size() >= count; });
    }
    std::vector<Event> events() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_condition;
    std::vector<Event> m_events;
};

// One scripted answer of the fake service.
struct Answer {
    std::string type;
    boost::shared_ptr<ISerializable> payload;
};

Answer failed(int32_t code, const std::string& type = "WasFailed") {
    return Answer{type, boost::shared_ptr<ISerializable>(new StatusReportPayload(code, "transfer failed"))};
}
Answer finished(const std::string& path) {
    return Answer{"WasFinished", boost::shared_ptr<ISerializable>(new StatusReportPayload(0, path))};
}

// Stands in for the host download service: records every request on its topic and
// answers each "Start" / "Resume" with the next scripted answer, on the request's
// reply topic and under the request's session id.
class FakeDownloadService {
public:
    FakeDownloadService() : m_sink({DownloaderProxy::ServiceTopic}) {
        m_sink.setOnMessage([this](const MessagePtr& request) { answer(request); });
    }
    void script(const std::vector<Answer>& answers) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_script.insert(m_script.end(), answers.begin(), answers.end());
    }
    bool waitForRequests(std::size_t count) { return m_sink.waitForCount(count, kWait); }
    std::vector<MessagePtr> requests() const { return m_sink.messages(); }
    std::vector<MessagePtr> requestsOfType(const std::string& type) const { return m_sink.messagesOfType(type); }

private:
    void answer(const MessagePtr& request) {
        if (request->getMessageType() != "Start" && request->getMessageType() != "Resume") return;
        Answer next;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_script.empty()) return;
            next = m_script.front();
            m_script.pop_front();
        }
        MessagePtr reply = testsupport::makeMessage(request->getReplyTopic(), next.type, "", request->getSessionId());
        if (next.payload) reply->setPayload(next.payload);
        MessageDispatcher::getInstance()->post(reply);
    }

    std::mutex m_mutex;
    std::deque<Answer> m_script;  // guarded by m_mutex
    RecordingSink m_sink;         // last: goes first, so no answer runs on dead members
};

KSFile makeFile(int mirrorCount) {
    KSFile file;
    file.setDigest(kDigest);
    file.setArguments("/quiet");
    std::list<KSMirror> mirrors;
    for (int i = 1; i <= mirrorCount; ++i)
        mirrors.push_back(KSMirror("https://mirror" + std::to_string(i) + ".example/setup-2.1.exe", ""));
    file.setMirrors(mirrors);
    return file;
}

std::string mirrorUrl(int index) { return "https://mirror" + std::to_string(index) + ".example/setup-2.1.exe"; }

void postToProxy(const std::string& type, const UUId& session,
                 boost::shared_ptr<ISerializable> payload = boost::shared_ptr<ISerializable>()) {
    MessagePtr message = testsupport::makeMessage(DownloaderProxy::ReplyTopic, type, "", session);
    if (payload) message->setPayload(payload);
    ASSERT_EQ(0, MessageDispatcher::getInstance()->post(message));
}

// The header every request of the proxy carries.
void expectRequestHeader(const MessagePtr& request, const std::string& type, const UUId& session) {
    const CommonMessageProperties defaults;
    EXPECT_EQ(type, request->getMessageType());
    EXPECT_EQ(DownloaderProxy::ServiceTopic, request->getTargetTopic());
    EXPECT_EQ(DownloaderProxy::ReplyTopic, request->getReplyTopic());
    EXPECT_EQ(1, request->getPriority());
    EXPECT_EQ(session, request->getSessionId());
    EXPECT_EQ(defaults.user, request->getUser());
    EXPECT_EQ(defaults.flags, request->getProperties().flags);
    EXPECT_EQ(defaults.messageId, request->getProperties().messageId);
}

void expectStart(const MessagePtr& request, const std::string& url, const UUId& session) {
    SCOPED_TRACE("Start to " + url);
    expectRequestHeader(request, "Start", session);
    boost::shared_ptr<StartRequestPayload> payload =
        boost::dynamic_pointer_cast<StartRequestPayload>(request->getPayload());
    ASSERT_TRUE(payload);
    EXPECT_EQ(url, payload->getUrl());
    EXPECT_EQ("", payload->getUserName());
    EXPECT_EQ("", payload->getPassword());
    EXPECT_EQ(kFolder, payload->getDestinationFolder());
    EXPECT_FALSE(payload->getUseAuthData());
    EXPECT_EQ(kDigest, payload->getFileHash());
}

// Lines logged by the proxy with exactly this text, in the "file[line] -> text" form.
std::size_t countLogLines(const CapturingLogger& logger, const std::string& text) {
    const std::string suffix = "] -> " + text;
    std::size_t count = 0;
    for (const std::string& line : logger.lines()) {
        if (line.rfind("DownloaderProxy.cpp[", 0) == 0 && line.size() >= suffix.size() &&
            line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0)
            ++count;
    }
    return count;
}

class DownloaderProxyTest : public ::testing::Test {
protected:
    DownloaderProxyTest() : session(UUId::generate()), proxy(new DownloaderProxy()) {
        proxy->setDestinationFolder(kFolder);
        proxy->setObserver(&observer);
    }

    // Asserts that the observer saw exactly `expected`, and nothing more: a marker
    // "WasAborted" of `markerSession` goes through the proxy after every earlier
    // message, so any extra outcome would be recorded before the marker's.
    void expectOutcomes(std::vector<Event> expected, const UUId& markerSession) {
        postToProxy("WasAborted", markerSession);
        expected.push_back(Event{DownloadAborted, ""});
        observer.waitForCount(expected.size());
        EXPECT_EQ(expected, observer.events());
    }

    CapturingLogger logger;  // before the proxy: the proxy takes the default logger when built
    RecordingObserver observer;
    FakeDownloadService service;
    UUId session;
    std::unique_ptr<DownloaderProxy> proxy;  // last: goes first
};

struct FailoverCase {
    const char* name;
    int mirrorCount;
    std::vector<Answer> failures;  // one per mirror
    int expectedOutcome;
};

void PrintTo(const FailoverCase& c, std::ostream* out) { *out << c.name; }

class DownloaderProxyFailoverTest : public DownloaderProxyTest,
                                    public ::testing::WithParamInterface<FailoverCase> {};

TEST_P(DownloaderProxyFailoverTest, TriesEveryMirrorInOrderThenReportsOnce) {
    const FailoverCase& c = GetParam();
    service.script(c.failures);
    proxy->startDownload(makeFile(c.mirrorCount), session);

    ASSERT_TRUE(observer.waitForCount(1));
    expectOutcomes({Event{c.expectedOutcome, ""}}, session);

    ASSERT_TRUE(service.waitForRequests(c.mirrorCount));
    std::vector<MessagePtr> requests = service.requests();
    ASSERT_EQ(static_cast<std::size_t>(c.mirrorCount), requests.size());
    for (int i = 0; i < c.mirrorCount; ++i) expectStart(requests[i], mirrorUrl(i + 1), session);

    std::map<int32_t, std::size_t> failuresByCode;
    for (const Answer& failure : c.failures)
        ++failuresByCode[boost::dynamic_pointer_cast<StatusReportPayload>(failure.payload)->getCode()];
    for (const auto& entry : failuresByCode)
        EXPECT_EQ(entry.second,
                  countLogLines(logger, "DOWNLOADER_PROXY: Download error #" + std::to_string(entry.first)));
    EXPECT_EQ(static_cast<std::size_t>(c.mirrorCount - 1),
              countLogLines(logger, "DOWNLOADER_PROXY: Trying with next mirror..."));
    EXPECT_EQ(1u, countLogLines(logger, "DOWNLOADER_PROXY: No more mirrors. Notifying error..."));
}

INSTANTIATE_TEST_SUITE_P(
    Codes, DownloaderProxyFailoverTest,
    ::testing::Values(
        FailoverCase{"ThreeMirrorsFail", 3, {failed(5), failed(5), failed(12)}, DownloadFailed},
        FailoverCase{"LastFailureIs274", 3, {failed(5), failed(7, "DownloaderError"), failed(274)},
                     DownloadFailedCode274},
        FailoverCase{"Earlier274DoesNotCount", 2, {failed(274), failed(5)}, DownloadFailed},
        FailoverCase{"SingleMirrorWith274", 1, {failed(274, "DownloaderError")}, DownloadFailedCode274},
        FailoverCase{"SingleMirror", 1, {failed(-3)}, DownloadFailed}),
    [](const ::testing::TestParamInfo<FailoverCase>& info) { return std::string(info.param.name); });

TEST_F(DownloaderProxyTest, FinishReportsThePathOrFailsWithoutStatusReport) {
    service.script({finished(kPath)});
    proxy->startDownload(makeFile(2), session);
    ASSERT_TRUE(observer.waitForCount(1));
    EXPECT_EQ((Event{DownloadFinished, kPath}), observer.events().at(0));
    EXPECT_EQ(0u, countLogLines(logger, "DOWNLOADER_PROXY: Could not downcast to StatusReportPayload"));

    // A finish whose payload is of another class is a failure, without failover.
    const UUId second = UUId::generate();
    service.script({Answer{"WasFinished", boost::shared_ptr<ISerializable>(new ProgressReportPayload(1, 2, 3))}});
    proxy->startDownload(makeFile(2), second);
    ASSERT_TRUE(observer.waitForCount(2));
    expectOutcomes({Event{DownloadFinished, kPath}, Event{DownloadFailed, ""}}, second);
    EXPECT_EQ(1u, countLogLines(logger, "DOWNLOADER_PROXY: Could not downcast to StatusReportPayload"));
    EXPECT_EQ(2u, service.requestsOfType("Start").size());
}

TEST_F(DownloaderProxyTest, FailureWithoutStatusReportCountsAsMinusOneAndFailsOver) {
    service.script({Answer{"WasFailed", boost::shared_ptr<ISerializable>()}, finished(kPath)});
    proxy->startDownload(makeFile(3), session);

    ASSERT_TRUE(observer.waitForCount(1));
    expectOutcomes({Event{DownloadFinished, kPath}}, session);
    std::vector<MessagePtr> starts = service.requestsOfType("Start");
    ASSERT_EQ(2u, starts.size());
    expectStart(starts[0], mirrorUrl(1), session);
    expectStart(starts[1], mirrorUrl(2), session);
    EXPECT_EQ(1u, countLogLines(logger, "DOWNLOADER_PROXY: Could not downcast to StatusReportPayload"));
    EXPECT_EQ(1u, countLogLines(logger, "DOWNLOADER_PROXY: Download error #-1"));
    EXPECT_EQ(1u, countLogLines(logger, "DOWNLOADER_PROXY: Trying with next mirror..."));
}

TEST_F(DownloaderProxyTest, FileWithoutMirrorsPostsNothingAndKeepsTheCurrentDownload) {
    // A download in progress on the first mirror of three.
    proxy->startDownload(makeFile(3), session);
    ASSERT_TRUE(service.waitForRequests(1));

    proxy->startDownload(makeFile(0), UUId::generate());
    const std::vector<std::string> lines = logger.lines();
    ASSERT_EQ(1u, lines.size());
    EXPECT_TRUE(std::regex_match(lines[0],
                                 std::regex(R"(DownloaderProxy\.cpp\[[0-9]+\] -> DOWNLOADER_PROXY: KSFile contains no mirrors)")))
        << lines[0];

    // The old session, file and remaining mirrors are untouched: its failure moves
    // on to mirror 2 under the old session.
    postToProxy("WasFailed", session, failed(9).payload);
    ASSERT_TRUE(service.waitForRequests(2));
    std::vector<MessagePtr> requests = service.requests();
    ASSERT_EQ(2u, requests.size());
    expectStart(requests[1], mirrorUrl(2), session);
    expectOutcomes({}, session);
}

TEST_F(DownloaderProxyTest, ResumeSendsNoUrlAndAFailureThenStartsTheFirstMirror) {
    service.script({failed(5), finished(kPath)});
    proxy->resumeDownload(makeFile(3), session);

    ASSERT_TRUE(observer.waitForCount(1));
    expectOutcomes({Event{DownloadFinished, kPath}}, session);
    std::vector<MessagePtr> requests = service.requests();
    ASSERT_EQ(2u, requests.size());
    expectRequestHeader(requests[0], "Resume", session);
    EXPECT_FALSE(requests[0]->getPayload());
    expectStart(requests[1], mirrorUrl(1), session);
}

TEST_F(DownloaderProxyTest, RestartStartsOverFromTheFirstMirrorUnderTheSameSession) {
    service.script({failed(5), failed(6)});
    proxy->startDownload(makeFile(2), session);
    ASSERT_TRUE(observer.waitForCount(1));
    ASSERT_EQ((Event{DownloadFailed, ""}), observer.events().at(0));

    service.script({finished(kPath)});
    proxy->restartDownload();
    ASSERT_TRUE(observer.waitForCount(2));
    expectOutcomes({Event{DownloadFailed, ""}, Event{DownloadFinished, kPath}}, session);

    std::vector<MessagePtr> starts = service.requestsOfType("Start");
    ASSERT_EQ(3u, starts.size());
    expectStart(starts[0], mirrorUrl(1), session);
    expectStart(starts[1], mirrorUrl(2), session);
    expectStart(starts[2], mirrorUrl(1), session);
}

TEST_F(DownloaderProxyTest, IgnoresOtherSessionsAndOtherMessageTypes) {
    proxy->startDownload(makeFile(3), session);
    ASSERT_TRUE(service.waitForRequests(1));

    const UUId other = UUId::generate();
    postToProxy("WasFinished", other, finished(kPath).payload);
    postToProxy("WasFailed", other, failed(274).payload);
    postToProxy("DownloaderError", other, failed(5).payload);
    postToProxy("WasAborted", other);
    postToProxy("WasFailed", UUId(), failed(5).payload);  // the default session is not ours either
    // Our own requests echoed back, and unknown types, under the current session.
    postToProxy("Start", session, failed(5).payload);
    postToProxy("Resume", session);
    postToProxy("Progress", session, failed(5).payload);

    expectOutcomes({}, session);
    EXPECT_EQ(0u, countLogLines(logger, "DOWNLOADER_PROXY: Trying with next mirror..."));
    EXPECT_TRUE(logger.lines().empty());
    EXPECT_EQ(1u, service.requests().size());
}

TEST_F(DownloaderProxyTest, AbortIsSentForTheGivenSessionAndKeepsTheCurrentOne) {
    proxy->startDownload(makeFile(2), session);
    const UUId other = UUId::generate();
    proxy->abortDownload(other);
    ASSERT_TRUE(service.waitForRequests(2));
    std::vector<MessagePtr> aborts = service.requestsOfType("Abort");
    ASSERT_EQ(1u, aborts.size());
    expectRequestHeader(aborts[0], "Abort", other);
    EXPECT_FALSE(aborts[0]->getPayload());

    postToProxy("WasFailed", session, failed(5).payload);
    ASSERT_TRUE(service.waitForRequests(3));
    std::vector<MessagePtr> starts = service.requestsOfType("Start");
    ASSERT_EQ(2u, starts.size());
    expectStart(starts[1], mirrorUrl(2), session);
}

// Forwards to another bus, refusing posts on demand.
class RefusingDispatcher : public MessageDispatcher {
public:
    explicit RefusingDispatcher(MessageDispatcher* target) : m_target(target), m_refuse(false) {}
    int post(boost::shared_ptr<LocalMessage> message) override { return m_refuse ? 1 : m_target->post(message); }
    int subscribe(IMessageSink* sink, const std::string& topic) override { return m_target->subscribe(sink, topic); }
    void unsubscribe(IMessageSink* sink, const std::string& topic) override { m_target->unsubscribe(sink, topic); }
    void setRefusePosts(bool refuse) { m_refuse = refuse; }

private:
    MessageDispatcher* m_target;  // not owned
    std::atomic<bool> m_refuse;
};

// Installs a bus for the test's lifetime and restores the built-in one after.
class InstalledDispatcher {
public:
    explicit InstalledDispatcher(MessageDispatcher* bus) { MessageDispatcher::setInstance(bus); }
    ~InstalledDispatcher() { MessageDispatcher::setInstance(nullptr); }
};

TEST(DownloaderProxyRefusedPostTest, LogsAndKeepsTheMirrorConsumed) {
    RefusingDispatcher bus(MessageDispatcher::getInstance());
    InstalledDispatcher installed(&bus);
    CapturingLogger logger;
    RecordingObserver observer;
    FakeDownloadService service;
    DownloaderProxy proxy;
    proxy.setDestinationFolder(kFolder);
    proxy.setObserver(&observer);
    const UUId session = UUId::generate();
    const std::string refused = "DOWNLOADER_PROXY: Could not post message.";

    bus.setRefusePosts(true);
    proxy.startDownload(makeFile(3), session);
    EXPECT_EQ(1u, countLogLines(logger, refused));
    proxy.abortDownload(session);
    EXPECT_EQ(2u, countLogLines(logger, refused));

    // The refused "Start" used up mirror 1: the next failure goes to mirror 2.
    bus.setRefusePosts(false);
    postToProxy("WasFailed", session, failed(5).payload);
    ASSERT_TRUE(service.waitForRequests(1));
    expectStart(service.requests().at(0), mirrorUrl(2), session);

    bus.setRefusePosts(true);
    proxy.resumeDownload(makeFile(3), session);
    EXPECT_EQ(3u, countLogLines(logger, refused));

    bus.setRefusePosts(false);
    postToProxy("WasAborted", session);
    ASSERT_TRUE(observer.waitForCount(1));
    EXPECT_EQ((std::vector<Event>{Event{DownloadAborted, ""}}), observer.events());
    EXPECT_EQ(1u, service.requests().size());
}

}  // namespace
