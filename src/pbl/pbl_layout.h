// The PBL file format: every block kind, every field, in one place.
//
// A library is a grid of 512-byte blocks; block n starts at byte n * 512. Every link
// in the file is an absolute byte offset, a multiple of 512; 0 means "no link".
// Integers are little-endian; 32-bit fields are signed. Signatures are 4 ASCII bytes
// in both variants. Times are seconds since 1970-01-01 UTC.
//
// Two variants: ANSI (single-byte names and comments in the ANSI code page) and
// Unicode (UTF-16LE). What differs:
//
//   quantity                              ANSI      Unicode
//   header area                           512       1024  (blocks 0, or 0 and 1)
//   header bytes that carry fields        292       566
//   first bitmap block, from the header   512       1024
//   root node, counted from the header    1024      1536
//   entry record header                   24        28
//   character size                        1         2
//   library comment field (terminator in) 256       512
//
// Header ("HDR*", at the header offset, normally 0):
//   ANSI     Unicode   size A/U  field
//   0        0         4         "HDR*"
//   4        4         14/28     "PowerBuilder" + 2 zero characters
//   18       32        4/8       version digits ("0500"/"0600"), no terminator
//   22       40        4         creation time
//   26       44        2         16-bit word (0 ANSI, 1 Unicode at creation)
//   28       46        256/512   library comment, zero-terminated, rest zero
//   284      558       4         first data block of the library data (0 = none)
//   288      562       4         library data length in bytes
//   292      566       ...       zero up to the end of the header area
//
// Trailer ("TRL*", the last 512 bytes of a host file that carries a library inside,
// such as an executable with its libraries appended):
//   0 "TRL*", 4 header offset, 8..511 unused. The library starts at its header block:
//   its first bitmap block sits right behind the header area (header offset + 512 or
//   + 1024), bit b of the bitmap stands for block b counted from the header block, and
//   the root sits at header offset + 1024 or + 1536. Every stored link (the bitmap
//   chain's next links, node links, data chains, the library data) stays absolute.
//   Such a library is never written: growing the host file would move the trailer off
//   its last block and lose the library.
//
// Bitmap block ("FRE*", 512 bytes):
//   0 "FRE*", 4 next bitmap block (0 = last), 8 504 bytes = 4032 bits, 1 = in use,
//   most significant bit first. The j-th block of the chain covers blocks
//   j*4032 .. j*4032+4031; every block after the first sits in the first block it
//   covers (offset j * 2064384) and marks itself in use.
//
// Node ("NOD*", 3072 bytes = 6 contiguous blocks):
//   0 "NOD*", 4 left child, 8 parent (0 for the root), 12 right child,
//   16 free bytes (i16, 3040 when empty), 18 position of the last name (u16),
//   20 record count (i16), 22 position of the first name (u16), 24 8 zero bytes,
//   32 3040-byte data area: entry records packed from byte 32 in no name order.
//   A position is a name's offset from the start of the node; the 16-bit name
//   length sits in the two bytes before it. A new record goes at 3072 - free.
//
// Entry record ("ENT*", inside a node's data area):
//   ANSI  Unicode  size A/U  field
//   0     0        4         "ENT*"
//   4     4        4/8       entry version "0600" (UTF-16LE in Unicode)
//   8     12       4         first data block (0 = no data)
//   12    16       4         data size in bytes (comment and body)
//   16    20       4         modification time
//   20    24       2         comment length (bytes ANSI, UTF-16 characters Unicode)
//   22    26       2         name length in bytes, terminator included
//   24    28       n         the name, zero-terminated
//
// Data block ("DAT*", 512 bytes):
//   0 "DAT*", 4 next block of the chain (0 = last), 8 used bytes (u16, <= 502),
//   10 502 data bytes, zero after the used count. Every block of a chain but the last
//   is full; an entry of length 0 still owns one block, empty library data none.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>

#include "base/bytes.h"

