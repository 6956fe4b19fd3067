#include "pbl/stored_text.h"

#include <algorithm>
#include <limits>

#include "base/codepage.h"
#include "base/text.h"

namespace keldrin::pbl {

namespace {

unsigned foldAscii(unsigned c) {
    return c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c;
}

bool hasLoneSurrogate(std::u16string_view text) {
    // A pair decodes to one code point beyond U+FFFF; only a lone half stays in the range.
    for (std::size_t i = 0; i < text.size();) {
        char32_t c = 0;
        i += decodeUtf16At(text, i, c);
        if (c >= 0xD800 && c <= 0xDFFF) return true;
    }
    return false;
}

}  // namespace

std::size_t storedTextBytes(bool unicode, ByteSpan stored) {
    if (!unicode)
        return static_cast<std::size_t>(std::find(stored.begin(), stored.end(), std::uint8_t{0}) -
                                        stored.begin());
    std::size_t i = 0;
    while (i + 1 < stored.size() && (stored[i] != 0 || stored[i + 1] != 0)) i += 2;
    // An odd last byte is no whole character.
    return i + 1 < stored.size() ? i : stored.size() / 2 * 2;
}

std::optional<std::u16string> decodeStoredField(bool unicode, ByteSpan field) {
    if (unicode) return decodeUtf16Le(field);
    return decodeAnsi(field);
}

std::optional<std::u16string> decodeStoredText(bool unicode, ByteSpan stored) {
    return decodeStoredField(unicode, stored.first(storedTextBytes(unicode, stored)));
}

std::string displayStoredName(bool unicode, ByteSpan stored) {
    return utf16ToUtf8(decodeStoredText(unicode, stored).value_or(std::u16string()));
}

std::optional<Bytes> encodeStoredText(bool unicode, std::u16string_view text) {
    if (text.find(u'\0') != std::u16string_view::npos || hasLoneSurrogate(text))
        return std::nullopt;
    if (unicode) return encodeUtf16Le(text);
    if (text.empty()) return Bytes();
    const int units =
        static_cast<int>(std::min<std::size_t>(text.size(), std::numeric_limits<int>::max() / 4));
    if (static_cast<std::size_t>(units) != text.size()) return std::nullopt;
    bool usedDefault = false;
    const int n = platform::wideCharToMultiByte(CP_ACP, 0, text.data(), units, nullptr, 0, nullptr,
                                                &usedDefault);
    if (n <= 0 || usedDefault) return std::nullopt;
    Bytes bytes(static_cast<std::size_t>(n));
    if (platform::wideCharToMultiByte(CP_ACP, 0, text.data(), units,
                                      reinterpret_cast<char*>(bytes.data()), n, nullptr,
                                      &usedDefault) != n ||
        usedDefault)
        return std::nullopt;
    // A best-fit mapping (a character written as a look-alike) does not come back.
    if (decodeAnsi(bytes) != std::u16string(text)) return std::nullopt;
    return bytes;
}

int compareStoredNames(bool unicode, ByteSpan a, ByteSpan b) {
    const std::size_t step = unicode ? 2 : 1;
    // The unit at byte i, or 0 (a terminator) past the end of the name.
    auto unitAt = [unicode](ByteSpan name, std::size_t i) -> unsigned {
        if (!unicode) return i < name.size() ? name[i] : 0u;
        std::uint16_t unit = 0;
        return readU16(name, i, unit) ? unit : 0u;
    };
    // Every library is ordered by this fold of each unit.
    bool caseDiffers = false;
    for (std::size_t i = 0;; i += step) {
        const unsigned ca = unitAt(a, i);
        const unsigned cb = unitAt(b, i);
        const unsigned fa = foldAscii(ca);
        const unsigned fb = foldAscii(cb);
        if (fa != fb) return fa < fb ? -1 : 1;
        if (fa == 0) break;
        caseDiffers = caseDiffers || ca != cb;
    }
    if (unicode || !caseDiffers) return 0;
    // Equal but for the case of ASCII letters. Both names have their lead bytes in the
    // same places (no letter is one), and a "letter" that is a trail byte is part of
    // another character: there the names differ, and the trail byte's value orders them.
    for (std::size_t i = 0; i < a.size() && a[i] != 0; ++i) {
        if (a[i] < 0x80 || !platform::isLeadByte(CP_ACP, a[i])) continue;
        ++i;
        const unsigned ca = unitAt(a, i);
        const unsigned cb = unitAt(b, i);
        if (ca != cb) return ca < cb ? -1 : 1;
        if (ca == 0) break;
    }
    return 0;
}

std::string storedNameOrderKey(bool unicode, ByteSpan name) {
    std::string key;
    key.reserve(name.size());
    const std::size_t step = unicode ? 2 : 1;
    for (std::size_t i = 0; i + step <= name.size(); i += step) {
        const unsigned unit = foldAscii(unicode ? name[i] | (name[i + 1] << 8) : name[i]);
        if (unit == 0) break;
        // Most significant byte first, so that bytes order as the units do.
        if (unicode) key.push_back(static_cast<char>(unit >> 8));
        key.push_back(static_cast<char>(unit & 0xFF));
    }
    return key;
}

std::string storedNameIdentity(bool unicode, ByteSpan name) {
    std::string identity;
    identity.reserve(name.size());
    if (unicode) {
        for (std::size_t i = 0; i + 1 < name.size(); i += 2) {
            const unsigned unit = foldAscii(name[i] | (name[i + 1] << 8));
            if (unit == 0) break;
            identity.push_back(static_cast<char>(unit & 0xFF));
            identity.push_back(static_cast<char>(unit >> 8));
        }
        return identity;
    }
    // As compareStoredNames: letters fold, but a trail byte is part of its character and
    // stays as it is.
    for (std::size_t i = 0; i < name.size() && name[i] != 0; ++i) {
        identity.push_back(static_cast<char>(foldAscii(name[i])));
        if (name[i] >= 0x80 && platform::isLeadByte(CP_ACP, name[i]) && i + 1 < name.size() &&
            name[i + 1] != 0)
            identity.push_back(static_cast<char>(name[++i]));
    }
    return identity;
}

std::u16string entryNameKey(std::u16string_view name) {
    std::u16string key(name);
    for (char16_t& c : key) c = static_cast<char16_t>(foldAscii(c));
    return key;
}

}  // namespace keldrin::pbl
