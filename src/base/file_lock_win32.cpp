// Windows backend of the file locks: LockFileEx on one byte far beyond any library's
// end. Windows locks are mandatory for the range they cover (a shared lock forbids
// writes to it, even by its holder), so the range is one no read or write ever touches;
// the lock then only excludes other lockers. It belongs to the handle and goes with it.
#include <io.h>
#include <stdio.h>
#include <windows.h>

#include "base/file_lock.h"
#include "base/file_lock_common.h"

namespace keldrin::fs {

LockResult lockFile(std::FILE* file, bool exclusive, int waitMilliseconds) {
    if (file == nullptr) return LockResult::kFailed;
    auto handle = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(file)));
    if (handle == INVALID_HANDLE_VALUE) return LockResult::kFailed;
    DWORD flags = LOCKFILE_FAIL_IMMEDIATELY | (exclusive ? LOCKFILE_EXCLUSIVE_LOCK : 0);
    return detail::retryLock(waitMilliseconds, [&] {
        OVERLAPPED at{};
        at.Offset = 0;
        at.OffsetHigh = 0x7FFFFFFF;  // 2^62 and up: past any file the format can address
        if (LockFileEx(handle, flags, 0, 1, 0, &at)) return LockResult::kLocked;
        return GetLastError() == ERROR_LOCK_VIOLATION ? LockResult::kBusy : LockResult::kFailed;
    });
}

}  // namespace keldrin::fs
