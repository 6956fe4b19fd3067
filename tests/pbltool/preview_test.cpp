// keldrin-pbl preview as a process: one DataWindow's page and every DataWindow of a
// library, nested reports read from the same library, what a bad source or a page that
// cannot be written says and returns, and every corpus library's DataWindows drawn.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "support/corpus.h"
#include "support/library_fixture.h"
#include "support/pbl_tool_fixture.h"
#include "support/test_files.h"

namespace keldrin {
namespace {

namespace stdfs = std::filesystem;

std::string dataWindow(const std::string& label, const std::string& extra = "") {
    return "release 9;\r\ndatawindow(units=1 color=16777215)\r\nheader(height=20)\r\n"
           "detail(height=30)\r\ntable(column=(type=char(10) name=a))\r\n"
           "text(band=header text=\"" +
           label + "\" x=\"0\" y=\"0\" width=\"100\" height=\"16\")\r\n" +
           "column(band=detail id=1 x=\"0\" y=\"0\" width=\"100\" height=\"16\")\r\n" + extra;
}

std::string nests(const std::string& dataobject) {
    return "report(band=detail dataobject=\"" + dataobject +
           "\" x=\"110\" y=\"0\" width=\"50\" height=\"20\")\r\n";
}

class PreviewTest : public test::PblToolProcessTest {
  protected:
    // An ANSI library holding these sources (name -> text).
    std::string library(const std::vector<std::pair<std::string, std::string>>& sources) {
        std::string lib = newLibrary("lib.pbl", 9);
        for (const auto& [name, text] : sources) ok({"put", lib, name, "-"}, text);
        return lib;
    }

    std::vector<std::string> filesIn(const stdfs::path& dir) const {
        std::vector<std::string> names;
        for (const auto& e : stdfs::directory_iterator(dir))
            names.push_back(e.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(PreviewTest, OnePageWithItsNestedReports) {
    const std::string lib = library({
        {"d_outer.srd", dataWindow("Outer", nests("d_inner") + nests("d_elsewhere"))},
        {"d_inner.srd", dataWindow("Inner label")},
        {"w_main.srw", "forward\r\n"},
    });
    test::ProcessResult r = runTool({"preview", lib, "d_outer.srd", "--html", path("o.html")}, "");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.err, "");
    const std::string page = test::readAll(path("o.html"));
    EXPECT_EQ(page.rfind("<!DOCTYPE html>", 0), 0u);
    EXPECT_NE(page.find("Inner label"), std::string::npos);
    EXPECT_NE(page.find(">d_elsewhere</div>"), std::string::npos);
    EXPECT_EQ(filesIn(dir_), (std::vector<std::string>{"lib.pbl", "o.html"}));

    // The entry's name goes as the library compares names; a page can replace a page.
    r = runTool({"preview", lib, "D_OUTER.SRD", "--html", path("o.html")}, "");
    EXPECT_EQ(r.exitCode, 0) << r.err;

    r = runTool({"preview", lib, "d_missing.srd", "--html", path("m.html")}, "");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("d_missing.srd: no such entry"), std::string::npos) << r.err;
    r = runTool({"preview", lib, "w_main.srw", "--html", path("m.html")}, "");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("not a DataWindow source"), std::string::npos) << r.err;
    r = runTool({"preview", lib, "d_inner.srd", "--html", path("no/such/dir/m.html")}, "");
    EXPECT_EQ(r.exitCode, 1);
    r = runTool({"preview", lib, "d_inner.srd", "--html", lib}, "");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("is the library itself"), std::string::npos) << r.err;
    EXPECT_EQ(filesIn(dir_), (std::vector<std::string>{"lib.pbl", "o.html"}));

