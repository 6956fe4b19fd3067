#include "pbl/binary_section.h"

#include <cstdint>
#include <utility>
#include <vector>

namespace keldrin::pbl {

namespace {

// PowerBuilder's line width: 499 words, 3992 hex digits.
constexpr std::size_t kWordsPerLine = 499;
constexpr char kUpperDigits[] = "0123456789ABCDEF";
constexpr char kLowerDigits[] = "0123456789abcdef";

bool isPrintableAscii(std::string_view text) {
    for (char c : text)
        if (c < 0x20 || c > 0x7E) return false;
    return true;
}

unsigned nameCheck(std::string_view name) {
    unsigned sum = 0;
    for (char c : name) sum += static_cast<unsigned char>(c);
    return sum % 16;
}

// The start ('0') or end ('1') line of the entry, without its line ending.
std::string nameLine(char kind, std::string_view name) {
    std::string line{kind, kUpperDigits[nameCheck(name)]};
    line += name;
    line += ' ';
    return line;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// The section's lines one by one, each without its CRLF or LF, counted from the file's
// line `first`.
class LineCursor {
  public:
    LineCursor(std::string_view text, std::size_t first) : rest_(text), number_(first) {}

    bool atEnd() const { return rest_.empty(); }
    // The number of the line next() gave last.
    std::size_t number() const { return number_ - 1; }
    std::string_view next() {
        const std::size_t lf = rest_.find('\n');
        std::string_view line = rest_.substr(0, lf);
        rest_ = lf == std::string_view::npos ? std::string_view() : rest_.substr(lf + 1);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        ++number_;
        return line;
    }

  private:
    std::string_view rest_;
    std::size_t number_;
};

std::string atLine(std::size_t line, const std::string& what) {
    return "line " + std::to_string(line) + ": " + what;
}

// Appends the words of one data line (after its "2c") to `data`; an error otherwise.
std::string decodeDataLine(std::string_view line, Bytes& data) {
    if (line.size() < 10 || (line.size() - 2) % 8 != 0)
        return "a data line of " + std::to_string(line.size()) +
               " characters; it holds \"2\", a check digit and 8 hex digits a word";
    const int check = hexValue(line[1]);
    if (check < 0) return "the check digit is not a hex digit";
    unsigned sum = 0;
    for (std::size_t at = 2; at < line.size(); at += 8) {
        std::uint32_t word = 0;
        for (std::size_t k = 0; k < 8; ++k) {
            const int digit = hexValue(line[at + k]);
            if (digit < 0)
                return "a character that is not a hex digit at column " +
                       std::to_string(at + k + 1);
            word = (word << 4U) | static_cast<std::uint32_t>(digit);
        }
        sum += word & 0xFU;
        const std::size_t end = data.size();
        data.resize(end + 4);
        storeU32(data.data() + end, word);
    }
    if (sum % 16 != static_cast<unsigned>(check))
        return "the check digit is " + std::string(1, line[1]) + ", the line's words give " +
               std::string(1, kUpperDigits[sum % 16]);
    return {};
}

}  // namespace

std::optional<std::size_t> binaryRecordsEnd(ByteSpan data) {
    std::size_t pos = 0;
    while (data.size() - pos >= 4) {
        const std::uint32_t length = loadU32(data.data() + pos);
        if (length == 0) break;
        if (length > data.size() - pos - 4) return std::nullopt;
        pos += 4 + length;
    }
    if (pos == 0) return std::nullopt;
    return pos;
}

std::optional<std::string> encodeBinarySection(const BinaryEntry& entry) {
    if (entry.name.empty() || !isPrintableAscii(entry.name)) return std::nullopt;
    const std::optional<std::size_t> end = binaryRecordsEnd(entry.data);
    if (!end || *end != entry.data.size()) return std::nullopt;

    const std::size_t words = (entry.data.size() + 3) / 4;
    const std::size_t lines = (words + kWordsPerLine - 1) / kWordsPerLine;
    std::string out(kBinarySectionStart);
    out.reserve(lines * (kWordsPerLine * 8 + 4) + 2 * entry.name.size() + 160);
    out += "\r\n" + nameLine('0', entry.name) + "\r\n";
    std::size_t byte = 0;
    for (std::size_t line = 0; line < lines; ++line) {
        const std::size_t lineStart = out.size();
        out += "2?";
        unsigned sum = 0;
        for (std::size_t w = 0; w < kWordsPerLine; ++w) {
            // The last line is filled with zero words, as PowerBuilder fills it.
            std::uint32_t word = 0;
            for (std::size_t k = 0; k < 4; ++k, ++byte)
                if (byte < entry.data.size()) word |= std::uint32_t{entry.data[byte]} << (8 * k);
            sum += word & 0xFU;
            for (int shift = 28; shift >= 0; shift -= 4)
                out += kLowerDigits[(word >> shift) & 0xFU];
        }
        out[lineStart + 1] = kUpperDigits[sum % 16];
        out += "\r\n";
    }
    out += nameLine('1', entry.name) + "\r\n";
    out += kBinarySectionEnd;
    out += "\r\n";
    return out;
}

DecodedBinarySection decodeBinarySection(std::string_view section, std::size_t firstLine) {
    DecodedBinarySection decoded;
    std::string& error = decoded.error;
    LineCursor lines(section, firstLine);
    if (lines.next() != kBinarySectionStart) {
        error = atLine(lines.number(), "not the binary data section's start line \"" +
                                           std::string(kBinarySectionStart) + "\"");
        return decoded;
    }
    if (lines.atEnd()) {
        error = atLine(lines.number(), "the binary data section ends after its start line");
        return decoded;
    }
    const std::string_view start = lines.next();
    const std::size_t startNumber = lines.number();
    if (start.size() < 4 || start[0] != '0' || start.back() != ' ') {
        error = atLine(startNumber, "no \"0\", check digit, entry name and space");
        return decoded;
    }
    std::string& name = decoded.entry.name;
    name = std::string(start.substr(2, start.size() - 3));
    if (!isPrintableAscii(name)) {
        error = atLine(startNumber, "the entry name holds a character that is not printable ASCII");
        return decoded;
    }
    if (start != nameLine('0', name)) {
        error = atLine(startNumber, "the check digit is " + std::string(1, start[1]) +
                                        ", the name gives " + nameLine('0', name).substr(1, 1));
        return decoded;
    }

    // Where each data line's bytes begin, to name the line a fault of the data lies on.
    std::vector<std::pair<std::size_t, std::size_t>> lineOfByte;  // (first byte, line)
    Bytes data;
    data.reserve(section.size() / 2);
    bool ended = false;
    while (!lines.atEnd()) {
        const std::string_view line = lines.next();
        if (!line.empty() && line[0] == '1') {
            if (line != nameLine('1', name)) {
                error = atLine(lines.number(), "not the end line \"" + nameLine('1', name) +
                                                   "\" of the start line's entry");
                return decoded;
            }
            ended = true;
            break;
        }
        if (line.empty() || line[0] != '2') {
            error = atLine(lines.number(), "neither a data line (\"2\") nor the end line (\"1\")");
            return decoded;
        }
        lineOfByte.emplace_back(data.size(), lines.number());
        const std::string fault = decodeDataLine(line, data);
        if (!fault.empty()) {
            error = atLine(lines.number(), fault);
            return decoded;
        }
    }
    if (!ended || lines.atEnd()) {
        error = atLine(lines.number(), ended ? "no \"" + std::string(kBinarySectionEnd) +
                                                   "\" line after the end line"
                                             : "the binary data section has no end line");
        return decoded;
    }
    if (lines.next() != kBinarySectionEnd) {
        error = atLine(lines.number(), "not the line \"" + std::string(kBinarySectionEnd) + "\"");
        return decoded;
    }
    if (!lines.atEnd()) {
        lines.next();
        error = atLine(lines.number(), "text after the end of the binary data section");
        return decoded;
    }

    const auto lineOf = [&](std::size_t byte) {
        std::size_t line = startNumber;
        for (const auto& [first, number] : lineOfByte)
            if (first <= byte) line = number;
        return line;
    };
    const std::optional<std::size_t> end = binaryRecordsEnd(data);
    if (!end) {
        // The record that runs past the data, or the first line when there is none.
        std::size_t pos = 0;
        while (data.size() - pos >= 4 && loadU32(data.data() + pos) != 0 &&
               loadU32(data.data() + pos) <= data.size() - pos - 4)
            pos += 4 + loadU32(data.data() + pos);
        error = atLine(lineOf(pos),
                       data.size() - pos < 4 || loadU32(data.data() + pos) == 0
                           ? "the binary data holds no record (a 32-bit length, then that many "
                             "bytes)"
                           : "a record's length runs past the binary data");
        return decoded;
    }
    for (std::size_t i = *end; i < data.size(); ++i)
        if (data[i] != 0) {
            error = atLine(lineOf(i),
                           "bytes other than zero after the entry's last record, "
                           "which no entry carries");
            return decoded;
        }
    data.resize(*end);
    decoded.entry.data = std::move(data);
    return decoded;
}

}  // namespace keldrin::pbl
