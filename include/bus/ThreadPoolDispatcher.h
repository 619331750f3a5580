#pragma once
#include <cstddef>
#include <memory>
#include <string>

#include <boost/shared_ptr.hpp>

#include "Export.h"
#include "bus/MessageDispatcher.h"

// The host's bus: a pool of Boost worker threads that grows while work waits and
// every worker is busy (up to maxWorkers), and lets idle workers retire after
// idleRetireMs (never below minWorkers). It keeps every guarantee of
// MessageDispatcher.
//
// Each sink has its own queue; a worker hands a sink a few messages in a row and
// then lets other waiting sinks go first. A worker knows which sink it is
// delivering to, which is how unsubscribe called from inside that delivery avoids
// waiting for itself. Two sinks that unsubscribe each other from inside their own
// deliveries wait for each other: do not do that.
class KESTRUP_HOST_API ThreadPoolDispatcher : public MessageDispatcher {
public:
    struct Options {
        std::size_t minWorkers = 2;
        std::size_t maxWorkers = 64;
        unsigned idleRetireMs = 30000;
    };

    ThreadPoolDispatcher();
    explicit ThreadPoolDispatcher(const Options& options);
    ~ThreadPoolDispatcher() override;  // shutdown(5000)

    int post(boost::shared_ptr<LocalMessage> message) override;
    int subscribe(IMessageSink* sink, const std::string& topic) override;
    void unsubscribe(IMessageSink* sink, const std::string& topic) override;

    // Refuses later posts and subscriptions, drops queued messages, interrupts the
    // running deliveries (boost::thread_interrupted ends their sleeps and condition
    // waits) and joins the workers. Returns true when every worker was joined
    // within timeoutMs; a worker still stuck after that is detached and logged.
    // Idempotent; a concurrent second call waits for the first. Must not be called
    // from a delivery thread (that thread is then detached instead of joined).
    // Unsubscribing stays possible after shutdown.
    bool shutdown(unsigned timeoutMs = 5000);
    bool isShutDown() const;

    // Observability for tests, benchmarks and the host's diagnostics.
    std::size_t workerCount() const;
    std::size_t busyWorkerCount() const;

private:
    struct Impl;
    std::unique_ptr<Impl> m_impl;
};
