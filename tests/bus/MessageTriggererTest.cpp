// Timed posts, seen through a bus wrapper that records every post as it happens.
#include "bus/MessageTriggerer.h"

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "bus/LocalMessage.h"
#include "bus/MessageDispatcher.h"
#include "support/TestSupport.h"

namespace {

namespace pt = boost::posix_time;
using testsupport::makeMessage;
using MessagePtr = boost::shared_ptr<LocalMessage>;

pt::ptime utcNow() { return pt::microsec_clock::universal_time(); }

// Records when each message object was posted, then hands it on to the bus that was
// installed before it.
class RecordingDispatcher : public testsupport::ForwardingBus {
public:
    RecordingDispatcher() {
        setOnPost([this](const MessagePtr& message) {
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_posts[message.get()].push_back(utcNow());
            }
            if (onPost) onPost(message);
            return 0;
        });
    }
    std::vector<pt::ptime> postsOf(const MessagePtr& message) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_posts[message.get()];
    }
    std::size_t countOf(const MessagePtr& message) { return postsOf(message).size(); }
    bool waitForCount(const MessagePtr& message, std::size_t count) {
        return testsupport::waitFor([&] { return countOf(message) >= count; });
    }

    std::function<void(const MessagePtr&)> onPost;  // runs inside post(); set before any task exists

private:
    std::mutex m_mutex;
    std::map<const LocalMessage*, std::vector<pt::ptime>> m_posts;  // guarded by m_mutex
};

// Lets `timer` work for 50 ms more: a one-shot marker due then is posted after every
// post that was due before it. Replaces sleeping for a guessed time.
void letRun(MessageTriggerer& timer, RecordingDispatcher& posts) {
    MessagePtr marker = makeMessage("test://trigger/marker", "Marker");
    timer.addTask(marker, utcNow() + pt::milliseconds(50), pt::time_duration());
    ASSERT_TRUE(posts.waitForCount(marker, 1));
}

TEST(MessageTriggererTest, PostsAtTheStartThenEveryIntervalAndOnceForNonPositiveIntervals) {
    RecordingDispatcher posts;
    MessageTriggerer triggerer(&posts);
    MessagePtr periodic = makeMessage("test://trigger/periodic", "Periodic");
    MessagePtr zero = makeMessage("test://trigger/once", "Zero");
    MessagePtr negative = makeMessage("test://trigger/once", "Negative");
    MessagePtr past = makeMessage("test://trigger/once", "Past");
    const pt::ptime start = utcNow() + pt::milliseconds(150);
    const pt::time_duration interval = pt::milliseconds(20);
    triggerer.addTask(periodic, start, interval);
    triggerer.addTask(zero, utcNow(), pt::time_duration());
    triggerer.addTask(negative, utcNow(), pt::seconds(-5));
    triggerer.addTask(past, utcNow() - pt::hours(24), pt::hours(1));  // once now, then in an hour

    ASSERT_TRUE(posts.waitForCount(periodic, 4));
    const auto times = posts.postsOf(periodic);
    for (std::size_t k = 0; k < times.size(); ++k)
        EXPECT_GE(times[k], start + interval * static_cast<int>(k)) << "post " << k << " came early";

    triggerer.addTask(periodic, utcNow() + pt::hours(1), interval);  // replaces the schedule
    const std::size_t afterReplace = posts.countOf(periodic);
    letRun(triggerer, posts);
    EXPECT_EQ(posts.countOf(periodic), afterReplace);
    for (const MessagePtr& once : {zero, negative, past}) EXPECT_EQ(posts.countOf(once), 1u) << once->getMessageType();
}

// Many rounds against a task that is due all the time: once removeTask returned, its
// message is never posted again; once shutdown returned, nothing is.
TEST(MessageTriggererTest, NoPostAfterRemoveTaskOrShutdownReturns) {
    RecordingDispatcher posts;
    MessageTriggerer clock(&posts);
    MessageTriggerer triggerer(&posts);
    std::vector<std::pair<MessagePtr, std::size_t>> stopped;  // kept alive: distinct addresses
    for (int round = 0; round < 200; ++round) {
        MessagePtr message = makeMessage("test://trigger/remove", "Busy");
        triggerer.addTask(message, utcNow(), pt::microseconds(100));
        ASSERT_TRUE(posts.waitForCount(message, 1));
        triggerer.removeTask(message);
        stopped.emplace_back(message, posts.countOf(message));
    }
    MessagePtr running = makeMessage("test://trigger/remove", "Running");
    MessagePtr afterShutdown = makeMessage("test://trigger/remove", "AfterShutdown");
    triggerer.addTask(running, utcNow(), pt::milliseconds(5));
    ASSERT_TRUE(posts.waitForCount(running, 1));
    triggerer.shutdown();
    stopped.emplace_back(running, posts.countOf(running));
    triggerer.addTask(afterShutdown, utcNow(), pt::milliseconds(5));
    stopped.emplace_back(afterShutdown, 0);
    triggerer.shutdown();  // idempotent
    letRun(clock, posts);
    int latePosts = 0;
    for (const auto& entry : stopped) latePosts += static_cast<int>(posts.countOf(entry.first) - entry.second);
    EXPECT_EQ(latePosts, 0);
}

// A bus that delivers inside post() may call back into the triggerer from the timer
// thread; that must neither deadlock nor lose the change.
TEST(MessageTriggererTest, TasksMayBeChangedFromInsideAPost) {
    RecordingDispatcher posts;
    MessageTriggerer triggerer(&posts);
    MessagePtr selfRemoving = makeMessage("test://trigger/reentrant", "SelfRemoving");
    MessagePtr addedInside = makeMessage("test://trigger/reentrant", "AddedInside");
    posts.onPost = [&](const MessagePtr& message) {
        if (message != selfRemoving) return;
        triggerer.removeTask(selfRemoving);
        triggerer.addTask(addedInside, utcNow(), pt::time_duration());
    };
    triggerer.addTask(selfRemoving, utcNow(), pt::milliseconds(5));
    ASSERT_TRUE(posts.waitForCount(addedInside, 1));
    letRun(triggerer, posts);
    EXPECT_EQ(posts.countOf(selfRemoving), 1u);
    EXPECT_EQ(posts.countOf(addedInside), 1u);
}

// A triggerer without a bus of its own posts to whichever bus the process has at
// that moment.
TEST(MessageTriggererTest, WithoutABusOfItsOwnPostsToTheProcessBusOfThatMoment) {
    MessageTriggerer mine;
    RecordingDispatcher first, second;
    MessagePtr message = makeMessage("test://trigger/default", "Default");
    MessageDispatcher::setInstance(&first);
    mine.addTask(message, utcNow(), pt::milliseconds(5));
    EXPECT_TRUE(first.waitForCount(message, 1));
    MessageDispatcher::setInstance(&second);
    EXPECT_TRUE(second.waitForCount(message, 1));
    mine.removeTask(message);
    MessageDispatcher::setInstance(nullptr);
}

}  // namespace
