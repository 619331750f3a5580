#include "bus/ThreadPoolDispatcher.h"

#include <atomic>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>
#include <boost/thread/thread.hpp>
#include <gtest/gtest.h>

#include "BusTestHelpers.h"
#include "bus/LocalMessage.h"
#include "bus/MessageDispatcher.h"
#include "support/TestSupport.h"

namespace {

using bustest::Event;
using bustest::FunctionSink;
using testsupport::makeMessage;

ThreadPoolDispatcher::Options poolOptions(std::size_t minWorkers, std::size_t maxWorkers, unsigned idleRetireMs) {
    ThreadPoolDispatcher::Options options;
    options.minWorkers = minWorkers;
    options.maxWorkers = maxWorkers;
    options.idleRetireMs = idleRetireMs;
    return options;
}

using Types = std::vector<std::string>;

TEST(MessageDispatcherTest, PostReachesEverySubscriberOfExactlyThatTopic) {
    MessageDispatcher* bus = MessageDispatcher::getInstance();
    testsupport::RecordingSink first({"test://route/a"});
    testsupport::RecordingSink second({"test://route/a"});
    testsupport::RecordingSink otherCase({"test://route/A"});
    testsupport::RecordingSink longer({"test://route/a/b"});
    first.subscribe("test://route/a");  // a second subscription still means one delivery

    EXPECT_EQ(bus->post(makeMessage("test://route/a", "Hello")), 0);
    // Per-sink order: once a sink has its marker, anything posted to it earlier arrived.
    for (const char* topic : {"test://route/a", "test://route/A", "test://route/a/b"})
        EXPECT_EQ(bus->post(makeMessage(topic, "Marker")), 0);

    for (auto* sink : {&first, &second}) {
        ASSERT_TRUE(sink->waitForType("Marker"));
        ASSERT_EQ(sink->count(), 2u);
        EXPECT_EQ(sink->messages()[0]->getMessageType(), "Hello");
    }
    for (auto* sink : {&otherCase, &longer}) {
        ASSERT_TRUE(sink->waitForType("Marker"));
        EXPECT_EQ(sink->count(), 1u);
    }
}

TEST(MessageDispatcherTest, RejectsInvalidCallsAndDropsUnroutedPosts) {
    MessageDispatcher* bus = MessageDispatcher::getInstance();
    FunctionSink sink;
    EXPECT_EQ(bus->post(makeMessage("test://nobody/listens", "Lost")), 0);
    EXPECT_NE(bus->post(boost::shared_ptr<LocalMessage>()), 0);
    EXPECT_NE(bus->subscribe(nullptr, "test://topic"), 0);
    EXPECT_NE(bus->subscribe(&sink, ""), 0);
    bus->unsubscribe(nullptr, "");
    bus->unsubscribe(&sink, "test://never/subscribed");
    bus->unsubscribe(&sink, "");
}

TEST(MessageDispatcherTest, InstalledBusElseTheBuiltInOne) {
    MessageDispatcher* builtIn = MessageDispatcher::getInstance();
    ASSERT_NE(builtIn, nullptr);
    EXPECT_EQ(MessageDispatcher::getInstance(), builtIn);
    {
        ThreadPoolDispatcher mine(poolOptions(0, 1, 1000));
        MessageDispatcher::setInstance(&mine);
        EXPECT_EQ(MessageDispatcher::getInstance(), &mine);
        MessageDispatcher::setInstance(nullptr);
        EXPECT_EQ(MessageDispatcher::getInstance(), builtIn);

        // A bus that is destroyed while installed uninstalls itself.
        MessageDispatcher::setInstance(&mine);
    }
    EXPECT_EQ(MessageDispatcher::getInstance(), builtIn);
}

// The sink base unsubscribes on destruction from the installed bus and from the
// built-in one, which it may have joined before another bus was installed.
TEST(MessageDispatcherTest, DestroyedSinkIsNoLongerDelivered) {
    MessageDispatcher* builtIn = MessageDispatcher::getInstance();
    ThreadPoolDispatcher installed(poolOptions(1, 2, 1000));
    FunctionSink witness;
    ASSERT_EQ(builtIn->subscribe(&witness, "test://base/gone"), 0);
    {
        FunctionSink forgetful;  // never unsubscribes by itself
        ASSERT_EQ(builtIn->subscribe(&forgetful, "test://base/gone"), 0);
        ASSERT_EQ(installed.subscribe(&forgetful, "test://base/gone"), 0);
        MessageDispatcher::setInstance(&installed);
    }
    MessageDispatcher::setInstance(nullptr);
    // A delivery to the destroyed sink would be a use after free (caught by ASan).
    ASSERT_EQ(builtIn->post(makeMessage("test://base/gone", "After")), 0);
    ASSERT_EQ(installed.post(makeMessage("test://base/gone", "After")), 0);
    EXPECT_TRUE(witness.waitForType("After"));
    EXPECT_TRUE(installed.shutdown());
    builtIn->unsubscribe(&witness, "");
}

// Several posting threads, a pool with several workers, two sinks on one topic:
// each sink sees every poster's messages in post order, never two at once.
TEST(ThreadPoolDispatcherTest, DeliversToEachSinkOneAtATimeInPostOrder) {
    constexpr int kPosters = 3;
    constexpr int kPerPoster = 1500;

    struct OrderSink : IMessageSink {
        std::atomic<int> inFlight{0};
        std::atomic<int> maxInFlight{0};
        std::atomic<int> received{0};
        std::vector<std::vector<int>> sequences = std::vector<std::vector<int>>(kPosters);
        Event complete;
        void handleMessage(boost::shared_ptr<LocalMessage> message) override {
            const int now = ++inFlight;
            if (now > maxInFlight) maxInFlight = now;
            std::this_thread::yield();  // widen the window an overlap would need
            sequences[std::stoi(message->getMessageType())].push_back(message->getPriority());
            --inFlight;
            if (++received == kPosters * kPerPoster) complete.set();
        }
    };
    OrderSink left;
    OrderSink right;
    ThreadPoolDispatcher bus(poolOptions(4, 8, 30000));
    ASSERT_EQ(bus.subscribe(&left, "test://order"), 0);
    ASSERT_EQ(bus.subscribe(&right, "test://order"), 0);

    std::vector<std::thread> posters;
    for (int p = 0; p < kPosters; ++p) {
        posters.emplace_back([&bus, p] {
            for (int i = 0; i < kPerPoster; ++i)
                bus.post(makeMessage("test://order", std::to_string(p), "", UUId(), i));
        });
    }
    for (auto& t : posters) t.join();

    for (OrderSink* sink : {&left, &right}) {
        ASSERT_TRUE(sink->complete.waitFor(std::chrono::seconds(60)));
        EXPECT_EQ(sink->maxInFlight.load(), 1);
        for (int p = 0; p < kPosters; ++p) {
            const auto& seq = sink->sequences[p];
            ASSERT_EQ(seq.size(), static_cast<std::size_t>(kPerPoster));
            for (int i = 0; i < kPerPoster; ++i) ASSERT_EQ(seq[i], i) << "poster " << p;
        }
    }
    EXPECT_TRUE(bus.shutdown());
}

// While every worker is blocked the pool grows, up to its cap; once the blocking
// ends, idle workers retire down to the minimum and the bus still delivers.
TEST(ThreadPoolDispatcherTest, BlockedDeliveriesGrowThePoolWithinItsCapAndIdleWorkersRetire) {
    Event release;
    Event entered[3];
    std::vector<std::unique_ptr<FunctionSink>> blocked;
    for (int i = 0; i < 3; ++i) {
        blocked.push_back(std::make_unique<FunctionSink>([&release, &entered, i](const auto&) {
            entered[i].set();
            release.waitFor();
        }));
    }
    FunctionSink live;
    ThreadPoolDispatcher bus(poolOptions(1, 3, 50));
    ASSERT_EQ(bus.subscribe(&live, "test://pool/live"), 0);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(bus.subscribe(blocked[i].get(), "test://pool/blocked" + std::to_string(i)), 0);

    ASSERT_EQ(bus.post(makeMessage("test://pool/blocked0", "Block")), 0);
    ASSERT_TRUE(entered[0].waitFor());
    ASSERT_EQ(bus.post(makeMessage("test://pool/live", "Ping")), 0);
    ASSERT_TRUE(live.waitForType("Ping")) << "a blocked delivery held up another sink";
    EXPECT_GE(bus.workerCount(), 2u);

    ASSERT_EQ(bus.post(makeMessage("test://pool/blocked1", "Block")), 0);
    ASSERT_TRUE(entered[1].waitFor());
    ASSERT_EQ(bus.post(makeMessage("test://pool/blocked2", "Block")), 0);
    ASSERT_TRUE(entered[2].waitFor());
    ASSERT_EQ(bus.post(makeMessage("test://pool/live", "Queued")), 0);
    EXPECT_EQ(bus.workerCount(), 3u) << "the pool must not grow past maxWorkers";
    EXPECT_EQ(bus.busyWorkerCount(), 3u);

    release.set();
    EXPECT_TRUE(live.waitForType("Queued"));
    EXPECT_TRUE(bustest::eventually([&] { return bus.workerCount() == 1u; })) << bus.workerCount();
    EXPECT_TRUE(bustest::eventually([&] { return bus.busyWorkerCount() == 0u; }));

    ASSERT_EQ(bus.post(makeMessage("test://pool/live", "AfterRetire")), 0);
    EXPECT_TRUE(live.waitForType("AfterRetire"));
    EXPECT_TRUE(bus.shutdown());
}

TEST(ThreadPoolDispatcherTest, PoolWithoutIdleWorkersStartsOneOnDemand) {
    FunctionSink sink;
    ThreadPoolDispatcher bus(poolOptions(0, 2, 20));
    EXPECT_EQ(bus.workerCount(), 0u);
    ASSERT_EQ(bus.subscribe(&sink, "test://pool/zero"), 0);
    for (int round = 0; round < 3; ++round) {
        const std::string type = "Round" + std::to_string(round);
        ASSERT_EQ(bus.post(makeMessage("test://pool/zero", type)), 0);
        ASSERT_TRUE(sink.waitForType(type));
        ASSERT_TRUE(bustest::eventually([&] { return bus.workerCount() == 0u; }));
    }
    EXPECT_TRUE(bus.shutdown());
}

// unsubscribe from another thread returns only after the running delivery ended,
// so the sink can be deleted right away; its queued message is never delivered.
TEST(ThreadPoolDispatcherTest, UnsubscribeWaitsForTheRunningDelivery) {
    MessageDispatcher* bus = MessageDispatcher::getInstance();
    Event entered;
    Event release;
    std::atomic<bool> handlerDone{false};
    auto* sink = new FunctionSink([&](const auto&) {
        entered.set();
        release.waitFor();
        handlerDone = true;
    });
    ASSERT_EQ(bus->subscribe(sink, "test://unsubscribe/wait"), 0);
    ASSERT_EQ(bus->post(makeMessage("test://unsubscribe/wait", "Running")), 0);
    ASSERT_TRUE(entered.waitFor());
    ASSERT_EQ(bus->post(makeMessage("test://unsubscribe/wait", "Queued")), 0);

    Event returned;
    bool doneAtReturn = false;
    std::thread remover([&] {
        bus->unsubscribe(sink, "");
        doneAtReturn = handlerDone;
        delete sink;  // the bus must not touch it any more
        returned.set();
    });
    EXPECT_FALSE(returned.waitFor(std::chrono::milliseconds(100)));
    release.set();
    EXPECT_TRUE(returned.waitFor());
    remover.join();
    EXPECT_TRUE(doneAtReturn);
}

// A sink may unsubscribe itself inside its own delivery: no deadlock, and queued
// messages that came through the removed topic are dropped while the others stay.
TEST(ThreadPoolDispatcherTest, SinkUnsubscribesItselfDuringItsDelivery) {
    MessageDispatcher* bus = MessageDispatcher::getInstance();
    Event entered;
    Event release;
    Event leftTopic;
    FunctionSink* self = nullptr;
    FunctionSink sink([&](const boost::shared_ptr<LocalMessage>& message) {
        if (message->getMessageType() == "First") {
            entered.set();
            release.waitFor();
            bus->unsubscribe(self, "test://self/x");
            leftTopic.set();
        } else if (message->getMessageType() == "Leave") {
            bus->unsubscribe(self, "");
        }
    });
    self = &sink;
    FunctionSink witness;
    ASSERT_EQ(bus->subscribe(&sink, "test://self/x"), 0);
    ASSERT_EQ(bus->subscribe(&sink, "test://self/y"), 0);
    ASSERT_EQ(bus->subscribe(&witness, "test://self/y"), 0);

    ASSERT_EQ(bus->post(makeMessage("test://self/x", "First")), 0);
    ASSERT_TRUE(entered.waitFor());
    ASSERT_EQ(bus->post(makeMessage("test://self/x", "DroppedX")), 0);
    ASSERT_EQ(bus->post(makeMessage("test://self/y", "KeptY")), 0);
    ASSERT_EQ(bus->post(makeMessage("test://self/x", "DroppedX")), 0);
    release.set();
    ASSERT_TRUE(leftTopic.waitFor()) << "unsubscribe inside the sink's own delivery deadlocked";

    // Leaving every topic from inside a delivery drops what is still queued.
    ASSERT_EQ(bus->post(makeMessage("test://self/y", "Leave")), 0);
    ASSERT_EQ(bus->post(makeMessage("test://self/y", "AfterLeave")), 0);
    ASSERT_TRUE(witness.waitForType("AfterLeave"));
    ASSERT_TRUE(bustest::eventually([&] { return sink.count() >= 3u; }));
    EXPECT_EQ(sink.types(), (Types{"First", "KeptY", "Leave"}));
    bus->unsubscribe(&witness, "");
}

TEST(ThreadPoolDispatcherTest, ExceptionsFromHandlersAreLoggedAndDeliveryGoesOn) {
    testsupport::CapturingLogger log;
    MessageDispatcher* bus = MessageDispatcher::getInstance();
    FunctionSink sink([](const boost::shared_ptr<LocalMessage>& message) {
        const std::string& type = message->getMessageType();
        if (type == "Std") throw std::runtime_error("disk on fire");
        if (type == "NotAnException") throw 42;
        if (type == "Interrupted") throw boost::thread_interrupted();
    });
    ASSERT_EQ(bus->subscribe(&sink, "test://throwing"), 0);
    for (const char* type : {"Std", "NotAnException", "Interrupted", "Fine"})
        ASSERT_EQ(bus->post(makeMessage("test://throwing", type)), 0);
    ASSERT_TRUE(sink.waitForType("Fine"));
    bus->unsubscribe(&sink, "");

    EXPECT_EQ(sink.types(), (Types{"Std", "NotAnException", "Interrupted", "Fine"}));
    EXPECT_EQ(log.countContaining("disk on fire"), 1u);
    EXPECT_EQ(log.countContaining("'NotAnException'"), 1u);
    EXPECT_EQ(log.countContaining("test://throwing"), 3u);
    for (const std::string& line : log.lines())
        EXPECT_EQ(line.rfind("ThreadPoolDispatcher.cpp[", 0), 0u) << line;
}

TEST(ThreadPoolDispatcherTest, ShutdownInterruptsBlockedDeliveriesAndRefusesLaterWork) {
    Event sleeperEntered;
    Event waiterEntered;
    std::atomic<bool> sleeperInterrupted{false};
    std::atomic<bool> waiterInterrupted{false};
    FunctionSink sleeper([&](const auto&) {
        sleeperEntered.set();
        try {
            boost::this_thread::sleep(boost::posix_time::hours(1));
        } catch (const boost::thread_interrupted&) {
            sleeperInterrupted = true;
            throw;
        }
    });
    boost::mutex mutex;
    boost::condition_variable neverSignalled;
    FunctionSink waiter([&](const auto&) {
        boost::unique_lock<boost::mutex> lock(mutex);
        waiterEntered.set();
        try {
            for (;;) neverSignalled.wait(lock);
        } catch (const boost::thread_interrupted&) {
            waiterInterrupted = true;
            throw;
        }
    });
    FunctionSink latecomer;
    ThreadPoolDispatcher bus(poolOptions(1, 4, 30000));
    ASSERT_EQ(bus.subscribe(&sleeper, "test://shutdown/sleep"), 0);
    ASSERT_EQ(bus.subscribe(&waiter, "test://shutdown/wait"), 0);
    ASSERT_EQ(bus.post(makeMessage("test://shutdown/sleep", "Block")), 0);
    ASSERT_EQ(bus.post(makeMessage("test://shutdown/sleep", "Queued")), 0);
    ASSERT_EQ(bus.post(makeMessage("test://shutdown/wait", "Block")), 0);
    ASSERT_TRUE(sleeperEntered.waitFor());
    ASSERT_TRUE(waiterEntered.waitFor());

    ASSERT_TRUE(bus.shutdown(5000)) << "blocked deliveries were not interrupted";
    EXPECT_TRUE(sleeperInterrupted);
    EXPECT_TRUE(waiterInterrupted);
    EXPECT_TRUE(bus.isShutDown());
    EXPECT_EQ(bus.workerCount(), 0u);
    // Every worker is joined, so the queued message can no longer arrive.
    EXPECT_EQ(sleeper.types(), (Types{"Block"}));

    EXPECT_NE(bus.post(makeMessage("test://shutdown/sleep", "Late")), 0);
    EXPECT_NE(bus.subscribe(&latecomer, "test://shutdown/late"), 0);
    bus.unsubscribe(&sleeper, "");
    bus.unsubscribe(&waiter, "test://shutdown/wait");
    EXPECT_TRUE(bus.shutdown(100));
}

// A delivery that ignores interruption cannot be joined: shutdown gives up after
// its time-out, logs, and the bus object may still be unsubscribed from and destroyed.
TEST(ThreadPoolDispatcherTest, ShutdownDetachesADeliveryThatIgnoresInterruption) {
    testsupport::CapturingLogger log;
    Event entered;
    Event release;
    std::atomic<bool> handlerDone{false};
    FunctionSink stubborn([&](const auto&) {
        entered.set();
        release.waitFor();  // a std wait: not a Boost interruption point
        handlerDone = true;
    });
    {
        ThreadPoolDispatcher bus(poolOptions(1, 2, 30000));
        ASSERT_EQ(bus.subscribe(&stubborn, "test://shutdown/stubborn"), 0);
        ASSERT_EQ(bus.post(makeMessage("test://shutdown/stubborn", "Block")), 0);
        ASSERT_TRUE(entered.waitFor());

        EXPECT_FALSE(bus.shutdown(50));
        EXPECT_TRUE(log.contains("did not end within 50 ms"));
        release.set();
        bus.unsubscribe(&stubborn, "");  // still waits for the detached delivery
        EXPECT_TRUE(handlerDone);
    }
}

TEST(ThreadPoolDispatcherTest, DestructorInterruptsAndJoinsABlockedDelivery) {
    Event entered;
    std::atomic<bool> interrupted{false};
    FunctionSink sleeper([&](const auto&) {
        entered.set();
        try {
            boost::this_thread::sleep(boost::posix_time::hours(1));
        } catch (const boost::thread_interrupted&) {
            interrupted = true;
            throw;
        }
    });
    {
        ThreadPoolDispatcher bus(poolOptions(1, 2, 30000));
        ASSERT_EQ(bus.subscribe(&sleeper, "test://destructor"), 0);
        ASSERT_EQ(bus.post(makeMessage("test://destructor", "Block")), 0);
        ASSERT_TRUE(entered.waitFor());
    }
    EXPECT_TRUE(interrupted);
}

// After a full unsubscribe the bus forgets the sink: another object built at the
// same address starts with no subscriptions.
TEST(ThreadPoolDispatcherTest, NewSinkAtAReusedAddressIsANewSink) {
    ThreadPoolDispatcher bus(poolOptions(1, 2, 30000));
    alignas(FunctionSink) unsigned char storage[sizeof(FunctionSink)];
    auto* first = new (storage) FunctionSink();
    ASSERT_EQ(bus.subscribe(first, "test://reuse/old"), 0);
    bus.unsubscribe(first, "");
    first->~FunctionSink();

    auto* second = new (storage) FunctionSink();
    ASSERT_EQ(bus.subscribe(second, "test://reuse/new"), 0);
    ASSERT_EQ(bus.post(makeMessage("test://reuse/old", "Stale")), 0);
    ASSERT_EQ(bus.post(makeMessage("test://reuse/new", "Fresh")), 0);
    EXPECT_TRUE(second->waitForType("Fresh"));
    bus.unsubscribe(second, "");
    EXPECT_EQ(second->types(), (Types{"Fresh"}));
    second->~FunctionSink();
    EXPECT_TRUE(bus.shutdown());
}

// Sinks come and go while messages flow. Each sink writes to its own members in
// every delivery, so a delivery after its unsubscribe returned is a use after free.
TEST(ThreadPoolDispatcherTest, SinksComingAndGoingWhileMessagesFlow) {
    struct ChurnSink : IMessageSink {
        std::vector<std::string> seen;  // deliveries never overlap: no lock needed
        std::atomic<int> count{0};
        void handleMessage(boost::shared_ptr<LocalMessage> message) override {
            seen.push_back(message->getMessageType());
            ++count;
        }
    };
    ThreadPoolDispatcher bus(poolOptions(2, 8, 30000));
    std::atomic<bool> stop{false};
    std::atomic<long> totalSeen{0};
    std::thread poster([&] {
        for (int i = 0; i < 200000 && !stop; ++i) {
            bus.post(makeMessage(i % 2 ? "test://churn/a" : "test://churn/b", "Tick"));
            if (i % 64 == 0) std::this_thread::yield();
        }
    });
    std::vector<std::thread> churners;
    for (int c = 0; c < 2; ++c) {
        churners.emplace_back([&, c] {
            for (int round = 0; round < 200; ++round) {
                auto sink = std::make_unique<ChurnSink>();
                bus.subscribe(sink.get(), "test://churn/a");
                bus.subscribe(sink.get(), "test://churn/b");
                bustest::eventually([&] { return sink->count > 0 || stop; }, std::chrono::milliseconds(200));
                if ((round + c) % 3 == 0) bus.unsubscribe(sink.get(), "test://churn/a");
                bus.unsubscribe(sink.get(), "");
                totalSeen += sink->count;
            }
        });
    }
    for (auto& t : churners) t.join();
    stop = true;
    poster.join();
    EXPECT_GT(totalSeen.load(), 0);
    EXPECT_TRUE(bus.shutdown());
}

}  // namespace
