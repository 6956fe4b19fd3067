// The format's structures and a new library's exact bytes.
#include <gtest/gtest.h>

#include <cstddef>
#include <ostream>

#include "pbl/pbl_layout.h"
#include "pbl_test_util.h"

namespace keldrin::pbl::test {
namespace {

using namespace layout;

// The bytes of a new library written out by hand from the format, creation time zero.
Bytes expectedNewLibrary(int version) {
    bool uni = version >= 10;
    Bytes b(uni ? 4608 : 4096, 0);
    auto put = [&](std::size_t at, const std::string& s, int cs) {
        for (std::size_t i = 0; i < s.size(); ++i) b[at + i * cs] = static_cast<std::uint8_t>(s[i]);
    };
    std::memcpy(b.data(), "HDR*", 4);
    if (!uni) {
        put(4, "PowerBuilder", 1);
        put(18, version == 5 ? "0500" : "0600", 1);
        std::memcpy(b.data() + 512, "FRE*", 4);
        b[512 + 8] = 0xFF;
        std::memcpy(b.data() + 1024, "NOD*", 4);
        b[1024 + 16] = 0xE0;  // 3040
        b[1024 + 17] = 0x0B;
    } else {
        put(4, "PowerBuilder", 2);
        put(32, "0600", 2);
        b[44] = 1;
        std::memcpy(b.data() + 1024, "FRE*", 4);
        b[1024 + 8] = 0xFF;
        b[1024 + 9] = 0x80;
        std::memcpy(b.data() + 1536, "NOD*", 4);
        b[1536 + 16] = 0xE0;
        b[1536 + 17] = 0x0B;
    }
    return b;
}

struct NewLibraryCase {
    int version;
    std::size_t timeField;
};

void PrintTo(const NewLibraryCase& c, std::ostream* os) {
    *os << "version " << c.version << " time at " << c.timeField;
}

class NewLibraryBytes : public ManagerFixture,
                        public ::testing::WithParamInterface<NewLibraryCase> {};

TEST_P(NewLibraryBytes, MatchTheFormatWithTimeMasked) {
    const NewLibraryCase c = GetParam();
    const std::string path = dir.file("new.pbl");
    std::int64_t before = std::time(nullptr);
    ASSERT_EQ(manager->createLibrary(path.c_str(), c.version), kPblOk);
    std::int64_t after = std::time(nullptr);
    Bytes actual = fileBytes(path);
    ASSERT_EQ(actual.size(), expectedNewLibrary(c.version).size());
    std::int32_t created = loadI32(actual.data() + c.timeField);
    EXPECT_GE(created, before);
    EXPECT_LE(created, after);
    std::memset(actual.data() + c.timeField, 0, 4);
    EXPECT_EQ(actual, expectedNewLibrary(c.version));
    EXPECT_EQ(check(path), "");
}

INSTANTIATE_TEST_SUITE_P(Versions, NewLibraryBytes,
                         ::testing::Values(NewLibraryCase{5, 22}, NewLibraryCase{6, 22},
                                           NewLibraryCase{7, 22}, NewLibraryCase{9, 22},
                                           NewLibraryCase{10, 40}, NewLibraryCase{12, 40}));

TEST(NodeHeaderCodec, RoundTripsEveryFieldAtItsOffset) {
    NodeHeader h;
    h.left = 0x1000;
    h.parent = 0x2200;
    h.right = -512;
    h.freeBytes = -7;
    h.lastPos = 0xFFF0;
    h.count = 42;
    h.firstPos = 56;
    std::uint8_t raw[kNodeHeaderSize];
    std::memset(raw, 0xAA, sizeof raw);
    h.encode(raw);
    EXPECT_EQ(std::memcmp(raw, "NOD*", 4), 0);
    EXPECT_EQ(loadI32(raw + 4), 0x1000);
    EXPECT_EQ(loadI32(raw + 8), 0x2200);
    EXPECT_EQ(loadI32(raw + 12), -512);
    EXPECT_EQ(loadI16(raw + 16), -7);
    EXPECT_EQ(loadU16(raw + 18), 0xFFF0);
    EXPECT_EQ(loadI16(raw + 20), 42);
    EXPECT_EQ(loadU16(raw + 22), 56);
    for (int i = 24; i < 32; ++i) EXPECT_EQ(raw[i], 0) << i;
    NodeHeader d = NodeHeader::decode(raw);
    EXPECT_EQ(d.left, h.left);
    EXPECT_EQ(d.parent, h.parent);
    EXPECT_EQ(d.right, h.right);
    EXPECT_EQ(d.freeBytes, h.freeBytes);
    EXPECT_EQ(d.lastPos, h.lastPos);
    EXPECT_EQ(d.count, h.count);
    EXPECT_EQ(d.firstPos, h.firstPos);
}

TEST(EntryRecordCodec, AnsiAndUnicodeLayouts) {
    EntryRecordHeader h;
    h.firstBlock = 0x4000;
    h.dataSize = 1234;
    h.time = 0x5F000000;
    h.commentLength = 5;
    h.nameLength = 9;
    std::uint8_t a[24];
    h.encode(kAnsi, a);
    const std::uint8_t ansi[24] = {'E',  'N',  'T', '*', '0', '6', '0', '0',  0x00, 0x40, 0, 0,
                                   0xD2, 0x04, 0,   0,   0,   0,   0,   0x5F, 5,    0,    9, 0};
    EXPECT_EQ(std::memcmp(a, ansi, 24), 0);
    std::uint8_t u[28];
    h.encode(kUnicode, u);
    const std::uint8_t uni[28] = {'E', 'N', 'T',  '*',  '0', 0, '6',  0,    '0', 0,
                                  '0', 0,   0x00, 0x40, 0,   0, 0xD2, 0x04, 0,   0,
                                  0,   0,   0,    0x5F, 5,   0, 9,    0};
    EXPECT_EQ(std::memcmp(u, uni, 28), 0);
    EntryRecordHeader d = EntryRecordHeader::decode(kUnicode, u);
    EXPECT_EQ(d.firstBlock, 0x4000);
    EXPECT_EQ(d.dataSize, 1234);
    EXPECT_EQ(d.time, 0x5F000000);
    EXPECT_EQ(d.commentLength, 5);
    EXPECT_EQ(d.nameLength, 9);
}

TEST(BitmapCodec, MostSignificantBitFirstAndRoundTrip) {
    std::vector<std::uint8_t> flags(kBlocksPerBitmap, 0);
    flags[0] = 1;
    flags[9] = 1;
    flags[4031] = 1;
    std::uint8_t block[kBlockSize];
    encodeBitmapBlock(2064384, flags.data(), block);
    EXPECT_EQ(std::memcmp(block, "FRE*", 4), 0);
    EXPECT_EQ(loadI32(block + 4), 2064384);
    EXPECT_EQ(block[8], 0x80);
    EXPECT_EQ(block[9], 0x40);
    EXPECT_EQ(block[511], 0x01);
    std::vector<std::uint8_t> back(kBlocksPerBitmap, 7);
    expandBitmapBits(block, back.data());
    EXPECT_EQ(back, flags);
}

TEST(DataBlockCodec, Fields) {
    DataBlockHeader h{0x1200, 502};
    std::uint8_t raw[10];
    h.encode(raw);
    const std::uint8_t want[10] = {'D', 'A', 'T', '*', 0x00, 0x12, 0, 0, 0xF6, 0x01};
    EXPECT_EQ(std::memcmp(raw, want, 10), 0);
    EXPECT_EQ(dataBlocksFor(0), 0);
    EXPECT_EQ(dataBlocksFor(502), 1);
    EXPECT_EQ(dataBlocksFor(503), 2);
}

struct CompareCase {
    std::string a, b;
    int sign;
};

TEST(CompareNames, FoldsOnlyAsciiLetters) {
    const CompareCase cases[] = {
        {"abc", "ABC", 0},    {"abc", "abd", -1}, {"ab", "abc", -1},
        {"Zeta", "alpha", 1}, {"[", "a", -1},  // '[' (0x5B) sorts before 'a', not after 'Z'
        {"_x", "Ax", -1},                      // '_' 0x5F vs 'a' 0x61 after folding
        {"\xC4", "\xE4", -1},                  // Ä and ä differ: only ASCII folds
        {"", "", 0},
    };
    for (const auto& c : cases) {
        int r = compareNames(reinterpret_cast<const std::uint8_t*>(c.a.data()), c.a.size(),
                             reinterpret_cast<const std::uint8_t*>(c.b.data()), c.b.size(), 1);
        EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.a << " vs " << c.b;
    }
    const std::uint8_t wa[] = {'A', 0, 0x00, 0x01};  // "A", U+0100
    const std::uint8_t wb[] = {'a', 0, 0xFF, 0x00};  // "a", U+00FF
    EXPECT_GT(compareNames(wa, 4, wb, 4, 2), 0);
}

}  // namespace
}  // namespace keldrin::pbl::test
