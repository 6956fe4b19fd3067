// Fuzz target: a report's saved rows. The input is read twice: as a data stream on its
// own (decoded without and with a declared DataWindow, then written as CSV and JSON),
// and as a whole report file, whose rows are written as the tool writes them, for the
// main DataWindow, every nested stream and every child DataWindow by name, and drawn as a
// page (nested reports and composites in their frames). The input is also the
// attributes of a graph drawn over a few fixed rows, and the decoded rows are drawn by a
// graph of every type. A refusal is an answer;
// a crash, a hang or an unbounded allocation is a finding.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/exceptions.h"
#include "base/text.h"
#include "convert/report_plan.h"
#include "dw/report_data.h"
#include "dw/report_graph.h"
#include "dw/report_html.h"
#include "dw/report_output.h"
#include "fuzz_support.h"
#include "psr/psr_container_factory.h"

namespace keldrin::fuzz_report_data {

// A DataWindow with two columns, for the stream's descriptors to be checked against.
const dw::DataWindow& declaredColumns() {
    static dw::DataWindow declared;
    static const bool parsed = [] {
        Damage error;
        return dw::parseDataWindow(
            u"release 6;\r\ntable(column=(type=char(10) name=id) column=(type=number name=n) )",
            declared, error);
    }();
    (void)parsed;
    return declared;
}

// A graph of each type over the rows' first two columns, whatever their names.
void drawEveryType(const dw::ReportData& rows) {
    if (rows.columns.size() < 2) return;
    const std::u16string a = utf8ToUtf16(rows.columns[0].name);
    const std::u16string b = utf8ToUtf16(rows.columns[1].name);
    std::u16string attributes = u"\" category=\"";
    attributes += a;
    attributes += u"\" series=\"";
    attributes += b;
    attributes += u"\" values=\"count(";
    attributes += a;
    attributes += u" for graph) + sum(";
    attributes += b;
    attributes += u" for graph)\" legend=\"1\" title=\"t\")";
    for (int type = 0; type <= 18; ++type) {
        dw::DataWindow dw;
        Damage error;
        const std::u16string text =
            u"release 6;\r\ngraph(graphtype=\"" + utf8ToUtf16(std::to_string(type)) + attributes;
        if (!dw::parseDataWindow(text, dw, error) || dw.objects.empty()) continue;
        std::string why;
        (void)dw::graphSvg(dw.objects[0], &rows, 0, rows.rows.size(), 300, 200, why);
    }
}

// The input as a graph's attributes, over three fixed rows.
void graphFromInput(const std::uint8_t* data, std::size_t size) {
    static const dw::ReportData rows = [] {
        dw::ReportData r;
        r.columns = {{"id", 11, 1, "char(10)"}, {"n", 8, 2, "number"}};
        for (int i = 0; i < 3; ++i)
            r.rows.push_back({dw::DataValue{dw::ValueKind::kText, i == 1 ? "b" : "a", 0},
                              dw::DataValue{dw::ValueKind::kNumber, std::to_string(i), 1.0 * i}});
        return r;
    }();
    std::optional<std::u16string> attributes =
        decodeAnsi(ByteSpan(data, std::min<std::size_t>(size, 8192)));
    if (!attributes) return;
    dw::DataWindow dw;
    Damage error;
    if (!dw::parseDataWindow(u"release 6;\r\ngraph(" + *attributes + u")", dw, error) ||
        dw.objects.empty())
        return;
    std::string why;
    (void)dw::graphSvg(dw.objects[0], &rows, 0, rows.rows.size(), 300, 200, why);
}

void decodeStream(const std::uint8_t* data, std::size_t size) {
    for (const dw::DataWindow* with :
         {static_cast<const dw::DataWindow*>(nullptr), &declaredColumns()}) {
        dw::ReportData rows;
        Damage damage;
        if (!dw::decodeReportData(ByteSpan(data, size), "data", with, rows, damage)) continue;
        (void)dw::toCsv(rows);
        (void)dw::toJson(rows);
        drawEveryType(rows);
    }
    graphFromInput(data, size);
}

void writeReport(const std::uint8_t* data, std::size_t size) {
    const std::u16string name = fuzz::writeInput(data, size, "rows.psr");
    std::shared_ptr<PsrContainer> report;
    try {
        report = PsrContainerFactory::instance().openPsr(name);
    } catch (const NotFoundException&) {
        return;
    } catch (const NotSupportedFormatException&) {
        return;
    } catch (const IOException&) {
        return;
    }
    std::vector<std::string> names = {""};
    try {
        for (const PsrStreamInfo& stream : report->listStreams()) {
            names.push_back(utf16ToUtf8(stream.path));
            if (names.size() > 64) break;
        }
    } catch (const IOException&) {
    }
    // The child DataWindows by name: a nested report's rows are gathered from all its
    // streams.
    try {
        ReportPlan plan;
        Bytes buffer;
        readPlanDataWindows(*report, buffer, plan);
        for (const PlannedDataWindow& child : plan.children())
            if (names.size() < 96) names.push_back(utf16ToUtf8(child.name));
    } catch (const NotFoundException&) {
    } catch (const NotSupportedFormatException&) {
    } catch (const IOException&) {
    }
    for (const std::string& dw : names) {
        std::string out;
        std::vector<std::string> notes;
        (void)dw::writeReportData(*report, dw, dw::Format::kJson, out, notes);
    }
    std::string page;
    std::vector<std::string> notes;
    (void)dw::writeReportHtml(*report, page, notes);
}

void run(const std::uint8_t* data, std::size_t size) {
    decodeStream(data, size);
    writeReport(data, size);
}

}  // namespace keldrin::fuzz_report_data

extern "C" int KELDRIN_FUZZ_ENTRY(const std::uint8_t* data, std::size_t size) {
    keldrin::fuzz_report_data::run(data, size);
    return 0;
}
