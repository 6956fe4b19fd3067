#include "dw/report_data.h"

#include <algorithm>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <map>
#include <optional>

#include "base/text.h"
#include "dw/display_format.h"

namespace keldrin::dw {
namespace {

constexpr std::size_t kHeaderBytes = 8;  // "DAT" | three digits | zero | flag
constexpr std::size_t kFlagByte = 7;
constexpr std::size_t kDescriptorTail = 6;  // size (u32) | type code (u16)
constexpr std::size_t kLengthBytes = 4;
constexpr std::size_t kHexShown = 64;  // bytes of an undecoded stretch shown in a note

constexpr std::uint16_t kTypeChar = 1;
constexpr std::uint16_t kTypeNumber = 2;
constexpr std::uint16_t kTypeDateTime = 3;
constexpr std::uint16_t kTypeDecimal = 10;
constexpr std::uint16_t kTypeLong = 12;
constexpr std::uint16_t kRowSlot = 16;
constexpr std::uint16_t kRowSlotSize = 26;

constexpr std::size_t kNumberBytes = 8;
constexpr std::size_t kDateTimeBytes = 12;
constexpr std::size_t kDecimalBytes = 16;
constexpr std::size_t kDecimalFlagByte = 14;
constexpr std::uint16_t kArgumentMarker = 0xFFFF;  // after each argument's type code
constexpr std::size_t kArgumentHead = 7;           // type code | marker | length
constexpr std::size_t kLongBytes = 4;
constexpr unsigned kMaxScale = 24;  // 80 bits hold 24 decimal digits

// The name field of a descriptor, by the header's version digits; only the versions the
// samples showed are known.
struct KnownVersion {
    const char* digits;
    std::size_t nameBytes;
};
constexpr KnownVersion kKnownVersions[] = {{"060", 41}, {"090", 262}, {"105", 524}};
// Widths tried, in order, for a version the samples did not show.
constexpr std::size_t kAnsiWidths[] = {41, 262};
constexpr std::size_t kUnicodeWidths[] = {524, 82};
// From PowerBuilder 10 on, text is UTF-16.
constexpr int kFirstUnicodeVersion = 100;

std::string hexOf(ByteSpan bytes, std::size_t limit = SIZE_MAX) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    const std::size_t n = std::min(bytes.size(), limit);
    out.reserve(2 * n + 3);
    for (std::size_t i = 0; i < n; ++i) {
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 0xF]);
    }
    if (n < bytes.size()) out += "...";
    return out;
}

std::string where(std::string_view stream, std::size_t offset) {
    return "stream '" + std::string(stream) + "' byte " + std::to_string(offset);
}

bool allZero(ByteSpan bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](std::uint8_t b) { return b == 0; });
}

std::optional<std::string> textOf(ByteSpan bytes, bool unicode) {
    if (unicode) {
        if (bytes.size() % 2 != 0) return std::nullopt;
        std::u16string text = decodeUtf16Le(bytes);
        text.erase(std::min(text.find(u'\0'), text.size()));
        return utf16ToUtf8(text);
    }
    const auto end = std::find(bytes.begin(), bytes.end(), std::uint8_t{0});
    std::optional<std::u16string> wide =
        decodeAnsi(bytes.first(static_cast<std::size_t>(end - bytes.begin())));
    if (!wide) return std::nullopt;
    return utf16ToUtf8(*wide);
}

std::string lower(std::string text) {
    for (char& c : text)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return text;
}

// The type code the samples store for a declared type; 0 for one they never showed.
std::uint16_t codeFor(const std::string& declared) {
    const std::string base = lower(declared.substr(0, declared.find('(')));
    if (base == "char" || base == "string") return kTypeChar;
    if (base == "number") return kTypeNumber;
    if (base == "datetime") return kTypeDateTime;
    if (base == "decimal") return kTypeDecimal;
    if (base == "long") return kTypeLong;
    return 0;
}

