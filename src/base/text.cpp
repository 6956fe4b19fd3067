// Counting rules of the conversions are described in text.h; the code pages behind
// the identifiers come from the platform layer (codepage.h).
#include "base/text.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <vector>

#include "base/codepage.h"
#include "base/console.h"

namespace keldrin {

std::u16string narrowToWide(const char* bytes, int byteCount, unsigned codePage) {
    if (byteCount <= 0) return std::u16string();
    int n = platform::multiByteToWideChar(codePage, MB_PRECOMPOSED, bytes, byteCount, nullptr, 0);
    std::u16string result(static_cast<std::size_t>(std::max(n, 0)), u'\0');
    int written =
        platform::multiByteToWideChar(codePage, MB_PRECOMPOSED, bytes, byteCount, result.data(), n);
    // A mismatch is reported and the block is still returned; callers rely on the
    // terminator being in place either way.
    if (written != n) reportLastError();
    return result;
}

std::string wideToNarrow(const char16_t* text, int byteCount, unsigned codePage) {
    int units = byteCount / 2;
    // An empty input goes to the platform too, so the report names the platform's own
    // reason and not whatever failed before.
    int m = platform::wideCharToMultiByte(codePage, 0, text, units, nullptr, 0, nullptr, nullptr);
    if (m <= 0) {
        reportLastError();
        return std::string();
    }
    std::string result(static_cast<std::size_t>(m), '\0');
    platform::wideCharToMultiByte(codePage, 0, text, units, result.data(), m, nullptr, nullptr);
    return result;
}

void reportLastError() {
    std::u16string text = platform::lastErrorText();
    console::writeLine(u"LastError: '" + text + u"'");
}

std::u16string ansiToWide(const std::string& text) {
    int count = static_cast<int>(text.size()) + 1;  // the terminator is converted too
    int n = platform::multiByteToWideChar(CP_ACP, 0, text.c_str(), count, nullptr, 0);
    if (n <= 0) return std::u16string();
    std::vector<char16_t> units(static_cast<std::size_t>(n), u'\0');
    platform::multiByteToWideChar(CP_ACP, 0, text.c_str(), count, units.data(), n);
    // A zero inside the input ends the result.
    return std::u16string(units.data());
}

std::optional<std::u16string> decodeAnsi(ByteSpan bytes) {
    if (bytes.empty()) return std::u16string();
    if (bytes.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        return std::nullopt;
    const char* in = reinterpret_cast<const char*>(bytes.data());
    const int count = static_cast<int>(bytes.size());
    int n = platform::multiByteToWideChar(CP_ACP, 0, in, count, nullptr, 0);
    if (n <= 0) return std::nullopt;
    std::u16string wide(static_cast<std::size_t>(n), u'\0');
    if (platform::multiByteToWideChar(CP_ACP, 0, in, count, wide.data(), n) != n)
        return std::nullopt;
    return wide;
}

std::string wideToAnsi(const std::u16string& text) {
    int count = static_cast<int>(text.size()) + 1;
    bool usedDefault = false;
    int m = platform::wideCharToMultiByte(CP_ACP, WC_COMPOSITECHECK | WC_DEFAULTCHAR, text.c_str(),
                                          count, nullptr, 0, "?", &usedDefault);
    if (m <= 0) return std::string();
    std::vector<char> bytes(static_cast<std::size_t>(m), '\0');
    platform::wideCharToMultiByte(CP_ACP, WC_COMPOSITECHECK | WC_DEFAULTCHAR, text.c_str(), count,
                                  bytes.data(), m, "?", &usedDefault);
    return std::string(bytes.data());
}

void wideToAnsiBuffer(const char16_t* text, GrowableBuffer& buffer) {
    int k = static_cast<int>(std::char_traits<char16_t>::length(text)) + 1;
    int m = platform::wideCharToMultiByte(CP_ACP, 0, text, k, nullptr, 0, nullptr, nullptr);
    if (m <= 0) return;
    buffer.setLength(static_cast<std::size_t>(m));
    platform::wideCharToMultiByte(CP_ACP, 0, text, k, reinterpret_cast<char*>(buffer.data()), m,
                                  nullptr, nullptr);
}

std::u16string numberToText(std::int32_t value) {
    // Built by hand: the smallest value has no positive counterpart to negate.
    std::int64_t v = value;
    bool negative = v < 0;
    if (negative) v = -v;
    std::u16string digits;
    do {
        digits.push_back(static_cast<char16_t>(u'0' + v % 10));
        v /= 10;
    } while (v != 0);
    if (negative) digits.push_back(u'-');
    std::reverse(digits.begin(), digits.end());
    return digits;
}

std::size_t decodeUtf16At(std::u16string_view text, std::size_t i, char32_t& c) {
    c = text[i];
    if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 &&
        text[i + 1] <= 0xDFFF) {
        c = 0x10000 + ((c - 0xD800) << 10) + (text[i + 1] - 0xDC00);
        return 2;
    }
    return 1;
}

std::string utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        char32_t c = 0;
        i += decodeUtf16At(text, i, c);
        if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

std::size_t decodeUtf8At(std::string_view text, std::size_t i, char32_t& c) {
    auto b0 = static_cast<unsigned char>(text[i]);
    auto cont = [&](std::size_t k) {
        return i + k < text.size() && (static_cast<unsigned char>(text[i + k]) & 0xC0) == 0x80;
    };
    auto at = [&](std::size_t k) { return static_cast<unsigned char>(text[i + k]) & 0x3Fu; };
    if (b0 < 0x80) {
        c = b0;
        return 1;
    }
    if (b0 >= 0xC2 && b0 <= 0xDF && cont(1)) {
        c = ((b0 & 0x1Fu) << 6) | at(1);
        return 2;
    }
    if (b0 >= 0xE0 && b0 <= 0xEF && cont(1) && cont(2)) {
        char32_t v = ((b0 & 0x0Fu) << 12) | (at(1) << 6) | at(2);
        if (v < 0x800 || (v >= 0xD800 && v <= 0xDFFF)) return 0;
        c = v;
        return 3;
    }
    if (b0 >= 0xF0 && b0 <= 0xF4 && cont(1) && cont(2) && cont(3)) {
        char32_t v = ((b0 & 0x07u) << 18) | (at(1) << 12) | (at(2) << 6) | at(3);
        if (v < 0x10000 || v > 0x10FFFF) return 0;
        c = v;
        return 4;
    }
    return 0;
}

void appendCodePoint(std::u16string& out, char32_t c) {
    if (c >= 0x10000) {
        out.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
    } else {
        out.push_back(static_cast<char16_t>(c));
    }
}

std::u16string utf8ToUtf16(std::string_view text) {
    return decodeUtf8(text, [](unsigned char) { return u'\uFFFD'; });
}

}  // namespace keldrin
