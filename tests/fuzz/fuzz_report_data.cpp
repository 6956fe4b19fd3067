// Fuzz target: a report's saved rows. The input is read twice: as a data stream on its
// own (decoded without and with a declared DataWindow, then written as CSV and JSON),
// and as a whole report file, whose rows are written as the tool writes them, for the
// main DataWindow, every nested stream and every child DataWindow by name, and drawn as a
// page (nested reports and composites in their frames). A refusal is an answer;
// a crash, a hang or an unbounded allocation is a finding.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "base/exceptions.h"
#include "base/text.h"
#include "convert/report_plan.h"
#include "dw/report_data.h"
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

void decodeStream(const std::uint8_t* data, std::size_t size) {
    for (const dw::DataWindow* with :
         {static_cast<const dw::DataWindow*>(nullptr), &declaredColumns()}) {
        dw::ReportData rows;
        Damage damage;
        if (!dw::decodeReportData(ByteSpan(data, size), "data", with, rows, damage)) continue;
        (void)dw::toCsv(rows);
        (void)dw::toJson(rows);
    }
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
