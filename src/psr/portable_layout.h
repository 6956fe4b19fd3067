// Layout of the platform-independent PSR file, a flat file of records. All integers are
// 32-bit two's complement, little-endian; positions count bytes from the file's start.
//
// String:  count n (4) | n bytes of text. ANSI files hold code-page bytes, Unicode files
//          UTF-16LE units; the text ends at the first zero (byte or unit) or after n bytes.
//          n may not exceed kMaxStringBytes; no terminator is required.
//
// File start: the signature string, exactly the 65 characters of kSignature with no
// terminator; its first eight bytes tell the encoding of every string in the file:
//                 offset 0            offset 4
//   ANSI          41 00 00 00         65 bytes, one per character      records at 69
//   Unicode       82 00 00 00         130 bytes, UTF-16LE              records at 134
//
// Records, one after another up to the end marker, each led by a 4-byte type:
//   kStorageRecord  0           —                            prefix = current name + "/"
//   kNameRecord     1           string                       current name = the string
//   kStreamRecord   2           string name | L (4) | L bytes   entry prefix + name at the
//                                                           data's position, L bytes long
//   kEmptyRecord    3           —                            nothing
//   kEndMarker      0xE100F17E  —                            end; later bytes are ignored
// The prefix and the current name start empty; a storage record replaces the prefix, so a
// path has at most one storage level.
#pragma once

#include <cstdint>

namespace keldrin::portable {

inline constexpr char16_t kSignature[] =
    u"Platform independent PSR File Format, Copyright Sybase, Inc. 1997";
inline constexpr std::size_t kSignatureChars = 65;
static_assert(sizeof kSignature / sizeof kSignature[0] == kSignatureChars + 1);

inline constexpr std::size_t kStartBytes = 8;
inline constexpr std::uint8_t kAnsiStart[kStartBytes] = {0x41, 0x00, 0x00, 0x00,
                                                         0x50, 0x6C, 0x61, 0x74};
inline constexpr std::uint8_t kUnicodeStart[kStartBytes] = {0x82, 0x00, 0x00, 0x00,
                                                            0x50, 0x00, 0x6C, 0x00};

inline constexpr std::uint32_t kStorageRecord = 0;
inline constexpr std::uint32_t kNameRecord = 1;
inline constexpr std::uint32_t kStreamRecord = 2;
inline constexpr std::uint32_t kEmptyRecord = 3;
inline constexpr std::uint32_t kEndMarker = 0xE100F17E;

inline constexpr std::int32_t kMaxStringBytes = 500000000;

}  // namespace keldrin::portable
