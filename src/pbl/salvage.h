// The salvage: everything that can still be read from a damaged library, written into a
// new, sound one, with a report of what was recovered and what was lost, and where.
//
// What comes over: every entry whose record and data chain are whole, with its name,
// comment, time and data byte for byte; the library comment and library data where they
// can be read; the library's variant and header version, creation time and header word.
// Entries are found by walking the directory as far as it holds, and by scanning every
// block of the file for directory nodes the walk did not reach (a broken link, a lost
// root, a split cut short by a crash). The damaged file is only ever read.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace keldrin::pbl {

// One entry carried into the new library.
struct SalvagedEntry {
    std::string name;              // UTF-8
    std::int64_t offset = -1;      // its record in the damaged file
    std::int32_t dataSize = 0;     // comment and body, bytes
    std::int32_t commentSize = 0;  // bytes
    std::int32_t time = 0;
    bool scanned = false;  // found by scanning the file, not through the directory
};

// Something the salvage lost (or may have lost), or damage that cost nothing.
struct SalvageFinding {
    // "entry", "record", "node", "link", "header", "comment", "library-data"
    std::string kind;
    std::int64_t offset = -1;  // where in the damaged file; -1 for the file as a whole
    std::string entry;         // UTF-8 name of the entry concerned, when known
    std::string detail;        // one sentence for people
};

struct SalvageReport {
    bool unicode = false;
    std::string headerVersion;             // the version digits the new library carries
    std::vector<SalvagedEntry> recovered;  // in the directory's name order
    std::vector<SalvageFinding> lost;      // in the order they were found
    std::vector<SalvageFinding> notes;     // damage that lost nothing
    bool commentRecovered = false;
    std::int32_t commentBytes = 0;  // the comment carried over, without terminator
    bool libraryDataRecovered = false;
    std::int32_t libraryDataBytes = 0;
};

// Reads the library file `source` (under a shared lock, waiting at most `lockWaitMs` for
// a writer) and writes what it can recover to `target`, under a temporary name beside it
// that takes the target's name, in one atomic step, only once it is complete and on
// disk. Returns 0 when `target` was written, whatever was lost (`report` says what);
// otherwise `target` and every other file are as they were:
//   kPblIoError          `source` cannot be opened or read
//   kPblBusy             another program held `source` for the whole wait
//   kPblDamaged          `source` holds neither a library header nor any directory node
//   kPblInvalidArgument  `target` is `source` itself, by whatever name
//   kPblWriteFailed      the new library cannot be made, written or put in place
[[nodiscard]] int salvageLibrary(const std::u16string& source, const std::u16string& target,
                                 int lockWaitMs, SalvageReport& report);

// "entry at offset 1056 ('alpha'): data chain loops back at offset 4608".
std::string describeSalvageFinding(const SalvageFinding& finding);

}  // namespace keldrin::pbl
