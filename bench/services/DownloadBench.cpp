// A large file from a loopback HTTP server: through the download service (digest
// verified while the bytes arrive), against `curl -o` followed by
// `openssl dgst -sha256`, and against `curl -o` alone. All three fetch the same file
// from the same in-process server in the same run.
//
//   bench_services [--size-mib=N] [google benchmark flags]
//
// At the end it prints the median of each and the ratios, and the service's peak
// resident memory growth (VmHWM, reset before every download).
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <openssl/evp.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>
#include <boost/make_shared.hpp>

#include "BenchSupport.h"
#include "DownloadService.h"
#include "LoopbackServers.h"
#include "bus/IMessageSink.h"
#include "bus/LocalMessage.h"
#include "bus/MessageDispatcher.h"
#include "payloads/RequestPayloads.h"
#include "payloads/StatusPayloads.h"

extern char** environ;

namespace {

std::size_t g_sizeMiB = 256;
std::string g_folder;     // work folder of this run
std::string g_source;     // the served file
std::string g_digest;     // its SHA-256
std::map<std::string, std::vector<double>> g_seconds;  // wall time per run, by benchmark
std::map<std::string, std::vector<double>> g_cpuSeconds;  // this process's and its children's CPU time per run
std::map<std::string, double> g_peakGrowthMiB;          // service runs only

benchsupport::FileServer* g_server = nullptr;

// --- helpers ------------------------------------------------------------------------

std::string sha256OfFile(const std::string& path) {
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    EVP_DigestInit_ex(context, EVP_sha256(), nullptr);
    std::vector<char> buffer(1 << 20);
    std::ifstream in(path, std::ios::binary);
    while (in) {
        in.read(buffer.data(), static_cast<std::streamsize>(buffer.size()));
        EVP_DigestUpdate(context, buffer.data(), static_cast<std::size_t>(in.gcount()));
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_DigestFinal_ex(context, digest, &length);
    EVP_MD_CTX_free(context);
    char hex[3];
    std::string text;
    for (unsigned int i = 0; i < length; ++i) {
        std::snprintf(hex, sizeof hex, "%02x", digest[i]);
        text += hex;
    }
    return text;
}

void writeSourceFile(const std::string& path, std::size_t bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    std::vector<uint64_t> block(1 << 17);  // 1 MiB
    uint64_t state = 0x9E3779B97F4A7C15ull;
    for (std::size_t written = 0; written < bytes; written += block.size() * sizeof(uint64_t)) {
        for (uint64_t& word : block) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            word = state;
        }
        out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size() * 8));
    }
}

