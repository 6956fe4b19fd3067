// keldrin-pbl through the real executable: every command with its output bytes, its error
// paths and exit codes, damaged and random input files, and a long random command
// sequence checked against a model of the library.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "pbl/library.h"
#include "support/pbl_checker.h"
#include "support/pbl_tool_fixture.h"
#include "support/process_runner.h"
#include "support/test_files.h"

namespace keldrin {
namespace {

namespace stdfs = std::filesystem;

struct RunResult {
    int exitCode = -1;  // -1 when the process did not exit normally
    int signal = 0;     // the signal that ended it, if any
    std::string out;
    std::string err;
};

class PblToolTest : public test::PblToolProcessTest {
  protected:
    // Runs the tool with the C locale (ANSI code page 1252), `input` on standard input,
    // and a time limit: a hang is a failure, not a stuck test run.
    RunResult run(const std::vector<std::string>& args, const std::string& input = std::string()) {
        test::ProcessResult p = runTool(args, input);
        return RunResult{p.exitCode, p.signal, std::move(p.out), std::move(p.err)};
    }

    // Runs a command that must succeed and returns its standard output.
    std::string ok(const std::vector<std::string>& args, const std::string& input = std::string()) {
        RunResult r = run(args, input);
        EXPECT_EQ(r.exitCode, 0) << args[0] << ": " << r.err;
        return r.out;
    }

    std::string path(const std::string& name) const { return (dir_ / name).string(); }

    std::string newLibrary(const std::string& name, int version) {
        std::string lib = path(name);
        ok({"create", lib, std::to_string(version)});
        return lib;
    }

    std::vector<std::string> filesInDir() const {
        std::vector<std::string> names;
        for (const auto& e : stdfs::directory_iterator(dir_)) {
            std::string n = e.path().filename().string();
            if (n[0] != '.' || n.find(".tmp") != std::string::npos) names.push_back(n);
        }
        std::sort(names.begin(), names.end());
        return names;
    }
};

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) result.push_back(line);
    return result;
}

// Line n of the text, or "(no line n)".
std::string lineAt(const std::string& text, std::size_t n) {
    std::vector<std::string> all = lines(text);
    return n < all.size() ? all[n] : "(no line " + std::to_string(n) + ")";
}

// ---------------------------------------------------------------------------------------
// create

TEST_F(PblToolTest, CreateWritesTheVariantThatTheVersionSelects) {
    struct Row {
        int version;
        std::size_t fileSize;
        std::string versionBytes;  // at the header's version field
        std::size_t versionOffset;
    };
    const std::string unicode0600(
        "0\0"
        "6\0"
        "0\0"
        "0\0",
        8);
    const Row rows[] = {
        {5, 4096, "0500", 18},       {6, 4096, "0600", 18},       {9, 4096, "0600", 18},
        {10, 4608, unicode0600, 32}, {12, 4608, unicode0600, 32},
    };
    for (const Row& row : rows) {
        std::string lib = newLibrary("v" + std::to_string(row.version) + ".pbl", row.version);
        std::string bytes = test::readAll(lib);
        ASSERT_EQ(bytes.size(), row.fileSize) << row.version;
        EXPECT_EQ(bytes.substr(0, 4), "HDR*");
        EXPECT_EQ(bytes.substr(row.versionOffset, row.versionBytes.size()), row.versionBytes)
            << row.version;
    }
    EXPECT_EQ(filesInDir().size(), std::size(rows)) << "no temporary file is left behind";
}

