#include "script/script_model.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "base/bytes.h"
#include "base/text.h"
#include "pbl/stored_text.h"
#include "script/application.h"
#include "support/corpus.h"
#include "support/library_content.h"
#include "support/script_sources.h"

namespace keldrin::script {
namespace {

// A window as PowerBuilder exports it: forward block, properties, variables, prototypes,
// scripts of the window and of its controls (a tab page holding a DataWindow).
const char* const kWindow =
    "$PBExportHeader$w_main.srw\r\n"
    "forward\r\n"
    "global type w_main from w_base\r\n"
    "end type\r\n"
    "type cb_ok from commandbutton within w_main\r\n"
    "end type\r\n"
    "type tab_1 from tab within w_main\r\n"
    "end type\r\n"
    "type tabpage_1 from userobject within tab_1\r\n"
    "end type\r\n"
    "type dw_list from u_dw within tabpage_1\r\n"
    "end type\r\n"
    "end forward\r\n"
    "\r\n"
    "shared variables\r\n"
    "long sl_count\r\n"
    "end variables\r\n"
    "\r\n"
    "global type w_main from w_base\r\n"
    "integer width = 3378\r\n"
    "event type string ue_event ( integer ai_arg, ref string as_arg )\r\n"
    "cb_ok cb_ok\r\n"
    "end type\r\n"
    "global w_main w_main\r\n"
    "\r\n"
    "type variables\r\n"
    "protected:\r\n"
    "Integer ii_index = 0, ii_other[]\r\n"
    "decimal {2} idc_total\r\n"
    "n_cst_string inv_string\r\n"
    "end variables\r\n"
    "\r\n"
    "forward prototypes\r\n"
    "public function integer wf_run (integer ai_item, ref n_cst_string anv_s)\r\n"
    "private subroutine wf_clear ()\r\n"
    "end prototypes\r\n"
    "\r\n"
    "public function integer wf_run (integer ai_item, ref n_cst_string anv_s);"
    "n_cst_util lnv\r\n"
    "lnv = create n_cst_util\r\n"
    "dw_list.dataobject = \"d_orders\" // d_not_this_one\r\n"
    "/* create n_in_comment\r\n"
    "   still n_in_comment */ f_log(\"done\")\r\n"
    "return w_other.wf_count()\r\n"
    "end function\r\n"
    "\r\n"
    "private subroutine wf_clear ();\r\n"
    "end subroutine\r\n"
    "\r\n"
    "on w_main.create\r\n"
    "int iCurrent\r\n"
    "call super::create\r\n"
    "this.cb_ok=create cb_ok\r\n"
    "end on\r\n"
    "\r\n"
    "event type string ue_event(integer ai_arg, ref string as_arg);return \"\"\r\n"
    "end event\r\n"
    "\r\n"
    "type cb_ok from commandbutton within w_main\r\n"
    "string text = \"OK\"\r\n"
    "end type\r\n"
    "\r\n"
    "event clicked;Open(w_detail)\r\n"
    "end event\r\n"
    "\r\n"
    "type tab_1 from tab within w_main\r\n"
    "end type\r\n"
    "\r\n"
    "type tabpage_1 from userobject within tab_1\r\n"
    "end type\r\n"
    "\r\n"
    "type dw_list from u_dw within tabpage_1\r\n"
    "string DataObject = 'd_list'\r\n"
    "end type\r\n";

bool hasReference(const ObjectModel& m, std::string_view name, RefKind kind, std::uint32_t line) {
    return std::any_of(m.references.begin(), m.references.end(), [&](const Reference& r) {
        return sameName(r.name, name) && r.kind == kind && r.line == line;
    });
}

bool namesAnywhere(const ObjectModel& m, std::string_view name) {
    return std::any_of(m.references.begin(), m.references.end(),
                       [&](const Reference& r) { return sameName(r.name, name); });
}

TEST(ScriptModel, ReadsAWindowsDeclarationsScriptsAndUses) {
    ObjectModel m = readSource("w_main.srw", kWindow);
    EXPECT_EQ(m.name, "w_main");
    EXPECT_EQ(m.kind, ObjectKind::Window);
    EXPECT_EQ(m.ancestor, "w_base");
    EXPECT_EQ(m.typeLine, 19u);
    EXPECT_TRUE(m.unparsed.empty())
        << m.unparsed.front().firstLine << ": " << m.unparsed.front().note;

    // Controls come once each (the forward block's copies are not controls) as a tree.
    ASSERT_EQ(m.controls.size(), 4u);
    EXPECT_EQ(m.controls[0].name, "cb_ok");
    EXPECT_EQ(m.controls[3].ancestor, "u_dw");
    EXPECT_EQ(m.controls[3].within, "tabpage_1");
    std::vector<std::ptrdiff_t> parents = controlParents(m);
    EXPECT_EQ(parents, (std::vector<std::ptrdiff_t>{-1, -1, 1, 2}));

    std::map<std::string, Variable> vars;
    for (const Variable& v : m.variables) vars[v.name] = v;
    ASSERT_EQ(vars.size(), 5u);
    EXPECT_STREQ(vars["sl_count"].scope, "shared");
    EXPECT_EQ(vars["ii_other"].type, "Integer");
    EXPECT_EQ(vars["ii_other"].access, "protected");
    EXPECT_EQ(vars["idc_total"].type, "decimal");
    EXPECT_EQ(vars["inv_string"].type, "n_cst_string");
    EXPECT_EQ(vars["inv_string"].line, 30u);

    ASSERT_EQ(m.scripts.size(), 5u);
    const Script& run = m.scripts[0];
    EXPECT_STREQ(run.kind, "function");
    EXPECT_EQ(run.access, "public");
    EXPECT_EQ(run.returnType, "integer");
    EXPECT_EQ(run.name, "wf_run");
    EXPECT_EQ(run.arguments,
              (std::vector<std::string>{"integer ai_item", "ref n_cst_string anv_s"}));
    EXPECT_EQ(run.firstLine, 38u);
    EXPECT_EQ(run.lastLine, 44u);
    EXPECT_STREQ(m.scripts[1].kind, "subroutine");
    EXPECT_EQ(m.scripts[1].access, "private");
    EXPECT_STREQ(m.scripts[2].kind, "on");
    EXPECT_EQ(m.scripts[2].name, "w_main.create");
    EXPECT_EQ(m.scripts[3].returnType, "string");
    EXPECT_EQ(m.scripts[4].name, "clicked");
    EXPECT_EQ(m.scripts[4].owner, "cb_ok");
    EXPECT_EQ(m.functionCount(), 2u);
    EXPECT_EQ(m.eventCount(), 3u);

    EXPECT_TRUE(hasReference(m, "n_cst_util", RefKind::Name, 38));
    EXPECT_TRUE(hasReference(m, "n_cst_util", RefKind::Create, 39));
    EXPECT_TRUE(hasReference(m, "d_orders", RefKind::DataObject, 40));
    EXPECT_TRUE(hasReference(m, "f_log", RefKind::Call, 42));
    EXPECT_TRUE(hasReference(m, "w_other", RefKind::Member, 43));
    EXPECT_TRUE(hasReference(m, "w_detail", RefKind::Name, 62));
    EXPECT_TRUE(hasReference(m, "d_list", RefKind::DataObject, 72));
    // Comments, members after a dot and PowerScript's own words are no uses.
    EXPECT_FALSE(namesAnywhere(m, "d_not_this_one"));
    EXPECT_FALSE(namesAnywhere(m, "n_in_comment"));
    EXPECT_FALSE(namesAnywhere(m, "wf_count"));
    EXPECT_FALSE(namesAnywhere(m, "return"));
    EXPECT_EQ(m.lines, 73u);
}

TEST(ScriptModel, ReadsApplicationsExternalsStructuresAndFunctions) {
    ObjectModel app =
        readSource("a_app.sra",
                   "forward\n"
                   "global transaction sqlca\n"
                   "global n_tr itr_main\n"
                   "end forward\n"
                   "global variables\n"
                   "int gi_count = 4\n"
                   "end variables\n"
                   "global type a_app from application\n"
                   " end type\n"
                   "global a_app a_app\n"
                   "type prototypes\n"
                   "function ulong GetTick() library \"kernel32.dll\" alias for \"GetTickCount\"\n"
                   "subroutine Sleep (ulong ms) library 'kernel32.dll'\n"
                   "end prototypes\n"
                   "on open;Open(w_main)\n"
                   "end on\n");
    EXPECT_EQ(app.kind, ObjectKind::Application);
    EXPECT_EQ(app.ancestor, "application");
    ASSERT_EQ(app.variables.size(), 3u);
    EXPECT_EQ(app.variables[1].type, "n_tr");
    EXPECT_STREQ(app.variables[2].scope, "global");
    ASSERT_EQ(app.externals.size(), 2u);
    EXPECT_EQ(app.externals[0].name, "GetTick");
    EXPECT_EQ(app.externals[0].returnType, "ulong");
    EXPECT_EQ(app.externals[0].library, "kernel32.dll");
    EXPECT_EQ(app.externals[1].returnType, "");
    EXPECT_EQ(app.externals[1].library, "kernel32.dll");
    ASSERT_EQ(app.scripts.size(), 1u);
    EXPECT_TRUE(app.unparsed.empty());

    ObjectModel s = readSource("s_pair.srs",
                               "global type s_pair from structure\n"
                               "\tstring\t\tname\n"
                               "\tn_cst_x\t\tvalue[]\n"
                               "end type\n");
    EXPECT_EQ(s.kind, ObjectKind::Structure);
    ASSERT_EQ(s.variables.size(), 2u);
    EXPECT_STREQ(s.variables[1].scope, "field");
    EXPECT_EQ(s.variables[1].type, "n_cst_x");

    // No extension: the kind comes from the ancestor.
    ObjectModel f = readSource("f_x",
                               "global type f_x from function_object\nend type\n"
                               "global function char f_x (boolean ab);return 'Y'\nend function\n");
    EXPECT_EQ(f.kind, ObjectKind::Function);
    ASSERT_EQ(f.scripts.size(), 1u);
    EXPECT_EQ(f.scripts[0].returnType, "char");
    EXPECT_EQ(f.scripts[0].lastLine, 4u);

    // DataWindows and the other non-script kinds are named and counted, never read.
    ObjectModel d = readSource(
        "d_x.srd", "release 9;\ndatawindow(units=0)\ntable(column=(type=long name=a))\n");
    EXPECT_EQ(d.kind, ObjectKind::DataWindow);
    EXPECT_EQ(d.name, "d_x");
    EXPECT_EQ(d.lines, 3u);
    EXPECT_TRUE(d.unparsed.empty());
    EXPECT_EQ(kindFromEntryName("x.SRX"), ObjectKind::Proxy);
    EXPECT_EQ(kindFromEntryName("x.srq"), ObjectKind::Query);
}

TEST(ScriptModel, KeepsWhatItCannotPlaceAsNotedSpans) {
    // Lines that are no declaration, a script cut off before its end, a type without
    // its end line, a source with no global type.
    ObjectModel m = readSource("u_x.sru",
                               "global type u_x from nonvisualobject\n"
                               "end type\n"
                               "garbage one\n"
                               "garbage two\n"
                               "type variables\n"
                               "string is_a\n"
                               "public function long of_x ();return 1\n"
                               "end function\n"
                               "event constructor;/* never closed\n"
                               "end if\n");
    ASSERT_GE(m.unparsed.size(), 3u);
    EXPECT_EQ(m.unparsed[0].firstLine, 3u);
    EXPECT_EQ(m.unparsed[0].lastLine, 4u);
    EXPECT_NE(m.unparsed[1].note.find("no end line"), std::string::npos);
    EXPECT_EQ(m.unparsed[1].lastLine, 6u);
    // The function after the unended section is still read.
    ASSERT_EQ(m.scripts.size(), 2u);
    EXPECT_EQ(m.scripts[0].name, "of_x");
    EXPECT_EQ(m.scripts[0].lastLine, 8u);
    EXPECT_EQ(m.scripts[1].lastLine, 10u);
    EXPECT_NE(m.unparsed.back().note.find("constructor has no end line"), std::string::npos);

    ObjectModel none = readSource("u_y.sru", "just text\n");
    EXPECT_TRUE(none.ancestor.empty());
    EXPECT_EQ(none.name, "u_y");
    EXPECT_EQ(none.unparsed.size(), 2u);

    // Binary junk, NULs and a lone CR.
    const char bytes[] = "global type \0\xff from \r\r\n\0\0\0 end type";
    std::string junk(bytes, sizeof bytes - 1);
    ObjectModel j = readSource("\xff.sru", junk);
    EXPECT_EQ(j.kind, ObjectKind::UserObject);
}

TEST(ScriptModel, StaysLinearOnHugeAndDeeplyNestedSources) {
    // A 10 MB script on one line, and 10 MB of lines, each read in well under a second
    // in an optimised build; a quadratic reader would take minutes.
    std::string oneLine = "global type u_big from nonvisualobject\nend type\nevent e;";
    while (oneLine.size() < 10'000'000) oneLine += "x.y = create n_a(b, \"c\") /* d */ + ";
    oneLine += "\nend event\n";
    // 10 MB of distinct names on one line.
    std::string names = "global type u_big from nonvisualobject\nend type\nevent e;";
    for (int i = 0; names.size() < 10'000'000; ++i) names += "v" + std::to_string(i) + " + ";
    names += "\nend event\n";
    std::string manyLines = "global type u_big from nonvisualobject\nend type\nevent e;\n";
    while (manyLines.size() < 10'000'000) manyLines += "if a then b = f_x(1)\n";
    manyLines += "end event\n";
    // A chain of 100,000 controls each within the one before, and a loop of them.
    std::string chain = "global type w_deep from window\nend type\n";
    for (int i = 0; i < 100'000; ++i)
        chain += "type c" + std::to_string(i + 1) + " from userobject within c" +
                 std::to_string(i) + "\nend type\n";
    chain += "type c0 from userobject within c100000\nend type\n";
    ObjectModel a = readSource("u_big.sru", oneLine);
    ObjectModel n = readSource("u_big.sru", names);
    ObjectModel b = readSource("u_big.sru", manyLines);
    ObjectModel c = readSource("w_deep.srw", chain);
    std::vector<std::ptrdiff_t> parents = controlParents(c);
    EXPECT_EQ(a.scripts.size(), 1u);
    // Millions of uses on one line: the first million are kept, and the cut is noted.
    EXPECT_EQ(n.references.size(), 1'000'000u);
    ASSERT_FALSE(n.unparsed.empty());
    EXPECT_NE(n.unparsed.front().note.find("the rest are not recorded"), std::string::npos);
    EXPECT_EQ(b.scripts.at(0).lastLine, b.lines);
    ASSERT_EQ(parents.size(), 100'001u);
    EXPECT_EQ(std::count(parents.begin(), parents.end(), -1), 1);
}

// How fast it is, bench/keldrin_bench.cpp measures (ScriptModel20000).
TEST(ScriptModel, TwentyThousandSourcesMakeOneTree) {
    const std::vector<std::string> sources = test::windowSources(20'000);
    Application app;
    std::size_t lib = app.addLibrary("big.pbl");
    std::size_t lines = 0;
    for (std::size_t i = 0; i < sources.size(); ++i) {
        ObjectModel m = readSource("w_" + std::to_string(i) + ".srw", sources[i]);
        lines += m.lines;
        app.add(lib, std::move(m));
    }
    app.finish();
    EXPECT_EQ(app.tree().size(), 20'001u);
    EXPECT_GT(lines, 20'000u * 50);
}

ObjectModel source(const std::string& entry, const std::string& ancestor,
                   const std::string& body = "") {
    std::string name(objectNameOf(entry));
    return readSource(entry, "global type " + name + " from " + ancestor + "\nend type\n" + body);
}

TEST(ScriptApplication, ShadowsResolvesAncestorsAndFindsUses) {
    Application app;
    std::size_t first = app.addLibrary("first.pbl");
    std::size_t second = app.addLibrary("second.pbl");
    app.add(second, source("w_base.srw", "window"));
    app.add(second, source("w_main.srw", "pfc_w_master"));  // shadowed below
    app.add(first, source("w_main.srw", "w_base",
                          "event open;n_a lnv\nlnv = create n_a\nlnv.of_go()\nend event\n"));
    app.add(first, source("n_a.sru", "n_b"));
    app.add(first, source("n_b.sru", "n_a"));  // a cycle
    app.add(first, source("n_c.sru", "n_b"));  // below the cycle
    app.add(first, source("n_d.sru", "pfc_n_d"));
    app.add(first, source("n_d.srs", "structure"));   // twice in one library
    app.add(first, source("w_other.srw", "Window"));  // a system class in another case
    app.finish();

    ASSERT_EQ(app.objects().size(), 9u);
    // The first library's objects come first; the second's w_main loses to the first's.
    EXPECT_EQ(app.objects()[*app.find("W_MAIN")].library, first);
    std::size_t shadowed = 0;
    for (const AppObject& o : app.objects()) shadowed += o.shadowedBy.has_value();
    EXPECT_EQ(shadowed, 2u);
    std::string notes;
    for (const std::string& n : app.notes()) notes += n + "\n";
    EXPECT_NE(notes.find("w_main in second.pbl is shadowed by first.pbl"), std::string::npos)
        << notes;
    EXPECT_NE(notes.find("n_d is defined twice in first.pbl"), std::string::npos) << notes;
    EXPECT_NE(notes.find("a cycle of ancestors"), std::string::npos) << notes;

    auto missing = app.missingAncestors();
    ASSERT_EQ(missing.size(), 1u);  // the shadowed w_main's pfc_w_master does not count
    EXPECT_EQ(missing[0].first, "pfc_n_d");

    std::vector<TreeRow> tree = app.tree();
    std::string shown;
    for (const TreeRow& r : tree)
        shown += std::string(r.depth * 2, ' ') + r.name +
                 (r.status[0] ? std::string(" ") + r.status : "") + "\n";
    EXPECT_EQ(shown,
              "n_a cycle\n"
              "n_b cycle\n"
              "  n_c\n"
              "pfc_n_d missing\n"
              "  n_d\n"
              "window system\n"
              "  w_base\n"
              "    w_main\n"
              "  w_other\n");
    std::vector<TreeRow> one = app.tree(std::string_view("w_base"));
    ASSERT_EQ(one.size(), 3u);
    EXPECT_EQ(one[0].name, "window");
    EXPECT_EQ(one[2].name, "w_main");
    EXPECT_TRUE(app.tree(std::string_view("nothing")).empty());

    std::vector<Use> uses = app.uses("n_a");
    std::vector<std::string> how;
    how.reserve(uses.size());
    for (const Use& u : uses) how.push_back(std::string(u.how) + "@" + std::to_string(u.line));
    EXPECT_EQ(how, (std::vector<std::string>{"descendant@1", "name@3", "create@4"}));
    EXPECT_EQ(uses[2].detail, "open");
}

// Every source of every library of the corpus, read through the library layer.
TEST(ScriptCorpus, ModelsEverySourceOfTheCorpusLibraries) {
    std::optional<std::filesystem::path> corpus = test::corpusDirOrSkip();
    if (!corpus) GTEST_SKIP() << "no corpus";
    std::size_t libraries = 0;
    std::map<std::string, std::size_t> kinds;
    std::size_t scripts = 0;
    std::size_t unparsed = 0;
    const ObjectModel* mm = nullptr;
    std::vector<ObjectModel> kept;
    Application pfc;
    for (const auto& file : std::filesystem::recursive_directory_iterator(*corpus)) {
        std::string ext = foldName(file.path().extension().string());
        if (!file.is_regular_file() || ext != ".pbl") continue;
        test::LibraryContent content = test::readLibraryContent(file.path().u16string());
        if (!content.opened) continue;
        ++libraries;
        bool isPfc = file.path().filename() == "pfeapsrv.pbl";
        std::size_t lib = isPfc ? pfc.addLibrary("pfeapsrv.pbl") : 0;
        for (const auto& [name, entry] : content.entries) {
            if (kindFromEntryName(name) == ObjectKind::Unknown) continue;
            std::optional<std::u16string> text = pbl::decodeStoredField(
                content.unicode,
                ByteSpan(entry.data.data() + entry.commentSize,
                         entry.data.size() - static_cast<std::size_t>(entry.commentSize)));
            if (!text) continue;
            ObjectModel m = readSource(name, utf16ToUtf8(*text));
            ++kinds[kindName(m.kind)];
            scripts += m.scripts.size();
            unparsed += m.unparsed.size();
            EXPECT_EQ(m.kind, kindFromEntryName(name)) << name;
            if (m.kind != ObjectKind::DataWindow && m.kind != ObjectKind::Project &&
                m.kind != ObjectKind::Pipeline && m.kind != ObjectKind::Proxy) {
                EXPECT_FALSE(m.ancestor.empty()) << file.path() << " " << name;
                EXPECT_TRUE(m.unparsed.empty())
                    << file.path() << " " << name << ":" << m.unparsed.front().firstLine << " "
                    << m.unparsed.front().note;
            }
            if (isPfc) pfc.add(lib, m);
            if (name == "u_mm.sru") kept.push_back(std::move(m));
        }
    }
    ASSERT_GT(libraries, 10u);
    EXPECT_GT(kinds["window"], 40u);
    EXPECT_GT(kinds["user object"], 100u);
    EXPECT_GT(kinds["datawindow"], 200u);
    EXPECT_GT(scripts, 500u);
    (void)unparsed;

    // The multimedia user object declares four external functions.
    for (const ObjectModel& m : kept) mm = &m;
    if (mm != nullptr) {
        ASSERT_EQ(mm->externals.size(), 4u);
        EXPECT_EQ(mm->externals[0].library, "mmsystem.dll");
        EXPECT_EQ(mm->externals[3].name, "ReleaseDC");
    }

    // PFC's extension layer alone: every ancestor is a pfc_ object of a library not given.
    pfc.finish();
    ASSERT_EQ(pfc.objects().size(), 79u);
    auto missing = pfc.missingAncestors();
    EXPECT_EQ(missing.size(), 79u);
    for (const auto& [name, count] : missing) EXPECT_EQ(name.rfind("pfc_", 0), 0u) << name;
}

}  // namespace
}  // namespace keldrin::script