// Why a value was not decoded, or nothing when it was.
std::optional<std::string> decodeValue(std::uint16_t code, ByteSpan bytes, bool unicode,
                                       DataValue& value) {
    switch (code & 0xFF) {
        case kTypeChar: {
            std::optional<std::string> text = textOf(bytes, unicode);
            if (!text)
                return unicode ? "an odd number of bytes for UTF-16 text"
                               : "text that does not convert from the code page";
            value.kind = ValueKind::kText;
            value.text = std::move(*text);
            return std::nullopt;
        }
        case kTypeNumber: {
            if (bytes.size() != kNumberBytes) return "a number that is not 8 bytes long";
            const std::uint64_t bits = loadU64(bytes.data());
            const double d = std::bit_cast<double>(bits);
            if (!std::isfinite(d)) return "a number that is not finite";
            value.kind = ValueKind::kNumber;
            value.number = d;
            value.text = numberText(d);
            return std::nullopt;
        }
        case kTypeLong: {
            if (bytes.size() != kLongBytes) return "a long that is not 4 bytes long";
            value.kind = ValueKind::kLong;
            const std::int32_t n = loadI32(bytes.data());
            value.number = n;
            value.text = std::to_string(n);
            return std::nullopt;
        }
        case kTypeDateTime: {
            if (bytes.size() != kDateTimeBytes) return "a datetime that is not 12 bytes long";
            const unsigned year = 1900u + loadU16(bytes.data() + 4);
            const unsigned month = bytes[6] + 1u;
            const unsigned day = bytes[7];
            if (!allZero(bytes.first(4)) || !allZero(bytes.subspan(8)))
                return "a datetime with bytes the samples always had zero (a time of day?)";
            if (month > 12 || day < 1 || day > 31) return "a datetime with no valid date";
            char text[32];
            std::snprintf(text, sizeof text, "%04u-%02u-%02uT00:00:00", year, month, day);
            value.kind = ValueKind::kDateTime;
            value.text = text;
            return std::nullopt;
        }
        case kTypeDecimal: {
            if (bytes.size() != kDecimalBytes) return "a decimal that is not 16 bytes long";
            const unsigned scale = loadU16(bytes.data() + 2);
            if (loadU16(bytes.data()) != 0)
                return "a decimal whose first two bytes are not zero (a sign?)";
            // Byte 14 is 1 in two salaries of ffempdat.psr; deptemps.psr and btnrept.psr hold
            // the same employees with the same salaries and a zero there, so it does not
            // change the value. Anything else there, or in byte 15, no sample showed.
            if (bytes[kDecimalFlagByte] > 1 || bytes[kDecimalFlagByte + 1] != 0)
                return "a decimal whose byte 14 is not 0 or 1, or byte 15 not 0";
            if (scale > kMaxScale || (code >> 8) != scale)
                return "a decimal whose scale does not match its column";
            value.kind = ValueKind::kDecimal;
            value.text = decimalText(loadU32(bytes.data() + 4), loadU32(bytes.data() + 8),
                                     loadU16(bytes.data() + 12), scale);
            std::from_chars(value.text.data(), value.text.data() + value.text.size(), value.number);
            return std::nullopt;
        }
        default:
            return "type code " + std::to_string(code) + ", which no sample showed";
    }
}

struct Failure {
    std::string reason;
    std::size_t offset;
};

// Notes about undecoded values, one per column and reason, with a count.
struct UnknownTally {
    std::string first;
    std::size_t count = 0;
};

class Decoder {
  public:
    Decoder(ByteSpan bytes, std::string_view stream, const DataWindow* declared,
            const RowSink* each)
        : bytes_(bytes), stream_(stream), declared_(declared), each_(each) {}