TEST_F(PblToolTest, CreateNeverReplacesAnExistingFile) {
    std::string lib = path("mine.pbl");
    test::writeAll(lib, "precious");
    RunResult r = run({"create", lib, "6"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("already exists"), std::string::npos) << r.err;
    EXPECT_EQ(test::readAll(lib), "precious");
    EXPECT_EQ(filesInDir(), std::vector<std::string>{"mine.pbl"});
}

// Library paths reach the system as they are: the ANSI code page (1252 here) need not
// carry them, for the commands that write a new file beside the library too.
TEST_F(PblToolTest, RebuildAndOptimizeTakeAnyPathTheSystemOpens) {
    const std::string lib = newLibrary("\xC3\xBC\xE6\x97\xA5.pbl", 10);  // "ü日.pbl"
    ok({"put", lib, "a.srd", "-"}, "body");
    ok({"optimize", lib});
    const std::string copy = path("x\xE6\x97\xA5.pbl");
    ok({"rebuild", lib, copy});
    EXPECT_EQ(ok({"cat", copy, "a.srd"}), "body");
    EXPECT_EQ(ok({"cat", lib, "a.srd"}), "body");
}

TEST_F(PblToolTest, CreateRefusesVersionsBelowFiveAsAUsageError) {
    for (const char* version : {"4", "0", "-3", "five", "", "6x"}) {
        RunResult r = run({"create", path("x.pbl"), version});
        EXPECT_EQ(r.exitCode, 2) << version;
        EXPECT_NE(r.err.find("usage: keldrin-pbl"), std::string::npos);
        EXPECT_FALSE(stdfs::exists(path("x.pbl"))) << version;
    }
}

TEST_F(PblToolTest, CreateReportsADirectoryThatDoesNotExist) {
    RunResult r = run({"create", path("missing/x.pbl"), "6"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_FALSE(r.err.empty());
}

// ---------------------------------------------------------------------------------------
// usage

TEST_F(PblToolTest, BadCommandLinesExitTwoWithTheUsageText) {
    std::string lib = newLibrary("u.pbl", 6);
    const std::vector<std::vector<std::string>> rows = {
        {},
        {"frobnicate"},
        {"ls"},
        {"info", lib, "extra"},
        {"ls", lib, "--jsn"},
        {"cat", lib},
        {"put", lib, "a", "--time"},
        {"put", lib, "a", "--time", "soon"},
        {"put", lib, "a", "--time", "4294967296"},
        {"put", lib, "a", "--comment", "x", "--comment", "y"},
        {"put", lib, ""},
        {"rebuild", lib, path("o.pbl"), "--version", "4"},
        {"export", lib},
    };
    for (const auto& args : rows) {
        RunResult r = run(args);
        EXPECT_EQ(r.exitCode, 2) << (args.empty() ? "(none)" : args[0]);
        EXPECT_NE(r.err.find("usage: keldrin-pbl"), std::string::npos);
        EXPECT_TRUE(r.out.empty());
    }
    EXPECT_EQ(ok({"ls", lib}), "") << "the library is unchanged";
}

// The usage text, `help COMMAND` and dispatch come from one table: every command the
// usage lists once has its own help with the summary the usage shows, and dispatches;
// an unknown one is a usage error.
TEST_F(PblToolTest, HelpAndVersionComeFromTheCommandTable) {
    const std::string usage = ok({"--help"});
    EXPECT_EQ(ok({"help"}), usage);
    EXPECT_EQ(ok({"-h"}), usage);
    std::istringstream lines(usage);
    std::set<std::string> names;
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("  ", 0) != 0 || line[2] == ' ') continue;
        const std::string name = line.substr(2, line.find(' ', 2) - 2);
        EXPECT_TRUE(names.insert(name).second) << name << " is listed twice";
        const std::string help = ok({"help", name});
        EXPECT_EQ(help.rfind("usage: keldrin-pbl [--wait SECONDS] [--codepage N] " + name + " ", 0),
                  0u)
            << name;
        const std::size_t summaryAt = help.find('\n') + 1;
        const std::string summary = help.substr(summaryAt, help.find('\n', summaryAt) - summaryAt);
        EXPECT_FALSE(summary.empty()) << name;
        EXPECT_NE(usage.find(summary + "\n"), std::string::npos) << name;
        // Listed and dispatched alike: a bad option is the command's own usage error.
        RunResult bad = run({name, "--no-such-option"});
        EXPECT_EQ(bad.exitCode, 2) << name;
        EXPECT_EQ(bad.err.find("unknown command"), std::string::npos) << name << ": " << bad.err;
    }
    EXPECT_TRUE(names.count("help")) << usage;
    RunResult unknown = run({"help", "frobnicate"});
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_NE(unknown.err.find("unknown command frobnicate"), std::string::npos) << unknown.err;
    EXPECT_EQ(ok({"--version"}), "keldrin-pbl " KELDRIN_VERSION "\n");
    EXPECT_EQ(run({"--version", "x"}).exitCode, 2);
}

TEST_F(PblToolTest, ADoubleDashLetsANameBeginWithDashes) {
    std::string lib = newLibrary("d.pbl", 6);
    ok({"put", lib, "--", "--odd", "-"}, "x");
    EXPECT_EQ(ok({"cat", lib, "--", "--odd"}), "x");
}

// ---------------------------------------------------------------------------------------
// put and cat

TEST_F(PblToolTest, PutAndCatMoveExactBytes) {
    std::string binary("\0\xFF\x01\r\n\x1A end\0", 11);
    std::string big(1200, '\0');
    for (std::size_t i = 0; i < big.size(); ++i) big[i] = static_cast<char>(i * 7);
    for (int version : {6, 10}) {
        std::string lib = newLibrary("p" + std::to_string(version) + ".pbl", version);
        test::writeAll(path("in.bin"), binary);
        ok({"put", lib, "bin.srd", path("in.bin")});
        ok({"put", lib, "stdin.srd", "-"}, big);
        ok({"put", lib, "implicit.srd"}, "from stdin");
        ok({"put", lib, "empty.srd"}, "");
        EXPECT_EQ(ok({"cat", lib, "bin.srd"}), binary);
        EXPECT_EQ(ok({"cat", lib, "stdin.srd"}), big);
        EXPECT_EQ(ok({"cat", lib, "implicit.srd"}), "from stdin");
        EXPECT_EQ(ok({"cat", lib, "empty.srd"}), "");
        // Replacing with fewer bytes leaves nothing of the old data behind.
        ok({"put", lib, "stdin.srd"}, "short");
        EXPECT_EQ(ok({"cat", lib, "stdin.srd"}), "short");
        EXPECT_EQ(ok({"cat", lib, "STDIN.SRD"}), "short") << "names compare without ASCII case";
    }
}

TEST_F(PblToolTest, PutStoresTheCommentInTheLibrarysTextEncoding) {
    std::string ansi = newLibrary("a.pbl", 6);
    ok({"put", ansi, "e.srd", "--comment", "Grüße"}, "body");
    EXPECT_EQ(ok({"cat", ansi, "e.srd", "--comment"}),
              "Gr\xFC\xDF"
              "e");
    EXPECT_EQ(ok({"cat", ansi, "e.srd"}), "body");
    EXPECT_EQ(lineAt(ok({"ls", ansi}), 0).substr(0, 10), "e.srd\t9\t5\t");

    std::string unicode = newLibrary("u.pbl", 10);
    ok({"put", unicode, "e.srd", "--comment", "Grüße"}, "body");
    EXPECT_EQ(ok({"cat", unicode, "e.srd", "--comment"}), std::string("G\0r\0\xFC\0\xDF\0"
                                                                      "e\0",
                                                                      10));
    EXPECT_EQ(ok({"cat", unicode, "e.srd"}), "body");
    EXPECT_EQ(lineAt(ok({"ls", unicode}), 0).substr(0, 12), "e.srd\t14\t10\t");
}

TEST_F(PblToolTest, PutSetsTheTimeOrTheCurrentTime) {
    std::string lib = newLibrary("t.pbl", 6);
    ok({"put", lib, "a", "--time", "951782400"}, "x");
    ok({"put", lib, "b", "--time", "0"}, "x");
    ok({"put", lib, "c", "--time", "-1"}, "x");
    std::int64_t before = std::time(nullptr);
    ok({"put", lib, "d"}, "x");
    std::int64_t after = std::time(nullptr);
    // Replacing an entry without --time gives it the current time again.
    ok({"put", lib, "a", "--time", "100"}, "y");
    std::string json = ok({"ls", lib, "--json"});
    EXPECT_NE(json.find("{\"name\": \"a\", \"data_size\": 1, \"comment_size\": 0, \"time\": 100}"),
              std::string::npos)
        << json;
    EXPECT_NE(json.find("\"name\": \"b\", \"data_size\": 1, \"comment_size\": 0, \"time\": 0}"),
              std::string::npos);
    EXPECT_NE(json.find("\"time\": -1}"), std::string::npos);
    std::size_t at = json.find("\"name\": \"d\"");
    ASSERT_NE(at, std::string::npos);
    std::int64_t dTime = std::stoll(json.substr(json.find("\"time\": ", at) + 8));
    EXPECT_GE(dTime, before);
    EXPECT_LE(dTime, after);
}

TEST_F(PblToolTest, NamesPassThroughTheAnsiCodePage) {
    std::string lib = newLibrary("n.pbl", 6);
    ok({"put", lib, "café.srd"}, "x");
    EXPECT_EQ(lineAt(ok({"ls", lib}), 0).substr(0, 10), "café.srd\t");
    EXPECT_EQ(ok({"cat", lib, "CAFé.srd"}), "x");
    // The stored name is the ANSI byte 0xE9.
    pbl::PblManagerHandle manager(pbl::createPblManager());
    pbl::PblLibraryHandle library(manager->openLibrary(std::u16string(lib.begin(), lib.end()), 0));
    ASSERT_TRUE(library);
    pbl::PblEntryInfo info{};
    EXPECT_EQ(library->findEntry("caf\xE9.srd", info, 0), 0);
    EXPECT_EQ(info.nameSize, 8);
    library.reset();

    // A name that code page 1252 cannot carry would become "?" and name another entry.
    std::string before = test::readAll(lib);
    for (const char* name : {"日本.srd", "a\xFF\xFE.srd"}) {
        RunResult r = run({"put", lib, name}, "y");
        EXPECT_EQ(r.exitCode, 1) << name;
        EXPECT_NE(r.err.find("ANSI code page"), std::string::npos) << r.err;
    }
    EXPECT_EQ(test::readAll(lib), before);
}

TEST_F(PblToolTest, PutFailsWithoutChangingTheLibrary) {
    std::string lib = newLibrary("f.pbl", 6);
    ok({"put", lib, "keep.srd"}, "kept");
    std::string before = test::readAll(lib);
    RunResult missingFile = run({"put", lib, "new.srd", path("no-such-file")});
    EXPECT_EQ(missingFile.exitCode, 1);
    EXPECT_NE(missingFile.err.find("cannot open the file"), std::string::npos);
    RunResult longComment = run({"put", lib, "new.srd", "--comment", std::string(32768, 'c')}, "x");
    EXPECT_EQ(longComment.exitCode, 1);
    EXPECT_NE(longComment.err.find("too long"), std::string::npos);
    RunResult noLibrary = run({"put", path("none.pbl"), "a"}, "x");
    EXPECT_EQ(noLibrary.exitCode, 1);
    EXPECT_NE(noLibrary.err.find("no such file"), std::string::npos);
    EXPECT_FALSE(stdfs::exists(path("none.pbl")));
    EXPECT_EQ(test::readAll(lib), before);
}

TEST_F(PblToolTest, CatReportsAMissingEntry) {
    std::string lib = newLibrary("c.pbl", 10);
    RunResult r = run({"cat", lib, "nothing.srd"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_EQ(r.err, "keldrin-pbl: nothing.srd: no such entry\n");
    EXPECT_TRUE(r.out.empty());
}

// ---------------------------------------------------------------------------------------
// rm

TEST_F(PblToolTest, RmDeletesAndThenReportsNoSuchEntry) {
    std::string lib = newLibrary("r.pbl", 6);
    ok({"put", lib, "a.srd"}, "1");
    ok({"put", lib, "b.srd"}, "2");
    ok({"rm", lib, "A.SRD"});
    EXPECT_EQ(lines(ok({"ls", lib})).size(), 1u);
    EXPECT_EQ(ok({"cat", lib, "b.srd"}), "2");
    RunResult again = run({"rm", lib, "a.srd"});
    EXPECT_EQ(again.exitCode, 1);
    EXPECT_EQ(again.err, "keldrin-pbl: a.srd: no such entry\n");
}

// ---------------------------------------------------------------------------------------
// ls

TEST_F(PblToolTest, LsPrintsOneLinePerEntryAndEscapesForTerminalsAndJson) {
    std::string lib = newLibrary("l.pbl", 6);
    EXPECT_EQ(ok({"ls", lib}), "");
    EXPECT_EQ(ok({"ls", lib, "--json"}), "[]\n");
    ok({"put", lib, "tab\there \"q\" \\", "--time", "951782400", "--comment", "cc"}, "abc");
    EXPECT_EQ(ok({"ls", lib}), "tab\\x09here \"q\" \\\t5\t2\t2000-02-29T00:00:00Z\n");
    EXPECT_EQ(
        ok({"ls", lib, "--json"}),
        "[\n  {\"name\": \"tab\\u0009here \\\"q\\\" \\\\\", \"data_size\": 5, \"comment_size\": 2, "
        "\"time\": 951782400}\n]\n");
    ok({"put", lib, "second", "--time", "-1"}, "");
    std::vector<std::string> text = lines(ok({"ls", lib}));
    ASSERT_EQ(text.size(), 2u);
    EXPECT_EQ(text[1], "second\t0\t0\t1969-12-31T23:59:59Z");
}

TEST_F(PblToolTest, IsoTimesFollowTheCalendar) {
    std::string lib = newLibrary("time.pbl", 6);
    const std::pair<const char*, const char*> rows[] = {
        {"0", "1970-01-01T00:00:00Z"},           {"86399", "1970-01-01T23:59:59Z"},
        {"951868799", "2000-02-29T23:59:59Z"},   {"2147483647", "2038-01-19T03:14:07Z"},
        {"-2147483648", "1901-12-13T20:45:52Z"}, {"1709251199", "2024-02-29T23:59:59Z"},
    };
    for (const auto& [seconds, iso] : rows) {
        ok({"put", lib, "e", "--time", seconds}, "");
        EXPECT_EQ(lineAt(ok({"ls", lib}), 0), std::string("e\t0\t0\t") + iso) << seconds;
    }
}

// ---------------------------------------------------------------------------------------
// comment and info

TEST_F(PblToolTest, CommentPrintsAndSetsWithinTheHeaderCapacity) {
    for (int version : {6, 10}) {
        std::string lib = newLibrary("c" + std::to_string(version) + ".pbl", version);
        EXPECT_EQ(ok({"comment", lib}), "\n");
        ok({"comment", lib, "Grüße, Welt"});
        EXPECT_EQ(ok({"comment", lib}), "Grüße, Welt\n");
        ok({"comment", lib, std::string(255, 'x')});
        EXPECT_EQ(ok({"comment", lib}), std::string(255, 'x') + "\n");
        RunResult tooLong = run({"comment", lib, std::string(256, 'y')});
        EXPECT_EQ(tooLong.exitCode, 1);
        EXPECT_NE(tooLong.err.find("too long"), std::string::npos);
        EXPECT_EQ(ok({"comment", lib}), std::string(255, 'x') + "\n");
    }
    std::string ansi = path("c6.pbl");
    std::string header = test::readAll(ansi).substr(28, 4);
    EXPECT_EQ(header, "xxxx");
}

TEST_F(PblToolTest, InfoReportsHeaderAndBlockUse) {
    std::string lib = newLibrary("i.pbl", 6);
    std::vector<std::string> fresh = lines(ok({"info", lib}));
    ASSERT_EQ(fresh.size(), 8u);
    EXPECT_EQ(fresh[0], "variant: ANSI");
    EXPECT_EQ(fresh[1], "header version: 0600");
    EXPECT_EQ(fresh[2], "version: 6");
    EXPECT_EQ(fresh[3].substr(0, 9), "created: ");
    EXPECT_EQ(fresh[4], "comment: ");
    EXPECT_EQ(fresh[5], "library data: 0 bytes");
    EXPECT_EQ(fresh[6], "entries: 0");
    EXPECT_EQ(fresh[7], "blocks: 8 in file, 8 in use, 0 free");

    ok({"put", lib, "a"}, "1");  // block 8
    ok({"put", lib, "b"}, "2");  // block 9
    ok({"rm", lib, "a"});
    ok({"comment", lib, "hi"});
    std::vector<std::string> after = lines(ok({"info", lib}));
    EXPECT_EQ(after[4], "comment: hi");
    EXPECT_EQ(after[6], "entries: 1");
    EXPECT_EQ(after[7], "blocks: 10 in file, 9 in use, 1 free");

    std::string unicode = newLibrary("iu.pbl", 10);
    std::string json = ok({"info", unicode, "--json"});
    std::string created = json.substr(json.find("\"created\": ") + 11);
    created = created.substr(0, created.find(','));
    EXPECT_EQ(
        json,
        "{\"variant\": \"Unicode\", \"header_version\": \"0600\", \"version\": 10, \"created\": " +
            created +
            ", \"comment\": \"\", \"library_data_length\": 0, \"entries\": 0, \"file_blocks\": 9, "
            "\"blocks_in_use\": 9, \"blocks_free\": 0}\n");
    std::int64_t createdSeconds = std::stoll(created);
    EXPECT_LE(std::llabs(createdSeconds - std::time(nullptr)), 600);
}

// ---------------------------------------------------------------------------------------
// export

struct FileInfo {
    std::string bytes;
    std::int64_t mtime;
};

std::map<std::string, FileInfo> exportedFiles(const stdfs::path& dir) {
    std::map<std::string, FileInfo> files;
    for (const auto& e : stdfs::directory_iterator(dir)) {
        struct stat st {};
        stat(e.path().c_str(), &st);
        files[e.path().filename().string()] = {test::readAll(e.path()),
                                               static_cast<std::int64_t>(st.st_mtime)};
    }
    return files;
}

TEST_F(PblToolTest, ExportWritesExportFilesWithEntryTimesAndComments) {
    std::string ansi = newLibrary("a.pbl", 6);
    ok({"put", ansi, "café.srd", "--comment", "exported", "--time", "1000000000"},
       "Gr\xFC\xDF"
       "e\r\n");
    ok({"put", ansi, "empty.srw", "--time", "5"}, "");
    ok({"export", ansi, path("out-a")});
    auto files = exportedFiles(dir_ / "out-a");
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(files["café.srd"].bytes,
              "$PBExportHeader$caf\xE9.srd\r\n$PBExportComments$exported\r\nGr\xFC\xDF"
              "e\r\n");
    EXPECT_EQ(files["café.srd"].mtime, 1000000000);
    EXPECT_EQ(files["empty.srw"].bytes, "$PBExportHeader$empty.srw\r\n");
    EXPECT_EQ(files["empty.srw"].mtime, 5);
    ok({"export", ansi, path("out-8"), "--encoding", "utf8"});
    EXPECT_EQ(exportedFiles(dir_ / "out-8")["café.srd"].bytes,
              "\xEF\xBB\xBF$PBExportHeader$café.srd\r\n$PBExportComments$exported\r\nGrüße\r\n");

    ok({"export", ansi, path("out-raw"), "--raw"});
    EXPECT_EQ(exportedFiles(dir_ / "out-raw")["café.srd"].bytes,
              "Gr\xFC\xDF"
              "e\r\n");

    std::string unicode = newLibrary("u.pbl", 10);
    ok({"put", unicode, "w.srd", "--comment", "c", "--time", "77"},
       std::string("G\0\xFC\0\x3D\xD8\x00\xDE", 8));
    ok({"put", unicode, "odd.dwo", "--time", "78"}, std::string("\x01\x02\x03", 3));
    RunResult r = run({"export", unicode, path("out-u"), "--all"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    auto unicodeFiles = exportedFiles(dir_ / "out-u");
    EXPECT_EQ(unicodeFiles["w.srd"].bytes,
              "HA$PBExportHeader$w.srd\r\n$PBExportComments$c\r\nG$$HEX3$$fc003dd800de$$ENDHEX$$");
    EXPECT_EQ(unicodeFiles["w.srd"].mtime, 77);
    EXPECT_EQ(unicodeFiles["odd.dwo"].bytes, std::string("\x01\x02\x03", 3))
        << "compiled objects stay exact";
    EXPECT_EQ(unicodeFiles["odd.dwo"].mtime, 78);

    // Exporting again replaces the files.
    ok({"put", ansi, "café.srd", "--time", "9"}, "new");
    ok({"export", ansi, path("out-a")});
    EXPECT_EQ(exportedFiles(dir_ / "out-a")["café.srd"].bytes,
              "$PBExportHeader$caf\xE9.srd\r\nnew");
}

TEST_F(PblToolTest, ExportKeepsEveryFileInsideTheDirectoryAndDistinct) {
    std::string lib = newLibrary("x.pbl", 6);
    const std::vector<std::string> names = {
        "../escape.srd", "a/b.srd",   "a_b.srd",    "..",    ".",
        "con.srd",       "A:B*?.srd", "trailing. ", "x\x01y"};
    for (std::size_t i = 0; i < names.size(); ++i)
        ok({"put", lib, names[i]}, "body" + std::to_string(i));
    stdfs::create_directory(dir_ / "out");
    ok({"export", lib, path("out"), "--all", "--raw"});
    auto files = exportedFiles(dir_ / "out");
    EXPECT_EQ(files.size(), names.size());
    std::vector<std::string> bodies;
    for (const auto& [name, info] : files) {
        EXPECT_EQ(name.find('/'), std::string::npos);
        EXPECT_NE(name, "..");
        EXPECT_NE(name, ".");
        EXPECT_EQ(name.find('\x01'), std::string::npos);
        bodies.push_back(info.bytes);
    }
    std::sort(bodies.begin(), bodies.end());
    for (std::size_t i = 0; i < names.size(); ++i) EXPECT_EQ(bodies[i], "body" + std::to_string(i));
    EXPECT_FALSE(stdfs::exists(dir_ / "escape.srd"));
    EXPECT_TRUE(files.count("_con.srd"));
    EXPECT_TRUE(files.count("A_B__.srd"));
    EXPECT_TRUE(files.count("x_y"));
}

TEST_F(PblToolTest, ExportReportsADirectoryItCannotCreate) {
    std::string lib = newLibrary("x.pbl", 6);
    ok({"put", lib, "a"}, "1");
    test::writeAll(path("file"), "");
    RunResult r = run({"export", lib, path("file")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("cannot create the directory"), std::string::npos) << r.err;
}

// ---------------------------------------------------------------------------------------
// rebuild and optimize

TEST_F(PblToolTest, RebuildCopiesEveryEntryIntoAFreshLibrary) {
    std::string lib = newLibrary("src.pbl", 6);
    for (int i = 0; i < 40; ++i)
        ok({"put", lib, "entry" + std::to_string(i) + ".srd", "--time", std::to_string(1000 + i),
            "--comment", "c" + std::to_string(i)},
           std::string(static_cast<std::size_t>(i * 37), static_cast<char>('a' + i % 26)));
    ok({"comment", lib, "library comment"});
    ok({"rebuild", lib, path("out.pbl")});
    auto sorted = [](const std::string& text) {
        std::vector<std::string> l = lines(text);
        std::sort(l.begin(), l.end());
        return l;
    };
    EXPECT_EQ(sorted(ok({"ls", path("out.pbl")})), sorted(ok({"ls", lib})));
    EXPECT_EQ(ok({"cat", path("out.pbl"), "entry17.srd"}), ok({"cat", lib, "entry17.srd"}));
    EXPECT_EQ(ok({"comment", path("out.pbl")}), "library comment\n");

    // Into the other variant: what becomes of comments and data is the rebuild's choice;
    // the names and the variant are the tool's part.
    std::string plain = newLibrary("plain.pbl", 6);
    for (const char* name : {"b.srd", "a.srd", "café.srd"}) ok({"put", plain, name}, "x");
    ok({"rebuild", plain, path("wide.pbl"), "--version", "10"});
    EXPECT_EQ(lineAt(ok({"info", path("wide.pbl")}), 0), "variant: Unicode");
    auto names = [](const std::string& listing) {
        std::vector<std::string> result;
        for (const std::string& line : lines(listing))
            result.push_back(line.substr(0, line.find('\t')));
        std::sort(result.begin(), result.end());
        return result;
    };
    EXPECT_EQ(names(ok({"ls", path("wide.pbl")})),
              (std::vector<std::string>{"a.srd", "b.srd", "café.srd"}));

    RunResult self = run({"rebuild", lib, lib});
    EXPECT_EQ(self.exitCode, 1);
    EXPECT_NE(self.err.find("optimize"), std::string::npos);
}

TEST_F(PblToolTest, RebuildOfAnOldHeaderVersionAsksForAVersion) {
    std::string lib = newLibrary("old.pbl", 5);
    ok({"put", lib, "a.srd"}, "data");
    std::string bytes = test::readAll(lib);
    bytes.replace(18, 4, "0300");
    test::writeAll(lib, bytes);
    RunResult r = run({"rebuild", lib, path("new.pbl")});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("0300"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--version 5"), std::string::npos) << r.err;
    ok({"rebuild", lib, path("new.pbl"), "--version", "5"});
    EXPECT_EQ(ok({"cat", path("new.pbl"), "a.srd"}), "data");
    EXPECT_EQ(lineAt(ok({"info", path("new.pbl")}), 1), "header version: 0500");
}

TEST_F(PblToolTest, OptimizeKeepsAByteIdenticalBackupAndEntryTimes) {
    std::string lib = newLibrary("o.pbl", 6);
    for (int i = 0; i < 30; ++i)
        ok({"put", lib, "n" + std::to_string(i * 7919 % 30), "--time", std::to_string(500 + i)},
           std::string(static_cast<std::size_t>(i * 100), 'z'));
    for (int i = 0; i < 30; i += 3) ok({"rm", lib, "n" + std::to_string(i)});
    std::string before = test::readAll(lib);
    std::string listing = ok({"ls", lib, "--json"});
    test::writeAll(lib + ".bak", "an older backup");
    // An existing backup is someone's file: only --force replaces it.
    RunResult refused = run({"optimize", lib});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("--force"), std::string::npos) << refused.err;
    EXPECT_EQ(test::readAll(lib + ".bak"), "an older backup");
    EXPECT_EQ(test::readAll(lib), before);
    ok({"optimize", lib, "--force"});
    EXPECT_EQ(test::readAll(lib + ".bak"), before);
    std::vector<std::string> a = lines(listing), b = lines(ok({"ls", lib, "--json"}));
    std::sort(a.begin(), a.end());
    std::sort(b.begin(), b.end());
    for (auto& l : a) l.erase(l.find_last_not_of(",") + 1);
    for (auto& l : b) l.erase(l.find_last_not_of(",") + 1);
    EXPECT_EQ(a, b);
    EXPECT_LE(test::readAll(lib).size(), before.size());
    EXPECT_EQ(filesInDir(), (std::vector<std::string>{"o.pbl", "o.pbl.bak"}));
}

TEST_F(PblToolTest, CheckReportsProblemsWithWhereAndDamageMessagesSayWhere) {
    std::string lib = newLibrary("k.pbl", 6);
    ok({"put", lib, "d_x.srd"}, std::string(600, 'x'));
    RunResult clean = run({"check", lib});
    EXPECT_EQ(clean.exitCode, 0) << clean.out;
    EXPECT_EQ(clean.out, "0 problems, 0 notes\n");
    EXPECT_EQ(ok({"check", lib, "--json"}), "[]\n");

    std::string bytes = test::readAll(lib);
    std::size_t dat = bytes.find("DAT*");
    ASSERT_NE(dat, std::string::npos);
    bytes.replace(dat, 4, "XXXX");
    test::writeAll(lib, bytes);
    RunResult damaged = run({"check", lib});
    EXPECT_EQ(damaged.exitCode, 1);
    EXPECT_NE(damaged.out.find("problem data-chain: data block lacks its signature at offset " +
                               std::to_string(dat) + " (entry 'd_x.srd')"),
              std::string::npos)
        << damaged.out;
    RunResult json = run({"check", lib, "--json"});
    EXPECT_EQ(json.exitCode, 1);
    EXPECT_NE(json.out.find("\"severity\": \"problem\""), std::string::npos) << json.out;
    EXPECT_NE(json.out.find("\"offset\": " + std::to_string(dat)), std::string::npos) << json.out;

    // The commands that meet the damage say what and where, not only "damaged library".
    RunResult cat = run({"cat", lib, "d_x.srd"});
    EXPECT_EQ(cat.exitCode, 1);
    EXPECT_NE(cat.err.find("damaged library: "), std::string::npos) << cat.err;
    EXPECT_NE(cat.err.find("offset " + std::to_string(dat)), std::string::npos) << cat.err;
    EXPECT_EQ(test::readAll(lib), bytes);
    // Optimize leaves a damaged library alone, and makes no backup of it.
    RunResult optimized = run({"optimize", lib});
    EXPECT_EQ(optimized.exitCode, 1);
    EXPECT_NE(optimized.err.find("damaged"), std::string::npos) << optimized.err;
    EXPECT_EQ(test::readAll(lib), bytes);
    EXPECT_EQ(filesInDir(), std::vector<std::string>{"k.pbl"});

    EXPECT_EQ(run({"check", path("none.pbl")}).exitCode, 1);
    EXPECT_EQ(run({"check"}).exitCode, 2);
}

// A library cut short, as a crash or a full disk leaves it. "data.srd" took the block
// a deleted entry gave back, so its chain starts early in the file and ends at its end;
// a name too long for the root's room took a node of its own. Every command that reads
// the whole library meets the cut as cat does (exit 1, the same words), leaves the
// library as it was and writes no file: none that holds bytes the library does not.
TEST_F(PblToolTest, ACutLibraryIsDamageToEveryCommandThatReadsItWhole) {
    const std::string lib = newLibrary("t.pbl", 6);
    ok({"put", lib, "gone.srd"}, std::string(400, 'g'));
    ok({"put", lib, "keep.srd"}, std::string(400, 'k'));
    ok({"put", lib, std::string(2990, 'z')}, "a node of its own");
    ok({"rm", lib, "gone.srd"});
    ok({"put", lib, "data.srd"}, std::string(800, 'X'));
    const std::string whole = test::readAll(lib);
    // Blocks 8 and 17 hold data.srd, 9 keep.srd, 10 to 15 the root's right child, 16 the
    // long name's data.
    ASSERT_EQ(whole.size(), 18u * 512u);
    ASSERT_EQ(whole.substr(5120, 4), "NOD*");
    ASSERT_EQ(whole.substr(4096 + 4, 4), std::string("\x00\x22\x00\x00", 4));  // next: 8704
    ASSERT_EQ(whole.substr(8704 + 10, 800 - 502), std::string(800 - 502, 'X'));

    struct Cut {
        const char* name;
        std::size_t length;
        bool onlyDataSrd;  // the cut takes nothing from the file but data.srd's last block
    };
    const Cut cuts[] = {
        {"inside data.srd's last data block", 8704 + 300, true},
        {"at the block boundary before data.srd's last block", 8704, true},
        {"inside the root's child node", 5120 + 1000, false},
    };
    const std::string out = path("out");
    const std::string rebuilt = path("r.pbl");
    const std::vector<std::vector<std::string>> commands = {
        {"export", lib, out},
        {"export", lib, out, "--raw"},
        {"export", lib, out, "--all"},
        {"rebuild", lib, rebuilt},
        {"optimize", lib},
        {"optimize", lib, "--force"},
    };
    for (const Cut& cut : cuts) {
        const std::string bytes = whole.substr(0, cut.length);
        test::writeAll(lib, bytes);
        RunResult cat = run({"cat", lib, "data.srd"});
        ASSERT_EQ(cat.exitCode, 1) << cut.name;
        const std::string prefix = "keldrin-pbl: data.srd: ";
        ASSERT_EQ(cat.err.rfind(prefix + "damaged library: ", 0), 0u) << cut.name << "\n"
                                                                      << cat.err;
        ASSERT_NE(cat.err.find(" (entry 'data.srd')\n"), std::string::npos) << cut.name << "\n"
                                                                            << cat.err;
        const std::string said = cat.err.substr(prefix.size());
        for (const std::vector<std::string>& command : commands) {
            const std::string shown = std::string(cut.name) + ": " + command[0] + " " +
                                      (command.size() > 3 ? command[3] : "");
            RunResult r = run(command);
            EXPECT_EQ(r.signal, 0) << shown;
            EXPECT_EQ(r.exitCode, 1) << shown << "\n" << r.err;
            if (cut.onlyDataSrd) {
                EXPECT_TRUE(r.err.size() > said.size() &&
                            r.err.compare(r.err.size() - said.size(), said.size(), said) == 0)
                    << shown << "\n"
                    << r.err << "cat says\n"
                    << cat.err;
            } else {
                EXPECT_NE(r.err.find(": damaged library: "), std::string::npos) << shown << r.err;
            }
            EXPECT_EQ(test::readAll(lib), bytes) << shown;
            // Export has made its directory, but not a file in it.
            if (stdfs::exists(out)) {
                EXPECT_TRUE(stdfs::is_empty(out)) << shown;
                stdfs::remove_all(out);
            }
            EXPECT_EQ(filesInDir(), std::vector<std::string>{"t.pbl"}) << shown;
        }
    }
}

// ---------------------------------------------------------------------------------------
// a failed change leaves the file as it was

// Damage that each changing command may meet on its way: it may succeed where the
// damage is not in its way, but when it fails, not a byte of the file may differ.
TEST_F(PblToolTest, AChangingCommandThatFailsOnDamageLeavesEveryByte) {
    std::string lib = newLibrary("t.pbl", 6);
    for (int i = 0; i < 8; ++i)
        ok({"put", lib, "e" + std::to_string(i), "--comment", "c"},
           std::string(700, static_cast<char>('a' + i)));
    const std::string base = test::readAll(lib);
    const std::size_t root = 1024;  // ANSI header (512) + first bitmap block (512)
    auto at = [&](std::string bytes, std::size_t offset, const std::string& with) {
        bytes.replace(offset, with.size(), with);
        return bytes;
    };
    const std::size_t firstData = base.find("DAT*");
    ASSERT_NE(firstData, std::string::npos);
    const std::vector<std::pair<std::string, std::string>> damages = {
        {"bitmap link out of the file", at(base, 512 + 4, std::string("\x00\x00\x10\x7f", 4))},
        {"bitmap link into itself", at(base, 512 + 4, std::string("\x00\x02\x00\x00", 4))},
        {"data block signature", at(base, firstData, "XXXX")},
        {"data chain link out of the file",
         at(base, firstData + 4, std::string("\x00\x00\x10\x7f", 4))},
        {"node signature", at(base, root, "XXXX")},
        {"node record count", at(base, root + 16, std::string("\xff\x7f", 2))},
        {"entry record signature", at(base, root + 32, "XXXX")},
        {"truncated file", base.substr(0, base.size() - 700)},
    };
    const std::vector<std::vector<std::string>> commands = {
        {"put", lib, "new.srd"},     {"put", lib, "e0"}, {"put", lib, "e7", "--comment", "x"},
        {"rm", lib, "e0"},           {"rm", lib, "e7"},  {"comment", lib, "changed"},
        {"optimize", lib, "--force"}};
    for (const auto& [what, bytes] : damages) {
        for (const std::vector<std::string>& command : commands) {
            test::writeAll(lib, bytes);
            RunResult r = run(command, std::string(1500, 'n'));
            std::string shown = what + ": " + command[0] + " " + command[2];
            EXPECT_EQ(r.signal, 0) << shown;
            ASSERT_TRUE(r.exitCode == 0 || r.exitCode == 1) << shown << "\n" << r.err;
            if (r.exitCode == 1) {
                EXPECT_EQ(test::readAll(lib), bytes) << shown << "\n" << r.err;
            }
            stdfs::remove(lib + ".bak");
            EXPECT_EQ(filesInDir(), std::vector<std::string>{"t.pbl"}) << shown;
        }
    }
}

TEST_F(PblToolTest, AWriteProtectedLibraryIsRefusedByEveryChangingCommand) {
    std::string lib = newLibrary("ro.pbl", 6);
    ok({"put", lib, "a"}, "a");
    std::string before = test::readAll(lib);
    ASSERT_EQ(chmod(lib.c_str(), 0444), 0);
    // Root may write anyway; the rule is the file's own mark, the same for everyone.
    for (const std::vector<std::string>& command : {std::vector<std::string>{"put", lib, "b"},
                                                    {"rm", lib, "a"},
                                                    {"comment", lib, "x"},
                                                    {"optimize", lib}}) {
        RunResult r = run(command, "b");
        EXPECT_EQ(r.exitCode, 1) << command[0];
        EXPECT_NE(r.err.find("write-protected"), std::string::npos) << command[0] << r.err;
    }
    EXPECT_EQ(test::readAll(lib), before);
    EXPECT_EQ(ok({"cat", lib, "a"}), "a");
    EXPECT_EQ(filesInDir(), std::vector<std::string>{"ro.pbl"});
}

TEST_F(PblToolTest, MessagesNameTheTrueLimitsAndWhatIsMissing) {
    for (int version : {6, 10}) {
        std::string lib = newLibrary("m" + std::to_string(version) + ".pbl", version);
        std::string before = test::readAll(lib);
        RunResult longName = run({"put", lib, std::string(3100, 'n')}, "x");
        EXPECT_EQ(longName.exitCode, 1);
        EXPECT_NE(longName.err.find("too long: at most"), std::string::npos) << longName.err;
        EXPECT_EQ(run({"cat", lib, std::string(3100, 'n')}).err, longName.err);
        EXPECT_EQ(test::readAll(lib), before);
    }
    // ANSI comments take every byte up to the signed 16-bit count; Unicode ones whole
    // characters only.
    std::string ansi = path("m6.pbl");
    ok({"put", ansi, "c", "--comment", std::string(32767, 'c')}, "x");
    RunResult tooLong = run({"put", ansi, "c", "--comment", std::string(32768, 'c')}, "x");
    EXPECT_NE(tooLong.err.find("at most 32767 bytes"), std::string::npos) << tooLong.err;
    RunResult unicode =
        run({"put", path("m10.pbl"), "c", "--comment", std::string(16384, 'c')}, "x");
    EXPECT_NE(unicode.err.find("at most 32766 bytes"), std::string::npos) << unicode.err;

    RunResult noDirectory = run({"rebuild", ansi, path("missing/out.pbl")});
    EXPECT_EQ(noDirectory.exitCode, 1);
    EXPECT_NE(noDirectory.err.find("does not exist"), std::string::npos) << noDirectory.err;

    ok({"comment", ansi, "tab\there\x1b[31m"});
    EXPECT_EQ(ok({"comment", ansi}).find('\x1b'), std::string::npos);
}

TEST_F(PblToolTest, OptimizeTakesAVersionForAnOldHeader) {
    std::string lib = newLibrary("old.pbl", 5);
    ok({"put", lib, "a.srd", "--comment", "note"}, "data");
    std::string bytes = test::readAll(lib);
    bytes.replace(18, 4, "0400");
    test::writeAll(lib, bytes);
    RunResult refused = run({"optimize", lib});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("--version 5"), std::string::npos) << refused.err;
    EXPECT_EQ(test::readAll(lib), bytes);
    ok({"optimize", lib, "--version", "6"});
    EXPECT_EQ(lineAt(ok({"info", lib}), 1), "header version: 0600");
    EXPECT_EQ(ok({"cat", lib, "a.srd"}), "data");
    EXPECT_EQ(test::readAll(lib + ".bak"), bytes);
    ok({"optimize", lib, "--version", "10", "--force"});
    EXPECT_EQ(lineAt(ok({"info", lib}), 0), "variant: Unicode");
    EXPECT_EQ(ok({"cat", lib, "a.srd"}), "data");
}

// ---------------------------------------------------------------------------------------
// untrusted files

TEST_F(PblToolTest, FilesThatAreNotLibrariesAreReportedNotTrusted) {
    test::writeAll(path("text.pbl"), "just some text");
    test::writeAll(path("empty.pbl"), "");
    for (const char* name : {"text.pbl", "empty.pbl"})
        for (const char* command : {"info", "ls", "comment"}) {
            RunResult r = run({command, path(name)});
            EXPECT_EQ(r.exitCode, 1) << name << " " << command;
            EXPECT_NE(r.err.find("not a library"), std::string::npos) << r.err;
        }
}

TEST_F(PblToolTest, ADamagedDataSizeNeverSizesABuffer) {
    std::string lib = newLibrary("s.pbl", 6);
    ok({"put", lib, "big.srd"}, "small");
    std::string bytes = test::readAll(lib);
    std::size_t ent = bytes.find("ENT*");
    ASSERT_NE(ent, std::string::npos);
    for (std::uint32_t size : {0x7FFFFFFFu, 0x80000000u, 100000u}) {
        std::string damaged = bytes;
        storeU32(reinterpret_cast<std::uint8_t*>(damaged.data()) + ent + 12, size);
        test::writeAll(lib, damaged);
        for (const char* command : {"cat", "export"}) {
            RunResult r =
                run({command, lib, command == std::string("cat") ? "big.srd" : path("out")});
            EXPECT_EQ(r.exitCode, 1) << command << " " << size;
            EXPECT_NE(r.err.find("damaged library"), std::string::npos) << r.err;
        }
    }
}

// ---------------------------------------------------------------------------------------
// a long random command sequence against a model

struct ModelEntry {
    std::string name;  // as first stored (later puts in another case keep it)
    std::string body;
    std::string comment;  // as stored
    std::int64_t time;    // -1: written at "now"
};

std::string foldAscii(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c + 32);
    return s;
}

std::string latin1ToUtf16le(const std::string& utf8Latin1) {
    std::string out;
    for (std::size_t i = 0; i < utf8Latin1.size(); ++i) {
        auto c = static_cast<unsigned char>(utf8Latin1[i]);
        unsigned code = c;
        if (c == 0xC3) code = 0xC0 + (static_cast<unsigned char>(utf8Latin1[++i]) & 0x3F);
        out.push_back(static_cast<char>(code));
        out.push_back('\0');
    }
    return out;
}

std::string latin1Bytes(const std::string& utf8Latin1) {
    std::string out;
    for (std::size_t i = 0; i < utf8Latin1.size(); ++i) {
        auto c = static_cast<unsigned char>(utf8Latin1[i]);
        if (c == 0xC3)
            out.push_back(
                static_cast<char>(0xC0 + (static_cast<unsigned char>(utf8Latin1[++i]) & 0x3F)));
        else
            out.push_back(static_cast<char>(c));
    }
    return out;
}

TEST_F(PblToolTest, ALongRandomCommandSequenceMatchesTheModel) {
    const char* const syllables[] = {"d_", "w_", "Cust", "cust", "ORDER", "order",
                                     "é",  "É",  "ü",    "x",    "_",     "9"};
    for (int version : {6, 10}) {
        std::string lib = newLibrary("seq" + std::to_string(version) + ".pbl", version);
        std::map<std::string, ModelEntry> model;  // key: name with ASCII letters folded
        std::mt19937 random(static_cast<unsigned>(version * 7777));
        auto randomName = [&] {
            std::string name;
            int parts = 1 + static_cast<int>(random() % 4);
            for (int i = 0; i < parts; ++i) name += syllables[random() % std::size(syllables)];
            if (random() % 25 == 0) name += std::string(100 + random() % 300, 'L');
            return name + (random() % 2 ? ".srd" : ".dwo");
        };
        for (int step = 0; step < 250; ++step) {
            auto op = random() % 10;
            if (op < 6) {
                std::string name = randomName();
                std::size_t size = random() % 4 == 0 ? random() % 3000 : random() % 1200;
                std::string body(size, '\0');
                for (char& c : body) c = static_cast<char>(random());
                std::vector<std::string> args = {"put", lib, name};
                std::string comment;
                if (random() % 3 == 0) {
                    std::string text = "Kommentar ü " + std::to_string(step);
                    args.insert(args.end(), {"--comment", text});
                    comment = version >= 10 ? latin1ToUtf16le(text) : latin1Bytes(text);
                }
                std::int64_t time = -1;
                if (random() % 2 == 0) {
                    time = static_cast<std::int64_t>(random() % 2000000000);
                    args.insert(args.end(), {"--time", std::to_string(time)});
                }
                ASSERT_EQ(run(args, body).exitCode, 0) << "step " << step;
                auto [it, inserted] =
                    model.try_emplace(foldAscii(name), ModelEntry{name, "", "", 0});
                it->second.body = body;
                it->second.comment = comment;
                it->second.time = time;
            } else if (op < 9 && !model.empty()) {
                auto it = model.begin();
                std::advance(it, static_cast<long>(random() % model.size()));
                std::string name = random() % 2 ? it->second.name : foldAscii(it->second.name);
                ASSERT_EQ(run({"rm", lib, name}).exitCode, 0) << "step " << step;
                model.erase(it);
            } else {
                RunResult r = run({"rm", lib, "never-there-" + std::to_string(step)});
                ASSERT_EQ(r.exitCode, 1);
            }
        }
        // Enumeration equals the model, and every entry reads back.
        std::vector<std::string> listed = lines(ok({"ls", lib}));
        ASSERT_EQ(listed.size(), model.size());
        std::map<std::string, std::string> byKey;
        for (const std::string& line : listed) {
            std::string name = line.substr(0, line.find('\t'));
            EXPECT_TRUE(byKey.emplace(foldAscii(name), line).second) << "listed twice: " << name;
        }
        for (const auto& [key, entry] : model) {
            ASSERT_TRUE(byKey.count(key)) << entry.name;
            std::string line = byKey[key];
            std::string prefix = entry.name + "\t" +
                                 std::to_string(entry.body.size() + entry.comment.size()) + "\t" +
                                 std::to_string(entry.comment.size()) + "\t";
            EXPECT_EQ(line.substr(0, prefix.size()), prefix);
            EXPECT_EQ(ok({"cat", lib, entry.name}), entry.body) << entry.name;
            EXPECT_EQ(ok({"cat", lib, entry.name, "--comment"}), entry.comment) << entry.name;
        }
        std::string json = ok({"ls", lib, "--json"});
        for (const auto& [key, entry] : model) {
            if (entry.time >= 0) {
                EXPECT_NE(json.find("\"time\": " + std::to_string(entry.time) + "}"),
                          std::string::npos);
            }
        }
        EXPECT_EQ(checks::checkLibraryStructure(lib), "") << "version " << version;
        // A rebuild and an optimize keep all of it.
        ok({"optimize", lib});
        EXPECT_EQ(lines(ok({"ls", lib})).size(), model.size());
        for (const auto& [key, entry] : model) EXPECT_EQ(ok({"cat", lib, entry.name}), entry.body);
    }
}

}  // namespace
}  // namespace keldrin
