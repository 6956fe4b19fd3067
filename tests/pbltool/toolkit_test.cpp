// keldrin-pbl's everyday toolkit through the real executable: diff, grep, ls filters and
// order, cat --text, libdata, the global --codepage, report and add-report. Damaged
// libraries and reports must be named, never crash, and change nothing.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <optional>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "base/bytes.h"
#include "support/corpus.h"
#include "support/pbl_tool_fixture.h"
#include "support/process_runner.h"
#include "support/report_writer.h"
#include "support/test_files.h"

namespace keldrin {
namespace {

namespace stdfs = std::filesystem;

Bytes bytesOf(const std::string& text) {
    return Bytes(text.begin(), text.end());
}

std::string utf16le(const std::u16string& text) {
    std::string out;
    appendUtf16Le(out, text);
    return out;
}

class PblToolkitTest : public test::PblToolProcessTest {
  protected:
    struct Result {
        int exitCode = -1;
        std::string out;
        std::string err;
    };

    Result run(const std::vector<std::string>& args, const std::string& input = std::string()) {
        test::ProcessResult p = runTool(args, input);
        EXPECT_EQ(p.signal, 0) << args[0];
        return {p.exitCode, std::move(p.out), std::move(p.err)};
    }
    // An ANSI report with one child DataWindow, written by the tests' own hand.
    std::string newReport(const std::string& name, const std::string& digits,
                          const std::string& child) {
        std::vector<test::ReportStream> s;
        s.push_back({"source", bytesOf("release 9;\r\ndatawindow(units=0)\r\n")});
        s.push_back({"object", bytesOf("PDW" + digits + " main object")});
        s.push_back({"dwstg/dwlookup", test::ansiDwLookup({{child, 3}})});
        s.push_back({"dwstg/source_3", bytesOf("release 9;\r\n// child\r\n")});
        s.push_back({"dwstg/object_3", bytesOf("PDW" + digits + " child object")});
        Bytes file = test::portableReport(false, s);
        test::writeAll(path(name), std::string(file.begin(), file.end()));
        return path(name);
    }
    // Overwrites the signature of the first data block that holds `marker`.
    void damageDataOf(const std::string& lib, const std::string& marker) {
        std::string bytes = test::readAll(lib);
        std::size_t at = bytes.find(marker);
        ASSERT_NE(at, std::string::npos);
        std::size_t block = bytes.rfind("DAT*", at);
        ASSERT_NE(block, std::string::npos);
        bytes.replace(block, 4, "XXXX");
        test::writeAll(lib, bytes);
    }
};

// ---------------------------------------------------------------------------------------
// diff

TEST_F(PblToolkitTest, DiffSortsEntriesIntoOnlyInEachChangedAndSameWithDiffsExitStatus) {
    std::string a = newLibrary("a.pbl", 6);
    std::string b = newLibrary("b.pbl", 6);
    ok({"put", a, "gone.srw"}, "old\r\n");
    ok({"put", b, "new.srw"}, "new\r\n");
    ok({"put", a, "same.srf"}, "x\r\n");
    ok({"put", b, "SAME.srf"}, "x\r\n");  // the library pairs names without ASCII case
    ok({"put", a, "note.srs", "--comment", "one"}, "s\r\n");
    ok({"put", b, "note.srs", "--comment", "two"}, "s\r\n");
    ok({"put", a, "w.srw"}, "a\r\nb\r\nc\r\nd\r\ne\r\nf\r\ng\r\nh\r\ni\r\n");
    ok({"put", b, "w.srw"}, "a\r\nB\r\nc\r\nd\r\ne\r\nf\r\ng\r\nh\r\ni\r\nj");
    ok({"put", a, "w.win"}, std::string("\x01\x02", 2));
    ok({"put", b, "w.win"}, std::string("\x01\x03", 2));

    Result r = run({"diff", a, b});
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(r.out,
              "only-a\tgone.srw\n"
              "only-b\tnew.srw\n"
              "changed\tnote.srs\tcomment\n"
              "changed\tw.srw\tdata\n"
              "changed\tw.win\tdata\n");
    EXPECT_NE(ok({"diff", a, a, "--all"}).find("same\tsame.srf\n"), std::string::npos);
    EXPECT_EQ(run({"diff", a, a}).exitCode, 0);

    // The unified diff: a changed line with its context, and a last line without newline.
    Result text = run({"diff", a, b, "--text"});
    EXPECT_NE(text.out.find("changed\tw.srw\tdata\n"
                            "--- a/w.srw\n+++ b/w.srw\n"
                            "@@ -1,5 +1,5 @@\n a\n-b\n+B\n c\n d\n e\n"
                            "@@ -7,3 +7,4 @@\n g\n h\n i\n+j\n\\ No newline at end of file\n"),
              std::string::npos)
        << text.out;
    EXPECT_EQ(text.out.find("--- a/w.win"), std::string::npos) << "compiled objects are not text";

    std::string json = ok({"diff", a, a, "--json"});
    EXPECT_EQ(json, "[]\n");
    Result jsonDiff = run({"diff", a, b, "--json", "--text"});
    EXPECT_NE(jsonDiff.out.find("{\"name\": \"gone.srw\", \"status\": \"only-a\"}"),
              std::string::npos)
        << jsonDiff.out;
    EXPECT_NE(jsonDiff.out.find("\"changed\": \"data\", \"diff\": \"--- a/w.srw\\u000A"),
              std::string::npos)
        << jsonDiff.out;
}

// Applies the unified diff that `diff --text` printed for one entry to `text`; nothing
// when a hunk does not fit.
std::optional<std::string> applyUnifiedDiff(const std::string& text, const std::string& patch) {
    std::vector<std::string> lines;  // each with its "\n", the last maybe without
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = std::min(text.find('\n', at), text.size() - 1) + 1;
        lines.push_back(text.substr(at, end - at));
        at = end;
    }
    std::istringstream in(patch);
    std::vector<std::string> out;
    std::size_t next = 0;   // the first line of `lines` not yet copied
    bool inHunk = false;    // past the "---" and "+++" lines
    bool lastKept = false;  // the line before went into `out` (the marker below is its)
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("@@ -", 0) == 0) {
            inHunk = true;
            std::size_t start = std::stoul(line.substr(4));
            std::size_t count = std::stoul(line.substr(line.find(',') + 1));
            std::size_t first = count == 0 ? start : start - 1;
            if (first < next || first > lines.size()) return std::nullopt;
            out.insert(out.end(), lines.begin() + static_cast<std::ptrdiff_t>(next),
                       lines.begin() + static_cast<std::ptrdiff_t>(first));
            next = first;
        } else if (!inHunk) {
            continue;
        } else if (line.rfind("\\ No newline", 0) == 0) {
            if (lastKept && !out.back().empty() && out.back().back() == '\n') out.back().pop_back();
        } else if (!line.empty() && (line[0] == ' ' || line[0] == '-')) {
            if (next >= lines.size()) return std::nullopt;
            std::string expected = lines[next];
            if (!expected.empty() && expected.back() == '\n') expected.pop_back();
            if (expected != line.substr(1)) return std::nullopt;
            lastKept = line[0] == ' ';
            if (lastKept) out.push_back(lines[next]);
            ++next;
        } else if (!line.empty() && line[0] == '+') {
            out.push_back(line.substr(1) + "\n");
            lastKept = true;
        }
    }
    out.insert(out.end(), lines.begin() + static_cast<std::ptrdiff_t>(next), lines.end());
    std::string result;
    for (const std::string& l : out) result += l;
    return result;
}

