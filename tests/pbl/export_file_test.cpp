// Export files: each encoding written as PowerBuilder lays it out, read back to the same
// texts, and every kind of bad file refused with a reason.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"
#include "pbl/export_file.h"

namespace keldrin::pbl {
namespace {

Bytes bytesOf(std::string_view text) {
    return Bytes(text.begin(), text.end());
}

std::string textOf(const Bytes& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

WideExportTexts sample() {
    // "Relatório" and a kanji: one run of one unit, one of two; a character outside the
    // BMP (a surrogate pair) in the source.
    return {u"d_relat\u00f3rio.srd", u"\u6307\u5b9a",
            u"release 12.6;\r\n\u00e7\u00e3o \U0001F600\r\n"};
}

TEST(ExportFileWrite, HexAsciiLaysOutMarkHeaderCommentAndEscapes) {
    WrittenExportFile file = writeExportFile(ExportEncoding::kHexAscii, sample());
    ASSERT_EQ(file.error, "");
    EXPECT_EQ(textOf(file.bytes),
              "HA$PBExportHeader$d_relat$$HEX1$$f300$$ENDHEX$$rio.srd\r\n"
              "$PBExportComments$$$HEX2$$07639a5b$$ENDHEX$$\r\n"
              "release 12.6;\r\n$$HEX2$$e700e300$$ENDHEX$$o $$HEX2$$3dd800de$$ENDHEX$$\r\n");
}

// PowerBuilder's runs go on through spaces, between its characters and after them,
// and end at any other ASCII character; a space before a run stays outside it.
TEST(ExportFileWrite, HexAsciiRunsTakeInTheSpacesThatFollowThem) {
    struct Row {
        std::u16string source;
        std::string written;
    };
    for (const Row& row : {
             Row{u"3\u00bd Floppy", "3$$HEX2$$bd002000$$ENDHEX$$Floppy"},
             Row{u"a \uad00\ub9ac      : M",
                 "a $$HEX8$$00adacb9200020002000200020002000$$ENDHEX$$: M"},
             Row{u"\uae30 \ub4f1)", "$$HEX3$$30ae2000f1b4$$ENDHEX$$)"},
             Row{u"\u00e9 \r\n", "$$HEX2$$e9002000$$ENDHEX$$\r\n"},
             Row{u"\u00e9\t\u00e9", "$$HEX1$$e900$$ENDHEX$$\t$$HEX1$$e900$$ENDHEX$$"},
             Row{u"\u00e9  ", "$$HEX3$$e90020002000$$ENDHEX$$"},
             Row{u"\u00e9 $$HEX", "$$HEX2$$e9002000$$ENDHEX$$$$HEX1$$2400$$ENDHEX$$$HEX"},
         }) {
        WrittenExportFile file =
            writeExportFile(ExportEncoding::kHexAscii, WideExportTexts{u"a.srd", u"", row.source});
        ASSERT_EQ(file.error, "");
        EXPECT_EQ(textOf(file.bytes), "HA$PBExportHeader$a.srd\r\n" + row.written);
        ReadExportFile read = readExportFile(file.bytes);
        ASSERT_EQ(read.error, "");
        EXPECT_EQ(read.wide.source, row.source);
    }
}

TEST(ExportFileWrite, Utf8AndUtf16CarryTheirByteOrderMarks) {
    WrittenExportFile utf8 = writeExportFile(ExportEncoding::kUtf8, sample());
    ASSERT_EQ(utf8.error, "");
    EXPECT_EQ(textOf(utf8.bytes).substr(0, 31), "\xEF\xBB\xBF$PBExportHeader$d_relat\xC3\xB3rio");
    WrittenExportFile utf16 = writeExportFile(ExportEncoding::kUtf16Le, sample());
    ASSERT_EQ(utf16.error, "");
    ASSERT_GE(utf16.bytes.size(), 4u);
    EXPECT_EQ(utf16.bytes[0], 0xFF);
    EXPECT_EQ(utf16.bytes[1], 0xFE);
    EXPECT_EQ(utf16.bytes[2], '$');
    EXPECT_EQ(utf16.bytes[3], 0);
}

TEST(ExportFileWrite, AnsiKeepsTheCodePageBytesAndHeaderLinesEndInCrlf) {
    // Bytes that are no character in code page 1252 (0x81) pass untouched. The header
    // lines end in CRLF even where the source's lines end in LF (a web service proxy's
    // source does), as PowerBuilder writes them.
    AnsiExportTexts texts{"w_main.srw", "a comment", "forward\n\x81\xE9\nend forward\n"};
    WrittenExportFile file = writeAnsiExportFile(texts);
    ASSERT_EQ(file.error, "");
    EXPECT_EQ(textOf(file.bytes),
              "$PBExportHeader$w_main.srw\r\n$PBExportComments$a comment\r\n"
              "forward\n\x81\xE9\nend forward\n");
    ReadExportFile back = readExportFile(file.bytes);
    EXPECT_EQ(back.ansi.source, texts.source);
    EXPECT_EQ(back.ansi.comment, texts.comment);
    texts = {"f.srf", "", "x"};
    EXPECT_EQ(textOf(writeAnsiExportFile(texts).bytes), "$PBExportHeader$f.srf\r\nx");
}

TEST(ExportFileWrite, RefusesWhatAHeaderLineCannotCarry) {
    EXPECT_NE(writeExportFile(ExportEncoding::kUtf8, {u"", u"", u"x"}).error, "");
    EXPECT_NE(writeExportFile(ExportEncoding::kUtf8, {u"a.srd", u"two\nlines", u"x"}).error, "");
    EXPECT_NE(writeAnsiExportFile({"a\r.srd", "", "x"}).error, "");
    // A lone surrogate has no UTF-8 form; HEXASCII and UTF-16 carry it.
    WideExportTexts lone{u"a.srd", u"", u"x\xD800y"};
    EXPECT_NE(writeExportFile(ExportEncoding::kUtf8, lone).error, "");
    EXPECT_EQ(writeExportFile(ExportEncoding::kHexAscii, lone).error, "");
    EXPECT_EQ(writeExportFile(ExportEncoding::kUtf16Le, lone).error, "");
    EXPECT_NE(writeExportFile(ExportEncoding::kAnsi, lone).error, "");
}

TEST(ExportFileRoundTrip, EveryWideEncodingGivesTheTextsBack) {
    for (ExportEncoding encoding :
         {ExportEncoding::kHexAscii, ExportEncoding::kUtf8, ExportEncoding::kUtf16Le}) {
        SCOPED_TRACE(std::string(exportEncodingName(encoding)));
        for (const WideExportTexts& texts :
             {sample(), WideExportTexts{u"a.srd", u"", u""},
              WideExportTexts{u"a.srd", u"", u"\n\nLF only\n"},
              WideExportTexts{u"a.srd", u"c", std::u16string(u"nul at the end\0", 15)},
              WideExportTexts{u"a.srd", u"", u"$PBExportHeader$ inside\r\n"},
              WideExportTexts{u"a.srd", u"", u"$PBExportComments$ first\r\n"},
              WideExportTexts{u"a.srd", u"", u"s = '$$HEX1$$4100$$ENDHEX$$'\r\n"}}) {
            WrittenExportFile file = writeExportFile(encoding, texts);
            ASSERT_EQ(file.error, "");
            ReadExportFile read = readExportFile(file.bytes);
            ASSERT_EQ(read.error, "");
            EXPECT_EQ(read.encoding, encoding);
            EXPECT_EQ(read.wide.name, texts.name);
            EXPECT_EQ(read.wide.comment, texts.comment);
            EXPECT_EQ(read.wide.source, texts.source);
        }
    }
}

TEST(ExportFileRoundTrip, AnsiGivesTheBytesBack) {
    AnsiExportTexts texts{"d_x.srd", "\xE9t\xE9", std::string("release 5;\r\n\x81\0", 14)};
    ReadExportFile read = readExportFile(writeAnsiExportFile(texts).bytes);
    ASSERT_EQ(read.error, "");
    EXPECT_EQ(read.encoding, ExportEncoding::kAnsi);
    EXPECT_EQ(read.ansi.name, texts.name);
    EXPECT_EQ(read.ansi.comment, texts.comment);
    EXPECT_EQ(read.ansi.source, texts.source);
}

TEST(ExportFileRead, AcceptsUppercaseHexAndAHeaderWithoutSource) {
    ReadExportFile read =
        readExportFile(bytesOf("HA$PBExportHeader$a.srd\r\n$$HEX1$$E300$$ENDHEX$$"));
    ASSERT_EQ(read.error, "");
    EXPECT_EQ(read.wide.source, u"\u00e3");
    read = readExportFile(bytesOf("$PBExportHeader$only.srd"));
    ASSERT_EQ(read.error, "");
    EXPECT_EQ(read.ansi.name, "only.srd");
    EXPECT_EQ(read.ansi.source, "");
}

TEST(ExportFileRead, RefusesFilesThatAreNoExportFiles) {
    auto errorOf = [](std::string_view text) { return readExportFile(bytesOf(text)).error; };
    EXPECT_NE(errorOf(""), "");
    EXPECT_NE(errorOf("release 9;\r\n"), "");
    EXPECT_NE(errorOf("HA release 9;\r\n"), "");
    EXPECT_NE(errorOf("$PBExportHeader$\r\nx"), "");  // names no entry
    EXPECT_NE(errorOf("\xEF\xBB\xBFrelease 9;"), "");
    EXPECT_NE(errorOf("\xEF\xBB\xBF$PBExportHeader$a.srd\r\n\xC3"), "");  // cut UTF-8
    EXPECT_NE(errorOf("\xFF\xFE$\0"), "");                                // odd UTF-16
}

TEST(ExportFileRead, NamesAnUnknownEncoding) {
    auto errorOf = [](std::string_view text) { return readExportFile(bytesOf(text)).error; };
    using namespace std::string_literals;
    EXPECT_NE(errorOf("\xFE\xFF\0$"s).find("UTF-16BE"), std::string::npos);
    EXPECT_NE(errorOf("\xFF\xFE\0\0$\0\0\0"s).find("UTF-32LE"), std::string::npos);
    EXPECT_NE(errorOf("$\0P\0B\0E\0"s).find("without a byte-order mark"), std::string::npos);
}

TEST(ExportFileRead, RefusesEveryMalformedHexEscape) {
    const std::string head = "HA$PBExportHeader$a.srd\r\n";
    for (const char* body :
         {"$$HEX$$e300$$ENDHEX$$", "$$HEX0$$$$ENDHEX$$", "$$HEX1e300$$ENDHEX$$",
          "$$HEX1$$e30$$ENDHEX$$", "$$HEX1$$e3zz$$ENDHEX$$", "$$HEX1$$e300", "$$HEX1$$e300$$END",
          "$$HEX2$$e300$$ENDHEX$$", "$$HEX999999999999$$e300$$ENDHEX$$", "$$HEX1$$"}) {
        SCOPED_TRACE(body);
        ReadExportFile read = readExportFile(bytesOf(head + body));
        EXPECT_NE(read.error.find("malformed $$HEX$$ escape at offset 25"), std::string::npos)
            << read.error;
    }
    // A byte that HEXASCII would have escaped.
    EXPECT_NE(readExportFile(bytesOf(head + "\xE3")).error.find("above 0x7F at offset 25"),
              std::string::npos);
}

TEST(ExportFileNames, EncodingsAndSourceEntries) {
    for (ExportEncoding encoding : {ExportEncoding::kAnsi, ExportEncoding::kHexAscii,
                                    ExportEncoding::kUtf8, ExportEncoding::kUtf16Le})
        EXPECT_EQ(exportEncodingFromName(exportEncodingName(encoding)), encoding);
    EXPECT_FALSE(exportEncodingFromName("utf-8"));
    EXPECT_TRUE(isSourceEntryName(u"d_main.srd"));
    EXPECT_TRUE(isSourceEntryName(u"W_MAIN.SRW"));
    EXPECT_FALSE(isSourceEntryName(u"d_main.dwo"));
    EXPECT_FALSE(isSourceEntryName(u"app.pra"));
    EXPECT_FALSE(isSourceEntryName(u".srd"));
    EXPECT_FALSE(isSourceEntryName(u"a.sr1"));
    EXPECT_FALSE(isSourceEntryName(u"a.srdx"));
}

// The file in pieces that end at the given offsets (and its end).
ReadExportFile readInPieces(const Bytes& file, const std::vector<std::size_t>& cuts) {
    PiecewiseExportReader reader(file.size());
    std::size_t from = 0;
    for (std::size_t cut : cuts) {
        reader.add(ByteSpan(file).subspan(from, cut - from));
        from = cut;
    }
    reader.add(ByteSpan(file).subspan(from));
    return reader.finish();
}

void expectSameRead(const ReadExportFile& a, const ReadExportFile& b) {
    EXPECT_EQ(a.encoding, b.encoding);
    EXPECT_EQ(a.error, b.error);
    EXPECT_EQ(a.ansi.name, b.ansi.name);
    EXPECT_EQ(a.ansi.source, b.ansi.source);
    EXPECT_EQ(a.wide.name, b.wide.name);
    EXPECT_EQ(a.wide.comment, b.wide.comment);
    EXPECT_EQ(a.wide.source, b.wide.source);
    ASSERT_EQ(a.wide.binary.has_value(), b.wide.binary.has_value());
    if (a.wide.binary) {
        EXPECT_EQ(a.wide.binary->data, b.wide.binary->data);
    }
}

// Whatever pieces a file comes in, it reads as it reads whole: good files of every
// encoding, a binary section, and the bad ones, with a character or a mark cut by a
// piece's end and invalid UTF-8 at the very end.
TEST(ExportFileRead, PiecesReadAsTheWholeFile) {
    WideExportTexts withSection = sample();
    withSection.name = u"w_ole.srw";
    withSection.binary = BinaryEntry{"w_ole.bin", Bytes(700, 0x5A)};
    std::vector<Bytes> files;
    for (ExportEncoding e :
         {ExportEncoding::kHexAscii, ExportEncoding::kUtf8, ExportEncoding::kUtf16Le}) {
        files.push_back(writeExportFile(e, sample()).bytes);
        files.push_back(writeExportFile(e, withSection).bytes);
    }
    files.push_back(
        writeAnsiExportFile({"d_a.srd", "c", "release 9;\r\n\xE9", std::nullopt}).bytes);
    const Bytes utf8 = writeExportFile(ExportEncoding::kUtf8, sample()).bytes;
    Bytes bad = utf8;
    bad.insert(bad.begin() + 40, 0xC0);  // an overlong form's lead byte
    files.push_back(bad);
    bad = utf8;
    bad.push_back(0xE2);  // a character cut short by the file's end
    bad.push_back(0x82);
    files.push_back(bad);
    Bytes odd = writeExportFile(ExportEncoding::kUtf16Le, sample()).bytes;
    odd.push_back(0x41);
    files.push_back(odd);
    files.push_back(bytesOf("\xFF\xFE\x00\x00$\x00\x00\x00"));  // UTF-32LE
    files.push_back(bytesOf("\xEF\xBB"));
    // A header line without a line end: nothing after it, not even an empty view's address.
    files.push_back(bytesOf("\xEF\xBB\xBF$PBExportHeader$d_a.srd"));
    files.push_back(bytesOf("HA$PBExportHeader$d_a.srd\r\n$PBExportComments$c"));
    files.push_back({});
    for (std::size_t f = 0; f < files.size(); ++f) {
        SCOPED_TRACE(f);
        const Bytes& file = files[f];
        const ReadExportFile whole = readExportFile(file);
        for (std::size_t cut = 0; cut <= file.size(); ++cut) {
            SCOPED_TRACE(cut);
            expectSameRead(readInPieces(file, {cut}), whole);
            if (::testing::Test::HasFailure()) return;
        }
        std::vector<std::size_t> everyByte;
        for (std::size_t i = 1; i < file.size(); ++i) everyByte.push_back(i);
        expectSameRead(readInPieces(file, everyByte), whole);
    }
}

}  // namespace
}  // namespace keldrin::pbl