// Runs a program and returns its exit status; its standard output goes to `output`
// when given, else to /dev/null.
int run(std::vector<std::string> args, std::string* output = nullptr) {
    int pipeFds[2] = {-1, -1};
    if (output && ::pipe2(pipeFds, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (output) {
        posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    } else {
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
    }
    std::vector<char*> argv;
    for (std::string& arg : args) argv.push_back(&arg[0]);
    argv.push_back(nullptr);
    pid_t pid = -1;
    const int spawned = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    if (output) {
        ::close(pipeFds[1]);
        char buffer[512];
        ssize_t n;
        while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0) output->append(buffer, static_cast<std::size_t>(n));
        ::close(pipeFds[0]);
    }
    if (spawned != 0) return -1;
    int status = 0;
    ::waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

long statusKiB(const char* field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::size_t length = std::strlen(field);
    while (std::getline(in, line)) {
        if (line.compare(0, length, field) == 0) return std::atol(line.c_str() + length + 1);
    }
    return -1;
}

// Makes VmHWM start again from the current resident size.
void resetPeakRss() {
    std::ofstream clear("/proc/self/clear_refs");
    clear << "5";
}

void removeQuietly(const std::string& path) { ::unlink(path.c_str()); }

// Waits on the bus for the answer of one session.
class AnswerSink : public IMessageSink {
public:
    explicit AnswerSink(const std::string& topic) { MessageDispatcher::getInstance()->subscribe(this, topic); }
    ~AnswerSink() override { MessageDispatcher::getInstance()->unsubscribe(this, ""); }
    void handleMessage(boost::shared_ptr<LocalMessage> message) override {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_answer = message;
        m_ready.notify_all();
    }
    boost::shared_ptr<LocalMessage> wait() {
        std::unique_lock<std::mutex> lock(m_mutex);
        m_ready.wait_for(lock, std::chrono::minutes(5), [this] { return static_cast<bool>(m_answer); });
        boost::shared_ptr<LocalMessage> answer = m_answer;
        m_answer.reset();
        return answer;
    }

private:
    std::mutex m_mutex;
    std::condition_variable m_ready;
    boost::shared_ptr<LocalMessage> m_answer;  // guarded by m_mutex
};

// --- the benchmarks ---------------------------------------------------------------

// CPU time of this process (the server thread included) and of its waited-for children.
double cpuSecondsSoFar() {
    double seconds = 0;
    for (int who : {RUSAGE_SELF, RUSAGE_CHILDREN}) {
        struct rusage usage;
        ::getrusage(who, &usage);
        seconds += double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
    }
    return seconds;
}

// Wall and CPU time of one run, from the moment it is created.
class RunClock {
public:
    RunClock() : m_cpu(cpuSecondsSoFar()), m_begin(std::chrono::steady_clock::now()) {}
    void record(benchmark::State& state, const std::string& name) const {
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - m_begin).count();
        state.SetIterationTime(seconds);
        g_seconds[name].push_back(seconds);
        g_cpuSeconds[name].push_back(cpuSecondsSoFar() - m_cpu);
    }

private:
    double m_cpu;
    std::chrono::steady_clock::time_point m_begin;
};

void BM_Service(benchmark::State& state) {
    const bool sync = state.range(0) != 0;
    const std::string name = sync ? "service (fsync before rename)" : "service (no fsync)";
    benchsupport::QuietLogger quiet;
    DownloadServiceOptions options;
    options.defaultDestinationFolder = g_folder + "/service";
    options.noProxy = "*";
    options.syncBeforeRename = sync;
    options.maxFileSizeBytes = 0;
    options.progressIntervalMs = 500;
    DownloadService service(options, nullptr, &quiet);
    service.start();
    const std::string replyTopic = "bench://download-answers";
    AnswerSink answers(replyTopic);

    for (auto _ : state) {
        const long before = statusKiB("VmRSS:");
        resetPeakRss();
        const UUId session = UUId::generate();
        CommonMessageProperties properties;
        properties.messageType = "Start";
        properties.targetTopic = DownloadService::Topic;
        properties.replyTopic = replyTopic;
        properties.sessionId = session;
        boost::shared_ptr<LocalMessage> start = boost::make_shared<LocalMessage>(properties);
        start->setPayload(boost::make_shared<StartRequestPayload>(g_server->url(), "", "", "", false, g_digest));

        const RunClock clock;
        MessageDispatcher::getInstance()->post(start);
        boost::shared_ptr<LocalMessage> answer = answers.wait();
        const long peak = statusKiB("VmHWM:");

        auto report = answer ? boost::dynamic_pointer_cast<StatusReportPayload>(answer->getPayload())
                             : boost::shared_ptr<StatusReportPayload>();
        if (!answer || answer->getMessageType() != "WasFinished" || !report) {
            state.SkipWithError(report ? report->getMessage().c_str() : "no answer from the service");
            break;
        }
        clock.record(state, name);
        const double growth = double(peak - before) / 1024.0;
        g_peakGrowthMiB[name] = std::max(g_peakGrowthMiB[name], growth);
        state.counters["peak_rss_growth_MiB"] = growth;
        removeQuietly(report->getMessage());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(g_sizeMiB << 20));
    service.stop();
}

void BM_CurlThenOpenssl(benchmark::State& state) {
    const std::string out = g_folder + "/curl-openssl.bin";
    for (auto _ : state) {
        const RunClock clock;
        const int fetched = run({"curl", "-s", "-f", "--noproxy", "*", "-o", out, g_server->url()});
        std::string digest;
        const int hashed = run({"openssl", "dgst", "-sha256", "-r", out}, &digest);
        if (fetched != 0 || hashed != 0 || digest.compare(0, 64, g_digest) != 0) {
            state.SkipWithError("curl or openssl failed, or the digest differs");
            break;
        }
        clock.record(state, "curl -o + openssl dgst");
        removeQuietly(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(g_sizeMiB << 20));
}

void BM_CurlOnly(benchmark::State& state) {
    const std::string out = g_folder + "/curl.bin";
    for (auto _ : state) {
        const RunClock clock;
        const int fetched = run({"curl", "-s", "-f", "--noproxy", "*", "-o", out, g_server->url()});
        if (fetched != 0) {
            state.SkipWithError("curl failed");
            break;
        }
        clock.record(state, "curl -o");
        removeQuietly(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(g_sizeMiB << 20));
}

using benchsupport::median;

void printSummary() {
    const double pair = median(g_seconds["curl -o + openssl dgst"]);
    const double curlOnly = median(g_seconds["curl -o"]);
    std::printf("\n%zu MiB over loopback, medians of %zu runs each\n", g_sizeMiB,
                g_seconds.empty() ? std::size_t(0) : g_seconds.begin()->second.size());
    std::printf("%-32s %9s %10s %12s %12s %9s %14s\n", "", "seconds", "MiB/s", "vs pair", "vs curl -o", "CPU s",
                "peak RSS +MiB");
    for (const auto& entry : g_seconds) {
        const double seconds = median(entry.second);
        std::printf("%-32s %9.3f %10.1f %12.3f %12.3f %9.3f", entry.first.c_str(), seconds,
                    seconds > 0 ? double(g_sizeMiB) / seconds : 0.0, pair > 0 ? seconds / pair : 0.0,
                    curlOnly > 0 ? seconds / curlOnly : 0.0, median(g_cpuSeconds[entry.first]));
        const auto growth = g_peakGrowthMiB.find(entry.first);
        if (growth != g_peakGrowthMiB.end()) std::printf(" %14.1f", growth->second);
        std::printf("\n");
    }
    std::printf("(ratio = median time / median time of the other; below 1 is faster; CPU s: this process,\n"
                " its in-process server included, and curl or openssl)\n");
}

}  // namespace

BENCHMARK(BM_Service)->Arg(1)->Arg(0)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5);
BENCHMARK(BM_CurlThenOpenssl)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5);
BENCHMARK(BM_CurlOnly)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5);