// Random small sources from a few letters, so that lines repeat and match in many ways:
// every unified diff, applied to the old text, gives the new one.
TEST_F(PblToolkitTest, DiffTextTurnsTheOldSourceIntoTheNewOne) {
    std::string a = newLibrary("a.pbl", 6);
    std::string b = newLibrary("b.pbl", 6);
    std::mt19937 random(1313);
    auto source = [&] {
        std::string text;
        const int n = static_cast<int>(random() % 14);
        for (int i = 0; i < n; ++i)
            text += std::string(1, static_cast<char>('a' + random() % 4)) + "\n";
        if (!text.empty() && random() % 4 == 0) text.pop_back();
        return text;
    };
    std::vector<std::pair<std::string, std::string>> pairs;
    for (int i = 0; i < 40; ++i) {
        pairs.emplace_back(source(), source());
        ok({"put", a, "e" + std::to_string(i) + ".srs"}, pairs.back().first);
        ok({"put", b, "e" + std::to_string(i) + ".srs"}, pairs.back().second);
    }
    const std::string out = run({"diff", a, b, "--text"}).out;
    for (int i = 0; i < 40; ++i) {
        const std::string name = "e" + std::to_string(i) + ".srs";
        const auto& [oldText, newText] = pairs[static_cast<std::size_t>(i)];
        std::size_t at = out.find("--- a/" + name + "\n");
        if (oldText == newText) {
            EXPECT_EQ(at, std::string::npos) << name;
            continue;
        }
        ASSERT_NE(at, std::string::npos) << name;
        std::size_t end = out.find("\nchanged\t", at);
        std::optional<std::string> patched = applyUnifiedDiff(
            oldText, out.substr(at, end == std::string::npos ? std::string::npos : end + 1 - at));
        ASSERT_TRUE(patched.has_value()) << name << "\n" << out.substr(at, end - at);
        EXPECT_EQ(*patched, newText) << name;
    }
}

