// The download service's resume record, as found in its state folder after a restart.
#include <string>

#include "DownloadSessionStore.h"
#include "FuzzInput.h"

namespace {
const char* const kSession = "0b9d3c1e-5a47-4f6e-8d21-3c4b5a6f7e80";
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace kestrup_services;
    kestrup_fuzz::ScratchFolder::write(std::string(".") + kSession + ".download", kestrup_fuzz::asText(data, size));
    DownloadSessionStore store(kestrup_fuzz::ScratchFolder::path());
    DownloadTask task;
    if (store.load(kSession, task)) {
        // A record is only accepted when a fresh Start of it would be.
        DownloadFailure code;
        if (!validateTask(task, code).empty()) __builtin_trap();
    }
    return 0;
}
