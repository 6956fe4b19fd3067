// keldrin-pbl's workspace layout, status, LF checkouts and diff --ignore-eol, run in
// process: PowerBuilder's committed workspace reproduced byte for byte, every corpus
// library carried out and back in every encoding and in the layout, and status telling
// apart every kind of difference.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/bytes.h"
#include "base/text.h"
#include "pbl/library.h"
#include "pbltool/tool.h"
#include "support/corpus.h"
#include "support/library_fixture.h"
#include "support/test_files.h"
#include "support/tool_in_process.h"

namespace keldrin {
namespace {

namespace stdfs = std::filesystem;
using test::ScratchDir;

using test::ToolResult;

// One run of keldrin-pbl in this process, on code page 1252 whatever the machine's
// locale, so ANSI texts convert the same everywhere.
ToolResult runWorkspaceTool(const std::vector<std::string>& args, const std::string& input = {}) {
    std::vector<std::u16string> wide = {u"--codepage", u"1252"};
    for (const std::string& arg : args) wide.push_back(utf8ToUtf16(arg));
    return test::runToolInProcess(wide, input);
}

std::string ok(const std::vector<std::string>& args, const std::string& input = {}) {
    ToolResult r = runWorkspaceTool(args, input);
    EXPECT_EQ(r.code, 0) << args[0] << ": " << r.err;
    return r.out;
}

std::string utf16Bytes(const std::string& ascii) {
    std::string out;
    for (char c : ascii) out += {c, '\0'};
    return out;
}

std::string str(const stdfs::path& path) {
    return path.string();
}

// A library's source entries and binary data entries as stored: name -> (comment size,
// comment and body).
using SourceMap = std::map<std::string, std::pair<std::int32_t, Bytes>>;

SourceMap readSourceMap(const stdfs::path& library) {
    SourceMap sources;
    pbl::PblManagerHandle manager(pbl::createPblManager());
    pbl::PblLibraryHandle lib(manager->openLibrary(test::widePath(library), 0));
    if (!lib) {
        ADD_FAILURE() << library << ": cannot open";
        return sources;
    }
    std::optional<std::vector<test::StoredEntry>> entries = test::readAllEntries(*lib);
    if (!entries) {
        ADD_FAILURE() << library << ": cannot read";
        return sources;
    }
    for (test::StoredEntry& entry : *entries) {
        const std::string& name = entry.name;
        const bool source = name.size() >= 5 && (name.compare(name.size() - 4, 3, ".sr") == 0 ||
                                                 name.compare(name.size() - 4, 4, ".bin") == 0);
        if (source) sources[name] = {entry.commentSize, std::move(entry.data)};
    }
    return sources;
}

bool endsWith(const Bytes& data, const Bytes& tail) {
    return data.size() >= tail.size() &&
           std::equal(tail.begin(), tail.end(),
                      data.end() - static_cast<std::ptrdiff_t>(tail.size()));
}

using test::linesOf;

// ---------------------------------------------------------------------------------------
// PowerBuilder's own workspace

// saveas.pbl and the workspace sources its project committed: every committed file is
// ours byte for byte (the object list included), we write no other, and status finds
// every source the same.
TEST(WorkspaceLayout, ReproducesPowerBuildersCommittedWorkspaceByteForByte) {
    auto corpus = test::corpusDirOrSkip();
    if (!corpus) GTEST_SKIP() << "no corpus";
    const stdfs::path project = *corpus / "AppeonH__datawindowtest";
    const stdfs::path committed = project / "ws_objects" / "saveas.pbl.src";
    ASSERT_TRUE(stdfs::is_directory(committed));
    ScratchDir dir;
    const stdfs::path ours = dir.path() / "ws_objects";
    ToolResult r = runWorkspaceTool(
        {"export", str(project / "saveas.pbl"), str(ours), "--layout", "ws_objects"});
    ASSERT_EQ(r.code, 0) << r.err;
    EXPECT_EQ(r.err.find("binary data"), std::string::npos) << "no binary data left out";
    // Only sources have files: the compiled .win and .dwo entries have none, and the
    // windows' .bin entries travel in their sources' binary data sections.
    const std::set<std::string> names = test::listing(committed);
    EXPECT_EQ(test::listing(ours / "saveas.pbl.src"), names);
    EXPECT_EQ(names.size(), 15u);
    for (const std::string& name : names)
        EXPECT_EQ(test::readAll(ours / "saveas.pbl.src" / name), test::readAll(committed / name))
            << name;

    r = runWorkspaceTool({"status", str(project / "saveas.pbl"), str(project / "ws_objects")});
    EXPECT_EQ(r.code, 0) << r.err << r.out;
    const std::vector<std::string> lines = linesOf(r.out);
    EXPECT_EQ(lines.size(), 14u) << "every source, the object list none";
    for (const std::string& line : lines) EXPECT_EQ(line.rfind("same\t", 0), 0u) << line;
}

// Export, then import into a new library of the same variant: the same sources and
// binary data entries, comments included, to the byte, in every encoding that can carry
// the library's text and in the workspace layout. The layout leaves out the tail of a
// DataWindow source that PowerBuilder's own workspace leaves out (a space and a zero
// character after the last line): that one difference, and no other, is allowed there.
TEST(WorkspaceLayout, EveryCorpusLibraryRoundTripsInEveryEncodingAndTheLayout) {
    auto corpus = test::corpusDirOrSkip();
    if (!corpus) GTEST_SKIP() << "no corpus";
    ScratchDir dir;
    std::size_t libraries = 0;
    std::size_t sources = 0;
    std::size_t trimmed = 0;
    for (const test::ManifestRow& row : test::corpusLibraries(*corpus)) {
        SCOPED_TRACE(row.file);
        const stdfs::path library = *corpus / row.file;
        const bool unicode = row.kind == "pbl-unicode";
        const std::string version = unicode ? "10" : row.kind == "pbl-ansi-0500" ? "5" : "6";
        const SourceMap original = readSourceMap(library);
        const std::string tag = std::to_string(libraries);
        for (const std::string encoding : {"ansi", "hexascii", "utf8", "utf16le", "layout"}) {
            SCOPED_TRACE(encoding);
            const bool layout = encoding == std::string("layout");
            const stdfs::path out = dir.path() / ("out-" + tag + "-").append(encoding);
            const stdfs::path copy = out / "copy.pbl";
            ToolResult r =
                layout
                    ? runWorkspaceTool({"export", str(library), str(out), "--layout", "ws_objects"})
                    : runWorkspaceTool({"export", str(library), str(out), "--encoding", encoding});
            if (r.code != 0) {
                // Only text the encoding cannot hold may stop an export: a Unicode
                // library's characters outside the code page, or an ANSI library's bytes
                // the code page leaves undefined.
                EXPECT_EQ(r.code, 1) << r.err;
                EXPECT_NE(r.err.find("cannot be exported as"), std::string::npos) << r.err;
                EXPECT_TRUE(unicode == (encoding == std::string("ansi"))) << r.err;
                continue;
            }
            ok({"create", str(copy), version});
            if (!original.empty()) {
                if (layout) {
                    // status finds what export wrote the same as the library.
                    ToolResult status = runWorkspaceTool({"status", str(library), str(out)});
                    EXPECT_EQ(status.code, 0) << status.err << status.out;
                    // The folder is named after the library: import matches it by name.
                    stdfs::rename(out / library.filename().concat(".src"), out / "copy.pbl.src");
                    ok({"import", "--layout", "ws_objects", str(out), str(copy)});
                } else {
                    ok({"import", str(copy), str(out)});
                }
            }
            SourceMap imported = readSourceMap(copy);
            if (layout) {
                const Bytes tail =
                    unicode ? Bytes{'\r', 0, '\n', 0, ' ', 0, 0, 0} : Bytes{'\r', '\n', ' ', 0};
                for (auto& [name, stored] : imported) {
                    auto at = original.find(name);
                    if (at == original.end() || !name.ends_with(".srd") ||
                        !endsWith(at->second.second, tail))
                        continue;
                    // What the layout left out.
                    stored.second.insert(stored.second.end(), tail.end() - (unicode ? 4 : 2),
                                         tail.end());
                    ++trimmed;
                }
            }
            EXPECT_EQ(imported, original);
        }
        ++libraries;
        sources += original.size();
    }
    EXPECT_EQ(libraries, test::corpusFileCount(*corpus, ".pbl"));
    EXPECT_GT(sources, 300u);
    EXPECT_GT(trimmed, 0u) << "the corpus has DataWindow sources with the tail";
}

// ---------------------------------------------------------------------------------------
// status

const std::string kSource = "release 9;\r\ndatawindow()\r\n";

// A Unicode library of the given sources (name -> body), each with the comment "c".
stdfs::path unicodeLibrary(const stdfs::path& path, const std::vector<std::string>& names) {
    test::LibrarySpec spec;
    spec.version = 10;
    for (const std::string& name : names) {
        Bytes data = test::utf16Bytes(u"c");
        std::string text = name;
        text += ":";
        text += kSource;
        Bytes body = test::asciiBytes(utf16Bytes(text));
        data.insert(data.end(), body.begin(), body.end());
        spec.entries.push_back({name, data, 2});
    }
    test::buildLibrary(test::widePath(path), spec);
    return path;
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

TEST(WorkspaceStatus, NamesEveryKindOfDifferenceAndExitsAsDiffDoes) {
    ScratchDir dir;
    const stdfs::path lib =
        unicodeLibrary(dir.path() / "app.pbl",
                       {"d_body.srd", "d_comment.srd", "d_gone.srd", "d_lf.srd", "f_same.srf"});
    const stdfs::path ws = dir.path() / "ws";
    ok({"export", str(lib), str(ws), "--layout", "ws_objects"});
    const stdfs::path folder = ws / "app.pbl.src";
    EXPECT_TRUE(stdfs::exists(folder / "app.pbg"));
    ToolResult r = runWorkspaceTool({"status", str(lib), str(ws)});
    EXPECT_EQ(r.code, 0) << r.out << r.err;

    const std::string body = test::readAll(folder / "d_body.srd");
    test::writeAll(folder / "d_body.srd", replaced(body, "datawindow()", "datawindow(x)"));
    test::writeAll(folder / "d_comment.srd",
                   replaced(test::readAll(folder / "d_comment.srd"), "Comments$c", "Comments$d"));
    stdfs::remove(folder / "d_gone.srd");
    // A checkout's LF lines are the library's CRLF ones.
    std::string lf = test::readAll(folder / "d_lf.srd");
    std::erase(lf, '\r');
    test::writeAll(folder / "d_lf.srd", lf);
    test::writeAll(folder / "d_new.srd", replaced(body, "d_body.srd", "d_new.srd"));
    // Not a source: the object list and anything else beside the sources.
    test::writeAll(folder / "notes.txt", "not an export file");

    r = runWorkspaceTool({"status", str(lib), str(ws)});
    EXPECT_EQ(r.code, 1) << r.err;
    const std::string name = str(lib);
    EXPECT_EQ(linesOf(r.out), (std::vector<std::string>{
                                  "changed\t" + name + "\td_body.srd\tdata",
                                  "changed\t" + name + "\td_comment.srd\tcomment",
                                  "only-library\t" + name + "\td_gone.srd",
                                  "same\t" + name + "\td_lf.srd",
                                  "only-files\t" + name + "\td_new.srd",
                                  "same\t" + name + "\tf_same.srf",
                              }));
    r = runWorkspaceTool({"status", str(lib), str(ws), "--json"});
    EXPECT_EQ(r.code, 1);
    // The name as a JSON string holds it: a Windows path's backslashes are escaped.
    std::string jsonName;
    for (char c : name) jsonName += c == '\\' ? std::string("\\\\") : std::string(1, c);
    EXPECT_NE(r.out.find("{\"library\": \"" + jsonName +
                         "\", \"name\": \"d_body.srd\", \"status\": \"changed\", \"changed\": "
                         "\"data\", \"file\": "),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("\"name\": \"d_gone.srd\", \"status\": \"only-library\"}"),
              std::string::npos)
        << r.out;

    // A file that is no export file is trouble (2), named; the rest is still compared.
    test::writeAll(folder / "d_bad.srd", "no header");
    r = runWorkspaceTool({"status", str(lib), str(ws)});
    EXPECT_EQ(r.code, 2);
    EXPECT_NE(r.err.find("d_bad.srd: not an export file"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("same\t" + name + "\tf_same.srf"), std::string::npos) << r.out;
    // So is a library that cannot be opened.
    r = runWorkspaceTool({"status", str(dir.path() / "none.pbl"), str(ws)});
    EXPECT_EQ(r.code, 2) << r.err;
    // A library without a folder has every source only in the library.
    const stdfs::path other = unicodeLibrary(dir.path() / "other.pbl", {"f_a.srf"});
    r = runWorkspaceTool({"status", str(other), str(ws)});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "only-library\t" + str(other) + "\tf_a.srf\n");
}

TEST(WorkspaceStatus, ComparesTheBinaryDataSectionWithTheBinEntry) {
    auto corpus = test::corpusDirOrSkip();
    if (!corpus) GTEST_SKIP() << "no corpus";
    ScratchDir dir;
    const stdfs::path lib = dir.path() / "saveas.pbl";
    stdfs::copy_file(*corpus / "AppeonH__datawindowtest" / "saveas.pbl", lib);
    stdfs::permissions(lib, stdfs::perms::owner_write, stdfs::perm_options::add);
    const stdfs::path ws = dir.path() / "ws";
    ok({"export", str(lib), str(ws), "--layout", "ws_objects"});
    // The .bin entry's data changes; its source does not.
    ok({"put", str(lib), "w_saveashtml.bin", "-"}, "other state");
    ToolResult r = runWorkspaceTool({"status", str(lib), str(ws)});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.out.find("changed\t" + str(lib) + "\tw_saveashtml.srw\tbinary\n"),
              std::string::npos)
        << r.out;
}

// ---------------------------------------------------------------------------------------
// the layout's export and import

TEST(WorkspaceLayout, ImportTakesEachFolderIntoTheLibraryOfItsName) {
    ScratchDir dir;
    const stdfs::path a = unicodeLibrary(dir.path() / "a.pbl", {"d_a.srd"});
    const stdfs::path b = unicodeLibrary(dir.path() / "b.pbl", {"d_b.srd", "f_b.srf"});
    const stdfs::path ws = dir.path() / "ws";
    ok({"export", str(a), str(b), str(ws), "--layout", "ws_objects"});
    EXPECT_EQ(test::listing(ws), (std::set<std::string>{"a.pbl.src", "b.pbl.src"}));
    EXPECT_EQ(test::readAll(ws / "b.pbl.src" / "b.pbg"),
              "\xEF\xBB\xBFSave Format v3.0(19990112)\n@begin Libraries\n \"b.pbl\" \"\";\n"
              "@end;\n@begin Objects \n \"d_b.srd\" \"b.pbl\";\n \"f_b.srf\" \"b.pbl\";\n@end;\n");

    stdfs::create_directory(dir.path() / "new");
    const stdfs::path newA = dir.path() / "new" / "a.pbl";
    const stdfs::path newB = dir.path() / "new" / "b.pbl";
    ok({"create", str(newA), "10"});
    ok({"create", str(newB), "10"});
    ok({"import", "--layout", "ws_objects", str(ws), str(newA), str(newB)});
    EXPECT_EQ(readSourceMap(newA), readSourceMap(a));
    EXPECT_EQ(readSourceMap(newB), readSourceMap(b));
    EXPECT_EQ(runWorkspaceTool({"status", str(newA), str(newB), str(ws)}).code, 0);

    // A library without its folder stops the import before any library changes.
    const stdfs::path c = dir.path() / "new" / "c.pbl";
    ok({"create", str(c), "10"});
    const std::string before = test::readAll(newA);
    ToolResult r = runWorkspaceTool(
        {"import", "--layout", "ws_objects", str(ws), str(newA), str(c), "--replace"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("c.pbl.src: no such folder"), std::string::npos) << r.err;
    EXPECT_EQ(test::readAll(newA), before);
}

// Several libraries go out, or come in, all or nothing: the last one's trouble is found
// before the first one is written.
TEST(WorkspaceLayout, ALibraryThatCannotGoThroughStopsEveryOneBeforeAnythingIsWritten) {
    ScratchDir dir;
    const stdfs::path a = unicodeLibrary(dir.path() / "a.pbl", {"d_a.srd"});
    // A lone UTF-16 surrogate, which UTF-8 cannot carry.
    test::LibrarySpec spec;
    spec.version = 10;
    spec.entries.push_back({"f_bad.srf", Bytes{0x00, 0xD8}, 0});
    const stdfs::path bad = dir.path() / "bad.pbl";
    test::buildLibrary(test::widePath(bad), spec);
    const stdfs::path ws = dir.path() / "ws";
    ToolResult r =
        runWorkspaceTool({"export", str(a), str(bad), str(ws), "--layout", "ws_objects"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("f_bad.srf: cannot be exported as utf8"), std::string::npos) << r.err;
    EXPECT_FALSE(stdfs::exists(ws / "a.pbl.src"));

    // b's folder holds a file that is no export file: a is not changed either.
    const stdfs::path b = unicodeLibrary(dir.path() / "b.pbl", {"d_b.srd"});
    ok({"export", str(a), str(b), str(ws), "--layout", "ws_objects"});
    test::writeAll(ws / "a.pbl.src" / "d_a.srd",
                   replaced(test::readAll(ws / "a.pbl.src" / "d_a.srd"), "datawindow()",
                            "datawindow(changed)"));
    test::writeAll(ws / "b.pbl.src" / "d_broken.srd", "no header");
    const std::string before = test::readAll(a);
    r = runWorkspaceTool(
        {"import", "--layout", "ws_objects", str(ws), str(a), str(b), "--replace"});
    EXPECT_EQ(r.code, 1);
    EXPECT_NE(r.err.find("d_broken.srd: not an export file"), std::string::npos) << r.err;
    EXPECT_EQ(test::readAll(a), before);
}

TEST(WorkspaceLayout, RefusesWhatTheLayoutCannotMean) {
    ScratchDir dir;
    const stdfs::path a = unicodeLibrary(dir.path() / "a.pbl", {"d_a.srd"});
    const std::string ws = str(dir.path() / "ws");
    stdfs::create_directory(dir.path() / "elsewhere");
    const stdfs::path twin = unicodeLibrary(dir.path() / "elsewhere" / "a.pbl", {"d_b.srd"});
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
             {"export", str(a), ws, "--layout", "flat"},
             {"export", str(a), ws, "--layout", "ws_objects", "--raw"},
             {"export", str(a), ws, "--layout", "ws_objects", "--encoding", "hexascii"},
             {"export", str(a), str(twin), ws},  // several libraries without the layout
             {"export", str(a), str(twin), ws, "--layout", "ws_objects"},  // one folder
             {"import", "--layout", "flat", ws, str(a)},
         }) {
        ToolResult r = runWorkspaceTool(args);
        EXPECT_EQ(r.code, 2) << args.back() << ": " << r.err;
    }
    EXPECT_FALSE(stdfs::exists(ws));
}

// ---------------------------------------------------------------------------------------
// LF checkouts

TEST(LfCheckout, AFileWithoutACarriageReturnComesBackWithCrlfAndOneWithAnyKeepsItsBytes) {
    ScratchDir dir;
    const stdfs::path lib = dir.path() / "a.pbl";
    ok({"create", str(lib), "10"});
    const stdfs::path files = dir.path() / "files";
    stdfs::create_directory(files);
    test::writeAll(files / "f_lf.srf", "$PBExportHeader$f_lf.srf\nline one\nline two\n");
    test::writeAll(files / "f_utf16.srf",
                   "\xFF\xFE" + utf16Bytes("$PBExportHeader$f_utf16.srf\nline \xE4\n"));
    // Real entries mix line ends: any CR keeps the file's bytes.
    test::writeAll(files / "f_mixed.srf", "$PBExportHeader$f_mixed.srf\r\nline one\nline two\r\n");
    test::writeAll(files / "f_utf8.srf",
                   "\xEF\xBB\xBF$PBExportHeader$f_utf8.srf\n$PBExportComments$c\nx\ny");
    ok({"import", str(lib), str(files)});
    const SourceMap stored = readSourceMap(lib);
    EXPECT_EQ(stored.at("f_lf.srf").second,
              test::asciiBytes(utf16Bytes("line one\r\nline two\r\n")));
    EXPECT_EQ(stored.at("f_utf16.srf").second, test::asciiBytes(utf16Bytes("line \xE4\r\n")));
    EXPECT_EQ(stored.at("f_mixed.srf").second,
              test::asciiBytes(utf16Bytes("line one\nline two\r\n")));
    EXPECT_EQ(stored.at("f_utf8.srf").second, test::asciiBytes(utf16Bytes("cx\r\ny")));

    // An ANSI library stores the code page's bytes with CRLF too.
    const stdfs::path ansi = dir.path() / "ansi.pbl";
    ok({"create", str(ansi), "6"});
    test::writeAll(files / "f_lf.srf", "$PBExportHeader$f_lf.srf\nline \xE4\n");
    ok({"import", str(ansi), str(files / "f_lf.srf")});
    EXPECT_EQ(readSourceMap(ansi).at("f_lf.srf").second, test::asciiBytes("line \xE4\r\n"));
}

// ---------------------------------------------------------------------------------------
// diff --ignore-eol

TEST(DiffIgnoreEol, CrlfAndLfLineEndsCompareEqualInTheSummaryAndTheText) {
    ScratchDir dir;
    const stdfs::path a = dir.path() / "a.pbl";
    const stdfs::path b = dir.path() / "b.pbl";
    ok({"create", str(a), "10"});
    ok({"create", str(b), "10"});
    ok({"put", str(a), "f_x.srf", "-"}, utf16Bytes("one\r\ntwo\r\nthree\r\n"));
    ok({"put", str(b), "f_x.srf", "-"}, utf16Bytes("one\ntwo\nthree\n"));
    ok({"put", str(a), "f_y.srf", "-"}, utf16Bytes("one\r\ntwo\r\nthree\r\n"));
    ok({"put", str(b), "f_y.srf", "-"}, utf16Bytes("one\nTWO\nthree\n"));

    ToolResult r = runWorkspaceTool({"diff", str(a), str(b)});
    EXPECT_EQ(r.code, 1);
    EXPECT_EQ(r.out, "changed\tf_x.srf\tdata\nchanged\tf_y.srf\tdata\n");
    r = runWorkspaceTool({"diff", str(a), str(b), "--ignore-eol", "--text", "--all"});
    EXPECT_EQ(r.code, 1) << r.err;
    EXPECT_EQ(r.out,
              "same\tf_x.srf\n"
              "changed\tf_y.srf\tdata\n"
              "--- a/f_y.srf\n+++ b/f_y.srf\n@@ -1,3 +1,3 @@\n one\n-two\n+TWO\n three\n");
    ok({"rm", str(b), "f_y.srf"});
    ok({"rm", str(a), "f_y.srf"});
    EXPECT_EQ(runWorkspaceTool({"diff", str(a), str(b), "--ignore-eol"}).code, 0);
}

}  // namespace
}  // namespace keldrin
