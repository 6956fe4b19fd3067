// Block allocation over the library's chain of bitmap blocks ("FRE*", pbl_layout.h).
//
// Invariant: a block is marked in use exactly when one owner reaches it: the header
// area, a bitmap block, a node (six blocks) or a data chain. The allocator keeps one
// byte per block in memory (a free block is one memchr away), loads the chain lazily
// on the first allocation or release, hands out blocks first-fit from the start of the
// file, grows the chain when the file outgrows it, and writes back only the bitmap
// blocks that changed. It never writes the blocks it hands out: the caller does.
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include "pbl/block_file.h"
#include "pbl/pbl_result.h"

namespace keldrin::pbl {

class BitmapAllocator {
  public:
    // `reservedEnd`: blocks below this offset (header area, first bitmap block, root
    // node) belong to the library itself and are never freed.
    // Damage goes into `damage`, the library's own log.
    BitmapAllocator(BlockFile& file, DamageLog& damage, std::int32_t firstBitmapOffset,
                    std::int64_t reservedStart, std::int64_t reservedEnd, bool writable)
        : file_(file),
          damage_(damage),
          firstBitmapOffset_(firstBitmapOffset),
          reservedStart_(reservedStart),
          reservedEnd_(reservedEnd),
          writable_(writable) {}

    // Each returns a result code (0, 1 out of memory, 2 damaged chain, 7 read-only).
    [[nodiscard]] int load();
    [[nodiscard]] int grow(int count);
    // Appends the offsets of `count` new blocks to `list`; with `contiguous` the blocks
    // are adjacent.
    [[nodiscard]] int allocate(int count, std::vector<std::int32_t>& list, bool contiguous);
    // Marks free the blocks whose offsets stand in `list` from `first` on (`count` -1:
    // to the end). An offset that names no block of the bitmap, or one of the library's
    // own blocks, is damage (2) and nothing is freed.
    [[nodiscard]] int release(const std::vector<std::int32_t>& list, std::size_t first, int count);
    // Writes every changed bitmap block: 0, or 5 when a write fails.
    [[nodiscard]] int flush();
    // A check that runs before the first allocation after each load, and stops it
    // with its result unless that is 0 (the library makes sure that the bitmap marks
    // every block in use before it hands any out).
    void setAllocationGuard(std::function<int()> guard) {
        guard_ = std::move(guard);
        guardPassed_ = false;
    }
    // Forgets the in-memory state so the next use reads the file again.
    void unload() {
        guardPassed_ = false;
        loaded_ = false;
        flags_.clear();
        blocks_.clear();
    }

    bool loaded() const { return loaded_; }
    // In-memory state, for tests and the companion tool's statistics.
    const std::vector<std::uint8_t>& flags() const { return flags_; }
    std::size_t bitmapBlockCount() const { return blocks_.size(); }
    std::int32_t bitmapBlockOffset(std::size_t j) const { return blocks_[j].offset; }

  private:
    struct BitmapBlock {
        std::int32_t offset;
        bool changed;
    };

    bool isOwnBlock(std::int64_t block) const;
    void markChanged(std::size_t block) {
        blocks_[block / layout::kBlocksPerBitmap].changed = true;
    }

    BlockFile& file_;
    DamageLog& damage_;
    std::function<int()> guard_;
    bool guardPassed_ = false;
    std::int32_t firstBitmapOffset_;
    std::int64_t reservedStart_;
    std::int64_t reservedEnd_;
    bool writable_;
    bool loaded_ = false;
    std::vector<std::uint8_t> flags_;  // one byte per block, 1 = in use
    std::size_t lowestFree_ = 0;       // no free block lies below this index
    std::vector<BitmapBlock> blocks_;
};

}  // namespace keldrin::pbl
