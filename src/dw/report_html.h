// A report drawn as one self-contained HTML page (no script, no reference outside the
// file): its bands in PowerBuilder's order, its objects at their places, the saved rows
// in the detail band.
//
// Units: a DataWindow's coordinates are in its `units`:
//   0  PowerBuilder units, defined on a 96 DPI screen by the system font's average
//      character (7 x 16 pixels): 1/32 of its width across and 1/64 of its height down,
//      so pixels = x * 7 / 32 across and y / 4 down (PowerBuilder rounds to the nearest)
//   1  pixels
//   2  1/1000 inch: pixels = v * 96 / 1000
//   3  1/1000 cm:   pixels = v * 96 / 2540
// Font heights below zero are points (CSS pt), above zero the DataWindow's units down.
//
// Colours are PowerBuilder's integers: 0x00BBGGRR for a colour of its own; 536870912
// (and every value with 0x20 in its top byte) is transparent; 1073741824 the window
// background (white), 33554432 the window text (black), 67108864 the button face
// (silver), 134217728 the application workspace (grey); with those flags the low bytes
// are not used.
//
// Bands: header, then per row the group headers whose group changes, the detail and the
// group trailers whose group ends, then summary and footer; everything as one page.
// Computed fields show a column, a literal, sum/count/avg/min/max of a column over the
// group or all rows, today()/now() as left empty (the page has no clock), or
// "Page 1 of 1"; any other expression is left empty with the expression as the field's
// title (a tooltip). Graphs are drawn as inline SVG (dw/report_graph.h); one that cannot
// be drawn keeps its frame and title, with a note saying why.
#pragma once

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dw/dw_source.h"
#include "dw/report_data.h"
#include "dw/report_output.h"
#include "psr/psr_container.h"

namespace keldrin::dw {

// Pixels for a coordinate across (`across`) or down in the DataWindow's units.
int toPixels(long value, int units, bool across);

// A PowerBuilder colour as CSS ("#rrggbb" or "transparent").
std::string cssColor(long value);

// Text made safe for HTML and SVG content and for double-quoted attribute values.
std::string escapeHtml(std::string_view text);

// The rows of drop-down DataWindows by the id of the column that shows them.
using DropDownRows = std::map<long, ReportData>;

// How a DataWindow is drawn without rows, as its preview shows it.
struct PageOptions {
    // Every group's header and trailer and one detail band, with no row in them.
    bool emptyRow = false;
    // Column objects as empty edit fields of their size.
    bool editFields = false;
    // What a nested report object (kind "report") holds inside its frame: the HTML of
    // its DataWindow's element, or nullopt for the frame with its name alone.
    std::function<std::optional<std::string>(const Object&)> nested;
};

struct NestedReport;  // dw/report_nested.h

// The page for `dw` with its rows (nullptr: no rows). A column with a drop-down
// DataWindow whose rows are in `dropDowns` shows the display value of the drop-down row
// holding its value; a column with a code table ("values" in the table, shown as radio
// buttons, a drop-down list or with edit.codetable=yes) shows the display text of its
// value.
// The reports in `nested` are drawn in their frames (report objects); a note goes to
// `notes` when there were more of their rows than a page draws.
std::string renderHtml(const DataWindow& dw, const ReportData* rows, const std::string& title,
                       const DropDownRows* dropDowns = nullptr,
                       const std::vector<NestedReport>* nested = nullptr,
                       std::vector<std::string>* notes = nullptr);
// The page for `dw` drawn as `options` say, without rows.
std::string renderHtml(const DataWindow& dw, const std::string& title, const PageOptions& options);
// The DataWindow's own element (the "dw" block, without the page around it), to be drawn
// inside another DataWindow's frame.
std::string renderElement(const DataWindow& dw, const PageOptions& options);

// The detail rows a report's page draws unless asked for all: a page of millions of rows
// is gigabytes that no browser opens. Group, summary and footer totals still count every
// row, and the page says how many rows it left out.
inline constexpr std::size_t kRowsDrawn = 10000;

// The report's main DataWindow as a page titled `title` (UTF-8), appended to `out`;
// status as writeReportData's (kDataComplete, kDataPartial when rows could not all be
// decoded, kDataFailed). At most `rowLimit` detail rows are drawn.
int writeReportHtml(PsrContainer& container, std::string& out, std::vector<std::string>& notes,
                    const std::string& title = "report", std::size_t rowLimit = kRowsDrawn);
// The same page handed to `out` in pieces as it is drawn; nothing is handed on when the
// report fails (kDataFailed).
int writeReportHtml(PsrContainer& container, const TextSink& out, std::vector<std::string>& notes,
                    const std::string& title, std::size_t rowLimit);

}  // namespace keldrin::dw
