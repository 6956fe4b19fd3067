// Conversions between the system's wide text (UTF-16 code units) and narrow text in a
// Windows code page, the decimal form of numbers, and the report of the last failed
// system call.
//
// Two families:
//  - raw conversions (narrowToWide, wideToNarrow) count terminators exactly as the
//    caller's byte count says and report a failed conversion with reportLastError;
//  - string conversions (ansiToWide, wideToAnsi, wideToAnsiBuffer) always use the ANSI
//    code page, stop at the first zero, and report nothing.
// The code page identifiers are the platform's own; which real code page CP_ACP and
// CP_OEMCP stand for is decided by the platform layer (codepage.h).
#pragma once

#if defined(_WIN32)
#include <windows.h>
#endif

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/bytes.h"
#include "base/growable_buffer.h"

namespace keldrin {

#if !defined(_WIN32)
// The Windows names and values of the code pages and flags that callers pass.
enum : unsigned { CP_ACP = 0, CP_OEMCP = 1, CP_UTF8 = 65001 };
enum : unsigned { MB_PRECOMPOSED = 0x1, WC_COMPOSITECHECK = 0x200, WC_DEFAULTCHAR = 0x40 };
#endif

// Converts `byteCount` bytes (a terminator among them is converted like any byte) and
// returns n code units; the string's own terminator stands at index n.
std::u16string narrowToWide(const char* bytes, int byteCount, unsigned codePage);

// Converts byteCount / 2 code units and returns exactly the bytes produced, with no
// terminator of its own. An empty result reports the last error.
std::string wideToNarrow(const char16_t* text, int byteCount, unsigned codePage);

// Prints "LastError: '<system text>'" on standard output.
void reportLastError();

std::u16string ansiToWide(const std::string& text);
// Bytes in the ANSI code page to wide text, every byte converted (zeros too), without
// the report the raw conversion makes; nullopt when they do not convert.
std::optional<std::u16string> decodeAnsi(ByteSpan bytes);
// Characters the ANSI code page cannot carry become "?".
std::string wideToAnsi(const std::u16string& text);
// The ANSI form of a zero-terminated text, terminator included, into `buffer`.
void wideToAnsiBuffer(const char16_t* text, GrowableBuffer& buffer);

std::u16string numberToText(std::int32_t value);

// UTF-8 helpers for the console and the tool's command line. Invalid input becomes
// U+FFFD; they are not code-page conversions.
std::string utf16ToUtf8(std::u16string_view text);
std::u16string utf8ToUtf16(std::string_view text);
// The code point of the UTF-8 sequence that starts at text[i] (i < size) into `c`; returns
// the sequence's length, or 0 when no valid, shortest-form sequence starts there.
std::size_t decodeUtf8At(std::string_view text, std::size_t i, char32_t& c);
// The character that starts at text[i] (i < size) into `c`: a surrogate pair's code
// point, or the unit itself (a lone surrogate too); returns the units it took.
std::size_t decodeUtf16At(std::u16string_view text, std::size_t i, char32_t& c);
// Appends `c` as one or two UTF-16 code units.
void appendCodePoint(std::u16string& out, char32_t c);
// Decodes UTF-8; a byte that starts no valid sequence becomes the code unit that
// `invalid(byte)` gives, and decoding goes on after it.
template <typename OnInvalid>
std::u16string decodeUtf8(std::string_view text, OnInvalid invalid) {
    std::u16string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        char32_t c = 0;
        std::size_t len = decodeUtf8At(text, i, c);
        if (len == 0) {
            out.push_back(invalid(static_cast<unsigned char>(text[i])));
            ++i;
        } else {
            appendCodePoint(out, c);
            i += len;
        }
    }
    return out;
}

}  // namespace keldrin
