// POSIX backend of the code-page layer.
//
// The system's ANSI and OEM code pages are taken from the process locale the way
// Windows derives them from a system locale: the language of LC_ALL, else LC_CTYPE,
// else LANG (table in README.md). The conversions themselves come from glibc iconv:
// single-byte code pages are read out of iconv once into a 256-entry table; the five
// bytes (and any other) that a code page leaves undefined map to U+0080..U+00FF of the
// same value and back, as Windows' own tables do for code page 1252, so every byte
// string survives the trip to wide text and back. Double-byte code pages convert
// through iconv directly.
#include <errno.h>
#include <iconv.h>
#include <locale.h>
#include <string.h>
#include <wctype.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <string_view>

#include "base/bytes.h"
#include "base/codepage.h"
#include "base/text.h"

namespace keldrin::platform {
namespace {

struct LocaleCodePages {
    unsigned ansi;
    unsigned oem;
};

std::string localeName() {
    for (const char* var : {"LC_ALL", "LC_CTYPE", "LANG"}) {
        const char* value = std::getenv(var);
        if (value != nullptr && *value != '\0') return value;
    }
    return std::string();
}

LocaleCodePages codePagesForLocale(const std::string& locale) {
    std::string_view name(locale);
    std::size_t end = name.find_first_of(".@");
    std::string_view base = name.substr(0, end);
    std::string_view language = base.substr(0, base.find('_'));
    std::string_view territory = base.find('_') == std::string_view::npos
                                     ? std::string_view()
                                     : base.substr(base.find('_') + 1);
    bool latinScript = name.find("@latin") != std::string_view::npos;

    if (language.empty() || language == "C" || language == "POSIX") return {1252, 437};
    auto is = [&](std::initializer_list<std::string_view> set) {
        for (auto l : set)
            if (language == l) return true;
        return false;
    };
    if (is({"cs", "hu", "pl", "ro", "sk", "sl", "hr", "sq", "bs"})) return {1250, 852};
    if (language == "sr")
        return latinScript ? LocaleCodePages{1250, 852} : LocaleCodePages{1251, 866};
    if (is({"ru", "uk", "bg", "be", "mk"})) return {1251, 866};
    if (language == "el") return {1253, 737};
    if (is({"tr", "az"})) return {1254, 857};
    if (language == "he") return {1255, 862};
    if (is({"ar", "fa", "ur"})) return {1256, 720};
    if (is({"et", "lt", "lv"})) return {1257, 775};
    if (language == "vi") return {1258, 1258};
    if (language == "th") return {874, 874};
    if (language == "ja") return {932, 932};
    if (language == "ko") return {949, 949};
    if (language == "zh") {
        if (territory == "TW" || territory == "HK") return {950, 950};
        return {936, 936};
    }
    return {1252, 850};
}

// What iconv makes of one byte standing alone: 0 and `unit` when it converts to one
// code unit, otherwise the errno of the failure (EINVAL: it starts a longer sequence).
int convertByte(iconv_t cd, unsigned byte, char16_t& unit) {
    char in = static_cast<char>(byte);
    char* inPtr = &in;
    std::size_t inLeft = 1;
    char* outPtr = reinterpret_cast<char*>(&unit);
    std::size_t outLeft = sizeof unit;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    const std::size_t r = iconv(cd, &inPtr, &inLeft, &outPtr, &outLeft);
    const int error = r == static_cast<std::size_t>(-1) ? errno : outLeft != 0 ? EILSEQ : 0;
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    return error;
}

// One code page's conversions. Single-byte pages use tables taken from iconv;
// multi-byte pages keep their iconv descriptors.
class CodePage {
  public:
    virtual ~CodePage() = default;
    virtual std::u16string decode(const char* in, std::size_t n) = 0;
    virtual std::string encode(const char16_t* in, std::size_t n, char defaultChar,
                               bool& usedDefault) = 0;
    virtual bool isLeadByte(unsigned char /*byte*/) const { return false; }
};

class Utf8CodePage final : public CodePage {
  public:
    std::u16string decode(const char* in, std::size_t n) override {
        return utf8ToUtf16(std::string_view(in, n));
    }
    std::string encode(const char16_t* in, std::size_t n, char, bool&) override {
        return utf16ToUtf8(std::u16string_view(in, n));
    }
};

class SingleByteCodePage final : public CodePage {
  public:
    explicit SingleByteCodePage(iconv_t cd) {
        reverse_.fill(kUnmapped);
        for (unsigned b = 0; b < 256; ++b) {
            char16_t unit = 0;
            const bool mapped = convertByte(cd, b, unit) == 0;
            forward_[b] = mapped ? unit : static_cast<char16_t>(b);
            defined_[b] = mapped;
        }
        // Defined mappings win over the identity fallbacks for undefined bytes.
        for (unsigned pass = 0; pass < 2; ++pass)
            for (unsigned b = 0; b < 256; ++b)
                if (defined_[b] == (pass == 0) && reverse_[forward_[b]] == kUnmapped)
                    reverse_[forward_[b]] = static_cast<std::uint16_t>(b);
    }

