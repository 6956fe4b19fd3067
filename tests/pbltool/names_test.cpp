// Entry names through the real executable: two names are one entry only where the
// library takes them for one, in every command and every code page; a Unicode library's
// names never pass through the ANSI code page; export never writes two files that a
// case-insensitive file system would merge.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "support/pbl_tool_fixture.h"
#include "support/process_runner.h"
#include "support/report_writer.h"
#include "support/test_files.h"

namespace keldrin {
namespace {

namespace stdfs = std::filesystem;

Bytes nameBytes(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

class PblToolNamesTest : public test::PblToolProcessTest {
  protected:
    std::vector<std::string> withPage(const std::string& page, std::vector<std::string> args) {
        args.insert(args.begin(), {"--codepage", page});
        return args;
    }
    std::vector<std::string> fileNames(const std::string& directory) const {
        std::vector<std::string> names;
        for (const auto& entry : stdfs::directory_iterator(path(directory)))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

// Two characters of one double-byte code page whose trail bytes are 'A' and 'a'.
struct TrailPair {
    const char* page;
    std::string first, second;  // UTF-8 on the command line
};
const TrailPair kTrailPairs[] = {
    {"932", "\xE3\x82\xA2", "\xE3\x83\x82"},  // katakana A (83 41) and DI (83 61)
    {"936", "\xE4\xB8\x84", "\xE4\xB9\xA4"},  // U+4E04 (81 41) and U+4E64 (81 61)
};

TEST_F(PblToolNamesTest, PutKeepsNamesWhoseTrailBytesDifferOnlyInAsciiCase) {
    for (const TrailPair& p : kTrailPairs) {
        const std::string lib = newLibrary(std::string("put") + p.page + ".pbl", 6);
        const std::string a = p.first + ".srd";
        const std::string b = p.second + ".srd";
        ok(withPage(p.page, {"put", lib, a}), "first");
        ok(withPage(p.page, {"put", lib, b}), "second");
        EXPECT_EQ(ok(withPage(p.page, {"cat", lib, a})), "first") << p.page;
        EXPECT_EQ(ok(withPage(p.page, {"cat", lib, b})), "second") << p.page;
        EXPECT_EQ(ok(withPage(p.page, {"check", lib})), "0 problems, 0 notes\n") << p.page;
        // ASCII case still names the one entry, around a double-byte character too.
        ok(withPage(p.page, {"put", lib, "X" + a}), "x");
        ok(withPage(p.page, {"put", lib, "x" + a}), "x again");
        ok(withPage(p.page, {"rm", lib, b}));
        EXPECT_EQ(ok(withPage(p.page, {"ls", lib})).find(p.second), std::string::npos);
        EXPECT_EQ(ok(withPage(p.page, {"cat", lib, "X" + a})), "x again") << p.page;
        EXPECT_EQ(ok(withPage(p.page, {"cat", lib, a})), "first") << p.page;
        EXPECT_EQ(ok(withPage(p.page, {"check", lib})), "0 problems, 0 notes\n") << p.page;
    }
}

TEST_F(PblToolNamesTest, ImportOfTwoSuchFilesKeepsBoth) {
    for (const TrailPair& p : kTrailPairs) {
        const std::string page = p.page;
        // Each source is exported from a library of its own, then both go into one.
        std::vector<std::string> files;
        for (const std::string& name : {p.first, p.second}) {
            const std::string from = newLibrary(page + name + ".pbl", 6);
            ok(withPage(page, {"put", from, name + ".srd"}), "source of " + name + "\r\n");
            ok(withPage(page, {"export", from, path(page + name)}));
            files.push_back(path(page + name));
        }
        const std::string lib = newLibrary("import" + page + ".pbl", 6);
        test::ProcessResult r = runTool(withPage(page, {"import", lib, files[0], files[1]}), "");
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_NE(r.err.find("imported 2 sources"), std::string::npos) << r.err;
        for (const std::string& name : {p.first, p.second})
            EXPECT_EQ(ok(withPage(page, {"cat", lib, name + ".srd"})), "source of " + name + "\r\n")
                << page;
        EXPECT_EQ(ok(withPage(page, {"check", lib})), "0 problems, 0 notes\n");
    }
}

TEST_F(PblToolNamesTest, AddReportWritesChildrenThatOnlyTrailBytesTellApart) {
    // Katakana A and DI as the report stores them in code page 932.
    std::vector<test::ReportStream> s;
    s.push_back({"source", nameBytes("release 9;\r\ndatawindow(units=0)\r\n")});
    s.push_back({"object", nameBytes("PDW090 main object")});
    s.push_back({"dwstg/dwlookup", test::ansiDwLookup({{"\x83\x41", 3}, {"\x83\x61", 4}})});
    s.push_back({"dwstg/source_3", nameBytes("release 9;\r\n// A\r\n")});
    s.push_back({"dwstg/object_3", nameBytes("PDW090 A")});
    s.push_back({"dwstg/source_4", nameBytes("release 9;\r\n// DI\r\n")});
    s.push_back({"dwstg/object_4", nameBytes("PDW090 DI")});
    const Bytes file = test::portableReport(false, s);
    test::writeAll(path("r.psr"), std::string(file.begin(), file.end()));
    const std::string lib = newLibrary("l.pbl", 9);
    ok(withPage("932", {"add-report", lib, path("r.psr")}));
    EXPECT_EQ(ok(withPage("932", {"cat", lib, "\xE3\x82\xA2.dwo"})), "PDW090 A");
    EXPECT_EQ(ok(withPage("932", {"cat", lib, "\xE3\x83\x82.dwo"})), "PDW090 DI");
    EXPECT_EQ(ok(withPage("932", {"cat", lib, "\xE3\x83\x82.srd"})), "release 9;\r\n// DI\r\n");
    EXPECT_EQ(ok(withPage("932", {"check", lib})), "0 problems, 0 notes\n");
#if defined(KELDRIN_PATH)
    // The converter, in a locale whose code page is 932, writes the very same entries.
    test::ProcessSpec spec{.program = KELDRIN_PATH, .args = {path("r.psr"), "-p", path("c.pbl")}};
    spec.environment = {"LC_ALL=ja_JP"};
    spec.timeLimit = 60;
    ASSERT_EQ(test::runProcess(spec).exitCode, 0);
    EXPECT_EQ(runTool(withPage("932", {"diff", path("c.pbl"), lib}), "").exitCode, 0);
#endif
}

TEST_F(PblToolNamesTest, ExportNeverWritesTwoFilesThatACaseInsensitiveSystemMerges) {
    const std::string lib = newLibrary("u.pbl", 10);
    // Pairs whose two names differ only in case, outside ASCII and Latin-1's capitals.
    const std::vector<std::pair<std::string, std::string>> pairs = {
        {"\xC5\xA0", "\xC5\xA1"},  // S and s with caron
        {"\xC5\xB8", "\xC3\xBF"},  // Y and y with diaeresis
        {"\xD0\x94", "\xD0\xB4"},  // Cyrillic DE
        {"\xCE\xA9", "\xCF\x89"},  // Greek OMEGA
    };
    for (const auto& [upper, lower] : pairs) {
        ok({"put", lib, upper + ".srd"}, std::string("r\0;\0", 4));
        ok({"put", lib, lower + ".srd"}, std::string("r\0;\0", 4));
    }
    test::ProcessResult r = runTool({"export", lib, path("out"), "--encoding", "utf8"}, "");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const std::vector<std::string> names = fileNames("out");
    EXPECT_EQ(names.size(), 8u);
    for (const auto& [upper, lower] : pairs) {
        // One of the pair keeps its name, the other takes the next free one.
        const bool upperKept = std::count(names.begin(), names.end(), upper + ".srd") == 1;
        const bool lowerKept = std::count(names.begin(), names.end(), lower + ".srd") == 1;
        EXPECT_NE(upperKept, lowerKept) << upper;
        const std::string renamed = (upperKept ? lower : upper) + "~2.srd";
        EXPECT_EQ(std::count(names.begin(), names.end(), renamed), 1) << renamed;
        EXPECT_NE(r.err.find("exported as " + renamed), std::string::npos) << r.err;
    }
}

TEST_F(PblToolNamesTest, UnicodeNamesNeedNoCodePageToBeReached) {
    // The tool runs in the C locale, whose code page 1252 has no Cyrillic.
    const std::string lib = newLibrary("u.pbl", 10);
    const std::string name = "\xD0\xB4_a.srd";
    ok({"put", lib, name}, "de");
    EXPECT_EQ(ok({"cat", lib, name}), "de");
    EXPECT_EQ(ok({"cat", lib, "\xD0\xB4_A.SRD"}), "de");  // ASCII case still folds
    EXPECT_EQ(ok({"ls", lib}).substr(0, name.size() + 1), name + "\t");
    ok({"rebuild", lib, path("copy.pbl")});
    EXPECT_EQ(ok({"cat", path("copy.pbl"), name}), "de");
    ok({"rm", lib, name});
    EXPECT_EQ(ok({"ls", lib}), "");
    // An ANSI library still takes only what its code page carries, and changes nothing.
    const std::string ansi = newLibrary("a.pbl", 6);
    const std::string before = test::readAll(ansi);
    test::ProcessResult r = runTool({"put", ansi, name}, "de");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("cannot be written exactly in the ANSI code page"), std::string::npos)
        << r.err;
    EXPECT_EQ(test::readAll(ansi), before);
}

}  // namespace
}  // namespace keldrin
