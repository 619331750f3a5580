#include "bus/ThreadPoolDispatcher.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <iterator>
#include <mutex>
#include <sstream>
#include <unordered_map>
#include <utility>
#include <vector>

#include <boost/date_time/posix_time/posix_time_types.hpp>
#include <boost/thread/thread.hpp>

#include "DispatcherInstance.h"
#include "bus/IMessageSink.h"
#include "bus/LocalMessage.h"
#include "host/LogLine.h"

namespace {

// Messages one worker hands to one sink before it lets other waiting sinks go first.
constexpr std::size_t kBatchPerTurn = 32;
// How long unsubscribe waits for a running delivery before it says so in the log
// (it keeps waiting: the sink may only be destroyed after the delivery ended).
constexpr std::chrono::seconds kSlowDeliveryReport(10);

#define BUS_LOG(text) KS_LOG_NOTHROW(Logger::getDefaultInstance(), (text))

}  // namespace

struct ThreadPoolDispatcher::Impl {
    using Lock = std::unique_lock<std::mutex>;
    using MessageQueue = std::deque<boost::shared_ptr<LocalMessage>>;

    // The bus's view of one subscribed sink. All fields are guarded by Core::mutex.
    struct SinkState {
        explicit SinkState(IMessageSink* s) : sink(s), subscriber(s) {}
        IMessageSink* sink;               // null once the sink left every topic
        IMessageSink* const subscriber;   // the sink, also after it left
        std::vector<std::string> topics;  // topics it is subscribed to
        MessageQueue queue;               // messages not yet handed to the sink
        bool scheduled = false;           // in Core::ready, or a worker is delivering to it
        bool running = false;             // a worker is inside handleMessage (or between two)
        std::uint64_t started = 0;        // deliveries begun
        std::uint64_t finished = 0;       // deliveries ended
        unsigned waiters = 0;             // unsubscribe calls waiting for a delivery to end
    };
    using SinkPtr = std::shared_ptr<SinkState>;

    // One pool thread. `wake` and `signalled` are guarded by Core::mutex; the record
    // outlives its thread's use of it (it is freed only after a join or a detach).
    struct Worker {
        boost::thread thread;
        std::condition_variable wake;
        bool signalled = false;  // handed work while asleep
    };
    using WorkerPtr = std::shared_ptr<Worker>;

    // State shared with the worker threads: a worker detached at shutdown keeps it
    // alive until it finally returns.
    struct Core {
        explicit Core(const Options& o) : options(o) {
            if (options.maxWorkers == 0) options.maxWorkers = 1;
            if (options.minWorkers > options.maxWorkers) options.minWorkers = options.maxWorkers;
        }

        Options options;  // fixed after construction

        std::mutex shutdownMutex;  // serialises shutdown calls; taken before `mutex`
        mutable std::mutex mutex;
        std::condition_variable deliveryEnded;  // unsubscribe waits here; guarded by mutex
        bool shutDown = false;                  // guarded by mutex
        std::atomic<bool> shutDownFlag{false};  // lock-free copy of shutDown for delivery threads
        std::unordered_map<IMessageSink*, SinkPtr> sinks;              // guarded by mutex
        // Sinks that left every topic while a delivery to them still runs (they may
        // have left from inside it): a later unsubscribe still waits for that delivery.
        std::unordered_map<IMessageSink*, SinkPtr> leaving;            // guarded by mutex
        std::unordered_map<std::string, std::vector<SinkPtr>> topics;  // guarded by mutex
        std::deque<SinkPtr> ready;        // sinks with queued work, no worker yet; guarded by mutex
        std::vector<WorkerPtr> workers;   // live pool threads; guarded by mutex
        std::vector<WorkerPtr> idle;      // sleeping, unsignalled workers (a stack); guarded by mutex
        std::vector<WorkerPtr> retired;   // retired threads not joined yet; guarded by mutex
        std::size_t busy = 0;             // workers inside a delivery batch; guarded by mutex
        bool cleanShutdown = true;        // every worker joined so far; guarded by mutex
        std::string spawnFailure;         // thread-start error not logged yet; guarded by mutex
    };

