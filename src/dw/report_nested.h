// The reports drawn inside a report: nested reports (a `report` object in a band, drawn
// once for each row of the band around it) and the children of a composite DataWindow
// (processing=5: report objects and no rows of its own).
//
// A report object names its DataWindow in `dataobject`; the report keeps that
// DataWindow's source as a child in "dwstg", and the rows it showed in
// "neststg/datanest_R_B_C" (docs/psr-data.md):
//   R  the row of the report around it, from 1 (certain: the retrieval argument each
//      stream ends with is that row's value of the object's nest_arguments)
//   B  which report object: taken as its place among the DataWindow's report objects in
//      source order, from 1 (the one sample has one object and B = 1: not certain)
//   C  1 in the one sample; not understood and not used
// Streams for reports nested two deep are not known; those are drawn without rows.
//
// Nothing here throws for a damaged report: a missing, damaged or inconsistent stream
// leaves the frame without those rows, with a note. Depth and rows are bounded.
#pragma once

#include <cstddef>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dw/dw_source.h"
#include "dw/report_data.h"
#include "psr/psr_container.h"

namespace keldrin::dw {

// Levels of reports inside reports that are drawn; deeper ones are an empty frame.
inline constexpr std::size_t kMaxNestDepth = 4;
// Report objects read on one page, at every level together; the others are an empty frame.
inline constexpr std::size_t kMaxReportObjects = 64;
// Frames and rows of nested reports drawn on one page, all levels together.
inline constexpr std::size_t kMaxNestedRowsDrawn = 200000;

struct NestName {
    std::size_t row = 0;     // R: the outer row, from 1
    std::size_t object = 0;  // B
    std::size_t third = 0;   // C
};

// "datanest_R_B_C" (without "neststg/"): three decimal numbers of at most nine digits.
std::optional<NestName> parseNestName(std::u16string_view name);

// True for a composite DataWindow (processing=5).
bool isComposite(const DataWindow& dw);

struct NestedReport {
    const Object* frame = nullptr;  // the report object, in the DataWindow around it
    std::size_t ordinal = 0;        // its place among that DataWindow's report objects, from 1
    std::string dataObject;
    std::string key;                       // the object's name, or its dataobject when it has none
    std::shared_ptr<const DataWindow> dw;  // nullptr when its source is missing or damaged
    // Its rows by the row of the report around it (from 0; a composite's children: 0).
    std::map<std::size_t, ReportData> rows;
    std::vector<std::string> streams;  // the streams its rows came from
    std::vector<NestedReport> inner;   // the report objects of `dw`, without rows
};

// The report objects of `parent` (the report's main DataWindow, `parentRows` rows), their
// DataWindows and their rows. Notes say what could not be read; false when anything was
// left out (the output is then partial).
bool loadNestedReports(PsrContainer& container, const DataWindow& parent, std::size_t parentRows,
                       std::vector<NestedReport>& out, std::vector<std::string>& notes);

// The nested report that `frame` draws, or nullptr.
const NestedReport* findNested(const std::vector<NestedReport>& reports, const Object& frame);

// The main rows as JSON (as toJson writes them) with each nested report's rows as an array
// under its key in the row they belong to (null where none were saved).
std::string toNestedJson(const ReportData& main, const std::vector<NestedReport>& nested);

// All rows of one nested report, each preceded by `parent_row` (the outer row, from 1).
ReportData nestedRowsByParent(const NestedReport& report);

}  // namespace keldrin::dw