// Sources that differ in more lines than a shortest edit script is worth still give a
// correct diff: one block of the old lines out and the new ones in.
TEST_F(PblToolkitTest, DiffOfVeryDifferentSourcesReplacesTheWholeBlock) {
    std::string a = newLibrary("a.pbl", 6);
    std::string b = newLibrary("b.pbl", 6);
    std::string oldText = "same\r\n";
    std::string newText = "same\r\n";
    for (int i = 0; i < 3000; ++i) {
        oldText += "old " + std::to_string(i) + "\r\n";
        newText += "new " + std::to_string(i) + "\r\n";
    }
    ok({"put", a, "big.srw"}, oldText + "end\r\n");
    ok({"put", b, "big.srw"}, newText + "end\r\n");
    Result r = run({"diff", a, b, "--text"});
    EXPECT_EQ(r.exitCode, 1);
    std::istringstream in(r.out);
    int removed = 0;
    int added = 0;
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("-old ", 0) == 0) ++removed;
        if (line.rfind("+new ", 0) == 0) ++added;
    }
    EXPECT_EQ(removed, 3000);
    EXPECT_EQ(added, 3000);
    EXPECT_NE(r.out.find("@@ -1,3002 +1,3002 @@\n same\n-old 0\n"), std::string::npos);
}

TEST_F(PblToolkitTest, DiffOfAnAnsiAndAUnicodeLibraryComparesDecodedText) {
    std::string a = newLibrary("a.pbl", 6);
    std::string u = newLibrary("u.pbl", 10);
    ok({"put", a, "s.srw", "--comment", "caf\xC3\xA9"}, "caf\xE9\r\n");
    ok({"put", u, "s.srw", "--comment", "caf\xC3\xA9"}, utf16le(u"caf\u00E9\r\n"));
    ok({"put", a, "t.srw"}, "one\r\n");
    ok({"put", u, "t.srw"}, utf16le(u"two\r\n"));
    Result r = run({"diff", a, u, "--text"});
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(r.out,
              "changed\tt.srw\tdata\n--- a/t.srw\n+++ b/t.srw\n@@ -1,1 +1,1 @@\n-one\n+two\n");
}

TEST_F(PblToolkitTest, DiffAndGrepNameDamageGoOnWithTheOtherEntriesAndExitTwo) {
    std::string a = newLibrary("a.pbl", 6);
    ok({"put", a, "bad.srw"}, "BROKEN" + std::string(600, 'x'));
    ok({"put", a, "good.srw"}, "needle\r\n");
    std::string b = path("b.pbl");
    stdfs::copy_file(a, b);
    ok({"put", b, "extra.srw"}, "needle too\r\n");
    damageDataOf(a, "BROKEN");
    const std::string damaged = test::readAll(a);

    Result d = run({"diff", a, b});
    EXPECT_EQ(d.exitCode, 2);
    EXPECT_NE(d.err.find("bad.srw"), std::string::npos) << d.err;
    EXPECT_NE(d.err.find("damaged library"), std::string::npos) << d.err;
    EXPECT_EQ(d.out, "only-b\textra.srw\n") << "the readable entries are still compared";

    Result g = run({"grep", "-n", "needle", a, b});
    EXPECT_EQ(g.exitCode, 2);
    EXPECT_NE(g.err.find("bad.srw"), std::string::npos) << g.err;
    // Entries in name order, libraries in command-line order.
    EXPECT_EQ(g.out, a + ":good.srw:1:needle\n" + b + ":extra.srw:1:needle too\n" + b +
                         ":good.srw:1:needle\n");

    // A file that is no library at all is one more trouble, not the end of the search.
    test::writeAll(path("junk.pbl"), "not a library");
    Result j = run({"grep", "needle", path("junk.pbl"), b});
    EXPECT_EQ(j.exitCode, 2);
    EXPECT_NE(j.out.find(":extra.srw:"), std::string::npos);
    EXPECT_EQ(run({"diff", path("junk.pbl"), b}).exitCode, 2);
    EXPECT_EQ(test::readAll(a), damaged) << "reading commands change nothing";
}

// ---------------------------------------------------------------------------------------
// grep

