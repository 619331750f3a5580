// Bus latency and throughput, each beside a floor: a bare std::mutex +
// std::condition_variable one-way handoff between two threads.
//
// Latency: one message at a time; each latency (post call to the start of the
// receiver's work) is recorded, and the median and 99th percentile are reported as
// counters in microseconds. Throughput: a batch of messages per iteration, timed
// until the last one was delivered; items_per_second is messages delivered per second.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>
#include <boost/shared_ptr.hpp>

#include "bus/IMessageSink.h"
#include "bus/LocalMessage.h"
#include "bus/ThreadPoolDispatcher.h"

namespace {

using Clock = std::chrono::steady_clock;

std::int64_t nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// Median and 99th percentile of the recorded latencies, in microseconds.
void reportLatencies(benchmark::State& state, std::vector<std::int64_t>& latenciesNs) {
    if (latenciesNs.empty()) return;
    std::sort(latenciesNs.begin(), latenciesNs.end());
    auto at = [&](double q) {
        const std::size_t i = std::min(latenciesNs.size() - 1, static_cast<std::size_t>(q * latenciesNs.size()));
        return static_cast<double>(latenciesNs[i]) / 1000.0;
    };
    state.counters["median_us"] = at(0.50);
    state.counters["p99_us"] = at(0.99);
}

// Spins (yielding) until `flag` is set, then clears it.
void awaitAndClear(std::atomic<bool>& flag) {
    while (!flag.load(std::memory_order_acquire)) std::this_thread::yield();
    flag.store(false, std::memory_order_relaxed);
}

boost::shared_ptr<LocalMessage> benchMessage(const std::string& topic) {
    CommonMessageProperties properties;
    properties.targetTopic = topic;
    properties.messageType = "Bench";
    return boost::shared_ptr<LocalMessage>(new LocalMessage(properties));
}

// --- floor ----------------------------------------------------------------------

// The consumer of the floor: sleeps on a condition variable until values arrive.
class Handoff {
public:
    Handoff() : m_consumer([this] { consume(); }) {}
    ~Handoff() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_ready.notify_one();
        m_consumer.join();
    }

    void push(std::int64_t value) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_queue.push_back(value);
        }
        m_ready.notify_one();
    }

    std::vector<std::int64_t> latencies;   // written by the consumer, read after an ack
    std::atomic<bool> ack{false};          // set by the consumer after each value
    std::atomic<std::uint64_t> consumed{0};
    bool recordLatency = false;            // set before the first push

private:
    void consume() {
        std::unique_lock<std::mutex> lock(m_mutex);
        for (;;) {
            m_ready.wait(lock, [this] { return m_stop || !m_queue.empty(); });
            if (m_queue.empty()) return;
            const std::int64_t sentAt = m_queue.front();
            m_queue.pop_front();
            lock.unlock();
            if (recordLatency) {
                latencies.push_back(nowNs() - sentAt);
                ack.store(true, std::memory_order_release);
            }
            consumed.fetch_add(1, std::memory_order_release);
            lock.lock();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_ready;
    std::deque<std::int64_t> m_queue;  // guarded by m_mutex
    bool m_stop = false;               // guarded by m_mutex
    std::thread m_consumer;
};

void BM_FloorLatency(benchmark::State& state) {
    Handoff handoff;
    handoff.recordLatency = true;
    handoff.latencies.reserve(1 << 20);
    for (auto _ : state) {
        handoff.push(nowNs());
        awaitAndClear(handoff.ack);
    }
    reportLatencies(state, handoff.latencies);
}

void BM_FloorThroughput(benchmark::State& state) {
    const std::uint64_t batch = static_cast<std::uint64_t>(state.range(0));
    Handoff handoff;
    std::uint64_t target = 0;
    for (auto _ : state) {
        for (std::uint64_t i = 0; i < batch; ++i) handoff.push(0);
        target += batch;
        while (handoff.consumed.load(std::memory_order_acquire) < target) std::this_thread::yield();
    }
    state.SetItemsProcessed(static_cast<std::int64_t>(target));
}

// --- bus ------------------------------------------------------------------------

class LatencySink : public IMessageSink {
public:
    void handleMessage(boost::shared_ptr<LocalMessage>) override {
        latencies.push_back(nowNs() - sentAt.load(std::memory_order_acquire));
        ack.store(true, std::memory_order_release);
    }
    std::atomic<std::int64_t> sentAt{0};
    std::vector<std::int64_t> latencies;  // deliveries to one sink never overlap
    std::atomic<bool> ack{false};
};

class CountingSink : public IMessageSink {
public:
    void handleMessage(boost::shared_ptr<LocalMessage>) override { delivered.fetch_add(1, std::memory_order_release); }
    std::atomic<std::uint64_t> delivered{0};
};

void BM_BusLatency(benchmark::State& state) {
    ThreadPoolDispatcher bus;
    LatencySink sink;
    sink.latencies.reserve(1 << 20);
    bus.subscribe(&sink, "bench://latency");
    const auto message = benchMessage("bench://latency");
    for (auto _ : state) {
        sink.sentAt.store(nowNs(), std::memory_order_release);
        bus.post(message);
        awaitAndClear(sink.ack);
    }
    bus.unsubscribe(&sink, "");
    reportLatencies(state, sink.latencies);
}

// state.range(0): messages per iteration; state.range(1): posting threads.
void BM_BusThroughput(benchmark::State& state) {
    const std::uint64_t batch = static_cast<std::uint64_t>(state.range(0));
    const int posters = static_cast<int>(state.range(1));
    ThreadPoolDispatcher bus;
    CountingSink sink;
    bus.subscribe(&sink, "bench://throughput");
    std::vector<boost::shared_ptr<LocalMessage>> messages;
    for (int p = 0; p < posters; ++p) messages.push_back(benchMessage("bench://throughput"));
    std::uint64_t target = 0;
    for (auto _ : state) {
        std::vector<std::thread> threads;
        for (int p = 0; p < posters; ++p) {
            threads.emplace_back([&, p] {
                const std::uint64_t share = batch / posters + (static_cast<std::uint64_t>(p) < batch % posters ? 1 : 0);
                for (std::uint64_t i = 0; i < share; ++i) bus.post(messages[p]);
            });
        }
        for (auto& t : threads) t.join();
        target += batch;
        while (sink.delivered.load(std::memory_order_acquire) < target) std::this_thread::yield();
    }
    bus.unsubscribe(&sink, "");
    state.SetItemsProcessed(static_cast<std::int64_t>(target));
}

BENCHMARK(BM_FloorLatency)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_BusLatency)->UseRealTime()->MinTime(1.0);
BENCHMARK(BM_FloorThroughput)->Arg(100000)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_BusThroughput)
    ->ArgNames({"batch", "posters"})
    ->Args({100000, 1})
    ->Args({100000, 4})
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