    // The sink the current thread is delivering to, and on which bus.
    struct CurrentDelivery {
        const Core* core = nullptr;
        const IMessageSink* sink = nullptr;
    };
    static thread_local CurrentDelivery t_current;

    explicit Impl(const Options& options) : core(std::make_shared<Core>(options)) {
        Lock lock(core->mutex);
        for (std::size_t i = 0; i < core->options.minWorkers; ++i) spawnWorker(core, lock);
        logSpawnFailure(*core, lock);
    }

    // --- pool ---------------------------------------------------------------------

    // Starts one worker; the caller holds the lock. A failure is kept in
    // spawnFailure for logSpawnFailure: nothing is logged under the lock, since a
    // logger might post to this very bus.
    static void spawnWorker(const std::shared_ptr<Core>& core, Lock&) {
        WorkerPtr worker = std::make_shared<Worker>();
        try {
            Worker* raw = worker.get();
            worker->thread = boost::thread([core, raw] { workerMain(core, raw); });
        } catch (const std::exception& e) {
            core->spawnFailure = e.what();
            return;
        }
        core->workers.push_back(std::move(worker));
    }

    // Logs a pending thread-start failure with the lock released; returns with it held.
    static void logSpawnFailure(Core& core, Lock& lock) {
        if (core.spawnFailure.empty()) return;
        const std::string failure = std::move(core.spawnFailure);
        core.spawnFailure.clear();
        lock.unlock();
        BUS_LOG("MESSAGE_DISPATCHER: Could not start a worker thread: " + failure);
        lock.lock();
    }

    // Called with the lock held after a sink entered `ready`: makes sure a worker will
    // take it. Returns a sleeping worker to notify once the lock is released.
    static WorkerPtr assignWorker(const std::shared_ptr<Core>& core, Lock& lock) {
        // Awake workers that are not delivering will look at `ready` before sleeping.
        const std::size_t searching = core->workers.size() - core->busy - core->idle.size();
        if (core->ready.size() <= searching) return WorkerPtr();
        if (!core->idle.empty()) {
            WorkerPtr sleeper = std::move(core->idle.back());
            core->idle.pop_back();
            sleeper->signalled = true;
            return sleeper;
        }
        if (core->workers.size() < core->options.maxWorkers) spawnWorker(core, lock);
        return WorkerPtr();
    }

    static void workerMain(std::shared_ptr<Core> core, Worker* rawSelf) {
        Lock lock(core->mutex);
        // The spawner held the lock until the record was in `workers`.
        WorkerPtr self;
        for (const WorkerPtr& w : core->workers)
            if (w.get() == rawSelf) self = w;
        if (!self) return;  // shut down before this thread got going
        for (;;) {
            if (core->shutDown) return;
            if (core->ready.empty()) {
                if (!sleepUntilWork(*core, self, lock)) {
                    retire(*core, std::move(self), lock);
                    return;
                }
                continue;
            }
            SinkPtr state = std::move(core->ready.front());
            core->ready.pop_front();
            deliverBatch(core, std::move(state), lock);
        }
    }

    // Sleeps until handed work or shut down (true), or until this worker should
    // retire after idleRetireMs without work (false; it is then off the idle stack).
    static bool sleepUntilWork(Core& core, const WorkerPtr& self, Lock& lock) {
        self->signalled = false;
        core.idle.push_back(self);
        const auto idleLimit = std::chrono::milliseconds(core.options.idleRetireMs);
        auto deadline = std::chrono::steady_clock::now() + idleLimit;
        while (!self->signalled && !core.shutDown) {
            if (self->wake.wait_until(lock, deadline) != std::cv_status::timeout) continue;
            if (self->signalled || core.shutDown) break;
            if (core.workers.size() > core.options.minWorkers) {
                core.idle.erase(std::find(core.idle.begin(), core.idle.end(), self));
                return false;
            }
            deadline = std::chrono::steady_clock::now() + idleLimit;
        }
        return true;
    }

