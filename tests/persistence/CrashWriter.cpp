// A child process for the crash tests. It writes to a store, prints "ready" on
// stdout and waits to be killed (it gives up after a minute).
//
//   store_crash_writer <store folder> partial
//     CrashSchema (auto-flush off): k1..k3 written and flushed, then k1 rewritten
//     and k4 written without a flush. AutoSchema (auto-flush on): "auto" written.
//   store_crash_writer <store folder> churn
//     CrashSchema: keys key0..key49 all set to the round number, flushed, round
//     after round; "ready" after the first round.
#include <chrono>
#include <cstdio>
#include <iostream>
#include <string>
#include <thread>

#include "persistence/PersistentManager.h"

namespace {

const auto kGiveUpAfter = std::chrono::seconds(60);

void signalReady() {
    std::cout << "ready" << std::endl;
}

PersistentManager::Properties manualFlush() {
    return {{KeyValueSchema::AUTO_FLUSH, KeyValueSchema::DISABLE_PROPERTY}};
}

int runPartial(PersistentManager& manager) {
    KeyValueSchema schema = manager.initLocal("CrashSchema", "crash", "", "", manualFlush());
    KeyValueSchema autoSchema = manager.initLocal("AutoSchema", "crash", "", "", {});
    schema._update("k1", "one", Schema::REPLACE);
    schema._update("k2", "two", Schema::REPLACE);
    schema._update("k3", "three", Schema::REPLACE);
    schema.flush();
    schema._update("k1", "one-unflushed", Schema::REPLACE);
    schema._update("k4", "four-unflushed", Schema::REPLACE);
    autoSchema._update("auto", "committed", Schema::REPLACE);
    signalReady();
    std::this_thread::sleep_for(kGiveUpAfter);
    return 3;
}

int runChurn(PersistentManager& manager) {
    KeyValueSchema schema = manager.initLocal("CrashSchema", "crash", "", "", manualFlush());
    const auto deadline = std::chrono::steady_clock::now() + kGiveUpAfter;
    for (long round = 0; std::chrono::steady_clock::now() < deadline; ++round) {
        for (int key = 0; key < 50; ++key) schema._update("key" + std::to_string(key), std::to_string(round), Schema::REPLACE);
        schema.flush();
        if (round == 0) signalReady();
    }
    return 3;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::cerr << "usage: store_crash_writer <store folder> partial|churn" << std::endl;
        return 2;
    }
    try {
        PersistentManager manager(argv[1]);
        const std::string mode = argv[2];
        if (mode == "partial") return runPartial(manager);
        if (mode == "churn") return runChurn(manager);
        std::cerr << "unknown mode " << mode << std::endl;
        return 2;
    } catch (const std::exception& e) {
        std::cerr << "store_crash_writer: " << e.what() << std::endl;
        return 1;
    }
}
