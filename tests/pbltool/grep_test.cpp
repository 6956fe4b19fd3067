// keldrin-pbl grep through the real executable: the options scripts lean on (-c, -v, -w,
// -F, --entry, --unicode), lines the pattern engine gives up on, and the longest lines of
// PowerBuilder's own libraries. Output and exit status must be what grep(1) gives.
#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "support/corpus.h"
#include "support/pbl_tool_fixture.h"
#include "support/process_runner.h"

namespace keldrin {
namespace {

namespace stdfs = std::filesystem;

class PblGrepTest : public test::PblToolProcessTest {
  protected:
    struct Result {
        int exitCode = -1;
        std::string out;
        std::string err;
    };

    Result run(const std::vector<std::string>& args) {
        test::ProcessResult p = runTool(args, std::string());
        EXPECT_EQ(p.signal, 0) << args[1];
        return {p.exitCode, std::move(p.out), std::move(p.err)};
    }
    // grep's lines, which must exit 0 with nothing on standard error.
    std::string found(std::vector<std::string> args) {
        args.insert(args.begin(), "grep");
        Result r = run(args);
        EXPECT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(r.err, "");
        return r.out;
    }
    // A grep that must select nothing: exit 1, no output.
    void none(std::vector<std::string> args) {
        args.insert(args.begin(), "grep");
        Result r = run(args);
        EXPECT_EQ(r.exitCode, 1) << args[1] << ": " << r.err;
        EXPECT_EQ(r.out, "") << args[1];
    }
};

TEST_F(PblGrepTest, CountInvertWholeWordsAndFixedTextSelectAsGrepDoes) {
    const std::string a = newLibrary("a.pbl", 6);
    ok({"put", a, "w_a.srw"}, "ls_name = 'x'\r\nname\r\nrename(1)\r\n");
    ok({"put", a, "w_b.srw"}, "nothing\r\n");
    ok({"put", a, "w_c.srw"}, "a.b(c\r\naxb(c\r\nname\r\n");
    const std::string p = a + ":";

    // -c counts per entry, entries without a match too; -l wins over it.
    EXPECT_EQ(found({"-c", "name", a}), p + "w_a.srw:3\n" + p + "w_b.srw:0\n" + p + "w_c.srw:1\n");
    EXPECT_EQ(found({"-lc", "name", a}), p + "w_a.srw\n" + p + "w_c.srw\n");
    Result zero = run({"grep", "-c", "absent", a});
    EXPECT_EQ(zero.exitCode, 1) << "counts of 0 are printed, but nothing matched";
    EXPECT_EQ(zero.out, p + "w_a.srw:0\n" + p + "w_b.srw:0\n" + p + "w_c.srw:0\n");

    // -v: the other lines, with their own numbers; counted and listed the same way.
    EXPECT_EQ(found({"-vn", "name", a}),
              p + "w_b.srw:1:nothing\n" + p + "w_c.srw:1:a.b(c\n" + p + "w_c.srw:2:axb(c\n");
    EXPECT_EQ(found({"-vc", "name", a}), p + "w_a.srw:0\n" + p + "w_b.srw:1\n" + p + "w_c.srw:2\n");
    EXPECT_EQ(found({"-vl", "name", a}), p + "w_b.srw\n" + p + "w_c.srw\n");
    none({"-v", "", a});

    // -w: neither side may touch a word character; the engine looks on past a first
    // match that does not stand alone ("ls_name") to one that does, later in the line.
    EXPECT_EQ(found({"-wn", "name", a}), p + "w_a.srw:2:name\n" + p + "w_c.srw:3:name\n");
    ok({"put", a, "w_d.srw"}, "rename name\r\n");
    EXPECT_EQ(found({"-w", "name", a, "--entry", "w_d.srw"}), p + "w_d.srw:rename name\n");
    EXPECT_EQ(found({"-w", "re|name", a, "--entry", "w_d.srw"}), p + "w_d.srw:rename name\n");
    none({"-w", "nam", a});
    none({"-w", "ame", a});
    // grep's rule, not \b's: the neighbours count even when the pattern's own first or
    // last character is no word character.
    none({"-w", "\\(1", a});
    EXPECT_EQ(found({"-w", "'x'", a}), p + "w_a.srw:ls_name = 'x'\n");

    // -F: the dot and the bracket are text; without it the dot is any character.
    EXPECT_EQ(found({"-F", "a.b(c", a}), p + "w_c.srw:a.b(c\n");
    EXPECT_EQ(found({"a.b\\(c", a}), p + "w_c.srw:a.b(c\n" + p + "w_c.srw:axb(c\n");
    EXPECT_EQ(found({"-Fi", "A.B(C", a}), p + "w_c.srw:a.b(c\n");
    EXPECT_EQ(found({"-Fw", "x'", a}), p + "w_a.srw:ls_name = 'x'\n");
    none({"-F", "\\Q.*", a, "--entry", "*.srw"});  // PCRE2's quoting is text too
    ok({"put", a, "w_e.srw"}, "q\\E$(x|\r\n");
    EXPECT_EQ(found({"-F", "\\E$(x|", a}), p + "w_e.srw:q\\E$(x|\n")
        << "-F text that holds PCRE2's own quoting";
    EXPECT_EQ(found({"-Fw", "q\\E$(x|", a}), p + "w_e.srw:q\\E$(x|\n");
}

TEST_F(PblGrepTest, EntryGlobPicksTheEntriesSearched) {
    const std::string a = newLibrary("a.pbl", 6);
    ok({"put", a, "d_orders.srd"}, "retrieve=\"select id from orders\"\r\n");
    ok({"put", a, "D_Items.srd"}, "retrieve=\"select id from items\"\r\n");
    ok({"put", a, "w_orders.srw"}, "// select id from nowhere\r\n");
    const std::string p = a + ":";
    EXPECT_EQ(found({"-l", "select", a, "--entry", "*.srd"}),
              p + "D_Items.srd\n" + p + "d_orders.srd\n");
    EXPECT_EQ(found({"--entry", "D_*", "-c", "orders", a}),
              p + "D_Items.srd:0\n" + p + "d_orders.srd:1\n")
        << "names match without regard to ASCII case, as ls picks them";
    EXPECT_EQ(found({"select", "--entry", "[w]_?rders.sr[a-w]", a}),
              p + "w_orders.srw:// select id from nowhere\n");
    none({"select", a, "--entry", "*.srf"});
    Result r = run({"grep", "select", a, "--entry"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("--entry needs a value"), std::string::npos) << r.err;
}

TEST_F(PblGrepTest, UnicodeSwitchWidensWordsAndClassesBeyondAscii) {
    const std::string u = newLibrary("u.pbl", 12);
    std::string text;
    for (char16_t c : std::u16string(u"caf\u00E9 \u041C\u043E\u0441\u043A\u0432\u0430\r\n")) {
        text += static_cast<char>(c & 0xFF);
        text += static_cast<char>(c >> 8);
    }
    ok({"put", u, "f_x.srf"}, text);
    const std::string line =
        u + ":f_x.srf:caf\xC3\xA9 \xD0\x9C\xD0\xBE\xD1\x81\xD0\xBA\xD0\xB2\xD0\xB0\n";
    const std::string moscow = "\xD0\x9C\xD0\xBE\xD1\x81\xD0\xBA\xD0\xB2\xD0\xB0";
    // Without the switch the classes are ASCII: "caf" is a whole word before the "é".
    EXPECT_EQ(found({"-w", "caf", u}), line);
    none({"\\w" + moscow.substr(2), u});
    none({"[[:alpha:]]{6}$", u});
    none({"--unicode", "-w", "caf", u});
    EXPECT_EQ(found({"--unicode", "\\b" + moscow + "\\b", u}), line);
    EXPECT_EQ(found({"--unicode", "^\\w+\\s\\w+$", u}), line);
    EXPECT_EQ(found({"--unicode", "[[:alpha:]]{6}$", u}), line);
    EXPECT_EQ(found({"--unicode", "-wi", "CAF\xC3\x89", u}), line);
}

// One line that the engine gives up on is no reason to stop, nor to answer "no match":
// it is named with its library, entry and line, everything else is searched and
// printed, and the exit is 2.
TEST_F(PblGrepTest, AnEngineFailureOnALineIsNamedAndTheSearchGoesOn) {
    const std::string a = newLibrary("a.pbl", 6);
    const std::string b = newLibrary("b.pbl", 12);
    const std::string runaway = std::string(40, 'a') + "!";
    ok({"put", a, "a_first.srs"}, "hello\r\n");
    ok({"put", a, "b_bad.srs"}, "x\r\n" + runaway + "\r\nhello again\r\n");
    ok({"put", a, "c_last.srs"}, "hello last\r\n");
    ok({"put", b, "d.srs"}, std::string("h\0e\0l\0l\0o\0\r\0\n\0", 14));

    Result l = run({"grep", "-l", "(a+)+$|hello", a, b});
    EXPECT_EQ(l.exitCode, 2);
    EXPECT_EQ(l.out,
              a + ":a_first.srs\n" + a + ":b_bad.srs\n" + a + ":c_last.srs\n" + b + ":d.srs\n");
    EXPECT_NE(l.err.find(a + ":b_bad.srs:2: the pattern cannot be matched: "), std::string::npos)
        << l.err;
    EXPECT_NE(l.err.find("limit"), std::string::npos) << l.err;

    Result n = run({"grep", "-n", "(a+)+$|hello", a, b});
    EXPECT_EQ(n.exitCode, 2);
    EXPECT_EQ(n.out, a + ":a_first.srs:1:hello\n" + a + ":b_bad.srs:3:hello again\n" + a +
                         ":c_last.srs:1:hello last\n" + b + ":d.srs:1:hello\n")
        << "the lines after the failed one are searched";
    // The failed line is neither selected nor passed over: not counted by -c nor -vc.
    Result c = run({"grep", "-c", "(a+)+$|hello", a, "--entry", "b_*"});
    EXPECT_EQ(c.exitCode, 2);
    EXPECT_EQ(c.out, a + ":b_bad.srs:1\n");
    Result v = run({"grep", "-vc", "(a+)+$|hello", a, "--entry", "b_*"});
    EXPECT_EQ(v.exitCode, 2);
    EXPECT_EQ(v.out, a + ":b_bad.srs:1\n");
    // Nothing else matched: still 2, not 1, and the failure is said once per line.
    Result only = run({"grep", "(a+)+$", a});
    EXPECT_EQ(only.exitCode, 2);
    EXPECT_EQ(only.out, "");
    EXPECT_EQ(only.err.find("b_bad.srs:2:"), only.err.rfind("b_bad.srs:2:")) << only.err;
}

// A repeated group across a DataWindow's one-line retrieve statement or rich text takes a
// frame of JIT stack per character: some 300 KiB for 10,000 characters, where PCRE2's
// default stack is 32 KiB.
TEST_F(PblGrepTest, LongLinesMatchARepeatedGroupWithinTheJitStack) {
    const std::string a = newLibrary("a.pbl", 6);
    std::string sql = "retrieve=\"select ";
    for (int i = 0; sql.size() < 12000; ++i) sql += "t.col" + std::to_string(i) + ", ";
    sql += "x from t\" )";
    ok({"put", a, "d_long.srd"}, "release 6;\r\ntable(" + sql + "\r\n");
    EXPECT_EQ(found({"-c", "select(.|\\s)*from", a}), a + ":d_long.srd:1\n");
}

TEST_F(PblGrepTest, TheCorpusLongestLinesMatchARepeatedGroup) {
    std::optional<stdfs::path> corpus = test::corpusDirOrSkip();
    if (!corpus) GTEST_SKIP() << "no corpus";
    // PowerBuilder 6.5's DataWindow examples: d_rte_mail_merge holds its rich text on one
    // line of 10,596 characters, the longest line of the library.
    const std::string lib = (*corpus /
                             "thansuoi113__PowerBuilder-Code-Examples/PowerBuilder 6.5/"
                             "Sybase/PB6/Examples/pbexamd2.pbl")
                                .string();
    if (!stdfs::exists(lib)) GTEST_SKIP() << "pbexamd2.pbl missing";
    EXPECT_EQ(found({"-c", "^.{10000,}$", lib, "--entry", "d_rte_mail_merge.srd"}),
              lib + ":d_rte_mail_merge.srd:1\n");
    EXPECT_EQ(found({"-l", "rtf1(.|\\s)*\\\\par\\}", lib}), lib + ":d_rte_mail_merge.srd\n");
    const std::string start = lib + ":d_rte_mail_merge.srd:3:detail(text=\"{\\rtf1\\ansi";
    EXPECT_EQ(
        found({"-n", "detail(.|\\s)*from", lib, "--entry", "d_rte_mail*"}).substr(0, start.size()),
        start);
}

TEST_F(PblGrepTest, OptionsTheBackendCannotHonourOrPatternsThatDoNotCompileAreUsageErrors) {
    const std::string a = newLibrary("a.pbl", 6);
    ok({"put", a, "w.srw"}, "a)|(b\r\n");
    for (const std::vector<std::string>& bad :
         {std::vector<std::string>{"grep", "-w", "a)|(b", a}, {"grep", "-w", "(", a}}) {
        Result r = run(bad);
        EXPECT_EQ(r.exitCode, 2) << bad[2];
        EXPECT_NE(r.err.find("does not compile"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(found({"-Fw", "a)|(b", a}), a + ":w.srw:a)|(b\n");
}

}  // namespace
}  // namespace keldrin
