// The rows a report saved beside its DataWindows: the "data" stream for the main
// DataWindow, "neststg/..." streams for drop-down children and nested reports. The
// layout was worked out from PowerBuilder's own reports; docs/psr-data.md says how, and
// how sure each field is.
//
//   header        "DAT" + three version digits ("060", "090", "105"), a zero byte, a flag
//                 byte (1 where retrieval arguments follow the rows, else 0)
//   count (u32)   column descriptors, the first of them a row slot with no name
//   descriptors   name (a fixed field: 41 bytes for 060, 262 bytes for 090, 262 UTF-16
//                 units for 105; zero-padded) | size (u32) | type code (u16)
//   rows (u32)    row count
//   rows          per row, one value per descriptor: length (i32; -1 is null) | bytes
//   arguments     when the flag is 1: the retrieval arguments the rows were retrieved with,
//                 count (u16) | per argument: type code (u8) | ff ff | length (i32) | bytes;
//                 anything else after the rows is shown as hex (trailerBytes)
//
// Values by type code (low byte; the high byte of a decimal's code is its scale):
//   1  char      text with its terminator (code page, or UTF-16 from 105 on)
//   2  number    8-byte IEEE double
//   3  datetime  12 bytes: 4 unknown (zero) | year - 1900 (u16) | month 0..11 | day |
//                4 bytes, zero in every sample (the time of day, order unknown)
//   10 decimal   16 bytes: 2 unknown (zero) | scale (u16) | 80-bit magnitude | a byte
//                that is 0 or 1 and leaves the value as it is (the same employees' salaries
//                in other reports say so) | zero
//   12 long      i32
//   16           the row slot: null in every row of every sample
// Anything else, or any of these with bytes the samples never showed, comes out as hex
// with a note, and the result is partial.
//
// The reader never throws: a stream that does not follow the layout gives a reason that
// names the stream and the byte offset. Counts and lengths are checked against the bytes
// left before anything is allocated.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "base/bytes.h"
#include "dw/dw_source.h"
#include "psr/report_damage.h"

namespace keldrin::dw {

enum class ValueKind { kNull, kText, kNumber, kLong, kDecimal, kDateTime, kUnknown };

struct DataValue {
    ValueKind kind = ValueKind::kNull;
    // UTF-8 text; numbers in their shortest exact decimal form, decimals with all their
    // stored digits, date-times as "YYYY-MM-DDTHH:MM:SS", unknown values as hex.
    std::string text;
    double number = 0;  // kNumber, kLong and kDecimal
};

// The storage of the drop-down children's and nested reports' saved rows.
inline constexpr char16_t kNestedStorage[] = u"neststg/";

struct DataColumn {
    std::string name;
    std::uint32_t size = 0;  // as the descriptor gives it (char: length + terminator)
    std::uint16_t typeCode = 0;
    std::string declaredType;  // from the DataWindow's table; empty without one
};

struct ReportData {
    std::string stream;   // "data", "neststg/datadddw_0_5_0"
    std::string version;  // the three digits of the header
    bool unicode = false;
    std::vector<DataColumn> columns;  // the row slot left out
    std::vector<std::vector<DataValue>> rows;
    // The retrieval arguments saved after the rows, in order, with their type codes.
    std::vector<DataValue> arguments;
    std::vector<std::string> notes;  // every byte not decoded with confidence, and where
    std::size_t unknownValues = 0;
    std::size_t trailerBytes = 0;  // bytes after the rows not read as arguments

    bool partial() const { return !notes.empty(); }
};

// Decodes one stream. `declared`, when given, is the DataWindow the rows belong to: the
// stored column names must be its table's, in order, and stored types its declared ones.
// False with `damage` (offset: within the stream) when the stream cannot be read as rows.
bool decodeReportData(ByteSpan bytes, std::string_view streamName, const DataWindow* declared,
                      ReportData& out, Damage& damage);

// Each row as it is decoded, with the columns it has (`out.rows` stays empty).
using RowSink = std::function<void(const ReportData& data, const std::vector<DataValue>& row)>;
// The same, every row handed to `each` rather than kept: memory stays that of one row.
// Rows may have been handed on before the stream turns out not to be rows (false).
bool decodeReportData(ByteSpan bytes, std::string_view streamName, const DataWindow* declared,
                      ReportData& out, Damage& damage, const RowSink& each);

// The decimal text of a 96-bit magnitude (three words, lowest first) with `scale` digits
// after the point: (45700000, 0, 0, 3) gives "45700.000".
std::string decimalText(std::uint32_t low, std::uint32_t mid, std::uint32_t high, unsigned scale);

}  // namespace keldrin::dw
