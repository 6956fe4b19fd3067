// The one codec of stored text and names: which names are one entry in each code page,
// the order existing libraries are sorted by, exact encoding, and the file-name fold
// that export relies on.
#include "pbl/stored_text.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "base/codepage.h"
#include "base/text.h"

namespace keldrin::pbl {
namespace {

// Makes CP_ACP stand for one code page for the life of the object.
class AnsiCodePage {
  public:
    explicit AnsiCodePage(unsigned codePage) { ok_ = platform::overrideAnsiCodePage(codePage); }
    ~AnsiCodePage() { (void)platform::overrideAnsiCodePage(0); }
    AnsiCodePage(const AnsiCodePage&) = delete;
    AnsiCodePage& operator=(const AnsiCodePage&) = delete;
    bool ok() const { return ok_; }

  private:
    bool ok_ = false;
};

ByteSpan bytes(const std::string& text) {
    return ByteSpan(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

int sign(int r) {
    return (r > 0) - (r < 0);
}

struct NameCase {
    unsigned codePage;
    std::string a, b;
    int sign;
    const char* why;
};

TEST(StoredNames, AnAsciiLetterIsFoldedOnlyWhereItIsAWholeCharacter) {
    const NameCase cases[] = {
        {932, "\x83\x41.srd", "\x83\x61.srd", -1, "katakana A and DI share their lead byte"},
        {936, "\x81\x41.srd", "\x81\x61.srd", -1, "two GBK ideographs, trail bytes A and a"},
        {949, "\x81\x41", "\x81\x61", -1, "two Hangul syllables"},
        {950, "\xA4\x41", "\xA4\x61", -1, "two Big5 ideographs"},
        {932, "D_\x83\x41.SRD", "d_\x83\x41.srd", 0, "ASCII around a double-byte character"},
        {932,
         "\x83\x41"
         "A",
         "\x83\x41"
         "a",
         0, "a letter after a whole double-byte character"},
        {932,
         "\xB1"
         "A",
         "\xB1"
         "a",
         0, "half-width katakana is one byte"},
        {1252,
         "\x83"
         "A",
         "\x83"
         "a",
         0, "no lead bytes in a single-byte page"},
        {1252, "\xC4", "\xE4", -1, "only ASCII letters fold"},
        // The byte-wise fold decides first, as every existing library is sorted.
        {932, "\x83\x41", "\x83\x5F", 1, "trail 'A' folds to 0x61 for the order"},
        {932, "\x83\x61", "\x83\x5F", 1, "trail 'a' is 0x61 as it stands"},
        {932, "ab", "ABC", -1, "a shorter name sorts first"},
    };
    for (const NameCase& c : cases) {
        AnsiCodePage page(c.codePage);
        ASSERT_TRUE(page.ok()) << c.codePage;
        EXPECT_EQ(sign(compareStoredNames(false, bytes(c.a), bytes(c.b))), c.sign) << c.why;
        EXPECT_EQ(sign(compareStoredNames(false, bytes(c.b), bytes(c.a))), -c.sign) << c.why;
    }
    // UTF-16 units: ASCII folds, nothing else; a terminator ends the name.
    const Bytes upper = encodeUtf16Le(u"A\u0416");
    const Bytes lower = encodeUtf16Le(u"a\u0436");
    EXPECT_LT(compareStoredNames(true, upper, lower), 0);
    EXPECT_EQ(
        compareStoredNames(true, encodeUtf16Le(u"AB"), encodeUtf16Le(std::u16string(u"ab\0x", 4))),
        0);
}

// Names of two pieces each, trail bytes that look like letters and terminators among
// them: `check(codePage, a, b)` on every pair, under a double-byte and a single-byte
// ANSI code page.
template <class Check>
void forEveryAnsiNamePair(Check check) {
    const std::string pieces[] = {"A",        "a",        "b",    "Z",    std::string("\0", 1),
                                  "\x83\x41", "\x83\x61", "\x83", "\xB1", "\xC4",
                                  "\xE4",     "_"};
    for (unsigned codePage : {932u, 1252u}) {
        AnsiCodePage page(codePage);
        ASSERT_TRUE(page.ok()) << codePage;
        std::vector<std::string> names;
        for (const std::string& x : pieces)
            for (const std::string& y : pieces) names.push_back(x + y);
        for (const std::string& a : names)
            for (const std::string& b : names) check(codePage, a, b);
    }
}

// The checker tells names apart by identity instead of order: the two must agree on
// every pair.
TEST(StoredNames, IdentityIsEqualExactlyWhenTheOrderCallsNamesOne) {
    forEveryAnsiNamePair([](unsigned codePage, const std::string& a, const std::string& b) {
        const bool one = compareStoredNames(false, bytes(a), bytes(b)) == 0;
        EXPECT_EQ(storedNameIdentity(false, bytes(a)) == storedNameIdentity(false, bytes(b)), one)
            << codePage << " " << testing::PrintToString(a) << " " << testing::PrintToString(b);
    });
    for (const std::u16string& a :
         {std::u16string(u"Ab"), std::u16string(u"aB"), std::u16string(u"a\u0416"),
          std::u16string(u"A\u0436"), std::u16string(u"ab\0x", 4)})
        for (const std::u16string& b : {std::u16string(u"ab"), std::u16string(u"a\u0436")})
            EXPECT_EQ(storedNameIdentity(true, encodeUtf16Le(a)) ==
                          storedNameIdentity(true, encodeUtf16Le(b)),
                      compareStoredNames(true, encodeUtf16Le(a), encodeUtf16Le(b)) == 0);
}

// A rebuild sorts by the order key and asks the order itself only on equal keys: where
// keys differ they must order as compareStoredNames does, in both widths.
TEST(StoredNames, OrderKeysThatDifferOrderAsTheDirectory) {
    auto sign = [](int v) { return (v > 0) - (v < 0); };
    forEveryAnsiNamePair([&](unsigned codePage, const std::string& a, const std::string& b) {
        const int keys =
            storedNameOrderKey(false, bytes(a)).compare(storedNameOrderKey(false, bytes(b)));
        if (keys == 0) return;
        EXPECT_EQ(sign(keys), sign(compareStoredNames(false, bytes(a), bytes(b))))
            << codePage << " " << testing::PrintToString(a) << " " << testing::PrintToString(b);
    });
    const std::u16string wide[] = {u"Ab",     u"aB",     u"a\u0416", u"A\u0436",
                                   u"\uFF21", u"\u0100", u"\u00FF",  std::u16string(u"ab\0x", 4),
                                   u"a",      u"ab_"};
    for (const std::u16string& a : wide)
        for (const std::u16string& b : wide) {
            const Bytes x = encodeUtf16Le(a);
            const Bytes y = encodeUtf16Le(b);
            const int keys = storedNameOrderKey(true, x).compare(storedNameOrderKey(true, y));
            if (keys == 0) continue;
            EXPECT_EQ(sign(keys), sign(compareStoredNames(true, x, y)));
        }
}

TEST(StoredNames, LeadBytesComeFromTheCodePage) {
    struct Lead {
        unsigned codePage;
        unsigned char byte;
        bool lead;
    };
    const Lead cases[] = {{932, 0x81, true},   {932, 0x9F, true},  {932, 0xE0, true},
                          {932, 0xA1, false},  {932, 0x41, false}, {936, 0x81, true},
                          {936, 0xFE, true},   {936, 0x80, false}, {1252, 0x83, false},
                          {65001, 0xE3, false}};
    for (const Lead& c : cases)
        EXPECT_EQ(platform::isLeadByte(c.codePage, c.byte), c.lead)
            << c.codePage << " " << static_cast<int>(c.byte);
}

TEST(StoredText, EncodesExactlyOrNotAtAll) {
    AnsiCodePage page(1252);
    ASSERT_TRUE(page.ok());
    EXPECT_EQ(encodeStoredText(true, u"\u0434_a.srd"), encodeUtf16Le(u"\u0434_a.srd"));
    EXPECT_EQ(encodeStoredText(false, u"\u0434_a.srd"), std::nullopt);  // no Cyrillic in 1252
    EXPECT_EQ(encodeStoredText(false, u"\u00E9"), Bytes{0xE9});
    EXPECT_EQ(encodeStoredText(false, u""), Bytes{});
    for (bool unicode : {false, true}) {
        EXPECT_EQ(encodeStoredText(unicode, std::u16string(u"a\0b", 3)), std::nullopt);
        EXPECT_EQ(encodeStoredText(unicode, u"\xD800"), std::nullopt);
        EXPECT_EQ(encodeStoredText(unicode, u"a\xDC00"), std::nullopt);  // a lone low half
    }
    // A whole pair is one character, not two lone halves.
    EXPECT_EQ(encodeStoredText(true, u"\U0001F600"), encodeUtf16Le(u"\U0001F600"));
    AnsiCodePage japanese(932);
    EXPECT_EQ(encodeStoredText(false, u"\u30A2"), (Bytes{0x83, 0x41}));
}

TEST(StoredText, DecodesUpToTheZeroOrTheWholeField) {
    const std::string ansi("ab\0c", 4);
    EXPECT_EQ(decodeStoredText(false, bytes(ansi)), u"ab");
    EXPECT_EQ(decodeStoredField(false, bytes(ansi)), std::u16string(u"ab\0c", 4));
    const Bytes wide = encodeUtf16Le(std::u16string(u"\u0434\0x", 3));
    EXPECT_EQ(decodeStoredText(true, wide), u"\u0434");
    EXPECT_EQ(decodeStoredField(true, wide), std::u16string(u"\u0434\0x", 3));
    EXPECT_EQ(storedTextBytes(true, ByteSpan(wide).first(3)), 2u);  // an odd byte is no unit
    EXPECT_EQ(displayStoredName(true, wide), "\xD0\xB4");
    EXPECT_EQ(entryNameKey(u"D_Ab\u0416.SRD"), u"d_ab\u0416.srd");
}

TEST(FileNameFold, FoldsEveryScriptTheSameWay) {
    struct Fold {
        std::u16string a, b;
        bool same;
    };
    const Fold cases[] = {
        {u"ABC", u"abc", true},
        {u"\u0160", u"\u0161", true},              // S with caron
        {u"\u0178", u"\u00FF", true},              // Y with diaeresis
        {u"\u00C0\u00DE", u"\u00E0\u00FE", true},  // Latin-1
        {u"\u0414\u0416", u"\u0434\u0436", true},  // Cyrillic
        {u"\u03A9\u03A3", u"\u03C9\u03C3", true},  // Greek
        {u"a", u"b", false},
        {u"\u00D7", u"\u00F7", false},  // multiplication and division signs
        {u"\u0434", u"\u0436", false},
    };
    for (const Fold& c : cases)
        EXPECT_EQ(platform::foldCase(c.a) == platform::foldCase(c.b), c.same)
            << utf16ToUtf8(c.a) << " " << utf16ToUtf8(c.b);
    EXPECT_EQ(platform::foldCase(u"\xD800x"), u"\xD800x");  // a lone surrogate stays
#ifndef _WIN32
    // Final sigma folds with sigma in glibc's tables; Wine's case mapping, which the
    // Windows tests run on, leaves it as it is.
    EXPECT_EQ(platform::foldCase(u"\u03C2"), platform::foldCase(u"\u03C3"));
#endif
}

}  // namespace
}  // namespace keldrin::pbl
