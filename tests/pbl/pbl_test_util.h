// Helpers shared by the library tests: a scratch directory, file bytes, and short
// ways to make and open libraries.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "base/text.h"
#include "pbl/library.h"
#include "support/entry_list.h"
#include "support/pbl_checker.h"
#include "support/win32_posix_compat.h"

namespace keldrin::pbl::test {

using Bytes = std::vector<std::uint8_t>;

class ScratchDir {
  public:
    ScratchDir() {
        std::string tmpl = (std::filesystem::temp_directory_path() / "keldrin-pbl-XXXXXX").string();
        char* made = mkdtemp(tmpl.data());
        if (made != nullptr) path_ = made;
    }
    ~ScratchDir() {
        std::error_code ec;
        if (!path_.empty()) std::filesystem::remove_all(path_, ec);
    }
    std::string file(const std::string& name) const { return path_ + "/" + name; }
    std::u16string wide(const std::string& name) const { return utf8ToUtf16(file(name)); }

  private:
    std::string path_;
};

inline Bytes fileBytes(const std::string& path) {
    return keldrin::checks::readWholeFile(utf8ToUtf16(path));
}
inline void putFileBytes(const std::string& path, const Bytes& b) {
    ASSERT_TRUE(keldrin::checks::writeWholeFile(utf8ToUtf16(path), b));
}
inline std::string check(const std::string& path) {
    return keldrin::checks::checkLibraryStructure(utf8ToUtf16(path));
}

struct ManagerFixture : ::testing::Test {
    PblManagerHandle manager{createPblManager()};
    ScratchDir dir;

    // A new library of `version`, opened; nullptr on failure.
    PblLibrary* create(const std::string& name, int version, bool writable = true) {
        if (manager->createLibrary(utf8ToUtf16(dir.file(name)), version) != kPblOk) return nullptr;
        return open(name, writable);
    }
    PblLibrary* open(const std::string& name, bool writable = true) {
        return manager->openLibrary(utf8ToUtf16(dir.file(name)), writable ? 1 : 0);
    }
};

// Entry data: `size` bytes whose values depend on `seed`.
inline Bytes pattern(std::size_t size, unsigned seed) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i)
        b[i] = static_cast<std::uint8_t>((i * 131 + seed * 7 + (i >> 8)) & 0xFF);
    return b;
}

// Creates or replaces an entry: 0 or the first failing code.
inline int putEntry(PblLibraryInterface& lib, const std::string& name, const Bytes& data,
                    short commentSize = 0, std::int32_t time = 0) {
    PblEntryInfo info;
    int rc = lib.findEntry(name.c_str(), info, 1);
    if (rc != kPblOk) return rc;
    info.time = time;
    return lib.writeEntryData(info, data.data(), static_cast<int>(data.size()) - commentSize,
                              commentSize);
}

// Reads an entry's data; `rc` gets the result.
inline Bytes getEntry(PblLibraryInterface& lib, const std::string& name, int& rc,
                      PblEntryInfo* out = nullptr) {
    PblEntryInfo info;
    rc = lib.findEntry(name.c_str(), info, 0);
    if (rc != kPblOk) return {};
    Bytes b(static_cast<std::size_t>(info.dataSize) + 2, 0xEE);
    rc = lib.readEntryData(info, b.data());
    // The two bytes past the data must stay untouched.
    EXPECT_EQ(b[b.size() - 2], 0xEE);
    EXPECT_EQ(b[b.size() - 1], 0xEE);
    b.resize(static_cast<std::size_t>(info.dataSize));
    if (out != nullptr) *out = info;
    return b;
}

// The small library the damage tests work on, ANSI "0600", written to `name` in the
// fixture's directory; `base` gets its bytes:
//   root node at 1024: "alpha" (record at 1056, 30 bytes), "beta" (record at 1086)
//   alpha: 1200 bytes in blocks 8, 9, 10 (4096, 4608, 5120); beta: 10 bytes in 11
//   library data: 600 bytes in blocks 12, 13 (6144, 6656)
inline void buildDamageBase(ManagerFixture& f, const std::string& name, Bytes& base) {
    PblLibraryHandle lib(f.create(name, 6));
    ASSERT_NE(lib, nullptr);
    ASSERT_EQ(putEntry(*lib, "alpha", pattern(1200, 1)), kPblOk);
    ASSERT_EQ(putEntry(*lib, "beta", pattern(10, 2)), kPblOk);
    Bytes libData = pattern(600, 3);
    ASSERT_EQ(lib->writeLibraryData(libData.data(), 600), kPblOk);
    lib.reset();
    base = fileBytes(f.dir.file(name));
    ASSERT_EQ(base.size(), 14u * 512u);
}

// A library grown the way libraries age, ANSI "0600", written to `name` in the fixture's
// directory; `grown` gets its bytes. "alpha" took the block a deleted entry gave back,
// so its chain starts early in the file and ends at its end, where a cut falls:
//   root node at 1024: "beta", "alpha"; its right child node at 5120 (blocks 10 to 15)
//   holds kGrownLongName
//   beta: 10 bytes in block 9; kGrownLongName: 10 bytes in block 16 (8192)
//   alpha: 1200 bytes in blocks 8, 17, 18 (4096, 8704, 9216); the file is 19 blocks
// The data are those of buildDamageBase: pattern(1200, 1), pattern(10, 2), and
// pattern(10, 4) for the long name.
inline const std::string kGrownLongName(3000, 'z');
inline void buildGrownBase(ManagerFixture& f, const std::string& name, Bytes& grown) {
    PblLibraryHandle lib(f.create(name, 6));
    ASSERT_NE(lib, nullptr);
    ASSERT_EQ(putEntry(*lib, "gone", pattern(400, 3)), kPblOk);
    ASSERT_EQ(putEntry(*lib, "beta", pattern(10, 2)), kPblOk);
    // No room left in the root: the name takes a node of its own.
    ASSERT_EQ(putEntry(*lib, kGrownLongName, pattern(10, 4)), kPblOk);
    PblEntryInfo info;
    ASSERT_EQ(lib->findEntry("gone", info, 0), kPblOk);
    ASSERT_EQ(lib->deleteEntry(info), kPblOk);
    ASSERT_EQ(putEntry(*lib, "alpha", pattern(1200, 1)), kPblOk);
    ASSERT_EQ(lib->findEntry("alpha", info, 0), kPblOk);
    ASSERT_EQ(info.firstBlock, 4096);
    ASSERT_EQ(info.nodeOffset, 1024);
    ASSERT_EQ(lib->findEntry(kGrownLongName.c_str(), info, 0), kPblOk);
    ASSERT_EQ(info.nodeOffset, 5120);
    ASSERT_EQ(info.firstBlock, 8192);
    lib.reset();
    grown = fileBytes(f.dir.file(name));
    ASSERT_EQ(grown.size(), 19u * 512u);
    ASSERT_EQ(loadI32(grown.data() + 4096 + 4), 8704);
    ASSERT_EQ(loadI32(grown.data() + 8704 + 4), 9216);
}

using Collector = ::keldrin::test::EntryCollector;

}  // namespace keldrin::pbl::test
