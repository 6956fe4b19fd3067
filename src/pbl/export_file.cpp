#include "pbl/export_file.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <type_traits>
#include <utility>

#include "base/text.h"

namespace keldrin::pbl {

namespace {

constexpr std::string_view kHeaderTag = "$PBExportHeader$";
constexpr std::string_view kCommentTag = "$PBExportComments$";
constexpr std::string_view kHexAsciiMark = "HA";
constexpr std::string_view kHexOpen = "$$HEX";
constexpr std::string_view kHexEnd = "$$ENDHEX$$";
// What a line must begin with to be taken for a binary data section's start: less than
// the whole line, so that a damaged one is refused rather than read as source.
constexpr std::string_view kSectionTag = "Start of PowerBuilder Binary Data Section";
constexpr std::array<std::uint8_t, 3> kUtf8Mark = {0xEF, 0xBB, 0xBF};
constexpr std::array<std::uint8_t, 2> kUtf16LeMark = {0xFF, 0xFE};

constexpr std::array<std::string_view, 4> kEncodingNames = {"ansi", "hexascii", "utf8", "utf16le"};

// An ASCII tag in the text's own character type.
template <class Char>
std::basic_string<Char> widen(std::string_view ascii) {
    return std::basic_string<Char>(ascii.begin(), ascii.end());
}

template <class Char>
bool startsWith(std::basic_string_view<Char> text, std::string_view ascii) {
    if (text.size() < ascii.size()) return false;
    for (std::size_t i = 0; i < ascii.size(); ++i)
        if (text[i] != static_cast<Char>(ascii[i])) return false;
    return true;
}

bool startsWith(ByteSpan bytes, std::string_view ascii) {
    if (bytes.size() < ascii.size()) return false;
    for (std::size_t i = 0; i < ascii.size(); ++i)
        if (bytes[i] != static_cast<std::uint8_t>(ascii[i])) return false;
    return true;
}

template <std::size_t N>
bool startsWith(ByteSpan bytes, const std::array<std::uint8_t, N>& mark) {
    return bytes.size() >= N && std::equal(mark.begin(), mark.end(), bytes.begin());
}

// A line break would end the header line early and read back as the start of the
// next; nothing else a text can hold does harm there. (A code page's lead and trail
// bytes are never CR or LF, so the bytes of an ANSI text are tested as they are.)
template <class Char>
std::string headerProblem(HeaderField field, std::basic_string_view<Char> text) {
    const std::string what = field == HeaderField::kName ? "the name" : "the comment";
    if (field == HeaderField::kName && text.empty()) return "the name is empty";
    if (text.find_first_of(std::basic_string_view<Char>(widen<Char>("\r\n"))) !=
        std::basic_string_view<Char>::npos)
        return what + " holds a line break (CR or LF), which would end the export file's " +
               (field == HeaderField::kName ? "$PBExportHeader$" : "$PBExportComments$") + " line";
    return {};
}

// The whole file as text, before its encoding; or an error for a header line that could
// not be read back as one.
template <class Char>
std::optional<std::basic_string<Char>> composeText(const ExportTexts<Char>& texts,
                                                   std::string& error) {
    error = headerProblem(HeaderField::kName, std::basic_string_view<Char>(texts.name));
    if (error.empty())
        error = headerProblem(HeaderField::kComment, std::basic_string_view<Char>(texts.comment));
    if (!error.empty()) return std::nullopt;
    // PowerBuilder ends its own lines in CRLF whatever the source's lines end in.
    const std::basic_string<Char> eol = widen<Char>("\r\n");
    std::basic_string<Char> text = widen<Char>(kHeaderTag);
    text.reserve(texts.name.size() + texts.comment.size() + texts.source.size() + 64);
    text += texts.name;
    text += eol;
    // A source that itself begins like a comment line gets an empty one before it, or it
    // would be read back as the comment.
    if (!texts.comment.empty() ||
        startsWith(std::basic_string_view<Char>(texts.source), kCommentTag)) {
        text += widen<Char>(kCommentTag);
        text += texts.comment;
        text += eol;
    }
    text += texts.source;
    if (texts.binary) {
        const std::optional<std::string> section = encodeBinarySection(*texts.binary);
        if (!section) {
            error = "its binary data " + texts.binary->name +
                    " is not in the layout a binary data section carries";
            return std::nullopt;
        }
        // PowerBuilder starts the section on a line of its own after the source.
        text += widen<Char>("\r\n");
        text += widen<Char>(*section);
    }
    return text;
}

void appendAscii(Bytes& out, std::string_view ascii) {
    out.insert(out.end(), ascii.begin(), ascii.end());
}

Bytes encodeHexAscii(std::u16string_view text) {
    static constexpr char kHexDigits[] = "0123456789abcdef";
    Bytes out(kHexAsciiMark.begin(), kHexAsciiMark.end());
    out.reserve(text.size() + kHexAsciiMark.size());
    std::size_t i = 0;
    while (i < text.size()) {
        // "$$HEX" in the text itself would read back as an escape: its first "$" is
        // written as one instead.
        if (text[i] == u'$' && text.substr(i, kHexOpen.size()) == u"$$HEX") {
            appendAscii(out, "$$HEX1$$2400$$ENDHEX$$");
            ++i;
            continue;
        }
        if (text[i] < 0x80) {
            out.push_back(static_cast<std::uint8_t>(text[i++]));
            continue;
        }
        // A run goes on through spaces, as PowerBuilder's does ("3$$HEX2$$bd002000$$ENDHEX$$
        // Floppy" for "3\u00bd Floppy"); any other ASCII character ends it.
        std::size_t end = i;
        while (end < text.size() && (text[end] >= 0x80 || text[end] == u' ')) ++end;
        appendAscii(out, kHexOpen);
        appendAscii(out, std::to_string(end - i));
        appendAscii(out, "$$");
        for (; i < end; ++i)
            for (unsigned byte : {text[i] & 0xFFu, static_cast<unsigned>(text[i]) >> 8u}) {
                out.push_back(static_cast<std::uint8_t>(kHexDigits[byte >> 4u]));
                out.push_back(static_cast<std::uint8_t>(kHexDigits[byte & 0xFu]));
            }
        appendAscii(out, kHexEnd);
    }
    return out;
}

int hexValue(std::uint8_t c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string atOffset(std::size_t offset) {
    return " at offset " + std::to_string(offset);
}

// The text of a HEXASCII file (after its mark). `base` is where `bytes` starts in the
// file, for the messages.
std::optional<std::u16string> decodeHexAscii(ByteSpan bytes, std::size_t base, std::string& error) {
    std::u16string text;
    text.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        const std::uint8_t c = bytes[i];
        if (c >= 0x80) {
            error = "a byte above 0x7F" + atOffset(base + i) + " in a HEXASCII file";
            return std::nullopt;
        }
        if (c != '$' || !startsWith(bytes.subspan(i), kHexOpen)) {
            text.push_back(c);
            ++i;
            continue;
        }
        const std::string malformed = "a malformed $$HEX$$ escape" + atOffset(base + i);
        std::size_t pos = i + kHexOpen.size();
        std::size_t count = 0;
        std::size_t digits = 0;
        // Nine digits already exceed anything the bytes left could hold.
        while (pos < bytes.size() && bytes[pos] >= '0' && bytes[pos] <= '9' && digits < 9) {
            count = count * 10 + (bytes[pos++] - '0');
            ++digits;
        }
        if (digits == 0 || count == 0 || !startsWith(bytes.subspan(pos), "$$")) {
            error = malformed;
            return std::nullopt;
        }
        pos += 2;
        if (count > (bytes.size() - pos) / 4) {
            error = malformed;
            return std::nullopt;
        }
        for (std::size_t unit = 0; unit < count; ++unit, pos += 4) {
            int d[4];
            for (std::size_t k = 0; k < 4; ++k) d[k] = hexValue(bytes[pos + k]);
            if (d[0] < 0 || d[1] < 0 || d[2] < 0 || d[3] < 0) {
                error = malformed;
                return std::nullopt;
            }
            text.push_back(static_cast<char16_t>((d[0] << 4) | d[1] | (d[2] << 12) | (d[3] << 8)));
        }
        if (!startsWith(bytes.subspan(pos), kHexEnd)) {
            error = malformed;
            return std::nullopt;
        }
        i = pos + kHexEnd.size();
    }
    return text;
}

// The line at the front of `rest`, without its ending; `rest` moves past it.
template <class Char>
std::basic_string<Char> takeLine(std::basic_string_view<Char>& rest) {
    std::size_t lf = rest.find(static_cast<Char>('\n'));
    std::basic_string_view<Char> line = rest.substr(0, lf);
    rest = lf == std::basic_string_view<Char>::npos ? std::basic_string_view<Char>()
                                                    : rest.substr(lf + 1);
    if (!line.empty() && line.back() == static_cast<Char>('\r')) line.remove_suffix(1);
    return std::basic_string<Char>(line);
}

// Where the first line that begins like a binary data section begins; npos for none.
template <class Char>
std::size_t sectionStart(std::basic_string_view<Char> text) {
    for (std::size_t line = 0; line < text.size();) {
        if (startsWith(text.substr(line), kSectionTag)) return line;
        const std::size_t lf = text.find(static_cast<Char>('\n'), line);
        if (lf == std::basic_string_view<Char>::npos) break;
        line = lf + 1;
    }
    return std::basic_string_view<Char>::npos;
}

template <class Char>
char16_t asciiLower(Char c) {
    const auto unit = static_cast<char16_t>(static_cast<std::make_unsigned_t<Char>>(c));
    return unit >= u'A' && unit <= u'Z' ? static_cast<char16_t>(unit - u'A' + u'a') : unit;
}

// Whether the section's entry is the binary data of the source entry `sourceName`: its
// name with ".bin", in any case, as the library compares names.
template <class Char>
bool isBinaryEntryOf(std::string_view binaryName, std::basic_string_view<Char> sourceName) {
    std::basic_string<Char> expected(sourceName.substr(0, sourceName.size() - 4));
    expected += widen<Char>(".bin");
    if (sourceName.size() < 4 || expected.size() != binaryName.size()) return false;
    for (std::size_t i = 0; i < expected.size(); ++i)
        if (asciiLower(expected[i]) != asciiLower(binaryName[i])) return false;
    return true;
}

// The section from its start line on, as the ASCII it must be; an error naming the
// line of the first character that is not.
template <class Char>
std::optional<std::string> sectionAscii(std::basic_string_view<Char> section, std::size_t line,
                                        std::string& error) {
    std::string ascii;
    ascii.reserve(section.size());
    for (Char c : section) {
        const auto unit = static_cast<std::make_unsigned_t<Char>>(c);
        if (unit >= 0x80) {
            error = "binary data section, line " + std::to_string(line) +
                    ": a character that is not ASCII";
            return std::nullopt;
        }
        if (c == static_cast<Char>('\n')) ++line;
        ascii.push_back(static_cast<char>(unit));
    }
    return ascii;
}

// `owner`, when given, is the string `text` views, handed over: the source (all but a
// few lines of the file) is then cut out of it in place instead of copied, so a large
// file's text is held once.
template <class Char>
bool parseText(std::basic_string_view<Char> text, ExportTexts<Char>& texts, std::string& error,
               std::basic_string<Char>* owner = nullptr) {
    const std::basic_string_view<Char> whole = text;
    auto keepSource = [&](std::basic_string_view<Char> source) {
        if (owner == nullptr) {
            texts.source = std::basic_string<Char>(source);
            return;
        }
        // An empty view may point nowhere (a header line without a line end leaves one).
        if (source.empty()) {
            texts.source.clear();
            return;
        }
        const auto start = static_cast<std::size_t>(source.data() - owner->data());
        owner->resize(start + source.size());
        owner->erase(0, start);
        texts.source = std::move(*owner);
    };
    if (!startsWith(text, kHeaderTag)) {
        error = "no $PBExportHeader$ line at the start";
        return false;
    }
    text.remove_prefix(kHeaderTag.size());
    texts.name = takeLine(text);
    if (texts.name.empty()) {
        error = "the $PBExportHeader$ line names no entry";
        return false;
    }
    if (startsWith(text, kCommentTag)) {
        text.remove_prefix(kCommentTag.size());
        texts.comment = takeLine(text);
    }
    const std::size_t at = sectionStart(text);
    if (at == std::basic_string_view<Char>::npos) {
        keepSource(text);
        return true;
    }
    // The line break PowerBuilder puts before the section is not the source's.
    std::basic_string_view<Char> source = text.substr(0, at);
    if (!source.empty()) source.remove_suffix(1);
    if (!source.empty() && source.back() == static_cast<Char>('\r')) source.remove_suffix(1);

    const std::basic_string_view<Char> section = text.substr(at);
    const std::basic_string_view<Char> before =
        whole.substr(0, static_cast<std::size_t>(section.data() - whole.data()));
    const std::size_t line =
        1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), Char('\n')));
    std::optional<std::string> ascii = sectionAscii(section, line, error);
    if (!ascii) return false;
    DecodedBinarySection decoded = decodeBinarySection(*ascii, line);
    if (!decoded.error.empty()) {
        error = "binary data section, " + decoded.error;
        return false;
    }
    if (!isBinaryEntryOf(decoded.entry.name, std::basic_string_view<Char>(texts.name))) {
        error = "binary data section, line " + std::to_string(line + 1) + ": it holds " +
                decoded.entry.name + ", which is not the binary data of the file's entry";
        return false;
    }
    texts.binary = std::move(decoded.entry);
    // Last: it may take the text the section was read from.
    keepSource(source);
    return true;
}

