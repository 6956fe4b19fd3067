// keldrin-pbl's own helpers on their own: the times in listings, the whole numbers on the
// command line, the escaping of text from a file, and the names `export` gives files.
#include "pbltool/text.h"
#include "pbltool/output.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>

namespace keldrin::tool {
namespace {

TEST(PblToolTextTest, IsoTimeFollowsTheGregorianCalendarOnBothSidesOf1970) {
    struct Case {
        std::int64_t seconds;
        const char* text;
    };
    const Case cases[] = {
        {0, "1970-01-01T00:00:00Z"},
        {-1, "1969-12-31T23:59:59Z"},
        {-86400, "1969-12-31T00:00:00Z"},
        {-86401, "1969-12-30T23:59:59Z"},
        {951782399, "2000-02-28T23:59:59Z"},
        {951782400, "2000-02-29T00:00:00Z"},  // 2000 is a leap year (divisible by 400)
        {4107499200, "2100-02-28T12:00:00Z"},
        {4107542400, "2100-03-01T00:00:00Z"},  // 2100 is not (divisible by 100)
        {-2203891200, "1900-03-01T00:00:00Z"},
        {-11670998400, "1600-02-29T00:00:00Z"},
        {1735689599, "2024-12-31T23:59:59Z"},
        {std::numeric_limits<std::int32_t>::min(), "1901-12-13T20:45:52Z"},
        {std::numeric_limits<std::int32_t>::max(), "2038-01-19T03:14:07Z"},
    };
    for (const Case& c : cases) EXPECT_EQ(isoTime(c.seconds), c.text) << c.seconds;
}

TEST(PblToolTextTest, ParseInt32TakesSignedDecimalsInRange) {
    struct Case {
        std::u16string text;
        std::int32_t value;
    };
    const Case cases[] = {
        {u"0", 0},
        {u"-0", 0},
        {u"+17", 17},
        {u"-5", -5},
        {u"007", 7},
        {u"2147483647", std::numeric_limits<std::int32_t>::max()},
        {u"-2147483648", std::numeric_limits<std::int32_t>::min()},
    };
    for (const Case& c : cases) EXPECT_EQ(parseInt32(c.text, "N"), c.value);
}

TEST(PblToolTextTest, ParseInt32RefusesAnythingElseAsAUsageFailure) {
    const std::u16string refused[] = {
        u"",           u"-",           u"+",
        u"--1",        u"+-1",         u" 1",
        u"1 ",         u"1e3",         u"0x10",
        u"12a",        u"\uFF11",  // a fullwidth digit is not a digit here
        u"2147483648", u"-2147483649", u"99999999999999999999999",
    };
    for (const std::u16string& text : refused) {
        try {
            parseInt32(text, "--time");
            ADD_FAILURE() << "accepted " << displayPath(text);
        } catch (const UsageFailure& failure) {
            EXPECT_EQ(failure.message, "--time must be a whole number: " + displayPath(text));
        }
    }
}

TEST(PblToolTextTest, EscapeControlsShowsControlBytesAsHex) {
    EXPECT_EQ(escapeControls(""), "");
    EXPECT_EQ(escapeControls("d_report.srd"), "d_report.srd");
    EXPECT_EQ(escapeControls(std::string("a\0b", 3)), "a\\x00b");
    EXPECT_EQ(escapeControls("\x1B[2J\t\n\x7F"), "\\x1B[2J\\x09\\x0A\\x7F");
    // Quotes, backslashes and UTF-8 are not control bytes.
    EXPECT_EQ(escapeControls("\"\\\xC3\xA9"), "\"\\\xC3\xA9");
}

TEST(PblToolTextTest, JsonStringEscapesQuotesBackslashesAndControlBytes) {
    EXPECT_EQ(jsonString(""), "\"\"");
    EXPECT_EQ(jsonString("ANSI"), "\"ANSI\"");
    EXPECT_EQ(jsonString("say \"hi\""), "\"say \\\"hi\\\"\"");
    EXPECT_EQ(jsonString("C:\\dir"), "\"C:\\\\dir\"");
    EXPECT_EQ(jsonString(std::string("\0\x01\n\x1F", 4)), "\"\\u0000\\u0001\\u000A\\u001F\"");
    // DEL and UTF-8 are valid inside a JSON string as they are.
    EXPECT_EQ(jsonString("\x7F\xC3\xA9"), "\"\x7F\xC3\xA9\"");
}

TEST(PblToolTextTest, ExportFileNameStaysInsideTheDirectory) {
    struct Case {
        std::u16string name;
        std::u16string file;
    };
    const Case cases[] = {
        {u"d_report.srd", u"d_report.srd"},
        {u"a/b\\c:d", u"a_b_c_d"},
        {u"*?\"<>|", u"______"},
        {u"tab\there\x7F", u"tab_here_"},
        {u"", u"_"},
        {u".", u"_"},
        {u"..", u"__"},
        {u"../up", u".._up"},
        {u"name. .", u"name___"},
        {u".hidden", u".hidden"},
        // Windows device names, whatever the case or extension.
        {u"con.srd", u"_con.srd"},
        {u"COM1", u"_COM1"},
        {u"lpt9.a.b", u"_lpt9.a.b"},
        {u"NUL", u"_NUL"},
        {u"aux.", u"aux_"},  // the dot becomes part of the stem
        {u"COM0", u"COM0"},
        {u"CONSOLE.srd", u"CONSOLE.srd"},
        // A surrogate pair is one character; a lone surrogate has no file-name form.
        {u"\U0001F600.srd", u"\U0001F600.srd"},
        {std::u16string(u"a") + char16_t{0xD800} + u"b", u"a_b"},
        {std::u16string(u"a") + char16_t{0xDC00}, u"a_"},
        {std::u16string(1, char16_t{0xD83D}), u"_"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
        EXPECT_EQ(exportFileName(c.name), c.file);
    }
}

TEST(PblToolTextTest, ExportFileNameShortensLongNamesKeepingTheExtension) {
    EXPECT_EQ(exportFileName(std::u16string(300, u'a') + u".srd"),
              std::u16string(196, u'a') + u".srd");
    // 4 UTF-8 bytes per pair: 50 pairs fit in 200 bytes, and no pair is cut in half.
    std::u16string faces;
    for (int i = 0; i < 100; ++i) faces += u"\U0001F600";
    std::u16string expected;
    for (int i = 0; i < 50; ++i) expected += u"\U0001F600";
    EXPECT_EQ(exportFileName(faces), expected);
    EXPECT_EQ(exportFileName(u"x" + faces), u"x" + expected.substr(0, 98));
    // A cut that leaves a space or a dot at the end would lose that character on Windows
    // and land on the file of the entry named without it.
    EXPECT_EQ(exportFileName(std::u16string(199, u'a') + u" tail"),
              std::u16string(199, u'a') + u"_");
}

TEST(PblToolTextTest, FoldedFileNameMatchesWhatCaseInsensitiveSystemsMerge) {
    EXPECT_EQ(foldedFileName(u"D_Report.SRD"), u"d_report.srd");
    EXPECT_EQ(foldedFileName(u"\u00C9T\u00C9"), u"\u00E9t\u00E9");
    EXPECT_EQ(foldedFileName(u"\u00D7\u00DF"), u"\u00D7\u00DF");  // × and ß have no pair here
}

}  // namespace
}  // namespace keldrin::tool