namespace keldrin::pbl::layout {

inline constexpr int kBlockSize = 512;
inline constexpr std::int32_t kNoLink = 0;
inline constexpr int kSignatureBytes = 4;

inline constexpr std::array<std::uint8_t, 4> kHeaderSignature{'H', 'D', 'R', '*'};
inline constexpr std::array<std::uint8_t, 4> kTrailerSignature{'T', 'R', 'L', '*'};
inline constexpr std::array<std::uint8_t, 4> kBitmapSignature{'F', 'R', 'E', '*'};
inline constexpr std::array<std::uint8_t, 4> kNodeSignature{'N', 'O', 'D', '*'};
inline constexpr std::array<std::uint8_t, 4> kEntrySignature{'E', 'N', 'T', '*'};
inline constexpr std::array<std::uint8_t, 4> kDataSignature{'D', 'A', 'T', '*'};

inline bool hasSignature(const std::uint8_t* p, const std::array<std::uint8_t, 4>& sig) {
    return std::memcmp(p, sig.data(), sig.size()) == 0;
}
// The same on a span: false too when the span is shorter than a signature.
inline bool hasSignature(ByteSpan bytes, const std::array<std::uint8_t, 4>& sig) {
    return bytes.size() >= sig.size() && hasSignature(bytes.data(), sig);
}

// ---- bitmap blocks -------------------------------------------------------------
inline constexpr int kBitmapNextField = 4;
inline constexpr int kBitmapBitsField = 8;
inline constexpr int kBitmapBytes = kBlockSize - kBitmapBitsField;  // 504
inline constexpr int kBlocksPerBitmap = kBitmapBytes * 8;           // 4032
inline constexpr std::int64_t kBitmapSpanBytes =
    static_cast<std::int64_t>(kBlocksPerBitmap) * kBlockSize;  // 2064384
static_assert(kBitmapBitsField + kBitmapBytes == kBlockSize);
static_assert(kBitmapSpanBytes == 2064384);

// Packs 4032 one-byte flags (nonzero = in use) into a whole bitmap block.
void encodeBitmapBlock(std::int32_t next, const std::uint8_t* flags, std::uint8_t* block);
// Expands a bitmap block's 504 bytes into 4032 flags (1 = in use).
void expandBitmapBits(const std::uint8_t* block, std::uint8_t* flags);
// A bitmap block's next link; false when `block` is shorter than a block.
bool decodeBitmapNext(ByteSpan block, std::int32_t& next);

// ---- nodes -----------------------------------------------------------------------
inline constexpr int kNodeBlocks = 6;
inline constexpr int kNodeSize = kNodeBlocks * kBlockSize;  // 3072
inline constexpr int kNodeHeaderSize = 32;
inline constexpr int kNodeDataSize = kNodeSize - kNodeHeaderSize;  // 3040
inline constexpr int kNodeLeftField = 4;
inline constexpr int kNodeParentField = 8;
inline constexpr int kNodeRightField = 12;
inline constexpr int kNodeFreeField = 16;
inline constexpr int kNodeLastPosField = 18;
inline constexpr int kNodeCountField = 20;
inline constexpr int kNodeFirstPosField = 22;
inline constexpr int kNodeReservedField = 24;
static_assert(kNodeReservedField + 8 == kNodeHeaderSize);
static_assert(kNodeDataSize == 3040);
// A record whose name length is 0 or above this is damage.
inline constexpr int kMaxNameLength = 16000;

struct NodeHeader {
    std::int32_t left = kNoLink;
    std::int32_t parent = kNoLink;
    std::int32_t right = kNoLink;
    std::int16_t freeBytes = kNodeDataSize;
    std::uint16_t lastPos = 0;
    std::int16_t count = 0;
    std::uint16_t firstPos = 0;

