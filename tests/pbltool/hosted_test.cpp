// keldrin-pbl on libraries inside executables (read, rebuild out of them, refuse every
// change with a message that says what to do) and on entries with an empty name.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "base/file.h"
#include "base/text.h"
#include "pbltool/tool.h"
#include "support/corpus.h"
#include "support/library_fixture.h"
#include "support/pbl_checker.h"
#include "support/test_files.h"
#include "support/tool_in_process.h"

namespace keldrin {
namespace {

using test::asciiBytes;
using test::LibrarySpec;
using test::ScratchDir;

using test::ToolResult;

ToolResult runHostedTool(const std::vector<std::u16string>& args) {
    return test::runToolInProcess(args);
}

using test::linesOf;

// `ls` output with its lines in name order: a rebuild lays the directory out anew, so
// the enumeration order changes.
std::vector<std::string> sortedLines(const std::string& text) {
    std::vector<std::string> lines = linesOf(text);
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::vector<std::string> sortedNames(const std::filesystem::path& dir) {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

Bytes patternBytes(std::size_t size, unsigned seed) {
    Bytes b(size);
    for (std::size_t i = 0; i < size; ++i)
        b[i] = static_cast<std::uint8_t>((i * 131 + std::size_t{seed} * 7 + (i >> 8)) & 0xFF);
    return b;
}

std::string asText(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

// "blocks: N in library, U in use, F free": U + F must be N.
void expectSaneBlockLine(const std::string& line, std::int64_t libraryBlocks) {
    const std::string in = " in library, ", use = " in use, ", free = " free";
    const std::size_t a = line.find(in), b = line.find(use), c = line.rfind(free);
    ASSERT_TRUE(line.rfind("blocks: ", 0) == 0 && a != std::string::npos &&
                b != std::string::npos && c == line.size() - free.size())
        << line;
    const std::int64_t n = std::stoll(line.substr(8, a - 8));
    const std::int64_t used = std::stoll(line.substr(a + in.size(), b - a - in.size()));
    const std::int64_t unused = std::stoll(line.substr(b + use.size(), c - b - use.size()));
    EXPECT_EQ(n, libraryBlocks);
    EXPECT_GT(used, 0);
    EXPECT_EQ(used + unused, n) << line;
}

// Every changing command fails, says why and what to do, and leaves the file as it was.
void expectChangesRefused(const std::u16string& lib, const ScratchDir& dir) {
    const Bytes before = test::readWholeFile(lib);
    const std::vector<std::string> filesBefore = sortedNames(dir.path());
    const std::string shown = fs::toNativeName(lib);
    for (const std::vector<std::u16string>& args :
         {std::vector<std::u16string>{u"put", lib, u"new.srd", lib},
          std::vector<std::u16string>{u"rm", lib, u"anything"},
          std::vector<std::u16string>{u"comment", lib, u"new comment"},
          std::vector<std::u16string>{u"optimize", lib}}) {
        ToolResult r = runHostedTool(args);
        EXPECT_EQ(r.code, kPblToolFailed) << utf16ToUtf8(args[0]);
        EXPECT_NE(r.err.find(shown + ": the library sits inside an executable and is read-only"),
                  std::string::npos)
            << r.err;
        EXPECT_NE(r.err.find("keldrin-pbl rebuild " + shown + " OUT.pbl"), std::string::npos)
            << r.err;
        EXPECT_EQ(test::readWholeFile(lib), before) << utf16ToUtf8(args[0]);
        EXPECT_EQ(sortedNames(dir.path()), filesBefore) << utf16ToUtf8(args[0]);
    }
}

std::string variantName(const ::testing::TestParamInfo<int>& param) {
    return param.param >= 10 ? "Unicode" : "Ansi";
}

// ---- a generated host file ------------------------------------------------------------

class HostedTool : public ::testing::TestWithParam<int> {
  protected:
    void SetUp() override {
        LibrarySpec spec;
        spec.version = GetParam();
        spec.entries = {{"d_orders.srd", asciiBytes("release 6;\r\ndatawindow()"), 0, 1000000000},
                        {"w_main.srw", patternBytes(1500, 2), 0, 1100000000}};
        test::buildLibrary(dir.file("plain.pbl"), spec);
        host = test::hostLibrary(test::readWholeFile(dir.file("plain.pbl")), 5);
        ASSERT_FALSE(host.empty());
        lib = dir.file("app.exe");
        test::writeWholeFile(lib, host);
    }

    ScratchDir dir;
    Bytes host;
    std::u16string lib;
};

TEST_P(HostedTool, InfoCountsTheLibrarysBlocksAndSaysItIsReadOnly) {
    ToolResult r = runHostedTool({u"info", lib});
    ASSERT_EQ(r.code, kPblToolOk) << r.err;
    std::vector<std::string> lines = linesOf(r.out);
    ASSERT_EQ(lines.size(), 9u) << r.out;
    EXPECT_EQ(lines[6], "entries: 2");
    expectSaneBlockLine(lines[7], static_cast<std::int64_t>(host.size()) / 512 - 5);
    EXPECT_EQ(lines[8], "inside a larger file: header at byte 2560, read-only");

    ToolResult json = runHostedTool({u"info", lib, u"--json"});
    ASSERT_EQ(json.code, kPblToolOk) << json.err;
    EXPECT_NE(json.out.find("\"file_blocks\": " + std::to_string(host.size() / 512 - 5)),
              std::string::npos)
        << json.out;
    EXPECT_NE(json.out.find(", \"header_offset\": 2560}"), std::string::npos) << json.out;
}

TEST_P(HostedTool, ReadsExportsAndRebuilds) {
    ToolResult ls = runHostedTool({u"ls", lib});
    ASSERT_EQ(ls.code, kPblToolOk) << ls.err;
    EXPECT_EQ(linesOf(ls.out).size(), 2u);
    ToolResult cat = runHostedTool({u"cat", lib, u"w_main.srw"});
    ASSERT_EQ(cat.code, kPblToolOk) << cat.err;
    EXPECT_EQ(cat.out, asText(patternBytes(1500, 2)));

    ToolResult exported = runHostedTool({u"export", lib, dir.file("out"), u"--all"});
    ASSERT_EQ(exported.code, kPblToolOk) << exported.err;
    EXPECT_EQ(sortedNames(dir.path() / "out").size(), 2u);

    ToolResult rebuilt = runHostedTool({u"rebuild", lib, dir.file("rebuilt.pbl")});
    ASSERT_EQ(rebuilt.code, kPblToolOk) << rebuilt.err;
    EXPECT_EQ(checks::checkLibraryStructure(dir.file("rebuilt.pbl")), "");
    ToolResult again = runHostedTool({u"cat", dir.file("rebuilt.pbl"), u"w_main.srw"});
    EXPECT_EQ(again.out, cat.out);
    ToolResult info = runHostedTool({u"info", dir.file("rebuilt.pbl")});
    EXPECT_EQ(linesOf(info.out).size(), 8u) << info.out;
    EXPECT_EQ(test::readWholeFile(lib), host);
}

TEST_P(HostedTool, RefusesEveryChange) {
    expectChangesRefused(lib, dir);
    // Reading the comment is no change.
    EXPECT_EQ(runHostedTool({u"comment", lib}).code, kPblToolOk);
}

INSTANTIATE_TEST_SUITE_P(Variants, HostedTool, ::testing::Values(6, 10), variantName);

// ---- the real executables -------------------------------------------------------------

TEST(HostedToolCorpus, EveryExecutableReadsRebuildsAndRefusesChanges) {
    std::optional<std::filesystem::path> corpus = test::corpusDirOrSkip();
    if (!corpus) GTEST_SKIP() << "no corpus";
    std::vector<test::ManifestRow> rows = test::corpusHostedLibraries(*corpus);
    if (rows.empty()) GTEST_SKIP() << "no executables in the corpus";
    int n = 0;
    for (const test::ManifestRow& row : rows) {
        SCOPED_TRACE(row.file);
        ScratchDir dir;
        const Bytes original =
            test::readWholeFile(test::widePath(*corpus / std::filesystem::u8path(row.file)));
        ASSERT_FALSE(original.empty());
        std::u16string lib = dir.file("copy" + std::to_string(n++) + ".exe");
        test::writeWholeFile(lib, original);

        ToolResult info = runHostedTool({u"info", lib});
        ASSERT_EQ(info.code, kPblToolOk) << info.err;
        std::vector<std::string> lines = linesOf(info.out);
        ASSERT_EQ(lines.size(), 9u) << info.out;
        const std::size_t at = lines[8].find("header at byte ");
        ASSERT_NE(at, std::string::npos);
        const std::int64_t header = std::stoll(lines[8].substr(at + 15));
        expectSaneBlockLine(lines[7], (static_cast<std::int64_t>(original.size()) - header) / 512);

        ToolResult ls = runHostedTool({u"ls", lib});
        ASSERT_EQ(ls.code, kPblToolOk) << ls.err;
        std::vector<std::string> entries = linesOf(ls.out);
        ASSERT_FALSE(entries.empty());
        const std::string firstName = entries[0].substr(0, entries[0].find('\t'));
        ToolResult cat = runHostedTool({u"cat", lib, utf8ToUtf16(firstName)});
        EXPECT_EQ(cat.code, kPblToolOk) << cat.err;

        ToolResult exported = runHostedTool({u"export", lib, dir.file("out")});
        EXPECT_EQ(exported.code, kPblToolOk) << exported.err;

        std::u16string rebuilt = dir.file("rebuilt.pbl");
        ToolResult r = runHostedTool({u"rebuild", lib, rebuilt});
        ASSERT_EQ(r.code, kPblToolOk) << r.err;
        EXPECT_EQ(checks::checkLibraryStructure(rebuilt), "");
        EXPECT_EQ(sortedLines(runHostedTool({u"ls", rebuilt}).out), sortedLines(ls.out));
        EXPECT_EQ(runHostedTool({u"cat", rebuilt, utf8ToUtf16(firstName)}).out, cat.out);

        expectChangesRefused(lib, dir);
        EXPECT_EQ(test::readWholeFile(lib), original);
    }
}

// ---- an entry with an empty name ------------------------------------------------------

class EmptyNameTool : public ::testing::TestWithParam<int> {
  protected:
    void SetUp() override {
        LibrarySpec spec;
        spec.version = GetParam();
        spec.entries = {{"b.srd", asciiBytes("bee"), 0, 1000},
                        {"a.srd", asciiBytes("ay"), 0, 2000},
                        {"victim", asciiBytes("nameless body"), 0, 3000}};
        lib = dir.file("e.pbl");
        test::buildLibrary(lib, spec);
        ASSERT_TRUE(test::makeEntryNameEmpty(lib, "victim"));
        ASSERT_EQ(checks::checkLibraryStructure(lib), "");
    }

    ScratchDir dir;
    std::u16string lib;
};

TEST_P(EmptyNameTool, CatAndRmAddressItByAnExplicitEmptyName) {
    ToolResult cat = runHostedTool({u"cat", lib, u""});
    ASSERT_EQ(cat.code, kPblToolOk) << cat.err;
    EXPECT_EQ(cat.out, "nameless body");

    ToolResult rm = runHostedTool({u"rm", lib, u""});
    ASSERT_EQ(rm.code, kPblToolOk) << rm.err;
    EXPECT_EQ(checks::checkLibraryStructure(lib), "");
    EXPECT_EQ(linesOf(runHostedTool({u"ls", lib}).out).size(), 2u);

    ToolResult gone = runHostedTool({u"cat", lib, u""});
    EXPECT_EQ(gone.code, kPblToolFailed);
    EXPECT_NE(gone.err.find("no such entry"), std::string::npos) << gone.err;
    ToolResult rmAgain = runHostedTool({u"rm", lib, u""});
    EXPECT_EQ(rmAgain.code, kPblToolFailed);
    EXPECT_NE(rmAgain.err.find("no such entry"), std::string::npos) << rmAgain.err;
}

TEST_P(EmptyNameTool, PutNeverCreatesOne) {
    const Bytes before = test::readWholeFile(lib);
    ToolResult put = runHostedTool({u"put", lib, u"", lib});
    EXPECT_EQ(put.code, kPblToolUsage);
    EXPECT_EQ(test::readWholeFile(lib), before);
}

TEST_P(EmptyNameTool, RebuildAndOptimizeCarryIt) {
    ToolResult rebuilt = runHostedTool({u"rebuild", lib, dir.file("r.pbl")});
    ASSERT_EQ(rebuilt.code, kPblToolOk) << rebuilt.err;
    EXPECT_EQ(checks::checkLibraryStructure(dir.file("r.pbl")), "");
    EXPECT_EQ(runHostedTool({u"cat", dir.file("r.pbl"), u""}).out, "nameless body");
    EXPECT_EQ(sortedLines(runHostedTool({u"ls", dir.file("r.pbl")}).out),
              sortedLines(runHostedTool({u"ls", lib}).out));

    ToolResult optimized = runHostedTool({u"optimize", lib});
    ASSERT_EQ(optimized.code, kPblToolOk) << optimized.err;
    EXPECT_EQ(checks::checkLibraryStructure(lib), "");
    EXPECT_EQ(runHostedTool({u"cat", lib, u""}).out, "nameless body");
    EXPECT_EQ(linesOf(runHostedTool({u"ls", lib}).out).size(), 3u);
}

INSTANTIATE_TEST_SUITE_P(Variants, EmptyNameTool, ::testing::Values(6, 10), variantName);

}  // namespace
}  // namespace keldrin
