// POSIX backend of the file locks: flock(2).
//
// Why flock and not fcntl: classic fcntl record locks belong to the process and vanish
// when the process closes ANY descriptor of the file, and this program does open the
// library a second time while it holds it (to copy it into LIB.bak, to check which file
// a name leads to), so they would drop silently. Open-file-description fcntl locks
// (F_OFD_SETLK) fix that but exist only on Linux. flock locks belong to the open file
// description on Linux, the BSDs and macOS alike, and a shared lock needs no write
// access, so a reader can lock a file it may only read. Processes that share the file
// through NFS see flock as a whole-file fcntl lock (Linux emulates it there), which
// still excludes other clients.
#include <errno.h>
#include <sys/file.h>

#include "base/file_lock.h"
#include "base/file_lock_common.h"

namespace keldrin::fs {

LockResult lockFile(std::FILE* file, bool exclusive, int waitMilliseconds) {
    if (file == nullptr) return LockResult::kFailed;
    const int fd = ::fileno(file);
    const int operation = (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB;
    return detail::retryLock(waitMilliseconds, [&] {
        for (;;) {
            if (::flock(fd, operation) == 0) return LockResult::kLocked;
            if (errno == EINTR) continue;
            return errno == EWOULDBLOCK ? LockResult::kBusy : LockResult::kFailed;
        }
    });
}

}  // namespace keldrin::fs
