#pragma once
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/shared_ptr.hpp>

#include "Export.h"
#include "bus/Singleton.h"

class LocalMessage;
class MessageDispatcher;

// Timed posts: posts a message at a start time and again after every interval.
// One timer thread serves every task. Reached as Singleton<MessageTriggerer>::instance(),
// which is never null: the built-in instance is created on first use.
//
// The timer thread posts while it holds the triggerer's lock; that is what makes
// removeTask's promise hold, and why a post must not block. A bus that delivers
// inside post() may call addTask and removeTask from there (the lock is
// re-entrant), but not shutdown or the destructor.
class KESTRUP_HOST_API MessageTriggerer {
public:
    // Posts to `dispatcher`, or to MessageDispatcher::getInstance() when null.
    explicit MessageTriggerer(MessageDispatcher* dispatcher = nullptr);
    ~MessageTriggerer();  // stops and joins the timer thread
    MessageTriggerer(const MessageTriggerer&) = delete;
    MessageTriggerer& operator=(const MessageTriggerer&) = delete;

    // Posts `message` at `start` (UTC) and then every `interval` until removeTask is
    // called with the same message object. A start in the past posts at once. A
    // non-positive interval posts once. Adding a message that is already a task
    // replaces its schedule.
    void addTask(boost::shared_ptr<LocalMessage> message,
                 boost::posix_time::ptime start,
                 boost::posix_time::time_duration interval);
    // Removes the task of this message object. Once it returns, the message is not
    // posted again. Unknown messages are ignored.
    void removeTask(boost::shared_ptr<LocalMessage> message);
    // Stops the timer thread; later addTask calls are ignored. Idempotent.
    void shutdown();

private:
    struct Impl;
    Impl* m_impl;  // owned
};

template <>
KESTRUP_HOST_API MessageTriggerer* Singleton<MessageTriggerer>::instance();
template <>
KESTRUP_HOST_API void Singleton<MessageTriggerer>::install(MessageTriggerer* instance);
