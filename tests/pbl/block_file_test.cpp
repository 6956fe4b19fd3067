// BlockFile's held-back writes (the rebuild's new library): whatever mix of runs, node
// changes and reads, every read sees the latest bytes and the file ends up holding
// exactly what was written, in the order it was written.
#include "pbl/block_file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "base/file.h"
#include "pbl_test_util.h"

namespace keldrin::pbl::test {
namespace {

TEST(BlockFileTest, HeldBackWritesReachTheFileInTheirOrder) {
    ScratchDir dir;
    const std::u16string path = dir.wide("held.bin");
    Bytes model = pattern(std::size_t{16} * layout::kBlockSize, 1);
    putFileBytes(dir.file("held.bin"), model);

    BlockFile file;
    std::FILE* stream = fs::openFile(path, "rb+");
    ASSERT_NE(stream, nullptr);
    file.attach(stream, true);
    // Two nodes in the cache: writes inside them stay there until the flush.
    const std::int32_t nodes[] = {2 * layout::kBlockSize, 8 * layout::kBlockSize};
    for (std::int32_t node : nodes) ASSERT_NE(file.readNode(node), nullptr);
    file.deferWrites();

    std::mt19937 random(5);
    std::int64_t end = static_cast<std::int64_t>(model.size());
    for (int step = 0; step < 2000; ++step) {
        const int kind = static_cast<int>(random() % 5);
        std::int64_t offset = 0;
        std::size_t length = 1 + random() % 700;
        if (kind == 0) {  // continues the file: gathers with the run before
            offset = end;
        } else if (kind == 1) {  // inside a cached node
            const std::int32_t node = nodes[random() % 2];
            length = std::min<std::size_t>(length, layout::kNodeSize);
            offset = node + static_cast<std::int64_t>(random() % (layout::kNodeSize - length + 1));
        } else {  // anywhere in the file so far, over runs and nodes alike
            offset = static_cast<std::int64_t>(random() % static_cast<std::uint64_t>(end));
        }
        if (kind == 4) {
            length = std::min<std::size_t>(length, static_cast<std::size_t>(end - offset));
            Bytes seen(length);
            ASSERT_TRUE(file.readAt(seen.data(), length, offset)) << step;
            ASSERT_TRUE(std::equal(seen.begin(), seen.end(), model.begin() + offset)) << step;
            continue;
        }
        Bytes bytes = pattern(length, static_cast<unsigned>(step) + 7);
        // Every other write goes as two pieces.
        if (step % 2 == 0) {
            ASSERT_TRUE(file.writeAt(bytes.data(), bytes.size(), offset)) << step;
        } else {
            const fs::WritePiece pieces[] = {{bytes.data(), length / 2},
                                             {bytes.data() + length / 2, length - length / 2}};
            ASSERT_TRUE(file.writeAtGathered(pieces, 2, offset)) << step;
        }
        const auto last = static_cast<std::size_t>(offset) + length;
        if (last > model.size()) model.resize(last, 0);
        std::copy(bytes.begin(), bytes.end(), model.begin() + offset);
        end = static_cast<std::int64_t>(model.size());
        ASSERT_EQ(file.size(), end);
    }
    ASSERT_EQ(file.flush(), 0);
    EXPECT_EQ(fileBytes(dir.file("held.bin")), model);
    EXPECT_TRUE(file.close());
    EXPECT_EQ(fileBytes(dir.file("held.bin")), model);
}

}  // namespace
}  // namespace keldrin::pbl::test
