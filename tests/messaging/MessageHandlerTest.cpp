// sendRequestAndWait and MessageHandler on the real bus, seen through a bus wrapper
// that watches the reply topic's subscribers.
#include "messaging/MessageHandler.h"

#include <atomic>
#include <mutex>
#include <set>
#include <string>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/thread/thread.hpp>
#include <gtest/gtest.h>

#include "bus/LocalMessage.h"
#include "bus/MessageDispatcher.h"
#include "support/TestSupport.h"

namespace {

using testsupport::makeMessage;
using MessagePtr = boost::shared_ptr<LocalMessage>;
const uint32_t kNoLimit = 0xFFFFFFFFu;
const char* const kServiceTopic = "event://Test/MessageHandler/Service";

class MessageHandlerTest : public ::testing::Test {
protected:
    MessageHandlerTest() {
        bus.setOnPost([this](const MessagePtr& message) {
            if (message->getReplyTopic() == replyTopic) subscribedAtPost = subscribers() > 0;
            return 0;
        });
        bus.setOnSubscribe([this](IMessageSink* sink, const std::string& topic) {
            std::lock_guard<std::mutex> lock(mutex);
            if (topic == replyTopic) sinks.insert(sink);
        });
        bus.setOnUnsubscribe([this](IMessageSink* sink, const std::string& topic) {
            std::lock_guard<std::mutex> lock(mutex);
            if (topic.empty() || topic == replyTopic) sinks.erase(sink);
        });
    }
    std::size_t subscribers() {
        std::lock_guard<std::mutex> lock(mutex);
        return sinks.size();
    }
    MessagePtr request() { return makeMessage(kServiceTopic, "Question", replyTopic, session, 1); }

    const std::string replyTopic = "event://Test/MessageHandler/Reply/" + UUId::generate().getValue();
    const UUId session = UUId::generate();
    std::mutex mutex;
    std::set<IMessageSink*> sinks;  // subscribed to replyTopic; guarded by mutex
    std::atomic<bool> subscribedAtPost{false};
    testsupport::ForwardingBus bus;
    testsupport::RecordingSink service{{kServiceTopic}};  // joins `bus`, installed by then
};

TEST_F(MessageHandlerTest, ReturnsTheReplyOrNothingAndLeavesNothingSubscribed) {
    EXPECT_FALSE(sendRequestAndWait(MessagePtr(), 1)) << "no request: nothing posted, nothing awaited";
    EXPECT_FALSE(sendRequestAndWait(request(), 1)) << "nobody answers: the time-out";
    EXPECT_EQ(subscribers(), 0u);
    service.setOnMessage([](const MessagePtr& question) {
        MessageDispatcher::getInstance()->post(
            makeMessage(question->getReplyTopic(), "AnyTypeAtAll", "", question->getSessionId()));
    });
    MessagePtr response = sendRequestAndWait(request(), 30);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->getMessageType(), "AnyTypeAtAll");
    EXPECT_EQ(response->getSessionId(), session);
    EXPECT_TRUE(subscribedAtPost) << "subscribe before the post";
    EXPECT_EQ(subscribers(), 0u);
}

TEST_F(MessageHandlerTest, InterruptionPassesOnAndLeavesNothingSubscribed) {
    std::atomic<bool> interrupted(false), returned(false);
    boost::thread waiter([&] {
        try {
            sendRequestAndWait(request(), kNoLimit);
            returned = true;
        } catch (const boost::thread_interrupted&) {
            interrupted = true;
        }
    });
    ASSERT_TRUE(service.waitForCount(1));  // posted, so subscribed and about to wait
    waiter.interrupt();
    if (!waiter.timed_join(boost::posix_time::seconds(10))) {
        bus.post(makeMessage(replyTopic, "Release"));  // no thread may outlive the test
        waiter.join();
        FAIL() << "the wait was not interrupted";
    }
    EXPECT_TRUE(interrupted);
    EXPECT_FALSE(returned);
    EXPECT_EQ(subscribers(), 0u);
}

// A reply stored before the wait ends it at once; of two replies the later one wins,
// and a reply is handed out only once.
TEST(MessageHandlerWaitTest, AStoredReplyEndsTheWaitAndTheLaterOfTwoWins) {
    MessageHandler handler;
    MessagePtr first = makeMessage("event://Test/Any", "First"), second = makeMessage("event://Test/Any", "Second");
    handler.handleMessage(first);
    handler.handleMessage(second);
    MessagePtr taken;
    boost::thread waiter([&] { taken = handler.waitForResponse(kNoLimit); });
    if (!waiter.timed_join(boost::posix_time::seconds(10))) {
        waiter.interrupt();
        waiter.join();
        FAIL() << "a stored reply did not end the wait";
    }
    EXPECT_EQ(taken, second);
    EXPECT_FALSE(handler.waitForResponse(0));
}

}  // namespace
