// keldrin-pbl site over libraries made here: a page for every object, links that stay
// relative and inside the site, hostile entry names, and the whole-directory replace.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "support/pbl_tool_fixture.h"

namespace keldrin::test {
namespace {

namespace stdfs = std::filesystem;

std::string readAll(const stdfs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::vector<stdfs::path> pagesUnder(const stdfs::path& root) {
    std::vector<stdfs::path> pages;
    for (const auto& e : stdfs::recursive_directory_iterator(root))
        if (e.path().extension() == ".html") pages.push_back(e.path());
    return pages;
}

class SiteTest : public PblToolProcessTest {
  protected:
    void makeApplication() {
        app_ = newLibrary("app.pbl", 9);
        base_ = newLibrary("base.pbl", 9);
        putText(base_, "w_base.srw", globalType("w_base", "window"));
        putText(base_, "w_main.srw", globalType("w_main", "w_old"));  // shadowed by app's
        putText(app_, "w_main.srw",
                "forward\r\nglobal type w_main from w_base\r\nend type\r\n"
                "type dw_1 from datawindow within w_main\r\nend type\r\nend forward\r\n"
                "global type w_main from w_base\r\ndw_1 dw_1\r\nend type\r\n"
                "event open;// <b>not bold</b>\r\nstring s = \"</pre><script>x</script>\"\r\n"
                "end event\r\n");
        putText(app_, "n_a.sru", globalType("n_a", "n_b"));
        putText(app_, "n_b.sru", globalType("n_b", "n_a"));
        putText(app_, "n_lost.sru", globalType("n_lost", "n_nowhere"));
        putText(app_, "d_orders.srd",
                "release 10;\r\ndatawindow(units=0)\r\n"
                "table(column=(type=long name=id dbname=\"orders.id\" )\r\n"
                " retrieve=\"SELECT id FROM orders\" )\r\n");
    }
    // Every href and src of every page: relative, and naming a file inside the site.
    static void expectLinksResolveInside(const stdfs::path& site) {
        const stdfs::path root = stdfs::canonical(site);
        const std::regex link(R"((href|src)=\"([^\"]*)\")");
        for (const stdfs::path& page : pagesUnder(site)) {
            const std::string html = readAll(page);
            for (std::sregex_iterator it(html.begin(), html.end(), link), end; it != end; ++it) {
                std::string target = (*it)[2].str();
                EXPECT_EQ(target.find("://"), std::string::npos) << page << ": " << target;
                EXPECT_NE(target.front(), '/') << page << ": " << target;
                target = target.substr(0, target.find('#'));
                if (target.empty()) continue;
                const stdfs::path file = page.parent_path() / target;
                ASSERT_TRUE(stdfs::exists(file)) << page << ": " << target;
                const std::string resolved = stdfs::canonical(file).string();
                EXPECT_EQ(resolved.rfind(root.string() + "/", 0), 0u) << page << ": " << target;
            }
        }
    }
    std::string app_;
    std::string base_;
};

TEST_F(SiteTest, EveryObjectHasAPageAndEveryLinkResolvesInsideTheSite) {
    makeApplication();
    const std::string out = path("site");
    ProcessResult r = runTool({"site", app_, base_, out}, "");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("cycle"), std::string::npos) << r.err;
    // One page per source entry, the shadowed one included, and one drawing per DataWindow.
    EXPECT_EQ(pagesUnder(stdfs::path(out) / "o").size(), 7u);
    EXPECT_EQ(pagesUnder(stdfs::path(out) / "dw").size(), 1u);
    expectLinksResolveInside(out);

    const std::string main = readAll(stdfs::path(out) / "o" / "w_main.srw.html");
    EXPECT_NE(main.find("data-ancestor=\"w_base\""), std::string::npos);
    EXPECT_NE(main.find("href=\"../o/w_base.srw.html\""), std::string::npos);
    // Source text is escaped, and highlighted.
    EXPECT_EQ(main.find("<script>"), std::string::npos);
    EXPECT_EQ(main.find("<b>not"), std::string::npos);
    EXPECT_NE(main.find("<span class=\"c\">// &lt;b&gt;"), std::string::npos);
    EXPECT_NE(main.find("<span class=\"k\">event</span>"), std::string::npos);
    // w_base lists its descendant; n_lost's ancestor is missing, in the overview too.
    EXPECT_NE(readAll(stdfs::path(out) / "o" / "w_base.srw.html").find("w_main.srw.html"),
              std::string::npos);
    EXPECT_NE(readAll(stdfs::path(out) / "overview.html").find("n_nowhere"), std::string::npos);
    const std::string dw = readAll(stdfs::path(out) / "o" / "d_orders.srd.html");
    EXPECT_NE(dw.find("SELECT id FROM orders"), std::string::npos);
    EXPECT_NE(dw.find("orders.id"), std::string::npos);
    for (const stdfs::path& page : pagesUnder(out))
        EXPECT_EQ(readAll(page).find("<script"), std::string::npos) << page;
}

TEST_F(SiteTest, HostileEntryNamesStayInsideAndNamesThatDifferInCaseGetTwoPages) {
    const std::string a = newLibrary("a.pbl", 9);
    const std::string b = newLibrary("b.pbl", 9);
    for (const std::string& name :
         {std::string("../../escape.srw"), std::string("/abs/x.sru"), std::string("..srw"),
          std::string("a\\..\\b.srw"), std::string("con.srw")})
        putText(a, name, globalType("x", "window"));
    putText(a, "w_case.srw", globalType("w_case", "window"));
    putText(b, "W_CASE.srw", globalType("W_CASE", "window"));
    const std::string out = path("deep/site");
    ProcessResult r = runTool({"site", a, b, out}, "");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(pagesUnder(stdfs::path(out) / "o").size(), 7u);
    expectLinksResolveInside(out);
    // Nothing was written beside the site or above it.
    std::set<std::string> beside;
    for (const auto& e : stdfs::directory_iterator(path("deep")))
        beside.insert(e.path().filename());
    EXPECT_EQ(beside, std::set<std::string>{"site"});
    EXPECT_FALSE(stdfs::exists(path("escape.srw.html")));
}

TEST_F(SiteTest, AnEarlierSiteIsReplacedWholeAndAFailedRunLeavesItAsItWas) {
    makeApplication();
    const std::string out = path("site");
    ok({"site", app_, base_, out});
    std::ofstream(stdfs::path(out) / "stale.html") << "old";
    ok({"site", app_, out});
    EXPECT_FALSE(stdfs::exists(stdfs::path(out) / "stale.html"));
    EXPECT_FALSE(stdfs::exists(stdfs::path(out) / "o" / "w_base.srw.html"));
    EXPECT_TRUE(stdfs::exists(stdfs::path(out) / "o" / "w_main.srw.html"));

    // A library that cannot be read fails the run before anything is replaced.
    std::ofstream(stdfs::path(out) / "stale.html") << "old";
    ProcessResult r = runTool({"site", app_, path("missing.pbl"), out}, "");
    EXPECT_NE(r.exitCode, 0);
    EXPECT_EQ(readAll(stdfs::path(out) / "stale.html"), "old");
    EXPECT_TRUE(stdfs::exists(stdfs::path(out) / "o" / "w_main.srw.html"));
    std::set<std::string> names;
    for (const auto& e : stdfs::directory_iterator(dir_)) names.insert(e.path().filename());
    for (const std::string& name : names) EXPECT_EQ(name.find(".tmp"), std::string::npos) << name;

    // A directory that is no site is never removed.
    const std::string other = path("mine");
    stdfs::create_directory(other);
    std::ofstream(stdfs::path(other) / "notes.txt") << "keep";
    r = runTool({"site", app_, other}, "");
    EXPECT_NE(r.exitCode, 0);
    EXPECT_EQ(readAll(stdfs::path(other) / "notes.txt"), "keep");
}

TEST_F(SiteTest, SourcesThatDoNotParseOrAreHugeGetANoteAndAPage) {
    const std::string lib = newLibrary("odd.pbl", 9);
    putText(lib, "w_junk.srw", "global type w_junk from\r\n\x01\x02 end end end type type (((\r\n");
    std::string big =
        "global type n_big from nonvisualobject\r\nend type\r\n"
        "event constructor;\r\n";
    while (big.size() < (std::size_t{10} << 20)) big += "/* a comment */ ls = \"text\" // x\r\n";
    big += "end event\r\n";
    putText(lib, "n_big.sru", big);
    const std::string out = path("site");
    ProcessResult r = runTool({"site", lib, out}, "");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(stdfs::exists(stdfs::path(out) / "o" / "w_junk.srw.html"));
    const stdfs::path bigPage = stdfs::path(out) / "o" / "n_big.sru.html";
    ASSERT_TRUE(stdfs::exists(bigPage));
    EXPECT_LT(stdfs::file_size(bigPage), std::uintmax_t{16} << 20);
    EXPECT_NE(readAll(bigPage).find("the source is shown up to line"), std::string::npos);
    EXPECT_NE(r.err.find("n_big.sru"), std::string::npos) << r.err;
}

}  // namespace
}  // namespace keldrin::test
