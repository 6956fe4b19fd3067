// The entries of a library as its enumeration hands them out: the one collector of the
// tests, the fuzz targets and the benchmark. Header-only and free of GoogleTest, since
// the fuzz targets and the benchmark link neither the test helpers nor GoogleTest.
#pragma once

#include <cstddef>
#include <limits>
#include <vector>

#include "pbl/pbl_library.h"

namespace keldrin::test {

// Keeps every entry visited, in the order visited; asks the walk to stop after `limit`
// (a damaged library may claim more entries than a fuzz input should take time for).
class EntryCollector : public pbl::PblEntryVisitor {
  public:
    explicit EntryCollector(std::size_t limit = std::numeric_limits<std::size_t>::max())
        : limit_(limit) {}

    int visit(pbl::PblEntryInfo& info) override {
        entries.push_back(info);
        return entries.size() < limit_ ? 1 : 0;
    }

    std::vector<pbl::PblEntryInfo> entries;

  private:
    std::size_t limit_;
};

struct EntryList {
    int rc = pbl::kPblOk;  // what the walk answered
    std::vector<pbl::PblEntryInfo> entries;
};

inline EntryList listEntries(pbl::PblLibraryInterface& library,
                             std::size_t limit = std::numeric_limits<std::size_t>::max()) {
    EntryCollector collector(limit);
    EntryList list;
    list.rc = library.forEachEntry(collector);
    list.entries = std::move(collector.entries);
    return list;
}

}  // namespace keldrin::test
