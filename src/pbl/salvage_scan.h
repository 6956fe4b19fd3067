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
    // Walks the data chain from `first`, which must hold exactly `length` bytes (an
    // entry's data, or the library data), and copies them to `out` when it is given
    // (room for `length` bytes). False with `fault` set when the chain is not whole;
    // `owner` (the record or header field holding `first`) is where a fault before the
    // first block lies.
    bool readChain(std::int32_t first, std::int64_t length, std::int64_t owner, std::uint8_t* out,
                   ChainFault& fault);

  private:
    std::FILE* file_;
    std::int64_t size_;
    std::int64_t blockCount_;
    Bytes window_;
    std::int64_t windowStart_ = 0;
    std::int64_t windowBytes_ = 0;
    // The chain walk that last passed each block: a repeat within one walk is a loop.
    std::vector<std::uint32_t> stamps_;
    std::uint32_t walk_ = 0;
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

// A stored name (library width, terminator optional) as UTF-8, for reports.
std::string salvageDisplayName(bool unicode, ByteSpan stored);

}  // namespace keldrin::pbl
