// The directory tree: where records go, name limits, splits, new children and the
// removal of emptied nodes.
#include <gtest/gtest.h>

#include "pbl_test_util.h"

namespace keldrin::pbl::test {
namespace {

using namespace layout;

using Directory = ManagerFixture;

NodeHeader nodeAt(const Bytes& file, std::int32_t offset) {
    return NodeHeader::decode(file.data() + offset);
}

std::string nameAt(const Bytes& file, std::int32_t node, int position) {
    return std::string(reinterpret_cast<const char*>(file.data()) + node + position);
}

// Names of equal length that sort as their numbers do.
std::string numbered(int i, int width = 20) {
    std::string digits = std::to_string(i);
    return "n" + std::string(static_cast<std::size_t>(width) - digits.size(), '0') + digits;
}

// The structural check of a library whose records findEntry made without data, as
// fillRoot does: such an entry has no data block, which is a problem of its own (what a
// crash between the record and its data leaves), not one of the tree.
std::string checkTree(const std::string& path) {
    return checks::checkLibraryBytes(fileBytes(path), {"no-data"});
}

// Fills the root until the next numbered name would not fit; returns how many fit.
int fillRoot(PblLibraryInterface& lib, int first, int step) {
    const int record = 24 + 21 + 1;
    int n = kNodeDataSize / record;
    for (int i = 0; i < n; ++i) {
        PblEntryInfo info;
        EXPECT_EQ(lib.findEntry(numbered(first + i * step).c_str(), info, 1), kPblOk);
    }
    return n;
}

TEST_F(Directory, FirstEntryIsBothFirstAndLastOfTheRoot) {
    PblLibraryHandle lib(create("d.pbl", 6));
    PblEntryInfo info;
    ASSERT_EQ(lib->findEntry("abc.srd", info, 1), kPblOk);
    EXPECT_EQ(info.nodeOffset, 1024);
    EXPECT_EQ(info.entryOffset, 1024 + 32);
    EXPECT_EQ(info.nameSize, 7);
    EXPECT_TRUE(info.name.empty());
    lib.reset();
    Bytes f = fileBytes(dir.file("d.pbl"));
    NodeHeader root = nodeAt(f, 1024);
    EXPECT_EQ(root.count, 1);
    EXPECT_EQ(root.firstPos, 32 + 24);
    EXPECT_EQ(root.lastPos, 32 + 24);
    EXPECT_EQ(root.freeBytes, 3040 - 32);
    EXPECT_EQ(nameAt(f, 1024, root.firstPos), "abc.srd");
}

TEST_F(Directory, CaseOfAsciiLettersDoesNotMakeANewEntry) {
    PblLibraryHandle lib(create("d.pbl", 10));
    PblEntryInfo a;
    ASSERT_EQ(lib->findEntry("d_Report.SRD", a, 1), kPblOk);
    PblEntryInfo b;
    ASSERT_EQ(lib->findEntry("D_REPORT.srd", b, 0), kPblOk);
    EXPECT_EQ(b.entryOffset, a.entryOffset);
    PblEntryInfo c;
    ASSERT_EQ(lib->findEntry("d_report.srd", c, 1), kPblOk);
    EXPECT_EQ(c.entryOffset, a.entryOffset);
    Collector col;
    ASSERT_EQ(lib->forEachEntry(col), kPblOk);
    ASSERT_EQ(col.entries.size(), 1u);
    EXPECT_EQ(col.entries[0].name, "d_Report.SRD");
    PblEntryInfo missing;
    EXPECT_EQ(lib->findEntry("d_report.sr", missing, 0), kPblNotFound);
}

TEST_F(Directory, NameLengthLimitsOfAnEmptyNode) {
    struct Case {
        int version;
        std::size_t fits;
    } cases[] = {{6, 3015}, {10, 1505}};
    for (const Case& c : cases) {
        PblLibraryHandle lib(create("d.pbl", c.version));
        ASSERT_EQ(lib->flush(), 0);
        const Bytes before = fileBytes(dir.file("d.pbl"));
        PblEntryInfo info;
        EXPECT_EQ(lib->findEntry(std::string(c.fits + 1, 'q').c_str(), info, 1), kPblNotFound);
        ASSERT_EQ(lib->flush(), 0);
        EXPECT_EQ(fileBytes(dir.file("d.pbl")), before) << "nothing written";
        ASSERT_EQ(lib->findEntry(std::string(c.fits, 'q').c_str(), info, 1), kPblOk);
        ASSERT_EQ(lib->writeEntryData(info, "x", 1, 0), kPblOk);
        ASSERT_EQ(lib->flush(), 0);
        Bytes f = fileBytes(dir.file("d.pbl"));
        const std::int32_t root = c.version >= 10 ? 1536 : 1024;
        EXPECT_EQ(nodeAt(f, root).freeBytes, 0);
        // The next name cannot share the full root and hangs a new child off it.
        ASSERT_EQ(putEntry(*lib, "zz", pattern(1, 0)), kPblOk);
        ASSERT_EQ(lib->flush(), 0);
        EXPECT_EQ(check(dir.file("d.pbl")), "");
        int rc = 0;
        EXPECT_EQ(getEntry(*lib, std::string(c.fits, 'Q'), rc), Bytes{'x'});
        EXPECT_EQ(rc, kPblOk);
    }
}

TEST_F(Directory, NameBeforeAFullRootGoesToANewLeftChild) {
    PblLibraryHandle lib(create("d.pbl", 6));
    int n = fillRoot(*lib, 100, 1);
    ASSERT_EQ(lib->flush(), 0);
    const Bytes before = fileBytes(dir.file("d.pbl"));
    const NodeHeader full = nodeAt(before, 1024);
    ASSERT_EQ(full.count, n);
    ASSERT_LT(full.freeBytes, 46);
    PblEntryInfo info;
    ASSERT_EQ(lib->findEntry(numbered(1).c_str(), info, 1), kPblOk);
    EXPECT_EQ(info.nodeOffset, 4096) << "a new node in blocks 8 to 13";
    ASSERT_EQ(lib->flush(), 0);
    Bytes f = fileBytes(dir.file("d.pbl"));
    NodeHeader root = nodeAt(f, 1024);
    EXPECT_EQ(root.left, 4096);
    EXPECT_EQ(root.right, 0);
    EXPECT_EQ(root.count, n) << "the root is not split";
    EXPECT_EQ(std::memcmp(f.data() + 1024 + 32, before.data() + 1024 + 32, kNodeDataSize), 0);
    NodeHeader left = nodeAt(f, 4096);
    EXPECT_EQ(left.parent, 1024);
    EXPECT_EQ(left.count, 1);
    EXPECT_EQ(nameAt(f, 4096, left.firstPos), numbered(1));
    EXPECT_EQ(checkTree(dir.file("d.pbl")), "");
}

TEST_F(Directory, NameInsideAFullRootSplitsIt) {
    PblLibraryHandle lib(create("d.pbl", 6));
    int n = fillRoot(*lib, 100, 2);  // even numbers, so odd ones fall in between
    PblEntryInfo info;
    const std::string middle = numbered(100 + 2 * (n / 2) + 1);  // odd: inside the range, new
    ASSERT_EQ(lib->findEntry(middle.c_str(), info, 1), kPblOk);
    ASSERT_EQ(lib->writeEntryData(info, "mid", 3, 0), kPblOk);
    ASSERT_EQ(lib->flush(), 0);
    Bytes f = fileBytes(dir.file("d.pbl"));
    NodeHeader root = nodeAt(f, 1024);
    ASSERT_EQ(root.right, 4096);
    NodeHeader right = nodeAt(f, 4096);
    // One record of 46 bytes had to leave: the largest name.
    EXPECT_EQ(root.count, n);
    EXPECT_EQ(right.count, 1);
    EXPECT_EQ(nameAt(f, 4096, right.firstPos), numbered(100 + 2 * (n - 1)));
    // The root is rewritten in ascending name order with its tail zeroed.
    std::string previous;
    for (int i = 0; i < root.count; ++i) {
        std::string name = nameAt(f, 1024, 32 + i * 46 + 24);
        EXPECT_LT(previous, name);
        previous = name;
    }
    EXPECT_EQ(root.firstPos, 32 + 24);
    EXPECT_EQ(root.lastPos, 32 + (n - 1) * 46 + 24);
    for (int i = 32 + n * 46; i < kNodeSize; ++i)
        ASSERT_EQ(f[1024 + static_cast<std::size_t>(i)], 0) << i;
    EXPECT_EQ(checkTree(dir.file("d.pbl")), "");
    int rc = 0;
    EXPECT_EQ(getEntry(*lib, middle, rc), (Bytes{'m', 'i', 'd'}));
    for (int i = 0; i < n; ++i) {
        PblEntryInfo e;
        EXPECT_EQ(lib->findEntry(numbered(100 + 2 * i).c_str(), e, 0), kPblOk) << i;
    }
}

TEST_F(Directory, DeletingTheOnlyEntryLeavesAnEmptyRoot) {
    PblLibraryHandle lib(create("d.pbl", 10));
    ASSERT_EQ(putEntry(*lib, "only.srd", pattern(900, 1)), kPblOk);
    PblEntryInfo info;
    ASSERT_EQ(lib->findEntry("ONLY.SRD", info, 0), kPblOk);
    ASSERT_EQ(lib->deleteEntry(info), kPblOk);
    lib.reset();
    Bytes f = fileBytes(dir.file("d.pbl"));
    NodeHeader root = nodeAt(f, 1536);
    EXPECT_EQ(root.count, 0);
    EXPECT_EQ(root.firstPos, 0);
    EXPECT_EQ(root.lastPos, 0);
    EXPECT_EQ(root.freeBytes, 3040);
    for (int i = 32; i < kNodeSize; ++i) ASSERT_EQ(f[1536 + static_cast<std::size_t>(i)], 0);
    EXPECT_EQ(f[1024 + 9], 0x80) << "the data blocks are free";
    EXPECT_EQ(check(dir.file("d.pbl")), "");
}

TEST_F(Directory, DeletingMiddleRecordRecomputesPositions) {
    PblLibraryHandle lib(create("d.pbl", 6));
    for (const char* n : {"m", "a", "z", "k"}) ASSERT_EQ(putEntry(*lib, n, pattern(1, 0)), kPblOk);
    PblEntryInfo info;
    ASSERT_EQ(lib->findEntry("a", info, 0), kPblOk);
    ASSERT_EQ(lib->deleteEntry(info), kPblOk);
    ASSERT_EQ(lib->findEntry("z", info, 0), kPblOk);
    ASSERT_EQ(lib->deleteEntry(info), kPblOk);
    ASSERT_EQ(lib->flush(), 0);
    Bytes f = fileBytes(dir.file("d.pbl"));
    NodeHeader root = nodeAt(f, 1024);
    EXPECT_EQ(root.count, 2);
    EXPECT_EQ(nameAt(f, 1024, root.firstPos), "k");
    EXPECT_EQ(nameAt(f, 1024, root.lastPos), "m");
    EXPECT_EQ(check(dir.file("d.pbl")), "");
}

TEST_F(Directory, EmptiedRootTakesOverItsOnlyRightChild) {
    PblLibraryHandle lib(create("d.pbl", 6));
    int n = fillRoot(*lib, 100, 1);
    ASSERT_EQ(putEntry(*lib, numbered(900), pattern(600, 9)), kPblOk);  // the right child
    ASSERT_EQ(putEntry(*lib, numbered(901), pattern(10, 8)), kPblOk);
    ASSERT_EQ(lib->flush(), 0);
    {
        Bytes f = fileBytes(dir.file("d.pbl"));
        ASSERT_EQ(nodeAt(f, 1024).right, 4096);
        ASSERT_EQ(nodeAt(f, 1024).left, 0);
    }
    for (int i = 0; i < n; ++i) {
        PblEntryInfo info;
        ASSERT_EQ(lib->findEntry(numbered(100 + i).c_str(), info, 0), kPblOk);
        ASSERT_EQ(lib->deleteEntry(info), kPblOk) << i;
    }
    ASSERT_EQ(lib->flush(), 0);
    Bytes f = fileBytes(dir.file("d.pbl"));
    NodeHeader root = nodeAt(f, 1024);
    EXPECT_EQ(root.count, 2);
    EXPECT_EQ(root.right, 0);
    EXPECT_EQ(root.parent, 0);
    EXPECT_EQ(nameAt(f, 1024, root.firstPos), numbered(900));
    EXPECT_EQ(f[512 + 8 + 1], 0x03)
        << "the child's six blocks (8 to 13) are free, data in 14 and 15";
    EXPECT_EQ(check(dir.file("d.pbl")), "");
    int rc = 0;
    EXPECT_EQ(getEntry(*lib, numbered(900), rc), pattern(600, 9));
    EXPECT_EQ(getEntry(*lib, numbered(901), rc), pattern(10, 8));
}

TEST_F(Directory, EmptiedInnerNodeWithTwoChildrenKeepsBothSubtrees) {
    PblLibraryHandle lib(create("d.pbl", 6));
    // Root full of 100..; a right child with 500..; its own left (400) and right (600) children.
    fillRoot(*lib, 100, 1);
    int m = fillRoot(*lib, 500, 1);
    ASSERT_EQ(putEntry(*lib, numbered(450), pattern(3, 1)), kPblOk);
    ASSERT_EQ(putEntry(*lib, numbered(900), pattern(4, 2)), kPblOk);
    ASSERT_EQ(lib->flush(), 0);
    EXPECT_EQ(checkTree(dir.file("d.pbl")), "");
    for (int i = 0; i < m; ++i) {
        PblEntryInfo info;
        ASSERT_EQ(lib->findEntry(numbered(500 + i).c_str(), info, 0), kPblOk);
        ASSERT_EQ(lib->deleteEntry(info), kPblOk);
    }
    ASSERT_EQ(lib->flush(), 0);
    EXPECT_EQ(checkTree(dir.file("d.pbl")), "");
    int rc = 0;
    EXPECT_EQ(getEntry(*lib, numbered(450), rc), pattern(3, 1));
    EXPECT_EQ(getEntry(*lib, numbered(900), rc), pattern(4, 2));
    Collector col;
    ASSERT_EQ(lib->forEachEntry(col), kPblOk);
    EXPECT_EQ(col.entries.size(), static_cast<std::size_t>(m + 2));
}

}  // namespace
}  // namespace keldrin::pbl::test
