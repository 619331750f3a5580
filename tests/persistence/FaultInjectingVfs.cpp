#include "FaultInjectingVfs.h"

#include <atomic>
#include <cstring>
#include <stdexcept>

namespace storetest {

namespace {

// One instance per process; the VFS callbacks have no user pointer of their own
// per file, so the fault plan is global.
struct FaultPlan {
    std::atomic<int> counts[5] = {};
    std::atomic<int> armedOp{-1};
    std::atomic<int> nth{0};
    std::atomic<int> code{SQLITE_OK};
    std::atomic<bool> sticky{false};
    std::atomic<int> failures{0};

    void reset() {
        for (auto& c : counts) c = 0;
        failures = 0;
    }
    // Counts one operation; the code to return instead of running it, or SQLITE_OK.
    int take(FaultOp op) {
        const int index = static_cast<int>(op);
        const int n = ++counts[index];
        if (armedOp != index || n < nth || (n > nth && !sticky)) return SQLITE_OK;
        ++failures;
        return code;
    }
};

FaultPlan plan;
sqlite3_vfs* base = nullptr;
sqlite3_vfs wrapper;
sqlite3_io_methods methods;

struct FaultFile {
    sqlite3_file file;
    sqlite3_file* real;  // lies right behind this struct, in the same allocation
};

sqlite3_file* real(sqlite3_file* file) { return reinterpret_cast<FaultFile*>(file)->real; }

int xClose(sqlite3_file* f) { return real(f)->pMethods->xClose(real(f)); }
int xRead(sqlite3_file* f, void* buffer, int amount, sqlite3_int64 offset) {
    const int rc = plan.take(FaultOp::Read);
    return rc != SQLITE_OK ? rc : real(f)->pMethods->xRead(real(f), buffer, amount, offset);
}
int xWrite(sqlite3_file* f, const void* buffer, int amount, sqlite3_int64 offset) {
    const int rc = plan.take(FaultOp::Write);
    return rc != SQLITE_OK ? rc : real(f)->pMethods->xWrite(real(f), buffer, amount, offset);
}
int xTruncate(sqlite3_file* f, sqlite3_int64 size) {
    const int rc = plan.take(FaultOp::Truncate);
    return rc != SQLITE_OK ? rc : real(f)->pMethods->xTruncate(real(f), size);
}
int xSync(sqlite3_file* f, int flags) {
    // Counted and failed like the rest, but never forwarded: the tests check what
    // a failing sync does, not what survives a power cut, and a real flush to disk
    // per commit would make walking every operation slow.
    (void)f;
    (void)flags;
    return plan.take(FaultOp::Sync);
}
int xFileSize(sqlite3_file* f, sqlite3_int64* size) { return real(f)->pMethods->xFileSize(real(f), size); }
int xLock(sqlite3_file* f, int level) {
    const int rc = plan.take(FaultOp::Lock);
    return rc != SQLITE_OK ? rc : real(f)->pMethods->xLock(real(f), level);
}
int xUnlock(sqlite3_file* f, int level) { return real(f)->pMethods->xUnlock(real(f), level); }
int xCheckReservedLock(sqlite3_file* f, int* out) { return real(f)->pMethods->xCheckReservedLock(real(f), out); }
int xFileControl(sqlite3_file* f, int op, void* arg) { return real(f)->pMethods->xFileControl(real(f), op, arg); }
int xSectorSize(sqlite3_file* f) { return real(f)->pMethods->xSectorSize(real(f)); }
int xDeviceCharacteristics(sqlite3_file* f) { return real(f)->pMethods->xDeviceCharacteristics(real(f)); }
int xShmMap(sqlite3_file* f, int region, int size, int extend, void volatile** out) {
    return real(f)->pMethods->xShmMap(real(f), region, size, extend, out);
}
int xShmLock(sqlite3_file* f, int offset, int n, int flags) {
    // Only taking a lock can fail; releasing one must always succeed.
    if (flags & SQLITE_SHM_LOCK) {
        const int rc = plan.take(FaultOp::Lock);
        if (rc != SQLITE_OK) return rc;
    }
    return real(f)->pMethods->xShmLock(real(f), offset, n, flags);
}
void xShmBarrier(sqlite3_file* f) { real(f)->pMethods->xShmBarrier(real(f)); }
int xShmUnmap(sqlite3_file* f, int deleteFlag) { return real(f)->pMethods->xShmUnmap(real(f), deleteFlag); }
int xFetch(sqlite3_file* f, sqlite3_int64 offset, int amount, void** out) {
    return real(f)->pMethods->xFetch(real(f), offset, amount, out);
}
int xUnfetch(sqlite3_file* f, sqlite3_int64 offset, void* page) {
    return real(f)->pMethods->xUnfetch(real(f), offset, page);
}

int xOpen(sqlite3_vfs*, sqlite3_filename name, sqlite3_file* file, int flags, int* outFlags) {
    FaultFile* own = reinterpret_cast<FaultFile*>(file);
    own->real = reinterpret_cast<sqlite3_file*>(own + 1);
    const int rc = base->xOpen(base, name, own->real, flags, outFlags);
    own->file.pMethods = own->real->pMethods ? &methods : nullptr;
    return rc;
}

}  // namespace

const char* faultOpName(FaultOp op) {
    static const char* const names[] = {"read", "write", "sync", "truncate", "lock"};
    return names[static_cast<int>(op)];
}

FaultInjectingVfs::FaultInjectingVfs() {
    if (base) throw std::logic_error("one FaultInjectingVfs at a time");
    base = sqlite3_vfs_find(nullptr);
    if (!base || base->iVersion < 3) throw std::runtime_error("no default SQLite VFS to wrap");
    // Everything but opening a file is the base VFS's own.
    wrapper = *base;
    wrapper.szOsFile = static_cast<int>(sizeof(FaultFile)) + base->szOsFile;
    wrapper.zName = "kestrup-fault";
    wrapper.pNext = nullptr;
    wrapper.xOpen = xOpen;
    methods = sqlite3_io_methods{3,           xClose,   xRead,        xWrite,      xTruncate, xSync,
                                 xFileSize,   xLock,    xUnlock,      xCheckReservedLock,     xFileControl,
                                 xSectorSize, xDeviceCharacteristics, xShmMap,   xShmLock,  xShmBarrier,
                                 xShmUnmap,   xFetch,   xUnfetch};
    lift();
    if (sqlite3_vfs_register(&wrapper, 1) != SQLITE_OK) throw std::runtime_error("cannot register the VFS");
}

FaultInjectingVfs::~FaultInjectingVfs() {
    sqlite3_vfs_unregister(&wrapper);
    sqlite3_vfs_register(base, 1);
    base = nullptr;
}

void FaultInjectingVfs::arm(FaultOp op, int nth, int code, bool sticky) {
    plan.armedOp = -1;
    plan.reset();
    plan.nth = nth;
    plan.code = code;
    plan.sticky = sticky;
    plan.armedOp = static_cast<int>(op);
}

void FaultInjectingVfs::lift() {
    plan.armedOp = -1;
    plan.reset();
}

int FaultInjectingVfs::count(FaultOp op) const { return plan.counts[static_cast<int>(op)]; }
int FaultInjectingVfs::failures() const { return plan.failures; }

}  // namespace storetest
