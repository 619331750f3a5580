#pragma once
// Small synchronisation helpers for the bus tests. Every wait has a bound.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <boost/shared_ptr.hpp>

#include "bus/IMessageSink.h"
#include "bus/LocalMessage.h"

namespace bustest {

constexpr std::chrono::seconds kEventTimeout(10);

// A one-shot event: set once, waited for by anyone.
class Event {
public:
    void set() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_set = true;
        }
        m_condition.notify_all();
    }
    bool isSet() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_set;
    }
    bool waitFor(std::chrono::milliseconds timeout = kEventTimeout) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_condition.wait_for(lock, timeout, [this] { return m_set; });
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_condition;
    bool m_set = false;
};

// Waits until `condition` holds, checking every few milliseconds, up to `timeout`.
inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds timeout = kEventTimeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// A sink whose behaviour per delivery is given by a function; records the message
// types it received in order. The bus it subscribes to is the caller's business;
// the owner unsubscribes before destroying it.
class FunctionSink : public IMessageSink {
public:
    using Handler = std::function<void(const boost::shared_ptr<LocalMessage>&)>;
    explicit FunctionSink(Handler handler = Handler()) : m_handler(std::move(handler)) {}

    void handleMessage(boost::shared_ptr<LocalMessage> message) override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_types.push_back(message->getMessageType());
        }
        m_condition.notify_all();
        if (m_handler) m_handler(message);
    }

    std::vector<std::string> types() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_types;
    }
    std::size_t count() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_types.size();
    }
    bool waitForType(const std::string& type, std::chrono::milliseconds timeout = kEventTimeout) {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_condition.wait_for(lock, timeout, [&] {
            for (const auto& t : m_types)
                if (t == type) return true;
            return false;
        });
    }

private:
    Handler m_handler;
    mutable std::mutex m_mutex;
    std::condition_variable m_condition;
    std::vector<std::string> m_types;
};

}  // namespace bustest
