// A new file that takes the place of a target in one atomic rename, the one way this
// system replaces a file: the new content is written in full under a temporary name
// beside the target (so the rename stays inside one file system), put on disk as far
// as the caller asks, given what the target keeps about who may use it, and renamed
// over it. Until the rename the target is as it was; a file that is not committed is
// removed when its owner lets go of it, and by the interrupt layer when the user stops
// the process, so no temporary outlives its command.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "base/interrupt.h"

namespace keldrin::fs {

// How much of a commit must be on disk when it returns.
enum class Durability {
    kNone,      // nothing waited for: output that is cheap to make again
    kFileData,  // the content before the rename; the caller syncs the directory once for many
    kFull,      // the content before the rename and the directory's names after it
};

// Whether a commit may replace a file that already stands at the target's name.
enum class Replace { kYes, kNo };

enum class CommitResult {
    kDone,
    kTargetExists,  // Replace::kNo and the name was taken: nothing changed
    kFailed,        // nothing changed; the temporary is still ours to discard
    kNotDurable,    // in place, but the directory's names could not be put on disk
};

// Leftovers of crashed runs and concurrent runs share the directory; beyond this many
// names taken the directory is in a state not to guess about.
inline constexpr int kTemporaryNameAttempts = 1000;

class ReplacementFile {
  public:
    ReplacementFile() = default;
    ~ReplacementFile() { discard(); }
    ReplacementFile(const ReplacementFile&) = delete;
    ReplacementFile& operator=(const ReplacementFile&) = delete;

    // Creates the temporary for `target` under the first of nameFor(0), nameFor(1), ...
    // that no file has, open for writing and watched from the moment it exists. False
    // when none could be made (every name taken, no permission, no such directory).
    bool create(const std::u16string& target, const std::function<std::u16string(int)>& nameFor,
                int attempts = kTemporaryNameAttempts);
    // The same under "<target>.<tag><n>.tmp".
    bool create(const std::u16string& target, std::u16string_view tag);

    const std::u16string& path() const { return path_; }
    const std::u16string& target() const { return target_; }

    // Appends `length` bytes through the descriptor the file was created with. False
    // when the system took fewer.
    bool write(const void* data, std::size_t length);

    // Closes the descriptor, so that code which writes by name (a library) can open the
    // file; a commit then reopens it for the sync.
    bool letGo();

    // Where the new file takes its owner, group and mode from: the target, unless the
    // file stands in for another one (a backup of a library keeps the library's).
    void keepAttributesOf(std::u16string original) { attributesOf_ = std::move(original); }

    // Puts the file at the target's name. Only kDone and kNotDurable leave the file in
    // place; after the others it is still the temporary, removed on destruction.
    CommitResult commit(Replace replace, Durability durability);

    // Removes the temporary unless it was committed. Safe to call more than once.
    void discard();

  private:
    bool closeStream();

    std::u16string target_;
    std::u16string path_;
    std::u16string attributesOf_;
    std::FILE* stream_ = nullptr;
    std::int64_t written_ = 0;
    interrupt::WatchedFile watched_;
};

}  // namespace keldrin::fs