    std::u16string decode(const char* in, std::size_t n) override {
        std::u16string out(n, u'\0');
        for (std::size_t i = 0; i < n; ++i) out[i] = forward_[static_cast<unsigned char>(in[i])];
        return out;
    }
    std::string encode(const char16_t* in, std::size_t n, char defaultChar,
                       bool& usedDefault) override {
        std::string out;
        out.reserve(n);
        for (std::size_t i = 0; i < n; ++i) {
            char16_t c = in[i];
            if (c >= 0xD800 && c <= 0xDBFF && i + 1 < n && in[i + 1] >= 0xDC00 &&
                in[i + 1] <= 0xDFFF)
                ++i;  // a character outside the BMP: one default character for the pair
            std::uint16_t b = reverse_[c];
            if (b == kUnmapped || (c >= 0xD800 && c <= 0xDFFF)) {
                out.push_back(defaultChar);
                usedDefault = true;
            } else {
                out.push_back(static_cast<char>(b));
            }
        }
        return out;
    }

  private:
    static constexpr std::uint16_t kUnmapped = 0xFFFF;
    std::array<char16_t, 256> forward_{};
    std::array<bool, 256> defined_{};
    std::array<std::uint16_t, 65536> reverse_{};
};

class MultiByteCodePage final : public CodePage {
  public:
    MultiByteCodePage(iconv_t toWide, iconv_t fromWide) : toWide_(toWide), fromWide_(fromWide) {
        // A lead byte is one that iconv finds cut off when it stands alone.
        for (unsigned b = 0x80; b < 256; ++b) {
            char16_t unit = 0;
            lead_[b] = convertByte(toWide_, b, unit) == EINVAL;
        }
    }
    ~MultiByteCodePage() override {
        iconv_close(toWide_);
        iconv_close(fromWide_);
    }

    std::u16string decode(const char* in, std::size_t n) override {
        std::u16string out;
        iconv(toWide_, nullptr, nullptr, nullptr, nullptr);
        char* inPtr = const_cast<char*>(in);
        std::size_t inLeft = n;
        while (inLeft > 0) {
            char16_t buffer[256];
            char* outPtr = reinterpret_cast<char*>(buffer);
            std::size_t outLeft = sizeof buffer;
            std::size_t r = iconv(toWide_, &inPtr, &inLeft, &outPtr, &outLeft);
            out.append(buffer, (sizeof buffer - outLeft) / 2);
            if (r == static_cast<std::size_t>(-1) && errno != E2BIG) {
                // An invalid or cut-off sequence: one replacement character per byte
                // skipped, as Windows puts its default character there.
                out.push_back(u'\uFFFD');
                ++inPtr;
                --inLeft;
                iconv(toWide_, nullptr, nullptr, nullptr, nullptr);
            }
        }
        return out;
    }