TEST_F(PblToolkitTest, GrepPrintsMatchingSourceLinesLikeGrep) {
    std::string a = newLibrary("a.pbl", 6);
    std::string u = newLibrary("u.pbl", 12);
    ok({"put", a, "w_main.srw", "--comment", "Open here"},
       "event open;\r\n\tOpen(w)\r\nend event\r\n");
    ok({"put", a, "w_main.win"}, "Open compiled");
    ok({"put", u, "d_x.srd"}, utf16le(u"caf\u00E9 OPEN\r\nno\r\n\u00C9t\u00E9\r\n"));

    EXPECT_EQ(ok({"grep", "Open", a}), a + ":w_main.srw:\tOpen(w)\n")
        << "the comment and compiled objects are not searched";
    EXPECT_EQ(ok({"grep", "-in", "open", a, u}), a + ":w_main.srw:1:event open;\n" + a +
                                                     ":w_main.srw:2:\tOpen(w)\n" + u +
                                                     ":d_x.srd:1:caf\xC3\xA9 OPEN\n");
    EXPECT_EQ(ok({"grep", "-l", "-i", "open", a, u}), a + ":w_main.srw\n" + u + ":d_x.srd\n");
    // Patterns are Unicode-aware: case folding beyond ASCII, classes, anchors.
    EXPECT_EQ(ok({"grep", "-i", "^\xC3\xA9t\xC3\xA9$", u}), u + ":d_x.srd:\xC3\x89t\xC3\xA9\n");
    EXPECT_EQ(ok({"grep", "-n", "\\bend\\s+event$", a}), a + ":w_main.srw:3:end event\n");

    Result none = run({"grep", "absent", a, u});
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_EQ(none.out, "");
    for (const std::vector<std::string>& bad : {std::vector<std::string>{"grep", "(", a},
                                                {"grep", "x"},
                                                {"grep", "-x", "x", a},
                                                {"grep", "-in", a}}) {
        Result r = run(bad);
        EXPECT_EQ(r.exitCode, 2) << bad[1];
        EXPECT_NE(r.err.find("usage: keldrin-pbl"), std::string::npos) << r.err;
    }
    ok({"put", a, "dash.srs"}, "-in\r\n");
    EXPECT_EQ(ok({"grep", "--", "-in", a}), a + ":dash.srs:-in\n") << "-- ends the options";
    EXPECT_EQ(ok({"grep", "-", a}), a + ":dash.srs:-in\n") << "a lone dash is a pattern";
}

TEST_F(PblToolkitTest, GrepAndDiffEscapeControlBytesButKeepTabs) {
    std::string a = newLibrary("a.pbl", 6);
    ok({"put", a, "e.srw"}, "hit\t\x1B[31m\r\n");
    EXPECT_EQ(ok({"grep", "hit", a}), a + ":e.srw:hit\t\\x1B[31m\n");
}

// ---------------------------------------------------------------------------------------
// ls, cat --text, libdata, --codepage

TEST_F(PblToolkitTest, LsPicksEntriesByGlobAndSortsByNameSizeOrTime) {
    std::string a = newLibrary("a.pbl", 6);
    ok({"put", a, "b.srw", "--time", "300"}, "22");
    ok({"put", a, "a.srd", "--time", "100"}, "1");
    ok({"put", a, "c.dwo", "--time", "200"}, "333");
    auto names = [](const std::string& listing) {
        std::string out;
        std::istringstream in(listing);
        for (std::string line; std::getline(in, line);)
            out += line.substr(0, line.find('\t')) + " ";
        return out;
    };
    EXPECT_EQ(names(ok({"ls", a, "--sort", "name"})), "a.srd b.srw c.dwo ");
    EXPECT_EQ(names(ok({"ls", a, "--sort", "size"})), "c.dwo b.srw a.srd ");
    EXPECT_EQ(names(ok({"ls", a, "--sort", "time"})), "b.srw c.dwo a.srd ");
    EXPECT_EQ(names(ok({"ls", a, "*.SR?", "--sort", "name"})), "a.srd b.srw ");
    EXPECT_EQ(names(ok({"ls", a, "[!a]*", "c*", "--sort", "name"})), "b.srw c.dwo ");
    EXPECT_EQ(names(ok({"ls", a, "?.[c-d]wo"})), "c.dwo ");
    EXPECT_EQ(ok({"ls", a, "zz*"}), "");
    EXPECT_NE(ok({"ls", a, "a*", "--json"}).find("\"name\": \"a.srd\""), std::string::npos);
    Result bad = run({"ls", a, "--sort", "colour"});
    EXPECT_EQ(bad.exitCode, 2);
    EXPECT_NE(bad.err.find("--sort takes name, size or time"), std::string::npos) << bad.err;
}

