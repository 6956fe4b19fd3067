// A report's saved rows as text: CSV (RFC 4180: comma-separated, CRLF line ends, fields
// quoted where they hold a comma, a quote or a line break; UTF-8) or JSON (an array of
// objects, one per row, keys the column names in table order).
//
// In both, a null value is empty (CSV) or null (JSON); numbers, longs and decimals are
// JSON numbers; text and date-times are strings; a value not decoded is its hex, as a
// string, and a note says so.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "dw/report_data.h"
#include "psr/psr_container.h"

namespace keldrin::dw {

// kCsvSafe: CSV in which a field that a spreadsheet would take for a formula (one that
// starts with '=', '+', '-', '@', a tab or CR) starts with a "'" first, as OWASP's advice
// on CSV injection has it; the value is then no longer the same text.
enum class Format { kCsv, kJson, kCsvSafe };

// What writeReportData answers: every row whole, some bytes shown as hex (the notes say
// which), or nothing written (the notes say why).
inline constexpr int kDataComplete = 0;
inline constexpr int kDataFailed = 1;
inline constexpr int kDataPartial = 3;

// Where text goes piece by piece, so that a large result is never held whole.
using TextSink = std::function<void(std::string_view)>;
// What a text grows to before it is handed to its sink.
inline constexpr std::size_t kPieceBytes = std::size_t{64} << 10;

std::string toCsv(const ReportData& data, bool spreadsheetSafe = false);
std::string toJson(const ReportData& data);
// Row `row` of `data` as toJson writes it ("{...}" without line end), appended to `out`.
void appendJsonRow(std::string& out, const ReportData& data, std::size_t row);
// toCsv's and toJson's text in pieces of a bounded size, in order.
void writeCsv(const ReportData& data, bool spreadsheetSafe, const TextSink& out);
void writeJson(const ReportData& data, const TextSink& out);

// The saved rows of one DataWindow of the report in `format`, appended to `out`.
// `dwName` empty: the main DataWindow ("data"). Otherwise a stream under "neststg/"
// (its name with or without that prefix), or a child DataWindow's name, whose rows are
// the stream under "neststg/" holding its table's columns (a nested report has one such
// stream per row of the report around it: the first is written, and a note names the
// others). Notes (one line each, no newline) tell what was not decoded, or why nothing
// was. Returns kDataComplete, kDataPartial or kDataFailed; never throws for a damaged
// report.
int writeReportData(PsrContainer& container, const std::string& dwName, Format format,
                    std::string& out, std::vector<std::string>& notes);
// The same text handed to `out` in pieces as it is made.
int writeReportData(PsrContainer& container, const std::string& dwName, Format format,
                    const TextSink& out, std::vector<std::string>& notes);

// The report's main DataWindow ("source") and its rows ("data"). False with a note when
// the source cannot be read or parsed; `hasRows` false, with a note, when the rows
// cannot be read.
// A child DataWindow of the report by name ("dwstg/source_N" by "dwstg/dwlookup"); false
// with a note when the report has none by that name or its source does not parse.
bool readChildDataWindow(PsrContainer& container, const std::string& name, DataWindow& dw,
                         std::vector<std::string>& notes);

bool readMainDataWindow(PsrContainer& container, DataWindow& dw, ReportData& rows, bool& hasRows,
                        std::vector<std::string>& notes);

}  // namespace keldrin::dw
