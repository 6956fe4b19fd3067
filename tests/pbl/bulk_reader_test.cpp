// The bulk reader: every entry handed out once, with the very bytes readEntryData gives,
// from a few window reads; chains that leave a window or are damaged go through the
// library's own reader, which says why.
#include "pbl/bulk_reader.h"

#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <string>
#include <vector>

#include "pbl/pbl_layout.h"
#include "pbl_test_util.h"

namespace keldrin::pbl::test {
namespace {

struct Served {
    int result = -1;
    Bytes data;
    int times = 0;
};

std::vector<PblEntryInfo> entriesOf(PblLibrary& lib) {
    Collector collector;
    EXPECT_EQ(lib.forEachEntry(collector), kPblOk);
    return collector.entries;
}

std::vector<Served> readAll(BulkReader& reader, const std::vector<PblEntryInfo>& entries) {
    std::vector<Served> served(entries.size());
    EXPECT_EQ(reader.read(entries,
                          [&](std::size_t index, int result, ByteSpan data) {
                              Served& s = served.at(index);
                              s.result = result;
                              s.data.assign(data.begin(), data.end());
                              ++s.times;
                              return true;
                          }),
              kPblOk);
    return served;
}

using BulkReaderTest = ManagerFixture;

TEST_F(BulkReaderTest, ServesEveryEntryAsReadEntryDataDoesFromFewReads) {
    PblLibraryHandle lib(create("many.pbl", 10));
    ASSERT_NE(lib, nullptr);
    // Sizes from empty to several windows' worth of blocks in one chain, some entries
    // rewritten larger so that their chains no longer run through adjacent blocks, and
    // one far larger than the smallest window.
    for (int i = 0; i < 600; ++i) {
        const std::size_t size = i % 50 == 0 ? 0 : static_cast<std::size_t>(i * 37 % 3000);
        ASSERT_EQ(putEntry(*lib, "e" + std::to_string(i), pattern(size, i), 0), kPblOk);
    }
    for (int i = 0; i < 600; i += 7)
        ASSERT_EQ(putEntry(*lib, "e" + std::to_string(i), pattern(4000 + i, i + 1000)), kPblOk);
    ASSERT_EQ(putEntry(*lib, "huge", pattern(3u << 20, 5)), kPblOk);
    auto* library = lib.get();
    const std::vector<PblEntryInfo> entries = entriesOf(*library);
    ASSERT_EQ(entries.size(), 601u);

    BulkReader reader(*library);
    const std::vector<Served> served = readAll(reader, entries);
    for (std::size_t i = 0; i < entries.size(); ++i) {
        SCOPED_TRACE(entries[i].name);
        Bytes expected(static_cast<std::size_t>(entries[i].dataSize) + 1);
        ASSERT_EQ(library->readEntryData(entries[i], expected.data()), kPblOk);
        expected.pop_back();
        EXPECT_EQ(served[i].times, 1);
        EXPECT_EQ(served[i].result, kPblOk);
        EXPECT_EQ(served[i].data, expected);
    }
    // Rewritten chains jump back to their old blocks; the rest lie in windows.
    EXPECT_LT(reader.windowReads(), 20);
    EXPECT_LT(reader.fallbacks(), 120);
}

TEST_F(BulkReaderTest, DamagedChainsReportTheLibrarysReasonAndTheRestIsRead) {
    Bytes base;
    buildDamageBase(*this, "base.pbl", base);
    // beta's only block (11) loses its signature; alpha's middle block (9) points out
    // of the file.
    Bytes damaged = base;
    damaged[std::size_t{11} * 512] = 'X';
    storeU32(damaged.data() + std::size_t{9} * 512 + 4, 0x7FFFFE00u);
    putFileBytes(dir.file("damaged.pbl"), damaged);

    PblLibraryHandle lib(open("damaged.pbl", false));
    ASSERT_NE(lib, nullptr);
    auto* library = lib.get();
    const std::vector<PblEntryInfo> entries = entriesOf(*library);
    ASSERT_EQ(entries.size(), 2u);
    std::map<std::string, std::string> reasons;
    BulkReader reader(*library);
    ASSERT_EQ(reader.read(entries,
                          [&](std::size_t index, int result, ByteSpan data) {
                              EXPECT_EQ(result, kPblDamaged);
                              EXPECT_TRUE(data.empty());
                              reasons[entries[index].name] = library->lastDamage().what;
                              return true;
                          }),
              kPblOk);
    EXPECT_EQ(reasons["alpha"], "data chain link leaves the file");
    EXPECT_EQ(reasons["beta"], "data block lacks its signature");

    // A record's size of 2 GB costs no buffer of that size: the library refuses it.
    std::vector<PblEntryInfo> oversized = entries;
    oversized[0].dataSize = INT32_MAX;
    ASSERT_EQ(reader.read(oversized,
                          [&](std::size_t index, int result, ByteSpan data) {
                              if (index == 0) {
                                  EXPECT_EQ(result, kPblDamaged);
                                  EXPECT_TRUE(data.empty());
                                  reasons["oversized"] = library->lastDamage().what;
                              }
                              return true;
                          }),
              kPblOk);
    EXPECT_EQ(reasons["oversized"], "data size exceeds what the file can hold");
}

TEST_F(BulkReaderTest, StopsWhenTheVisitorSaysSo) {
    PblLibraryHandle lib(create("stop.pbl", 6));
    ASSERT_NE(lib, nullptr);
    for (int i = 0; i < 10; ++i)
        ASSERT_EQ(putEntry(*lib, "e" + std::to_string(i), pattern(100, i)), kPblOk);
    auto* library = lib.get();
    BulkReader reader(*library);
    int visited = 0;
    EXPECT_EQ(
        reader.read(entriesOf(*library), [&](std::size_t, int, ByteSpan) { return ++visited < 3; }),
        kPblStopped);
    EXPECT_EQ(visited, 3);
}

}  // namespace
}  // namespace keldrin::pbl::test
