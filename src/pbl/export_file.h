// PowerBuilder's export files: one source entry as a text file, in this order:
//   $PBExportHeader$<name>
//   $PBExportComments$<comment>      (only when the entry has a comment)
//   <the source, as stored>
//   <a binary data section, when the object has binary data (binary_section.h)>
// The header lines end in CRLF, whatever the source's lines end in. Four encodings
// exist, each told apart by the file's first bytes:
//   ansi      no mark; the ANSI code page (PowerBuilder 9 and earlier)
//   hexascii  "HA"; ASCII, every run of other characters written as
//             $$HEX<n>$$<hex of the n UTF-16LE code units>$$ENDHEX$$ (10 to 2017);
//             a run takes in the spaces that follow its characters
//             (docs/export-files.md has the rule and its evidence)
//   utf8      EF BB BF, then UTF-8 (2017 and later)
//   utf16le   FF FE, then UTF-16LE
//
// The codec never converts between the ANSI code page and UTF-16: an ANSI file's texts
// stay the code page's bytes, so an ANSI library's entry goes out and comes back byte
// for byte whatever the code page. Which code page those bytes are in is the caller's
// business.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "base/bytes.h"
#include "pbl/binary_section.h"

namespace keldrin::pbl {

enum class ExportEncoding { kAnsi, kHexAscii, kUtf8, kUtf16Le };

// "ansi", "hexascii", "utf8", "utf16le": the names the command line takes.
std::string_view exportEncodingName(ExportEncoding encoding);
std::optional<ExportEncoding> exportEncodingFromName(std::string_view name);

// An entry as an export file carries it: ANSI code page bytes (char) or UTF-16 (char16_t),
// and the object's binary data entry, which follows the source in a section of its own.
template <class Char>
struct ExportTexts {
    std::basic_string<Char> name;
    std::basic_string<Char> comment;  // empty: no comment line
    std::basic_string<Char> source;
    std::optional<BinaryEntry> binary = std::nullopt;
};
using AnsiExportTexts = ExportTexts<char>;
using WideExportTexts = ExportTexts<char16_t>;

// A written file, or why the texts cannot be written (error not empty).
struct WrittenExportFile {
    Bytes bytes;
    std::string error;
};

// The two texts an export file carries in its header lines.
enum class HeaderField { kName, kComment };

// Why no export file, in any encoding, can carry this name or comment, as words that
// say what is wrong with it ("the comment holds a line break ..."); empty when every
// encoding's header line can. `put`, `comment` and `import` refuse what this refuses,
// so that export never meets it. The char form takes ANSI code page bytes.
std::string exportHeaderProblem(HeaderField field, std::u16string_view text);
std::string exportHeaderProblem(HeaderField field, std::string_view text);

WrittenExportFile writeAnsiExportFile(const AnsiExportTexts& texts);
// Any encoding but kAnsi, whose texts are bytes: that one takes writeAnsiExportFile.
WrittenExportFile writeExportFile(ExportEncoding encoding, const WideExportTexts& texts);

// A read file: its encoding and texts (`ansi` for kAnsi, `wide` for the others), or
// why it is not an export file (error not empty).
struct ReadExportFile {
    ExportEncoding encoding = ExportEncoding::kAnsi;
    AnsiExportTexts ansi;
    WideExportTexts wide;
    std::string error;
};

ReadExportFile readExportFile(ByteSpan file);

// readExportFile for a file given piece by piece, as it is read: a UTF-8 or UTF-16LE
// file is decoded as its pieces come, so a large one is held as text only, never as
// bytes and text at once. Any split of the same bytes reads as readExportFile reads
// them whole.
class PiecewiseExportReader {
  public:
    // `sizeHint`: the file's size as far as known (0: not known), to size the text once.
    explicit PiecewiseExportReader(std::size_t sizeHint = 0) : sizeHint_(sizeHint) {}
    void add(ByteSpan piece);
    ReadExportFile finish();

  private:
    // Enough bytes to tell every encoding and foreign mark apart.
    static constexpr std::size_t kMarkBytes = 8;
    enum class Mode { kUndecided, kWhole, kUtf8, kUtf16Le };
    void decide();
    void decodePending(bool last);

    std::size_t sizeHint_;
    Mode mode_ = Mode::kUndecided;
    Bytes pending_;  // undecided: every byte so far; kWhole: the file; else an unfinished character
    std::u16string text_;
    bool invalid_ = false;
};

// The name of the entry that holds the binary data of the object whose source entry is
// `sourceName`: the same name with ".bin".
std::u16string binaryEntryName(std::u16string_view sourceName);

// Whether an entry of this name holds source text: the name ends in ".sr" and one more
// character (.srd, .srw, ...). Everything else in a library is a compiled object.
bool isSourceEntryName(std::u16string_view name);

}  // namespace keldrin::pbl
