// The thread-pool bus, as the process bus and as private pools.
#include "bus/ThreadPoolDispatcher.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/thread/thread.hpp>
#include <gtest/gtest.h>

#include "bus/LocalMessage.h"
#include "bus/MessageDispatcher.h"
#include "support/TestSupport.h"

namespace {

using testsupport::RecordingSink;
using testsupport::makeMessage;
using MessagePtr = boost::shared_ptr<LocalMessage>;
using Pool = ThreadPoolDispatcher::Options;
using Types = std::vector<std::string>;

Types typesOf(const RecordingSink& sink) {
    Types types;
    for (const MessagePtr& message : sink.messages()) types.push_back(message->getMessageType());
    return types;
}

// Holds deliveries until opened; a wait never lasts more than ten seconds.
class Gate {
public:
    void open() { m_promise.set_value(); }
    void wait() const { m_future.wait_for(std::chrono::seconds(10)); }

private:
    std::promise<void> m_promise;
    std::shared_future<void> m_future = m_promise.get_future().share();
};

TEST(MessageDispatcherTest, RoutesByExactTopicAndRejectsInvalidCalls) {
    MessageDispatcher* bus = MessageDispatcher::getInstance();
    RecordingSink first({"test://route/a"});
    RecordingSink second({"test://route/a"});
    RecordingSink near({"test://route/A", "test://route/a/b"});
    first.subscribe("test://route/a");  // a second subscription still means one delivery
    EXPECT_NE(bus->post(MessagePtr()), 0);
    EXPECT_NE(bus->subscribe(nullptr, "test://route/a"), 0);
    EXPECT_NE(bus->subscribe(&first, ""), 0);
    bus->unsubscribe(&first, "test://never/subscribed");
    EXPECT_EQ(bus->post(makeMessage("test://nobody/listens", "Lost")), 0);

    EXPECT_EQ(bus->post(makeMessage("test://route/a", "Hello")), 0);
    // Deliveries to one sink keep post order: once a sink has its marker, all came.
    for (const char* topic : {"test://route/a", "test://route/A", "test://route/a/b"})
        EXPECT_EQ(bus->post(makeMessage(topic, "Marker")), 0);
    for (auto* sink : {&first, &second}) {
        ASSERT_TRUE(sink->waitForType("Marker"));
        EXPECT_EQ(typesOf(*sink), (Types{"Hello", "Marker"}));
    }
    ASSERT_TRUE(near.waitForCount(2));
    EXPECT_EQ(typesOf(near), (Types{"Marker", "Marker"}));
}

// An installed bus wins until it goes; a destroyed sink leaves the installed bus and
// the built-in one it joined earlier (a delivery to it would be a use after free).
TEST(MessageDispatcherTest, InstalledBusAndDestroyedSinks) {
    MessageDispatcher* builtIn = MessageDispatcher::getInstance();
    RecordingSink witness({"test://base/gone"});
    {
        ThreadPoolDispatcher installed(Pool{1, 2, 1000});
        {
            RecordingSink sink({"test://base/gone"});  // joins the built-in bus
            ASSERT_EQ(installed.subscribe(&sink, "test://base/gone"), 0);
            MessageDispatcher::setInstance(&installed);
            EXPECT_EQ(MessageDispatcher::getInstance(), &installed);
        }
        ASSERT_EQ(builtIn->post(makeMessage("test://base/gone", "After")), 0);
        ASSERT_EQ(installed.post(makeMessage("test://base/gone", "After")), 0);
        EXPECT_TRUE(witness.waitForType("After"));
    }
    EXPECT_EQ(MessageDispatcher::getInstance(), builtIn) << "a destroyed bus must uninstall itself";
}

// Several posters, a pool of several workers, two sinks on one topic: each sink sees
// every poster's messages in post order, never two at once.
TEST(ThreadPoolDispatcherTest, DeliversToEachSinkOneAtATimeInPostOrder) {
    constexpr int kPosters = 3;
    constexpr int kPerPoster = 1500;
    struct OrderSink : IMessageSink {
        std::atomic<int> inFlight{0}, overlaps{0}, outOfOrder{0}, received{0};
        std::vector<int> next = std::vector<int>(kPosters, 0);  // deliveries never overlap
        void handleMessage(MessagePtr message) override {
            if (++inFlight > 1) ++overlaps;
            std::this_thread::yield();  // widen the window an overlap would need
            int& expected = next[std::stoi(message->getMessageType())];
            if (message->getPriority() != expected) ++outOfOrder;
            expected = message->getPriority() + 1;
            --inFlight;
            ++received;
        }
    };
    OrderSink left, right;
    ThreadPoolDispatcher bus(Pool{4, 8, 30000});
    ASSERT_EQ(bus.subscribe(&left, "test://order"), 0);
    ASSERT_EQ(bus.subscribe(&right, "test://order"), 0);
    std::vector<std::thread> posters;
    for (int p = 0; p < kPosters; ++p)
        posters.emplace_back([&bus, p] {
            for (int i = 0; i < kPerPoster; ++i)
                bus.post(makeMessage("test://order", std::to_string(p), "", UUId(), i));
        });
    for (auto& t : posters) t.join();
    for (OrderSink* sink : {&left, &right}) {
        // Slow on a loaded machine: every delivery yields its thread.
        ASSERT_TRUE(testsupport::waitFor([&] { return sink->received == kPosters * kPerPoster; }, std::chrono::seconds(60)))
            << sink->received.load();
        EXPECT_EQ(sink->overlaps.load(), 0);
        EXPECT_EQ(sink->outOfOrder.load(), 0);
        EXPECT_EQ(sink->next, std::vector<int>(kPosters, kPerPoster));
    }
    EXPECT_TRUE(bus.shutdown());
}

// A pool that starts empty grows while every worker is blocked, never past its cap,
// and lets idle workers retire once the blocking ends. unsubscribe from another
// thread returns only after the sink's running delivery ended, so the sink may be
// destroyed at once; its queued message is dropped.
TEST(ThreadPoolDispatcherTest, BlockedDeliveriesGrowThePoolAndUnsubscribeWaitsForThem) {
    Gate release;
    std::atomic<bool> firstDone{false};
    RecordingSink live;
    std::unique_ptr<RecordingSink> blocked[3];
    ThreadPoolDispatcher bus(Pool{0, 3, 50});
    EXPECT_EQ(bus.workerCount(), 0u);
    ASSERT_EQ(bus.subscribe(&live, "test://pool/live"), 0);
    for (int i = 0; i < 3; ++i) {
        blocked[i] = std::make_unique<RecordingSink>();
        blocked[i]->setOnMessage([&release, &firstDone, i](const MessagePtr&) {
            release.wait();
            if (i == 0) firstDone = true;
        });
        ASSERT_EQ(bus.subscribe(blocked[i].get(), "test://pool/blocked" + std::to_string(i)), 0);
    }
    ASSERT_EQ(bus.post(makeMessage("test://pool/blocked0", "Block")), 0);
    ASSERT_TRUE(blocked[0]->waitForType("Block"));
    ASSERT_EQ(bus.post(makeMessage("test://pool/live", "Ping")), 0);
    ASSERT_TRUE(live.waitForType("Ping")) << "a blocked delivery held up another sink";
    for (int i = 1; i < 3; ++i) {
        ASSERT_EQ(bus.post(makeMessage("test://pool/blocked" + std::to_string(i), "Block")), 0);
        ASSERT_TRUE(blocked[i]->waitForType("Block"));
    }
    ASSERT_EQ(bus.post(makeMessage("test://pool/live", "Queued")), 0);
    ASSERT_EQ(bus.post(makeMessage("test://pool/blocked0", "Queued")), 0);
    EXPECT_EQ(bus.workerCount(), 3u) << "the pool must not grow past maxWorkers";
    EXPECT_EQ(bus.busyWorkerCount(), 3u);
    EXPECT_EQ(live.count(), 1u) << "every worker is blocked: nobody can deliver";

    std::atomic<bool> returned{false};
    bool doneAtReturn = false;
    std::thread remover([&] {
        bus.unsubscribe(blocked[0].get(), "");
        doneAtReturn = firstDone;
        blocked[0].reset();  // a later delivery to it would be a use after free
        returned = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let the remover reach the bus
    EXPECT_FALSE(returned);
    release.open();
    remover.join();
    EXPECT_TRUE(doneAtReturn);

    EXPECT_TRUE(live.waitForType("Queued"));
    EXPECT_TRUE(testsupport::waitFor([&] { return bus.workerCount() == 0u && bus.busyWorkerCount() == 0u; }));
    ASSERT_EQ(bus.post(makeMessage("test://pool/live", "AfterRetire")), 0);
    EXPECT_TRUE(live.waitForType("AfterRetire"));
    EXPECT_TRUE(bus.shutdown());
}

// A sink may unsubscribe itself inside its own delivery: no deadlock, and queued
// messages that came through the removed topics are dropped while the others stay.
// Unsubscribing it again from another thread still waits for that delivery. Having
// left every topic it is forgotten: subscribing again starts afresh. One worker
// delivers in post order, so anything delivered wrongly would come before "Fresh".
TEST(ThreadPoolDispatcherTest, SinkUnsubscribesItselfDuringItsDelivery) {
    Gate release, finishLeave;
    std::atomic<bool> left{false}, leaveDone{false};
    RecordingSink sink;
    ThreadPoolDispatcher bus(Pool{1, 1, 30000});
    sink.setOnMessage([&](const MessagePtr& message) {
        if (message->getMessageType() == "First") {
            release.wait();
            bus.unsubscribe(&sink, "test://self/x");
        } else if (message->getMessageType() == "Leave") {
            bus.unsubscribe(&sink, "");
            left = true;
            finishLeave.wait();
            leaveDone = true;
        }
    });
    for (const char* topic : {"test://self/x", "test://self/y"}) ASSERT_EQ(bus.subscribe(&sink, topic), 0);
    ASSERT_EQ(bus.post(makeMessage("test://self/x", "First")), 0);
    ASSERT_TRUE(sink.waitForType("First"));
    ASSERT_EQ(bus.post(makeMessage("test://self/x", "DroppedX")), 0);
    ASSERT_EQ(bus.post(makeMessage("test://self/y", "KeptY")), 0);
    ASSERT_EQ(bus.post(makeMessage("test://self/x", "DroppedX")), 0);
    release.open();
    ASSERT_TRUE(sink.waitForType("KeptY")) << "unsubscribe inside the sink's own delivery deadlocked";

    for (const char* type : {"Leave", "DroppedAfterLeave"}) ASSERT_EQ(bus.post(makeMessage("test://self/y", type)), 0);
    ASSERT_TRUE(testsupport::waitFor([&] { return left.load(); }));
    bool doneAtReturn = false;
    std::thread owner([&] {
        bus.unsubscribe(&sink, "");
        doneAtReturn = leaveDone;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // let the owner reach the bus
    finishLeave.open();
    owner.join();
    EXPECT_TRUE(doneAtReturn) << "unsubscribe returned while a delivery to the sink still ran";

    ASSERT_EQ(bus.subscribe(&sink, "test://self/z"), 0);
    ASSERT_EQ(bus.post(makeMessage("test://self/y", "Stale")), 0);
    ASSERT_EQ(bus.post(makeMessage("test://self/z", "Fresh")), 0);
    ASSERT_TRUE(sink.waitForType("Fresh"));
    EXPECT_EQ(typesOf(sink), (Types{"First", "KeptY", "Leave", "Fresh"}));
}

TEST(ThreadPoolDispatcherTest, ExceptionsFromHandlersAreLoggedAndDeliveryGoesOn) {
    testsupport::CapturingLogger log;
    RecordingSink sink({"test://throwing"});
    sink.setOnMessage([](const MessagePtr& message) {
        const std::string& type = message->getMessageType();
        if (type == "Std") throw std::runtime_error("disk on fire");
        if (type == "NotAnException") throw 42;
        if (type == "Interrupted") throw boost::thread_interrupted();
    });
    for (const char* type : {"Std", "NotAnException", "Interrupted", "Fine"})
        ASSERT_EQ(MessageDispatcher::getInstance()->post(makeMessage("test://throwing", type)), 0);
    ASSERT_TRUE(sink.waitForType("Fine"));
    MessageDispatcher::getInstance()->unsubscribe(&sink, "");

    EXPECT_EQ(typesOf(sink), (Types{"Std", "NotAnException", "Interrupted", "Fine"}));
    EXPECT_EQ(log.countContaining("disk on fire"), 1u);
    EXPECT_EQ(log.countContaining("'NotAnException'"), 1u);
    EXPECT_EQ(log.countContaining("test://throwing"), 3u);
    for (const std::string& line : log.lines())
        EXPECT_EQ(line.rfind("ThreadPoolDispatcher.cpp[", 0), 0u) << line;
}

// Shutdown refuses later work, interrupts blocked deliveries and joins their workers.
// A delivery that ignores interruption cannot be joined: shutdown gives up after its
// time-out and logs, and unsubscribe still waits for that delivery to end.
TEST(ThreadPoolDispatcherTest, ShutdownInterruptsBlockedDeliveriesAndRefusesLaterWork) {
    testsupport::CapturingLogger log;
    Gate release;
    std::atomic<bool> interrupted{false}, stubbornDone{false};
    RecordingSink sleeper, stubborn, latecomer;
    sleeper.setOnMessage([&](const MessagePtr&) {
        try {
            boost::this_thread::sleep(boost::posix_time::hours(1));
        } catch (const boost::thread_interrupted&) {
            interrupted = true;
            throw;
        }
    });
    stubborn.setOnMessage([&](const MessagePtr&) {
        release.wait();  // a std wait: not a Boost interruption point
        stubbornDone = true;
    });
    ThreadPoolDispatcher bus(Pool{1, 4, 30000});
    ASSERT_EQ(bus.subscribe(&sleeper, "test://shutdown/sleep"), 0);
    ASSERT_EQ(bus.subscribe(&stubborn, "test://shutdown/stubborn"), 0);
    for (const char* type : {"Block", "Queued"}) ASSERT_EQ(bus.post(makeMessage("test://shutdown/sleep", type)), 0);
    ASSERT_EQ(bus.post(makeMessage("test://shutdown/stubborn", "Block")), 0);
    ASSERT_TRUE(sleeper.waitForType("Block"));
    ASSERT_TRUE(stubborn.waitForType("Block"));

    EXPECT_FALSE(bus.shutdown(500));
    EXPECT_EQ(log.countContaining("did not end within 500 ms"), 1u) << "only the stubborn delivery may stay";
    EXPECT_TRUE(interrupted);
    EXPECT_TRUE(bus.isShutDown());
    EXPECT_EQ(bus.workerCount(), 0u);
    EXPECT_EQ(typesOf(sleeper), (Types{"Block"})) << "the queued message must be dropped";
    EXPECT_NE(bus.post(makeMessage("test://shutdown/sleep", "Late")), 0);
    EXPECT_NE(bus.subscribe(&latecomer, "test://shutdown/late"), 0);
    bus.unsubscribe(&sleeper, "");
    release.open();
    bus.unsubscribe(&stubborn, "");
    EXPECT_TRUE(stubbornDone);
}

}  // namespace
