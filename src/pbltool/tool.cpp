// keldrin-pbl: the table of commands and the dispatch over it. The commands live by
// concern in read.cpp, write.cpp and copy.cpp; the library
// access they share in library.cpp.
//
// Names on the command line arrive as wide text and enter the library through the ANSI
// code page; a name that the code page cannot carry exactly is refused rather than
// turned into "?", which would address (or create) a different entry. Names leave the
// library as UTF-16 (name-encoding mode 0) and are printed as UTF-8.
#include "pbltool/tool.h"

#include <cstdio>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "base/codepage.h"
#include "base/text.h"
#include "pbltool/commands.h"
#include "pbltool/text.h"

namespace keldrin {
namespace tool {
namespace {

void runHelp(ToolContext& context, const ParsedArgs& args);

// The most positional arguments of a command that takes a list (grep's libraries).
constexpr std::size_t kAnyNumber = static_cast<std::size_t>(-1);

// Every command, in the order the usage text lists them. A row's options and argument
// counts are what the dispatcher parses before it calls the handler.
constexpr CommandSpec kCommands[] = {
    {"create",
     "LIB VERSION",
     "a new, empty library of that version",
     "5: ANSI 0500, 6-9: ANSI 0600, 10 and above: Unicode",
     2,
     2,
     {},
     runCreate},
    {"info",
     "LIB [--json]",
     "variant, versions, comment, sizes, block use",
     nullptr,
     1,
     1,
     {{{"--json", false}}},
     runInfo},
    {"ls",
     "LIB [GLOB...] [--sort name|size|time] [--json]",
     "one line per entry: name, data size, comment size, time",
     "the time is the entry's modification time (UTC); GLOBs (* ? [a-z]) pick entries",
     1,
     kAnyNumber,
     {{{"--json", false}, {"--sort", true}}},
     runList},
    {"cat",
     "LIB NAME [--comment] [--text]",
     "the entry's body (or its comment) to standard output",
     "--text: a source decoded to UTF-8 (ANSI code page, or UTF-16LE)",
     2,
     2,
     {{{"--comment", false}, {"--text", false}}},
     runCat},
    {"put",
     "LIB NAME [FILE|-] [--comment TEXT] [--time UNIXSECONDS]",
     "create or replace an entry from FILE or standard input",
     nullptr,
     2,
     3,
     {{{"--comment", true}, {"--time", true}}},
     runPut},
    {"rm", "LIB NAME", "delete an entry", nullptr, 2, 2, {}, runRemove},
    {"comment", "LIB [TEXT]", "print or set the library comment", nullptr, 1, 2, {}, runComment},
    {"rebuild",
     "LIB OUT [--version N]",
     "a fresh, balanced copy of LIB in OUT",
     nullptr,
     2,
     2,
     {{{"--version", true}}},
     runRebuild},
    {"optimize",
     "LIB [--version N] [--force]",
     "rebuild LIB in place, keeping the old file as LIB.bak",
     "(an existing LIB.bak is replaced only with --force)",
     1,
     1,
     {{{"--version", true}, {"--force", false}}},
     runOptimize},
    {"check",
     "LIB [--json]",
     "the structure of LIB: problems (exit 1) and notes",
     "(a problem breaks reading or writing; a note only differs from how Keldrin writes)",
     1,
     1,
     {{{"--json", false}}},
     runCheck},
    {"salvage",
     "LIB OUT [--json]",
     "everything readable of a damaged LIB into a new library OUT",
     "lists what was recovered and what was lost, with offsets; exit 1 when something was lost "
     "(OUT is written all the same)",
     2,
     2,
     {{{"--json", false}}},
     runSalvage},
    {"export",
     "LIB DIR [--encoding E] [--all] [--raw] [--quiet] [--sync] | LIB... DIR --layout ws_objects",
     "every source entry into DIR as a PowerBuilder export file",
     "E: ansi, hexascii, utf8 or utf16le (default: ansi for an ANSI library, hexascii "
     "for a Unicode one); --all: compiled objects too, as stored; --raw: sources as "
     "stored; --sync: put the files on disk before returning; --layout ws_objects: each "
     "library into DIR/<library>.src as PowerBuilder's workspace keeps it (UTF-8)",
     2,
     kAnyNumber,
     {{{"--encoding", true},
       {"--all", false},
       {"--raw", false},
       {"--quiet", false},
       {"--sync", false},
       {"--layout", true}}},
     runExport},
    {"import",
     "LIB PATH... [--replace] | --layout ws_objects DIR LIB...",
     "export files (or directories of them) into LIB as source entries",
     "an entry LIB holds already is replaced only with --replace; compiled objects stay "
     "as they are, so regenerate the imported sources in PowerBuilder; a file without a "
     "CR (an LF checkout) gets CRLF lines; --layout ws_objects: each library from "
     "DIR/<library>.src",
     2,
     kAnyNumber,
     {{{"--replace", false}, {"--layout", true}}},
     runImport},
    {"status",
     "LIB... DIR [--json]",
     "each source entry against its file in DIR/<library>.src (the workspace layout)",
     "same, changed, only-library or only-files; exit 0/1/2: all the same/differ/trouble",
     2,
     kAnyNumber,
     {{{"--json", false}}},
     runStatus},
    {"diff",
     "LIB_A LIB_B [--json] [--text] [--all] [--ignore-eol]",
     "entries only in A, only in B, and changed (data or comment)",
     "--text: unified diff of changed sources; --all: same ones too; --ignore-eol: CRLF "
     "and LF line ends compare equal; exit 0/1/2: same/differ/trouble",
     2,
     2,
     {{{"--json", false}, {"--text", false}, {"--all", false}, {"--ignore-eol", false}}},
     runDiff},
    {"grep",
     "[-cilnvwF] [--entry GLOB] [--unicode] PATTERN LIB...",
     "lines of the sources that match PATTERN, as LIB:ENTRY:[LINE:]text",
     "-i: ignore case; -l: only LIB:ENTRY; -n: line numbers; -c: LIB:ENTRY:COUNT; -v: the "
     "lines that do not match; -w: whole words; -F: PATTERN is plain text; --entry: only "
     "entries whose name matches GLOB; --unicode: \\w, \\b, \\d and [[:alpha:]] beyond "
     "ASCII; Perl-style patterns; exit 0/1/2: matched/none/trouble",
     2,
     kAnyNumber,
     {{{"-i", false},
       {"-l", false},
       {"-n", false},
       {"-c", false},
       {"-v", false},
       {"-w", false},
       {"-F", false},
       {"--entry", true},
       {"--unicode", false}}},
     runGrep},
    {"objects",
     "LIB... [--json]",
     "one row per object of the sources: library, kind, ancestor, controls, functions, "
     "events, lines",
     "the libraries form one application: the first that holds a name wins, and later "
     "namesakes are shown as shadowed; what a source's reader could not place is noted",
     1,
     kAnyNumber,
     {{{"--json", false}}},
     runObjects},
    {"tree",
     "LIB... [NAME] [--json]",
     "the inheritance tree of the objects, system classes at its roots",
     "ancestors in none of the libraries are marked [missing], objects whose ancestors "
     "loop back to them [cycle]; NAME (an argument with no dot or slash): only its "
     "ancestors and descendants",
     1,
     kAnyNumber,
     {{{"--json", false}}},
     runTree},
    {"refs",
     "LIB... NAME [--json]",
     "every place that uses NAME, as LIB:ENTRY:LINE: how",
     "how: descendant, control, variable, argument, returns, create, member, call, name, "
     "text (a name in quotes) or dataobject; exit 0/1/2: found/none/trouble",
     2,
     kAnyNumber,
     {{{"--json", false}}},
     runRefs},
    {"site",
     "LIB... OUT_DIR",
     "the libraries' objects as a static site of HTML pages in OUT_DIR, without script",
     "an index, an overview, and a page per object (facts, ancestors, descendants, "
     "controls, scripts, source, uses; a DataWindow's drawing, columns and SQL); the site "
     "is written beside OUT_DIR and renamed into place, and replaces an OUT_DIR that is "
     "empty or an earlier site; what a source's reader could not place is noted",
     2,
     kAnyNumber,
     {},
     runSite},
    {"libdata",
     "LIB [--set FILE|-]",
     "the library data (source-control data) to standard output, or set",
     nullptr,
     1,
     1,
     {{{"--set", true}}},
     runLibraryData},
    {"report",
     "REPORT [--json] [--data [--format csv|json] [--csv-safe] [--dw NAME]] [--html OUT.html "
     "[--all-rows]]",
     "a saved report without converting it: container, version, DWs, streams; its rows "
     "(--data) or its page (--html)",
     "a damaged report: what could be read, then why (exit 1); --data: the main "
     "DataWindow's saved rows, or those of the nested or child DataWindow NAME, as CSV "
     "(RFC 4180, UTF-8) or a JSON array of objects (--csv-safe: a value a spreadsheet "
     "would run as a formula gets a leading '); --html: the report drawn as one "
     "self-contained HTML page, its first 10,000 detail rows unless --all-rows; with --data or "
     "--html a value not decoded comes out as hex "
     "with a note on the error stream, and the exit code is then 3",
     1,
     1,
     {{{"--json", false},
       {"--data", false},
       {"--format", true},
       {"--csv-safe", false},
       {"--dw", true},
       {"--html", true},
       {"--all-rows", false}}},
     runReportView},
    {"add-report",
     "LIB REPORT [--replace]",
     "the report's DataWindows (.srd, .dwo) into an existing library",
     "names the library holds are refused unless --replace; nothing else is removed",
     2,
     2,
     {{{"--replace", false}}},
     runAddReport},
    {"preview",
     "LIB ENTRY.srd --html OUT.html | LIB --all DIR",
     "a DataWindow drawn from its source in LIB, without rows, as one HTML page",
     "the bands once each (the detail empty), columns as empty edit fields, nested reports "
     "drawn in their frames when LIB holds them (named frames when not); --all: one page "
     "per DataWindow into DIR (created); what cannot be drawn is a note on the page and on "
     "the error stream (exit 3); a page not written is named (exit 1)",
     1,
     2,
     {{{"--html", true}, {"--all", true}}},
     runPreview},
    {"help", "[COMMAND]", "this text, or one command's", nullptr, 0, 1, {}, runHelp},
};

const CommandSpec* findCommand(const std::string& name) {
    for (const CommandSpec& command : kCommands)
        if (name == command.name) return &command;
    return nullptr;
}

// The column where the one-line help starts; a longer synopsis puts it on a line of its own.
constexpr std::size_t kHelpColumn = 37;

std::string synopsis(const CommandSpec& command) {
    return std::string("  ") + command.name + " " + command.arguments;
}

std::string helpLines(const CommandSpec& command) {
    std::string text = synopsis(command);
    if (text.size() < kHelpColumn)
        text.append(kHelpColumn - text.size(), ' ');
    else
        text += "\n" + std::string(kHelpColumn, ' ');
    text += command.summary;
    text += "\n";
    if (command.details != nullptr) text += std::string(kHelpColumn, ' ') + command.details + "\n";
    return text;
}

std::string usageText() {
    std::string text = "usage: keldrin-pbl [--wait SECONDS] [--codepage N] COMMAND ARGUMENTS\n";
    for (const CommandSpec& command : kCommands) text += helpLines(command);
    text +=
        "--wait SECONDS: how long to wait for a library another program is using (default 10)\n"
        "--codepage N: the ANSI code page of names and texts (default: the locale's)\n"
        "--version: the program's version\n"
        "Put -- before a NAME or TEXT that begins with --.\n";
    return text;
}

void runHelp(ToolContext& context, const ParsedArgs& args) {
    if (args.positional.empty()) {
        context.out.write(usageText());
        return;
    }
    const CommandSpec* command = findCommand(utf16ToUtf8(args.positional[0]));
    if (command == nullptr)
        throw UsageFailure{"unknown command " + displayPath(args.positional[0])};
    std::string text = std::string("usage: keldrin-pbl [--wait SECONDS] [--codepage N] ") +
                       command->name + " " + command->arguments + "\n" + command->summary + "\n";
    if (command->details != nullptr) text += std::string(command->details) + "\n";
    context.out.write(text);
}

void runCommand(ToolContext& context, std::span<const std::u16string> args) {
    const GlobalOptions global = parseGlobalOptions(args);
    context.lockWaitMs = global.lockWaitMs;
    // Names and texts of ANSI libraries, on their way in and out, all go through the
    // platform's ANSI code page; overriding it there keeps every conversion on one page.
    // Set on every run (0: the locale's), so a run in the same process inherits none.
    if (!platform::overrideAnsiCodePage(global.codePage))
        throw UsageFailure{"code page " + std::to_string(global.codePage) +
                           " is not available on this system"};
    if (args.size() <= global.command) throw UsageFailure{"no command given"};
    std::string name = utf16ToUtf8(args[global.command]);
    std::span<const std::u16string> rest = args.subspan(global.command + 1);
    if (name == "--version") {
        if (!rest.empty()) throw UsageFailure{"unexpected argument " + displayPath(rest[0])};
        context.out.line("keldrin-pbl " KELDRIN_VERSION);
        return;
    }
    if (name == "--help" || name == "-h") name = "help";
    const CommandSpec* command = findCommand(name);
    if (command == nullptr)
        throw UsageFailure{"unknown command " + displayPath(args[global.command])};
    ParsedArgs parsed =
        parseArgs(rest, command->options, command->minPositional, command->maxPositional);
    command->handler(context, parsed);
}

}  // namespace

void ToolContext::note(const std::string& text) const {
    // A name in a message may hold any character, a zero too: written escaped and whole,
    // never cut short at a zero or left to drive the terminal.
    const std::string shown = "keldrin-pbl: " + escapeControls(text) + "\n";
    std::fwrite(shown.data(), 1, shown.size(), io.err);
    std::fflush(io.err);
}

}  // namespace tool

int runPblTool(const std::vector<std::u16string>& args, const PblToolStreams& streams) {
    tool::ToolContext context(streams);
    try {
        tool::runCommand(context, args);
        context.out.finish();
        return context.exitCode;
    } catch (const tool::UsageFailure& failure) {
        std::fprintf(streams.err, "keldrin-pbl: %s\n%s",
                     tool::escapeControls(failure.message).c_str(), tool::usageText().c_str());
        std::fflush(streams.err);
        return kPblToolUsage;
    } catch (const tool::ToolFailure& failure) {
        context.note(failure.message);
        return kPblToolFailed;
    } catch (const std::bad_alloc&) {
        context.note("out of memory");
        return kPblToolFailed;
    }
}

int runPblTool(const std::vector<std::u16string>& args) {
    return runPblTool(args, PblToolStreams{});
}

}  // namespace keldrin
