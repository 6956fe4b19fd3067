// The binary data section: laid out as PowerBuilder writes it (its own files in the
// corpus come out byte for byte), and every kind of damage refused with its line.
#include <gtest/gtest.h>

#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>

#include "base/bytes.h"
#include "pbl/binary_section.h"
#include "support/corpus.h"

namespace keldrin::pbl {
namespace {

// One record of eight bytes: the words 00000008 04030201 08070605.
BinaryEntry smallEntry() {
    return {"w_ole.bin", {8, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8}};
}

std::string replaced(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    if (at != std::string::npos) text.replace(at, from.size(), to);
    return text;
}

TEST(BinarySection, CheckDigitsOfNamesSeenInPowerBuilderFiles) {
    // The start line of each, as PowerBuilder wrote it.
    for (const char* line :
         {"01w_saveasexcel.bin ", "02w_saveasexcel1.bin ", "05w_saveashtml.bin ",
          "0Apf_w_webpage_link.bin ", "06w_kyc2.bin ", "0Cw_send_mail_popup.bin ",
          "0Dw_get_email_address_message.bin ", "07w_store_image_in_db.bin ", "08u_email_edit.bin ",
          "0Cu_imageview_ocr.bin "}) {
        std::string name(line + 2);
        name.pop_back();
        std::optional<std::string> section = encodeBinarySection({name, {4, 0, 0, 0, 1, 2, 3, 4}});
        ASSERT_TRUE(section);
        EXPECT_EQ(section->substr(kBinarySectionStart.size() + 2, name.size() + 5),
                  std::string(line) + "\r\n");
    }
}

TEST(BinarySection, WordsAreLittleEndianAndTheLastLineIsFilledWithZeros) {
    // A record of 2560 bytes that starts like an OLE compound file: 641 words, two lines.
    BinaryEntry entry{"w_ole.bin", Bytes(2564, 0)};
    const std::uint8_t head[] = {0x00, 0x0a, 0x00, 0x00, 0xd0, 0xcf, 0x11, 0xe0};
    std::copy(std::begin(head), std::end(head), entry.data.begin());
    const std::string section = encodeBinarySection(entry).value();
    const std::string line = "20" + std::string("00000a00e011cfd0") + std::string(3976, '0');
    EXPECT_EQ(section, std::string(kBinarySectionStart) + "\r\n0Dw_ole.bin \r\n" + line + "\r\n20" +
                           std::string(3992, '0') + "\r\n1Dw_ole.bin \r\n" +
                           std::string(kBinarySectionEnd) + "\r\n");
    DecodedBinarySection back = decodeBinarySection(section, 1);
    EXPECT_EQ(back.error, "");
    EXPECT_EQ(back.entry.data, entry.data) << "the filling is no part of the entry";
}

TEST(BinarySection, OnlyWhatReadsBackExactlyIsWritten) {
    EXPECT_FALSE(encodeBinarySection({"", {4, 0, 0, 0, 1, 2, 3, 4}}));
    EXPECT_FALSE(encodeBinarySection({"w_\xC3\xA9.bin", {4, 0, 0, 0, 1, 2, 3, 4}}));
    EXPECT_FALSE(encodeBinarySection({"w.bin", {}}));
    EXPECT_FALSE(encodeBinarySection({"w.bin", {5, 0, 0, 0, 1, 2, 3, 4}}));     // runs past
    EXPECT_FALSE(encodeBinarySection({"w.bin", {4, 0, 0, 0, 1, 2, 3, 4, 0}}));  // a zero after
    EXPECT_FALSE(encodeBinarySection({"w.bin", {0, 0, 0, 0, 1}}));              // no record
    EXPECT_TRUE(encodeBinarySection({"w.bin", {1, 0, 0, 0, 9, 2, 0, 0, 0, 7, 7}}));
}

TEST(BinarySection, RefusesDamageNamingItsLine) {
    const std::string good = encodeBinarySection(smallEntry()).value();
    ASSERT_NE(good.find("\r\n2E0000000804030201"), std::string::npos);
    // The section starts on line 10: start line 11, data line 12, end lines 13 and 14.
    const struct {
        std::string file;
        std::string error;
    } cases[] = {
        {replaced(good, "\r\n2E", "\r\n23"),
         "line 12: the check digit is 3, the line's words give E"},
        {replaced(good, "00000008", "0000000g"), "line 12: a character that is not a hex digit"},
        {replaced(good, "00000008", "0000008"), "line 12: a data line of 3993 characters"},
        {replaced(good, "0Dw_ole", "0Fw_ole"), "line 11: the check digit is F, the name gives D"},
        {replaced(good, "0Dw_ole.bin ", "0Dw_ole.bin"), "line 11: no \"0\", check digit"},
        {replaced(good, "1Dw_ole.bin", "1Ew_olf.bin"),
         "line 13: not the end line \"1Dw_ole.bin \""},
        {good.substr(0, good.find("1Dw_ole")), "line 12: the binary data section has no end line"},
        {good.substr(0, good.find("End of")), "line 13: no \"End of PowerBuilder"},
        {good + "x\r\n", "line 15: text after the end"},
        {replaced(good, "\r\n1D", "\r\nxyz\r\n1D"), "line 13: neither a data line"},
        {replaced(good, "2E00000008", "2E10000008"), "line 12: a record's length runs past"},
        {replaced(good, "2E00000008", "2600000000"), "line 12: the binary data holds no record"},
        {replaced(good, "00000000\r\n1D", "00000010\r\n1D"), "line 12: bytes other than zero"},
        {replaced(good, "Start of", "Start of the"), "line 10: not the binary data section's"},
    };
    for (const auto& c : cases) {
        DecodedBinarySection decoded = decodeBinarySection(c.file, 10);
        EXPECT_EQ(decoded.error.substr(0, c.error.size()), c.error);
    }
    // Line feeds alone, as a checkout may leave them, read the same.
    std::string lf = good;
    for (std::size_t at; (at = lf.find("\r\n")) != std::string::npos;) lf.erase(at, 1);
    DecodedBinarySection decoded = decodeBinarySection(lf, 10);
    EXPECT_EQ(decoded.error, "");
    EXPECT_EQ(decoded.entry.data, smallEntry().data);
    EXPECT_EQ(decoded.entry.name, "w_ole.bin");
}

// PowerBuilder's own sections: each entry is two records of a 2560-byte compound file,
// 5128 bytes in three full lines, and writing it again gives PowerBuilder's text.
TEST(BinarySection, PowerBuildersSectionsReadAndWriteBackByteForByte) {
    auto corpus = keldrin::test::corpusDirOrSkip();
    if (!corpus) GTEST_SKIP() << "no corpus";
    for (const char* name : {"w_saveasexcel", "w_saveasexcel1", "w_saveashtml"}) {
        SCOPED_TRACE(name);
        std::ifstream in(*corpus / "AppeonH__datawindowtest/ws_objects/saveas.pbl.src" /
                             (std::string(name) + ".srw"),
                         std::ios::binary);
        const std::string file((std::istreambuf_iterator<char>(in)), {});
        const std::size_t at = file.find(kBinarySectionStart);
        ASSERT_NE(at, std::string::npos);
        DecodedBinarySection decoded = decodeBinarySection(file.substr(at), 1);
        ASSERT_EQ(decoded.error, "");
        EXPECT_EQ(decoded.entry.name, std::string(name) + ".bin");
        ASSERT_EQ(decoded.entry.data.size(), 5128u);
        EXPECT_EQ(loadU32(decoded.entry.data.data()), 2560u);
        EXPECT_EQ(loadU32(decoded.entry.data.data() + 2564), 2560u);
        EXPECT_EQ(encodeBinarySection(decoded.entry), file.substr(at));
    }
}

}  // namespace
}  // namespace keldrin::pbl