// A mark that says the file is text in an encoding export files never use.
const char* foreignMark(ByteSpan file) {
    auto starts = [&](std::initializer_list<std::uint8_t> mark) {
        return file.size() >= mark.size() && std::equal(mark.begin(), mark.end(), file.begin());
    };
    if (starts({0xFF, 0xFE, 0x00, 0x00})) return "a UTF-32LE byte-order mark";
    if (starts({0x00, 0x00, 0xFE, 0xFF})) return "a UTF-32BE byte-order mark";
    if (starts({0xFE, 0xFF})) return "a UTF-16BE byte-order mark";
    if (starts({'$', 0x00, 'P', 0x00, 'B', 0x00})) return "UTF-16LE without a byte-order mark";
    if (starts({0x00, '$', 0x00, 'P', 0x00, 'B'})) return "UTF-16BE without a byte-order mark";
    return nullptr;
}

}  // namespace

std::string_view exportEncodingName(ExportEncoding encoding) {
    return kEncodingNames[static_cast<std::size_t>(encoding)];
}

std::optional<ExportEncoding> exportEncodingFromName(std::string_view name) {
    for (std::size_t i = 0; i < kEncodingNames.size(); ++i)
        if (name == kEncodingNames[i]) return static_cast<ExportEncoding>(i);
    return std::nullopt;
}

