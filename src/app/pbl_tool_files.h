// Files that keldrin-pbl writes beside a target: a temporary name, then one atomic move,
// so a target is either what it was or complete.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/interrupt.h"

namespace keldrin::tool {

// Removes a temporary file unless it was moved into place, also when the user
// interrupts the program.
class TemporaryFile {
  public:
    explicit TemporaryFile(std::u16string path);
    ~TemporaryFile();
    TemporaryFile(const TemporaryFile&) = delete;
    TemporaryFile& operator=(const TemporaryFile&) = delete;
    const std::u16string& path() const { return path_; }
    // The file was moved into place: it is no longer ours to remove.
    void keep();

  private:
    std::u16string path_;
    interrupt::WatchedFile watched_;
};

// Creates a new, empty file with a name that did not exist, beside `target`. It is
// watched from the moment it exists, so an interrupt never leaves it behind.
TemporaryFile reserveTemporary(const std::u16string& target, std::u16string_view tag);

// Writes the whole file, or ToolFailure; syncs it unless told not to (many files written
// at once are synced together at the end, if at all: syncFiles).
enum class Sync { kYes, kNo };
void writeWholeFile(const std::u16string& path, std::span<const std::uint8_t> bytes,
                    Sync sync = Sync::kYes);
std::optional<std::vector<std::uint8_t>> readWholeFile(const std::u16string& path);
// The whole file, or ToolFailure naming it: it cannot be read, or it is longer than
// `limit` bytes (checked as it is read, so a huge file sizes no buffer).
std::vector<std::uint8_t> readBoundedFile(const std::u16string& path, std::size_t limit);
// Puts the files written without a sync, and the directory's names, on disk.
void syncFiles(const std::vector<std::u16string>& paths, const std::u16string& directory);

// ToolFailure naming the directory `path` would be made in, when it does not exist.
void requireDirectoryOf(const std::u16string& path);

}  // namespace keldrin::tool
