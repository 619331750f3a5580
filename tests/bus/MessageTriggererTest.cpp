#include "bus/MessageTriggerer.h"

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <gtest/gtest.h>

#include "BusTestHelpers.h"
#include "bus/LocalMessage.h"
#include "bus/MessageDispatcher.h"
#include "support/TestSupport.h"

namespace {

namespace pt = boost::posix_time;
using testsupport::makeMessage;
using MessagePtr = boost::shared_ptr<LocalMessage>;

pt::ptime utcNow() { return pt::microsec_clock::universal_time(); }

// Hands every post on to a real bus and records, per message object, when it was
// posted. An optional hook runs inside post(), on the poster's thread.
class RecordingDispatcher : public MessageDispatcher {
public:
    explicit RecordingDispatcher(MessageDispatcher* target) : m_target(target) {}

    int post(MessagePtr message) override {
        std::function<void(const MessagePtr&)> hook;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_posts[message.get()].push_back(utcNow());
            hook = m_hook;
        }
        m_condition.notify_all();
        if (hook) hook(message);
        return m_target->post(message);
    }
    int subscribe(IMessageSink* sink, const std::string& topic) override { return m_target->subscribe(sink, topic); }
    void unsubscribe(IMessageSink* sink, const std::string& topic) override { m_target->unsubscribe(sink, topic); }

    void setHook(std::function<void(const MessagePtr&)> hook) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_hook = std::move(hook);
    }
    std::vector<pt::ptime> postsOf(const MessagePtr& message) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto it = m_posts.find(message.get());
        return it == m_posts.end() ? std::vector<pt::ptime>() : it->second;
    }
    std::size_t countOf(const MessagePtr& message) const { return postsOf(message).size(); }
    bool waitForCount(const MessagePtr& message, std::size_t count) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_condition.wait_for(lock, bustest::kEventTimeout, [&] { return m_posts[message.get()].size() >= count; });
    }

private:
    MessageDispatcher* m_target;
    mutable std::mutex m_mutex;
    std::condition_variable m_condition;
    std::map<const LocalMessage*, std::vector<pt::ptime>> m_posts;  // guarded by m_mutex
    std::function<void(const MessagePtr&)> m_hook;                  // guarded by m_mutex
};

// A periodic task used as the test's clock: "nothing more happened during N of
// its ticks" replaces sleeping for a guessed time.
class Metronome {
public:
    Metronome(MessageTriggerer& triggerer, RecordingDispatcher& posts)
        : m_triggerer(triggerer), m_posts(posts), m_tick(makeMessage("test://trigger/metronome", "Tick")) {
        m_triggerer.addTask(m_tick, utcNow(), pt::milliseconds(10));
    }
    ~Metronome() { m_triggerer.removeTask(m_tick); }
    // Waits for `ticks` more ticks.
    bool waitTicks(std::size_t ticks) { return m_posts.waitForCount(m_tick, m_posts.countOf(m_tick) + ticks); }

private:
    MessageTriggerer& m_triggerer;
    RecordingDispatcher& m_posts;
    MessagePtr m_tick;
};

TEST(MessageTriggererTest, PostsAtTheStartAndThenAfterEveryInterval) {
    RecordingDispatcher posts(MessageDispatcher::getInstance());
    MessageTriggerer triggerer(&posts);
    testsupport::RecordingSink sink({"test://trigger/periodic"});
    MessagePtr message = makeMessage("test://trigger/periodic", "Periodic");
    const pt::ptime start = utcNow() + pt::milliseconds(150);
    const pt::time_duration interval = pt::milliseconds(20);

    triggerer.addTask(message, start, interval);
    ASSERT_TRUE(posts.waitForCount(message, 4));
    const auto times = posts.postsOf(message);
    for (std::size_t k = 0; k < times.size(); ++k)
        EXPECT_GE(times[k], start + interval * static_cast<int>(k)) << "post " << k << " came early";
    EXPECT_TRUE(sink.waitForCount(4)) << "the posts reached the bus";
    EXPECT_EQ(sink.messages()[0], message);

    triggerer.removeTask(message);
    const std::size_t afterRemove = posts.countOf(message);
    Metronome metronome(triggerer, posts);
    ASSERT_TRUE(metronome.waitTicks(5));
    EXPECT_EQ(posts.countOf(message), afterRemove);
}

TEST(MessageTriggererTest, NonPositiveIntervalPostsOnceAndAPastStartPostsAtOnce) {
    RecordingDispatcher posts(MessageDispatcher::getInstance());
    MessageTriggerer triggerer(&posts);
    MessagePtr zero = makeMessage("test://trigger/once", "Zero");
    MessagePtr negative = makeMessage("test://trigger/once", "Negative");
    MessagePtr past = makeMessage("test://trigger/once", "Past");
    triggerer.addTask(zero, utcNow(), pt::time_duration(0, 0, 0));
    triggerer.addTask(negative, utcNow(), pt::seconds(-5));
    triggerer.addTask(past, utcNow() - pt::hours(24), pt::hours(1));

    Metronome metronome(triggerer, posts);
    ASSERT_TRUE(metronome.waitTicks(5));
    EXPECT_EQ(posts.countOf(zero), 1u);
    EXPECT_EQ(posts.countOf(negative), 1u);
    EXPECT_EQ(posts.countOf(past), 1u) << "a start in the past posts once at once, then waits an interval";
}

