#pragma once
#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/thread/condition_variable.hpp>
#include <boost/thread/mutex.hpp>

// The wait before a failed download is started again. It sleeps until a deadline
// like boost::this_thread::sleep (and is an interruption point like it), but the
// component can also cancel it when it is being destroyed, so a host that shuts
// down in the middle of a retry wait is not held up for the whole interval, and a
// host can end it early to retry at once.
class RetryWait {
public:
    // Waits until `deadline` (UTC) or release(). Returns true when the wait is over,
    // false when it was cancelled (also when cancel() came before the call).
    bool waitUntil(const boost::posix_time::ptime& deadline);
    // Ends every running and later wait at once.
    void cancel();
    // Ends the running wait as if its deadline had passed; without one, the next.
    void release();
    bool isWaiting() const;

private:
    mutable boost::mutex m_mutex;
    boost::condition_variable m_condition;
    bool m_cancelled = false;  // guarded by m_mutex
    bool m_released = false;   // guarded by m_mutex
    bool m_waiting = false;    // guarded by m_mutex
};
