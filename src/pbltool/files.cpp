#include "pbltool/files.h"

#include <cstdio>

#include "base/directory.h"
#include "base/file.h"
#include "base/path.h"
#include "base/text.h"
#include "pbltool/text.h"

namespace keldrin::tool {

void createReplacement(fs::ReplacementFile& file, const std::u16string& target,
                       std::u16string_view tag) {
    if (!file.create(target, tag))
        throw ToolFailure{displayPath(target) + ": cannot create a temporary file beside it"};
}

void writeReplacement(fs::ReplacementFile& file, std::span<const std::uint8_t> bytes) {
    if (!file.write(bytes.data(), bytes.size()))
        throw ToolFailure{displayPath(file.target()) + ": " +
                          writeFailureText("cannot write the file")};
}

bool commitReplacement(fs::ReplacementFile& file, fs::Replace replace, fs::Durability durability,
                       const std::string& failure) {
    switch (file.commit(replace, durability)) {
        case fs::CommitResult::kDone:
            return true;
        case fs::CommitResult::kTargetExists:
            return false;
        case fs::CommitResult::kNotDurable:
            throw ToolFailure{displayPath(file.target()) +
                              ": written, but its directory cannot be put on disk"};
        case fs::CommitResult::kFailed:
            break;
    }
    throw ToolFailure{displayPath(file.target()) + ": " + writeFailureText(failure)};
}

namespace {

// Reads all of `file` into `bytes`; false when more than `limit` bytes come.
// The buffer is sized to the file as it stands when opened (within `limit`), so a
// large file is not copied from buffer to doubled buffer; one that grows meanwhile
// still reads whole.
bool readAll(std::FILE* file, std::vector<std::uint8_t>& bytes, std::size_t limit) {
    const std::int64_t size = fs::fileSize(file);
    if (size > 0 && static_cast<std::uint64_t>(size) <= limit)
        bytes.reserve(static_cast<std::size_t>(size) + 1);
    std::uint8_t chunk[65536];
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        if (n > limit - bytes.size()) return false;
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    return true;
}

}  // namespace

std::optional<std::vector<std::uint8_t>> readWholeFile(const std::u16string& path) {
    std::FILE* file = fs::openFile(path, "rb");
    if (file == nullptr) return std::nullopt;
    std::vector<std::uint8_t> bytes;
    readAll(file, bytes, bytes.max_size());
    bool ok = std::ferror(file) == 0;
    std::fclose(file);
    if (!ok) return std::nullopt;
    return bytes;
}

void syncDirectoryNames(const std::u16string& directory) {
    if (!fs::syncDirectory(directory))
        throw ToolFailure{displayPath(directory) + ": cannot put the directory on disk"};
}

std::u16string withoutTrailingSeparators(std::u16string path) {
    while (path.size() > 1 && path::detail::isSeparator(path.back()) &&
           path.size() > path::detail::rootLength(path))
        path.pop_back();
    return path;
}

TemporaryDirectory::TemporaryDirectory(const std::u16string& target, std::u16string_view tag) {
    for (int n = 0; n < fs::kTemporaryNameAttempts; ++n) {
        std::u16string name =
            target + u"." + std::u16string(tag) + utf8ToUtf16(std::to_string(n)) + u".tmp";
        // Made and watched in one step, so no interrupt leaves it behind unwatched.
        interrupt::HoldOff hold;
        if (fs::makeNewDirectory(name)) {
            path_ = std::move(name);
            watched_.watch(path_);
            return;
        }
        if (!fs::fileExists(name)) break;
    }
    throw ToolFailure{displayPath(target) + ": cannot create a directory beside it"};
}

TemporaryDirectory::~TemporaryDirectory() {
    if (!path_.empty()) removeNow();
}

void TemporaryDirectory::removeNow() {
    interrupt::HoldOff hold;
    fs::removeDirectoryTree(path_);
}

void TemporaryDirectory::release() {
    watched_.forget();
    path_.clear();
}

void writeNewFile(const std::u16string& path, std::span<const std::uint8_t> bytes,
                  fs::Durability durability, std::optional<std::int64_t> time) {
    fs::FileHandle file(fs::createExclusive(path));
    if (!file) throw ToolFailure{displayPath(path) + ": cannot create the file"};
    if (!fs::writeFileAt(file.get(), bytes.data(), bytes.size(), 0) ||
        (durability != fs::Durability::kNone && !fs::syncFile(file.get())))
        throw ToolFailure{displayPath(path) + ": " + writeFailureText("cannot write the file")};
    // The time is set by name, which a file still open for writing may refuse.
    if (std::fclose(file.release()) != 0)
        throw ToolFailure{displayPath(path) + ": " + writeFailureText("cannot write the file")};
    if (time && !fs::setModificationTime(path, *time))
        throw ToolFailure{displayPath(path) + ": cannot set the modification time"};
}

void requireDirectoryOf(const std::u16string& path) {
    std::u16string directory = path::parent(path);
    if (!fs::fileExists(directory))
        throw ToolFailure{displayPath(path) + ": the directory " + displayPath(directory) +
                          " does not exist"};
}

}  // namespace keldrin::tool