TEST(MessageTriggererTest, AddingTheSameMessageAgainReplacesItsSchedule) {
    RecordingDispatcher posts(MessageDispatcher::getInstance());
    MessageTriggerer triggerer(&posts);
    MessagePtr message = makeMessage("test://trigger/replace", "Replace");
    triggerer.addTask(message, utcNow(), pt::milliseconds(5));
    ASSERT_TRUE(posts.waitForCount(message, 2));

    triggerer.addTask(message, utcNow() + pt::hours(1), pt::milliseconds(5));
    const std::size_t afterReplace = posts.countOf(message);
    Metronome metronome(triggerer, posts);
    ASSERT_TRUE(metronome.waitTicks(5));
    EXPECT_EQ(posts.countOf(message), afterReplace);
    triggerer.removeTask(message);
}

// Many add/remove rounds against a task that is due all the time: once removeTask
// returned, its message must never be posted again.
TEST(MessageTriggererTest, NoPostAfterRemoveTaskReturns) {
    RecordingDispatcher posts(MessageDispatcher::getInstance());
    MessageTriggerer triggerer(&posts);
    std::mutex removedMutex;
    std::vector<const LocalMessage*> removed;
    std::atomic<int> latePosts{0};
    posts.setHook([&](const MessagePtr& message) {
        std::lock_guard<std::mutex> lock(removedMutex);
        for (const LocalMessage* r : removed)
            if (r == message.get()) ++latePosts;
    });
    std::vector<MessagePtr> keepAlive;  // distinct addresses across rounds
    for (int round = 0; round < 200; ++round) {
        MessagePtr message = makeMessage("test://trigger/remove", "Busy");
        keepAlive.push_back(message);
        triggerer.addTask(message, utcNow(), pt::microseconds(100));
        ASSERT_TRUE(posts.waitForCount(message, 1));
        triggerer.removeTask(message);
        std::lock_guard<std::mutex> lock(removedMutex);
        removed.push_back(message.get());
    }
    Metronome metronome(triggerer, posts);
    ASSERT_TRUE(metronome.waitTicks(3));
    EXPECT_EQ(latePosts.load(), 0);
    posts.setHook(nullptr);
}

// A bus that delivers inside post() may call back into the triggerer from the
// timer thread; that must neither deadlock nor lose the change.
TEST(MessageTriggererTest, TasksMayBeChangedFromInsideAPost) {
    RecordingDispatcher posts(MessageDispatcher::getInstance());
    MessageTriggerer triggerer(&posts);
    MessagePtr selfRemoving = makeMessage("test://trigger/reentrant", "SelfRemoving");
    MessagePtr addedInside = makeMessage("test://trigger/reentrant", "AddedInside");
    posts.setHook([&](const MessagePtr& message) {
        if (message != selfRemoving) return;
        triggerer.removeTask(selfRemoving);
        triggerer.addTask(addedInside, utcNow(), pt::time_duration(0, 0, 0));
    });
    triggerer.addTask(selfRemoving, utcNow(), pt::milliseconds(5));
    ASSERT_TRUE(posts.waitForCount(addedInside, 1));
    Metronome metronome(triggerer, posts);
    ASSERT_TRUE(metronome.waitTicks(5));
    EXPECT_EQ(posts.countOf(selfRemoving), 1u);
    EXPECT_EQ(posts.countOf(addedInside), 1u);
    posts.setHook(nullptr);
}

TEST(MessageTriggererTest, WithoutADispatcherPostsToTheProcessBusOfThatMoment) {
    MessageTriggerer triggerer;
    RecordingDispatcher first(MessageDispatcher::getInstance());
    RecordingDispatcher second(MessageDispatcher::getInstance());
    MessagePtr message = makeMessage("test://trigger/default", "Default");

    MessageDispatcher::setInstance(&first);
    triggerer.addTask(message, utcNow(), pt::milliseconds(5));
    EXPECT_TRUE(first.waitForCount(message, 1));
    MessageDispatcher::setInstance(&second);
    EXPECT_TRUE(second.waitForCount(message, 1));
    triggerer.removeTask(message);
    MessageDispatcher::setInstance(nullptr);
}

TEST(MessageTriggererTest, ShutdownStopsPostingAndIgnoresLaterTasks) {
    RecordingDispatcher posts(MessageDispatcher::getInstance());
    MessageTriggerer clock(&posts);
    Metronome metronome(clock, posts);
    MessagePtr before = makeMessage("test://trigger/stopped", "Before");
    MessagePtr after = makeMessage("test://trigger/stopped", "After");
    {
        MessageTriggerer triggerer(&posts);
        triggerer.addTask(before, utcNow(), pt::milliseconds(5));
        ASSERT_TRUE(posts.waitForCount(before, 1));
        triggerer.shutdown();
        const std::size_t atShutdown = posts.countOf(before);
        triggerer.addTask(after, utcNow(), pt::milliseconds(5));
        triggerer.shutdown();  // idempotent
        ASSERT_TRUE(metronome.waitTicks(5));
        EXPECT_EQ(posts.countOf(before), atShutdown);
        EXPECT_EQ(posts.countOf(after), 0u);
    }
}

TEST(MessageTriggererTest, SingletonIsTheInstalledOneElseAWorkingBuiltIn) {
    MessageTriggerer* builtIn = Singleton<MessageTriggerer>::instance();
    ASSERT_NE(builtIn, nullptr);
    {
        MessageTriggerer mine(MessageDispatcher::getInstance());
        Singleton<MessageTriggerer>::install(&mine);
        EXPECT_EQ(Singleton<MessageTriggerer>::instance(), &mine);
        Singleton<MessageTriggerer>::install(nullptr);
    }
    EXPECT_EQ(Singleton<MessageTriggerer>::instance(), builtIn);

    testsupport::RecordingSink sink({"test://trigger/builtin"});
    MessagePtr message = makeMessage("test://trigger/builtin", "FromBuiltIn");
    builtIn->addTask(message, utcNow(), pt::milliseconds(5));
    EXPECT_TRUE(sink.waitForCount(2));
    builtIn->removeTask(message);
}

}  // namespace
