// A byte string laid out as the data blocks of the chain that will hold it: block i of the
// image is the chain's block i, its 10-byte header left for the writer to fill and up to
// 502 bytes of the string after it. A reader fills the spans between the headers (one
// scattered read), the library fills the headers and writes the blocks as they lie
// (PblLibrary::putEntry), so every byte is copied once into memory and once out, with no
// copy in between.
//
// The memory is kept from one string to the next and only grows: a converter that puts
// every stream through one image pays for its pages once. It is left uninitialised, since
// the reader overwrites every data byte and the writer every header and the last block's
// tail; what is never written is never read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "base/bytes.h"
#include "base/file.h"

namespace keldrin::pbl {

class ChainImage {
  public:
    // Room for a string of `length` bytes, in as many blocks as its chain takes (one for
    // an empty string). The caller vouches for `length`: it must be no more than what
    // its source really holds, since this allocates that much.
    void reset(std::size_t length);
    std::size_t length() const { return length_; }
    std::size_t blockCount() const { return blocks_; }
    // The first byte of block `index` (< blockCount()).
    std::uint8_t* block(std::size_t index) { return memory_.get() + index * kBlock; }
    // Where the string's bytes go, in order: each block's data span.
    const std::vector<fs::ReadPiece>& pieces() const { return pieces_; }
    // The string's leading bytes, up to one block's data.
    ByteSpan head() const;
    // Whether the string is exactly `bytes`.
    bool holds(ByteSpan bytes) const;
    // Lays `bytes` out into the image (reset to their length).
    void assign(ByteSpan bytes);

  private:
    static constexpr std::size_t kBlock = 512;
    static constexpr std::size_t kHeader = 10;
    static constexpr std::size_t kCapacity = kBlock - kHeader;

    std::unique_ptr<std::uint8_t[]> memory_;
    std::size_t capacity_ = 0;  // blocks the memory holds
    std::size_t blocks_ = 0;
    std::size_t length_ = 0;
    std::vector<fs::ReadPiece> pieces_;
};

}  // namespace keldrin::pbl