    std::optional<Failure> run(std::size_t nameBytes, bool unicode, ReportData& out) {
        ByteReader r(bytes_, kHeaderBytes);
        const std::uint32_t count = r.readU32();
        if (!r.ok()) return Failure{"the stream ends before its column count", kHeaderBytes};
        if (count == 0) return Failure{"the stream declares no columns", kHeaderBytes};
        if (count > r.remaining() / (nameBytes + kDescriptorTail))
            return Failure{
                "the column count " + std::to_string(count) + " does not fit in the stream",
                kHeaderBytes};
        std::vector<std::size_t> at;
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::size_t offset = r.position();
            ByteSpan name = r.readBytes(nameBytes);
            DataColumn column;
            column.size = r.readU32();
            column.typeCode = r.readU16();
            std::optional<std::string> text = textOf(name, unicode);
            if (!text) return Failure{"a column name does not convert", offset};
            column.name = std::move(*text);
            if (i == 0) {
                if (!column.name.empty() || column.typeCode != kRowSlot ||
                    column.size != kRowSlotSize)
                    return Failure{"the first descriptor is not the row slot (type code " +
                                       std::to_string(column.typeCode) + ")",
                                   offset};
                continue;
            }
            at.push_back(offset);
            out.columns.push_back(std::move(column));
        }
        if (declared_ != nullptr)
            if (std::optional<Failure> f = matchDeclared(out, at)) return f;

