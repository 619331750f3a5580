// What a signed feed costs the backend client: parsing a 1 MiB feed alone, against
// the whole check of a signed feed (signature by a trusted key, parse, SHA-256 of
// the bytes, freshness, serial and pins). At the end it prints both medians and
// their ratio.
//
//   bench_feed_signature [google benchmark flags]
#include <chrono>
#include <cstdio>
#include <string>

#include <benchmark/benchmark.h>

#include "FeedGuard.h"
#include "FeedSignature.h"
#include "FeedTrustPolicy.h"
#include "UpdateFeed.h"
#include "host/Logger.h"

namespace ks = kestrup_services;

namespace {

const char* const kFeedUrl = "https://updates.example/feed.xml";

class QuietLogger : public Logger {
public:
    void log(const std::string&) override {}
};

// A feed of about `bytes`: many applications with a few releases each.
std::string makeFeed(std::size_t bytes) {
    const int64_t now =
        std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
    std::string feed = "<updateFeed serial=\"7\" issued=\"" + ks::formatFeedTime(now - 60) + "\" expires=\"" +
                       ks::formatFeedTime(now + 86400) + "\">\n";
    for (unsigned app = 0; feed.size() < bytes; ++app) {
        char id[40];
        std::snprintf(id, sizeof(id), "3f0c6a52-8d0e-4a55-9a3b-%012x", app);
        feed += std::string("  <application id=\"") + id + "\">\n";
        for (int version = 1; version <= 3; ++version) {
            feed += "    <release version=\"" + std::to_string(version) + "\" label=\"" + std::to_string(version) +
                    ".0\"><arguments>--quiet</arguments><digest>" + std::string(64, 'a') +
                    "</digest><size>1048576</size><mirror url=\"https://a.example/app-" + std::to_string(version) +
                    ".run\"/><mirror url=\"app-" + std::to_string(version) + ".run\"/></release>\n";
        }
        feed += "  </application>\n";
    }
    return feed + "</updateFeed>\n";
}

struct Fixture {
    Fixture() : feed(makeFeed(1 << 20)) {
        ks::FeedPublicKey publicKey;
        ks::FeedSecretKey secretKey;
        ks::generateFeedKeyPair(publicKey, secretKey);
        signature = ks::formatFeedSignature(ks::signFeed(feed, secretKey));
        options.publicKeys.push_back(ks::formatFeedPublicKey(publicKey));
    }
    std::string feed;
    std::string signature;
    ks::FeedTrustOptions options;
};

Fixture& fixture() {
    static Fixture instance;
    return instance;
}

// Medians of real time and CPU time, in milliseconds.
double parseMedian = 0, parseCpuMedian = 0;
double signedMedian = 0, signedCpuMedian = 0;

void BM_ParseOnly(benchmark::State& state) {
    const Fixture& f = fixture();
    for (auto _ : state) {
        ks::UpdateFeed feed;
        std::string error;
        if (!ks::parseUpdateFeed(f.feed, kFeedUrl, feed, error)) state.SkipWithError(error.c_str());
        benchmark::DoNotOptimize(feed);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.feed.size()));
}

void BM_SignedCheckAndParse(benchmark::State& state) {
    const Fixture& f = fixture();
    QuietLogger logger;
    const ks::FeedGuard guard(f.options, &logger);
    const ks::FeedGuard::Fetch fetch = [&f](const std::string&, uint64_t, std::string& body, std::string&) {
        body = f.signature;
        return true;
    };
    for (auto _ : state) {
        std::string reason;
        ks::UpdateFeed feed;
        const int64_t now = std::chrono::duration_cast<std::chrono::seconds>(
                                std::chrono::system_clock::now().time_since_epoch()).count();
        if (!guard.checkSignature(kFeedUrl, f.feed, fetch, reason) ||
            !ks::parseUpdateFeed(f.feed, kFeedUrl, feed, reason) || !guard.admit(kFeedUrl, f.feed, feed, now, reason)) {
            state.SkipWithError(reason.c_str());
        }
        benchmark::DoNotOptimize(feed);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * f.feed.size()));
}

BENCHMARK(BM_ParseOnly)->Unit(benchmark::kMillisecond)->Repetitions(5);
BENCHMARK(BM_SignedCheckAndParse)->Unit(benchmark::kMillisecond)->Repetitions(5);

// Keeps the medians for the ratio printed at the end.
class MedianReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.aggregate_name != "median") continue;
            if (run.benchmark_name().find("BM_ParseOnly") == 0) {
                parseMedian = run.GetAdjustedRealTime();
                parseCpuMedian = run.GetAdjustedCPUTime();
            } else if (run.benchmark_name().find("BM_SignedCheckAndParse") == 0) {
                signedMedian = run.GetAdjustedRealTime();
                signedCpuMedian = run.GetAdjustedCPUTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    MedianReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    if (parseMedian > 0 && signedMedian > 0 && parseCpuMedian > 0) {
        std::printf("\n1 MiB feed, medians: parse %.2f ms (CPU %.2f ms), signed check and parse %.2f ms (CPU %.2f "
                    "ms); ratio %.3f (CPU %.3f)\n",
                    parseMedian, parseCpuMedian, signedMedian, signedCpuMedian, signedMedian / parseMedian,
                    signedCpuMedian / parseCpuMedian);
    }
    benchmark::Shutdown();
    return 0;
}
