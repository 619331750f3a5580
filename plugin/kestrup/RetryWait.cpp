#include "RetryWait.h"

#include <boost/thread/locks.hpp>

bool RetryWait::waitUntil(const boost::posix_time::ptime& deadline) {
    boost::unique_lock<boost::mutex> lock(m_mutex);
    while (!m_cancelled) {
        // timed_wait is an interruption point: a bus that shuts down ends it too.
        if (!m_condition.timed_wait(lock, deadline)) return !m_cancelled;
    }
    return false;
}

void RetryWait::cancel() {
    {
        boost::lock_guard<boost::mutex> lock(m_mutex);
        m_cancelled = true;
    }
    m_condition.notify_all();
}