    // Leaves the pool. The thread cannot join itself: it joins earlier retirees and
    // leaves its own record for the next retiree, a spawn, or shutdown to join.
    static void retire(Core& core, WorkerPtr self, Lock& lock) {
        std::vector<WorkerPtr> earlier;
        earlier.swap(core.retired);
        core.workers.erase(std::find(core.workers.begin(), core.workers.end(), self));
        core.retired.push_back(std::move(self));
        lock.unlock();
        for (WorkerPtr& w : earlier)
            if (w->thread.joinable()) w->thread.join();
    }

    // Hands queued messages of one sink to it, one at a time, without the lock.
    static void deliverBatch(const std::shared_ptr<Core>& core, SinkPtr state, Lock& lock) {
        state->running = true;
        ++core->busy;
        for (std::size_t n = 0; !core->shutDown && !state->queue.empty(); ++n) {
            if (n >= kBatchPerTurn && !core->ready.empty()) break;  // let others go first
            boost::shared_ptr<LocalMessage> message = std::move(state->queue.front());
            state->queue.pop_front();
            ++state->started;
            IMessageSink* sink = state->sink;
            lock.unlock();
            const bool interrupted = deliver(*core, sink, message);
            message.reset();  // the last reference may go here: never under the lock
            lock.lock();
            ++state->finished;
            if (state->waiters) core->deliveryEnded.notify_all();
            if (interrupted && core->shutDown) break;
        }
        state->running = false;
        --core->busy;
        if (!state->sink) {
            auto leaving = core->leaving.find(state->subscriber);
            if (leaving != core->leaving.end() && leaving->second == state) core->leaving.erase(leaving);
        }
        if (state->sink && !state->queue.empty() && !core->shutDown) {
            core->ready.push_back(std::move(state));
            WorkerPtr sleeper = assignWorker(core, lock);
            if (sleeper) sleeper->wake.notify_one();
            logSpawnFailure(*core, lock);
        } else {
            state->scheduled = false;
        }
    }

    // One handleMessage call. True when it ended with boost::thread_interrupted.
    static bool deliver(const Core& core, IMessageSink* sink, const boost::shared_ptr<LocalMessage>& message) {
        t_current.core = &core;
        t_current.sink = sink;
        bool interrupted = false;
        try {
            sink->handleMessage(message);
        } catch (const boost::thread_interrupted&) {
            interrupted = true;
            if (!core.shutDownFlag.load(std::memory_order_relaxed))
                BUS_LOG("MESSAGE_DISPATCHER: Delivery on topic '" + message->getTargetTopic() +
                        "' was interrupted.");
        } catch (const std::exception& e) {
            BUS_LOG("MESSAGE_DISPATCHER: Exception from handleMessage for '" + message->getMessageType() +
                    "' on topic '" + message->getTargetTopic() + "': " + e.what());
        } catch (...) {
            BUS_LOG("MESSAGE_DISPATCHER: Unknown exception from handleMessage for '" + message->getMessageType() +
                    "' on topic '" + message->getTargetTopic() + "'.");
        }
        t_current = CurrentDelivery();
        return interrupted;
    }

    // Joins threads that retired since the last look; the caller holds no lock.
    static void joinRetired(std::vector<WorkerPtr>& retired) {
        for (WorkerPtr& w : retired)
            if (w->thread.joinable()) w->thread.join();
        retired.clear();
    }

    // --- subscriptions ------------------------------------------------------------

    static void removeFromTopic(Core& core, const std::string& topic, const SinkState* state) {
        auto it = core.topics.find(topic);
        if (it == core.topics.end()) return;
        auto& subscribers = it->second;
        subscribers.erase(std::remove_if(subscribers.begin(), subscribers.end(),
                                         [state](const SinkPtr& s) { return s.get() == state; }),
                          subscribers.end());
        if (subscribers.empty()) core.topics.erase(it);
    }

