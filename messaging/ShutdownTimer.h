#pragma once
#include <cstdint>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/thread/mutex.hpp>

#include "bus/IMessageSink.h"

class LocalMessage;

// Ends the host application (QCoreApplication::exit(0)) once the countdown has run
// longer than the time-out. Checked on "ShutdownTimerTick" messages that
// MessageTriggerer posts every 5 seconds for the timer's whole life.
//
// Locking: `mutex` guards every field below and is always an inner lock: nothing
// else is locked while it is held.
class ShutdownTimer : public IMessageSink {
public:
    static const char* const TickTopic;  // "event://Client/Service/ShutdownTimer/Tick"
    static const char* const TickType;   // "ShutdownTimerTick"

    explicit ShutdownTimer(int32_t timeoutSeconds);  // negative: never (-1)
    ~ShutdownTimer() override;
    void handleMessage(boost::shared_ptr<LocalMessage> message) override;

    void setTimeout(int32_t timeoutSeconds);
    void stopCountdown();
    void startCountdown();  // no effect while the countdown runs

    // Snapshots for diagnostics and tests.
    bool isRunning() const;
    bool hasFired() const;
    int32_t getTimeout() const;

private:
    void checkTick();

    bool running;                              // guarded by mutex
    int32_t timeoutSeconds;                    // guarded by mutex; -1 = never
    boost::posix_time::ptime countdownStart;   // guarded by mutex
    mutable boost::mutex mutex;
    boost::shared_ptr<LocalMessage> tickMessage;
    bool fired;                                // guarded by mutex
};
