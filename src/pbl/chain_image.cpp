#include "pbl/chain_image.h"

#include <algorithm>
#include <cstring>

#include "pbl/pbl_layout.h"

namespace keldrin::pbl {

static_assert(layout::kBlockSize == 512 && layout::kDataHeaderSize == 10);

void ChainImage::reset(std::size_t length) {
    const std::size_t blocks = std::max<std::size_t>(1, (length + kCapacity - 1) / kCapacity);
    if (blocks > capacity_) {
        // The old memory goes first: the image never holds two strings' worth at once.
        memory_.reset();
        capacity_ = 0;
        memory_.reset(new std::uint8_t[blocks * kBlock]);
        capacity_ = blocks;
    }
    blocks_ = blocks;
    length_ = length;
    pieces_.clear();
    pieces_.reserve(blocks);
    for (std::size_t at = 0, index = 0; at < length; at += kCapacity, ++index)
        pieces_.push_back({block(index) + kHeader, std::min(kCapacity, length - at)});
}

ByteSpan ChainImage::head() const {
    if (pieces_.empty()) return {};
    return {static_cast<const std::uint8_t*>(pieces_[0].data), pieces_[0].size};
}

bool ChainImage::holds(ByteSpan bytes) const {
    if (bytes.size() != length_) return false;
    std::size_t at = 0;
    for (const fs::ReadPiece& piece : pieces_) {
        if (std::memcmp(piece.data, bytes.data() + at, piece.size) != 0) return false;
        at += piece.size;
    }
    return true;
}

void ChainImage::assign(ByteSpan bytes) {
    reset(bytes.size());
    std::size_t at = 0;
    for (const fs::ReadPiece& piece : pieces_) {
        std::memcpy(piece.data, bytes.data() + at, piece.size);
        at += piece.size;
    }
}

}  // namespace keldrin::pbl
