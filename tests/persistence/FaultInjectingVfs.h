#pragma once
// An SQLite VFS that delegates every call but sync to the VFS that was the default, and makes
// the Nth read, write, sync, truncate or lock fail with a chosen code, once or from
// then on. While it lives it is the default VFS, so every store opened in the
// process goes through it.
#include <array>
#include <string>

#include <sqlite3.h>

namespace storetest {

enum class FaultOp { Read, Write, Sync, Truncate, Lock };
const std::array<FaultOp, 5> kFaultOps = {FaultOp::Read, FaultOp::Write, FaultOp::Sync, FaultOp::Truncate,
                                          FaultOp::Lock};
const char* faultOpName(FaultOp op);

class FaultInjectingVfs {
public:
    FaultInjectingVfs();
    ~FaultInjectingVfs();
    FaultInjectingVfs(const FaultInjectingVfs&) = delete;
    FaultInjectingVfs& operator=(const FaultInjectingVfs&) = delete;

    // Restarts the counts; the `nth` (1-based) operation of kind `op` from now on
    // returns `code` instead of running, and with `sticky` every later one of that
    // kind too.
    void arm(FaultOp op, int nth, int code, bool sticky);
    // No more failures; the counts restart.
    void lift();
    // Operations of kind `op` since the last arm() or lift().
    int count(FaultOp op) const;
    // Failures returned since the last arm().
    int failures() const;
};

}  // namespace storetest
