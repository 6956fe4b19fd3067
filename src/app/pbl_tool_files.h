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

// Writes and syncs the whole file, or ToolFailure.
void writeWholeFile(const std::u16string& path, std::span<const std::uint8_t> bytes);
std::optional<std::vector<std::uint8_t>> readWholeFile(const std::u16string& path);

// ToolFailure naming the directory `path` would be made in, when it does not exist.
void requireDirectoryOf(const std::u16string& path);

}  // namespace keldrin::tool
