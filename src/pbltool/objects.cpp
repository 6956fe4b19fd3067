// keldrin-pbl objects, tree and refs: an application's objects read from the sources of
// its libraries (src/script), without PowerBuilder. The libraries on the command line
// form one application as PowerBuilder's library list does: the first that holds a name
// wins, and each later namesake is reported as shadowed.
//
// A library or entry that cannot be read is noted and the rest still read; a source the
// reader cannot place in part is kept with its unparsed spans, which `objects` notes.
#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "pbl/export_file.h"
#include "pbltool/application_load.h"
#include "pbltool/commands.h"
#include "pbltool/scan.h"
#include "pbltool/text.h"
#include "script/application.h"

namespace keldrin::tool {

namespace {

// Every source entry of the libraries; `uses`: the one name whose uses the model keeps of
// all the names the code uses (refs), the others dropped source by source.
LoadedApplication load(ToolContext& context, std::span<const std::u16string> libraries,
                       std::optional<std::string_view> uses = std::nullopt) {
    LoadOptions options;
    options.trim = [uses](script::ObjectModel& model) {
        if (!uses) {
            model.references = {};
            return;
        }
        std::erase_if(model.references,
                      [&](const script::Reference& r) { return !script::sameName(r.name, *uses); });
        model.references.shrink_to_fit();
    };
    return loadApplication(context, libraries, options);
}

// Shadowed names and cycles of ancestors. `objects` lists every one; the other commands,
// whose rows show only the winners, say how many names were shadowed.
void noteApplication(ToolContext& context, const script::Application& app, bool every) {
    std::size_t shadowed = 0;
    for (const script::AppObject& o : app.objects()) shadowed += o.shadowedBy ? 1 : 0;
    for (const std::string& note : app.notes())
        if (every || note.find(" is shadowed by ") == std::string::npos)
            context.note(escapeControls(note));
    if (!every && shadowed > 0)
        context.note(std::to_string(shadowed) + " object" + (shadowed == 1 ? " is" : "s are") +
                     " shadowed by a namesake in an earlier library (the first library in the "
                     "list wins; `objects` lists them)");
}

std::string shown(const std::string& text) {
    return text.empty() ? "-" : escapeControls(text);
}

std::size_t scriptLines(const script::ObjectModel& model) {
    std::size_t lines = 0;
    for (const script::Script& s : model.scripts) lines += s.lastLine - s.firstLine + 1;
    return lines;
}

// The last positional argument of `tree` is an object's name rather than a library when
// it has neither a dot nor a path separator: library files always have an extension.
bool looksLikeName(const std::u16string& argument) {
    return argument.find_first_of(u"./\\") == std::u16string::npos;
}

}  // namespace

void runObjects(ToolContext& context, const ParsedArgs& args) {
    const bool json = args.has("--json");
    LoadedApplication loaded = load(context, args.positional);
    const script::Application& app = loaded.app;
    noteApplication(context, app, true);
    std::vector<JsonObject> rows;
    for (const script::AppObject& o : app.objects()) {
        const script::ObjectModel& m = o.model;
        const std::string& library = app.libraries()[o.library];
        const std::string where = library + ":" + escapeControls(m.entry);
        for (const script::Unparsed& u : m.unparsed)
            context.note(where + ":" + std::to_string(u.firstLine) +
                         (u.lastLine != u.firstLine ? "-" + std::to_string(u.lastLine) : "") +
                         ": " + escapeControls(u.note));
        const std::string shadowedBy =
            o.shadowedBy ? app.libraries()[app.objects()[*o.shadowedBy].library] : std::string();
        if (json) {
            std::vector<JsonObject> spans;
            for (const script::Unparsed& u : m.unparsed)
                spans.push_back(JsonObject()
                                    .number("first_line", u.firstLine)
                                    .number("last_line", u.lastLine)
                                    .text("note", u.note));
            rows.push_back(JsonObject()
                               .text("library", library)
                               .text("entry", m.entry)
                               .text("name", m.name)
                               .text("kind", script::kindName(m.kind))
                               .text("ancestor", m.ancestor)
                               .text("within", m.within)
                               .number("controls", static_cast<std::int64_t>(m.controls.size()))
                               .number("functions", static_cast<std::int64_t>(m.functionCount()))
                               .number("events", static_cast<std::int64_t>(m.eventCount()))
                               .number("variables", static_cast<std::int64_t>(m.variables.size()))
                               .number("externals", static_cast<std::int64_t>(m.externals.size()))
                               .number("lines", m.lines)
                               .number("script_lines", static_cast<std::int64_t>(scriptLines(m)))
                               .text("shadowed_by", shadowedBy)
                               .array("unparsed", spans));
            continue;
        }
        std::string line = library + "\t" + escapeControls(m.entry) + "\t" +
                           script::kindName(m.kind) + "\t" + shown(m.ancestor) + "\tcontrols " +
                           std::to_string(m.controls.size()) + "\tfunctions " +
                           std::to_string(m.functionCount()) + "\tevents " +
                           std::to_string(m.eventCount()) + "\tlines " + std::to_string(m.lines);
        if (o.shadowedBy) line += "\tshadowed by " + shadowedBy;
        context.out.line(line);
    }
    if (json) writeJsonArray(context.out, rows);
    if (loaded.troubled) context.exitCode = kPblToolFailed;
}

void runTree(ToolContext& context, const ParsedArgs& args) {
    const bool json = args.has("--json");
    std::span<const std::u16string> libraries(args.positional);
    std::optional<std::string> name;
    if (libraries.size() > 1 && looksLikeName(libraries.back())) {
        name = utf16ToUtf8(libraries.back());
        libraries = libraries.first(libraries.size() - 1);
    }
    LoadedApplication loaded = load(context, libraries);
    const script::Application& app = loaded.app;
    noteApplication(context, app, false);
    std::vector<script::TreeRow> rows =
        name ? app.tree(std::string_view(*name)) : app.tree(std::nullopt);
    if (name && rows.empty())
        throw ToolFailure{escapeControls(*name) +
                          " is neither an object of these libraries nor an ancestor of one"};
    std::vector<JsonObject> out;
    for (const script::TreeRow& row : rows) {
        std::string library;
        std::string entry;
        if (row.object) {
            const script::AppObject& o = app.objects()[*row.object];
            library = app.libraries()[o.library];
            entry = o.model.entry;
        }
        if (json) {
            out.push_back(JsonObject()
                              .text("name", row.name)
                              .number("depth", static_cast<std::int64_t>(row.depth))
                              .text("status", row.status)
                              .text("library", library)
                              .text("entry", entry));
            continue;
        }
        std::string line(row.depth * 2, ' ');
        line += escapeControls(row.name);
        if (row.status[0] != '\0') line += std::string(" [") + row.status + "]";
        if (row.object) line += " (" + library + ")";
        context.out.line(line);
    }
    if (json) writeJsonArray(context.out, out);
    const std::size_t missing = app.missingAncestors().size();
    if (missing > 0)
        context.note(std::to_string(missing) + " ancestor" + (missing == 1 ? " is" : "s are") +
                     " in none of the libraries (marked missing)");
    if (loaded.troubled) context.exitCode = kPblToolFailed;
}

void runRefs(ToolContext& context, const ParsedArgs& args) {
    const bool json = args.has("--json");
    std::span<const std::u16string> libraries(args.positional);
    const std::string name = utf16ToUtf8(libraries.back());
    libraries = libraries.first(libraries.size() - 1);
    LoadedApplication loaded = load(context, libraries, name);
    const script::Application& app = loaded.app;
    noteApplication(context, app, false);
    if (std::optional<std::size_t> defined = app.find(name)) {
        const script::AppObject& o = app.objects()[*defined];
        context.note(escapeControls(o.model.name) + " is " + o.model.entry + " in " +
                     app.libraries()[o.library]);
    } else if (!script::isSystemClass(name)) {
        context.note(escapeControls(name) + " is in none of the libraries");
    }
    std::vector<script::Use> uses = app.uses(name);
    std::vector<JsonObject> out;
    for (const script::Use& use : uses) {
        const script::AppObject& o = app.objects()[use.object];
        const std::string& library = app.libraries()[o.library];
        if (json) {
            out.push_back(JsonObject()
                              .text("library", library)
                              .text("entry", o.model.entry)
                              .number("line", use.line)
                              .text("how", use.how)
                              .text("in", use.detail)
                              .text("shadowed", o.shadowedBy ? "yes" : "no"));
            continue;
        }
        std::string line = library + ":" + escapeControls(o.model.entry) + ":" +
                           std::to_string(use.line) + ": " + use.how;
        if (!use.detail.empty()) line += " " + escapeControls(use.detail);
        if (o.shadowedBy) line += " (shadowed)";
        context.out.line(line);
    }
    if (json) writeJsonArray(context.out, out);
    context.exitCode = loaded.troubled ? kPblToolUsage : uses.empty() ? kPblToolFailed : kPblToolOk;
}

}  // namespace keldrin::tool
