// keldrin-pbl export and import through the real executable: PowerBuilder's own exports
// in the corpus reproduced byte for byte, every corpus library carried out and back in
// unchanged, and every bad import refused with the library left as it was.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "base/bytes.h"
#include "pbl/library.h"
#include "support/corpus.h"
#include "support/entry_list.h"
#include "support/pbl_tool_fixture.h"
#include "support/process_runner.h"
#include "support/test_files.h"

namespace keldrin {
namespace {

namespace stdfs = std::filesystem;

// Every character of ASCII text as its UTF-16LE code unit.
std::string utf16(const std::string& ascii) {
    std::string out;
    for (char c : ascii) out += {c, '\0'};
    return out;
}

const std::string kSampleSource = "release 9;\r\ndatawindow()\r\n";

std::string crlfToLf(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i)
        if (!(text[i] == '\r' && i + 1 < text.size() && text[i + 1] == '\n'))
            out.push_back(text[i]);
    return out;
}

// A source, or the binary data entry its export file carries.
bool isSourceName(const std::string& name) {
    return name.size() >= 5 && (name.compare(name.size() - 4, 3, ".sr") == 0 ||
                                name.compare(name.size() - 4, 4, ".bin") == 0);
}

// A library's source entries and their binary data as stored: name -> (comment size,
// comment and body).
using Sources = std::map<std::string, std::pair<std::int32_t, std::string>>;

Sources readSources(const stdfs::path& library) {
    Sources sources;
    pbl::PblManagerHandle manager(pbl::createPblManager());
    pbl::PblLibraryHandle lib(manager->openLibrary(library.u16string(), 0));
    if (!lib) {
        ADD_FAILURE() << library << ": cannot open";
        return sources;
    }
    test::EntryList list = test::listEntries(*lib);
    EXPECT_EQ(list.rc, pbl::kPblOk);
    for (pbl::PblEntryInfo& info : list.entries) {
        std::string name = info.name;
        if (!isSourceName(name)) continue;
        std::string data(static_cast<std::size_t>(info.dataSize) + 2, '\0');
        EXPECT_EQ(lib->readEntryData(info, data.data()), pbl::kPblOk) << name;
        data.resize(static_cast<std::size_t>(info.dataSize));
        sources[name] = {info.commentSize, std::move(data)};
    }
    return sources;
}

struct ManifestRow {
    std::string file;
    std::string kind;
    std::string notes;
};

std::vector<ManifestRow> manifest(const stdfs::path& corpus) {
    std::vector<ManifestRow> rows;
    std::ifstream in(corpus / "MANIFEST.tsv");
    std::string line;
    std::getline(in, line);  // the column names
    while (std::getline(in, line)) {
        std::vector<std::string> fields;
        std::stringstream split(line);
        for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
        if (fields.size() >= 9) rows.push_back({fields[0], fields[6], fields[8]});
    }
    return rows;
}

class PblToolSourcesTest : public test::PblToolProcessTest {
  protected:
    test::ProcessResult run(const std::vector<std::string>& args) {
        test::ProcessSpec spec{.program = tool_, .args = args};
        spec.environment = {"LC_ALL=C", "ASAN_OPTIONS=exitcode=86",
                            "UBSAN_OPTIONS=exitcode=87:print_stacktrace=1"};
        spec.timeLimit = 120;
        test::ProcessResult result = test::runProcess(spec);
        if (result.exitCode == 86 || result.exitCode == 87)
            ADD_FAILURE() << "sanitizer report:\n" << result.err;
        return result;
    }
    std::string ok(const std::vector<std::string>& args) {
        test::ProcessResult r = run(args);
        EXPECT_EQ(r.exitCode, 0) << args[0] << " " << args[1] << ": " << r.err;
        return r.out;
    }
    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    // A library of that version holding one source "d_a.srd" with a comment.
    std::string sampleLibrary(const std::string& name, const std::string& version) {
        std::string lib = path(name);
        ok({"create", lib, version});
        test::ProcessSpec spec{.program = tool_,
                               .args = {"put", lib, "d_a.srd", "--comment", "first"}};
        spec.input = version == "10" ? utf16(kSampleSource) : kSampleSource;
        spec.environment = {"LC_ALL=C"};
        EXPECT_EQ(test::runProcess(spec).exitCode, 0);
        return lib;
    }

