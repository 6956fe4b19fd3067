// Timing probes for large libraries, run by hand:
//   build/tests/pbl_tests --gtest_also_run_disabled_tests --gtest_filter='*Perf*'
#include <gtest/gtest.h>

#include <chrono>
#include <iostream>
#include <random>

#include "pbl_test_util.h"

namespace keldrin::pbl::test {
namespace {

using Perf = ManagerFixture;

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

void insertMany(Perf& f, PblLibraryInterface& lib, int count, bool sorted) {
    std::mt19937 rng(7);
    const Bytes data = pattern(300, 1);
    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        char name[32];
        unsigned key = sorted ? static_cast<unsigned>(i) : static_cast<unsigned>(rng());
        std::snprintf(name, sizeof name, "d_%010u_%d.srd", key, i);
        ASSERT_EQ(putEntry(lib, name, data), kPblOk) << i;
    }
    std::cout << count << (sorted ? " sorted" : " random") << " inserts: " << seconds(start)
              << " s\n";
    start = std::chrono::steady_clock::now();
    Collector c;
    ASSERT_EQ(lib.forEachEntry(c), kPblOk);
    ASSERT_EQ(c.entries.size(), static_cast<std::size_t>(count));
    std::cout << "enumeration: " << seconds(start) << " s\n";
    (void)f;
}

TEST_F(Perf, DISABLED_FiftyThousandSortedInserts) {
    PblLibraryHandle lib(create("perf.pbl", 6));
    insertMany(*this, *lib, 50000, true);
    ASSERT_EQ(lib->flush(), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(check(dir.file("perf.pbl")), "");
    std::cout << "checker: " << seconds(start) << " s\n";
}

TEST_F(Perf, DISABLED_TwentyThousandRandomInsertsUnicode) {
    PblLibraryHandle lib(create("perf.pbl", 10));
    insertMany(*this, *lib, 20000, false);
    ASSERT_EQ(lib->flush(), 0);
    EXPECT_EQ(check(dir.file("perf.pbl")), "");
}

}  // namespace
}  // namespace keldrin::pbl::test
