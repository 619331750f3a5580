#include "RetryWait.h"

#include <boost/thread/locks.hpp>

bool RetryWait::waitUntil(const boost::posix_time::ptime& deadline) {
    boost::unique_lock<boost::mutex> lock(m_mutex);
    m_waiting = true;
    bool deadlinePassed = false;
    while (!m_cancelled && !m_released && !deadlinePassed) {
        try {
            // timed_wait is an interruption point: a bus that shuts down ends it too.
            deadlinePassed = !m_condition.timed_wait(lock, deadline);
        } catch (...) {
            m_waiting = false;
            throw;
        }
    }
    m_waiting = false;
    m_released = false;
    return !m_cancelled;
}

void RetryWait::cancel() {
    {
        boost::lock_guard<boost::mutex> lock(m_mutex);
        m_cancelled = true;
    }
    m_condition.notify_all();
}

void RetryWait::release() {
    {
        boost::lock_guard<boost::mutex> lock(m_mutex);
        m_released = true;
    }
    m_condition.notify_all();
}

bool RetryWait::isWaiting() const {
    boost::lock_guard<boost::mutex> lock(m_mutex);
    return m_waiting;
}
