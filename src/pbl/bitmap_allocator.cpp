#include "pbl/bitmap_allocator.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "pbl/pbl_result.h"

namespace keldrin::pbl {

using namespace layout;

int BitmapAllocator::load() {
    if (loaded_) return kPblOk;
    // A sound chain has one block per 4032 blocks the file spans (each later block sits
    // in the first block it covers, so the file reaches it); a longer chain loops or
    // lies, and would make us allocate for blocks that cannot exist.
    std::int64_t maxBlocks = file_.blockCount() / kBlocksPerBitmap + 1;
    std::vector<std::int32_t> chain;
    std::int32_t link = firstBitmapOffset_;
    // The signatures play no part in walking the chain; the links are what we trust,
    // and each is checked before it is followed.
    std::uint8_t block[kBlockSize];
    std::vector<std::uint8_t> flags;
    std::int64_t from = firstBitmapOffset_;  // what holds the link being followed
    try {
        while (link != kNoLink) {
            if (!file_.validLink(link, kBlockSize))
                return damage_.report("bitmap chain link leaves the file", from);
            if (static_cast<std::int64_t>(chain.size()) >= maxBlocks)
                return damage_.report("bitmap chain is longer than the file needs", link);
            if (!file_.readAt(block, sizeof block, link))
                return damage_.report("bitmap block cannot be read", link);
            chain.push_back(link);
            flags.resize(chain.size() * kBlocksPerBitmap);
            expandBitmapBits(block, flags.data() + (chain.size() - 1) * kBlocksPerBitmap);
            from = link;
            (void)decodeBitmapNext(block, link);  // `block` is a whole block
        }
        blocks_.clear();
        blocks_.reserve(chain.size() + 16);
        for (std::int32_t offset : chain) blocks_.push_back({offset, false});
    } catch (const std::bad_alloc&) {
        return kPblFailed;
    }
    flags_ = std::move(flags);
    lowestFree_ = 0;
    loaded_ = true;
    return kPblOk;
}

int BitmapAllocator::grow(int count) {
    if (!writable_) return kPblIoError;
    int rc = load();
    if (rc != kPblOk) return rc;
    std::size_t k0 = blocks_.size();
    // Offsets are 32-bit: a bitmap block past 2 GiB cannot be linked.
    if (static_cast<std::int64_t>(k0 + static_cast<std::size_t>(count)) * kBitmapSpanBytes >
        INT32_MAX) {
        return kPblFailed;
    }
    try {
        flags_.resize((k0 + static_cast<std::size_t>(count)) * kBlocksPerBitmap, 0);
        if (k0 > 0) blocks_[k0 - 1].changed = true;  // its next link changes
        for (std::size_t k = k0; k < k0 + static_cast<std::size_t>(count); ++k) {
            blocks_.push_back({static_cast<std::int32_t>(k * kBitmapSpanBytes), true});
            flags_[k * kBlocksPerBitmap] = 1;  // the bitmap block occupies its own block
        }
    } catch (const std::bad_alloc&) {
        return kPblFailed;
    }
    return kPblOk;
}

int BitmapAllocator::allocate(int count, std::vector<std::int32_t>& list, bool contiguous) {
    if (!writable_) return kPblIoError;
    int rc = load();
    if (rc != kPblOk) return rc;
    if (count <= 0) return kPblOk;
    if (guard_ && !guardPassed_) {
        rc = guard_();
        if (rc != kPblOk) return rc;
        guardPassed_ = true;
    }
    std::size_t base = list.size();
    list.resize(base + static_cast<std::size_t>(count));
    // Every block below lowestFree_ is in use, so starting there finds what a scan
    // from block 0 would find, without rescanning a long used prefix every time.
    std::size_t s = lowestFree_;
    bool firstSeen = false;
    int i = 0;
    while (i < count) {
        const std::uint8_t* begin = flags_.data();
        const void* hit =
            s < flags_.size() ? std::memchr(begin + s, 0, flags_.size() - s) : nullptr;
        if (hit == nullptr) {
            s = flags_.size();
            rc = grow(1);
            if (rc != kPblOk) {
                list.resize(base);
                return rc;
            }
            continue;
        }
        std::size_t b = static_cast<std::size_t>(static_cast<const std::uint8_t*>(hit) - begin);
        if (!firstSeen) {
            lowestFree_ = b;
            firstSeen = true;
        }
        if (contiguous && i == 0) {
            std::size_t n = static_cast<std::size_t>(count);
            if (b + n > flags_.size()) {
                s = flags_.size();
                continue;
            }
            bool clear = true;
            for (std::size_t k = b + 1; k < b + n; ++k) {
                if (flags_[k] != 0) {
                    clear = false;
                    break;
                }
            }
            if (!clear) {
                // Resume behind the whole window, not behind the used block inside it.
                s = b + n;
                continue;
            }
        }
        flags_[b] = 1;
        markChanged(b);
        list[base + static_cast<std::size_t>(i)] = static_cast<std::int32_t>(b * kBlockSize);
        s = b + 1;
        ++i;
    }
    return kPblOk;
}

bool BitmapAllocator::isOwnBlock(std::int64_t block) const {
    std::int64_t offset = block * kBlockSize;
    if (offset >= reservedStart_ && offset < reservedEnd_) return true;
    if (offset == firstBitmapOffset_) return true;
    for (const BitmapBlock& b : blocks_) {
        if (b.offset == offset) return true;
    }
    return false;
}

int BitmapAllocator::release(const std::vector<std::int32_t>& list, std::size_t first, int count) {
    if (!writable_) return kPblIoError;
    int rc = load();
    if (rc != kPblOk) return rc;
    if (first > list.size()) return kPblInvalidArgument;
    std::size_t n = count < 0 ? list.size() - first : static_cast<std::size_t>(count);
    if (n > list.size() - first) return kPblInvalidArgument;
    // Check every offset before changing anything, so damage frees nothing.
    for (std::size_t i = first; i < first + n; ++i) {
        std::int32_t o = list[i];
        if (o <= 0 || o % kBlockSize != 0)
            return damage_.report("block to free is not a block of the file", o);
        std::size_t b = static_cast<std::size_t>(o / kBlockSize);
        if (b >= flags_.size()) return damage_.report("block to free lies beyond the bitmap", o);
        if (isOwnBlock(static_cast<std::int64_t>(b)))
            return damage_.report("block to free is one the library keeps for itself", o);
    }
    for (std::size_t i = first; i < first + n; ++i) {
        std::size_t b = static_cast<std::size_t>(list[i] / kBlockSize);
        flags_[b] = 0;
        markChanged(b);
        lowestFree_ = std::min(lowestFree_, b);
    }
    return kPblOk;
}

int BitmapAllocator::flush() {
    if (!loaded_) return kPblOk;
    std::uint8_t block[kBlockSize];
    for (std::size_t j = 0; j < blocks_.size(); ++j) {
        if (!blocks_[j].changed) continue;
        std::int32_t next = j + 1 < blocks_.size() ? blocks_[j + 1].offset : kNoLink;
        encodeBitmapBlock(next, flags_.data() + j * kBlocksPerBitmap, block);
        if (!file_.writeAt(block, sizeof block, blocks_[j].offset)) return kPblWriteFailed;
        blocks_[j].changed = false;
    }
    return kPblOk;
}

}  // namespace keldrin::pbl
