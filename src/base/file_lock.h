// Whole-file locks between processes, so that two programs never change one library at
// the same time and a reader never sees a change half made. One backend per platform:
// file_lock_posix.cpp, file_lock_win32.cpp.
//
// The lock belongs to the open stream, not to the process or the name: it lasts until
// the stream is closed, and another stream of the same process on the same file (a
// second reader, a copy being made of it) neither takes it over nor drops it.
#pragma once

#include <cstdio>

namespace keldrin::fs {

enum class LockResult {
    kLocked,  // the stream holds the lock
    kBusy,    // another holder kept it for the whole wait
    kFailed,  // the system refused the lock for another reason
};

// Takes a shared (readers) or exclusive (writers) lock on the file behind `file`,
// waiting at most `waitMilliseconds` (0: fail at once) for other holders to let go.
LockResult lockFile(std::FILE* file, bool exclusive, int waitMilliseconds);

}  // namespace keldrin::fs
