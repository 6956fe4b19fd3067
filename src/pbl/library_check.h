// A structural check of a whole library file, apart from the library's own reader: it
// reads every structure the file holds and says what is wrong and where.
//
// It checks the header (at the start or through a trailer), the bitmap chain, every
// node (signature, parent link, record count, free bytes, first and last positions),
// the order of the names in the tree, every data chain of the entries and of the
// library data, and that the bitmap marks exactly the blocks in use.
//
// What PowerBuilder itself writes is correct by definition, so a finding is a problem
// only when it breaks reading or writing the library: a cycle, a block used twice, a
// block in use but marked free, a link out of the file, a size that does not match its
// chain, an entry without a data block (what is left of an entry whose data was never
// written), names out of order. What merely differs from how Keldrin writes (header words,
// entry versions, chains in no ascending order, a block marked in use that nothing
// uses) is a note.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "base/damage.h"

namespace keldrin::pbl {

struct CheckFinding {
    bool problem = false;  // breaks reading or writing; otherwise a note
    std::string kind;      // a short tag, e.g. "data-chain", "leaked-block"
    // One sentence for people, the file offset of the structure at fault (-1 for the
    // file), the UTF-8 name of the entry it belongs to (may be empty).
    Damage damage;
};

// Every finding in the library file at `path` (problems and notes, in file order of
// the walk); one problem when the file cannot be read.
std::vector<CheckFinding> checkLibrary(const std::u16string& path);
// The same over a file's bytes.
std::vector<CheckFinding> checkLibrary(ByteSpan bytes);

// "problem data-chain: block lacks DAT* at offset 4608 (entry 'd_x.srd')".
std::string describeFinding(const CheckFinding& finding);

}  // namespace keldrin::pbl