    // Neither checks the signature. The span form is false when `node` is shorter than
    // a node header; the pointer form is for callers whose `p` holds a whole header.
    static bool decode(ByteSpan node, NodeHeader& out);
    static NodeHeader decode(const std::uint8_t* p);
    void encode(std::uint8_t* p) const;  // signature, fields, 8 zero bytes
};

// ---- data blocks -----------------------------------------------------------------
inline constexpr int kDataNextField = 4;
inline constexpr int kDataUsedField = 8;
inline constexpr int kDataHeaderSize = 10;
inline constexpr int kDataCapacity = kBlockSize - kDataHeaderSize;  // 502
static_assert(kDataCapacity == 502);

struct DataBlockHeader {
    std::int32_t next = kNoLink;
    std::uint16_t used = 0;

    // False when `block` is shorter than a data block header.
    static bool decode(ByteSpan block, DataBlockHeader& out);
    void encode(std::uint8_t* p) const;
};

// Number of blocks a byte string of `length` bytes takes.
constexpr std::int64_t dataBlocksFor(std::int64_t length) {
    return (length + kDataCapacity - 1) / kDataCapacity;
}

// ---- trailer ---------------------------------------------------------------------
inline constexpr int kTrailerHeaderOffsetField = 4;
inline constexpr int kTrailerHeadBytes = kTrailerHeaderOffsetField + 4;

// ---- the two variants ------------------------------------------------------------
struct Variant {
    bool unicode;
    int charSize;
    int headerAreaBytes;
    int headerFieldBytes;
    std::int32_t firstBitmapOffset;  // counted from the header offset
    std::int32_t rootOffset;         // counted from the header offset
    int entryHeaderSize;
    int commentCapacity;
    // header fields
    int versionField;
    int versionFieldBytes;
    // The version's second digit ("0500" -> '5'), the ANSI library's version number.
    int versionDigitField;
    int timeField;
    int wordField;
    int commentField;
    int libraryDataFirstField;
    int libraryDataLengthField;
    // entry record fields
    int entryVersionField;
    int entryFirstBlockField;
    int entryDataSizeField;
    int entryTimeField;
    int entryCommentLengthField;
    int entryNameLengthField;
};

inline constexpr Variant kAnsi{false, 1,  512, 292, 512, 1024, 24, 256, 18, 4,  19,
                               22,    26, 28,  284, 288, 4,    8,  12,  16, 20, 22};
inline constexpr Variant kUnicode{true, 2,  1024, 566, 1024, 1536, 28, 512, 32, 8,  34,
                                  40,   44, 46,   558, 562,  4,    12, 16,  20, 24, 26};

static_assert(kAnsi.commentField + kAnsi.commentCapacity == kAnsi.libraryDataFirstField);
static_assert(kAnsi.libraryDataLengthField + 4 == kAnsi.headerFieldBytes);
static_assert(kUnicode.commentField + kUnicode.commentCapacity == kUnicode.libraryDataFirstField);
static_assert(kUnicode.libraryDataLengthField + 4 == kUnicode.headerFieldBytes);
static_assert(kAnsi.entryNameLengthField + 2 == kAnsi.entryHeaderSize);
static_assert(kUnicode.entryNameLengthField + 2 == kUnicode.entryHeaderSize);
static_assert(kAnsi.entryVersionField + 4 == kAnsi.entryFirstBlockField);
// The record's fields follow each other, firstBlock to nameLength, in both variants.
constexpr bool entryFieldsContiguous(const Variant& v) {
    return v.entryDataSizeField == v.entryFirstBlockField + 4 &&
           v.entryTimeField == v.entryDataSizeField + 4 &&
           v.entryCommentLengthField == v.entryTimeField + 4 &&
           v.entryNameLengthField == v.entryCommentLengthField + 2;
}
static_assert(entryFieldsContiguous(kAnsi) && entryFieldsContiguous(kUnicode));
static_assert(kUnicode.entryVersionField + 8 == kUnicode.entryFirstBlockField);
static_assert(kAnsi.versionDigitField == kAnsi.versionField + kAnsi.charSize);
static_assert(kUnicode.versionDigitField == kUnicode.versionField + kUnicode.charSize);
static_assert(kAnsi.headerFieldBytes <= kAnsi.headerAreaBytes);
static_assert(kUnicode.headerFieldBytes <= kUnicode.headerAreaBytes);
static_assert(kAnsi.rootOffset == kAnsi.firstBitmapOffset + kBlockSize);
static_assert(kUnicode.rootOffset == kUnicode.firstBitmapOffset + kBlockSize);

inline const Variant& variantFor(bool unicode) {
    return unicode ? kUnicode : kAnsi;
}

// Bytes 4..7 of a header: "Powe" in ANSI, "P\0o\0" in Unicode.
enum class HeaderKind { kNotALibrary, kAnsiHeader, kUnicodeHeader };
HeaderKind recogniseHeader(const std::uint8_t* headerBytes4to7);
// "PowerBuilder" in the library's width follows the signature; its first bytes tell the
// variant (recogniseHeader reads kHeaderKindBytes of them).
inline constexpr int kProductNameField = 4;
inline constexpr int kHeaderKindField = kProductNameField;
inline constexpr int kHeaderKindBytes = 4;
// What a new library carries in the header's 16-bit word.
constexpr std::uint16_t newHeaderWord(const Variant& v) {
    return v.unicode ? 1 : 0;
}
// The entry version every record Keldrin writes carries, in both variants.
inline constexpr char kEntryVersionText[] = "0600";

// ---- entry records -------------------------------------------------------------
struct EntryRecordHeader {
    std::int32_t firstBlock = kNoLink;
    std::int32_t dataSize = 0;
    std::int32_t time = 0;
    std::uint16_t commentLength = 0;  // bytes (ANSI) or UTF-16 characters (Unicode)
    std::uint16_t nameLength = 0;     // bytes, terminator included