    std::string encode(const char16_t* in, std::size_t n, char defaultChar,
                       bool& usedDefault) override {
        std::string out;
        iconv(fromWide_, nullptr, nullptr, nullptr, nullptr);
        char* inPtr = reinterpret_cast<char*>(const_cast<char16_t*>(in));
        std::size_t inLeft = n * 2;
        while (inLeft > 0) {
            char buffer[512];
            char* outPtr = buffer;
            std::size_t outLeft = sizeof buffer;
            std::size_t r = iconv(fromWide_, &inPtr, &inLeft, &outPtr, &outLeft);
            out.append(buffer, sizeof buffer - outLeft);
            if (r == static_cast<std::size_t>(-1) && errno != E2BIG) {
                out.push_back(defaultChar);
                usedDefault = true;
                std::size_t skip = std::min<std::size_t>(inLeft, 2);
                // The unit iconv stopped at; none when less than a whole one is left.
                std::uint16_t unit = 0;
                (void)readU16(ByteSpan(reinterpret_cast<const std::uint8_t*>(inPtr), inLeft), 0,
                              unit);
                if (unit >= 0xD800 && unit <= 0xDBFF && inLeft >= 4) skip = 4;
                inPtr += skip;
                inLeft -= skip;
                iconv(fromWide_, nullptr, nullptr, nullptr, nullptr);
            }
        }
        return out;
    }

    bool isLeadByte(unsigned char byte) const override { return lead_[byte]; }

