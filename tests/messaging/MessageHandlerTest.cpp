// sendRequestAndWait and MessageHandler on the real bus, seen through a bus wrapper
// that keeps a journal of subscriptions and posts.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <future>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/thread/thread.hpp>

#include "support/TestSupport.h"
#include "bus/MessageDispatcher.h"
#include "messaging/MessageHandler.h"

namespace {

using testsupport::RecordingSink;
using testsupport::makeMessage;
typedef boost::shared_ptr<LocalMessage> MessagePtr;

const uint32_t kNoLimit = 0xFFFFFFFFu;
const char* const kResponderTopic = "event://Test/MessageHandler/Responder";

// Forwards to another bus and records who is subscribed where, and in which order
// subscriptions and posts happened.
class TrackingDispatcher : public MessageDispatcher {
public:
    explicit TrackingDispatcher(MessageDispatcher* target) : m_target(target) {}

    int post(boost::shared_ptr<LocalMessage> message) override {
        note("post " + message->getMessageType());
        return m_target->post(message);
    }
    int subscribe(IMessageSink* sink, const std::string& topic) override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_subscribers[topic].insert(sink);
            m_journal.push_back("subscribe " + topic);
        }
        return m_target->subscribe(sink, topic);
    }
    void unsubscribe(IMessageSink* sink, const std::string& topic) override {
        // Forward first and without our lock: the bus may wait for a running delivery.
        m_target->unsubscribe(sink, topic);
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto& entry : m_subscribers)
            if (topic.empty() || entry.first == topic) entry.second.erase(sink);
    }

    std::size_t subscriberCount(const std::string& topic) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_subscribers.find(topic);
        return it == m_subscribers.end() ? 0 : it->second.size();
    }
    std::vector<std::string> journal() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_journal;
    }
    // Waits up to ten seconds until `topic` has `count` subscribers.
    bool waitForSubscribers(const std::string& topic, std::size_t count) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (subscriberCount(topic) != count) {
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

private:
    void note(const std::string& entry) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_journal.push_back(entry);
    }

    MessageDispatcher* m_target;  // not owned
    mutable std::mutex m_mutex;
    std::map<std::string, std::set<IMessageSink*>> m_subscribers;  // guarded by m_mutex
    std::vector<std::string> m_journal;                             // guarded by m_mutex
};

std::size_t indexOf(const std::vector<std::string>& entries, const std::string& entry) {
    return static_cast<std::size_t>(std::find(entries.begin(), entries.end(), entry) - entries.begin());
}

class MessageHandlerTest : public ::testing::Test {
protected:
    MessageHandlerTest()
        : bus(MessageDispatcher::getInstance()),
          replyTopic("event://Test/MessageHandler/Reply/" + UUId::generate().getValue()),
          session(UUId::generate()) {
        MessageDispatcher::setInstance(&bus);
    }
    ~MessageHandlerTest() override { MessageDispatcher::setInstance(nullptr); }

    MessagePtr request() { return makeMessage(kResponderTopic, "Question", replyTopic, session, 1); }

    // Answers every request on its reply topic with one message per given type.
    void answerWith(RecordingSink& responder, const std::vector<std::string>& types) {
        responder.setOnMessage([types](const MessagePtr& question) {
            for (const std::string& type : types)
                MessageDispatcher::getInstance()->post(
                    makeMessage(question->getReplyTopic(), type, "", question->getSessionId()));
        });
    }

    TrackingDispatcher bus;
    std::string replyTopic;
    UUId session;
};

TEST_F(MessageHandlerTest, ReturnsTheReplyAndReleasesTheHandler) {
    RecordingSink responder({kResponderTopic});
    answerWith(responder, {"AnyTypeAtAll"});

    MessagePtr response = sendRequestAndWait(request(), 30);

    ASSERT_TRUE(response);
    EXPECT_EQ("AnyTypeAtAll", response->getMessageType());
    EXPECT_EQ(session, response->getSessionId());
    const std::vector<std::string> journal = bus.journal();
    const std::size_t subscribed = indexOf(journal, "subscribe " + replyTopic);
    ASSERT_LT(subscribed, journal.size());
    EXPECT_LT(subscribed, indexOf(journal, "post Question")) << "subscribe must come before the post";
    EXPECT_EQ(0u, bus.subscriberCount(replyTopic));
}

