// The writer that the store crash test ends from outside:
//   store_crash_writer FOLDER MARKER
// "Kept": k1..k3 flushed, then k1 rewritten and k4 written without a flush. "Auto"
// (auto-flush on): "auto" written. "Churn": key0..key49 set to the round number and
// flushed, round after round, until it is killed; MARKER appears after the first
// round. Gives up after a minute (exit 2); 1 on an error.
#include <chrono>
#include <fstream>
#include <string>

#include "persistence/PersistentManager.h"

int main(int argc, char** argv) {
    if (argc != 3) return 64;
    try {
        PersistentManager manager(argv[1]);
        const PersistentManager::Properties manual = {{KeyValueSchema::AUTO_FLUSH, KeyValueSchema::DISABLE_PROPERTY}};
        KeyValueSchema kept = manager.initLocal("Kept", "crash", "", "", manual);
        KeyValueSchema churn = manager.initLocal("Churn", "crash", "", "", manual);
        for (const char* key : {"k1", "k2", "k3"}) kept._update(key, std::string("flushed ") + key, Schema::REPLACE);
        kept.flush();
        kept._update("k1", "unflushed", Schema::REPLACE);
        kept._update("k4", "unflushed", Schema::REPLACE);
        manager.initLocal("Auto", "crash", "", "", {})._update("auto", "committed", Schema::REPLACE);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        for (long round = 0; std::chrono::steady_clock::now() < deadline; ++round) {
            for (int key = 0; key < 50; ++key) churn._update("key" + std::to_string(key), std::to_string(round), Schema::REPLACE);
            churn.flush();
            if (round == 0) std::ofstream(argv[2]) << "ready";
        }
    } catch (...) {
        return 1;
    }
    return 2;
}
