// The self-contained helpers of keldrin-pbl: text conversion between the command line,
// the library and the terminal, whole numbers and times on the command line and in
// listings, and the file names that `export` gives entries.
#include "pbltool/text.h"

#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>
#include <string_view>

#include "base/codepage.h"
#include "base/file.h"
#include "base/text.h"

namespace keldrin::tool {

// ---------------------------------------------------------------------------------------
// Text helpers

std::string displayPath(const std::u16string& path) {
    return fs::toNativeName(path);
}

namespace {

bool isHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool isLowSurrogate(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

}  // namespace

bool hasUnpairedSurrogate(std::u16string_view text) {
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (isHighSurrogate(text[i]) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
            ++i;
            continue;
        }
        if (isHighSurrogate(text[i]) || isLowSurrogate(text[i])) return true;
    }
    return false;
}

// Control characters in names and comments from a file must not reach a terminal raw.
std::string escapeControls(std::string_view utf8) {
    std::string out;
    for (char ch : utf8) {
        auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out.push_back(ch);
        }
    }
    return out;
}

std::string writeFailureText(const std::string& otherwise) {
    if (!fs::lastFailureWasDiskFull()) return otherwise;
    // Shaped to sit after a colon: "No space left on device." -> "no space left on device".
    std::string text = fs::diskFullText();
    while (!text.empty() &&
           (text.back() == '.' || text.back() == ' ' || text.back() == '\r' || text.back() == '\n'))
        text.pop_back();
    if (text.empty()) return otherwise;
    if (text[0] >= 'A' && text[0] <= 'Z' && (text.size() < 2 || text[1] < 'A' || text[1] > 'Z'))
        text[0] = static_cast<char>(text[0] - 'A' + 'a');
    return text;
}

// Narrow text in the ANSI code page to wide text, every byte included (zeros too),
// without the console report that the raw conversion makes on failure.
std::optional<std::u16string> ansiBytesToWide(const std::uint8_t* bytes, std::size_t count) {
    if (count == 0) return std::u16string();
    if (count > static_cast<std::size_t>(std::numeric_limits<int>::max())) return std::nullopt;
    const char* in = reinterpret_cast<const char*>(bytes);
    int n = platform::multiByteToWideChar(CP_ACP, 0, in, static_cast<int>(count), nullptr, 0);
    if (n <= 0) return std::nullopt;
    std::u16string wide(static_cast<std::size_t>(n), u'\0');
    if (platform::multiByteToWideChar(CP_ACP, 0, in, static_cast<int>(count), wide.data(), n) != n)
        return std::nullopt;
    return wide;
}

std::optional<std::string> wideToAnsiBytes(std::u16string_view wide) {
    if (wide.empty()) return std::string();
    if (wide.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()))
        return std::nullopt;
    int units = static_cast<int>(wide.size());
    bool usedDefault = false;
    int m = platform::wideCharToMultiByte(CP_ACP, 0, wide.data(), units, nullptr, 0, nullptr,
                                          &usedDefault);
    if (m <= 0 || usedDefault) return std::nullopt;
    std::string bytes(static_cast<std::size_t>(m), '\0');
    if (platform::wideCharToMultiByte(CP_ACP, 0, wide.data(), units, bytes.data(), m, nullptr,
                                      &usedDefault) != m ||
        usedDefault)
        return std::nullopt;
    return bytes;
}

// The ANSI form of `text`, refused unless it converts back to the very same text.
std::string exactAnsi(const std::u16string& text, const std::string& what) {
    std::optional<std::string> ansi =
        hasUnpairedSurrogate(text) ? std::nullopt : wideToAnsiBytes(text);
    if (!ansi || ansi->find('\0') != std::string::npos ||
        ansiBytesToWide(reinterpret_cast<const std::uint8_t*>(ansi->data()), ansi->size()) != text)
        throw ToolFailure{what + " cannot be written exactly in the ANSI code page"};
    return *ansi;
}

// ---------------------------------------------------------------------------------------
// Numbers and times

namespace {

std::optional<std::int64_t> parseInteger(const std::u16string& text) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == u'-' || text[i] == u'+')) negative = text[i++] == u'-';
    if (i == text.size()) return std::nullopt;
    std::int64_t value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < u'0' || text[i] > u'9') return std::nullopt;
        value = value * 10 + (text[i] - u'0');
        if (value > (std::int64_t{1} << 40)) return std::nullopt;
    }
    return negative ? -value : value;
}

}  // namespace

std::int32_t parseInt32(const std::u16string& text, const std::string& what) {
    std::optional<std::int64_t> value = parseInteger(text);
    if (!value || *value < std::numeric_limits<std::int32_t>::min() ||
        *value > std::numeric_limits<std::int32_t>::max())
        throw UsageFailure{what + " must be a whole number: " + displayPath(text)};
    return static_cast<std::int32_t>(*value);
}

