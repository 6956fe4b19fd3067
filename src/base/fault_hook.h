// A seam in the file layer for crash tests, in the spirit of a test VFS: every
// operation that changes what is on disk asks the installed hook first, so a test can
// stop a change at its N-th write, sync, truncate, rename or removal, and can record
// what a power cut would lose. Nothing is installed in the programs; the cost when
// nothing is installed is one load and one branch per operation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace keldrin::fs {

enum class FaultOp {
    kWrite,     // writeFileAt, writeFileAtGathered
    kSync,      // syncFile, syncDirectory
    kTruncate,  // truncateFile
    kRename,    // replaceFile, renameNoReplace
    kRemove,    // removeFile
};

class FaultHook {
  public:
    virtual ~FaultHook() = default;
    // Called before the operation; false: the operation does not happen and reports
    // failure, as a process that died there would never have done it. `file` is the
    // stream for write, sync of a file and truncate (null otherwise); `offset` and
    // `length` describe a write or the new length of a truncate; `path` names the file
    // of a rename (its source), removal or directory sync.
    virtual bool before(FaultOp op, std::FILE* file, std::int64_t offset, std::size_t length,
                        const std::u16string& path) = 0;
    // False: syncs that the hook allows report success without waiting for the disk
    // (a crash test models what survives a power cut itself, and a real sync per
    // step would cost it minutes).
    virtual bool durable() const { return true; }
    // True: a refused write or sync fails as on a full disk, so a test can see what the
    // user is told then (lastFailureWasDiskFull).
    virtual bool diskFull() const { return false; }
};

// Installs `hook` (null: none) and returns the one it replaces. Not thread-safe: crash
// tests install it before the code under test runs.
FaultHook* installFaultHook(FaultHook* hook);

namespace detail {
extern FaultHook* faultHook;
inline bool faultAllows(FaultOp op, std::FILE* file, std::int64_t offset, std::size_t length,
                        const std::u16string& path = {}) {
    return faultHook == nullptr || faultHook->before(op, file, offset, length, path);
}
// Records why the write or sync that just ran failed (`diskFull`), or that it did not
// (`ok`), for lastFailureWasDiskFull; returns `ok`.
bool noteOutcome(bool ok, bool diskFull);
// A write or sync the hook refused: fails, as a full disk when the hook says so.
inline bool refused() {
    return noteOutcome(false, faultHook != nullptr && faultHook->diskFull());
}
// Whether an allowed sync must really happen.
inline bool syncsReachDisk() {
    return faultHook == nullptr || faultHook->durable();
}
}  // namespace detail

}  // namespace keldrin::fs
