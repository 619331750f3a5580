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
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <openssl/evp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/sendfile.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>
#include <boost/make_shared.hpp>

#include "DownloadService.h"
#include "bus/IMessageSink.h"
#include "bus/LocalMessage.h"
#include "bus/MessageDispatcher.h"
#include "host/Logger.h"
#include "payloads/RequestPayloads.h"
#include "payloads/StatusPayloads.h"

extern char** environ;

namespace {

std::size_t g_sizeMiB = 256;
std::string g_folder;     // work folder of this run
std::string g_source;     // the served file
std::string g_digest;     // its SHA-256
std::map<std::string, std::vector<double>> g_seconds;  // wall time per run, by benchmark
std::map<std::string, double> g_peakGrowthMiB;          // service runs only

// --- a minimal HTTP/1.0 file server on 127.0.0.1 ----------------------------------

class FileServer {
public:
    explicit FileServer(const std::string& file) : m_file(file) {
        m_listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof address;
        if (::bind(m_listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            ::listen(m_listener, 16) != 0 ||
            ::getsockname(m_listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
            std::perror("bench server");
            std::exit(1);
        }
        m_port = ntohs(address.sin_port);
        m_thread = std::thread([this] { acceptLoop(); });
    }

    ~FileServer() {
        m_stop = true;
        m_thread.join();
        ::close(m_listener);
    }

    std::string url() const { return "http://127.0.0.1:" + std::to_string(m_port) + "/files/big.bin"; }

private:
    void acceptLoop() {
        while (!m_stop) {
            struct pollfd descriptor = {m_listener, POLLIN, 0};
            if (::poll(&descriptor, 1, 100) <= 0) continue;
            const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC);
            if (client < 0) continue;
            serve(client);  // one client at a time is all a benchmark run needs
            ::close(client);
        }
    }

    void serve(int client) {
        std::string request;
        char buffer[4096];
        while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
            const ssize_t n = ::recv(client, buffer, sizeof buffer, 0);
            if (n <= 0) return;
            request.append(buffer, static_cast<std::size_t>(n));
        }
        const int fd = ::open(m_file.c_str(), O_RDONLY | O_CLOEXEC);
        struct stat info;
        if (fd < 0 || ::fstat(fd, &info) != 0) return;
        const std::string header = "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
                                   std::to_string(info.st_size) + "\r\nConnection: close\r\n\r\n";
        if (::send(client, header.data(), header.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(header.size())) {
            off_t offset = 0;
            while (offset < info.st_size && !m_stop) {
                const ssize_t n = ::sendfile(client, fd, &offset, static_cast<std::size_t>(info.st_size - offset));
                if (n <= 0) break;
            }
        }
        ::close(fd);
    }

    std::string m_file;
    int m_listener = -1;
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

FileServer* g_server = nullptr;

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

class QuietLogger : public Logger {
public:
    void log(const std::string&) override {}
};

// --- the benchmarks ---------------------------------------------------------------

void recordRun(benchmark::State& state, const std::string& name, double seconds) {
    state.SetIterationTime(seconds);
    g_seconds[name].push_back(seconds);
}

void BM_Service(benchmark::State& state) {
    const bool sync = state.range(0) != 0;
    const std::string name = sync ? "service (fsync before rename)" : "service (no fsync)";
    QuietLogger quiet;
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

        const auto begin = std::chrono::steady_clock::now();
        MessageDispatcher::getInstance()->post(start);
        boost::shared_ptr<LocalMessage> answer = answers.wait();
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        const long peak = statusKiB("VmHWM:");

        auto report = answer ? boost::dynamic_pointer_cast<StatusReportPayload>(answer->getPayload())
                             : boost::shared_ptr<StatusReportPayload>();
        if (!answer || answer->getMessageType() != "WasFinished" || !report) {
            state.SkipWithError(report ? report->getMessage().c_str() : "no answer from the service");
            break;
        }
        recordRun(state, name, seconds);
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
        const auto begin = std::chrono::steady_clock::now();
        const int fetched = run({"curl", "-s", "-f", "--noproxy", "*", "-o", out, g_server->url()});
        std::string digest;
        const int hashed = run({"openssl", "dgst", "-sha256", "-r", out}, &digest);
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        if (fetched != 0 || hashed != 0 || digest.compare(0, 64, g_digest) != 0) {
            state.SkipWithError("curl or openssl failed, or the digest differs");
            break;
        }
        recordRun(state, "curl -o + openssl dgst", seconds);
        removeQuietly(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(g_sizeMiB << 20));
}

void BM_CurlOnly(benchmark::State& state) {
    const std::string out = g_folder + "/curl.bin";
    for (auto _ : state) {
        const auto begin = std::chrono::steady_clock::now();
        const int fetched = run({"curl", "-s", "-f", "--noproxy", "*", "-o", out, g_server->url()});
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        if (fetched != 0) {
            state.SkipWithError("curl failed");
            break;
        }
        recordRun(state, "curl -o", seconds);
        removeQuietly(out);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(g_sizeMiB << 20));
}

double median(std::vector<double> values) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    const std::size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

void printSummary() {
    const double pair = median(g_seconds["curl -o + openssl dgst"]);
    const double curlOnly = median(g_seconds["curl -o"]);
    std::printf("\n%zu MiB over loopback, medians of %zu runs each\n", g_sizeMiB,
                g_seconds.empty() ? std::size_t(0) : g_seconds.begin()->second.size());
    std::printf("%-32s %9s %10s %12s %12s %14s\n", "", "seconds", "MiB/s", "vs pair", "vs curl -o", "peak RSS +MiB");
    for (const auto& entry : g_seconds) {
        const double seconds = median(entry.second);
        std::printf("%-32s %9.3f %10.1f %12.3f %12.3f", entry.first.c_str(), seconds,
                    seconds > 0 ? double(g_sizeMiB) / seconds : 0.0, pair > 0 ? seconds / pair : 0.0,
                    curlOnly > 0 ? seconds / curlOnly : 0.0);
        const auto growth = g_peakGrowthMiB.find(entry.first);
        if (growth != g_peakGrowthMiB.end()) std::printf(" %14.1f", growth->second);
        std::printf("\n");
    }
    std::printf("(ratio = median time / median time of the other; below 1 is faster)\n");
}

}  // namespace

BENCHMARK(BM_Service)->Arg(1)->Arg(0)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5);
BENCHMARK(BM_CurlThenOpenssl)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5);
BENCHMARK(BM_CurlOnly)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(1)->Repetitions(5);

int main(int argc, char** argv) {
    std::vector<char*> rest;
    for (int i = 0; i < argc; ++i) {
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
        FileServer server(g_source);
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
