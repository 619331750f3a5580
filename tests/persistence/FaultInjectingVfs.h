#pragma once
// The process's default SQLite VFS while it lives: delegates every call but sync to
// the previous default, and fails the Nth read, write, sync, truncate or lock with a
// chosen code, once or from then on.
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

    // Restarts the counts; the `nth` (1-based) `op` from now on returns `code`
    // instead of running, with `sticky` every later one too.
    void arm(FaultOp op, int nth, int code, bool sticky);
    void lift();                   // no more failures; the counts restart
    int count(FaultOp op) const;   // since the last arm() or lift()
    int failures() const;          // since the last arm()
};

}  // namespace storetest
