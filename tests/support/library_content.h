// Everything a library holds, read back through the library's own operations, for tests
// that compare what was written with what was meant to be written.
#pragma once

#include <cstdint>
#include <map>
#include <string>

#include "base/bytes.h"

namespace keldrin::test {

struct LibraryEntry {
    Bytes data;
    std::int32_t commentSize = 0;
    std::int32_t time = 0;
};

struct LibraryContent {
    bool opened = false;
    bool unicode = false;
    int version = 0;
    std::map<std::string, LibraryEntry> entries;  // names in the ANSI code page
};

// Opens `path` read-only and reads every entry; `opened` is false when it is no library.
// Failed enumerations, reads and duplicate names are reported as test failures.
LibraryContent readLibraryContent(const std::u16string& path);

}  // namespace keldrin::test