    // Moves the queued messages that came through `topic` (every message when empty)
    // into `dropped`, to be released after the lock.
    static void dropQueued(SinkState& state, const std::string& topic, MessageQueue& dropped) {
        if (topic.empty()) {
            std::move(state.queue.begin(), state.queue.end(), std::back_inserter(dropped));
            state.queue.clear();
            return;
        }
        MessageQueue kept;
        for (auto& message : state.queue)
            (message->getTargetTopic() == topic ? dropped : kept).push_back(std::move(message));
        state.queue.swap(kept);
    }

    std::shared_ptr<Core> core;
};

thread_local ThreadPoolDispatcher::Impl::CurrentDelivery ThreadPoolDispatcher::Impl::t_current;

ThreadPoolDispatcher::ThreadPoolDispatcher() : ThreadPoolDispatcher(Options()) {}

ThreadPoolDispatcher::ThreadPoolDispatcher(const Options& options) : m_impl(new Impl(options)) {}

ThreadPoolDispatcher::~ThreadPoolDispatcher() {
    kestrup_bus_detail::uninstallIfInstalled(this);
    shutdown(5000);
}

int ThreadPoolDispatcher::post(boost::shared_ptr<LocalMessage> message) {
    if (!message) return 1;
    Impl::Core& core = *m_impl->core;
    Impl::WorkerPtr sleeper;
    std::vector<Impl::WorkerPtr> retired;
    {
        Impl::Lock lock(core.mutex);
        if (core.shutDown) return 2;
        auto it = core.topics.find(message->getTargetTopic());
        if (it == core.topics.end()) return 0;
        for (const Impl::SinkPtr& state : it->second) {
            state->queue.push_back(message);
            if (state->scheduled) continue;
            state->scheduled = true;
            core.ready.push_back(state);
            Impl::WorkerPtr assigned = Impl::assignWorker(m_impl->core, lock);
            if (!assigned) continue;
            if (sleeper) sleeper->wake.notify_one();  // rare: several sinks woke at once
            sleeper = std::move(assigned);
        }
        if (!core.retired.empty()) retired.swap(core.retired);
        Impl::logSpawnFailure(core, lock);
    }
    if (sleeper) sleeper->wake.notify_one();
    Impl::joinRetired(retired);
    return 0;
}

int ThreadPoolDispatcher::subscribe(IMessageSink* sink, const std::string& topic) {
    if (!sink || topic.empty()) return 1;
    Impl::Core& core = *m_impl->core;
    Impl::Lock lock(core.mutex);
    if (core.shutDown) return 2;
    Impl::SinkPtr& state = core.sinks[sink];
    if (!state) state = std::make_shared<Impl::SinkState>(sink);
    if (std::find(state->topics.begin(), state->topics.end(), topic) != state->topics.end()) return 0;
    state->topics.push_back(topic);
    core.topics[topic].push_back(state);
    return 0;
}

