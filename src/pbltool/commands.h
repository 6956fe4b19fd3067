// The commands of keldrin-pbl and the table that drives them: dispatch, `--help`,
// `help COMMAND` and the usage text all come from kCommands (tool.cpp).
//
// Each handler receives its arguments already parsed by its table row, so what a
// command accepts and what the usage text says it accepts cannot drift apart.
#pragma once

#include <array>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "pbltool/args.h"
#include "pbltool/library.h"
#include "pbltool/output.h"
#include "pbltool/tool.h"

namespace keldrin::tool {

// What every command works with: the streams, the output and the global options.
struct ToolContext {
    explicit ToolContext(const PblToolStreams& streams) : io(streams), out(streams.out) {}

    PblToolStreams io;
    Output out;
    // How long to wait for a library that another program is changing (--wait).
    int lockWaitMs = kDefaultLockWaitMs;
    // What a command that ran to its end returns: a report such as a check may end with
    // kPblToolFailed and still print everything it found.
    int exitCode = kPblToolOk;

    // A line on the error stream that does not end the command.
    void note(const std::string& text) const;
    OpenLibrary open(const std::u16string& path, bool writable) const {
        return openLibrary(path, writable, lockWaitMs);
    }
};

using CommandHandler = void (*)(ToolContext& context, const ParsedArgs& args);

struct CommandSpec {
    const char* name;
    const char* arguments;  // as the usage text shows them
    const char* summary;    // one line
    const char* details;    // further lines for `help COMMAND`, or nullptr
    std::size_t minPositional;
    std::size_t maxPositional;
    std::array<OptionSpec, 10> options;
    CommandHandler handler;
};

// A shell wildcard on an entry name (ls GLOB, grep --entry): "*" any run, "?" any one
// character, "[...]" one of a set ("[!...]" none of it, "a-z" a range). Letters match
// without regard to ASCII case, as the library itself compares names (read.cpp).
bool globMatches(std::u16string_view glob, std::u16string_view name);

// Read commands (read.cpp).
void runInfo(ToolContext& context, const ParsedArgs& args);
void runList(ToolContext& context, const ParsedArgs& args);
void runCat(ToolContext& context, const ParsedArgs& args);

// Commands that change one library in place (write.cpp).
void runCreate(ToolContext& context, const ParsedArgs& args);
void runPut(ToolContext& context, const ParsedArgs& args);
void runRemove(ToolContext& context, const ParsedArgs& args);
void runComment(ToolContext& context, const ParsedArgs& args);

// Commands that write whole files from a library (copy.cpp).
void runRebuild(ToolContext& context, const ParsedArgs& args);
void runOptimize(ToolContext& context, const ParsedArgs& args);

// The structural check of a library (check.cpp).
void runCheck(ToolContext& context, const ParsedArgs& args);
// Everything readable of a damaged library into a new one (salvage.cpp).
void runSalvage(ToolContext& context, const ParsedArgs& args);

// Sources out to PowerBuilder's export files and back (sources.cpp).
void runExport(ToolContext& context, const ParsedArgs& args);
void runImport(ToolContext& context, const ParsedArgs& args);
// Libraries against their folders in the workspace layout (workspace.cpp).
void runStatus(ToolContext& context, const ParsedArgs& args);

// Whole-library comparisons and searches, and reports (diff.cpp,
// grep.cpp, report.cpp); the library data (write.cpp).
void runDiff(ToolContext& context, const ParsedArgs& args);
void runGrep(ToolContext& context, const ParsedArgs& args);
void runLibraryData(ToolContext& context, const ParsedArgs& args);
void runReport(ToolContext& context, const ParsedArgs& args);
void runAddReport(ToolContext& context, const ParsedArgs& args);

// A saved report's rows as CSV or JSON, and its page as HTML (report_view.cpp);
// without --data or --html, the report's inspection (runReport).
void runReportView(ToolContext& context, const ParsedArgs& args);
// A library's DataWindows drawn from their sources, without rows (preview.cpp).
void runPreview(ToolContext& context, const ParsedArgs& args);

// An application's objects, inheritance tree and the uses of a name, read from the
// sources of its libraries (objects.cpp).
void runObjects(ToolContext& context, const ParsedArgs& args);
void runTree(ToolContext& context, const ParsedArgs& args);
void runRefs(ToolContext& context, const ParsedArgs& args);
// The same as a static site of HTML pages (site.cpp).
void runSite(ToolContext& context, const ParsedArgs& args);

}  // namespace keldrin::tool
