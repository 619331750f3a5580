#include "MessageInbox.h"

#include "bus/LocalMessage.h"
#include "bus/MessageDispatcher.h"

namespace kestrup_host {

MessageInbox::MessageInbox(MessageDispatcher* bus) : m_bus(bus) {
    // close() leaves m_bus itself; the base must not reach for the process's bus,
    // which may already be gone when the inbox is destroyed.
    m_unsubscribeOnDestroy = false;
}

MessageInbox::~MessageInbox() {
    close();
}

bool MessageInbox::subscribe(const std::string& topic) {
    return m_bus->subscribe(this, topic) == 0;
}

void MessageInbox::handleMessage(boost::shared_ptr<LocalMessage> message) {
    if (!message) return;
    boost::shared_ptr<LocalMessage> dropped;  // released after the lock
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_messages.size() >= Capacity) {
            dropped = std::move(m_messages.front());
            m_messages.pop_front();
        }
        m_messages.push_back(std::move(message));
    }
    m_arrived.notify_all();
}

bool MessageInbox::takeLocked(const Match& match, boost::shared_ptr<LocalMessage>& message) {
    for (auto it = m_messages.begin(); it != m_messages.end(); ++it) {
        if (match(**it)) {
            message = std::move(*it);
            m_messages.erase(it);
            return true;
        }
    }
    return false;
}

MessageInbox::WaitEnd MessageInbox::waitFor(const Match& match, Clock::time_point deadline,
                                            boost::shared_ptr<LocalMessage>& message) {
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        if (m_cancelled) return WaitEnd::Cancelled;
        if (takeLocked(match, message)) return WaitEnd::Received;
        if (m_arrived.wait_until(lock, deadline) == std::cv_status::timeout) {
            if (m_cancelled) return WaitEnd::Cancelled;
            return takeLocked(match, message) ? WaitEnd::Received : WaitEnd::TimedOut;
        }
    }
}

boost::shared_ptr<LocalMessage> MessageInbox::take(const Match& match) {
    std::lock_guard<std::mutex> lock(m_mutex);
    boost::shared_ptr<LocalMessage> message;
    takeLocked(match, message);
    return message;
}

void MessageInbox::cancel() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_cancelled = true;
    }
    m_arrived.notify_all();
}

void MessageInbox::close() {
    m_bus->unsubscribe(this, "");
    std::deque<boost::shared_ptr<LocalMessage>> dropped;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        dropped.swap(m_messages);
    }
}

}  // namespace kestrup_host