    // The signature is not checked here. The span form is false when `record` is
    // shorter than the variant's record header; the pointer form is for callers whose
    // `p` holds a whole one.
    static bool decode(const Variant& v, ByteSpan record, EntryRecordHeader& out);
    static EntryRecordHeader decode(const Variant& v, const std::uint8_t* p);
    // Writes signature, entry version "0600" and the fields.
    void encode(const Variant& v, std::uint8_t* p) const;
    // Writes the fields only, keeping the record's signature and entry version.
    void encodeFields(const Variant& v, std::uint8_t* p) const;
};

// ---- library header fields (a view over the header's field bytes) ---------------
// `header` holds the variant's header field bytes (a shorter one reads as zeros).
std::int32_t headerLibraryDataFirst(const Variant& v, ByteSpan header);
std::int32_t headerLibraryDataLength(const Variant& v, ByteSpan header);
void setHeaderLibraryData(const Variant& v, std::uint8_t* header, std::int32_t first,
                          std::int32_t length);

// ---- version numbers ---------------------------------------------------------------
// What a caller asks for and a library reports: 5 is ANSI "0500", 6 to 9 ANSI "0600"
// (an ANSI library reports its header's second digit), 10 and above Unicode.
inline constexpr int kFirstAnsiVersion = 5;
inline constexpr int kCurrentAnsiVersion = 6;
inline constexpr int kLastAnsiVersion = 9;
inline constexpr int kUnicodeVersion = 10;

// ---- new libraries ---------------------------------------------------------------
// The whole file of a new, empty library: version 5 ANSI "0500", 6..9 ANSI "0600",
// 10 and above Unicode. `version` must be >= 5.
Bytes newLibraryImage(int version, std::int32_t creationTime);
inline constexpr int kNewAnsiLibraryBytes = 4096;
inline constexpr int kNewUnicodeLibraryBytes = 4608;

// ---- name order ------------------------------------------------------------------
// The directory's order (compareStoredNames, stored_text.h): ASCII letters without
// regard to case, every other unit by its unsigned value. Names are in the library's
// width (1 or 2 bytes per unit, little-endian); the end of a buffer counts as a
// terminator.
int compareNames(const std::uint8_t* a, std::size_t aBytes, const std::uint8_t* b,
                 std::size_t bBytes, int charSize);

}  // namespace keldrin::pbl::layout