std::string exportHeaderProblem(HeaderField field, std::u16string_view text) {
    return headerProblem(field, text);
}

std::string exportHeaderProblem(HeaderField field, std::string_view text) {
    return headerProblem(field, text);
}

WrittenExportFile writeAnsiExportFile(const AnsiExportTexts& texts) {
    WrittenExportFile file;
    std::optional<std::string> text = composeText(texts, file.error);
    if (text) file.bytes.assign(text->begin(), text->end());
    return file;
}

WrittenExportFile writeExportFile(ExportEncoding encoding, const WideExportTexts& texts) {
    WrittenExportFile file;
    if (encoding == ExportEncoding::kAnsi) {
        file.error = "ANSI export files hold code page bytes, not UTF-16";
        return file;
    }
    std::optional<std::u16string> text = composeText(texts, file.error);
    if (!text) return file;
    switch (encoding) {
        case ExportEncoding::kHexAscii:
            file.bytes = encodeHexAscii(*text);
            break;
        case ExportEncoding::kUtf8: {
            std::string utf8 = utf16ToUtf8(*text);
            // UTF-8 has no form for a lone surrogate: the conversion put U+FFFD there.
            if (utf8ToUtf16(utf8) != *text) {
                file.error = "the text holds UTF-16 that has no UTF-8 form (a lone surrogate)";
                return file;
            }
            file.bytes.reserve(kUtf8Mark.size() + utf8.size());
            file.bytes.assign(kUtf8Mark.begin(), kUtf8Mark.end());
            file.bytes.insert(file.bytes.end(), utf8.begin(), utf8.end());
            break;
        }
        case ExportEncoding::kUtf16Le:
            file.bytes.reserve(kUtf16LeMark.size() + text->size() * 2);
            file.bytes.assign(kUtf16LeMark.begin(), kUtf16LeMark.end());
            appendUtf16Le(file.bytes, *text);
            break;
        case ExportEncoding::kAnsi:
            break;
    }
    return file;
}

