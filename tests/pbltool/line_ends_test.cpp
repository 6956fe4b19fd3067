// Telling an LF checkout from an export file as PowerBuilder wrote it, piece by piece:
// the answer never depends on where the pieces of the file end.
#include "pbltool/line_ends.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace keldrin::tool {
namespace {

using pbl::ExportEncoding;

bool scanInTwo(const std::string& file, std::size_t cut, ExportEncoding encoding) {
    const Bytes bytes(file.begin(), file.end());
    CarriageReturnScan scan;
    scan.add(ByteSpan(bytes).first(cut));
    scan.add(ByteSpan(bytes).subspan(cut));
    return scan.found(encoding);
}

TEST(CarriageReturnScan, FindsTheSameWhereverThePiecesEnd) {
    struct Case {
        std::string file;
        ExportEncoding encoding;
        bool found;
    };
    const std::vector<Case> cases = {
        {"$PBExportHeader$a.srd\nrelease 9;\n", ExportEncoding::kUtf8, false},
        {"$PBExportHeader$a.srd\r\nrelease 9;\n", ExportEncoding::kAnsi, true},
        // UTF-16LE: "\r" is the unit 0D 00 at an even offset; a 0D byte elsewhere is
        // half of another character (U+0D41, U+410D).
        {std::string("\xFF\xFE$\0\r\0\n\0", 8), ExportEncoding::kUtf16Le, true},
        {std::string("\xFF\xFE$\0A\x0D\n\0", 8), ExportEncoding::kUtf16Le, false},
        {std::string("\xFF\xFE\x0D\x41\n\0", 6), ExportEncoding::kUtf16Le, false},
        {std::string("\xFF\xFE$\0\x0D", 5), ExportEncoding::kUtf16Le, false},
    };
    for (std::size_t i = 0; i < cases.size(); ++i) {
        SCOPED_TRACE(i);
        for (std::size_t cut = 0; cut <= cases[i].file.size(); ++cut)
            EXPECT_EQ(scanInTwo(cases[i].file, cut, cases[i].encoding), cases[i].found) << cut;
    }
    // The byte test of the other encodings sees the 0D that UTF-16LE does not.
    EXPECT_TRUE(scanInTwo(std::string("\xFF\xFE$\0A\x0D\n\0", 8), 3, ExportEncoding::kUtf8));
}

}  // namespace
}  // namespace keldrin::tool
