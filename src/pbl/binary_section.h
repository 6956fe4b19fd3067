// The binary data section with which PowerBuilder ends the export file of an object that
// has binary data: a window's or user object's OLE controls keep their state in an entry
// named after the object with ".bin", and the section carries that entry as hex text:
//
//   Start of PowerBuilder Binary Data Section : Do NOT Edit
//   0<c><name><space>                       c: the name's bytes summed, mod 16, in hex
//   2<c><8 hex digits per 32-bit word>      c: the line's words summed, mod 16; 499 a line
//   ...
//   1<c><name><space>
//   End of PowerBuilder Binary Data Section : No Source Expected After This Point
//
// Each word is the entry's next four bytes read little-endian, written most significant
// digit first. The last line is filled with zero words, so the section does not say
// where the entry ends: the entry does. It is a run of records, each a 32-bit length and
// that many bytes (an OLE compound file), and ends where a zero length or the data's end
// comes. Only an entry in that layout goes into a section, and a section is read only
// when everything after its records is zero, so no byte is lost or made up either way.
// docs/export-files.md gives the evidence.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "base/bytes.h"

namespace keldrin::pbl {

inline constexpr std::string_view kBinarySectionStart =
    "Start of PowerBuilder Binary Data Section : Do NOT Edit";
inline constexpr std::string_view kBinarySectionEnd =
    "End of PowerBuilder Binary Data Section : No Source Expected After This Point";

// The entry a section carries: its name (ASCII) and bytes.
struct BinaryEntry {
    std::string name;
    Bytes data;
};

// The section's lines, each ending CRLF, as PowerBuilder writes them; nullopt when a
// section could not give back exactly this entry (a name that is not printable ASCII,
// data that is not a run of records ending at its last byte).
std::optional<std::string> encodeBinarySection(const BinaryEntry& entry);

// A read section, or why it is refused (error not empty, naming the line).
struct DecodedBinarySection {
    BinaryEntry entry;
    std::string error;
};

// `section` runs from the start line to the end of the file; `firstLine` is the number
// of the start line in the file, for the messages. Lines end in CRLF or LF.
DecodedBinarySection decodeBinarySection(std::string_view section, std::size_t firstLine);

// Where the data's records end: the first zero length, or the end of the data. nullopt
// when a record runs past the data or there is none.
std::optional<std::size_t> binaryRecordsEnd(ByteSpan data);

}  // namespace keldrin::pbl
