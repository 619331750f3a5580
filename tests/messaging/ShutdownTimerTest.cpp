// ShutdownTimer against a running Qt event loop: its exit shows as the loop's exit
// code 0, a guard ends the loop with kGuardExit otherwise. The triggerer ticks on a
// bus of its own: only the ticks a test hands a timer count.
#include "messaging/ShutdownTimer.h"

#include <chrono>
#include <functional>
#include <thread>

#include <QCoreApplication>
#include <QTimer>
#include <gtest/gtest.h>

#include "bus/LocalMessage.h"
#include "bus/MessageDispatcher.h"
#include "bus/MessageTriggerer.h"
#include "bus/ThreadPoolDispatcher.h"
#include "support/TestSupport.h"

namespace {

using testsupport::makeMessage;
using MessagePtr = boost::shared_ptr<LocalMessage>;
const int kGuardExit = 42;

MessagePtr tick() { return makeMessage(ShutdownTimer::TickTopic, ShutdownTimer::TickType, "", UUId(), 1); }

// Runs the event loop, calls `inLoop` in it; the loop's exit code.
int runEventLoop(const std::function<void()>& inLoop, int guardMs = 10000) {
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(kGuardExit); });
    guard.start(guardMs);
    QTimer::singleShot(0, inLoop);
    return QCoreApplication::exec();
}

MessageDispatcher* g_tickBus = nullptr;  // where the triggerer's ticks go; set up by main()

TEST(ShutdownTimerTest, FiresOnlyWhileRunningWithATimeoutAndOnlyOnItsTickType) {
    ShutdownTimer timer(-5);
    EXPECT_EQ(timer.getTimeout(), -1);
    bool firedEarly = true;
    const int code = runEventLoop([&] {
        timer.handleMessage(tick());  // stopped, no time-out
        timer.startCountdown();
        timer.handleMessage(tick());  // running, no time-out
        timer.stopCountdown();
        timer.setTimeout(0);
        timer.handleMessage(tick());  // time-out 0, but stopped
        timer.startCountdown();
        for (const char* type : {"Tick", "shutdowntimertick", "ShutdownTimerTickX"})
            timer.handleMessage(makeMessage(ShutdownTimer::TickTopic, type));
        firedEarly = timer.hasFired();
        timer.handleMessage(tick());
    });
    EXPECT_FALSE(firedEarly);
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(timer.hasFired());
}

// A tick after the deadline ends the loop, also one that comes through the bus on a
// delivery thread. A second start keeps the first start time, a restart begins from
// zero, and nothing ends the loop a second time.
TEST(ShutdownTimerTest, FiresOnceAfterTheDeadline) {
    ShutdownTimer timer(1), restarted(1);
    timer.startCountdown();
    restarted.startCountdown();
    timer.handleMessage(tick());
    EXPECT_FALSE(timer.hasFired()) << "fired well before the deadline";
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    timer.startCountdown();  // already running: must not move the start
    restarted.stopCountdown();
    restarted.startCountdown();
    bool restartedFired = true;
    const int code = runEventLoop([&] {
        restarted.handleMessage(tick());
        restartedFired = restarted.hasFired();
        MessageDispatcher::getInstance()->post(tick());
    });
    EXPECT_FALSE(restartedFired);
    ASSERT_EQ(code, 0);
    EXPECT_TRUE(timer.hasFired());
    EXPECT_TRUE(timer.isRunning());  // firing leaves the countdown alone

    const int again = runEventLoop(
        [&] {
            timer.stopCountdown();
            timer.setTimeout(0);
            timer.startCountdown();
            timer.handleMessage(tick());
        },
        300);
    EXPECT_EQ(again, kGuardExit);
}

TEST(ShutdownTimerTest, TheTriggererTicksForTheTimersWholeLife) {
    testsupport::RecordingSink ticks;
    ASSERT_EQ(g_tickBus->subscribe(&ticks, ShutdownTimer::TickTopic), 0);
    {
        ShutdownTimer timer(-1);
        ASSERT_TRUE(ticks.waitForCount(1));  // the first tick is due at construction
        EXPECT_EQ(testsupport::header(ticks.messages().at(0)), std::string(ShutdownTimer::TickType) + " to=" +
                                                                   ShutdownTimer::TickTopic + " reply= session=" +
                                                                   UUId().getValue() + " priority=1 user=");
        EXPECT_FALSE(ticks.messages().at(0)->getPayload());
        ASSERT_TRUE(ticks.waitForCount(2, std::chrono::seconds(15)));
    }
    ticks.clear();
    EXPECT_FALSE(ticks.waitForCount(1, std::chrono::seconds(7))) << "ticks went on after the timer was destroyed";
    g_tickBus->unsubscribe(&ticks, "");
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication application(argc, argv);
    ThreadPoolDispatcher tickBus;
    MessageTriggerer triggerer(&tickBus);
    Singleton<MessageTriggerer>::install(&triggerer);
    g_tickBus = &tickBus;
    const int result = RUN_ALL_TESTS();
    Singleton<MessageTriggerer>::install(nullptr);
    return result;
}
