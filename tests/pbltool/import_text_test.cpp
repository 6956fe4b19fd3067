// What import makes of an export file's text in each library variant: the file's bytes are
// let go once decoded, and a Unicode library's body is encoded straight into the entry's
// data, so every path from a file's encoding to a library's is checked here for the
// bytes it stores, characters outside the BMP and LF-only lines among them.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/pbl_tool_fixture.h"
#include "support/test_files.h"

namespace keldrin {
namespace {

// UTF-16LE bytes of UTF-16 code units.
std::string le(const std::u16string& text) {
    std::string out;
    for (char16_t c : text) out += {static_cast<char>(c & 0xFF), static_cast<char>(c >> 8)};
    return out;
}

class PblToolImportTextTest : public test::PblToolProcessTest {
  protected:
    // Imports `file` into a new library of `version`; the entry's comment and body.
    std::pair<std::string, std::string> imported(const std::string& file, int version) {
        const std::string lib = newLibrary(
            "v" + std::to_string(version) + "-" + std::to_string(++count_) + ".pbl", version);
        test::writeAll(dir_ / "in.srw", file);
        ok({"import", lib, path("in.srw")});
        return {ok({"cat", lib, "e.srw", "--comment"}), ok({"cat", lib, "e.srw"})};
    }

  private:
    int count_ = 0;
};

TEST_F(PblToolImportTextTest, EveryEncodingGoesIntoEitherVariantAsItsText) {
    // UTF-8 from an LF checkout (every line, the header lines too, ends in LF alone), a character
    // outside the BMP, a comment.
    const std::string utf8 =
        "\xEF\xBB\xBF$PBExportHeader$e.srw\n$PBExportComments$gr\xC3\xBC\n"
        "a\xF0\x9F\x98\x80\nb\n";
    EXPECT_EQ(imported(utf8, 10), std::make_pair(le(u"gr\u00fc"), le(u"a\U0001F600\r\nb\r\n")));
    // The same without the character an ANSI library cannot hold.
    const std::string utf8Latin =
        "\xEF\xBB\xBF$PBExportHeader$e.srw\n$PBExportComments$gr\xC3\xBC\nca\xC3\xA9\n";
    EXPECT_EQ(imported(utf8Latin, 9),
              std::make_pair(std::string("gr\xFC"), std::string("ca\xE9\r\n")));
    // UTF-16LE with CRLF lines, kept as they are.
    const std::string utf16 = "\xFF\xFE" + le(u"$PBExportHeader$e.srw\r\nx\U0001F600\r\ny");
    EXPECT_EQ(imported(utf16, 12), std::make_pair(std::string(), le(u"x\U0001F600\r\ny")));
    // ANSI (code page 1252 here) into both.
    const std::string ansi = "$PBExportHeader$e.srw\r\nforward \xE9\r\n";
    EXPECT_EQ(imported(ansi, 6), std::make_pair(std::string(), std::string("forward \xE9\r\n")));
    EXPECT_EQ(imported(ansi, 10), std::make_pair(std::string(), le(u"forward \u00e9\r\n")));
}

}  // namespace
}  // namespace keldrin
