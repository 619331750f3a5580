#include "messaging/ShutdownTimer.h"

#include <QCoreApplication>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/thread/locks.hpp>

#include "bus/CommonMessageProperties.h"
#include "bus/LocalMessage.h"
#include "bus/MessageDispatcher.h"
#include "bus/MessageTriggerer.h"
#include "bus/Singleton.h"

const char* const ShutdownTimer::TickTopic = "event://Client/Service/ShutdownTimer/Tick";
const char* const ShutdownTimer::TickType = "ShutdownTimerTick";

namespace {

const int32_t kNever = -1;
const long kTickIntervalSeconds = 5;

int32_t normalisedTimeout(int32_t timeoutSeconds) { return timeoutSeconds < 0 ? kNever : timeoutSeconds; }

boost::posix_time::ptime now() { return boost::posix_time::microsec_clock::universal_time(); }

}  // namespace

ShutdownTimer::ShutdownTimer(int32_t timeoutSeconds)
    : running(false), timeoutSeconds(normalisedTimeout(timeoutSeconds)), fired(false) {
    CommonMessageProperties properties;
    properties.targetTopic = TickTopic;
    properties.messageType = TickType;
    properties.replyTopic = "";
    properties.priority = 1;
    tickMessage.reset(new LocalMessage(properties));

    MessageDispatcher::getInstance()->subscribe(this, TickTopic);
    const boost::posix_time::ptime start = now();
    countdownStart = start;
    // The tick task runs for the timer's whole life, whether the countdown runs or not.
    if (MessageTriggerer* triggerer = Singleton<MessageTriggerer>::instance()) {
        triggerer->addTask(tickMessage, start, boost::posix_time::seconds(kTickIntervalSeconds));
    }
}

ShutdownTimer::~ShutdownTimer() {
    if (MessageTriggerer* triggerer = Singleton<MessageTriggerer>::instance()) {
        triggerer->removeTask(tickMessage);
    }
    // Before the mutex goes: no tick may be delivered to a half-destroyed timer.
    MessageDispatcher::getInstance()->unsubscribe(this, "");
}

void ShutdownTimer::handleMessage(boost::shared_ptr<LocalMessage> message) {
    if (message && message->getMessageType() == TickType) checkTick();
}

void ShutdownTimer::setTimeout(int32_t seconds) {
    boost::lock_guard<boost::mutex> lock(mutex);
    timeoutSeconds = normalisedTimeout(seconds);
}

void ShutdownTimer::stopCountdown() {
    boost::lock_guard<boost::mutex> lock(mutex);
    running = false;
}

void ShutdownTimer::startCountdown() {
    boost::lock_guard<boost::mutex> lock(mutex);
    // A second start must not extend the idle time.
    if (running) return;
    running = true;
    countdownStart = now();
}

bool ShutdownTimer::isRunning() const {
    boost::lock_guard<boost::mutex> lock(mutex);
    return running;
}

bool ShutdownTimer::hasFired() const {
    boost::lock_guard<boost::mutex> lock(mutex);
    return fired;
}

int32_t ShutdownTimer::getTimeout() const {
    boost::lock_guard<boost::mutex> lock(mutex);
    return timeoutSeconds;
}

void ShutdownTimer::checkTick() {
    boost::lock_guard<boost::mutex> lock(mutex);
    if (!running) return;
    if (timeoutSeconds == kNever) return;
    if (!(now() - countdownStart > boost::posix_time::seconds(timeoutSeconds))) return;
    if (fired) return;
    fired = true;
    // Only asks the application's event loop to end; returns at once, so holding
    // the mutex here cannot deadlock.
    QCoreApplication::exit(0);
}
