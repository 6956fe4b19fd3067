// keldrin-pbl's report commands: `report` shows what a saved report holds without
// converting it, and `add-report` puts its DataWindows into an existing library, beside
// what the library already holds. Both follow the converter's report plan
// (convert/report_plan.h), so what they show and add is what a conversion would write.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "pbltool/report.h"

#include "base/exceptions.h"
#include "base/text.h"
#include "convert/report_plan.h"
#include "pbltool/commands.h"
#include "pbltool/text.h"
#include "psr/psr_container.h"
#include "psr/psr_container_factory.h"
#include "psr/report_damage.h"

namespace keldrin::tool {

std::string describeReportDamage(const Damage& damage) {
    return escapeControls(describe(damage));
}

std::shared_ptr<PsrContainer> openReport(const std::u16string& path) {
    Damage why;
    const std::string shown = displayPath(path);
    try {
        return PsrContainerFactory::instance().openPsr(path, why);
    } catch (const NotFoundException&) {
        throw ToolFailure{shown + ": no such file"};
    } catch (const NotSupportedFormatException&) {
        throw ToolFailure{shown + ": not a saved report" +
                          (why.found() ? ": " + describeReportDamage(why) : std::string())};
    } catch (const IOException&) {
        if (why.found())
            throw ToolFailure{shown + ": damaged report: " + describeReportDamage(why)};
        throw ToolFailure{shown + ": cannot be read"};
    }
}

namespace {

// What went wrong in a step after the report opened: the reader's reason, or what the
// exception alone says.
std::string failureOf(const PsrContainer& container, const char* kind) {
    Damage damage = container.lastProblem();
    return damage.found() ? describeReportDamage(damage) : std::string(kind);
}

template <typename Step>
bool attempt(const PsrContainer& container, std::string& problem, Step step) {
    try {
        step();
        return true;
    } catch (const NotFoundException&) {
        problem = failureOf(container, "a stream is missing");
    } catch (const NotSupportedFormatException&) {
        problem = failureOf(container, "a structure is not understood");
    } catch (const IOException&) {
        problem = failureOf(container, "a stream cannot be read");
    }
    return false;
}

// Everything `report` shows, gathered before anything is printed; what could not be
// read is left out and `problem` says why (the first failure, where there are several).
struct ReportFacts {
    std::string container;
    ReportPlan plan;
    bool dataWindowsRead = false;
    std::vector<PsrStreamInfo> streams;
    std::string problem;
};

ReportFacts inspect(PsrContainer& report) {
    ReportFacts facts;
    facts.container = utf16ToUtf8(report.formatDescription());
    const auto step = [&](auto body) {
        std::string problem;
        const bool done = attempt(report, problem, body);
        if (!done && facts.problem.empty()) facts.problem = std::move(problem);
        return done;
    };
    Bytes bytes;
    step([&] { readPlanVersion(report, bytes, facts.plan); });
    facts.dataWindowsRead = step([&] { readPlanDataWindows(report, bytes, facts.plan); });
    if (!step([&] { facts.streams = report.listStreams(); })) return facts;
    // Every stream is read once, so that damage in one the plan does not name (the rows,
    // a nested report's) is found as well.
    for (const PsrStreamInfo& stream : facts.streams)
        if (!step([&] { report.readStream(stream.path, bytes); })) break;
    return facts;
}

void printReport(ToolContext& context, const ReportFacts& facts, bool json) {
    const ReportPlan& plan = facts.plan;
    const std::string encoding = plan.dataWindows.empty() ? std::string()
                                 : plan.unicodeText       ? "Unicode (UTF-16LE)"
                                                          : "ANSI";
    const std::string mainDw =
        plan.dataWindows.empty() ? std::string() : utf16ToUtf8(plan.dataWindows[0].name);
    const std::string version = utf16ToUtf8(plan.versionText);
    Output& out = context.out;
    if (json) {
        std::vector<JsonObject> children;
        for (const PlannedDataWindow& child : plan.children())
            children.push_back(
                JsonObject().text("name", utf16ToUtf8(child.name)).number("stream", *child.number));
        std::vector<JsonObject> streams;
        for (const PsrStreamInfo& stream : facts.streams)
            streams.push_back(JsonObject()
                                  .text("path", utf16ToUtf8(stream.path))
                                  .number("size", static_cast<std::int64_t>(stream.size)));
        JsonObject object;
        object.text("container", facts.container).text("encoding", encoding);
        object.text("version", version).text("main_dw", mainDw);
        object.array("child_dws", children).array("streams", streams);
        if (!facts.problem.empty()) object.text("damage", facts.problem);
        writeJson(out, object);
        return;
    }
    out.line("container: " + facts.container);
    if (!encoding.empty()) out.line("encoding: " + encoding);
    if (!version.empty()) out.line("PowerBuilder: " + escapeControls(version));
    if (!mainDw.empty()) out.line("main DW: " + escapeControls(mainDw));
    if (facts.dataWindowsRead) out.line("child DWs: " + std::to_string(plan.children().size()));
    for (const PlannedDataWindow& child : plan.children())
        out.line("  " + escapeControls(utf16ToUtf8(child.name)) + "\tstream " +
                 std::to_string(*child.number));
    if (!facts.streams.empty()) out.line("streams:");
    for (const PsrStreamInfo& stream : facts.streams)
        out.line("  " + escapeControls(utf16ToUtf8(stream.path)) + "\t" +
                 std::to_string(stream.size));
}

// One entry add-report writes.
struct NewEntry {
    std::u16string name;
    Bytes data;
};

}  // namespace

void runReport(ToolContext& context, const ParsedArgs& args) {
    const std::u16string& path = args.positional[0];
    std::shared_ptr<PsrContainer> report = openReport(path);
    ReportFacts facts = inspect(*report);
    printReport(context, facts, args.has("--json"));
    if (!facts.problem.empty()) {
        context.note(displayPath(path) + ": damaged: " + facts.problem);
        context.exitCode = kPblToolFailed;
    }
}

void runAddReport(ToolContext& context, const ParsedArgs& args) {
    const std::u16string& libraryPath = args.positional[0];
    const std::u16string& reportPath = args.positional[1];
    const bool replace = args.has("--replace");

    // The whole report is read before the library opens: a damaged report changes nothing.
    std::shared_ptr<PsrContainer> report = openReport(reportPath);
    ReportPlan plan;
    std::vector<NewEntry> entries;  // two for each planned DataWindow, in its order
    std::string problem;
    bool read = attempt(*report, problem, [&] {
        plan = readReportPlan(*report);
        for (const PlannedDataWindow& dw : plan.dataWindows) {
            entries.push_back({dw.name + u".srd", {}});
            report->readStream(dw.sourceStream, entries.back().data);
            entries.push_back({dw.name + u".dwo", {}});
            report->readStream(dw.objectStream, entries.back().data);
        }
    });
    if (!read) throw ToolFailure{displayPath(reportPath) + ": damaged: " + problem};

    // One DataWindow twice is kept once; two that the library cannot tell apart would
    // lose one of them, so the report is refused, as the converter refuses it.
    std::vector<NewEntry> unique;
    for (std::size_t i = 0; i < plan.dataWindows.size(); ++i) {
        const std::optional<std::size_t> earlier = plan.dataWindows[i].sameNamesAs;
        for (std::size_t k = 2 * i; k < 2 * i + 2; ++k) {
            if (!earlier)
                unique.push_back(std::move(entries[k]));
            else if (entries[k].data != entries[2 * *earlier + k - 2 * i].data)
                throw ToolFailure{displayPath(reportPath) +
                                  ": two DataWindows that a library cannot tell apart: " +
                                  escapeControls(utf16ToUtf8(entries[k].name))};
        }
    }

    OpenLibrary lib = context.open(libraryPath, true);
    refuseHosted(lib);
    const bool needsUnicode = plan.needsUnicodeLibrary();
    if ((lib->isUnicode() != 0) != needsUnicode)
        throw ToolFailure{displayPath(reportPath) + ": saved by PowerBuilder " +
                          escapeControls(utf16ToUtf8(plan.versionText)) + ", it needs " +
                          (needsUnicode ? "a Unicode" : "an ANSI") + " library; " +
                          displayPath(libraryPath) + " is " +
                          (lib->isUnicode() != 0 ? "Unicode" : "ANSI")};

    // Every name is checked before the first one is written.
    std::vector<std::string> present;
    for (const NewEntry& entry : unique) {
        pbl::PblEntryInfo info{};
        int code = lib->findEntry(entry.name, info, 0);
        const std::string shown = escapeControls(utf16ToUtf8(entry.name));
        if (code == pbl::kPblInvalidArgument)
            throw ToolFailure{shown + ": the library cannot hold this name"};
        if (code == pbl::kPblOk)
            present.push_back(shown);
        else if (code != pbl::kPblNotFound)
            lib.check(code, shown);
    }
    if (!present.empty() && !replace) {
        std::string names;
        for (const std::string& name : present) names += (names.empty() ? "" : ", ") + name;
        throw ToolFailure{displayPath(libraryPath) + " already holds " + names +
                          " (--replace replaces them)"};
    }

    for (const NewEntry& entry : unique) {
        const std::string shown = escapeControls(utf16ToUtf8(entry.name));
        if (entry.data.size() > pbl::PblLibrary::maxEntryBytes())
            throw ToolFailure{shown + ": too large for a library entry"};
        // No time: the entry is stamped with the current time, as the converter's are.
        lib.check(lib->putEntry(entry.name, {}, entry.data), shown);
    }
    lib.close();
    for (const NewEntry& entry : unique) context.out.line(escapeControls(utf16ToUtf8(entry.name)));
}

}  // namespace keldrin::tool