    // Runs an import that must fail: exit 1, the message holds `why`, the library keeps
    // every byte.
    void refused(const std::string& lib, const std::vector<std::string>& paths,
                 const std::string& why) {
        const std::string before = test::readAll(lib);
        std::vector<std::string> args = {"import", lib};
        args.insert(args.end(), paths.begin(), paths.end());
        test::ProcessResult r = run(args);
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_NE(r.err.find(why), std::string::npos) << r.err;
        EXPECT_EQ(test::readAll(lib), before) << "a refused import changed the library";
    }
};

// ---------------------------------------------------------------------------------------
// PowerBuilder's own exports

TEST_F(PblToolSourcesTest, ReproducesEveryCorpusExportByteForByte) {
    auto corpus = test::corpusDirOrSkip();
    if (!corpus) GTEST_SKIP() << "no corpus";
    // Each row's notes name the library entry, the encoding and whether git turned the
    // file's CRLF into LF.
    std::map<std::pair<stdfs::path, std::string>, stdfs::path> exported;
    std::size_t compared = 0;
    for (const ManifestRow& row : manifest(*corpus)) {
        if (row.kind != "srd-export") continue;
        SCOPED_TRACE(row.file);
        const std::string entryTag = "oracle for entry '";
        std::size_t at = row.notes.find(entryTag);
        ASSERT_NE(at, std::string::npos);
        std::size_t nameEnd = row.notes.find('\'', at + entryTag.size());
        const std::string entry =
            row.notes.substr(at + entryTag.size(), nameEnd - at - entryTag.size());
        std::size_t of = row.notes.find(" of ", nameEnd) + 4;
        const std::string libraryPath = row.notes.substr(of, row.notes.find(' ', of) - of);
        const stdfs::path library = *corpus / stdfs::path(row.file).begin()->string() / libraryPath;
        ASSERT_TRUE(stdfs::exists(library)) << library;
        std::string encoding;
        if (row.notes.find("export encoding HEXASCII") != std::string::npos) encoding = "hexascii";
        if (row.notes.find("export encoding UTF-8 BOM") != std::string::npos) encoding = "utf8";
        ASSERT_NE(encoding, "") << row.notes;
        const bool toLf = row.notes.find("CRLF->LF") != std::string::npos ||
                          row.notes.find("LF (git-normalised)") != std::string::npos;

        auto [it, fresh] = exported.try_emplace({library, encoding});
        if (fresh) {
            it->second = dir_ / ("out" + std::to_string(exported.size()));
            ok({"export", library.string(), it->second.string(), "--encoding", encoding});
        }
        std::string ours = test::readAll(it->second / entry);
        ASSERT_FALSE(ours.empty()) << entry << " was not exported";
        if (toLf) ours = crlfToLf(ours);
        EXPECT_EQ(ours, test::readAll(*corpus / row.file)) << entry;
        ++compared;
    }
    EXPECT_EQ(compared, 96u);
}

// What PowerBuilder's workspace sources (UTF-8, CRLF, as committed) hold that our export
// of the same entry does not, or the other way round, by the MANIFEST kind of the file.
// Everything else of each file must be ours byte for byte.
struct WorkspaceGap {
    const char* kind;
    std::string onlyOurs;      // what our file has after PowerBuilder's ends
    std::string theirsGoesOn;  // how PowerBuilder's file goes on after ours ends
    const char* reason;
};
const WorkspaceGap kWorkspaceGaps[] = {
    {"ws-object-srd", std::string(" \0", 2), "",
     "PowerBuilder 2017 stores a DataWindow source with a space and a zero character after "
     "its last line and leaves both out of its export; export writes the source as stored, "
     "so that import gives the entry back byte for byte"},
    {"ws-object-srw", "", "",
     "a window's binary data section is written as PowerBuilder writes it"},
};

TEST_F(PblToolSourcesTest, ReproducesEveryWorkspaceSourceButTheGapsItNames) {
    auto corpus = test::corpusDirOrSkip();
    if (!corpus) GTEST_SKIP() << "no corpus";
    std::map<stdfs::path, stdfs::path> exported;  // library -> our export
    std::size_t compared = 0;
    std::size_t oracles = 0;  // the other exports, ReproducesEveryCorpusExportByteForByte's
    for (const ManifestRow& row : manifest(*corpus)) {
        oracles += row.kind == "srd-export" ? 1 : 0;
        if (row.kind.rfind("ws-object-", 0) != 0) continue;
        SCOPED_TRACE(row.file);
        const WorkspaceGap* gap = nullptr;
        for (const WorkspaceGap& g : kWorkspaceGaps)
            if (row.kind == g.kind) gap = &g;
        ASSERT_NE(gap, nullptr) << "no row for " << row.kind;
        // ws_objects/<library>.src/<entry>: the library sits in the folder above ws_objects.
        const stdfs::path file = *corpus / row.file;
        const stdfs::path source = file.parent_path();
        const std::string libraryName = source.filename().string();
        const stdfs::path library =
            source.parent_path().parent_path() / libraryName.substr(0, libraryName.size() - 4);
        auto [it, fresh] = exported.try_emplace(library);
        if (fresh) {
            it->second = dir_ / ("ws" + std::to_string(exported.size()));
            test::ProcessResult r =
                run({"export", library.string(), it->second.string(), "--encoding", "utf8"});
            ASSERT_EQ(r.exitCode, 0) << r.err;
            EXPECT_EQ(r.err.find("binary data"), std::string::npos) << "no binary data left out";
        }
        const std::string ours = test::readAll(it->second / file.filename());
        const std::string theirs = test::readAll(file);
        ASSERT_FALSE(ours.empty()) << file.filename() << " was not exported";
        const std::size_t same = ours.size() - gap->onlyOurs.size();
        ASSERT_GE(ours.size(), gap->onlyOurs.size());
        EXPECT_EQ(ours.substr(same), gap->onlyOurs) << gap->reason;
        EXPECT_EQ(theirs.substr(0, same), ours.substr(0, same));
        EXPECT_EQ(theirs.substr(same, gap->theirsGoesOn.size()), gap->theirsGoesOn) << gap->reason;
        if (gap->theirsGoesOn.empty()) {
            EXPECT_EQ(theirs.size(), same) << gap->reason;
        }
        // Importing PowerBuilder's file gives back the entry but for the gap, and its
        // binary data.
        const std::string copy = path("ws-copy-" + std::to_string(compared) + ".pbl");
        ok({"create", copy, "10"});
        ok({"import", copy, file.string()});
        if (row.kind == "ws-object-srw") {
            const Sources original = readSources(library);
            const Sources imported = readSources(copy);
            EXPECT_EQ(imported.size(), 2u) << "the .bin entry was not imported";
            for (const auto& [name, stored] : imported) EXPECT_EQ(stored, original.at(name));
        }
        ++compared;
    }
    // Every exported source in the corpus is compared, here or there.
    EXPECT_EQ(compared + oracles,
              test::corpusFileCount(*corpus, ".srd") + test::corpusFileCount(*corpus, ".srw"));
}

TEST_F(PblToolSourcesTest, TheDefaultEncodingFollowsTheLibrarysGeneration) {
    auto corpus = test::corpusDirOrSkip();
    if (!corpus) GTEST_SKIP() << "no corpus";
    // A PowerBuilder 12.6 library: HEXASCII, as that release exported it.
    const stdfs::path unicode = *corpus / "AlbertoPortaluppi__PowerBuilderERP/Fontes/cadastros.pbl";
    ok({"export", unicode.string(), path("u")});
    EXPECT_EQ(crlfToLf(test::readAll(dir_ / "u" / "d_cadclifor.srd")),
              test::readAll(unicode.parent_path() / "d_cadclifor.srd"));
    // An ANSI library: the code page's bytes, no mark.
    for (const ManifestRow& row : manifest(*corpus)) {
        if (row.kind != "pbl-ansi-0600") continue;
        ok({"export", (*corpus / row.file).string(), path("a")});
        for (const auto& file : stdfs::directory_iterator(dir_ / "a"))
            EXPECT_EQ(test::readAll(file.path()).rfind("$PBExportHeader$", 0), 0u) << file.path();
        break;
    }
}

// Every corpus library's round trip, in every encoding and the workspace layout, runs in
// process: workspace_test.cpp.

// ---------------------------------------------------------------------------------------
// export's options

TEST_F(PblToolSourcesTest, ExportWritesCompiledObjectsOnlyWithAllAndThenAsStored) {
    std::string lib = sampleLibrary("a.pbl", "10");
    test::ProcessSpec put{.program = tool_, .args = {"put", lib, "d_a.dwo"}};
    put.input = std::string("\x01\x00\xFF\xFE\x80", 5);
    ASSERT_EQ(test::runProcess(put).exitCode, 0);

    ok({"export", lib, path("sources")});
    EXPECT_TRUE(stdfs::exists(dir_ / "sources" / "d_a.srd"));
    EXPECT_FALSE(stdfs::exists(dir_ / "sources" / "d_a.dwo"));

    test::ProcessResult r = run({"export", lib, path("all"), "--all", "--encoding", "utf8"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "") << "no progress and no note off a terminal";
    EXPECT_EQ(test::readAll(dir_ / "all" / "d_a.dwo"), std::string("\x01\x00\xFF\xFE\x80", 5));
    EXPECT_EQ(test::readAll(dir_ / "all" / "d_a.srd"),
              "\xEF\xBB\xBF$PBExportHeader$d_a.srd\r\n$PBExportComments$first\r\n"
              "release 9;\r\ndatawindow()\r\n");

    ok({"export", lib, path("raw"), "--raw", "--quiet", "--sync"});
    EXPECT_EQ(test::readAll(dir_ / "raw" / "d_a.srd"), utf16(kSampleSource));
}

TEST_F(PblToolSourcesTest, ExportMakesTheMissingDirectoriesAboveItsOwn) {
    std::string lib = sampleLibrary("a.pbl", "6");
    ok({"export", lib, path("a/b/c")});
    EXPECT_EQ(test::readAll(dir_ / "a/b/c/d_a.srd"),
              "$PBExportHeader$d_a.srd\r\n$PBExportComments$first\r\n" + kSampleSource);
    // A file where a directory should be: refused, nothing written.
    test::writeAll(dir_ / "f", "x");
    test::ProcessResult r = run({"export", lib, path("f/b")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("cannot create the directory"), std::string::npos) << r.err;
    EXPECT_EQ(test::readAll(dir_ / "f"), "x");
}

TEST_F(PblToolSourcesTest, ExportRefusesBadOptionsAndTextItCannotWrite) {
    std::string lib = sampleLibrary("a.pbl", "10");
    EXPECT_EQ(run({"export", lib, path("o"), "--encoding", "utf-7"}).exitCode, 2);
    EXPECT_EQ(run({"export", lib, path("o"), "--raw", "--encoding", "utf8"}).exitCode, 2);
    EXPECT_FALSE(stdfs::exists(dir_ / "o"));

    // A character the ANSI code page (1252 here) does not hold: refused before any file.
    test::ProcessSpec put{.program = tool_, .args = {"put", lib, "d_b.srd"}};
    put.input = std::string("\x07\x63", 2);  // U+6307
    ASSERT_EQ(test::runProcess(put).exitCode, 0);
    test::ProcessResult r = run({"export", lib, path("o"), "--encoding", "ansi"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("d_b.srd: cannot be exported as ansi"), std::string::npos) << r.err;
    EXPECT_FALSE(stdfs::exists(dir_ / "o" / "d_a.srd"));
}

// A comment with a line break cannot come in through the tool any more; a library from
// elsewhere may still hold one. Export then refuses before its first file, in every
// encoding, and the directory stays as it was.
TEST_F(PblToolSourcesTest, ExportIsAllOrNothingInEveryEncoding) {
    for (const std::string& version : {std::string("6"), std::string("10")}) {
        SCOPED_TRACE(version);
        const std::string lib = path("broken" + version + ".pbl");
        ok({"create", lib, version});
        {
            pbl::PblManagerHandle manager(pbl::createPblManager());
            pbl::PblLibraryHandle handle(manager->openLibrary(stdfs::path(lib).u16string(), 1));
            ASSERT_NE(handle, nullptr);
            auto& library = static_cast<pbl::PblLibrary&>(*handle);
            const bool unicode = version == "10";
            const std::string body = unicode ? utf16(kSampleSource) : kSampleSource;
            const std::string good = unicode ? utf16("fine") : "fine";
            const std::string bad = unicode ? utf16("two\rlines") : "two\rlines";
            auto bytes = [](const std::string& s) {
                return ByteSpan(reinterpret_cast<const std::uint8_t*>(s.data()), s.size());
            };
            ASSERT_EQ(library.putEntry(u"d_a.srd", bytes(good), bytes(body)), pbl::kPblOk);
            ASSERT_EQ(library.putEntry(u"d_z.srd", bytes(bad), bytes(body)), pbl::kPblOk);
            ASSERT_EQ(library.commitChange(), pbl::kPblOk);
        }
        for (const char* encoding : {"ansi", "hexascii", "utf8", "utf16le"}) {
            SCOPED_TRACE(encoding);
            const std::string out = path("out" + version + encoding);
            test::ProcessResult r = run({"export", lib, out, "--encoding", encoding});
            EXPECT_EQ(r.exitCode, 1);
            EXPECT_NE(r.err.find("d_z.srd: cannot be exported as"), std::string::npos) << r.err;
            EXPECT_NE(r.err.find("the comment holds a line break"), std::string::npos) << r.err;
            EXPECT_FALSE(stdfs::exists(stdfs::path(out) / "d_a.srd"));
        }
    }
}

// ---------------------------------------------------------------------------------------
// import

TEST_F(PblToolSourcesTest, ImportPutsSourcesInTheLibrarysEncodingAndSaysToRegenerate) {
    std::string ansi = path("a.pbl");
    ok({"create", ansi, "6"});
    std::string unicode = path("u.pbl");
    ok({"create", unicode, "10"});
    test::writeAll(dir_ / "w.srw",
                   "\xEF\xBB\xBF$PBExportHeader$w_caf\xC3\xA9.srw\r\n"
                   "$PBExportComments$gr\xC3\xBC\xC3\x9F\r\nforward\r\n");
    for (const std::string& lib : {ansi, unicode}) {
        test::ProcessResult r = run({"import", lib, path("w.srw")});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_NE(r.err.find("regenerate them in PowerBuilder"), std::string::npos) << r.err;
    }
    Sources a = readSources(ansi);
    ASSERT_EQ(a.size(), 1u);
    EXPECT_EQ(a.begin()->first, "w_caf\xE9.srw");
    EXPECT_EQ(a.begin()->second, std::make_pair(4, std::string("gr\xFC\xDF"
                                                               "forward\r\n")));
    Sources u = readSources(unicode);
    ASSERT_EQ(u.size(), 1u);
    std::string utf16;
    for (char16_t c : std::u16string(u"gr\u00fc\u00dfforward\r\n"))
        utf16 += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    EXPECT_EQ(u.begin()->second, std::make_pair(8, utf16));
}

TEST_F(PblToolSourcesTest, ImportReplacesAnExistingEntryOnlyWhenAsked) {
    std::string lib = sampleLibrary("a.pbl", "6");
    test::writeAll(dir_ / "d_a.srd", "$PBExportHeader$d_a.srd\r\nnew\r\n");
    refused(lib, {path("d_a.srd")}, "already holds d_a.srd; give --replace");
    ok({"import", lib, path("d_a.srd"), "--replace"});
    EXPECT_EQ(readSources(lib)["d_a.srd"], std::make_pair(0, std::string("new\r\n")));
}

TEST_F(PblToolSourcesTest, ImportRefusesABadFileNamingItAndWritesNothing) {
    std::string lib = sampleLibrary("a.pbl", "10");
    test::writeAll(dir_ / "good.srd", "$PBExportHeader$d_good.srd\r\nok\r\n");
    test::writeAll(dir_ / "noheader.srd", "release 9;\r\n");
    refused(lib, {path("good.srd"), path("noheader.srd")},
            "noheader.srd: not an export file: no $PBExportHeader$ line");
    test::writeAll(dir_ / "be.srd", std::string("\xFE\xFF\0$", 4));
    refused(lib, {path("good.srd"), path("be.srd")},
            "be.srd: not an export file: an unknown "
            "encoding: a UTF-16BE byte-order mark");
    test::writeAll(dir_ / "hex.srd", "HA$PBExportHeader$d_h.srd\r\n$$HEX1$$e3$$ENDHEX$$");
    refused(lib, {path("good.srd"), path("hex.srd")}, "hex.srd: not an export file: a malformed");
    test::writeAll(dir_ / "object.srd", "$PBExportHeader$d_a.dwo\r\nx");
    refused(lib, {path("good.srd"), path("object.srd")},
            "object.srd: the entry d_a.dwo is no source");
    test::writeAll(dir_ / "long.srd", "$PBExportHeader$" + std::string(3000, 'n') + ".srd\r\nx");
    refused(lib, {path("good.srd"), path("long.srd")}, "long.srd: the entry");
    test::writeAll(dir_ / "twice.srd", "$PBExportHeader$D_GOOD.srd\r\nx");
    refused(lib, {path("good.srd"), path("twice.srd")}, "as " + path("good.srd") + " does");
    refused(lib, {path("missing.srd")}, "missing.srd: no such file");
    test::writeAll(dir_ / "ole.srw",
                   "$PBExportHeader$w_ole.srw\r\nforward\r\nend forward\r\n\r\n"
                   "Start of PowerBuilder Binary Data Section : Do NOT Edit\r\n"
                   "01w_ole.bin \r\n2E00000a00\r\n11w_ole.bin \r\n"
                   "End of PowerBuilder Binary Data Section : No Source Expected After This "
                   "Point\r\n");
    refused(lib, {path("good.srd"), path("ole.srw")},
            "ole.srw: not an export file: binary data section, line 6: the check digit is 1, the "
            "name gives D");

    // Text an ANSI library cannot store.
    std::string ansi = sampleLibrary("b.pbl", "6");
    test::writeAll(dir_ / "kanji.srd", "\xEF\xBB\xBF$PBExportHeader$d_k.srd\r\n\xE6\x8C\x87");
    refused(ansi, {path("kanji.srd")}, "kanji.srd: has characters the ANSI code page cannot hold");
    EXPECT_EQ(run({"import", lib}).exitCode, 2);
}

// A name or comment no export could carry never comes in: put, comment and import
// refuse it with the entry's name, escaped, and the library keeps every byte.
TEST_F(PblToolSourcesTest, NoCommandTakesInWhatExportCouldNotCarry) {
    const std::string lib = sampleLibrary("a.pbl", "10");
    const std::string before = test::readAll(lib);
    test::ProcessResult r = run({"put", lib, "d_b.srd", "--comment", "two\rlines", "/dev/null"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("d_b.srd: the comment holds a line break"), std::string::npos) << r.err;
    r = run({"put", lib, "d_\nb.srd", "/dev/null"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("d_\\x0Ab.srd: the name holds a line break"), std::string::npos) << r.err;
    r = run({"comment", lib, "a\nb"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("the comment holds a line break"), std::string::npos) << r.err;
    EXPECT_EQ(test::readAll(lib), before);

    test::writeAll(dir_ / "cr.srd", "HA$PBExportHeader$d_$$HEX1$$0d00$$ENDHEX$$x.srd\r\nx");
    refused(lib, {path("cr.srd")}, "cr.srd: the entry d_\\x0Dx.srd: the name holds a line break");
    test::writeAll(dir_ / "cc.srd", "$PBExportHeader$d_c.srd\r\n$PBExportComments$a\rb\r\nx");
    refused(lib, {path("cc.srd")}, "cc.srd: the entry d_c.srd: the comment holds a line break");
    // A zero in a name is shown escaped, and the message goes on past it.
    test::writeAll(dir_ / "zero.srd", "HA$PBExportHeader$d_$$HEX1$$0000$$ENDHEX$$z.srd\r\nx");
    refused(lib, {path("zero.srd")}, "d_\\x00z.srd: a name holds no zero character");
}

TEST_F(PblToolSourcesTest, BinaryDataGoesOutAndComesBackWithItsSource) {
    std::string lib = sampleLibrary("a.pbl", "10");
    test::ProcessSpec put{.program = tool_, .args = {"put", lib, "w_ole.srw"}};
    put.input = utf16("forward\r\nend forward\r\n");
    ASSERT_EQ(test::runProcess(put).exitCode, 0);
    put.args = {"put", lib, "w_ole.bin"};
    put.input = std::string("\x04\0\0\0\xd0\xcf\x11\xe0", 8);
    ASSERT_EQ(test::runProcess(put).exitCode, 0);
    // With --all too, the entry goes into the section and into no file of its own.
    ok({"export", lib, path("out"), "--all"});
    EXPECT_FALSE(stdfs::exists(dir_ / "out" / "w_ole.bin"));
    const std::string file = test::readAll(dir_ / "out" / "w_ole.srw");
    EXPECT_EQ(file.substr(0, 74),
              "HA$PBExportHeader$w_ole.srw\r\nforward\r\nend forward\r\n\r\n"
              "Start of PowerBuilder");
    EXPECT_NE(file.find("\r\n0Dw_ole.bin \r\n2400000004e011cfd000000000"), std::string::npos);

    std::string copy = path("copy.pbl");
    ok({"create", copy, "10"});
    ok({"import", copy, path("out")});
    EXPECT_EQ(readSources(copy), readSources(lib));
    // The binary data entry is replaced only with --replace, like its source.
    test::writeAll(dir_ / "w_ole.srw", file);
    refused(copy, {path("w_ole.srw")}, "already holds w_ole.srw, w_ole.bin; give --replace");
    // A section that is not the file's entry's, or damaged, changes nothing.
    test::writeAll(dir_ / "other.srw", file.substr(0, 2) + "$PBExportHeader$w_other.srw" +
                                           file.substr(file.find("\r\n")));
    refused(copy, {path("other.srw")},
            "other.srw: not an export file: binary data section, line 6: it holds w_ole.bin, "
            "which is not the binary data of the file's entry");
    std::string damaged = file;
    const std::size_t endLine = damaged.find("\r\n1Dw_ole.bin");
    ASSERT_NE(endLine, std::string::npos);
    damaged[endLine - 8] = '1';  // the last word 10000000: the check digit still holds
    test::writeAll(dir_ / "w_ole.srw", damaged);
    refused(copy, {path("w_ole.srw"), "--replace"},
            "w_ole.srw: not an export file: binary data section, line 7: bytes other than zero");

    // Binary data that is not a run of records stays out, with a note, and --all writes it.
    put.input = "junk";
    ASSERT_EQ(test::runProcess(put).exitCode, 0);
    test::ProcessResult r = run({"export", lib, path("odd"), "--all"});
    EXPECT_NE(r.err.find("w_ole.srw: its binary data (w_ole.bin"), std::string::npos) << r.err;
    EXPECT_EQ(test::readAll(dir_ / "odd" / "w_ole.bin"), "junk");
    EXPECT_EQ(test::readAll(dir_ / "odd" / "w_ole.srw").find("Start of"), std::string::npos);
}

TEST_F(PblToolSourcesTest, ImportTakesTheSourcesOfADirectory) {
    std::string from = sampleLibrary("from.pbl", "10");
    test::ProcessSpec put{.program = tool_, .args = {"put", from, "d_a.dwo"}};
    put.input = "compiled";
    ASSERT_EQ(test::runProcess(put).exitCode, 0);
    ok({"export", from, path("out"), "--all"});
    std::string to = path("to.pbl");
    ok({"create", to, "10"});
    ok({"import", to, path("out")});
    EXPECT_EQ(readSources(to), readSources(from));
    EXPECT_EQ(ok({"ls", to}).find("d_a.dwo"), std::string::npos) << "compiled objects stay out";
}

}  // namespace
}  // namespace keldrin