TEST_F(PblToolkitTest, CatTextDecodesSourcesAndRefusesCompiledObjects) {
    std::string a = newLibrary("a.pbl", 6);
    std::string u = newLibrary("u.pbl", 10);
    ok({"put", a, "s.srw", "--comment", "c\xC3\xB6"}, "\xE9t\xE9\r\n");
    ok({"put", u, "s.srw", "--comment", "c\xC3\xB6"}, utf16le(u"\u00E9t\u00E9 \u4E2D\r\n"));
    ok({"put", a, "s.win"}, "\x01\x02");
    EXPECT_EQ(ok({"cat", a, "s.srw", "--text"}), "\xC3\xA9t\xC3\xA9\r\n");
    EXPECT_EQ(ok({"cat", u, "s.srw", "--text"}), "\xC3\xA9t\xC3\xA9 \xE4\xB8\xAD\r\n");
    EXPECT_EQ(ok({"cat", u, "s.srw", "--text", "--comment"}), "c\xC3\xB6");
    EXPECT_EQ(ok({"cat", a, "s.srw"}), "\xE9t\xE9\r\n") << "without --text: the stored bytes";
    Result r = run({"cat", a, "s.win", "--text"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("s.win: a compiled object, not text"), std::string::npos) << r.err;
}

TEST_F(PblToolkitTest, LibdataComesOutAndGoesInWhole) {
    std::string a = newLibrary("a.pbl", 6);
    ok({"put", a, "keep.srw"}, "kept");
    EXPECT_EQ(ok({"libdata", a}), "");
    const std::string data = std::string("scc\0data\r\n", 10) + std::string(3000, 'z');
    ok({"libdata", a, "--set", "-"}, data);
    EXPECT_EQ(ok({"libdata", a}), data);
    test::writeAll(path("small"), "small");
    ok({"libdata", a, "--set", path("small")});
    EXPECT_EQ(ok({"libdata", a}), "small");
    EXPECT_EQ(ok({"cat", a, "keep.srw"}), "kept");
    EXPECT_EQ(ok({"check", a}), "0 problems, 0 notes\n");

    const std::string before = test::readAll(a);
    EXPECT_EQ(run({"libdata", a, "--set", path("missing")}).exitCode, 1);
    EXPECT_EQ(test::readAll(a), before);
}

TEST_F(PblToolkitTest, CodepageOverridesTheLocalesAnsiCodePageForNamesAndTexts) {
    std::string a = newLibrary("a.pbl", 6);
    // U+0436 (Cyrillic zhe) is byte 0xE6 in code page 1251, which 1252 reads as U+00E6.
    ok({"--codepage", "1251", "put", a, "\xD0\xB6.srw", "--comment", "\xD0\xB6"}, "\xE6\r\n");
    EXPECT_EQ(ok({"--codepage", "1251", "ls", a}).substr(0, 7), "\xD0\xB6.srw\t");
    EXPECT_EQ(ok({"ls", a}).substr(0, 7), "\xC3\xA6.srw\t");
    EXPECT_EQ(ok({"--wait", "1", "--codepage", "1251", "cat", a, "\xD0\xB6.srw", "--text"}),
              "\xD0\xB6\r\n");
    EXPECT_EQ(ok({"--codepage", "1251", "grep", "-l", "\xD0\xB6", a}), a + ":\xD0\xB6.srw\n");
    EXPECT_EQ(ok({"cat", a, "\xC3\xA6.srw", "--comment"}), "\xE6");
    Result put = run({"put", a, "\xD0\xB6\xD0\xB6.srw"});  // 1252 has no zhe
    EXPECT_EQ(put.exitCode, 1);
    for (const char* page : {"0", "1", "70000", "abc", "99999"}) {
        Result r = run({"--codepage", page, "ls", a});
        EXPECT_EQ(r.exitCode, 2) << page;
    }
    EXPECT_EQ(run({"--codepage"}).exitCode, 2);
    EXPECT_EQ(run({"--codepage", "1251", "--codepage", "1252", "ls", a}).exitCode, 2);
}

// ---------------------------------------------------------------------------------------
// report and add-report

TEST_F(PblToolkitTest, ReportShowsContainerVersionDataWindowsAndStreams) {
    std::string report = newReport("r.psr", "090", "d_child");
    EXPECT_EQ(ok({"report", report}),
              "container: Platform independent PSR File Format: ANSI\n"
              "encoding: ANSI\n"
              "PowerBuilder: 9\n"
              "main DW: d_r\n"
              "child DWs: 1\n"
              "  d_child\tstream 3\n"
              "streams:\n"
              "  source\t33\n"
              "  object\t18\n"
              "  dwstg/dwlookup\t48\n"
              "  dwstg/source_3\t22\n"
              "  dwstg/object_3\t19\n");
    EXPECT_EQ(ok({"report", report, "--json"}),
              "{\"container\": \"Platform independent PSR File Format: ANSI\", \"encoding\": "
              "\"ANSI\", \"version\": \"9\", \"main_dw\": \"d_r\", \"child_dws\": [{\"name\": "
              "\"d_child\", \"stream\": 3}], \"streams\": [{\"path\": \"source\", \"size\": 33}, "
              "{\"path\": \"object\", \"size\": 18}, {\"path\": \"dwstg/dwlookup\", \"size\": 48}, "
              "{\"path\": \"dwstg/source_3\", \"size\": 22}, {\"path\": \"dwstg/object_3\", "
              "\"size\": 19}]}\n");

    // Damage is named with where it is; a file that is no report at all says so.
    std::string bytes = test::readAll(report);
    test::writeAll(path("cut.psr"), bytes.substr(0, bytes.size() - 30));
    Result cut = run({"report", path("cut.psr")});
    EXPECT_EQ(cut.exitCode, 1);
    EXPECT_NE(cut.err.find(" at offset "), std::string::npos) << cut.err;
    test::writeAll(path("text.psr"), "hello, world");
    Result text = run({"report", path("text.psr")});
    EXPECT_EQ(text.exitCode, 1);
    EXPECT_NE(text.err.find("not a saved report"), std::string::npos) << text.err;
}

// Every command that reads a report opens it the one way: a missing file, a file that is
// no report and a damaged one are told in the same words whatever the command.
TEST_F(PblToolkitTest, EveryReportCommandTellsWhyAReportDoesNotOpenInTheSameWords) {
    const std::string lib = newLibrary("l.pbl", 9);
    const std::string bytes = test::readAll(newReport("r.psr", "090", "d_child"));
    test::writeAll(path("cut.psr"), bytes.substr(0, bytes.size() - 30));
    test::writeAll(path("text.psr"), "hello, world");
    struct Case {
        std::string file;
        std::string said;
    };
    const Case cases[] = {
        {path("none.psr"), ": no such file\n"},
        {path("text.psr"), ": not a saved report\n"},
        {path("cut.psr"), ": damaged report: "},
    };
    for (const Case& c : cases) {
        const std::string expected = "keldrin-pbl: " + c.file + c.said;
        for (const std::vector<std::string>& command :
             {std::vector<std::string>{"report", c.file},
              {"report", c.file, "--json"},
              {"report", c.file, "--data"},
              {"report", c.file, "--data", "--dw", "d_child"},
              {"report", c.file, "--html", path("page.html")},
              {"add-report", lib, c.file}}) {
            Result r = run(command);
            EXPECT_EQ(r.exitCode, 1) << command[2];
            EXPECT_EQ(r.err.rfind(expected, 0), 0u) << command.back() << ": " << r.err;
        }
    }
    EXPECT_FALSE(stdfs::exists(path("page.html")));
}

// A compound-file report lists every stream it holds, not only those a conversion reads:
// the same streams and sizes python3-olefile finds (scripts/check-fixtures.py).
TEST_F(PblToolkitTest, ReportListsEveryStreamOfACompoundFileReport) {
    std::optional<stdfs::path> corpus = test::corpusDirOrSkip();
    if (!corpus) GTEST_SKIP() << "no corpus";
    const std::string report =
        (*corpus /
         "thansuoi113__PowerBuilder-Examples-And-Skills-Part-2/PB105/57.PSRBrowser/12.psr")
            .string();
    if (!stdfs::exists(report)) GTEST_SKIP() << "12.psr missing";
    const std::pair<const char*, int> streams[] = {
        {"FSInfo", 68},   {"RSM", 16},           {"data", 1971},   {"dwstg/dwlookup", 0},
        {"object", 5624}, {"original_data", 44}, {"source", 7007},
    };
    const std::string json = ok({"report", report, "--json"});
    const std::string text = ok({"report", report});
    for (const auto& [stream, size] : streams) {
        const std::string name = stream;
        EXPECT_NE(json.find("{\"path\": \"" + name + "\", \"size\": " + std::to_string(size) + "}"),
                  std::string::npos)
            << name << " in " << json;
        EXPECT_NE(text.find("\n  " + name + "\t" + std::to_string(size) + "\n"), std::string::npos)
            << name << " in " << text;
    }
    std::size_t listed = 0;
    for (std::size_t at = json.find("\"path\": "); at != std::string::npos;
         at = json.find("\"path\": ", at + 1))
        ++listed;
    EXPECT_EQ(listed, std::size(streams)) << json;

    // Every stream is read, so damage is found in one a conversion never reads: here the
    // size of "data" (its directory entry's name at byte 15872, the size 120 bytes on)
    // asks for far more sectors than the file has.
    std::string bytes = test::readAll(report);
    ASSERT_EQ(bytes.compare(15872, 10, std::string("d\0a\0t\0a\0\0\0", 10)), 0);
    bytes.replace(15872 + 120, 4, std::string("\xff\xff\xff\x00", 4));
    test::writeAll(path("data.psr"), bytes);
    Result damaged = run({"report", path("data.psr")});
    EXPECT_EQ(damaged.exitCode, 1);
    EXPECT_NE(damaged.out.find("\n  data\t16777215\n"), std::string::npos) << damaged.out;
    EXPECT_NE(damaged.err.find("damaged: stream entry 8 'data' needs"), std::string::npos)
        << damaged.err;
}

TEST_F(PblToolkitTest, AddReportPutsItsDataWindowsBesideWhatTheLibraryHolds) {
    std::string report = newReport("r.psr", "090", "d_child");
    std::string lib = newLibrary("l.pbl", 9);
    ok({"put", lib, "w_keep.srw"}, "kept");
    EXPECT_EQ(ok({"add-report", lib, report}), "d_r.srd\nd_r.dwo\nd_child.srd\nd_child.dwo\n");
    EXPECT_EQ(ok({"cat", lib, "d_r.srd"}), "release 9;\r\ndatawindow(units=0)\r\n");
    EXPECT_EQ(ok({"cat", lib, "d_child.dwo"}), "PDW090 child object");
    EXPECT_EQ(ok({"cat", lib, "w_keep.srw"}), "kept");
    EXPECT_EQ(ok({"check", lib}), "0 problems, 0 notes\n");

    // Names already there are refused before anything is written, unless --replace.
    ok({"put", lib, "d_child.srd"}, "mine");
    std::string before = test::readAll(lib);
    Result again = run({"add-report", lib, report});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_NE(again.err.find("already holds d_r.srd, d_r.dwo, d_child.srd, d_child.dwo"),
              std::string::npos)
        << again.err;
    EXPECT_EQ(test::readAll(lib), before);
    ok({"add-report", lib, report, "--replace"});
    EXPECT_EQ(ok({"cat", lib, "d_child.srd"}), "release 9;\r\n// child\r\n");
    EXPECT_EQ(ok({"ls", lib}).find("w_keep.srw"), 0u);

    // A report of PowerBuilder 10 or later needs a Unicode library, as the converter makes.
    std::string unicodeReport = newReport("u.psr", "105", "d_c");
    before = test::readAll(lib);
    Result variant = run({"add-report", lib, unicodeReport});
    EXPECT_EQ(variant.exitCode, 1);
    EXPECT_NE(variant.err.find("needs a Unicode library"), std::string::npos) << variant.err;
    EXPECT_EQ(test::readAll(lib), before);
    std::string u = newLibrary("u.pbl", 10);
    ok({"add-report", u, unicodeReport});
    EXPECT_EQ(run({"add-report", u, report}).exitCode, 1);

    // A damaged report, a missing library: nothing changes.
    std::string bytes = test::readAll(report);
    test::writeAll(path("cut.psr"), bytes.substr(0, bytes.size() - 30));
    Result cut = run({"add-report", lib, path("cut.psr"), "--replace"});
    EXPECT_EQ(cut.exitCode, 1);
    EXPECT_EQ(test::readAll(lib), before);
    EXPECT_EQ(run({"add-report", path("none.pbl"), report}).exitCode, 1);
    EXPECT_FALSE(stdfs::exists(path("none.pbl")));
}

// What add-report writes is what the converter writes for the same report.
TEST_F(PblToolkitTest, AddReportWritesTheConvertersEntries) {
#if !defined(KELDRIN_PATH)
    GTEST_SKIP() << "keldrin is not built";
#else
    std::string report = newReport("r.psr", "090", "d_child");
    test::ProcessSpec spec{.program = KELDRIN_PATH, .args = {report, "-p", path("c.pbl")}};
    spec.environment = {"LC_ALL=C"};
    spec.timeLimit = 60;
    ASSERT_EQ(test::runProcess(spec).exitCode, 0);
    std::string lib = newLibrary("l.pbl", 9);
    ok({"add-report", lib, report});
    EXPECT_EQ(run({"diff", path("c.pbl"), lib}).exitCode, 0);
#endif
}

// ---------------------------------------------------------------------------------------
// PowerBuilder's own files

TEST_F(PblToolkitTest, CorpusReleasesDiffAndEveryLibrarySearchesAndEveryReportShows) {
    std::optional<stdfs::path> corpus = test::corpusDirOrSkip();
    if (!corpus) GTEST_SKIP() << "no corpus";
    const stdfs::path examples = *corpus / "thansuoi113__PowerBuilder-Code-Examples";
    const std::string older =
        (examples / "PowerBuilder 6.5/Sybase/PB6/Examples/pbexamfn.pbl").string();
    const std::string newer =
        (examples /
         "PowerBuilder 10.0/Sybase/PowerBuilder 10.0/Code Examples/Example App/pbexamfn.pbl")
            .string();
    if (!stdfs::exists(older) || !stdfs::exists(newer)) GTEST_SKIP() << "releases missing";
    // An ANSI release against a Unicode one: compiled objects all differ, most sources
    // decode to the same text.
    Result d = run({"diff", older, newer, "--all"});
    EXPECT_EQ(d.exitCode, 1) << d.err;
    EXPECT_NE(d.out.find("same\tf_get_token.srf\n"), std::string::npos) << d.out;
    EXPECT_NE(d.out.find("changed\tf_get_token.fun\tdata\n"), std::string::npos) << d.out;
    EXPECT_EQ(run({"diff", newer, newer}).exitCode, 0);

    std::vector<std::string> libraries;
    std::vector<std::string> reports;
    for (const auto& e : stdfs::recursive_directory_iterator(*corpus)) {
        std::string ext = e.path().extension().string();
        std::transform(ext.begin(), ext.end(), ext.begin(), ::tolower);
        if (ext == ".pbl") libraries.push_back(e.path().string());
        if (ext == ".psr") reports.push_back(e.path().string());
    }
    ASSERT_FALSE(libraries.empty());
    std::vector<std::string> grep = {"grep", "-il", "return"};
    grep.insert(grep.end(), libraries.begin(), libraries.end());
    Result g = run(grep);
    EXPECT_EQ(g.exitCode, 0) << g.err;
    EXPECT_EQ(g.err, "");
    [[maybe_unused]] int number = 0;
    for (const std::string& report : reports) {
        Result r = run({"report", report});
        EXPECT_EQ(r.exitCode, 0) << report << ": " << r.err;
        EXPECT_NE(r.out.find("main DW: "), std::string::npos) << report;
#if defined(KELDRIN_PATH)
        // add-report into an empty library of the converter's version holds exactly the
        // converter's entries.
        const std::string converted = path("c" + std::to_string(++number) + ".pbl");
        test::ProcessSpec spec{.program = KELDRIN_PATH, .args = {report, "-p", converted}};
        spec.environment = {"LC_ALL=C"};
        spec.timeLimit = 60;
        ASSERT_EQ(test::runProcess(spec).exitCode, 0) << report;
        std::string info = ok({"info", converted});
        std::size_t version = info.find("\nversion: ") + 10;
        std::string added =
            newLibrary("a" + std::to_string(number) + ".pbl", std::stoi(info.substr(version)));
        ok({"add-report", added, report});
        EXPECT_EQ(run({"diff", converted, added}).exitCode, 0) << report;

        // All three follow one plan: the DataWindows `report` names are the converter's
        // entries, and the variant the converter made is the only one add-report takes.
        std::set<std::string> planned;
        std::istringstream lines(r.out);
        for (std::string line; std::getline(lines, line);) {
            std::string name;
            if (line.rfind("main DW: ", 0) == 0) name = line.substr(9);
            if (line.rfind("  ", 0) == 0 && line.find("\tstream ") != std::string::npos)
                name = line.substr(2, line.find('\t') - 2);
            if (name.empty()) continue;
            planned.insert(name + ".srd");
            planned.insert(name + ".dwo");
        }
        std::set<std::string> written;
        std::istringstream entries(ok({"ls", converted}));
        for (std::string line; std::getline(entries, line);)
            written.insert(line.substr(0, line.find('\t')));
        EXPECT_EQ(written, planned) << report;
        const bool unicode = std::stoi(info.substr(version)) >= 10;
        const std::string other =
            newLibrary("o" + std::to_string(number) + ".pbl", unicode ? 9 : 10);
        Result refused = run({"add-report", other, report});
        EXPECT_EQ(refused.exitCode, 1) << report;
        EXPECT_NE(refused.err.find(unicode ? "needs a Unicode library" : "needs an ANSI library"),
                  std::string::npos)
            << refused.err;
#endif
    }
#if defined(KELDRIN_PATH)
    EXPECT_GT(number, 0);
#endif
}

}  // namespace
}  // namespace keldrin
