// keldrin-pbl salvage: everything readable of a damaged library into a new one, and a
// report of what came over and what was lost, with offsets. Exit 0 when nothing was
// lost, 1 when something was (the new library is written all the same) or when the
// salvage failed (a message on the error stream, OUT untouched), 2 for a bad command line.
#include <optional>
#include <string>
#include <vector>

#include "base/file.h"
#include "pbl/journal.h"
#include "pbl/salvage.h"
#include "pbltool/commands.h"
#include "pbltool/files.h"
#include "pbltool/text.h"

namespace keldrin::tool {
namespace {

void failed(int code, const std::u16string& path, const std::u16string& target) {
    switch (code) {
        case pbl::kPblBusy:
            throw ToolFailure{displayPath(path) + ": " + pbl::resultText(code)};
        case pbl::kPblDamaged:
            throw ToolFailure{displayPath(path) +
                              ": neither a library header nor a directory node anywhere in the "
                              "file; nothing to salvage"};
        case pbl::kPblInvalidArgument:
            throw ToolFailure{displayPath(target) +
                              ": is the library itself; salvage writes a new library"};
        case pbl::kPblWriteFailed:
            throw ToolFailure{displayPath(target) +
                              ": cannot write the new library; it is unchanged"};
        default:
            throw ToolFailure{displayPath(path) + ": cannot read the file"};
    }
}

bool libraryDataLost(const pbl::SalvageReport& report) {
    for (const pbl::SalvageFinding& finding : report.lost)
        if (finding.kind == "library-data" || finding.kind == "header") return true;
    return false;
}

std::vector<JsonObject> findingsJson(const std::vector<pbl::SalvageFinding>& findings) {
    std::vector<JsonObject> rows;
    for (const pbl::SalvageFinding& finding : findings) {
        JsonObject row;
        row.text("kind", finding.kind)
            .number("offset", finding.offset)
            .text("entry", finding.entry)
            .text("detail", finding.detail);
        rows.push_back(std::move(row));
    }
    return rows;
}

void printJson(ToolContext& context, const pbl::SalvageReport& report, const std::u16string& path,
               const std::u16string& target) {
    std::vector<JsonObject> recovered;
    for (const pbl::SalvagedEntry& entry : report.recovered) {
        JsonObject row;
        row.text("name", entry.name)
            .number("offset", entry.offset)
            .number("data_size", entry.dataSize)
            .number("comment_size", entry.commentSize)
            .number("time", entry.time)
            .text("found_by", entry.scanned ? "scan" : "directory");
        recovered.push_back(std::move(row));
    }
    JsonObject out;
    out.text("library", displayPath(path))
        .text("output", displayPath(target))
        .text("variant", report.unicode ? "unicode" : "ansi")
        .text("header_version", report.headerVersion)
        .text("comment", report.commentRecovered ? "recovered" : "lost")
        .number("comment_size", report.commentBytes)
        .text("library_data", report.libraryDataRecovered ? "recovered"
                              : libraryDataLost(report)   ? "lost"
                                                          : "none")
        .number("library_data_size", report.libraryDataBytes)
        .array("recovered", recovered)
        .array("lost", findingsJson(report.lost))
        .array("notes", findingsJson(report.notes));
    writeJson(context.out, out);
}

void printText(ToolContext& context, const pbl::SalvageReport& report,
               const std::u16string& target) {
    for (const pbl::SalvagedEntry& entry : report.recovered)
        context.out.line("recovered " + escapeControls(entry.name) + " (" +
                         std::to_string(entry.dataSize) + " bytes, record at offset " +
                         std::to_string(entry.offset) +
                         (entry.scanned ? ", found by scanning)" : ")"));
    if (report.commentRecovered && report.commentBytes > 0)
        context.out.line("recovered library comment (" + std::to_string(report.commentBytes) +
                         " bytes)");
    if (report.libraryDataRecovered)
        context.out.line("recovered library data (" + std::to_string(report.libraryDataBytes) +
                         " bytes)");
    for (const pbl::SalvageFinding& finding : report.lost)
        context.out.line("lost " + escapeControls(pbl::describeSalvageFinding(finding)));
    for (const pbl::SalvageFinding& finding : report.notes)
        context.out.line("note " + escapeControls(pbl::describeSalvageFinding(finding)));
    const std::size_t entries = report.recovered.size();
    const std::size_t losses = report.lost.size();
    context.out.line(std::to_string(entries) + (entries == 1 ? " entry" : " entries") +
                     " recovered, " + std::to_string(losses) + (losses == 1 ? " loss" : " losses") +
                     "; written to " + displayPath(target));
}

}  // namespace

void runSalvage(ToolContext& context, const ParsedArgs& args) {
    const std::u16string& path = args.positional[0];
    const std::u16string& target = args.positional[1];
    if (!fs::fileExists(path)) throw ToolFailure{displayPath(path) + ": no such file"};
    // The damaged file is never written, so it can never be its own salvage.
    if (fs::sameFile(path, target))
        throw ToolFailure{displayPath(target) +
                          ": is the library itself; salvage writes a new library"};
    requireDirectoryOf(target);
    const std::optional<OpenLibrary> previous = holdLibraryToReplace(target, context.lockWaitMs);
    // Salvage reads the file as it lies and never plays a journal back (that would
    // write LIB): a change that was cut short may show in what it finds.
    if (fs::fileExists(pbl::journal::pathFor(path)))
        context.note(displayPath(pbl::journal::pathFor(path)) +
                     ": an interrupted change left this journal; LIB is read as it lies. Open "
                     "the library once with keldrin-pbl (e.g. keldrin-pbl ls) to roll the "
                     "change back first, unless that fails");

    pbl::SalvageReport report;
    const int code = pbl::salvageLibrary(path, target, context.lockWaitMs, report);
    if (code != pbl::kPblOk) failed(code, path, target);
    if (!report.lost.empty()) context.exitCode = kPblToolFailed;
    if (args.has("--json"))
        printJson(context, report, path, target);
    else
        printText(context, report, target);
}

}  // namespace keldrin::tool
