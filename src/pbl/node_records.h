// Checked reading of one node's header and records (layout in pbl_layout.h). Every
// reader of nodes goes through here, so a position, count or length that a damaged
// file carries can never move a read outside the node.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "base/damage.h"
#include "pbl/pbl_layout.h"
#include "pbl/stored_text.h"

namespace keldrin::pbl {

struct RecordRef {
    int position = 0;  // start of the record in the data area
    layout::EntryRecordHeader header;
    const std::uint8_t* name = nullptr;  // inside the node image
    int nameBytes = 0;                   // without terminator
    int size() const { return nameBytesWithTerminator + entryHeaderSize; }
    int nameBytesWithTerminator = 0;
    int entryHeaderSize = 0;
};

// Checks the node's signature and header fields (free bytes in 0..3040, count not
// negative). False on damage, with `fault` (when given) saying what, its offset counted
// from the node's first byte.
bool decodeNodeHeader(ByteSpan node, layout::NodeHeader& header, Damage* fault = nullptr);

// Lists the node's records in stored order: `header.count` records packed from
// data-area byte 0, each with "ENT*", a name length of 1..16000, lying wholly inside
// the used part of the data area (3040 - free bytes). False on damage.
bool listRecords(const layout::Variant& v, ByteSpan node, const layout::NodeHeader& header,
                 std::vector<RecordRef>& out, Damage* fault = nullptr);

// The name whose position (offset from the node start) is `position`: its 16-bit
// length sits just before it. False when the length is 0 or above 16000 or the name
// does not lie inside the node.
bool nameAtPosition(ByteSpan node, int position, const std::uint8_t*& name,
                    int& nameBytesWithTerminator);

// A whole node held in memory (a cache entry or a copy), as a span.
inline ByteSpan nodeSpan(const std::uint8_t* node) {
    return ByteSpan(node, layout::kNodeSize);
}

}  // namespace keldrin::pbl
