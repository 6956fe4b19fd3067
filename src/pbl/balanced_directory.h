// The directory of a new library written in one go, as a balanced tree of whole nodes:
// for the callers that fill a fresh library with entries they already know (the rebuild,
// the salvage), so that the result has the least depth its names allow.
#pragma once

#include <cstdint>
#include <vector>

#include "base/bytes.h"
#include "pbl/library.h"

namespace keldrin::pbl {

// The size of the record a stored name of `nameBytes` bytes (no terminator) takes.
inline int directoryRecordSize(const layout::Variant& v, std::size_t nameBytes) {
    return v.entryHeaderSize + static_cast<int>(nameBytes) + v.charSize;
}

// Lays `names` out as the directory of `target`, a library just created and still empty.
// The names are stored names in the target's width without terminator, in the
// directory's order (layout::compareNames), no two equal. `records` gets each name's
// record offset; the records carry no data yet (writeEntryData fills them), and their
// nodes are left in the file's node cache. kPblInvalidArgument when a name's record does
// not fit a node.
[[nodiscard]] int writeBalancedDirectory(PblLibrary& target, const std::vector<Bytes>& names,
                                         std::vector<std::int32_t>& records);

}  // namespace keldrin::pbl
