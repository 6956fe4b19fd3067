// keldrin-pbl's way into a saved report's content: its rows as CSV or JSON, and its main
// DataWindow drawn as one HTML page (the readers and the drawing live in src/dw).
//
// A report that is read only in part is still shown in full as far as it goes: every
// value not decoded comes out as hex, a note on the error stream says where, and the
// exit code (3) tells a script that the output is not the whole report.
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/file.h"
#include "base/path.h"
#include "base/text.h"
#include "dw/report_html.h"
#include "dw/report_output.h"
#include "pbltool/commands.h"
#include "pbltool/files.h"
#include "pbltool/report.h"
#include "pbltool/text.h"
#include "psr/psr_container.h"

namespace keldrin::tool {
namespace {

// What the command returns when it printed everything it could decode but not all.
constexpr int kReportPartial = dw::kDataPartial;

// The notes on the error stream; a failure also says what the container found wrong.
void printNotes(const ToolContext& context, const PsrContainer& report, const std::string& shown,
                const std::vector<std::string>& notes, bool failed) {
    for (const std::string& note : notes) context.note(shown + ": " + escapeControls(note));
    if (!failed) return;
    const Damage damage = report.lastProblem();
    if (damage.found()) context.note(shown + ": " + describeReportDamage(damage));
}

dw::Format parseFormat(const std::optional<std::u16string>& value) {
    if (!value || *value == u"csv") return dw::Format::kCsv;
    if (*value == u"json") return dw::Format::kJson;
    throw UsageFailure{"--format must be csv or json"};
}

void writeRows(ToolContext& context, PsrContainer& report, const std::string& shown,
               dw::Format format, const std::string& dwName) {
    std::vector<std::string> notes;
    // Row by row to the output: the text of millions of rows is never held whole.
    const int status = dw::writeReportData(
        report, dwName, format, [&](std::string_view piece) { context.out.write(piece); }, notes);
    printNotes(context, report, shown, notes, status == dw::kDataFailed);
    if (status == dw::kDataFailed)
        context.exitCode = kPblToolFailed;
    else if (status == dw::kDataPartial)
        context.exitCode = kReportPartial;
}

// The page goes to a temporary name beside the target and then takes its place in one
// rename, so the target is either as it was or the whole page.
// The page is written in pieces as it is drawn; the temporary file is made with the first
// piece, so a report that cannot be drawn leaves nothing behind.
void writePage(ToolContext& context, PsrContainer& report, const std::u16string& path,
               const std::u16string& target, std::size_t rowLimit) {
    const std::string shown = displayPath(path);
    std::vector<std::string> notes;
    const std::string fileName = displayPath(path::fileName(path));
    fs::ReplacementFile file;
    bool created = false;
    const auto write = [&](std::string_view piece) {
        if (!created) {
            requireDirectoryOf(target);
            createReplacement(file, target, u"html");
            created = true;
        }
        writeReplacement(
            file, std::span(reinterpret_cast<const std::uint8_t*>(piece.data()), piece.size()));
    };
    const int status = dw::writeReportHtml(report, write, notes, fileName, rowLimit);
    printNotes(context, report, shown, notes, status == dw::kDataFailed);
    if (status == dw::kDataFailed) {
        context.exitCode = kPblToolFailed;
        return;
    }
    commitReplacement(file, fs::Replace::kYes, fs::Durability::kFull, "cannot write the file");
    if (status == dw::kDataPartial) context.exitCode = kReportPartial;
}

}  // namespace

void runReportView(ToolContext& context, const ParsedArgs& args) {
    const bool data = args.has("--data");
    const std::optional<std::u16string> html = args.value("--html");
    if (data && html) throw UsageFailure{"give --data or --html, not both"};
    if (!html && args.has("--all-rows")) throw UsageFailure{"--all-rows goes with --html"};
    if (!data && (args.has("--format") || args.has("--dw") || args.has("--csv-safe")))
        throw UsageFailure{"--format, --dw and --csv-safe go with --data"};
    if (!data && !html) {
        runReport(context, args);
        return;
    }
    if (args.has("--json")) throw UsageFailure{"--json does not go with --data or --html"};
    if (html && html->empty()) throw UsageFailure{"--html needs a file name"};

    dw::Format format = parseFormat(args.value("--format"));
    if (args.has("--csv-safe")) {
        if (format != dw::Format::kCsv) throw UsageFailure{"--csv-safe goes with CSV, not JSON"};
        format = dw::Format::kCsvSafe;
    }
    std::string dwName;
    if (auto name = args.value("--dw")) {
        if (hasUnpairedSurrogate(*name)) throw UsageFailure{"--dw: not a valid name"};
        dwName = utf16ToUtf8(*name);
    }

    const std::u16string& path = args.positional[0];
    const std::string shown = displayPath(path);
    // The page would take the report's place, and the report would be gone.
    if (html && fs::sameFile(path, *html))
        throw ToolFailure{displayPath(*html) + ": is the report itself"};
    std::shared_ptr<PsrContainer> report = openReport(path);
    if (data)
        writeRows(context, *report, shown, format, dwName);
    else
        writePage(context, *report, path, *html,
                  args.has("--all-rows") ? SIZE_MAX : dw::kRowsDrawn);
}

}  // namespace keldrin::tool