TEST_F(MessageHandlerTest, WaitsInsideABusDeliveryWhileTheReplyIsDelivered) {
    RecordingSink responder({kResponderTopic});
    answerWith(responder, {"Answer"});
    std::promise<MessagePtr> result;
    RecordingSink caller({"event://Test/MessageHandler/Caller"});
    caller.setOnMessage([&](const MessagePtr&) { result.set_value(sendRequestAndWait(request(), 30)); });

    bus.post(makeMessage("event://Test/MessageHandler/Caller", "Go"));

    std::future<MessagePtr> future = result.get_future();
    ASSERT_EQ(std::future_status::ready, future.wait_for(std::chrono::seconds(40)));
    MessagePtr response = future.get();
    ASSERT_TRUE(response);
    EXPECT_EQ("Answer", response->getMessageType());
}

TEST_F(MessageHandlerTest, TimeOutGivesEmptyAndLeavesNothingSubscribed) {
    RecordingSink silentService({kResponderTopic});

    MessagePtr response = sendRequestAndWait(request(), 1);

    EXPECT_FALSE(response);
    EXPECT_EQ(1u, silentService.count());
    EXPECT_EQ(0u, bus.subscriberCount(replyTopic));
    // A late reply reaches only the listener that is there now.
    RecordingSink listener({replyTopic});
    bus.post(makeMessage(replyTopic, "LateAnswer", "", session));
    ASSERT_TRUE(listener.waitForCount(1));
    EXPECT_EQ(1u, bus.subscriberCount(replyTopic));
}

TEST_F(MessageHandlerTest, InterruptionPassesOnAndLeavesNothingSubscribed) {
    std::atomic<bool> interrupted(false);
    std::atomic<bool> returned(false);
    boost::thread waiter([&] {
        try {
            sendRequestAndWait(request(), kNoLimit);
            returned = true;
        } catch (const boost::thread_interrupted&) {
            interrupted = true;
        }
    });
    const bool subscribed = bus.waitForSubscribers(replyTopic, 1);

    waiter.interrupt();
    if (!waiter.timed_join(boost::posix_time::seconds(10))) {
        // Let the waiter go before failing, so no thread outlives this test.
        bus.post(makeMessage(replyTopic, "Release"));
        waiter.join();
        FAIL() << "the wait was not interrupted";
    }
    EXPECT_TRUE(subscribed);
    EXPECT_TRUE(interrupted);
    EXPECT_FALSE(returned);
    EXPECT_EQ(0u, bus.subscriberCount(replyTopic));
}

TEST(MessageHandlerWaitTest, AStoredReplyIsReturnedWithoutWaiting) {
    MessageHandler handler;
    MessagePtr early = makeMessage("event://Test/Any", "Early");
    handler.handleMessage(early);

    MessagePtr taken;
    boost::thread waiter([&] { taken = handler.waitForResponse(kNoLimit); });
    if (!waiter.timed_join(boost::posix_time::seconds(10))) {
        waiter.interrupt();
        waiter.join();
        FAIL() << "a stored reply did not end the wait";
    }
    EXPECT_EQ(early, taken);
    // Taken out: the next wait finds nothing.
    EXPECT_FALSE(handler.waitForResponse(0));
}

TEST(MessageHandlerWaitTest, TheLaterOfTwoRepliesWins) {
    MessageHandler handler;
    MessagePtr first = makeMessage("event://Test/Any", "First");
    MessagePtr second = makeMessage("event://Test/Any", "Second");
    handler.handleMessage(first);
    handler.handleMessage(second);

    EXPECT_EQ(second, handler.waitForResponse(5));
    EXPECT_FALSE(handler.waitForResponse(0));
}

}  // namespace