ReadExportFile readExportFile(ByteSpan file) {
    ReadExportFile read;
    if (const char* foreign = foreignMark(file)) {
        read.error = std::string("an unknown encoding: ") + foreign;
        return read;
    }
    std::optional<std::u16string> wide;
    if (startsWith(file, kUtf8Mark)) {
        read.encoding = ExportEncoding::kUtf8;
        ByteSpan body = file.subspan(kUtf8Mark.size());
        std::string_view utf8(reinterpret_cast<const char*>(body.data()), body.size());
        // Any byte that starts no valid shortest-form sequence: the file would not come
        // back as it was.
        bool invalid = false;
        wide = decodeUtf8(utf8, [&](unsigned char) {
            invalid = true;
            return u'\uFFFD';
        });
        if (invalid) {
            read.error = "the file is not valid UTF-8";
            return read;
        }
    } else if (startsWith(file, kUtf16LeMark)) {
        read.encoding = ExportEncoding::kUtf16Le;
        ByteSpan body = file.subspan(kUtf16LeMark.size());
        if (body.size() % 2 != 0) {
            read.error = "a UTF-16LE file of an odd number of bytes";
            return read;
        }
        wide = decodeUtf16Le(body);
    } else if (startsWith(file, kHexAsciiMark) &&
               startsWith(file.subspan(kHexAsciiMark.size()), kHeaderTag)) {
        read.encoding = ExportEncoding::kHexAscii;
        wide = decodeHexAscii(file.subspan(kHexAsciiMark.size()), kHexAsciiMark.size(), read.error);
        if (!wide) return read;
    } else {
        read.encoding = ExportEncoding::kAnsi;
        std::string_view text(reinterpret_cast<const char*>(file.data()), file.size());
        parseText(text, read.ansi, read.error);
        return read;
    }
    parseText(std::u16string_view(*wide), read.wide, read.error, &*wide);
    return read;
}

