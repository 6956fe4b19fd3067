// The reading half of the salvage (salvage.h): what a damaged library file still holds,
// found without trusting any of it. The writing half is in salvage.cpp.
//
// The file is read through checked positioned reads only; every value it carries is
// checked before it becomes an offset, a length or a bound. The directory walk keeps a
// set of the nodes it met, so a link that loops costs one visit; every data chain walk
// is capped at the file's block count and stamps the blocks it passes, so a chain that
// loops is found at its first repeated block. Nothing is allocated that the file could
// not hold: a buffer for an entry's data is sized only after its chain was found to
// hold exactly that many bytes.
#pragma once

#include <cstdint>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "pbl/pbl_layout.h"
#include "pbl/pbl_result.h"
#include "pbl/salvage.h"

namespace keldrin::pbl {

// Where a data chain fails: what is wrong, and the offset of the block (or record) at
// fault.
struct ChainFault {
    const char* reason = "";
    std::int64_t offset = -1;
};

// The damaged file, read only.
class SalvageSource {
  public:
    SalvageSource(std::FILE* file, std::int64_t size);

    std::int64_t size() const { return size_; }
    // False when [offset, offset + length) does not lie inside the file or cannot be read.
    bool read(std::int64_t offset, std::uint8_t* buffer, std::size_t length);
    // The whole block at `offset` (a multiple of the block size), from a window of blocks
    // read ahead; nullptr when it does not lie whole inside the file or cannot be read.
    // Valid until the next call.
    const std::uint8_t* block(std::int64_t offset);
    // Whether the data chain from `first` is whole and holds exactly `length` bytes (an
    // entry's data, or the library data): every block carries its signature and a used
    // count within its capacity, no link leaves the file or loops. False with `fault`
    // set otherwise; `owner` (the record or header field holding `first`) is where a
    // fault before the first block lies. What a walk learns about each block (the bytes
    // from there to the chain's end, or why no chain through it is whole) is kept, so
    // a block is read once however many records lead into its chain: the checks of all
    // records together cost one pass over the file's blocks.
    bool chainHolds(std::int32_t first, std::int64_t length, std::int64_t owner, ChainFault& fault);
    // Marks the blocks of the chain from `first`, one chainHolds found whole, as held by
    // `holder` (nonzero). 0 when no other holder had any of them; otherwise the holder of
    // the first block another had, whose offset goes to `shared` (the marking stops
    // there). Chains that share blocks cannot both be right.
    std::uint32_t claimChain(std::int32_t first, std::uint32_t holder, std::int64_t& shared);
    // Copies the data of a chain chainHolds found whole, `length` bytes, to `out`.
    // False when a block cannot be read again.
    bool readChain(std::int32_t first, std::int64_t length, std::uint8_t* out);

  private:
    std::FILE* file_;
    std::int64_t size_;
    std::int64_t blockCount_;
    // Sizes the per-block tables on first use.
    void prepareBlocks();

    Bytes window_;
    std::int64_t windowStart_ = 0;
    std::int64_t windowBytes_ = 0;
    // Per block: the bytes its chain holds from there to the end, or one of the marks
    // below; the block's next link where those bytes are known; who holds it.
    std::vector<std::int64_t> tail_;
    std::vector<std::int32_t> next_;
    std::vector<std::uint32_t> holder_;
    std::map<std::int64_t, ChainFault> failed_;  // why no chain through a block is whole
};

// One entry found sound: its record whole, its chain holding exactly its data size.
struct FoundEntry {
    Bytes name;               // as stored, without terminator
    std::int32_t record = 0;  // offset of its record in the damaged file
    layout::EntryRecordHeader header;
    bool scanned = false;
};

// What the new library is to hold.
struct SalvagePlan {
    bool unicode = false;
    int createVersion = layout::kCurrentAnsiVersion;  // what the new library is created as
    bool headerFound = false;
    // The header's version field, to be carried over as stored; empty: the new library's.
    Bytes headerVersion;
    std::int32_t created = 0;
    std::uint16_t headerWord = 0;
    bool comment = false;
    Bytes commentText;  // library width, without terminator
    std::int32_t libraryDataFirst = layout::kNoLink;
    std::int32_t libraryDataLength = 0;  // 0: none to carry over
    std::vector<FoundEntry> entries;     // one per name, in the directory's order
};

// Finds everything `source` still holds: fills `plan`, and `report` with what was found
// lost and the damage that lost nothing. kPblDamaged when the file holds neither a
// library header nor any directory node with a record (it is no library at all). A read
// that fails counts as damage where it was tried.
[[nodiscard]] int planSalvage(SalvageSource& source, SalvagePlan& plan, SalvageReport& report);

}  // namespace keldrin::pbl
