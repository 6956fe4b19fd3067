#include "base/text.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <ostream>
#include <string>

#include "base/codepage.h"
#include "base/file.h"
#include "support/locale_guard.h"
#include "support/win32_posix_compat.h"

namespace keldrin {
namespace {

#if defined(_WIN32)
// Windows takes its code pages from the system, not from the environment: a test that
// needs a certain ANSI code page runs only where the system has it.
#define REQUIRE_ANSI_CODE_PAGE(cp)                 \
    if (platform::resolveCodePage(CP_ACP) != (cp)) \
    GTEST_SKIP() << "the system's ANSI code page is not " << (cp)
#define SKIP_ON_WINDOWS() GTEST_SKIP() << "code pages come from the system, not the locale"
#else
#define REQUIRE_ANSI_CODE_PAGE(cp) static_cast<void>(0)
#define SKIP_ON_WINDOWS() static_cast<void>(0)
#endif
using ScopedLocale = test::LocaleGuard;

TEST(NarrowToWide, CountsTheTerminatorOnlyWhenTheByteCountIncludesIt) {
    EXPECT_EQ(narrowToWide("AB", 2, CP_ACP), u"AB");
    std::u16string withTerminator = narrowToWide("AB", 3, CP_ACP);
    ASSERT_EQ(withTerminator.size(), 3u);
    EXPECT_EQ(withTerminator[2], u'\0');
    EXPECT_EQ(withTerminator.c_str()[3], u'\0');
    EXPECT_TRUE(narrowToWide("", 0, CP_ACP).empty());
}

TEST(WideToNarrow, ConvertsWholeUnitsAndAddsNoTerminator) {
    const char16_t text[] = u"AB";
    EXPECT_EQ(wideToNarrow(text, 4, CP_ACP), "AB");
    EXPECT_EQ(wideToNarrow(text, 5, CP_ACP), "AB");
    EXPECT_EQ(wideToNarrow(text, 6, CP_ACP), std::string("AB\0", 3));
    const char16_t e[] = u"\u00e9";
    EXPECT_EQ(wideToNarrow(e, 2, CP_UTF8), "\xC3\xA9");
    ScopedLocale locale("de_DE.UTF-8");
    REQUIRE_ANSI_CODE_PAGE(1252u);
    EXPECT_EQ(wideToNarrow(e, 2, CP_ACP), "\xE9");
}

TEST(WideToNarrow, EmptyInputReportsAndReturnsEmpty) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(wideToNarrow(u"", 0, CP_ACP), "");
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out.rfind("LastError: '", 0), 0u) << out;
    EXPECT_EQ(out.back(), '\n');
}

TEST(AnsiStrings, ReplaceWhatTheCodePageCannotCarryAndStopAtZero) {
    ScopedLocale locale("C");
    REQUIRE_ANSI_CODE_PAGE(1252u);
    EXPECT_EQ(wideToAnsi(u"a\u4e2db"), "a?b");
    EXPECT_EQ(ansiToWide(std::string("ab\0cd", 5)), u"ab");
    EXPECT_EQ(ansiToWide("\x80"), u"\u20ac");
}

TEST(AnsiStrings, EveryCp1252ByteRoundTripsThroughItsWideForm) {
    ScopedLocale locale("en_US.UTF-8");
    REQUIRE_ANSI_CODE_PAGE(1252u);
    for (int b = 1; b < 256; ++b) {
        std::string one(1, static_cast<char>(b));
        std::u16string wide = ansiToWide(one);
        ASSERT_EQ(wide.size(), 1u) << b;
        EXPECT_EQ(wideToAnsi(wide), one) << "byte " << b;
    }
    // The five bytes the code page leaves undefined map to the C1 controls, as on Windows.
    for (int b : {0x81, 0x8D, 0x8F, 0x90, 0x9D})
        EXPECT_EQ(ansiToWide(std::string(1, static_cast<char>(b))),
                  std::u16string(1, static_cast<char16_t>(b)));
}

TEST(AnsiStrings, DoubleByteCodePagesFollowTheLocale) {
    ScopedLocale locale("ja_JP.UTF-8");
    REQUIRE_ANSI_CODE_PAGE(932u);
    std::u16string wide = u"\u65e5\u672c";
    std::string narrow = wideToAnsi(wide);
    EXPECT_EQ(narrow, "\x93\xfa\x96\x7b");
    EXPECT_EQ(ansiToWide(narrow), wide);
}

struct LocaleRow {
    const char* locale;
    unsigned ansi;
    unsigned oem;
};

void PrintTo(const LocaleRow& r, std::ostream* os) {
    *os << r.locale;
}

class LocaleCodePageTest : public testing::TestWithParam<LocaleRow> {};

