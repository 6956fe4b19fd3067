// keldrin-pbl's report commands: `report` shows what a saved report holds without
// converting it, and `add-report` puts its DataWindows into an existing library, beside
// what the library already holds. Both read the report through the same container
// factory and extraction (version, child list, main name) as the converter, so what they
// show and add is what a conversion would write.
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "app/pbl_tool_report.h"

#include "app/pbl_tool_commands.h"
#include "app/pbl_tool_text.h"
#include "base/exceptions.h"
#include "base/text.h"
#include "psr/ole_psr_container.h"
#include "psr/portable_psr_container.h"
#include "psr/psr_container.h"
#include "psr/psr_container_factory.h"
#include "psr/report_damage.h"

namespace keldrin::tool {

Damage reportDamageOf(const PsrContainer& container) {
    if (const auto* ole = dynamic_cast<const OlePsrContainer*>(&container))
        return ole->lastProblem();
    if (const auto* portable = dynamic_cast<const PortablePsrContainer*>(&container))
        return portable->lastProblem();
    return {};
}

std::string describeReportDamage(const Damage& damage) {
    return escapeControls(describe(damage));
}

namespace {

// An opened report, or ToolFailure saying why it cannot be opened.
std::shared_ptr<PsrContainer> openReport(const std::u16string& path) {
    Damage why;
    std::string shown = displayPath(path);
    try {
        return PsrContainerFactory::instance().openPsr(path, why);
    } catch (const NotFoundException&) {
        throw ToolFailure{shown + ": no such file"};
    } catch (const NotSupportedFormatException&) {
        throw ToolFailure{shown + ": not a saved report" +
                          (why.found() ? ": " + describeReportDamage(why) : std::string())};
    } catch (const IOException&) {
        throw ToolFailure{shown + ": cannot be read" +
                          (why.found() ? ": " + describeReportDamage(why) : std::string())};
    }
}

// What went wrong in a step after the report opened: the reader's reason, or what the
// exception alone says.
std::string failureOf(const PsrContainer& container, const char* kind) {
    Damage damage = reportDamageOf(container);
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

struct StreamSize {
    std::u16string path;
    std::int64_t size = 0;
};

// Everything `report` shows, gathered before anything is printed; what could not be
// read is left out and `problem` says why.
struct ReportFacts {
    std::string container;
    std::string encoding;
    std::string version;
    std::u16string mainDw;
    std::vector<ChildDw> children;
    std::vector<StreamSize> streams;
    std::string problem;
};

ReportFacts inspect(PsrContainer& report, const std::u16string& path) {
    ReportFacts facts;
    facts.container = utf16ToUtf8(report.formatDescription());
    Bytes bytes;
    attempt(report, facts.problem, [&] {
        report.readStream(u"source", bytes);
        if (bytes.size() > 1) facts.encoding = bytes[1] == 0 ? "Unicode (UTF-16LE)" : "ANSI";
        facts.version = utf16ToUtf8(report.powerBuilderVersion());
        facts.mainDw = report.mainDwName(path);
        report.readChildDwList(facts.children);
    });
    if (!facts.problem.empty()) return facts;
    if (const auto* portable = dynamic_cast<const PortablePsrContainer*>(&report)) {
        for (const PsrStreamEntry& e : portable->entries())
            facts.streams.push_back({e.path, e.length});
        return facts;
    }
    // A compound file is asked for the streams a conversion reads; others it may hold
    // are no part of the report.
    std::vector<std::u16string> paths = {u"source", u"object", u"dwstg/dwlookup"};
    for (const ChildDw& child : facts.children) {
        std::u16string number = numberToText(child.number);
        paths.push_back(u"dwstg/source_" + number);
        paths.push_back(u"dwstg/object_" + number);
    }
    for (const std::u16string& stream : paths) {
        bool missing = false;
        bool read = attempt(report, facts.problem, [&] {
            try {
                report.readStream(stream, bytes);
            } catch (const NotFoundException&) {
                missing = true;  // a report without children has no lookup table
            }
        });
        if (!read) return facts;
        if (!missing) facts.streams.push_back({stream, static_cast<std::int64_t>(bytes.size())});
    }
    return facts;
}

void printReport(ToolContext& context, const ReportFacts& facts, bool json) {
    Output& out = context.out;
    if (json) {
        std::vector<JsonObject> children;
        for (const ChildDw& child : facts.children)
            children.push_back(
                JsonObject().text("name", utf16ToUtf8(child.name)).number("stream", child.number));
        std::vector<JsonObject> streams;
        for (const StreamSize& stream : facts.streams)
            streams.push_back(
                JsonObject().text("path", utf16ToUtf8(stream.path)).number("size", stream.size));
        JsonObject object;
        object.text("container", facts.container).text("encoding", facts.encoding);
        object.text("version", facts.version).text("main_dw", utf16ToUtf8(facts.mainDw));
        object.array("child_dws", children).array("streams", streams);
        if (!facts.problem.empty()) object.text("damage", facts.problem);
        writeJson(out, object);
        return;
    }
    out.line("container: " + facts.container);
    if (!facts.encoding.empty()) out.line("encoding: " + facts.encoding);
    if (!facts.version.empty()) out.line("PowerBuilder: " + escapeControls(facts.version));
    if (!facts.mainDw.empty()) out.line("main DW: " + escapeControls(utf16ToUtf8(facts.mainDw)));
    if (facts.problem.empty()) out.line("child DWs: " + std::to_string(facts.children.size()));
    for (const ChildDw& child : facts.children)
        out.line("  " + escapeControls(utf16ToUtf8(child.name)) + "\tstream " +
                 std::to_string(child.number));
    if (!facts.streams.empty()) out.line("streams:");
    for (const StreamSize& stream : facts.streams)
        out.line("  " + escapeControls(utf16ToUtf8(stream.path)) + "\t" +
                 std::to_string(stream.size));
}

// One entry add-report writes.
struct NewEntry {
    std::u16string name;
    Bytes data;
};

// The entries of one DataWindow, its source and its object.
void addDataWindow(PsrContainer& report, const std::u16string& name, const std::u16string& source,
                   const std::u16string& object, std::vector<NewEntry>& entries) {
    NewEntry srd{name + u".srd", {}};
    NewEntry dwo{name + u".dwo", {}};
    report.readStream(source, srd.data);
    report.readStream(object, dwo.data);
    entries.push_back(std::move(srd));
    entries.push_back(std::move(dwo));
}

// The key under which the library takes two names for one: ASCII letters without case.
std::u16string libraryKey(const std::u16string& name) {
    std::u16string key = name;
    for (char16_t& c : key)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c + 32);
    return key;
}

}  // namespace

void runReport(ToolContext& context, const ParsedArgs& args) {
    const std::u16string& path = args.positional[0];
    std::shared_ptr<PsrContainer> report = openReport(path);
    ReportFacts facts = inspect(*report, path);
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
    int version = 0;
    std::u16string versionText;
    std::vector<NewEntry> entries;
    std::string problem;
    bool read = attempt(*report, problem, [&] {
        version = report->majorVersionNumber();
        versionText = report->powerBuilderVersion();
        std::vector<ChildDw> children;
        report->readChildDwList(children);
        addDataWindow(*report, report->mainDwName(reportPath), u"source", u"object", entries);
        for (const ChildDw& child : children) {
            std::u16string number = numberToText(child.number);
            addDataWindow(*report, child.name, u"dwstg/source_" + number, u"dwstg/object_" + number,
                          entries);
        }
    });
    if (!read) throw ToolFailure{displayPath(reportPath) + ": damaged: " + problem};

    // One DataWindow twice is kept once; two that the library cannot tell apart would
    // lose one of them, so the report is refused, as the converter refuses it.
    std::map<std::u16string, std::size_t> seen;
    std::vector<NewEntry> unique;
    for (NewEntry& entry : entries) {
        auto [it, fresh] = seen.emplace(libraryKey(entry.name), unique.size());
        if (fresh) {
            unique.push_back(std::move(entry));
        } else if (unique[it->second].data != entry.data) {
            throw ToolFailure{displayPath(reportPath) +
                              ": two DataWindows that a library cannot tell apart: " +
                              escapeControls(utf16ToUtf8(entry.name))};
        }
    }

    OpenLibrary lib = context.open(libraryPath, true);
    refuseHosted(lib);
    // The converter writes a report of PowerBuilder 10 and later into a Unicode library.
    const bool needsUnicode = version >= 10;
    if ((lib->isUnicode() != 0) != needsUnicode)
        throw ToolFailure{displayPath(reportPath) + ": saved by PowerBuilder " +
                          escapeControls(utf16ToUtf8(versionText)) + ", it needs " +
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
