// The workflow store under failing I/O: each read, write, sync, truncate and lock of
// the road's writes fails in turn, once or from then on. A failure is reported (code
// and log line) or absorbed without loss; lifted, the store is intact, holds the step
// before or after, and the road goes on to the same end.
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "FaultInjectingVfs.h"
#include "KSPersistentState.h"
#include "RawStore.h"
#include "support/TestSupport.h"
#include "payloads/Manifest.h"

namespace {

using storetest::FaultOp;
typedef std::unique_ptr<KSPersistentState> StatePtr;

const char* const kDomain = "fault-domain";
const int kNoResult = -1;  // a step whose calls return nothing

struct Step {
    const char* name;
    std::function<int(StatePtr&)> run;  // the helper's result of the flushing call
};

int settle(StatePtr& state) {
    state.reset();  // one store user at a time, as in the process
    state.reset(new KSPersistentState());
    return kNoResult;
}

KSFile installerFile() {
    KSFile file;
    file.setArguments("/S");
    file.setDigest("9f86d081884c7d659a2feaa0c55ad015a3bf4f1b2b0b822cd15d6c15b0f00a08");
    file.setMirrors({KSMirror("http://a.example/setup.exe", ""), KSMirror("http://b.example/setup.exe", "")});
    return file;
}

// The writes of the road from a check to the installer's start and back to Idle,
// with a restart in the middle of the download, as the component makes them.
const std::vector<Step>& road() {
    static const std::vector<Step> steps = {
        {"settle on an empty store", settle},
        {"check time", [](StatePtr& s) { return s->writeLastCheckForUpdate(1700000000, true); }},
        {"offering id", [](StatePtr& s) { return s->writeServiceOfferingId("3f0c2a4e-9b1d-4c6e-8f00-0123456789ab", true); }},
        {"offering version", [](StatePtr& s) { return s->writeServiceOfferingVersion(2, true); }},
        {"installer file", [](StatePtr& s) { return s->writeInstallerFile(installerFile(), true); }},
        {"update available", [](StatePtr& s) { s->setState(KSPersistentState::UpdateAvailable, true); return kNoResult; }},
        {"downloading", [](StatePtr& s) {
             s->writeRetries(0, false);
             s->writeInstallerArgs("/S", false);
             s->writeSessionId("0b9d3c1e-5a47-4f6e-8d21-3c4b5a6f7e80", false);
             s->setState(KSPersistentState::Downloading, true);
             return kNoResult;
         }},
        {"download retry", [](StatePtr& s) { return s->writeRetries(1, true); }},
        {"settle after a restart", settle},
        {"downloaded", [](StatePtr& s) {
             s->writeInstallerFilename("/data/setup.exe", false);
             s->writeRetries(0, false);
             s->setState(KSPersistentState::Downloaded, true);
             return kNoResult;
         }},
        {"installing", [](StatePtr& s) {
             s->writeRetries(1, false);  // the launch is counted before it happens
             s->setState(KSPersistentState::Installing, true);
             return kNoResult;
         }},
        {"idle", [](StatePtr& s) { s->setState(KSPersistentState::Idle, true); return kNoResult; }},
    };
    return steps;
}

class StoreFaultTest : public ::testing::Test {
protected:
    void SetUp() override { PersistentManager::setStoreFolder(dir->path()); }
    void TearDown() override { PersistentManager::setStoreFolder(""); }

    void freshStore() {
        dir.reset(new testsupport::TempDir());
        PersistentManager::setStoreFolder(dir->path());
    }
    std::string storeFile() const { return PersistentManager(dir->path()).storeFile(kDomain); }

    // Every row of the workflow's schema, in key order; "" when there is none yet.
    std::string contents() {
        storetest::RawStore raw(storeFile());
        if (raw.query("SELECT count(*) FROM sqlite_master WHERE name = 'KSPersistentStateSchema'") == "0") return "";
        return raw.query("SELECT group_concat(key || '=' || hex(value), ';') FROM "
                         "(SELECT key, value FROM KSPersistentStateSchema ORDER BY key, seq)");
    }
    std::string integrity() { return storetest::RawStore(storeFile()).query("PRAGMA integrity_check"); }