void ThreadPoolDispatcher::unsubscribe(IMessageSink* sink, const std::string& topic) {
    if (!sink) return;
    Impl::Core& core = *m_impl->core;
    Impl::MessageQueue dropped;  // released after the lock
    Impl::Lock lock(core.mutex);
    Impl::SinkPtr state;
    auto found = core.sinks.find(sink);
    if (found == core.sinks.end()) {
        // Gone already, maybe from inside its own delivery: only wait for that delivery.
        auto leaving = core.leaving.find(sink);
        if (leaving == core.leaving.end()) return;
        state = leaving->second;
    } else {
        state = found->second;
        if (topic.empty()) {
            for (const std::string& t : state->topics) Impl::removeFromTopic(core, t, state.get());
            state->topics.clear();
        } else {
            auto t = std::find(state->topics.begin(), state->topics.end(), topic);
            if (t != state->topics.end()) {
                Impl::removeFromTopic(core, topic, state.get());
                state->topics.erase(t);
                Impl::dropQueued(*state, topic, dropped);
            }
        }
        if (state->topics.empty()) {
            // Forget the sink entirely: a new object at the same address is a new sink.
            Impl::dropQueued(*state, std::string(), dropped);
            state->sink = nullptr;
            core.sinks.erase(found);
            if (state->running) core.leaving[sink] = state;
            if (state->scheduled && !state->running) {
                core.ready.erase(std::remove(core.ready.begin(), core.ready.end(), state), core.ready.end());
                state->scheduled = false;
            }
        }
    }

    const bool ownDelivery = Impl::t_current.core == &core && Impl::t_current.sink == sink;
    if (state->running && !ownDelivery) {
        const std::uint64_t target = state->started;
        ++state->waiters;
        auto reportAt = std::chrono::steady_clock::now() + kSlowDeliveryReport;
        while (state->finished < target) {
            if (core.deliveryEnded.wait_until(lock, reportAt) == std::cv_status::timeout &&
                state->finished < target) {
                lock.unlock();
                BUS_LOG("MESSAGE_DISPATCHER: unsubscribe is still waiting for a running delivery to end.");
                lock.lock();
                reportAt = std::chrono::steady_clock::now() + kSlowDeliveryReport;
            }
        }
        --state->waiters;
    }
    lock.unlock();
    dropped.clear();
}

bool ThreadPoolDispatcher::shutdown(unsigned timeoutMs) {
    Impl::Core& core = *m_impl->core;
    // A second caller waits for the first, so neither returns before the joins ended.
    std::lock_guard<std::mutex> serialised(core.shutdownMutex);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    std::vector<Impl::WorkerPtr> toJoin;
    std::vector<Impl::MessageQueue> dropped;  // released after the lock
    {
        Impl::Lock lock(core.mutex);
        core.shutDown = true;
        core.shutDownFlag.store(true);
        for (auto& entry : core.sinks) {
            Impl::SinkState& state = *entry.second;
            if (!state.queue.empty()) dropped.push_back(std::move(state.queue));
            state.queue.clear();
            state.scheduled = state.running;
        }
        core.ready.clear();
        for (const Impl::WorkerPtr& sleeper : core.idle) sleeper->wake.notify_one();
        core.idle.clear();
        toJoin.swap(core.workers);
        std::move(core.retired.begin(), core.retired.end(), std::back_inserter(toJoin));
        core.retired.clear();
        for (const Impl::WorkerPtr& w : toJoin) w->thread.interrupt();
    }

    bool allJoined = true;
    for (const Impl::WorkerPtr& w : toJoin) {
        if (!w->thread.joinable()) continue;
        if (w->thread.get_id() == boost::this_thread::get_id()) {
            // Called from a delivery: this thread ends its loop once the delivery returns.
            BUS_LOG("MESSAGE_DISPATCHER: shutdown called from a delivery thread; that thread is detached.");
            w->thread.detach();
            allJoined = false;
            continue;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            std::max(deadline - std::chrono::steady_clock::now(), std::chrono::steady_clock::duration::zero()));
        if (!w->thread.timed_join(boost::posix_time::milliseconds(left.count()))) {
            std::ostringstream text;
            text << "MESSAGE_DISPATCHER: A delivery thread did not end within " << timeoutMs
                 << " ms of shutdown; it is detached.";
            BUS_LOG(text.str());
            w->thread.detach();
            allJoined = false;
        }
    }
    Impl::Lock lock(core.mutex);
    core.cleanShutdown = core.cleanShutdown && allJoined;
    return core.cleanShutdown;
}

bool ThreadPoolDispatcher::isShutDown() const {
    Impl::Lock lock(m_impl->core->mutex);
    return m_impl->core->shutDown;
}

std::size_t ThreadPoolDispatcher::workerCount() const {
    Impl::Lock lock(m_impl->core->mutex);
    return m_impl->core->workers.size();
}

std::size_t ThreadPoolDispatcher::busyWorkerCount() const {
    Impl::Lock lock(m_impl->core->mutex);
    return m_impl->core->busy;
}
