// Many clients at once against one component on the real bus, while the download
// service finishes and fails downloads and the launcher answers launches: every
// request is answered exactly once, nothing hangs, and the store is consistent
// afterwards. KESTRUP_STRESS_REQUESTS sets the requests per client thread (10,000;
// the sanitizer builds run fewer, see CMakeLists.txt).
#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "ComponentFixture.h"
#include "persistence/RawStore.h"

namespace componenttest {
namespace {

const int kClientThreads = 8;

int requestsPerThread() {
    const char* configured = std::getenv("KESTRUP_STRESS_REQUESTS");
    return configured && std::atoi(configured) > 0 ? std::atoi(configured) : 10000;
}

class ComponentStressTest : public ComponentFixture {};

TEST_F(ComponentStressTest, EightClientsAreEachAnsweredExactlyOnceWhileDownloadsFinishAndFail) {
    // Every other download finishes with a file that is not there (the launcher then
    // answers with an execution error, which ends the road in Idle), the others fail.
    const int perThread = requestsPerThread();
    std::vector<FakeDownloadService::Outcome> outcomes;
    for (int i = 0; i < kClientThreads * perThread; ++i)
        outcomes.push_back(i % 2 ? FakeDownloadService::fail(272) : FakeDownloadService::finish(dir.file("gone.exe")));
    downloads.script(outcomes);
    backend.setManifest(makeManifest(AppA, defaultFile()));
    settings["Kestrup/DownloadRetries"] = "0";
    startComponent();

    std::atomic<int> unanswered{0};
    std::vector<std::unique_ptr<Client>> clients;
    for (int t = 0; t < kClientThreads; ++t) clients.emplace_back(new Client());
    std::vector<std::thread> threads;
    for (int t = 0; t < kClientThreads; ++t) {
        threads.emplace_back([&, t] {
            Client& own = *clients[static_cast<std::size_t>(t)];
            static const char* const kinds[] = {"GetUpdateStatus", "PrepareForInstall", "LaunchInstall"};
            for (int i = 0; i < perThread; ++i) {
                const std::string kind = kinds[(i + t) % 3];
                const uint32_t version = kind == "GetUpdateStatus" ? 1 : 5;
                if (!own.ask(kind, offering(AppA, version), UUId::generate())) ++unanswered;
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(unanswered.load(), 0);

    destroyComponent();  // every delivery of the component has ended
    for (const auto& own : clients) EXPECT_EQ(own->replies().count(), static_cast<std::size_t>(perThread));
    std::printf("stress: %d threads x %d requests, %zu downloads started, %zu checks\n", kClientThreads, perThread,
                downloads.requests("Start").size(), backend.checkCount());
    EXPECT_GT(downloads.requests("Start").size(), 0u);

    std::unique_ptr<KSPersistentState> saved = openStore();
    EXPECT_GE(saved->getState(), KSPersistentState::Idle);
    EXPECT_LE(saved->getState(), KSPersistentState::Installing);
    saved.reset();
    EXPECT_EQ(storetest::RawStore(PersistentManager(dir.file("store")).storeFile("component-tests")).query("PRAGMA integrity_check"),
              "ok");
}

}  // namespace
}  // namespace componenttest
