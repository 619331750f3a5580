#include "bus/MessageTriggerer.h"

#include <atomic>
#include <exception>
#include <map>
#include <string>

#include <boost/date_time/posix_time/posix_time.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/recursive_mutex.hpp>
#include <boost/thread/thread.hpp>

#include "bus/LocalMessage.h"
#include "bus/MessageDispatcher.h"
#include "host/LogLine.h"

namespace {

namespace pt = boost::posix_time;

pt::ptime nowUtc() { return pt::microsec_clock::universal_time(); }

#define TRIGGERER_LOG(text) KS_LOG_NOTHROW(Logger::getDefaultInstance(), (text))

}  // namespace

struct MessageTriggerer::Impl {
    struct Task {
        boost::shared_ptr<LocalMessage> message;
        pt::ptime due;
        pt::time_duration interval;  // non-positive: post once
    };

    explicit Impl(MessageDispatcher* d) : dispatcher(d) {}

    // The timer thread posts while holding `mutex`, so once removeTask (which takes
    // the mutex) returns, no post of that task can still be under way. The mutex is
    // recursive because an installed bus that delivers inline may call back into
    // addTask or removeTask from inside post().
    void run() {
        boost::unique_lock<boost::recursive_mutex> lock(mutex);
        while (!stopping) {
            auto earliest = tasks.end();
            for (auto it = tasks.begin(); it != tasks.end(); ++it)
                if (earliest == tasks.end() || it->second.due < earliest->second.due) earliest = it;
            if (earliest == tasks.end()) {
                changed.wait(lock);
                continue;
            }
            const pt::ptime now = nowUtc();
            if (earliest->second.due > now) {
                changed.timed_wait(lock, earliest->second.due);  // an absolute UTC time
                continue;
            }
            // Reschedule before posting: post() may re-enter and change `tasks`.
            boost::shared_ptr<LocalMessage> message = earliest->second.message;
            Task& task = earliest->second;
            if (task.interval > pt::time_duration(0, 0, 0)) {
                task.due += task.interval;
                if (task.due <= now) task.due = now + task.interval;  // skip missed periods
            } else {
                tasks.erase(earliest);
            }
            postNow(message);
        }
    }

    void postNow(const boost::shared_ptr<LocalMessage>& message) {
        MessageDispatcher* target = dispatcher ? dispatcher : MessageDispatcher::getInstance();
        int result = 1;
        try {
            result = target->post(message);
        } catch (const std::exception& e) {
            TRIGGERER_LOG(std::string("MESSAGE_TRIGGERER: post threw: ") + e.what());
            return;
        } catch (...) {
            TRIGGERER_LOG("MESSAGE_TRIGGERER: post threw an unknown exception.");
            return;
        }
        if (result != 0)
            TRIGGERER_LOG("MESSAGE_TRIGGERER: Could not post '" + message->getMessageType() + "' to '" +
                          message->getTargetTopic() + "'.");
    }

    MessageDispatcher* const dispatcher;  // null: the process's bus at post time
    boost::recursive_mutex mutex;
    boost::condition_variable_any changed;  // tasks changed or stopping; waits under `mutex`
    std::map<const LocalMessage*, Task> tasks;  // keyed by message object; guarded by mutex
    bool stopping = false;                     // guarded by mutex
    boost::thread timer;                       // started by the constructor, joined by shutdown
};

MessageTriggerer::MessageTriggerer(MessageDispatcher* dispatcher) : m_impl(new Impl(dispatcher)) {
    Impl* impl = m_impl;
    m_impl->timer = boost::thread([impl] { impl->run(); });
}

MessageTriggerer::~MessageTriggerer() {
    shutdown();
    delete m_impl;
}

void MessageTriggerer::addTask(boost::shared_ptr<LocalMessage> message, boost::posix_time::ptime start,
                               boost::posix_time::time_duration interval) {
    if (!message || start.is_special() || interval.is_special()) return;
    boost::unique_lock<boost::recursive_mutex> lock(m_impl->mutex);
    if (m_impl->stopping) return;
    const LocalMessage* key = message.get();
    m_impl->tasks[key] = Impl::Task{std::move(message), start, interval};
    m_impl->changed.notify_all();
}

void MessageTriggerer::removeTask(boost::shared_ptr<LocalMessage> message) {
    if (!message) return;
    boost::unique_lock<boost::recursive_mutex> lock(m_impl->mutex);
    if (m_impl->tasks.erase(message.get()) != 0) m_impl->changed.notify_all();
}

void MessageTriggerer::shutdown() {
    {
        boost::unique_lock<boost::recursive_mutex> lock(m_impl->mutex);
        m_impl->stopping = true;
        m_impl->tasks.clear();
        m_impl->changed.notify_all();
    }
    if (m_impl->timer.joinable() && m_impl->timer.get_id() != boost::this_thread::get_id()) m_impl->timer.join();
}

namespace {

std::atomic<MessageTriggerer*> g_installedTriggerer{nullptr};

// Created on first use and never destroyed, like the built-in bus; the static
// pointer keeps it reachable for leak checkers.
MessageTriggerer* builtInTriggerer() {
    static MessageTriggerer* const instance = new MessageTriggerer();
    return instance;
}

}  // namespace

template <>
MessageTriggerer* Singleton<MessageTriggerer>::instance() {
    MessageTriggerer* installed = g_installedTriggerer.load(std::memory_order_acquire);
    return installed ? installed : builtInTriggerer();
}

template <>
void Singleton<MessageTriggerer>::install(MessageTriggerer* instance) {
    g_installedTriggerer.store(instance, std::memory_order_release);
}