TEST_P(LocaleCodePageTest, MapsLikeWindowsSystemLocales) {
    SKIP_ON_WINDOWS();
    ScopedLocale locale(GetParam().locale);
    EXPECT_EQ(platform::resolveCodePage(CP_ACP), GetParam().ansi);
    EXPECT_EQ(platform::resolveCodePage(CP_OEMCP), GetParam().oem);
    EXPECT_EQ(platform::resolveCodePage(CP_UTF8), 65001u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, LocaleCodePageTest,
    testing::Values(LocaleRow{"C", 1252, 437}, LocaleRow{"POSIX", 1252, 437},
                    LocaleRow{"C.UTF-8", 1252, 437}, LocaleRow{"en_US.UTF-8", 1252, 850},
                    LocaleRow{"pl_PL.UTF-8", 1250, 852}, LocaleRow{"ru_RU.UTF-8", 1251, 866},
                    LocaleRow{"sr_RS@latin", 1250, 852}, LocaleRow{"sr_RS", 1251, 866},
                    LocaleRow{"el_GR", 1253, 737}, LocaleRow{"tr_TR", 1254, 857},
                    LocaleRow{"he_IL", 1255, 862}, LocaleRow{"ar_EG", 1256, 720},
                    LocaleRow{"lt_LT", 1257, 775}, LocaleRow{"vi_VN", 1258, 1258},
                    LocaleRow{"th_TH", 874, 874}, LocaleRow{"ja_JP.UTF-8", 932, 932},
                    LocaleRow{"zh_CN.UTF-8", 936, 936}, LocaleRow{"zh_SG", 936, 936},
                    LocaleRow{"ko_KR.EUC-KR", 949, 949}, LocaleRow{"zh_TW.UTF-8", 950, 950},
                    LocaleRow{"zh_HK", 950, 950}));

TEST(Locale, LcAllWinsOverLcCtypeAndLang) {
#if defined(_WIN32)
    SKIP_ON_WINDOWS();
#else
    const char* savedAll = getenv("LC_ALL");
    std::string keepAll = savedAll ? savedAll : "";
    unsetenv("LC_ALL");
    setenv("LC_CTYPE", "ru_RU", 1);
    setenv("LANG", "pl_PL", 1);
    EXPECT_EQ(platform::resolveCodePage(CP_ACP), 1251u);
    unsetenv("LC_CTYPE");
    EXPECT_EQ(platform::resolveCodePage(CP_ACP), 1250u);
    setenv("LC_ALL", "el_GR", 1);
    EXPECT_EQ(platform::resolveCodePage(CP_ACP), 1253u);
    if (savedAll)
        setenv("LC_ALL", keepAll.c_str(), 1);
    else
        unsetenv("LC_ALL");
    setenv("LANG", "C", 1);
#endif
}

TEST(WideToAnsiBuffer, HoldsTheTextWithItsTerminator) {
    GrowableBuffer buffer(4);
    wideToAnsiBuffer(u"", buffer);
    EXPECT_EQ(buffer.length(), 1u);
    wideToAnsiBuffer(u"longer than four", buffer);
    ASSERT_EQ(buffer.length(), 17u);
    EXPECT_GE(buffer.capacity(), 17u);
    EXPECT_STREQ(reinterpret_cast<const char*>(buffer.data()), "longer than four");
}

TEST(NumberToText, DecimalWithSignAndNoPadding) {
    EXPECT_EQ(numberToText(0), u"0");
    EXPECT_EQ(numberToText(42), u"42");
    EXPECT_EQ(numberToText(-42), u"-42");
    EXPECT_EQ(numberToText(INT32_MIN), u"-2147483648");
    EXPECT_EQ(numberToText(65535), u"65535");
}

TEST(NativeNames, InvalidUtf8BytesComeBackUnchanged) {
    for (std::string bytes :
         {std::string("plain.psr"), std::string("caf\xC3\xA9.psr"), std::string("bad\xFF\xFE.psr"),
          std::string("\xC3(x"), std::string("\xED\xA0\x80"), std::string("\xF0\x9F\x98\x80")}) {
        EXPECT_EQ(fs::toNativeName(fs::fromNativeName(bytes)), bytes);
    }
    EXPECT_EQ(fs::fromNativeName("caf\xC3\xA9"), u"caf\u00e9");
}

TEST(Utf8, ReplacesLoneSurrogatesAndInvalidBytes) {
    EXPECT_EQ(utf16ToUtf8(u"a\xD800"
                          u"b"),
              "a\xEF\xBF\xBD"
              "b");
    EXPECT_EQ(utf8ToUtf16("a\xFF"
                          "b"),
              u"a\uFFFD"
              u"b");
    EXPECT_EQ(utf8ToUtf16(utf16ToUtf8(u"\U0001F600")), u"\U0001F600");
}

}  // namespace
}  // namespace keldrin