// Seconds since 1970 as "YYYY-MM-DDThh:mm:ssZ", by the proleptic Gregorian calendar,
// with no dependence on the platform's gmtime (which refuses times before 1970 on some).
std::string isoTime(std::int64_t seconds) {
    std::int64_t days = seconds >= 0 ? seconds / 86400 : -((-seconds + 86399) / 86400);
    std::int64_t secondOfDay = seconds - days * 86400;
    std::int64_t z = days + 719468;
    std::int64_t era = (z >= 0 ? z : z - 146096) / 146097;
    std::int64_t dayOfEra = z - era * 146097;
    std::int64_t yearOfEra =
        (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    std::int64_t year = yearOfEra + era * 400;
    std::int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    std::int64_t mp = (5 * dayOfYear + 2) / 153;
    std::int64_t day = dayOfYear - (153 * mp + 2) / 5 + 1;
    std::int64_t month = mp < 10 ? mp + 3 : mp - 9;
    if (month <= 2) ++year;
    char text[96];
    std::snprintf(text, sizeof text, "%04" PRId64 "-%02d-%02dT%02d:%02d:%02dZ", year,
                  static_cast<int>(month), static_cast<int>(day),
                  static_cast<int>(secondOfDay / 3600), static_cast<int>(secondOfDay / 60 % 60),
                  static_cast<int>(secondOfDay % 60));
    return text;
}

// ---------------------------------------------------------------------------------------
// Export file names

namespace {

// Device names that Windows will not give to a file, whatever the extension.
bool isReservedDeviceName(std::u16string_view stem) {
    std::string upper;
    for (char16_t c : stem) {
        if (c > 0x7F) return false;
        upper.push_back(static_cast<char>(c >= u'a' && c <= u'z' ? c - 32 : c));
    }
    static const char* const kNames[] = {"CON", "PRN", "AUX", "NUL"};
    for (const char* n : kNames)
        if (upper == n) return true;
    if (upper.size() == 4 && (upper.compare(0, 3, "COM") == 0 || upper.compare(0, 3, "LPT") == 0) &&
        upper[3] >= '1' && upper[3] <= '9')
        return true;
    return false;
}

}  // namespace

// A file name for an entry that stays inside the export directory on every platform:
// no separators, no "." or "..", nothing a file system refuses. Names that need no
// change are kept as they are.
std::u16string exportFileName(const std::u16string& name) {
    static constexpr std::u16string_view kForbidden = u"/\\:*?\"<>|";
    std::u16string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        char16_t c = name[i];
        if (isHighSurrogate(c) && i + 1 < name.size() && isLowSurrogate(name[i + 1])) {
            out.push_back(c);
            out.push_back(name[++i]);
        } else if (c < 0x20 || c == 0x7F || isHighSurrogate(c) || isLowSurrogate(c) ||
                   kForbidden.find(c) != std::u16string_view::npos) {
            out.push_back(u'_');
        } else {
            out.push_back(c);
        }
    }
    // Windows drops trailing dots and spaces, so "a." would land on the file "a" of
    // another entry; this also turns "." and ".." into harmless names.
    auto replaceTrailingDotsAndSpaces = [&out] {
        for (std::size_t i = out.size(); i > 0 && (out[i - 1] == u'.' || out[i - 1] == u' '); --i)
            out[i - 1] = u'_';
    };
    replaceTrailingDotsAndSpaces();
    if (out.empty()) out = u"_";
    std::size_t dot = out.find(u'.');
    if (isReservedDeviceName(std::u16string_view(out).substr(0, dot))) out.insert(0, u"_");
    // Most file systems take at most 255 bytes; keep the extension and shorten the stem.
    constexpr std::size_t kMaxNameBytes = 200;
    if (utf16ToUtf8(out).size() > kMaxNameBytes) {
        std::size_t lastDot = out.rfind(u'.');
        std::u16string extension = lastDot != std::u16string::npos && out.size() - lastDot <= 16
                                       ? out.substr(lastDot)
                                       : std::u16string();
        std::u16string stem = out.substr(0, out.size() - extension.size());
        while (!stem.empty() && utf16ToUtf8(stem + extension).size() > kMaxNameBytes) {
            stem.pop_back();
            if (!stem.empty() && isHighSurrogate(stem.back())) stem.pop_back();
        }
        out = stem + extension;
        // A shortened stem without extension may end in a dot or space again.
        replaceTrailingDotsAndSpaces();
    }
    return out;
}

// Case-insensitive file systems treat these as one name, in any script.
std::u16string foldedFileName(std::u16string_view name) {
    return platform::foldCase(name);
}

}  // namespace keldrin::tool