        const std::size_t rowsAt = r.position();
        const std::uint32_t rows = r.readU32();
        if (!r.ok()) return Failure{"the stream ends before its row count", rowsAt};
        if (rows > r.remaining() / (kLengthBytes * count))
            return Failure{"the row count " + std::to_string(rows) + " does not fit in the stream",
                           rowsAt};
        if (each_ == nullptr) out.rows.reserve(rows);
        for (std::uint32_t row = 0; row < rows; ++row) {
            std::vector<DataValue> values;
            values.reserve(out.columns.size());
            for (std::uint32_t i = 0; i < count; ++i) {
                const std::size_t offset = r.position();
                const std::int32_t length = r.readI32();
                if (!r.ok())
                    return Failure{"row " + std::to_string(row + 1) + " is cut off", offset};
                if (length < -1 ||
                    (length >= 0 && static_cast<std::uint32_t>(length) > r.remaining()))
                    return Failure{"row " + std::to_string(row + 1) + ": value length " +
                                       std::to_string(length) + " does not fit in the stream",
                                   offset};
                ByteSpan value = length < 0 ? ByteSpan() : r.readBytes(length);
                if (i == 0) {
                    if (length != -1)
                        tally("the row slot", "a row slot that is not null", offset, value, out);
                    continue;
                }
                DataValue decoded;
                if (length >= 0) {
                    std::optional<std::string> why =
                        decodeValue(out.columns[i - 1].typeCode, value, unicode, decoded);
                    if (why) {
                        decoded.kind = ValueKind::kUnknown;
                        decoded.text = hexOf(value);
                        tally("column " + out.columns[i - 1].name, *why, offset, value, out);
                    }
                }
                values.push_back(std::move(decoded));
            }
            if (each_ != nullptr)
                (*each_)(out, values);
            else
                out.rows.push_back(std::move(values));
        }
        for (const auto& [key, t] : tallies_)
            out.notes.push_back(
                t.first +
                (t.count > 1 ? " (and " + std::to_string(t.count - 1) + " more like it)" : ""));
        const std::uint8_t flag = bytes_[kFlagByte];
        if (flag == 1 && r.remaining() != 0 && readArguments(r, unicode, out)) return std::nullopt;
        if (r.remaining() != 0) {
            out.trailerBytes = r.remaining();
            out.notes.push_back(
                where(stream_, r.position()) + ": " + std::to_string(r.remaining()) +
                " bytes after the last row are not decoded (header flag " + std::to_string(flag) +
                "): " + hexOf(bytes_.subspan(r.position()), kHexShown));
        } else if (flag != 0) {
            out.notes.push_back(where(stream_, kFlagByte) + ": header flag " +
                                std::to_string(flag) + " with nothing after the rows");
        }
        return std::nullopt;
    }

  private:
    // The retrieval arguments after the rows: true when they take exactly the bytes left
    // (and, with a DataWindow, are as many and of the types its table declares).
    bool readArguments(ByteReader& r, bool unicode, ReportData& out) {
        ByteReader a = r;
        const std::uint16_t count = a.readU16();
        if (!a.ok() || count == 0 || count > a.remaining() / kArgumentHead) return false;
        std::vector<std::uint16_t> declared;
        if (declared_ != nullptr && declared_->table != nullptr) {
            if (const Value* list = declared_->table->find("arguments");
                list != nullptr && list->isList)
                for (const Item& item : list->list)
                    declared.push_back(item.value.isList && item.value.list.size() == 2
                                           ? codeFor(item.value.list[1].value.text)
                                           : 0);
            if (declared.size() != count) return false;
        }
        std::vector<std::pair<std::size_t, std::string>> unknown;
        std::vector<DataValue> values;
        for (std::uint16_t i = 0; i < count; ++i) {
            const std::size_t offset = a.position();
            const std::uint8_t type = a.readU8();
            const std::uint16_t marker = a.readU16();
            const std::int32_t length = a.readI32();
            if (!a.ok() || marker != kArgumentMarker || length < -1 ||
                (length >= 0 && static_cast<std::uint32_t>(length) > a.remaining()))
                return false;
            if (!declared.empty() && declared[i] != 0 && declared[i] != type) return false;
            ByteSpan bytes = length < 0 ? ByteSpan() : a.readBytes(length);
            DataValue value;
            if (length >= 0)
                if (std::optional<std::string> why = decodeValue(type, bytes, unicode, value)) {
                    value.kind = ValueKind::kUnknown;
                    value.text = hexOf(bytes);
                    unknown.emplace_back(offset, "retrieval argument " + std::to_string(i + 1) +
                                                     ": " + *why + ", shown as hex " +
                                                     hexOf(bytes, kHexShown));
                }
            values.push_back(std::move(value));
        }
        if (a.remaining() != 0) return false;
        for (const auto& [offset, why] : unknown) {
            ++out.unknownValues;
            out.notes.push_back(where(stream_, offset) + ": " + why);
        }
        out.arguments = std::move(values);
        r = a;
        return true;
    }

    std::optional<Failure> matchDeclared(ReportData& out, const std::vector<std::size_t>& at) {
        const std::vector<TableColumn>& table = declared_->columns;
        if (table.size() != out.columns.size())
            return Failure{"the stream holds " + std::to_string(out.columns.size()) +
                               " columns, the DataWindow's table declares " +
                               std::to_string(table.size()),
                           kHeaderBytes};
        for (std::size_t i = 0; i < table.size(); ++i) {
            DataColumn& c = out.columns[i];
            if (lower(c.name) != lower(table[i].name))
                return Failure{"column " + std::to_string(i + 1) + " is stored as '" + c.name +
                                   "', the table declares '" + table[i].name + "'",
                               at[i]};
            c.declaredType = table[i].type;
            const std::uint16_t expected = codeFor(c.declaredType);
            if (expected != 0 && expected != (c.typeCode & 0xFF))
                return Failure{"column '" + c.name + "' is declared " + c.declaredType +
                                   " but stored with type code " + std::to_string(c.typeCode),
                               at[i]};
        }
        return std::nullopt;
    }

    void tally(const std::string& what, const std::string& why, std::size_t offset, ByteSpan value,
               ReportData& out) {
        ++out.unknownValues;
        UnknownTally& t = tallies_[what + ": " + why];
        if (t.count++ == 0)
            t.first = where(stream_, offset) + ": " + what + ": " + why + ", shown as hex " +
                      hexOf(value, kHexShown);
    }

    ByteSpan bytes_;
    std::string_view stream_;
    const DataWindow* declared_;
    const RowSink* each_;
    std::map<std::string, UnknownTally> tallies_;
};