  private:
    iconv_t toWide_;
    iconv_t fromWide_;
    std::array<bool, 256> lead_{};
};

// iconv_open reports failure as (iconv_t)-1.
bool failed(iconv_t cd) {
    iconv_t invalid{};
    std::memset(&invalid, 0xFF, sizeof invalid);
    return std::memcmp(&cd, &invalid, sizeof cd) == 0;
}

bool isMultiByte(unsigned cp) {
    return cp == 932 || cp == 936 || cp == 949 || cp == 950;
}

std::unique_ptr<CodePage> makeCodePage(unsigned cp) {
    if (cp == CP_UTF8) return std::make_unique<Utf8CodePage>();
    std::string name = "CP" + std::to_string(cp);
    iconv_t toWide = iconv_open("UTF-16LE", name.c_str());
    if (failed(toWide) && cp == 720) {
        // glibc has no code page 720 (Arabic DOS); 437 keeps at least ASCII right.
        name = "CP437";
        toWide = iconv_open("UTF-16LE", name.c_str());
    }
    if (failed(toWide)) return nullptr;
    if (!isMultiByte(cp)) {
        auto page = std::make_unique<SingleByteCodePage>(toWide);
        iconv_close(toWide);
        return page;
    }
    iconv_t fromWide = iconv_open(name.c_str(), "UTF-16LE");
    if (failed(fromWide)) {
        iconv_close(toWide);
        return nullptr;
    }
    return std::make_unique<MultiByteCodePage>(toWide, fromWide);
}

// iconv descriptors are not safe to share between threads; each thread keeps its own.
CodePage* codePage(unsigned cp) {
    thread_local std::map<unsigned, std::unique_ptr<CodePage>> cache;
    auto it = cache.find(cp);
    if (it == cache.end()) it = cache.emplace(cp, makeCodePage(cp)).first;
    return it->second.get();
}

}  // namespace

namespace {
// The code page a user chose for CP_ACP (keldrin-pbl --codepage); 0: the locale's.
unsigned ansiOverride = 0;
}  // namespace

bool overrideAnsiCodePage(unsigned cp) {
    if (cp != 0 && (cp == CP_ACP || cp == CP_OEMCP || codePage(cp) == nullptr)) return false;
    ansiOverride = cp;
    return true;
}

unsigned resolveCodePage(unsigned cp) {
    if (cp != CP_ACP && cp != CP_OEMCP) return cp;
    if (cp == CP_ACP && ansiOverride != 0) return ansiOverride;
    LocaleCodePages pages = codePagesForLocale(localeName());
    return cp == CP_ACP ? pages.ansi : pages.oem;
}

namespace {
// The code page a conversion call works in, or nullptr (errno EINVAL) when its
// arguments are unusable or the code page is unknown, as the Windows calls answer.
CodePage* pageForCall(unsigned cp, bool argumentsUsable) {
    CodePage* page = argumentsUsable ? codePage(resolveCodePage(cp)) : nullptr;
    if (page == nullptr) errno = EINVAL;
    return page;
}

// The platform calls' contract: with no buffer, the size it would take; otherwise the
// units copied, or 0 and ENOBUFS when the buffer is too small.
template <typename Text, typename Unit>
int deliver(const Text& converted, Unit* out, int capacity) {
    if (out == nullptr) return static_cast<int>(converted.size());
    if (converted.size() > static_cast<std::size_t>(capacity)) {
        errno = ENOBUFS;
        return 0;
    }
    std::copy(converted.begin(), converted.end(), out);
    return static_cast<int>(converted.size());
}
}  // namespace

int multiByteToWideChar(unsigned cp, unsigned /*flags*/, const char* in, int inBytes, char16_t* out,
                        int outUnits) {
    CodePage* page = pageForCall(cp, in != nullptr && inBytes > 0 && outUnits >= 0);
    if (page == nullptr) return 0;
    return deliver(page->decode(in, static_cast<std::size_t>(inBytes)), out, outUnits);
}

int wideCharToMultiByte(unsigned cp, unsigned /*flags*/, const char16_t* in, int inUnits, char* out,
                        int outBytes, const char* defaultChar, bool* usedDefault) {
    CodePage* page = pageForCall(cp, in != nullptr && inUnits > 0 && outBytes >= 0);
    if (page == nullptr) return 0;
    bool used = false;
    char fallback = defaultChar != nullptr && *defaultChar != '\0' ? *defaultChar : '?';
    std::string narrow = page->encode(in, static_cast<std::size_t>(inUnits), fallback, used);
    if (usedDefault != nullptr) *usedDefault = used;
    return deliver(narrow, out, outBytes);
}

bool isLeadByte(unsigned cp, unsigned char byte) {
    CodePage* page = codePage(resolveCodePage(cp));
    return page != nullptr && page->isLeadByte(byte);
}

namespace {
// Case mappings from a locale object of their own: the process locale, whatever the
// user set, plays no part. glibc's C.UTF-8 carries Unicode's simple mappings.
locale_t caseLocale() {
    static const locale_t locale = [] {
        locale_t l = newlocale(LC_CTYPE_MASK, "C.UTF-8", static_cast<locale_t>(nullptr));
        if (l == static_cast<locale_t>(nullptr))
            l = newlocale(LC_CTYPE_MASK, "en_US.UTF-8", static_cast<locale_t>(nullptr));
        return l;
    }();
    return locale;
}
}  // namespace

std::u16string foldCase(std::u16string_view text) {
    const locale_t locale = caseLocale();
    std::u16string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size();) {
        char32_t c = 0;
        i += decodeUtf16At(text, i, c);
        if (locale != static_cast<locale_t>(nullptr) && (c < 0xD800 || c > 0xDFFF)) {
            // Upper, then lower: names that either mapping makes one fold together
            // (a file system may compare by either).
            const auto upper = static_cast<char32_t>(towupper_l(static_cast<wint_t>(c), locale));
            c = static_cast<char32_t>(towlower_l(static_cast<wint_t>(upper), locale));
        } else if (c >= 'A' && c <= 'Z') {
            c += 'a' - 'A';
        }
        appendCodePoint(out, c);
    }
    return out;
}

std::u16string lastErrorText() {
    return lastErrorTextFor(static_cast<unsigned long>(errno));
}

std::u16string lastErrorTextFor(unsigned long errorCode) {
    const auto code = static_cast<int>(errorCode);
    char buffer[256];
    // The GNU strerror_r may return a static string instead of filling the buffer.
    const char* text = strerror_r(code, buffer, sizeof buffer);
    return utf8ToUtf16(text != nullptr ? text : "");
}

}  // namespace keldrin::platform
