#include "pbl/bulk_reader.h"

#include <algorithm>
#include <cstring>
#include <numeric>

#include "pbl/library.h"

namespace keldrin::pbl {

using layout::DataBlockHeader;
using layout::dataBlocksFor;
using layout::kBlockSize;
using layout::kDataCapacity;
using layout::kDataHeaderSize;
using layout::kDataSignature;
using layout::kNoLink;

namespace {
// The bytes a chain of `dataSize` bytes spans when its blocks lie next to each other.
std::int64_t chainBytes(std::int64_t dataSize) {
    return std::max<std::int64_t>(1, dataBlocksFor(dataSize)) * kBlockSize;
}
}  // namespace

int BulkReader::read(const std::vector<PblEntryInfo>& entries, const Visit& visit) {
    std::vector<std::size_t> order(entries.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return entries[a].firstBlock < entries[b].firstBlock;
    });
    // Twice the largest chain: a window then holds that chain wherever it starts, and
    // memory stays in proportion to what a single read needs anyway.
    std::int64_t largest = 0;
    for (const PblEntryInfo& info : entries)
        if (info.dataSize > 0 && info.dataSize <= library_.maxDataBytes())
            largest = std::max(largest, chainBytes(info.dataSize));
    windowLimit_ = std::clamp(2 * largest, kMinWindowBytes, kMaxWindowBytes);

    for (std::size_t index : order) {
        const PblEntryInfo& info = entries[index];
        int rc = kPblOk;
        if (!fromWindow(info)) {
            ++fallbacks_;
            // A size no chain of this file can hold is refused by the library's reader
            // before it writes a byte: it gets no buffer of that size.
            const bool plausible = info.dataSize >= 0 && info.dataSize <= library_.maxDataBytes();
            data_.resize(plausible ? static_cast<std::size_t>(info.dataSize) : 0);
            data_.reserve(1);
            rc = library_.readEntryData(info, data_.data());
        }
        const ByteSpan data = rc == kPblOk ? ByteSpan(data_) : ByteSpan();
        if (!visit(index, rc, data)) return kPblStopped;
    }
    return kPblOk;
}

bool BulkReader::fillWindow(std::int64_t offset, std::int64_t wanted) {
    BlockFile& file = library_.file();
    // Whole blocks only: a file cut inside a block leaves a partial block at its end,
    // and no part of that block is data.
    std::int64_t length = std::min(std::max(wanted, windowLimit_), file.size() - offset);
    length -= length % kBlockSize;
    if (length < wanted) return false;
    if (window_.size() < static_cast<std::size_t>(length))
        window_.resize(static_cast<std::size_t>(length));
    ++windowReads_;
    windowBytes_ = 0;
    if (!file.readAt(window_.data(), static_cast<std::size_t>(length), offset)) return false;
    windowStart_ = offset;
    windowBytes_ = length;
    return true;
}

bool BulkReader::fromWindow(const PblEntryInfo& info) {
    BlockFile& file = library_.file();
    const std::int64_t length = info.dataSize;
    const std::int32_t first = info.firstBlock;
    if (length < 0 || length > library_.maxDataBytes()) return false;
    if (!file.validLink(first, kBlockSize)) return false;
    const std::int64_t span = chainBytes(length);
    if (span > windowLimit_) return false;
    const bool covered = first >= windowStart_ && first - windowStart_ < windowBytes_ &&
                         span <= windowBytes_ - (first - windowStart_);
    if (!covered && !fillWindow(first, span)) return false;

    data_.resize(static_cast<std::size_t>(length));
    std::int64_t copied = 0;
    // A sound chain visits each block of the window at most once.
    std::int64_t steps = windowBytes_ / kBlockSize;
    for (std::int64_t link = first; link != kNoLink;) {
        // The whole block must lie in the window, not merely its start.
        if (steps-- <= 0 || link % kBlockSize != 0 || link < windowStart_ ||
            link - windowStart_ > windowBytes_ - kBlockSize)
            return false;
        const ByteSpan block = ByteSpan(window_).subspan(
            static_cast<std::size_t>(link - windowStart_), static_cast<std::size_t>(kBlockSize));
        DataBlockHeader h;
        if (!layout::hasSignature(block, kDataSignature) || !DataBlockHeader::decode(block, h))
            return false;
        if (h.used > kDataCapacity || h.used > length - copied) return false;
        if (h.used > 0) std::memcpy(data_.data() + copied, block.data() + kDataHeaderSize, h.used);
        copied += h.used;
        link = h.next;
    }
    return copied == length;
}

}  // namespace keldrin::pbl