    for (const std::vector<std::string>& usage :
         {std::vector<std::string>{"preview", lib, "d_inner.srd"},
          {"preview", lib, "--html", path("x.html")},
          {"preview", lib, "d_inner.srd", "--all", path("d")},
          {"preview", lib, "d_inner.srd", "--html", path("x.html"), "--all", path("d")}}) {
        r = runTool(usage, "");
        EXPECT_EQ(r.exitCode, 2) << usage.size() << ": " << r.err;
    }
}

TEST_F(PreviewTest, BadSourcesGivePagesWithNotesAndExitThree) {
    const std::string lib = library({
        {"d_loop.srd", dataWindow("Loop", nests("d_loop"))},
        {"d_broken.srd", "release 9;\r\ndatawindow(units=1 \"unterminated"},
        {"d_fine.srd", dataWindow("Fine")},
    });
    test::ProcessResult r = runTool({"preview", lib, "d_broken.srd", "--html", path("b.html")}, "");
    EXPECT_EQ(r.exitCode, 3) << r.err;
    EXPECT_NE(r.err.find("d_broken.srd: d_broken: the source does not parse"), std::string::npos)
        << r.err;
    EXPECT_NE(test::readAll(path("b.html")).find("does not parse"), std::string::npos);

    r = runTool({"preview", lib, "d_loop.srd", "--html", path("l.html")}, "");
    EXPECT_EQ(r.exitCode, 3) << r.err;
    EXPECT_NE(r.err.find("d_loop: not drawn: it nests itself"), std::string::npos) << r.err;

    // --all: every page is written, the notes name their entries.
    r = runTool({"preview", lib, "--all", path("pages/a/b")}, "");
    EXPECT_EQ(r.exitCode, 3) << r.err;
    EXPECT_EQ(filesIn(dir_ / "pages/a/b"),
              (std::vector<std::string>{"d_broken.html", "d_fine.html", "d_loop.html"}));
    EXPECT_NE(r.out.find("d_fine.html"), std::string::npos) << r.out;
}

TEST_F(PreviewTest, ATooLongSourceIsNotReadAndADamagedLibraryFailsCleanly) {
    // Longer than a page draws: refused from its size in the directory, before it is read.
    const std::string lib = library({
        {"d_huge.srd", dataWindow("Huge") + std::string(std::size_t{3} << 20, ' ')},
        {"d_main.srd", dataWindow("Main", nests("d_huge"))},
    });
    test::ProcessResult r = runTool({"preview", lib, "d_huge.srd", "--html", path("h.html")}, "");
    EXPECT_EQ(r.exitCode, 3) << r.err;
    EXPECT_NE(r.err.find("d_huge: the source is too long to draw"), std::string::npos) << r.err;
    r = runTool({"preview", lib, "d_main.srd", "--html", path("m.html")}, "");
    EXPECT_EQ(r.exitCode, 3) << r.err;
    EXPECT_NE(test::readAll(path("m.html")).find("too long to draw"), std::string::npos);

    // A library cut short: whatever the cut leaves, no crash and no page half written.
    const std::string whole = test::readAll(lib);
    for (const std::size_t keep : {whole.size() / 2, whole.size() - 512, std::size_t{1024}}) {
        std::ofstream(path("cut.pbl"), std::ios::binary) << whole.substr(0, keep);
        stdfs::remove_all(dir_ / "cut");
        r = runTool({"preview", path("cut.pbl"), "--all", path("cut")}, "");
        EXPECT_EQ(r.signal, 0);
        EXPECT_TRUE(r.exitCode == 1 || r.exitCode == 3) << keep << ": " << r.err;
        if (!stdfs::exists(dir_ / "cut")) continue;
        for (const std::string& name : filesIn(dir_ / "cut"))
            EXPECT_TRUE(name.ends_with(".html")) << name;
    }
}

TEST_F(PreviewTest, APageThatCannotBeWrittenIsNamedAndTheRestAreWritten) {
    const std::string lib = library({
        {"d_a.srd", dataWindow("A")},
        {"d_b.srd", dataWindow("B")},
        {"d_c.srd", dataWindow("C")},
    });
    // A directory stands where d_b's page would go.
    stdfs::create_directories(dir_ / "out" / "d_b.html" / "inside");
    test::ProcessResult r = runTool({"preview", lib, "--all", path("out")}, "");
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_NE(r.err.find("d_b.srd: no page: "), std::string::npos) << r.err;
    EXPECT_EQ(filesIn(dir_ / "out"),
              (std::vector<std::string>{"d_a.html", "d_b.html", "d_c.html"}));
    EXPECT_TRUE(stdfs::is_directory(dir_ / "out" / "d_b.html" / "inside"));
    EXPECT_NE(test::readAll(dir_ / "out" / "d_c.html").find(">C</div>"), std::string::npos);

    // A file where the directory should be.
    std::ofstream(dir_ / "plain") << "x";
    r = runTool({"preview", lib, "--all", path("plain/sub")}, "");
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("cannot create the directory"), std::string::npos) << r.err;
}

TEST_F(PreviewTest, EveryCorpusDataWindowIsDrawn) {
    const std::optional<stdfs::path> corpus = test::corpusDirOrSkip();
    if (!corpus) GTEST_SKIP() << "no corpus";
    std::size_t libraries = 0;
    std::size_t pages = 0;
    for (const test::ManifestRow& row : test::manifestRows(corpus->string())) {
        if (row.kind.rfind("pbl-", 0) != 0) continue;
        const std::string lib = (*corpus / row.file).string();
        const stdfs::path out = dir_ / std::to_string(libraries++);
        std::size_t sources = 0;
        const std::string listing = ok({"ls", lib, "*.srd"});
        for (std::size_t at = 0; (at = listing.find('\n', at)) != std::string::npos; ++at)
            ++sources;
        test::ProcessResult r = runTool({"preview", lib, "--all", out.string()}, "");
        EXPECT_EQ(r.exitCode, 0) << row.file << ": " << r.err;
        if (sources == 0) continue;
        const std::vector<std::string> written = filesIn(out);
        EXPECT_EQ(written.size(), sources) << row.file;
        pages += written.size();
        for (const std::string& name : written) {
            const std::string page = test::readAll(out / name);
            EXPECT_EQ(page.find("<script"), std::string::npos) << row.file << ": " << name;
            EXPECT_EQ(page.find("class=\"note\""), std::string::npos) << row.file << ": " << name;
        }
    }
    EXPECT_EQ(libraries, test::corpusFileCount(*corpus, ".pbl"));
    EXPECT_GT(pages, 100u);
}

}  // namespace
}  // namespace keldrin
