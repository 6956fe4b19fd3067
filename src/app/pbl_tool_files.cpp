#include "app/pbl_tool_files.h"

#include <cstdio>
#include <utility>

#include "app/pbl_tool_text.h"
#include "base/directory.h"
#include "base/file.h"
#include "base/text.h"

namespace keldrin::tool {

TemporaryFile::TemporaryFile(std::u16string path) : path_(std::move(path)) {
    watched_.watch(path_);
}

TemporaryFile::~TemporaryFile() {
    if (!path_.empty()) watched_.remove();
}

void TemporaryFile::keep() {
    watched_.forget();
    path_.clear();
}

TemporaryFile reserveTemporary(const std::u16string& target, std::u16string_view tag) {
    interrupt::HoldOff hold;
    std::u16string name = fs::createUniqueFile(
        [&](int n) {
            return target + u"." + std::u16string(tag) + utf8ToUtf16(std::to_string(n)) + u".tmp";
        },
        1000);
    if (name.empty())
        throw ToolFailure{displayPath(target) + ": cannot create a temporary file beside it"};
    return TemporaryFile(std::move(name));
}

void writeWholeFile(const std::u16string& path, std::span<const std::uint8_t> bytes, Sync sync) {
    std::FILE* file = fs::openFile(path, "wb");
    if (file == nullptr) throw ToolFailure{displayPath(path) + ": cannot write the file"};
    bool ok = bytes.empty() || std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (sync == Sync::kYes) ok = fs::syncFile(file) && ok;
    ok = std::fclose(file) == 0 && ok;
    if (!ok) throw ToolFailure{displayPath(path) + ": cannot write the file"};
}

namespace {

// Reads all of `file` into `bytes`; false when more than `limit` bytes come.
bool readAll(std::FILE* file, std::vector<std::uint8_t>& bytes, std::size_t limit) {
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

std::vector<std::uint8_t> readBoundedFile(const std::u16string& path, std::size_t limit) {
    std::FILE* file = fs::openFile(path, "rb");
    if (file == nullptr) throw ToolFailure{displayPath(path) + ": cannot open the file"};
    std::vector<std::uint8_t> bytes;
    const bool fits = readAll(file, bytes, limit);
    const bool ok = std::ferror(file) == 0;
    std::fclose(file);
    if (!fits)
        throw ToolFailure{displayPath(path) + ": longer than " + std::to_string(limit) + " bytes"};
    if (!ok) throw ToolFailure{displayPath(path) + ": cannot read the file"};
    return bytes;
}

void syncFiles(const std::vector<std::u16string>& paths, const std::u16string& directory) {
    for (const std::u16string& path : paths) {
        std::FILE* file = fs::openFile(path, "rb+");
        bool ok = file != nullptr && fs::syncFile(file);
        if (file != nullptr) ok = std::fclose(file) == 0 && ok;
        if (!ok) throw ToolFailure{displayPath(path) + ": cannot put the file on disk"};
    }
    if (!fs::syncDirectory(directory))
        throw ToolFailure{displayPath(directory) + ": cannot put the directory on disk"};
}

namespace {

// The directory a file would be made in.
std::u16string parentDirectory(const std::u16string& path) {
#if defined(_WIN32)
    std::size_t end = path.find_last_of(u"/\\:");
#else
    std::size_t end = path.rfind(u'/');
#endif
    if (end == std::u16string::npos) return u".";
    return end == 0 ? path.substr(0, 1) : path.substr(0, end);
}

}  // namespace

void requireDirectoryOf(const std::u16string& path) {
    std::u16string directory = parentDirectory(path);
    if (!fs::fileExists(directory))
        throw ToolFailure{displayPath(path) + ": the directory " + displayPath(directory) +
                          " does not exist"};
}

}  // namespace keldrin::tool
