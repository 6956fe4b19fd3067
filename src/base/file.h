// Files by wide name. The system holds file names as UTF-16; this layer turns them
// into what the platform takes: on POSIX the name's bytes (names that were not valid
// UTF-8 on the command line come back as the very same bytes, carried through the wide
// form as U+DC80..U+DCFF), on Windows the wide name itself. One backend per platform:
// file_posix.cpp, file_win32.cpp.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace keldrin::fs {

// Command-line argument or directory entry (platform bytes) to the wide form, and back.
std::u16string fromNativeName(std::string_view bytes);
std::string toNativeName(std::u16string_view name);

// An open stream that closes itself.
struct FileCloser {
    void operator()(std::FILE* file) const {
        if (file != nullptr) std::fclose(file);
    }
};
using FileHandle = std::unique_ptr<std::FILE, FileCloser>;

// fopen by wide name ("rb", "rb+", "w+b", ...); nullptr on failure.
std::FILE* openFile(const std::u16string& path, const char* mode);

// Creates `path`, which must not exist yet, and opens it read-write ("w+b");
// nullptr when it exists or cannot be created; `nameTaken`, when given, tells the two
// apart.
std::FILE* createExclusive(const std::u16string& path, bool* nameTaken = nullptr);

// Creates a new, empty file under the first of nameFor(0), nameFor(1), ... (at most
// `attempts` names) that no file has yet, and returns that name. "" when every name was
// taken or creating failed for any other reason (a missing directory, no permission),
// which no further name would mend. A name is passed over only when its own creation
// found it taken: asking afterwards would race with a concurrent owner moving it away.
std::u16string createUniqueFile(const std::function<std::u16string(int)>& nameFor, int attempts);

// Opens `path` read-write ("r+b"), creating it empty when it does not exist; unlike
// "w+b" it never cuts an existing file short, so the caller can lock it first.
std::FILE* openOrCreate(const std::u16string& path);

bool removeFile(const std::u16string& path);
bool fileExists(const std::u16string& path);

// Puts `from` in the place of `to` in one atomic step, replacing an existing `to`.
bool replaceFile(const std::u16string& from, const std::u16string& to);

// Gives `replacement`, a new file about to take the place of `original`, what
// `original` keeps about who may use it: on POSIX its permission bits, and its owner
// and group as far as the process may set them (in a group it could not keep, the file
// gets no group rights); on Windows its attributes but read-only. A missing `original`
// leaves nothing to keep (true), so a new file keeps the default of its creation. False
// when the attributes could not be given.
bool keepAttributes(const std::u16string& original, const std::u16string& replacement);

// Whether replaceFile can put a file in the place of one this process holds open. On
// POSIX it can; on Windows an open handle keeps its name, so a holder must let go first.
bool canReplaceOpenFile();

// Plain rename that fails if `to` exists.
bool renameNoReplace(const std::u16string& from, const std::u16string& to);

// Flushes the stream and asks the system to put its data on disk.
bool syncFile(std::FILE* file);

// An existing file that marks itself as not to be replaced: the read-only attribute on
// Windows; on POSIX permission bits that grant write permission to nobody.
bool isWriteProtected(const std::u16string& path);

// True when both names lead to the same existing file.
bool sameFile(const std::u16string& a, const std::u16string& b);

// Size of an open file in bytes, -1 on failure.
std::int64_t fileSize(std::FILE* file);

// Sets the length of an open file (its stream must be flushed first).
bool truncateFile(std::FILE* file, std::int64_t length);

// Reads exactly `length` bytes at `offset` without moving the stream's position or
// using its buffer (the stream must hold no unwritten data). False on a short read.
bool readFileAt(std::FILE* file, void* buffer, std::size_t length, std::int64_t offset);

// Writes all `length` bytes at `offset`, as readFileAt reads: no stream position, no
// stream buffer. False when the system took fewer (a full disk, a file size limit).
bool writeFileAt(std::FILE* file, const void* buffer, std::size_t length, std::int64_t offset);

// One piece of a gathered write: `size` bytes at `data`.
struct WritePiece {
    const void* data;
    std::size_t size;
};

// Writes the pieces one after another from `offset`, as writeFileAt writes one buffer:
// on POSIX as few system calls as the pieces allow (pwritev), so that bytes go to the
// file from where they lie instead of through a buffer gathered first; elsewhere piece
// by piece. False when the system took fewer bytes than the pieces hold.
bool writeFileAtGathered(std::FILE* file, const WritePiece* pieces, std::size_t count,
                         std::int64_t offset);

// Whether the last write or sync on this thread failed because the disk (or the
// user's quota) is full: ENOSPC, EDQUOT, ERROR_DISK_FULL. A later one that succeeds
// clears it. Lets a caller say "no space left" where it would say "cannot write".
bool lastFailureWasDiskFull();
// The system's own words for a full disk ("No space left on device"), in UTF-8.
std::string diskFullText();

// One piece of a scattered read: room for `size` bytes at `data`.
struct ReadPiece {
    void* data;
    std::size_t size;
};

// Reads the pieces one after another from `offset`, as readFileAt reads one buffer: on
// POSIX in as few system calls as the pieces allow (preadv), so that bytes land where
// they are wanted instead of in a buffer to be copied from; elsewhere piece by piece.
// False on a short read.
bool readFileAtScattered(std::FILE* file, const ReadPiece* pieces, std::size_t count,
                         std::int64_t offset);

// Asks the system to start putting the file's written data on disk without waiting for
// it, so that a later syncFile waits for less. Only a hint: where the system has no
// such call it does nothing.
void startWriteback(std::FILE* file);

// Positioned access with 64-bit offsets.
bool seekTo(std::FILE* file, std::int64_t offset);

// Sets a file's modification time (seconds since 1970 UTC).
bool setModificationTime(const std::u16string& path, std::int64_t unixSeconds);

// Creates a directory; true when it exists afterwards.
bool makeDirectory(const std::u16string& path);
// Creates a directory and every missing directory above it, as `mkdir -p` does; true
// when it exists afterwards. Directories made before a failure stay.
bool makeDirectories(const std::u16string& path);
// Creates a directory that did not exist: false when the name is taken, so a caller can
// pick a temporary name no other run holds.
bool makeNewDirectory(const std::u16string& path);
// Removes a directory and everything below it. Symbolic links (reparse points) are
// removed as links: nothing outside the directory is touched. False when anything stays.
bool removeDirectoryTree(const std::u16string& path);

// Copies a whole file byte for byte; false on any failure.
bool copyFile(const std::u16string& from, const std::u16string& to);

}  // namespace keldrin::fs
