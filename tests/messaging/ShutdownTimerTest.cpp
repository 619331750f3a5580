// ShutdownTimer against a running Qt event loop: a test sees the timer's exit as the
// loop's exit code 0; a guard timer ends the loop with kGuardExit otherwise.
#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

#include <QCoreApplication>
#include <QTimer>

#include "support/TestSupport.h"
#include "bus/MessageDispatcher.h"
#include "messaging/ShutdownTimer.h"

namespace {

using testsupport::RecordingSink;
using testsupport::makeMessage;
typedef boost::shared_ptr<LocalMessage> MessagePtr;

const int kGuardExit = 42;
const int kLongGuardMs = 10000;  // when the timer is expected to end the loop
const int kShortGuardMs = 300;   // when it is not: every tick is delivered synchronously

MessagePtr tick() { return makeMessage(ShutdownTimer::TickTopic, ShutdownTimer::TickType, "", UUId(), 1); }

// Runs the application's event loop, calls `inLoop` once it runs, and ends the loop
// after `guardMs` unless something ends it first. Returns the loop's exit code.
int runEventLoop(const std::function<void()>& inLoop, int guardMs) {
    QTimer guard;
    guard.setSingleShot(true);
    QObject::connect(&guard, &QTimer::timeout, [] { QCoreApplication::exit(kGuardExit); });
    guard.start(guardMs);
    QTimer::singleShot(0, inLoop);
    return QCoreApplication::exec();
}

// Takes the timer off the bus, so only the ticks the test hands it directly count
// (the triggerer's ticks arrive every 5 seconds at unknown moments).
void detachFromBus(ShutdownTimer& timer) { MessageDispatcher::getInstance()->unsubscribe(&timer, ""); }

// Waits until more than `seconds` have passed since `since`.
void waitPast(std::chrono::steady_clock::time_point since, double seconds) {
    const auto until = since + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                   std::chrono::duration<double>(seconds));
    while (std::chrono::steady_clock::now() <= until) std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

TEST(ShutdownTimerTest, NeverFiresWithoutATimeoutOrWhileStopped) {
    ShutdownTimer timer(-5);
    detachFromBus(timer);
    EXPECT_EQ(-1, timer.getTimeout());
    timer.setTimeout(-7);
    EXPECT_EQ(-1, timer.getTimeout());

    const int code = runEventLoop(
        [&] {
            timer.handleMessage(tick());  // stopped, no time-out
            timer.startCountdown();
            timer.handleMessage(tick());  // running, no time-out
            timer.stopCountdown();
            timer.setTimeout(0);
            EXPECT_FALSE(timer.isRunning());
            timer.handleMessage(tick());  // time-out 0, but stopped
        },
        kShortGuardMs);

    EXPECT_EQ(kGuardExit, code);
    EXPECT_FALSE(timer.hasFired());
    EXPECT_EQ(0, timer.getTimeout());
}

TEST(ShutdownTimerTest, IgnoresOtherTypesAndFiresOnTheFirstTickWithTimeoutZero) {
    ShutdownTimer timer(0);
    detachFromBus(timer);
    bool firedByOtherTypes = true;

    const int code = runEventLoop(
        [&] {
            timer.startCountdown();
            timer.handleMessage(makeMessage(ShutdownTimer::TickTopic, "Tick"));
            timer.handleMessage(makeMessage(ShutdownTimer::TickTopic, "shutdowntimertick"));
            timer.handleMessage(makeMessage(ShutdownTimer::TickTopic, "ShutdownTimerTickX"));
            firedByOtherTypes = timer.hasFired();
            timer.handleMessage(tick());
        },
        kLongGuardMs);

    EXPECT_FALSE(firedByOtherTypes);
    EXPECT_EQ(0, code);
    EXPECT_TRUE(timer.hasFired());
}

TEST(ShutdownTimerTest, FiresOnceAfterTheDeadlineAndNeverAgain) {
    ShutdownTimer timer(1);
    detachFromBus(timer);
    bool firedAtOnce = true;
    QTimer ticker;
    QObject::connect(&ticker, &QTimer::timeout, [&] { timer.handleMessage(tick()); });

    const int code = runEventLoop(
        [&] {
            timer.startCountdown();
            timer.handleMessage(tick());  // right after the start: well before the deadline
            firedAtOnce = timer.hasFired();
            ticker.start(50);
        },
        kLongGuardMs);
    ticker.stop();

    EXPECT_FALSE(firedAtOnce);
    ASSERT_EQ(0, code);
    EXPECT_TRUE(timer.hasFired());
    EXPECT_TRUE(timer.isRunning());  // firing leaves the countdown state alone

    // Neither more ticks nor a new countdown with time-out 0 ends the loop again.
    const int again = runEventLoop(
        [&] {
            timer.handleMessage(tick());
            timer.stopCountdown();
            timer.setTimeout(0);
            timer.startCountdown();
            timer.handleMessage(tick());
            timer.handleMessage(tick());
        },
        kShortGuardMs);
    EXPECT_EQ(kGuardExit, again);
    EXPECT_TRUE(timer.hasFired());
}

TEST(ShutdownTimerTest, RestartedCountdownBeginsFromZero) {
    ShutdownTimer timer(1);
    detachFromBus(timer);
    const auto started = std::chrono::steady_clock::now();
    timer.startCountdown();
    waitPast(started, 1.2);
    timer.stopCountdown();
    timer.startCountdown();

    const int code = runEventLoop([&] { timer.handleMessage(tick()); }, kShortGuardMs);

    EXPECT_EQ(kGuardExit, code);
    EXPECT_FALSE(timer.hasFired());
}

TEST(ShutdownTimerTest, SecondStartKeepsTheFirstStartTime) {
    ShutdownTimer timer(1);
    detachFromBus(timer);
    const auto started = std::chrono::steady_clock::now();
    timer.startCountdown();
    waitPast(started, 1.2);
    timer.startCountdown();  // already running: must not move the start

    const int code = runEventLoop([&] { timer.handleMessage(tick()); }, kLongGuardMs);

    EXPECT_EQ(0, code);
    EXPECT_TRUE(timer.hasFired());
}

TEST(ShutdownTimerTest, ATickPostedOnTheBusEndsTheLoopFromTheDeliveryThread) {
    ShutdownTimer timer(0);

    const int code = runEventLoop(
        [&] {
            timer.startCountdown();
            EXPECT_EQ(0, MessageDispatcher::getInstance()->post(tick()));
        },
        kLongGuardMs);

    EXPECT_EQ(0, code);
    EXPECT_TRUE(timer.hasFired());
}

TEST(ShutdownTimerTest, TheTriggererTicksForTheTimersWholeLife) {
    RecordingSink ticks({ShutdownTimer::TickTopic});
    {
        ShutdownTimer timer(-1);
        // The first tick is due at construction, the next one 5 seconds later.
        ASSERT_TRUE(ticks.waitForCount(1, std::chrono::seconds(10)));
        MessagePtr first = ticks.messages().at(0);
        EXPECT_EQ(ShutdownTimer::TickType, first->getMessageType());
        EXPECT_EQ(ShutdownTimer::TickTopic, first->getTargetTopic());
        EXPECT_EQ("", first->getReplyTopic());
        EXPECT_EQ(1, first->getPriority());
        EXPECT_FALSE(first->getPayload());
        ASSERT_TRUE(ticks.waitForCount(2, std::chrono::seconds(15)));
    }
    ticks.clear();
    EXPECT_FALSE(ticks.waitForCount(1, std::chrono::seconds(7))) << "ticks went on after the timer was destroyed";
}

}  // namespace

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    QCoreApplication application(argc, argv);
    return RUN_ALL_TESTS();
}
