// keldrin-pbl grep: the lines of the decoded sources that a pattern matches, printed as
// grep prints them with the library and entry in place of the file name. Exit status as
// grep gives it: 0 a line matched, 1 none did, 2 trouble (a library or entry that could
// not be read, a line the pattern engine gave up on; everything else is still searched
// and its matches printed).
#include <algorithm>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "pbltool/commands.h"
#include "pbltool/grep.h"
#include "pbltool/scan.h"
#include "pbltool/text.h"

namespace keldrin::tool {

namespace {

std::string_view withoutLineEnd(std::string_view line) {
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    return line;
}

struct GrepOutput {
    bool namesOnly = false;  // -l
    bool count = false;      // -c
    bool numbers = false;    // -n
    bool invert = false;     // -v
};

}  // namespace

void runGrep(ToolContext& context, const ParsedArgs& args) {
    GrepOutput show;
    show.namesOnly = args.has("-l");
    show.count = args.has("-c") && !show.namesOnly;  // as grep: -l wins
    show.numbers = args.has("-n");
    show.invert = args.has("-v");
    PatternOptions options;
    options.ignoreCase = args.has("-i");
    options.wholeWords = args.has("-w");
    options.fixed = args.has("-F");
    options.unicode = args.has("--unicode");
    const std::optional<std::u16string> entryGlob = args.value("--entry");
    const LinePattern pattern(utf16ToUtf8(args.positional[0]), options);
    bool matched = false;
    bool troubled = false;
    for (std::size_t i = 1; i < args.positional.size(); ++i) {
        LibraryScan scan(context, args.positional[i]);
        const std::string libName = escapeControls(displayPath(args.positional[i]));
        // Name order, so that the same libraries always give the same output.
        std::vector<const EntryRecord*> sources;
        for (const EntryRecord& entry : scan.entries())
            if (pbl::isSourceEntryName(entry.name) &&
                (!entryGlob || globMatches(*entryGlob, entry.name)))
                sources.push_back(&entry);
        std::sort(sources.begin(), sources.end(),
                  [](const EntryRecord* x, const EntryRecord* y) { return x->name < y->name; });
        for (const EntryRecord* source : sources) {
            const EntryRecord& entry = *source;
            std::optional<std::string> text = scan.sourceText(entry);
            if (!text) continue;
            const std::string prefix = libName + ":" + escapeControls(utf16ToUtf8(entry.name));
            std::size_t lineNumber = 0;
            std::size_t selected = 0;
            for (std::string_view line : splitLines(*text)) {
                ++lineNumber;
                bool hit = false;
                try {
                    hit = pattern.matches(withoutLineEnd(line)) != show.invert;
                } catch (const MatchFailure& failure) {
                    // Neither a match nor a miss: said where, and the search goes on.
                    scan.trouble(prefix + ":" + std::to_string(lineNumber) +
                                 ": the pattern cannot be matched: " + failure.message);
                    continue;
                }
                if (!hit) continue;
                matched = true;
                ++selected;
                if (show.namesOnly) {
                    context.out.line(prefix);
                    break;
                }
                if (show.count) continue;
                std::string shown = prefix + ":";
                if (show.numbers) shown += std::to_string(lineNumber) + ":";
                context.out.line(shown + printableLine(line));
            }
            if (show.count) context.out.line(prefix + ":" + std::to_string(selected));
        }
        troubled = troubled || scan.troubled();
    }
    context.exitCode = troubled ? kPblToolUsage : matched ? kPblToolOk : kPblToolFailed;
}

}  // namespace keldrin::tool