    std::size_t failureLines() const {
        std::size_t n = 0;
        for (const std::string& line : logger.lines())
            if (line.find("KESTRUP: ") != std::string::npos && line.find(" failed. Reason: ") != std::string::npos) ++n;
        return n;
    }

    // Runs the road from step `from`; with `snapshots`, the contents after each step.
    void runRoad(StatePtr& state, std::size_t from, std::vector<std::string>* snapshots) {
        for (std::size_t k = from; k < road().size(); ++k) {
            road()[k].run(state);
            if (snapshots) snapshots->push_back(contents());
        }
    }

    std::unique_ptr<testsupport::TempDir> dir{new testsupport::TempDir()};
    testsupport::CapturingLogger logger;
    testsupport::MemoryConfiguration configuration{{{"Identities/DomainID", kDomain}}};
    storetest::FaultInjectingVfs vfs;
};

TEST_F(StoreFaultTest, EveryFailingOperationOfTheRoadIsReportedOrAbsorbedAndTheRoadGoesOn) {
    // A clean road: the contents after each step, and the operations of each kind.
    std::vector<std::string> after;
    {
        StatePtr state;
        runRoad(state, 0, &after);
    }
    int total[5];
    for (FaultOp op : storetest::kFaultOps) total[static_cast<int>(op)] = 0;
    {
        freshStore();
        vfs.lift();
        StatePtr state;
        runRoad(state, 0, nullptr);
        for (FaultOp op : storetest::kFaultOps) total[static_cast<int>(op)] = vfs.count(op);
    }
    ASSERT_TRUE(logger.lines().empty());
    ASSERT_GT(total[static_cast<int>(FaultOp::Sync)], 0);
    const std::string final = after.back();

    int walked = 0;
    for (FaultOp op : storetest::kFaultOps) {
        for (int nth = 1; nth <= total[static_cast<int>(op)]; ++nth) {
            for (bool sticky : {false, true}) {
                const int code = nth % 2 ? SQLITE_IOERR : SQLITE_FULL;
                const std::string where = std::string(storetest::faultOpName(op)) + " #" + std::to_string(nth) +
                                          (sticky ? " from then on" : " once") + (nth % 2 ? " IOERR" : " FULL");
                SCOPED_TRACE(where);
                freshStore();
                logger.clear();
                ++walked;
                vfs.arm(op, nth, code, sticky);
                StatePtr state;
                std::size_t k = 0;
                int result = kNoResult;
                for (; k < road().size() && vfs.failures() == 0; ++k) {
                    const std::size_t linesBefore = failureLines();
                    result = road()[k].run(state);
                    const bool logged = failureLines() > linesBefore;
                    if (result != kNoResult) {
                        EXPECT_EQ(result == 2, logged) << road()[k].name;
                    }
                }
                ASSERT_GT(vfs.failures(), 0) << "the road made fewer operations than the clean one";
                const std::size_t failed = k - 1;  // the step in which the fault hit
                const bool reported = failureLines() > 0;

                vfs.lift();
                state.reset();
                ASSERT_EQ(integrity(), "ok") << road()[failed].name;
                const std::string held = contents();
                const std::string before = failed == 0 ? "" : after[failed - 1];
                // Entering Idle empties the schema before it writes the state again.
                const bool between = road()[failed].name == std::string("idle") && held.empty();
                EXPECT_TRUE(held == before || held == after[failed] || between)
                    << road()[failed].name << " left " << held;
                if (!reported) {
                    EXPECT_EQ(held, after[failed]) << "a silent failure lost " << road()[failed].name;
                }

                // A restart, then the road from the step that failed.
                settle(state);
                runRoad(state, held == after[failed] ? failed + 1 : failed, nullptr);
                state.reset();
                EXPECT_EQ(contents(), final) << "after a failure in " << road()[failed].name;
                if (HasFailure()) return;
            }
        }
    }
    RecordProperty("fault_points_walked", walked);
    std::printf("fault points walked: %d (read %d, write %d, sync %d, truncate %d, lock %d, x2 once/sticky)\n",
                walked, total[0], total[1], total[2], total[3], total[4]);
}

}  // namespace
