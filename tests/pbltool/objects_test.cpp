// keldrin-pbl objects, tree and refs over libraries made here and over the corpus.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/corpus.h"
#include "support/pbl_tool_fixture.h"

namespace keldrin::test {
namespace {

class ObjectsTest : public PblToolProcessTest {
  protected:
    // The application's two libraries: `app` first, `base` second.
    void makeApplication() {
        app_ = newLibrary("app.pbl", 9);
        base_ = newLibrary("base.pbl", 9);
        putText(base_, "w_base.srw", globalType("w_base", "window"));
        putText(base_, "u_dw.sru", globalType("u_dw", "datawindow"));
        putText(base_, "w_main.srw", globalType("w_main", "w_old"));  // shadowed by app's
        putText(app_, "w_main.srw",
                "forward\r\nglobal type w_main from w_base\r\nend type\r\n"
                "type dw_1 from u_dw within w_main\r\nend type\r\nend forward\r\n"
                "global type w_main from w_base\r\ndw_1 dw_1\r\nend type\r\n"
                "type variables\r\nn_svc inv_svc\r\nend variables\r\n"
                "event open;inv_svc = create n_svc\r\nf_log(\"open\")\r\ndw_1.DataObject = "
                "'d_orders'\r\n"
                "end event\r\n"
                "type dw_1 from u_dw within w_main\r\nstring dataobject = \"d_orders\"\r\nend "
                "type\r\n");
        putText(app_, "n_svc.sru", globalType("n_svc", "pfc_n_base"));
        putText(app_, "f_log.srf",
                globalType("f_log", "function_object",
                           "global subroutine f_log (string as_text);\r\nend subroutine\r\n"));
        putText(app_, "d_orders.srd", "release 10;\r\ndatawindow(units=0)\r\n");
        putText(app_, "n_a.sru", globalType("n_a", "n_b"));
        putText(app_, "n_b.sru", globalType("n_b", "n_a"));
    }
    std::string app_;
    std::string base_;
};

TEST_F(ObjectsTest, ListsEveryObjectWithTheLibraryThatWins) {
    makeApplication();
    ProcessResult r = runTool({"objects", app_, base_}, "");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(
        r.out.find(app_ +
                   "\tw_main.srw\twindow\tw_base\tcontrols 1\tfunctions 0\tevents 1\tlines 19\n"),
        std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(app_ + "\td_orders.srd\tdatawindow\t-\t"), std::string::npos) << r.out;
    EXPECT_NE(
        r.out.find(app_ + "\tf_log.srf\tfunction\tfunction_object\tcontrols 0\tfunctions 1\t"),
        std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find(base_ +
                         "\tw_main.srw\twindow\tw_old\tcontrols 0\tfunctions 0\tevents 0\tlines 2"
                         "\tshadowed by " +
                         app_ + "\n"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.err.find("w_main in " + base_ + " is shadowed by " + app_), std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("a cycle of ancestors: n_a from n_b, n_b from n_a"), std::string::npos)
        << r.err;

    std::string json = ok({"objects", app_, base_, "--json"});
    EXPECT_NE(
        json.find(
            "{\"library\": \"" + base_ +
            "\", \"entry\": \"w_main.srw\", \"name\": \"w_main\", \"kind\": \"window\", "
            "\"ancestor\": \"w_old\", \"within\": \"\", \"controls\": 0, \"functions\": 0, "
            "\"events\": 0, \"variables\": 0, \"externals\": 0, \"lines\": 2, \"script_lines\": 0, "
            "\"shadowed_by\": \"" +
            app_ + "\", \"unparsed\": []}"),
        std::string::npos)
        << json;
}

TEST_F(ObjectsTest, DrawsTheInheritanceTreeWithMissingAncestorsAndCycles) {
    makeApplication();
    ProcessResult r = runTool({"tree", app_, base_}, "");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out,
              "datawindow [system]\n"
              "  u_dw (" +
                  base_ +
                  ")\n"
                  "function_object [system]\n"
                  "  f_log (" +
                  app_ +
                  ")\n"
                  "n_a [cycle] (" +
                  app_ +
                  ")\n"
                  "n_b [cycle] (" +
                  app_ +
                  ")\n"
                  "pfc_n_base [missing]\n"
                  "  n_svc (" +
                  app_ +
                  ")\n"
                  "window [system]\n"
                  "  w_base (" +
                  base_ +
                  ")\n"
                  "    w_main (" +
                  app_ + ")\n");
    EXPECT_NE(r.err.find("1 object is shadowed"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("1 ancestor is in none of the libraries"), std::string::npos) << r.err;

    EXPECT_EQ(ok({"tree", app_, base_, "W_BASE"}),
              "window [system]\n  w_base (" + base_ + ")\n    w_main (" + app_ + ")\n");
    EXPECT_EQ(
        ok({"tree", app_, base_, "n_svc", "--json"}),
        "[\n  {\"name\": \"pfc_n_base\", \"depth\": 0, \"status\": \"missing\", \"library\": \"\", "
        "\"entry\": \"\"},\n  {\"name\": \"n_svc\", \"depth\": 1, \"status\": \"\", \"library\": "
        "\"" +
            app_ + "\", \"entry\": \"n_svc.sru\"}\n]\n");
    ProcessResult none = runTool({"tree", app_, "w_nothing"}, "");
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_NE(none.err.find("w_nothing is neither an object"), std::string::npos) << none.err;
}

TEST_F(ObjectsTest, FindsEveryUseOfAName) {
    makeApplication();
    EXPECT_EQ(ok({"refs", app_, base_, "n_svc"}),
              app_ + ":w_main.srw:11: variable inv_svc\n" + app_ + ":w_main.srw:13: create open\n");
    EXPECT_EQ(ok({"refs", app_, base_, "d_orders"}),
              app_ + ":w_main.srw:15: dataobject open\n" + app_ + ":w_main.srw:18: dataobject\n");
    EXPECT_EQ(ok({"refs", app_, base_, "u_dw"}), app_ + ":w_main.srw:17: control dw_1\n");
    EXPECT_EQ(ok({"refs", app_, base_, "w_base"}), app_ + ":w_main.srw:7: descendant w_main\n");
    EXPECT_EQ(
        ok({"refs", app_, base_, "f_log", "--json"}),
        "[\n  {\"library\": \"" + app_ +
            "\", \"entry\": \"w_main.srw\", \"line\": 14, \"how\": \"call\", \"in\": \"open\", "
            "\"shadowed\": \"no\"}\n]\n");
    // The shadowed w_main's ancestor is still a use, marked as such.
    EXPECT_EQ(ok({"refs", app_, base_, "w_old"}),
              base_ + ":w_main.srw:1: descendant w_main (shadowed)\n");
    ProcessResult none = runTool({"refs", app_, "w_unused"}, "");
    EXPECT_EQ(none.exitCode, 1);
    EXPECT_EQ(none.out, "");
    // A library that cannot be read is trouble; the others are still searched.
    ProcessResult trouble = runTool({"refs", path("missing.pbl"), app_, "n_svc"}, "");
    EXPECT_EQ(trouble.exitCode, 2);
    EXPECT_NE(trouble.out.find("w_main.srw:13: create"), std::string::npos);
}

TEST_F(ObjectsTest, HostileSourcesGiveNotesNeverACrash) {
    std::string lib = newLibrary("bad.pbl", 9);
    std::string huge = "global type u_big from nonvisualobject\r\nend type\r\nevent e;";
    while (huge.size() < 10'000'000) huge += "x = create n_x(\"a\", 'b') /* c */ ";
    putText(lib, "u_big.sru", huge);  // a 10 MB script with no end line
    putText(lib, "u_junk.sru", "\xff\xfe garbage\r\n type x from\r\nend type\r\n");
    putText(lib, "u_a.sru", globalType("u_a", "u_a"));  // its own ancestor
    ProcessResult r = runTool({"objects", lib}, "");
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("u_big.sru:3: script e has no end line"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("u_junk.sru:1-3: not a declaration"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("a cycle of ancestors: u_a from u_a"), std::string::npos) << r.err;
    ProcessResult refs = runTool({"refs", lib, "n_x"}, "");
    EXPECT_EQ(refs.exitCode, 0);
    EXPECT_EQ(refs.out, lib + ":u_big.sru:3: create e\n");
}

// The PFC extension libraries of PowerBuilder 9: every object's ancestor is a pfc_ class
// of the PFC libraries, which the corpus does not hold.
TEST_F(ObjectsTest, ReadsThePfcExtensionLibraries) {
    std::optional<std::filesystem::path> corpus = corpusDirOrSkip();
    if (!corpus) GTEST_SKIP() << "no corpus";
    std::filesystem::path pfc = *corpus / "thansuoi113__PowerBuilder-Code-Examples" /
                                "PowerBuilder 9.0" / "Sybase" / "PowerBuilder 9.0" / "PFC";
    if (!std::filesystem::exists(pfc / "pfeapsrv.pbl")) GTEST_SKIP() << "no PFC libraries";
    ProcessResult r = runTool(
        {"tree", (pfc / "pfeapsrv.pbl").string(), (pfc / "examples" / "exmapsrv.pbl").string()},
        "");
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("79 objects are shadowed"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("79 ancestors are in none of the libraries"), std::string::npos) << r.err;
    EXPECT_NE(r.out.find("pfc_w_about [missing]\n  w_about ("), std::string::npos) << r.out;
    ProcessResult objects = runTool({"objects", (pfc / "pfeapsrv.pbl").string()}, "");
    EXPECT_EQ(objects.exitCode, 0);
    EXPECT_EQ(std::count(objects.out.begin(), objects.out.end(), '\n'), 79);
    EXPECT_EQ(objects.err, "");
}

}  // namespace
}  // namespace keldrin::test
