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

// Calls the real file's method; with `op`, first counts it and maybe fails instead.
template <class Method, class... Args>
int forward(sqlite3_file* f, Method method, Args... args) {
    return (real(f)->pMethods->*method)(real(f), args...);
}
template <class Method, class... Args>
int faulty(FaultOp op, sqlite3_file* f, Method method, Args... args) {
    const int rc = plan.take(op);
    return rc != SQLITE_OK ? rc : forward(f, method, args...);
}

typedef sqlite3_io_methods M;
int xClose(sqlite3_file* f) { return forward(f, &M::xClose); }
int xRead(sqlite3_file* f, void* b, int n, sqlite3_int64 at) { return faulty(FaultOp::Read, f, &M::xRead, b, n, at); }
int xWrite(sqlite3_file* f, const void* b, int n, sqlite3_int64 at) {
    return faulty(FaultOp::Write, f, &M::xWrite, b, n, at);
}
int xTruncate(sqlite3_file* f, sqlite3_int64 size) { return faulty(FaultOp::Truncate, f, &M::xTruncate, size); }
// Counted and failed like the rest, but never forwarded: the tests check what a
// failing sync does, not what survives a power cut, and a real flush to disk per
// commit would make walking every operation slow.
int xSync(sqlite3_file*, int) { return plan.take(FaultOp::Sync); }
int xFileSize(sqlite3_file* f, sqlite3_int64* size) { return forward(f, &M::xFileSize, size); }
int xLock(sqlite3_file* f, int level) { return faulty(FaultOp::Lock, f, &M::xLock, level); }
int xUnlock(sqlite3_file* f, int level) { return forward(f, &M::xUnlock, level); }
int xCheckReservedLock(sqlite3_file* f, int* out) { return forward(f, &M::xCheckReservedLock, out); }
int xFileControl(sqlite3_file* f, int op, void* arg) { return forward(f, &M::xFileControl, op, arg); }
int xSectorSize(sqlite3_file* f) { return forward(f, &M::xSectorSize); }
int xDeviceCharacteristics(sqlite3_file* f) { return forward(f, &M::xDeviceCharacteristics); }
int xShmMap(sqlite3_file* f, int region, int size, int extend, void volatile** out) {
    return forward(f, &M::xShmMap, region, size, extend, out);
}
// Only taking a lock can fail; releasing one must always succeed.
int xShmLock(sqlite3_file* f, int offset, int n, int flags) {
    return flags & SQLITE_SHM_LOCK ? faulty(FaultOp::Lock, f, &M::xShmLock, offset, n, flags)
                                   : forward(f, &M::xShmLock, offset, n, flags);
}
void xShmBarrier(sqlite3_file* f) { real(f)->pMethods->xShmBarrier(real(f)); }
int xShmUnmap(sqlite3_file* f, int deleteFlag) { return forward(f, &M::xShmUnmap, deleteFlag); }
int xFetch(sqlite3_file* f, sqlite3_int64 at, int n, void** out) { return forward(f, &M::xFetch, at, n, out); }
int xUnfetch(sqlite3_file* f, sqlite3_int64 at, void* page) { return forward(f, &M::xUnfetch, at, page); }

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
