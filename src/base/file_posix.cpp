// POSIX backend of the wide-name file layer. Names are bytes; every call turns the wide
// name back into the very bytes it came from (file_common.cpp).
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <unistd.h>

#include "base/codepage.h"
#include "base/fault_hook.h"
#include "base/file.h"
#include "base/text.h"

namespace keldrin::fs {

std::FILE* openFile(const std::u16string& path, const char* mode) {
    return std::fopen(toNativeName(path).c_str(), mode);
}

std::FILE* createExclusive(const std::u16string& path, bool* nameTaken) {
    const std::string native = toNativeName(path);
    int fd = ::open(native.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (nameTaken != nullptr) *nameTaken = fd < 0 && errno == EEXIST;
    if (fd < 0) return nullptr;
    std::FILE* file = ::fdopen(fd, "w+b");
    if (file == nullptr) {
        ::close(fd);
        ::unlink(native.c_str());  // ours, just made: leave no empty file behind
    }
    return file;
}

std::FILE* openOrCreate(const std::u16string& path) {
    int fd = ::open(toNativeName(path).c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return nullptr;
    std::FILE* file = ::fdopen(fd, "r+b");
    if (file == nullptr) ::close(fd);
    return file;
}

bool removeFile(const std::u16string& path) {
    if (!detail::faultAllows(FaultOp::kRemove, nullptr, 0, 0, path)) return false;
    return ::unlink(toNativeName(path).c_str()) == 0;
}

bool fileExists(const std::u16string& path) {
    struct stat st {};
    return ::stat(toNativeName(path).c_str(), &st) == 0;
}

bool replaceFile(const std::u16string& from, const std::u16string& to) {
    if (!detail::faultAllows(FaultOp::kRename, nullptr, 0, 0, from)) return false;
    return ::rename(toNativeName(from).c_str(), toNativeName(to).c_str()) == 0;
}

bool keepAttributes(const std::u16string& original, const std::u16string& replacement) {
    struct stat kept {};
    if (::stat(toNativeName(original).c_str(), &kept) != 0) return errno == ENOENT;
    int fd = ::open(toNativeName(replacement).c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    // Owner first: a change of owner may clear set-id bits that the mode then restores.
    // Only a privileged process may give a file away; others may still set a group they
    // belong to.
    struct stat made {};
    bool ok = ::fstat(fd, &made) == 0;
    bool sameGroup = ok && made.st_gid == kept.st_gid;
    if (ok && (made.st_uid != kept.st_uid || !sameGroup)) {
        if (::fchown(fd, kept.st_uid, kept.st_gid) == 0) {
            sameGroup = true;
        } else if (errno != EPERM) {
            ok = false;
        } else if (!sameGroup) {
            if (::fchown(fd, static_cast<uid_t>(-1), kept.st_gid) == 0)
                sameGroup = true;
            else
                ok = errno == EPERM;
        }
    }
    // The group's rights were granted to the original's group; a file left in another
    // group does not pass them on to it.
    mode_t mode = kept.st_mode & 07777;
    if (!sameGroup) mode &= ~static_cast<mode_t>(S_IRWXG | S_ISGID);
    if (ok && ::fchmod(fd, mode) != 0) ok = false;
    if (::close(fd) != 0) ok = false;
    return ok;
}

bool canReplaceOpenFile() {
    return true;
}

bool renameNoReplace(const std::u16string& from, const std::u16string& to) {
    if (!detail::faultAllows(FaultOp::kRename, nullptr, 0, 0, from)) return false;
    std::string source = toNativeName(from);
    std::string target = toNativeName(to);
    // link + unlink fails with EEXIST instead of replacing; filesystems without hard
    // links fall back to a checked rename.
    if (::link(source.c_str(), target.c_str()) == 0) {
        ::unlink(source.c_str());
        return true;
    }
    if (errno == EEXIST) return false;
    struct stat st {};
    if (::lstat(target.c_str(), &st) == 0) return false;
    return ::rename(source.c_str(), target.c_str()) == 0;
}

namespace {
bool diskFullError() {
    return errno == ENOSPC || errno == EDQUOT;
}
}  // namespace

std::string diskFullText() {
    return utf16ToUtf8(platform::lastErrorTextFor(ENOSPC));
}

bool syncFile(std::FILE* file) {
    if (!detail::faultAllows(FaultOp::kSync, file, 0, 0)) return detail::refused();
    // Buffered data meets a full disk at the flush, delayed allocation at the fsync.
    const bool ok =
        std::fflush(file) == 0 && (!detail::syncsReachDisk() || ::fsync(::fileno(file)) == 0);
    return detail::noteOutcome(ok, !ok && diskFullError());
}

bool isWriteProtected(const std::u16string& path) {
    struct stat st {};
    if (::stat(toNativeName(path).c_str(), &st) != 0) return false;
    return (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) == 0;
}

bool sameFile(const std::u16string& a, const std::u16string& b) {
    struct stat sa {};
    struct stat sb {};
    if (::stat(toNativeName(a).c_str(), &sa) != 0 || ::stat(toNativeName(b).c_str(), &sb) != 0)
        return false;
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}

std::int64_t fileSize(std::FILE* file) {
    struct stat st {};
    if (std::fflush(file) != 0 && errno != EBADF) return -1;
    if (::fstat(::fileno(file), &st) != 0) return -1;
    return static_cast<std::int64_t>(st.st_size);
}

bool truncateFile(std::FILE* file, std::int64_t length) {
    if (!detail::faultAllows(FaultOp::kTruncate, file, length, 0)) return false;
    return ::ftruncate(::fileno(file), static_cast<off_t>(length)) == 0;
}

namespace {

// Moves all `length` bytes at `offset` with pread or pwrite, which may each move fewer
// bytes than asked and may be interrupted.
template <typename Byte, typename Transfer>
bool transferAt(std::FILE* file, Byte* bytes, std::size_t length, std::int64_t offset,
                Transfer transfer) {
    int fd = ::fileno(file);
    while (length > 0) {
        ssize_t n = transfer(fd, bytes, length, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        bytes += n;
        length -= static_cast<std::size_t>(n);
        offset += n;
    }
    return true;
}

}  // namespace

bool readFileAt(std::FILE* file, void* buffer, std::size_t length, std::int64_t offset) {
    return transferAt(file, static_cast<char*>(buffer), length, offset, ::pread);
}

bool writeFileAt(std::FILE* file, const void* buffer, std::size_t length, std::int64_t offset) {
    if (!detail::faultAllows(FaultOp::kWrite, file, offset, length)) return detail::refused();
    errno = 0;
    const bool ok = transferAt(file, static_cast<const char*>(buffer), length, offset, ::pwrite);
    return detail::noteOutcome(ok, !ok && diskFullError());
}

bool readFileAtScattered(std::FILE* file, const ReadPiece* pieces, std::size_t count,
                         std::int64_t offset) {
    // As writeFileAtGathered: at most IOV_MAX pieces a call, and a call that stops inside
    // a piece is followed by one that starts there.
    constexpr std::size_t kMaxPieces = 1024;
    iovec vectors[kMaxPieces];
    const int fd = ::fileno(file);
    std::size_t next = 0;
    std::size_t skipped = 0;
    while (next < count) {
        std::size_t n = 0;
        std::size_t asked = 0;
        for (std::size_t i = next; i < count && n < kMaxPieces; ++i, ++n) {
            const std::size_t from = i == next ? skipped : 0;
            vectors[n].iov_base = static_cast<char*>(pieces[i].data) + from;
            vectors[n].iov_len = pieces[i].size - from;
            asked += vectors[n].iov_len;
        }
        if (asked == 0) break;
        ssize_t got = ::preadv(fd, vectors, static_cast<int>(n), static_cast<off_t>(offset));
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return false;
        offset += got;
        auto moved = static_cast<std::size_t>(got);
        while (next < count && moved >= pieces[next].size - skipped) {
            moved -= pieces[next].size - skipped;
            skipped = 0;
            ++next;
        }
        skipped += moved;
    }
    return true;
}

bool writeFileAtGathered(std::FILE* file, const WritePiece* pieces, std::size_t count,
                         std::int64_t offset) {
    // At most IOV_MAX pieces go to one call; a call may take fewer bytes than asked and
    // end inside a piece, and the next one starts there.
    constexpr std::size_t kMaxPieces = 1024;
    if (detail::faultHook != nullptr) {
        std::size_t total = 0;
        for (std::size_t i = 0; i < count; ++i) total += pieces[i].size;
        if (!detail::faultAllows(FaultOp::kWrite, file, offset, total)) return detail::refused();
    }
    iovec vectors[kMaxPieces];
    const int fd = ::fileno(file);
    std::size_t next = 0;     // first piece not yet written whole
    std::size_t skipped = 0;  // bytes of it already written
    while (next < count) {
        std::size_t n = 0;
        for (std::size_t i = next; i < count && n < kMaxPieces; ++i, ++n) {
            const std::size_t from = i == next ? skipped : 0;
            vectors[n].iov_base =
                const_cast<char*>(static_cast<const char*>(pieces[i].data)) + from;
            vectors[n].iov_len = pieces[i].size - from;
        }
        ssize_t written = ::pwritev(fd, vectors, static_cast<int>(n), static_cast<off_t>(offset));
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) {
            // Nothing left to write in the remaining pieces is not a failure.
            std::size_t left = 0;
            for (std::size_t i = 0; i < n; ++i) left += vectors[i].iov_len;
            return detail::noteOutcome(left == 0, left != 0 && written < 0 && diskFullError());
        }
        offset += written;
        auto moved = static_cast<std::size_t>(written);
        while (next < count && moved >= pieces[next].size - skipped) {
            moved -= pieces[next].size - skipped;
            skipped = 0;
            ++next;
        }
        skipped += moved;
    }
    return detail::noteOutcome(true, false);
}

void startWriteback(std::FILE* file) {
#if defined(__linux__)
    // Writeback of the whole file so far; the pages written meanwhile follow later.
    (void)::sync_file_range(::fileno(file), 0, 0, SYNC_FILE_RANGE_WRITE);
#else
    (void)file;
#endif
}

bool seekTo(std::FILE* file, std::int64_t offset) {
    return ::fseeko(file, static_cast<off_t>(offset), SEEK_SET) == 0;
}

bool setModificationTime(const std::u16string& path, std::int64_t unixSeconds) {
    struct timeval times[2];
    times[0].tv_sec = static_cast<time_t>(unixSeconds);
    times[0].tv_usec = 0;
    times[1] = times[0];
    return ::utimes(toNativeName(path).c_str(), times) == 0;
}

bool makeDirectory(const std::u16string& path) {
    std::string native = toNativeName(path);
    if (::mkdir(native.c_str(), 0777) == 0) return true;
    struct stat st {};
    return errno == EEXIST && ::stat(native.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool makeNewDirectory(const std::u16string& path) {
    return ::mkdir(toNativeName(path).c_str(), 0777) == 0;
}

namespace {

// Removes the entries of the open directory `fd` (the caller removes it). Depth is that
// of the tree on disk, which this process wrote or the user made.
bool removeEntriesAt(int fd) {
    DIR* dir = ::fdopendir(fd);
    if (dir == nullptr) {
        ::close(fd);
        return false;
    }
    bool ok = true;
    std::vector<std::string> names;
    while (const dirent* e = ::readdir(dir)) {
        const std::string name = e->d_name;
        if (name != "." && name != "..") names.push_back(name);
    }
    for (const std::string& name : names) {
        struct stat st {};
        if (::fstatat(::dirfd(dir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            ok = false;
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            const int child = ::openat(::dirfd(dir), name.c_str(),
                                       O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
            if (child < 0 || !removeEntriesAt(child)) ok = false;
            if (::unlinkat(::dirfd(dir), name.c_str(), AT_REMOVEDIR) != 0) ok = false;
        } else if (::unlinkat(::dirfd(dir), name.c_str(), 0) != 0) {
            ok = false;
        }
    }
    ::closedir(dir);
    return ok;
}

}  // namespace

bool removeDirectoryTree(const std::u16string& path) {
    const std::string native = toNativeName(path);
    const int fd = ::open(native.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = removeEntriesAt(fd);
    return ::rmdir(native.c_str()) == 0 && ok;
}

}  // namespace keldrin::fs
