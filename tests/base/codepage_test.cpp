// One table of conversions that both code-page backends must agree on: the POSIX build
// runs it against iconv, the Windows build against kernel32. Code pages are named
// explicitly so neither the locale nor the system's settings matter.
#include "base/codepage.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

#include "base/text.h"

namespace keldrin {
namespace {

constexpr unsigned kCompositeDefault = WC_COMPOSITECHECK | WC_DEFAULTCHAR;

struct DecodeCase {
    const char* name;
    unsigned codePage;
    unsigned flags;
    std::string bytes;
    std::u16string wide;
};

void PrintTo(const DecodeCase& c, std::ostream* os) {
    *os << c.name;
}

class DecodeTest : public testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeTest, MeasuresThenConvertsToTheSameUnits) {
    const DecodeCase& c = GetParam();
    int size = static_cast<int>(c.bytes.size());
    int n = platform::multiByteToWideChar(c.codePage, c.flags, c.bytes.data(), size, nullptr, 0);
    ASSERT_EQ(n, static_cast<int>(c.wide.size()));
    std::u16string out(static_cast<std::size_t>(n), u'\0');
    EXPECT_EQ(
        platform::multiByteToWideChar(c.codePage, c.flags, c.bytes.data(), size, out.data(), n), n);
    EXPECT_EQ(out, c.wide);
}

INSTANTIATE_TEST_SUITE_P(
    Shared, DecodeTest,
    testing::Values(
        DecodeCase{"Cp1252", 1252, MB_PRECOMPOSED, "A\x80\xE9\xFF", u"A\u20AC\u00E9\u00FF"},
        // Bytes the code page leaves undefined come back as the C1 control of that value.
        DecodeCase{"Cp1252Undefined", 1252, 0, "\x81\x8D\x8F\x90\x9D",
                   u"\u0081\u008D\u008F\u0090\u009D"},
        DecodeCase{"Cp1252ZeroIsConverted", 1252, 0, std::string("a\0b", 3),
                   std::u16string(u"a\0b", 3)},
        DecodeCase{"Cp1251", 1251, MB_PRECOMPOSED, "\xC0\xFF", u"\u0410\u044F"},
        DecodeCase{"Cp1253", 1253, 0, "\xC1\xF9", u"\u0391\u03C9"},
        DecodeCase{"Cp874", 874, 0, "\xA1", u"\u0E01"},
        DecodeCase{"Cp437", 437, 0, "\x82\xB0", u"\u00E9\u2591"},
        DecodeCase{"Cp850", 850, 0, "\x9B", u"\u00F8"},
        DecodeCase{"Cp866", 866, 0, "\x80", u"\u0410"},
        // kernel32 refuses MB_PRECOMPOSED for UTF-8; the layer must still convert.
        DecodeCase{"Utf8WithPrecomposed", CP_UTF8, MB_PRECOMPOSED, "\xC3\xA9\xE2\x82\xAC",
                   u"\u00E9\u20AC"},
        DecodeCase{"Utf8Supplementary", CP_UTF8, 0, "\xF0\x9F\x98\x80", u"\U0001F600"},
        DecodeCase{"Cp932", 932, MB_PRECOMPOSED, "a\x93\xFA\x96\x7B", u"a\u65E5\u672C"},
        DecodeCase{"Cp936", 936, 0, "\xC4\xE3", u"\u4F60"},
        DecodeCase{"Cp949", 949, 0, "\xB0\xA1", u"\uAC00"},
        DecodeCase{"Cp950", 950, 0, "\xA4\xA4", u"\u4E2D"}),
    [](const testing::TestParamInfo<DecodeCase>& row) { return std::string(row.param.name); });

struct EncodeCase {
    const char* name;
    unsigned codePage;
    unsigned flags;
    std::u16string wide;
    const char* defaultChar;
    std::string bytes;
    bool usedDefault;
};

void PrintTo(const EncodeCase& c, std::ostream* os) {
    *os << c.name;
}

class EncodeTest : public testing::TestWithParam<EncodeCase> {};

TEST_P(EncodeTest, MeasuresThenConvertsToTheSameBytes) {
    const EncodeCase& c = GetParam();
    int units = static_cast<int>(c.wide.size());
    int m = platform::wideCharToMultiByte(c.codePage, c.flags, c.wide.data(), units, nullptr, 0,
                                          c.defaultChar, nullptr);
    ASSERT_EQ(m, static_cast<int>(c.bytes.size()));
    std::string out(static_cast<std::size_t>(m), '\0');
    bool used = !c.usedDefault;
    EXPECT_EQ(platform::wideCharToMultiByte(c.codePage, c.flags, c.wide.data(), units, out.data(),
                                            m, c.defaultChar, &used),
              m);
    EXPECT_EQ(out, c.bytes);
    if (c.codePage != CP_UTF8) {
        EXPECT_EQ(used, c.usedDefault);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Shared, EncodeTest,
    testing::Values(
        EncodeCase{"Cp1252", 1252, 0, u"A\u20AC\u00E9", nullptr, "A\x80\xE9", false},
        EncodeCase{"Cp1252Undefined", 1252, kCompositeDefault, u"x\u0081\u009D", "?", "x\x81\x9D",
                   false},
        EncodeCase{"Cp1252Replaced", 1252, kCompositeDefault,
                   u"a\u4E2D"
                   u"b",
                   "?", "a?b", true},
        EncodeCase{"Cp1252OtherDefault", 1252, kCompositeDefault, u"\u4E2D", "#", "#", true},
        EncodeCase{"Cp1252ZeroIsConverted", 1252, 0, std::u16string(u"a\0", 2), nullptr,
                   std::string("a\0", 2), false},
        EncodeCase{"Cp1251", 1251, kCompositeDefault, u"\u0416\u4E2D", "?", "\xC6?", true},
        EncodeCase{"Cp437", 437, 0, u"\u2591\u00E9", nullptr, "\xB0\x82", false},
        EncodeCase{"Utf8", CP_UTF8, 0, u"\u00E9\U0001F600", nullptr, "\xC3\xA9\xF0\x9F\x98\x80",
                   false},
        // kernel32 refuses these flags and a default character for UTF-8; the layer
        // must still convert.
        EncodeCase{"Utf8WithFlags", CP_UTF8, kCompositeDefault, u"\u00E9", "?", "\xC3\xA9", false},
        EncodeCase{"Cp932", 932, 0, u"\u65E5\u672C", nullptr, "\x93\xFA\x96\x7B", false},
        EncodeCase{"Cp949", 949, 0, u"\uAC00", nullptr, "\xB0\xA1", false}),
    [](const testing::TestParamInfo<EncodeCase>& row) { return std::string(row.param.name); });

TEST(CodePageLayer, RefusesEmptyAndUncountedInput) {
    char16_t wide[4] = {};
    char narrow[4] = {};
    EXPECT_EQ(platform::multiByteToWideChar(1252, 0, "ab", 0, wide, 4), 0);
    EXPECT_EQ(platform::multiByteToWideChar(1252, 0, "ab", -1, wide, 4), 0);
    EXPECT_EQ(platform::wideCharToMultiByte(1252, 0, u"ab", 0, narrow, 4, nullptr, nullptr), 0);
    EXPECT_EQ(platform::wideCharToMultiByte(1252, 0, u"ab", -1, narrow, 4, nullptr, nullptr), 0);
    // The failure leaves a text to report; its wording is the system's.
    EXPECT_FALSE(platform::lastErrorText().empty());
}

TEST(CodePageLayer, FailsWhenTheOutputIsTooSmall) {
    char16_t wide[2] = {u'x', u'x'};
    EXPECT_EQ(platform::multiByteToWideChar(1252, 0, "abc", 3, wide, 2), 0);
    char narrow[2] = {'x', 'x'};
    EXPECT_EQ(
        platform::wideCharToMultiByte(CP_UTF8, 0, u"\u00E9\u00E9", 2, narrow, 2, nullptr, nullptr),
        0);
    EXPECT_FALSE(platform::lastErrorText().empty());
}

TEST(CodePageLayer, ResolvesOnlyTheSystemIdentifiers) {
    EXPECT_EQ(platform::resolveCodePage(CP_UTF8), 65001u);
    EXPECT_EQ(platform::resolveCodePage(1251), 1251u);
    for (unsigned id : {static_cast<unsigned>(CP_ACP), static_cast<unsigned>(CP_OEMCP)}) {
        unsigned real = platform::resolveCodePage(id);
        EXPECT_NE(real, static_cast<unsigned>(CP_ACP));
        EXPECT_NE(real, static_cast<unsigned>(CP_OEMCP));
    }
}

TEST(CodePageLayer, AnsiIdentifierConvertsLikeTheCodePageItStandsFor) {
    unsigned ansi = platform::resolveCodePage(CP_ACP);
    std::string bytes;
    for (int b = 0x20; b < 0x80; ++b) bytes.push_back(static_cast<char>(b));
    bytes += "\xC0\xE9";
    int size = static_cast<int>(bytes.size());
    std::u16string viaIdentifier(bytes.size() * 2, u'\0');
    std::u16string viaNumber(bytes.size() * 2, u'\0');
    int a = platform::multiByteToWideChar(CP_ACP, 0, bytes.data(), size, viaIdentifier.data(),
                                          static_cast<int>(viaIdentifier.size()));
    int b = platform::multiByteToWideChar(ansi, 0, bytes.data(), size, viaNumber.data(),
                                          static_cast<int>(viaNumber.size()));
    ASSERT_GT(a, 0);
    EXPECT_EQ(a, b);
    EXPECT_EQ(viaIdentifier, viaNumber);
}

}  // namespace
}  // namespace keldrin
