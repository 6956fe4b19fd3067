// Helpers shared by the report-container tests: a scratch directory, whole-file access
// and the fixture paths.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "base/bytes.h"
#include "base/file.h"
#include "base/text.h"
#include "support/win32_posix_compat.h"

namespace keldrin::testing_psr {

inline std::u16string wide(const std::string& utf8) {
    return utf8ToUtf16(utf8);
}

inline std::string fixturePath(const std::string& name) {
    return std::string(KELDRIN_FIXTURES_DIR) + "/psr/" + name;
}

inline std::string examplePath() {
    return std::string(KELDRIN_SOURCE_DIR) + "/examples/example.psr";
}

inline Bytes readFile(const std::string& path) {
    Bytes bytes;
    std::FILE* file = fs::openFile(wide(path), "rb");
    if (file == nullptr) return bytes;
    std::uint8_t buffer[8192];
    std::size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        bytes.insert(bytes.end(), buffer, buffer + got);
    std::fclose(file);
    return bytes;
}

inline void writeFile(const std::string& path, const Bytes& bytes) {
    std::FILE* file = fs::openFile(wide(path), "wb");
    ASSERT_NE(file, nullptr) << path;
    if (!bytes.empty()) {
        ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), file), bytes.size());
    }
    std::fclose(file);
}

// The bytes mkole writes for a generated stream of `size` bytes.
inline Bytes patternBytes(std::size_t size) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<std::uint8_t>(i % 251);
    return bytes;
}

// The streams of streams.cfb and sector4096.cfb (scripts/make-fixtures.sh), every one
// they hold as python3-olefile lists them (scripts/check-fixtures.py).
struct GeneratedStream {
    const char16_t* path;
    std::size_t size;
};
inline constexpr GeneratedStream kGeneratedStreams[] = {
    {u"empty", 0},
    {u"s2048", 2048},
    {u"s4096", 4096},
    {u"s5000", 5000},
    {u"small", 100},
    {u"large", 70000},
    {u"outer/mid", 5000},
    {u"outer/inner/deep", 300},
    {u"outer/inner/big", 9000},
    {u"Source", 7},
};

inline Bytes asciiBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

// A directory removed with its files when the test ends.
class ScratchDir {
  public:
    ScratchDir() {
        char pattern[] = "/tmp/keldrin-psr-XXXXXX";
        const char* made = mkdtemp(pattern);
        path_ = made ? made : "";
    }
    ~ScratchDir() {
        std::error_code ignored;
        if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    std::string file(const std::string& name) const { return path_ + "/" + name; }

  private:
    std::string path_;
};

}  // namespace keldrin::testing_psr