int main(int argc, char** argv) {
    // Runs of the three take turns, so that a burst of load elsewhere hits all alike.
    std::string interleave = "--benchmark_enable_random_interleaving=true";
    std::vector<char*> rest;
    rest.push_back(argv[0]);
    rest.push_back(&interleave[0]);
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], "--size-mib=", 11) == 0) {
            g_sizeMiB = static_cast<std::size_t>(std::atol(argv[i] + 11));
        } else {
            rest.push_back(argv[i]);
        }
    }
    int restCount = static_cast<int>(rest.size());
    benchmark::Initialize(&restCount, rest.data());

    char folderTemplate[] = "/tmp/kestrup-bench-XXXXXX";
    const char* base = std::getenv("KESTRUP_BENCH_TMP");
    std::string pattern = base && *base ? std::string(base) + "/kestrup-bench-XXXXXX" : folderTemplate;
    if (!::mkdtemp(&pattern[0])) {
        std::perror("mkdtemp");
        return 1;
    }
    g_folder = pattern;
    g_source = g_folder + "/big.bin";
    std::printf("Preparing a %zu MiB file in %s\n", g_sizeMiB, g_folder.c_str());
    writeSourceFile(g_source, g_sizeMiB << 20);
    g_digest = sha256OfFile(g_source);

    {
        benchsupport::FileServer server(g_source);
        g_server = &server;
        benchmark::RunSpecifiedBenchmarks();
        g_server = nullptr;
    }
    printSummary();

    removeQuietly(g_source);
    ::rmdir((g_folder + "/service").c_str());
    ::rmdir(g_folder.c_str());
    benchmark::Shutdown();
    return 0;
}
