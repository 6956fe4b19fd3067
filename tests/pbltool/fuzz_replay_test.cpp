// Replays every input committed under tests/fuzz/regressions/<target>/ (each one a crash,
// hang or out-of-memory a fuzz target once found) through that target's own entry
// function, in the normal test run and without the fuzzer. The targets' sources are
// compiled in here, each entry function under a name of its own. The seed fixtures go
// through every target too, so a target that broke shows here and not first in CI's
// fuzzing step.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <vector>

// Each target is compiled here under its own entry name, so the regression inputs replay
// in the ordinary test run.
// NOLINTBEGIN(bugprone-suspicious-include)
#define KELDRIN_FUZZ_ENTRY replayPsr
#include "fuzz/fuzz_psr.cpp"
#undef KELDRIN_FUZZ_ENTRY
#define KELDRIN_FUZZ_ENTRY replayPblRead
#include "fuzz/fuzz_pbl_read.cpp"
#undef KELDRIN_FUZZ_ENTRY
#define KELDRIN_FUZZ_ENTRY replayPblMutate
#include "fuzz/fuzz_pbl_mutate.cpp"
#undef KELDRIN_FUZZ_ENTRY
#define KELDRIN_FUZZ_ENTRY replaySalvage
#include "fuzz/fuzz_salvage.cpp"
#undef KELDRIN_FUZZ_ENTRY
#define KELDRIN_FUZZ_ENTRY replayJournal
#include "fuzz/fuzz_journal.cpp"
#undef KELDRIN_FUZZ_ENTRY
#define KELDRIN_FUZZ_ENTRY replayExport
#include "fuzz/fuzz_entry_text_reader.cpp"
#undef KELDRIN_FUZZ_ENTRY
#define KELDRIN_FUZZ_ENTRY replayExportFile
#include "fuzz/fuzz_export_file.cpp"
#undef KELDRIN_FUZZ_ENTRY
#define KELDRIN_FUZZ_ENTRY replayBinarySection
#include "fuzz/fuzz_binary_section.cpp"
#undef KELDRIN_FUZZ_ENTRY
#define KELDRIN_FUZZ_ENTRY replayDwSource
#include "fuzz/fuzz_dw_source.cpp"
#undef KELDRIN_FUZZ_ENTRY
#define KELDRIN_FUZZ_ENTRY replayReportData
#include "fuzz/fuzz_report_data.cpp"
#undef KELDRIN_FUZZ_ENTRY
#define KELDRIN_FUZZ_ENTRY replayTool
#include "fuzz/fuzz_tool.cpp"
#undef KELDRIN_FUZZ_ENTRY
// NOLINTEND(bugprone-suspicious-include)

namespace keldrin {
namespace {

namespace stdfs = std::filesystem;

using Entry = int (*)(const std::uint8_t*, std::size_t);

struct Target {
    const char* name;
    Entry entry;
};

void PrintTo(const Target& t, std::ostream* os) {
    *os << t.name;
}

const Target kTargets[] = {
    {"fuzz_psr", replayPsr},
    {"fuzz_pbl_read", replayPblRead},
    {"fuzz_pbl_mutate", replayPblMutate},
    {"fuzz_salvage", replaySalvage},
    {"fuzz_journal", replayJournal},
    {"fuzz_entry_text_reader", replayExport},
    {"fuzz_export_file", replayExportFile},
    {"fuzz_binary_section", replayBinarySection},
    {"fuzz_dw_source", replayDwSource},
    {"fuzz_report_data", replayReportData},
    {"fuzz_tool", replayTool},
};

std::vector<std::uint8_t> readInput(const stdfs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), {});
}

std::vector<stdfs::path> filesIn(const stdfs::path& dir) {
    std::vector<stdfs::path> files;
    std::error_code ec;
    if (!stdfs::is_directory(dir, ec)) return files;
    for (const auto& e : stdfs::directory_iterator(dir))
        if (e.is_regular_file()) files.push_back(e.path());
    std::sort(files.begin(), files.end());
    return files;
}

class FuzzReplayTest : public testing::TestWithParam<Target> {
  protected:
    static void TearDownTestSuite() {
        std::error_code ec;
        stdfs::remove_all(fuzz::workDirectory(), ec);
    }
    // A target's entry function aborts the process on a finding, so a test that comes
    // back has passed; the count shows that the inputs were really there.
    static std::size_t replay(Entry entry, const std::vector<stdfs::path>& files) {
        for (const stdfs::path& file : files) {
            SCOPED_TRACE(file.string());
            std::vector<std::uint8_t> bytes = readInput(file);
            EXPECT_EQ(entry(bytes.data(), bytes.size()), 0);
        }
        return files.size();
    }
};

TEST_P(FuzzReplayTest, RegressionInputs) {
    const Target& t = GetParam();
    stdfs::path dir = stdfs::path(KELDRIN_SOURCE_DIR) / "tests" / "fuzz" / "regressions" / t.name;
    replay(t.entry, filesIn(dir));
}

TEST_P(FuzzReplayTest, FixturesAndEdgeInputs) {
    const Target& t = GetParam();
    std::vector<stdfs::path> files = filesIn(stdfs::path(KELDRIN_FIXTURES_DIR) / "psr");
    EXPECT_GE(replay(t.entry, files), 1u);
    // Nothing, one byte, and a block of zeros: every target takes them.
    const std::uint8_t one = 0xD0;
    const std::vector<std::uint8_t> zeros(1024, 0);
    EXPECT_EQ(t.entry(nullptr, 0), 0);
    EXPECT_EQ(t.entry(&one, 1), 0);
    EXPECT_EQ(t.entry(zeros.data(), zeros.size()), 0);
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzReplayTest, testing::ValuesIn(kTargets),
                         [](const testing::TestParamInfo<Target>& p) {
                             return std::string(p.param.name);
                         });

}  // namespace
}  // namespace keldrin
