// Entry data chains, entry times, the library comment, library data and name forms.
#include <gtest/gtest.h>

#include <ctime>

#include "pbl_test_util.h"

namespace keldrin::pbl::test {
namespace {

using namespace layout;

using EntryData = ManagerFixture;

struct ChainBlock {
    std::int32_t offset;
    int used;
};

// The chain as the file holds it, walked from the entry record.
std::vector<ChainBlock> chainOf(const Bytes& file, std::int32_t first) {
    std::vector<ChainBlock> out;
    for (std::int32_t link = first; link != 0 && out.size() < 1000;) {
        const std::uint8_t* b = file.data() + link;
        EXPECT_EQ(std::memcmp(b, "DAT*", 4), 0);
        out.push_back({link, loadU16(b + 8)});
        link = loadI32(b + 4);
    }
    return out;
}

TEST_F(EntryData, BlockCountsAndUsedCountsFollowTheSize) {
    struct Case {
        std::size_t size;
        std::vector<int> used;
    } cases[] = {{0, {0}}, {1, {1}}, {502, {502}}, {503, {502, 1}}, {1506, {502, 502, 502}}};
    for (const Case& c : cases) {
        PblLibraryHandle lib(create("d.pbl", 6));
        const std::int64_t before = std::time(nullptr);
        ASSERT_EQ(putEntry(*lib, "e.srd", pattern(c.size, 3)), kPblOk);
        PblEntryInfo info;
        ASSERT_EQ(lib->findEntry("e.srd", info, 0), kPblOk);
        EXPECT_EQ(info.dataSize, static_cast<std::int32_t>(c.size));
        EXPECT_GE(info.time, before);
        EXPECT_LE(info.time, std::time(nullptr));
        lib.reset();
        Bytes file = fileBytes(dir.file("d.pbl"));
        std::vector<int> used;
        for (auto& b : chainOf(file, info.firstBlock)) used.push_back(b.used);
        EXPECT_EQ(used, c.used) << c.size;
        EXPECT_EQ(check(dir.file("d.pbl")), "");
    }
}

TEST_F(EntryData, RewriteReusesOldBlocksFirstAndFreesOrAddsTheRest) {
    PblLibraryHandle lib(create("d.pbl", 6));
    ASSERT_EQ(putEntry(*lib, "e.srd", pattern(1200, 1)), kPblOk);  // blocks 8, 9, 10
    ASSERT_EQ(putEntry(*lib, "f.srd", pattern(10, 2)), kPblOk);    // block 11
    PblEntryInfo info;
    ASSERT_EQ(lib->findEntry("e.srd", info, 0), kPblOk);
    ASSERT_EQ(lib->flush(), 0);
    auto chain = chainOf(fileBytes(dir.file("d.pbl")), info.firstBlock);
    ASSERT_EQ(chain.size(), 3u);
    EXPECT_EQ(chain[0].offset, 8 * 512);
    EXPECT_EQ(chain[2].offset, 10 * 512);

    ASSERT_EQ(putEntry(*lib, "e.srd", pattern(600, 4)), kPblOk);
    ASSERT_EQ(lib->flush(), 0);
    Bytes file = fileBytes(dir.file("d.pbl"));
    ASSERT_EQ(lib->findEntry("e.srd", info, 0), kPblOk);
    chain = chainOf(file, info.firstBlock);
    ASSERT_EQ(chain.size(), 2u);
    EXPECT_EQ(chain[0].offset, 8 * 512);
    EXPECT_EQ(chain[1].offset, 9 * 512);
    EXPECT_EQ(chain[1].used, 98);
    EXPECT_EQ(file[512 + 9], 0xD0) << "block 10 freed, 11 still in use";
    EXPECT_EQ(check(dir.file("d.pbl")), "");

    ASSERT_EQ(putEntry(*lib, "e.srd", pattern(2000, 5)), kPblOk);
    ASSERT_EQ(lib->flush(), 0);
    ASSERT_EQ(lib->findEntry("e.srd", info, 0), kPblOk);
    chain = chainOf(fileBytes(dir.file("d.pbl")), info.firstBlock);
    ASSERT_EQ(chain.size(), 4u);
    EXPECT_EQ(chain[0].offset, 8 * 512);
    EXPECT_EQ(chain[1].offset, 9 * 512);
    EXPECT_EQ(chain[2].offset, 10 * 512);
    EXPECT_EQ(chain[3].offset, 12 * 512);
    int rc = 0;
    EXPECT_EQ(getEntry(*lib, "e.srd", rc), pattern(2000, 5));
    EXPECT_EQ(getEntry(*lib, "f.srd", rc), pattern(10, 2));
    EXPECT_EQ(check(dir.file("d.pbl")), "");
}

TEST_F(EntryData, TimeOfZeroMeansNowAndWriteEntryTimeRestores) {
    PblLibraryHandle lib(create("d.pbl", 6));
    ASSERT_EQ(putEntry(*lib, "e.srd", pattern(10, 1), 0, 123456), kPblOk);
    PblEntryInfo info;
    ASSERT_EQ(lib->findEntry("e.srd", info, 0), kPblOk);
    EXPECT_EQ(info.time, 123456);
    const std::int32_t saved = info.time;
    info.time = 0;
    ASSERT_EQ(lib->writeEntryData(info, "abc", 3, 0), kPblOk);
    EXPECT_EQ(info.time, 0) << "the descriptor keeps its zero";
    PblEntryInfo now;
    ASSERT_EQ(lib->findEntry("e.srd", now, 0), kPblOk);
    EXPECT_GT(now.time, 1600000000);
    now.time = saved;
    ASSERT_EQ(lib->writeEntryTime(now), kPblOk);
    ASSERT_EQ(lib->findEntry("e.srd", info, 0), kPblOk);
    EXPECT_EQ(info.time, saved);
    now.time = 0;
    ASSERT_EQ(lib->writeEntryTime(now), kPblOk);
    ASSERT_EQ(lib->findEntry("e.srd", info, 0), kPblOk);
    EXPECT_EQ(info.time, 0);
}

TEST_F(EntryData, UnicodeCommentLengthCountsCharacters) {
    PblLibraryHandle lib(create("u.pbl", 10));
    Bytes data = pattern(30, 7);  // 10 comment bytes (5 characters), 20 body bytes
    PblEntryInfo info;
    ASSERT_EQ(lib->findEntry("e.srd", info, 1), kPblOk);
    EXPECT_EQ(lib->writeEntryData(info, data.data(), 21, 9), kPblInvalidArgument);
    ASSERT_EQ(lib->writeEntryData(info, data.data(), 20, 10), kPblOk);
    EXPECT_EQ(info.commentSize, 10);
    EXPECT_EQ(info.dataSize, 30);
    lib.reset();
    Bytes file = fileBytes(dir.file("u.pbl"));
    EXPECT_EQ(loadU16(file.data() + info.entryOffset + 24), 5);
    lib.reset(open("u.pbl"));
    PblEntryInfo back;
    int rc = 0;
    EXPECT_EQ(getEntry(*lib, "E.SRD", rc, &back), data);
    EXPECT_EQ(back.commentSize, 10);
}

TEST_F(EntryData, BadArgumentsAreRefusedBeforeAnythingMoves) {
    PblLibraryHandle lib(create("d.pbl", 6));
    ASSERT_EQ(putEntry(*lib, "e.srd", pattern(700, 1)), kPblOk);
    ASSERT_EQ(lib->flush(), 0);
    const Bytes before = fileBytes(dir.file("d.pbl"));
    PblEntryInfo info;
    ASSERT_EQ(lib->findEntry("e.srd", info, 0), kPblOk);
    EXPECT_EQ(lib->writeEntryData(info, "x", -1, 0), kPblInvalidArgument);
    EXPECT_EQ(lib->writeEntryData(info, "x", 1, -1), kPblInvalidArgument);
    EXPECT_EQ(lib->writeEntryData(info, nullptr, 5, 0), kPblInvalidArgument);
    PblEntryInfo blank;  // never looked up: no record offset
    EXPECT_EQ(lib->writeEntryData(blank, "x", 1, 0), kPblInvalidArgument);
    EXPECT_EQ(lib->writeEntryTime(blank), kPblInvalidArgument);
    EXPECT_EQ(lib->deleteEntry(blank), kPblInvalidArgument);
    PblEntryInfo forged = info;
    forged.entryOffset += 4;  // not the start of a record
    EXPECT_EQ(lib->writeEntryData(forged, "x", 1, 0), kPblDamaged);
    EXPECT_EQ(lib->deleteEntry(forged), kPblDamaged);
    EXPECT_EQ(lib->readEntryData(info, nullptr), kPblFailed);
    ASSERT_EQ(lib->flush(), 0);
    EXPECT_EQ(fileBytes(dir.file("d.pbl")), before);
}

TEST_F(EntryData, CommentSizesAndLimits) {
    struct Case {
        int version;
        int emptySize;
        int capacityChars;
    } cases[] = {{6, 1, 256}, {10, 2, 256}};
    for (const Case& c : cases) {
        PblLibraryHandle lib(create("c.pbl", c.version));
        int size = 0;
        ASSERT_EQ(lib->getComment(nullptr, size), kPblOk);
        EXPECT_EQ(size, c.emptySize);
        const int cs = c.version >= 10 ? 2 : 1;
        auto text = [&](int chars) {
            Bytes t(static_cast<std::size_t>((chars + 1) * cs), 0);
            for (int i = 0; i < chars; ++i)
                t[static_cast<std::size_t>(i * cs)] = static_cast<std::uint8_t>('a' + i % 26);
            return t;
        };
        EXPECT_EQ(lib->setComment(text(c.capacityChars).data()), kPblInvalidArgument);
        const Bytes longest = text(c.capacityChars - 1);
        ASSERT_EQ(lib->setComment(longest.data()), kPblOk);
        size = 0;
        ASSERT_EQ(lib->getComment(nullptr, size), kPblOk);
        EXPECT_EQ(size, c.capacityChars * cs);
        Bytes back(static_cast<std::size_t>(size));
        int small = size - 1;
        EXPECT_EQ(lib->getComment(back.data(), small), kPblInvalidArgument);
        ASSERT_EQ(lib->getComment(back.data(), size), kPblOk);
        EXPECT_EQ(back, longest);
        // A shorter comment clears the rest of the field.
        const Bytes shorter = text(3);
        ASSERT_EQ(lib->setComment(shorter.data()), kPblOk);
        lib.reset();
        Bytes file = fileBytes(dir.file("c.pbl"));
        const std::size_t field = c.version >= 10 ? 46 : 28;
        for (std::size_t i = shorter.size(); i < static_cast<std::size_t>(c.capacityChars * cs);
             ++i)
            ASSERT_EQ(file[field + i], 0) << i;
    }
}

TEST_F(EntryData, LibraryDataRoundTripsAndEmptyDataOwnsNoBlock) {
    PblLibraryHandle lib(create("l.pbl", 6));
    int size = 0;
    ASSERT_EQ(lib->readLibraryData(nullptr, size), kPblOk);
    EXPECT_EQ(size, 0);
    const Bytes data = pattern(1100, 9);
    ASSERT_EQ(lib->writeLibraryData(data.data(), static_cast<int>(data.size())), kPblOk);
    size = 0;
    ASSERT_EQ(lib->readLibraryData(nullptr, size), kPblOk);
    EXPECT_EQ(size, 1100);
    Bytes back(1100);
    int small = 1099;
    EXPECT_EQ(lib->readLibraryData(back.data(), small), kPblInvalidArgument);
    ASSERT_EQ(lib->readLibraryData(back.data(), size), kPblOk);
    EXPECT_EQ(back, data);
    ASSERT_EQ(lib->flush(), 0);
    EXPECT_EQ(check(dir.file("l.pbl")), "");
    ASSERT_EQ(lib->writeLibraryData(nullptr, 0), kPblOk);
    lib.reset();
    Bytes file = fileBytes(dir.file("l.pbl"));
    EXPECT_EQ(loadI32(file.data() + 284), 0);
    EXPECT_EQ(loadI32(file.data() + 288), 0);
    EXPECT_EQ(file[512 + 9], 0x00) << "its three blocks are free again";
    EXPECT_EQ(check(dir.file("l.pbl")), "");
}

TEST_F(EntryData, NamesComeOutInTheManagersEncoding) {
    // "Größe.srd" in code page 1252, the ANSI code page of the tests' locale.
    const std::string ansiName =
        "Gr\xF6\xDF"
        "e.srd";
    struct Case {
        int version;
        int mode;
        std::string expected;
    };
    const std::string utf16 = std::string("G\0r\0\xF6\0\xDF\0e\0.\0s\0r\0d\0", 18);
    const Case cases[] = {
        {6, kNameAnsi, ansiName},
        {6, kNameUtf16, utf16},
        {6, kNameUtf8,
         "Gr\xC3\xB6\xC3\x9F"
         "e.srd"},
        {6, kNameOem,
         "Gr\x94\xE1"
         "e.srd"},  // code page 437
        {10, kNameAnsi, ansiName},
        {10, kNameUtf16, utf16},
        {10, kNameUtf8,
         "Gr\xC3\xB6\xC3\x9F"
         "e.srd"},
        {6, 99, ansiName},
    };
    for (const Case& c : cases) {
        PblLibraryHandle lib(create("n.pbl", c.version));
        ASSERT_EQ(putEntry(*lib, ansiName, pattern(5, 0)), kPblOk);
        manager->setNameEncoding(c.mode);
        Collector col;
        ASSERT_EQ(lib->forEachEntry(col), kPblOk);
        ASSERT_EQ(col.entries.size(), 1u);
        EXPECT_EQ(col.entries[0].name, c.expected) << c.version << " mode " << c.mode;
        EXPECT_EQ(col.entries[0].nameSize, c.version >= 10 ? 18 : 9);
        EXPECT_EQ(col.entries[0].recordSize, c.version >= 10 ? 28 + 20 : 24 + 10);
        manager->setNameEncoding(kNameAnsi);
    }
}

TEST_F(EntryData, VisitorStopsTheWalkWithThree) {
    PblLibraryHandle lib(create("s.pbl", 6));
    for (int i = 0; i < 5; ++i) {
        std::string name = "e";
        name += std::to_string(i);
        ASSERT_EQ(putEntry(*lib, name, pattern(1, 0)), kPblOk);
    }
    struct StopAfterTwo : PblEntryVisitor {
        int seen = 0;
        int visit(PblEntryInfo&) override { return ++seen < 2 ? 1 : 0; }
    } v;
    EXPECT_EQ(lib->forEachEntry(v), kPblStopped);
    EXPECT_EQ(v.seen, 2);
}

}  // namespace
}  // namespace keldrin::pbl::test
