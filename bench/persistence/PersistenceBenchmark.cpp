// Cost of a durable write: PersistenceHelper::insert of a KSFile with flush, next to
// a bare SQLite transaction that writes the same stored bytes with the same
// durability settings (WAL, synchronous=FULL), in the same folder.
//
// The store lives in $KESTRUP_BENCH_TMP, else in a fresh folder under the current
// directory (not /tmp, which may be a RAM file system where a sync costs nothing).
// Every benchmark runs a fixed number of iterations, so
//   strace -c -f -e trace=fsync,fdatasync persistence_bench --benchmark_filter=<name>
// gives the syncs per iteration directly.
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include "PersistenceHelper.h"
#include "host/ConfigurationManager.h"
#include "payloads/Manifest.h"

namespace fs = std::filesystem;

namespace {

const int kIterations = 500;
const int kRepetitions = 9;

class BenchConfiguration : public ConfigurationManager {
public:
    int reload() override { return 0; }
    int set(const std::string&, const std::string&, int) override { return 1; }
    int get(const std::string& key, std::string& value, int) override {
        if (key != "Identities/DomainID") return 1;
        value = "bench";
        return 0;
    }
};

// The store folder for the whole run, removed at exit.
class BenchFolder {
public:
    BenchFolder() {
        const char* base = std::getenv("KESTRUP_BENCH_TMP");
        fs::path root = (base && *base) ? fs::path(base) : fs::current_path();
        m_path = (root / ("persistence-bench-" + std::to_string(::getpid()))).string();
        fs::create_directories(m_path);
        PersistentManager::setStoreFolder(m_path);
        ConfigurationManager::setDefaultInstance(&m_configuration);
    }
    ~BenchFolder() {
        ConfigurationManager::setDefaultInstance(nullptr);
        std::error_code ec;
        fs::remove_all(m_path, ec);
    }
    const std::string& path() const { return m_path; }

private:
    std::string m_path;
    BenchConfiguration m_configuration;
};

BenchFolder& folder() {
    static BenchFolder instance;
    return instance;
}

KSFile installerFile() {
    KSFile file;
    file.setArguments("/S /norestart /log=\"%TEMP%\\setup.log\"");
    file.setDigest("9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08");
    std::list<KSMirror> mirrors;
    for (int i = 0; i < 3; ++i)
        mirrors.push_back(KSMirror("https://mirror" + std::to_string(i) + ".example.com/apps/brenmark/setup-4.2.1.exe",
                                   "https://www.example.com/eula/brenmark-" + std::to_string(i) + ".html"));
    file.setMirrors(mirrors);
    return file;
}

void check(int rc, sqlite3* db, const char* what) {
    if (rc != SQLITE_OK && rc != SQLITE_DONE) throw std::runtime_error(std::string(what) + ": " + sqlite3_errmsg(db));
}

void BM_HelperInsertKSFileAndFlush(benchmark::State& state) {
    folder();
    PersistenceHelper helper("BenchSchema", "", "");
    const KSFile file = installerFile();
    for (auto _ : state) {
        if (helper.insert("ksFile", file, true) != 0) state.SkipWithError("insert failed");
    }
}

// The floor: one INSERT OR REPLACE of the stored bytes in its own transaction, on
// a plain connection with the store's durability settings.
class BareTransaction {
public:
    BareTransaction(const std::string& path, const std::string& bytes) : m_bytes(bytes) {
        check(sqlite3_open_v2(path.c_str(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr), m_db, "open");
        check(sqlite3_exec(m_db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr), m_db, "wal");
        check(sqlite3_exec(m_db, "PRAGMA synchronous=FULL", nullptr, nullptr, nullptr), m_db, "synchronous");
        check(sqlite3_exec(m_db, "CREATE TABLE IF NOT EXISTS bare (key TEXT PRIMARY KEY, value BLOB) WITHOUT ROWID",
                           nullptr, nullptr, nullptr),
              m_db, "create");
        check(sqlite3_prepare_v2(m_db, "INSERT OR REPLACE INTO bare (key, value) VALUES ('ksFile', ?1)", -1, &m_insert,
                                 nullptr),
              m_db, "prepare");
    }
    ~BareTransaction() {
        sqlite3_finalize(m_insert);
        sqlite3_close(m_db);
    }
    void run() {
        check(sqlite3_exec(m_db, "BEGIN", nullptr, nullptr, nullptr), m_db, "begin");
        sqlite3_bind_blob(m_insert, 1, m_bytes.data(), static_cast<int>(m_bytes.size()), SQLITE_STATIC);
        check(sqlite3_step(m_insert), m_db, "insert");
        sqlite3_reset(m_insert);
        check(sqlite3_exec(m_db, "COMMIT", nullptr, nullptr, nullptr), m_db, "commit");
    }

private:
    const std::string m_bytes;
    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_insert = nullptr;
};

void BM_BareSqliteTransaction(benchmark::State& state) {
    BareTransaction bare(folder().path() + "/bare.sqlite", storeKSFile(installerFile()));  // the helper's bytes
    for (auto _ : state) bare.run();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0.0 : values[values.size() / 2];
}

// Both writes alternate within one loop, so a change in the machine's load hits
// both alike; the counters hold the median of each and their ratio.
void BM_InterleavedHelperVsBare(benchmark::State& state) {
    folder();
    PersistenceHelper helper("BenchSchema", "", "");
    const KSFile file = installerFile();
    BareTransaction bare(folder().path() + "/bare.sqlite", storeKSFile(file));
    std::vector<double> helperUs;
    std::vector<double> bareUs;
    for (auto _ : state) {
        const auto t0 = std::chrono::steady_clock::now();
        if (helper.insert("ksFile", file, true) != 0) state.SkipWithError("insert failed");
        const auto t1 = std::chrono::steady_clock::now();
        bare.run();
        const auto t2 = std::chrono::steady_clock::now();
        helperUs.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
        bareUs.push_back(std::chrono::duration<double, std::micro>(t2 - t1).count());
    }
    const double helperMedian = median(helperUs);
    const double bareMedian = median(bareUs);
    state.counters["helper_median_us"] = helperMedian;
    state.counters["bare_median_us"] = bareMedian;
    state.counters["ratio"] = bareMedian > 0 ? helperMedian / bareMedian : 0;
}

// The store without the typed layer: the serialized text written and flushed.
void BM_SchemaUpdateAndFlush(benchmark::State& state) {
    folder();
    KeyValueSchema schema = PersistentManager().initLocal(
        "BenchRaw", "bench", "", "", {{KeyValueSchema::AUTO_FLUSH, KeyValueSchema::DISABLE_PROPERTY}});
    const std::string bytes = storeKSFile(installerFile());
    for (auto _ : state) {
        schema._update("ksFile", bytes, Schema::REPLACE);
        schema.flush();
    }
}

void BM_FlushWithNothingPending(benchmark::State& state) {
    folder();
    PersistenceHelper helper("BenchSchema", "", "");
    helper.insert("ksFile", installerFile(), true);
    KeyValueSchema schema = PersistentManager().initLocal(
        "BenchSchema", "bench", "", "", {{KeyValueSchema::AUTO_FLUSH, KeyValueSchema::DISABLE_PROPERTY}});
    for (auto _ : state) schema.flush();
}

void configure(benchmark::internal::Benchmark* b) {
    b->Iterations(kIterations)->Repetitions(kRepetitions)->ReportAggregatesOnly(true)->UseRealTime()->Unit(
        benchmark::kMicrosecond);
}

BENCHMARK(BM_HelperInsertKSFileAndFlush)->Apply(configure);
BENCHMARK(BM_BareSqliteTransaction)->Apply(configure);
BENCHMARK(BM_SchemaUpdateAndFlush)->Apply(configure);
BENCHMARK(BM_FlushWithNothingPending)->Apply(configure);
BENCHMARK(BM_InterleavedHelperVsBare)->Iterations(2000)->UseRealTime()->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
