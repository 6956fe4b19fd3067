// Block allocation: first fit from the start of the file, six-block runs for nodes,
// growth of the bitmap chain, reuse of freed blocks, and refusal on read-only libraries.
#include <gtest/gtest.h>

#include "pbl_test_util.h"

namespace keldrin::pbl::test {
namespace {

using namespace layout;

using Allocation = ManagerFixture;

std::vector<std::int32_t> offsets(std::initializer_list<int> blocks) {
    std::vector<std::int32_t> out;
    for (int b : blocks) out.push_back(b * kBlockSize);
    return out;
}

TEST_F(Allocation, FirstSingleBlockFollowsTheRoot) {
    struct Case {
        int version;
        int firstBlock;
    } cases[] = {{5, 8}, {6, 8}, {10, 9}};
    for (const Case& c : cases) {
        std::unique_ptr<PblLibrary, PblLibraryReleaser> lib(
            create("v" + std::to_string(c.version) + ".pbl", c.version));
        ASSERT_NE(lib, nullptr);
        std::vector<std::int32_t> list;
        ASSERT_EQ(lib->allocator().allocate(1, list, false), kPblOk);
        EXPECT_EQ(list, offsets({c.firstBlock})) << c.version;
    }
}

TEST_F(Allocation, NodeTakesSixBlocksThenDataTakesTheNext) {
    PblLibraryHandle lib(create("a.pbl", 6));
    auto& alloc = lib->allocator();
    std::vector<std::int32_t> node;
    ASSERT_EQ(alloc.allocate(6, node, true), kPblOk);
    EXPECT_EQ(node, offsets({8, 9, 10, 11, 12, 13}));
    std::vector<std::int32_t> data;
    ASSERT_EQ(alloc.allocate(1, data, false), kPblOk);
    EXPECT_EQ(data, offsets({14}));
}

TEST_F(Allocation, RejectedWindowResumesBehindTheWholeWindow) {
    PblLibraryHandle lib(create("a.pbl", 6));
    auto& alloc = lib->allocator();
    std::vector<std::int32_t> singles;
    ASSERT_EQ(alloc.allocate(3, singles, false), kPblOk);  // 8, 9, 10
    ASSERT_EQ(alloc.release(singles, 0, 2), kPblOk);       // 8, 9 free again; 10 in use
    std::vector<std::int32_t> node;
    ASSERT_EQ(alloc.allocate(6, node, true), kPblOk);
    EXPECT_EQ(node, offsets({14, 15, 16, 17, 18, 19}));
    std::vector<std::int32_t> next;
    ASSERT_EQ(alloc.allocate(3, next, false), kPblOk);
    EXPECT_EQ(next, offsets({8, 9, 11}));
}

TEST_F(Allocation, FreedBlocksAreReusedLowestFirst) {
    PblLibraryHandle lib(create("a.pbl", 6));
    auto& alloc = lib->allocator();
    std::vector<std::int32_t> list;
    ASSERT_EQ(alloc.allocate(6, list, false), kPblOk);       // 8..13
    std::vector<std::int32_t> chain = offsets({12, 9, 11});  // a chain in no order
    ASSERT_EQ(alloc.release(chain, 0, -1), kPblOk);
    std::vector<std::int32_t> again;
    ASSERT_EQ(alloc.allocate(3, again, false), kPblOk);
    EXPECT_EQ(again, offsets({9, 11, 12}));
}

TEST_F(Allocation, GrowthLinksANewBitmapBlockAndHandsOutTheBlockBehindIt) {
    const std::string path = dir.file("big.pbl");
    {
        PblLibraryHandle lib(create("big.pbl", 6));
        auto& alloc = lib->allocator();
        std::vector<std::int32_t> list;
        ASSERT_EQ(alloc.allocate(kBlocksPerBitmap - 8, list, false), kPblOk);
        EXPECT_EQ(list.back(), (kBlocksPerBitmap - 1) * kBlockSize);
        std::vector<std::int32_t> more;
        ASSERT_EQ(alloc.allocate(1, more, false), kPblOk);
        EXPECT_EQ(more, offsets({4033}));
        EXPECT_EQ(alloc.bitmapBlockCount(), 2u);
        EXPECT_EQ(alloc.bitmapBlockOffset(1), 2064384);
        ASSERT_EQ(lib->flush(), 0);
    }
    Bytes b = fileBytes(path);
    ASSERT_EQ(b.size(), 2064384u + 512u);  // the new bitmap block is the last thing written
    EXPECT_EQ(loadI32(b.data() + 512 + 4), 2064384);  // linked from the first
    for (int i = 0; i < 504; ++i) ASSERT_EQ(b[512 + 8 + i], 0xFF) << i;
    const std::uint8_t* second = b.data() + 2064384;
    EXPECT_EQ(std::memcmp(second, "FRE*", 4), 0);
    EXPECT_EQ(loadI32(second + 4), 0);
    EXPECT_EQ(second[8], 0xC0);  // itself (4032) and 4033
    for (int i = 1; i < 504; ++i) ASSERT_EQ(second[8 + i], 0) << i;
}

TEST_F(Allocation, ReadOnlyLibraryRefusesWithSeven) {
    ASSERT_EQ(manager->createLibrary(dir.wide("ro.pbl"), 6), kPblOk);
    Bytes before = fileBytes(dir.file("ro.pbl"));
    PblLibraryHandle lib(open("ro.pbl", false));
    ASSERT_NE(lib, nullptr);
    auto& alloc = lib->allocator();
    std::vector<std::int32_t> list;
    EXPECT_EQ(alloc.allocate(1, list, false), kPblIoError);
    EXPECT_TRUE(list.empty());
    std::vector<std::int32_t> some = offsets({8});
    EXPECT_EQ(alloc.release(some, 0, -1), kPblIoError);
    PblEntryInfo info;
    EXPECT_EQ(lib->findEntry("new.srd", info, 1), kPblIoError);
    lib.reset();
    EXPECT_EQ(fileBytes(dir.file("ro.pbl")), before);
}

TEST_F(Allocation, ReleaseRefusesTheLibrarysOwnBlocksAndForeignOffsets) {
    PblLibraryHandle lib(create("a.pbl", 6));
    auto& alloc = lib->allocator();
    const std::vector<std::vector<std::int32_t>> bad = {offsets({0}),
                                                        offsets({1}),
                                                        offsets({2}),
                                                        offsets({7}),
                                                        {4097},
                                                        {-512},
                                                        offsets({kBlocksPerBitmap + 5})};
    for (const auto& list : bad) {
        EXPECT_EQ(alloc.release(list, 0, -1), kPblDamaged) << list[0];
    }
}

TEST_F(Allocation, FlushWritesTheBitmapAndDropsItUntilNeeded) {
    PblLibraryHandle lib(create("a.pbl", 6));
    auto& alloc = lib->allocator();
    std::vector<std::int32_t> list;
    ASSERT_EQ(alloc.allocate(2, list, false), kPblOk);
    EXPECT_TRUE(alloc.loaded());
    ASSERT_EQ(lib->flush(), 0);
    EXPECT_FALSE(alloc.loaded());
    EXPECT_EQ(fileBytes(dir.file("a.pbl"))[512 + 9], 0xC0);  // blocks 8 and 9
    std::vector<std::int32_t> next;
    ASSERT_EQ(alloc.allocate(1, next, false), kPblOk);  // reloaded from the file
    EXPECT_EQ(next, offsets({10}));
}

}  // namespace
}  // namespace keldrin::pbl::test
