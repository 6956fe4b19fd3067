// Reports in the platform-independent format, written by the tests' own hand rather
// than by anything in src/: signature string, then records (2: stream, 1: name,
// 0: storage), then the end marker.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/bytes.h"

namespace keldrin::test {

struct ReportStream {
    std::string path;  // "source", "object" or "dwstg/<name>"
    Bytes data;
};

// The streams in order; the storage record goes before the first one inside a storage.
Bytes portableReport(bool unicode, const std::vector<ReportStream>& streams);

struct LookupChild {
    std::string name;  // at most 41 bytes
    std::uint16_t number;
};
// An ANSI child DataWindow lookup: the count, then a 44-byte record per child (the
// zero-padded name, its number in the last two bytes).
Bytes ansiDwLookup(const std::vector<LookupChild>& children);

}  // namespace keldrin::test