bool isDigit(std::uint8_t c) {
    return c >= '0' && c <= '9';
}

}  // namespace

std::string decimalText(std::uint32_t low, std::uint32_t mid, std::uint32_t high, unsigned scale) {
    std::uint32_t words[3] = {high, mid, low};  // most significant first, for the division
    std::string digits;
    while (words[0] != 0 || words[1] != 0 || words[2] != 0) {
        std::uint64_t remainder = 0;
        for (std::uint32_t& w : words) {
            const std::uint64_t current = (remainder << 32) | w;
            w = static_cast<std::uint32_t>(current / 10);
            remainder = current % 10;
        }
        digits.push_back(static_cast<char>('0' + remainder));
    }
    while (digits.size() <= scale) digits.push_back('0');
    std::reverse(digits.begin(), digits.end());
    if (scale != 0) digits.insert(digits.size() - scale, 1, '.');
    return digits;
}

bool decodeReportData(ByteSpan bytes, std::string_view streamName, const DataWindow* declared,
                      ReportData& out, Damage& damage) {
    return decodeReportData(bytes, streamName, declared, out, damage, RowSink());
}

bool decodeReportData(ByteSpan bytes, std::string_view streamName, const DataWindow* declared,
                      ReportData& out, Damage& damage, const RowSink& each) {
    out = ReportData{};
    out.stream = std::string(streamName);
    if (bytes.size() < kHeaderBytes || bytes[0] != 'D' || bytes[1] != 'A' || bytes[2] != 'T' ||
        !isDigit(bytes[3]) || !isDigit(bytes[4]) || !isDigit(bytes[5]))
        return malformed(damage, where(streamName, 0) + ": no \"DAT\" and three version digits", 0);
    out.version.assign(bytes.begin() + 3, bytes.begin() + 6);
    const int version = std::stoi(out.version);
    out.unicode = version >= kFirstUnicodeVersion;

    std::vector<std::size_t> widths;
    for (const KnownVersion& known : kKnownVersions)
        if (out.version == known.digits) widths.push_back(known.nameBytes);
    const bool known = !widths.empty();
    // A version of no sample is tried at several widths, and a width that fails late has
    // handed rows on: its rows are kept until one width reads the whole stream.
    if (!known && each) {
        if (!decodeReportData(bytes, streamName, declared, out, damage)) return false;
        for (const std::vector<DataValue>& row : out.rows) each(out, row);
        out.rows.clear();
        return true;
    }
    if (!known) {
        if (out.unicode)
            widths.assign(std::begin(kUnicodeWidths), std::end(kUnicodeWidths));
        else
            widths.assign(std::begin(kAnsiWidths), std::end(kAnsiWidths));
    }

    std::optional<Failure> first;
    for (std::size_t width : widths) {
        ReportData attempt;
        attempt.stream = out.stream;
        attempt.version = out.version;
        attempt.unicode = out.unicode;
        std::optional<Failure> failure =
            Decoder(bytes, streamName, declared, each ? &each : nullptr)
                .run(width, out.unicode, attempt);
        if (!failure) {
            out = std::move(attempt);
            if (bytes[kHeaderBytes - 2] != 0)
                out.notes.push_back(where(streamName, kHeaderBytes - 2) +
                                    ": the byte after the version digits is not zero");
            if (!known)
                out.notes.push_back(where(streamName, 3) + ": version " + out.version +
                                    " is not among the samples (060, 090, 105); descriptor "
                                    "names were read as " +
                                    std::to_string(width) + "-byte fields");
            return true;
        }
        if (!first) first = failure;
    }
    return malformed(damage, where(streamName, first->offset) + ": " + first->reason,
                     static_cast<std::int64_t>(first->offset));
}

}  // namespace keldrin::dw
