// Moving to the next mirror: a 1 MiB download through the component's download
// proxy and the host's download service on the real bus, from a good mirror alone,
// after a mirror that refuses connections, and after a mirror that accepts and then
// never answers (the service's stall time-out, 1 s unless given).
//
//   bench_failover [--stall-seconds=N] [google benchmark flags]
//
// At the end it prints the median of each and how it compares with the good mirror
// alone (for the stalling mirror, less the stall time-out).
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <list>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <unistd.h>

#include <benchmark/benchmark.h>

#include "BenchSupport.h"
#include "DownloadService.h"
#include "DownloaderProxy.h"
#include "IDownloaderObserver.h"
#include "LoopbackServers.h"
#include "payloads/Manifest.h"
#include "platform/Sha256.h"

namespace {

const char* const kGoodAlone = "good mirror alone";
const char* const kRefusedFirst = "refusing mirror, then good";
const char* const kStallingFirst = "stalling mirror, then good";

unsigned g_stallSeconds = 1;
std::string g_folder;
std::string g_digest;
std::map<std::string, std::vector<std::string>> g_mirrors;  // by benchmark
std::map<std::string, std::vector<double>> g_seconds;

// The outcome the proxy reports once every mirror it needed was tried.
class OutcomeWaiter : public IDownloaderObserver {
public:
    void onDownloadEvent(int code, std::string text) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_code = code;
        m_text = text;
        m_done = true;
        m_changed.notify_all();
    }
    // False when no outcome came within a minute.
    bool wait(int& code, std::string& text) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (!m_changed.wait_for(lock, std::chrono::minutes(1), [this] { return m_done; })) return false;
        code = m_code;
        text = m_text;
        m_done = false;
        return true;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_changed;
    bool m_done = false;  // guarded by m_mutex, as are the two below
    int m_code = -1;
    std::string m_text;
};

void BM_Failover(benchmark::State& state, const char* name) {
    benchsupport::QuietLogger quiet;
    Logger::setDefaultInstance(&quiet);  // the proxy logs every mirror it leaves
    DownloadServiceOptions options;
    options.defaultDestinationFolder = g_folder;
    options.noProxy = "*";
    options.stallTimeoutSeconds = g_stallSeconds;
    options.progressIntervalMs = 0;
    DownloadService service(options, nullptr, &quiet);
    service.start();
    OutcomeWaiter waiter;
    {
        DownloaderProxy proxy;
        proxy.setDestinationFolder(g_folder);
        proxy.setObserver(&waiter);
        std::list<KSMirror> mirrors;
        for (const std::string& url : g_mirrors[name]) mirrors.push_back(KSMirror(url, ""));
        KSFile file;
        file.setDigest(g_digest);
        file.setMirrors(mirrors);

        for (auto _ : state) {
            const auto begin = std::chrono::steady_clock::now();
            proxy.startDownload(file, UUId::generate());
            int code = -1;
            std::string path;
            const bool answered = waiter.wait(code, path);
            const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
            if (!answered || code != DownloadFinished) {
                state.SkipWithError(answered ? "the download failed" : "no outcome within a minute");
                break;
            }
            state.SetIterationTime(seconds);
            g_seconds[name].push_back(seconds);
            ::unlink(path.c_str());
        }
        proxy.setObserver(nullptr);
    }
    service.stop();
    Logger::setDefaultInstance(nullptr);
}

void printSummary() {
    using benchsupport::median;
    const double good = median(g_seconds[kGoodAlone]);
    const double refused = median(g_seconds[kRefusedFirst]);
    const double stalling = median(g_seconds[kStallingFirst]);
    std::printf("\n1 MiB through the download proxy and service, medians of %zu, %zu and %zu runs; stall time-out %u s\n",
                g_seconds[kGoodAlone].size(), g_seconds[kRefusedFirst].size(), g_seconds[kStallingFirst].size(),
                g_stallSeconds);
    std::printf("%-30s %9s %22s\n", "", "seconds", "vs good mirror alone");
    std::printf("%-30s %9.3f\n", kGoodAlone, good);
    std::printf("%-30s %9.3f %22.2f\n", kRefusedFirst, refused, good > 0 ? refused / good : 0.0);
    std::printf("%-30s %9.3f %22.2f  (less the stall time-out)\n", kStallingFirst, stalling,
                good > 0 ? (stalling - g_stallSeconds) / good : 0.0);
}

std::vector<char> patternBytes(std::size_t size) {
    std::vector<char> bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 131 + i / 7) & 0xff);
    return bytes;
}

}  // namespace

// Short runs are easily hit by load elsewhere: more of them keep the median steady.
BENCHMARK_CAPTURE(BM_Failover, good_alone, kGoodAlone)
    ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(25);
BENCHMARK_CAPTURE(BM_Failover, refused_first, kRefusedFirst)
    ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(25);
BENCHMARK_CAPTURE(BM_Failover, stalling_first, kStallingFirst)
    ->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(9);

int main(int argc, char** argv) {
    // Runs of the three take turns, so that a burst of load elsewhere hits all alike.
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    std::vector<char*> rest = {argv[0], &interleave[0]};
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--stall-seconds=", 16) == 0) {
            g_stallSeconds = static_cast<unsigned>(std::atoi(argv[i] + 16));
        } else {
            rest.push_back(argv[i]);
        }
    }
    int restCount = static_cast<int>(rest.size());
    benchmark::Initialize(&restCount, rest.data());

    std::string pattern = "/tmp/kestrup-failover-XXXXXX";
    if (!::mkdtemp(&pattern[0])) {
        std::perror("mkdtemp");
        return 1;
    }
    g_folder = pattern;
    const std::string source = g_folder + "/source.bin";
    const std::vector<char> bytes = patternBytes(1 << 20);
    std::ofstream(source, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    platform::Sha256 hasher;
    hasher.update(bytes.data(), bytes.size());
    g_digest = hasher.finishHex();

    {
        benchsupport::FileServer good(source);
        benchsupport::RefusingPort refusing;
        benchsupport::StallingServer stalling;
        g_mirrors[kGoodAlone] = {good.url()};
        g_mirrors[kRefusedFirst] = {refusing.url(), good.url()};
        g_mirrors[kStallingFirst] = {stalling.url(), good.url()};
        benchmark::RunSpecifiedBenchmarks();
    }
    printSummary();

    ::unlink(source.c_str());
    ::rmdir(g_folder.c_str());
    benchmark::Shutdown();
    return 0;
}
