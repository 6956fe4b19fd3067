// What a library says about itself: its variant and versions, where its header sits,
// when it was made, its comment, the length of its library data and how its blocks are
// used. The one reader of these facts for every caller (the companion tool's `info`,
// the rebuild's messages), so no caller keeps its own copy of the header's layout.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "pbl/library.h"

namespace keldrin::pbl {

struct LibraryFacts {
    bool unicode = false;
    std::string headerVersion;  // the header's version digits as stored, in UTF-8
    int version = 0;            // the version number the library recognised (5, 6, 10...)
    std::int32_t headerOffset = 0;
    bool hosted = false;  // inside a larger file, found through its trailer
    std::int32_t created = 0;
    std::u16string comment;
    std::int32_t libraryDataLength = 0;
    std::int64_t fileBlocks = 0;  // blocks from the header block to the end of the file
    std::int64_t blocksInUse = 0;
    std::int64_t blocksFree = 0;
    std::size_t bitmapBlocks = 0;  // blocks of the bitmap chain
};

// Fills `facts` from the open library: 0, or the code of the read that failed
// (kPblDamaged with lastDamage() saying where).
[[nodiscard]] int readLibraryFacts(PblLibrary& library, LibraryFacts& facts);

// Only the header's facts (variant, versions, offsets, creation time), without the
// comment, the library data or the bitmap: for a library that may be damaged elsewhere.
[[nodiscard]] int readHeaderFacts(PblLibrary& library, LibraryFacts& facts);

}  // namespace keldrin::pbl
