#pragma once
// A bus receiver for a thread that waits for answers: it keeps the messages of the
// topics it subscribes to until a waiter takes them.
#include <chrono>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <condition_variable>
#include <string>

#include <boost/shared_ptr.hpp>

#include "bus/IMessageSink.h"

class LocalMessage;
class MessageDispatcher;

namespace kestrup_host {

class MessageInbox : public IMessageSink {
public:
    typedef std::chrono::steady_clock Clock;
    typedef std::function<bool(const LocalMessage&)> Match;
    enum class WaitEnd { Received, TimedOut, Cancelled };

    // Holds at most this many messages; beyond that the oldest are dropped.
    static const std::size_t Capacity = 1024;

    // `bus` is not owned and must outlive the inbox.
    explicit MessageInbox(MessageDispatcher* bus);
    // Unsubscribes (waiting for a running delivery) before the members go.
    ~MessageInbox() override;
    MessageInbox(const MessageInbox&) = delete;
    MessageInbox& operator=(const MessageInbox&) = delete;

    MessageDispatcher* bus() const { return m_bus; }
    // False when the bus refuses the subscription.
    bool subscribe(const std::string& topic);
    void handleMessage(boost::shared_ptr<LocalMessage> message) override;

    // Removes and hands out the oldest message that `match` accepts, waiting for one
    // until `deadline`. Any thread; several waiters may wait at once.
    WaitEnd waitFor(const Match& match, Clock::time_point deadline, boost::shared_ptr<LocalMessage>& message);
    // The same without waiting; empty when no message matches.
    boost::shared_ptr<LocalMessage> take(const Match& match);

    // Ends every wait, running or later, with Cancelled.
    void cancel();
    // Unsubscribes from every topic and drops the messages held. Idempotent.
    void close();

private:
    bool takeLocked(const Match& match, boost::shared_ptr<LocalMessage>& message);

    MessageDispatcher* const m_bus;
    std::mutex m_mutex;
    std::condition_variable m_arrived;
    std::deque<boost::shared_ptr<LocalMessage>> m_messages;  // guarded by m_mutex
    bool m_cancelled = false;                                // guarded by m_mutex
};

}  // namespace kestrup_host
