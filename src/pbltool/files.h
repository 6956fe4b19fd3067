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
#include "base/replacement_file.h"

namespace keldrin::tool {

// Makes `file` the temporary that will take `target`'s place, named after `tag`, or
// ToolFailure naming the target.
void createReplacement(fs::ReplacementFile& file, const std::u16string& target,
                       std::u16string_view tag);
// Writes all of `bytes` to `file`, or ToolFailure naming its target.
void writeReplacement(fs::ReplacementFile& file, std::span<const std::uint8_t> bytes);
// Puts `file` in its target's place. False when Replace::kNo found the name taken
// (nothing changed); ToolFailure "<target>: <failure>" when nothing changed for any
// other reason, or one that says so when the file is in place but the directory could
// not be put on disk.
bool commitReplacement(fs::ReplacementFile& file, fs::Replace replace, fs::Durability durability,
                       const std::string& failure);

std::optional<std::vector<std::uint8_t>> readWholeFile(const std::u16string& path);
// Puts the directory's names on disk, after many files were committed into it.
void syncDirectoryNames(const std::u16string& directory);

// ToolFailure naming the directory `path` would be made in, when it does not exist.
void requireDirectoryOf(const std::u16string& path);

// `path` without the separators at its end ("out/" is "out"), but a root keeps its own.
std::u16string withoutTrailingSeparators(std::u16string path);

// A directory a command fills before it puts it in place with one rename: made beside
// its target under a name no other run holds, and removed with everything in it unless
// the command hands it on (release()), also when the user interrupts the run.
class TemporaryDirectory {
  public:
    // "<target>.<tag><n>.tmp", or ToolFailure naming the target.
    TemporaryDirectory(const std::u16string& target, std::u16string_view tag);
    ~TemporaryDirectory();
    TemporaryDirectory(const TemporaryDirectory&) = delete;
    TemporaryDirectory& operator=(const TemporaryDirectory&) = delete;
    const std::u16string& path() const { return path_; }
    // Removes it now; the name is then only reserved for a rename to take.
    void removeNow();
    void release();

  private:
    std::u16string path_;
    interrupt::WatchedFile watched_;
};

// Creates `path`, which must not exist, with `bytes` and, when given, the modification
// time `time` (its data on disk first when `durability` asks), or ToolFailure naming
// it. For a directory no one else can see yet: no temporary name, no rename.
void writeNewFile(const std::u16string& path, std::span<const std::uint8_t> bytes,
                  fs::Durability durability, std::optional<std::int64_t> time = std::nullopt);

}  // namespace keldrin::tool