void PiecewiseExportReader::add(ByteSpan piece) {
    pending_.insert(pending_.end(), piece.begin(), piece.end());
    if (mode_ == Mode::kUndecided && pending_.size() >= kMarkBytes) decide();
    if (mode_ == Mode::kUtf8 || mode_ == Mode::kUtf16Le) decodePending(false);
}

void PiecewiseExportReader::decide() {
    if (startsWith(ByteSpan(pending_), kUtf8Mark)) {
        mode_ = Mode::kUtf8;
        pending_.erase(pending_.begin(), pending_.begin() + kUtf8Mark.size());
    } else if (startsWith(ByteSpan(pending_), kUtf16LeMark) && foreignMark(pending_) == nullptr) {
        mode_ = Mode::kUtf16Le;
        pending_.erase(pending_.begin(), pending_.begin() + kUtf16LeMark.size());
    } else {
        mode_ = Mode::kWhole;
        if (sizeHint_ > pending_.size()) pending_.reserve(sizeHint_);
        return;
    }
    // A UTF-8 file's text has at most as many units as the file has bytes.
    text_.reserve(mode_ == Mode::kUtf8 ? sizeHint_ : sizeHint_ / 2);
}

void PiecewiseExportReader::decodePending(bool last) {
    std::size_t used = 0;
    if (mode_ == Mode::kUtf16Le) {
        used = pending_.size() - pending_.size() % 2;
        for (std::size_t i = 0; i < used; i += 2)
            text_.push_back(static_cast<char16_t>(pending_[i] | (pending_[i + 1] << 8)));
    } else {
        const std::string_view bytes(reinterpret_cast<const char*>(pending_.data()),
                                     pending_.size());
        while (used < bytes.size()) {
            char32_t c = 0;
            const std::size_t length = decodeUtf8At(bytes, used, c);
            if (length != 0) {
                appendCodePoint(text_, c);
                used += length;
                continue;
            }
            // A character cut by the end of the piece waits for the next one.
            if (!last && bytes.size() - used < 4) break;
            invalid_ = true;
            ++used;
        }
    }
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(used));
}

ReadExportFile PiecewiseExportReader::finish() {
    if (mode_ == Mode::kUndecided) decide();
    if (mode_ == Mode::kWhole) return readExportFile(pending_);
    decodePending(true);
    ReadExportFile read;
    read.encoding = mode_ == Mode::kUtf8 ? ExportEncoding::kUtf8 : ExportEncoding::kUtf16Le;
    if (mode_ == Mode::kUtf8 && invalid_) {
        read.error = "the file is not valid UTF-8";
        return read;
    }
    if (mode_ == Mode::kUtf16Le && !pending_.empty()) {
        read.error = "a UTF-16LE file of an odd number of bytes";
        return read;
    }
    parseText(std::u16string_view(text_), read.wide, read.error, &text_);
    return read;
}

std::u16string binaryEntryName(std::u16string_view sourceName) {
    std::u16string name(sourceName.substr(0, sourceName.size() < 4 ? 0 : sourceName.size() - 4));
    return name + u".bin";
}

bool isSourceEntryName(std::u16string_view name) {
    if (name.size() < 5) return false;
    std::u16string_view tail = name.substr(name.size() - 4);
    auto lower = [](char16_t c) { return c >= u'A' && c <= u'Z' ? c - u'A' + u'a' : c; };
    const char16_t last = static_cast<char16_t>(lower(tail[3]));
    return tail[0] == u'.' && lower(tail[1]) == u's' && lower(tail[2]) == u'r' && last >= u'a' &&
           last <= u'z';
}

}  // namespace keldrin::pbl
