// keldrin-pbl check: the structural check of a whole library, as a report. Exit 0 when
// no problem was found (notes alone are fine: they describe what PowerBuilder itself
// writes differently from Keldrin), 1 when one or more problems were found.
#include <string>
#include <vector>

#include "base/file.h"
#include "pbl/journal.h"
#include "pbl/library_check.h"
#include "pbltool/commands.h"
#include "pbltool/text.h"

namespace keldrin::tool {

void runCheck(ToolContext& context, const ParsedArgs& args) {
    const std::u16string& path = args.positional[0];
    if (!fs::fileExists(path)) throw ToolFailure{displayPath(path) + ": no such file"};
    // A reader's lock for the length of the check, where the file opens as a library at
    // all, so no writer changes it half way through; a damaged file is checked anyway.
    pbl::PblManagerHandle manager = newManager(context.lockWaitMs);
    pbl::PblLibraryHandle held(manager->openLibrary(path, 0));
    if (!held && manager->lastResult() == pbl::kPblBusy)
        throw ToolFailure{displayPath(path) + ": " + pbl::resultText(pbl::kPblBusy)};

    std::vector<pbl::CheckFinding> findings = pbl::checkLibrary(path);
    // A journal still beside the library after the open could not be played back: the
    // file may hold half of an interrupted change, whatever its structure says.
    if (fs::fileExists(pbl::journal::pathFor(path))) {
        const Damage& refusal = manager->lastDamage();
        pbl::CheckFinding journal;
        journal.problem = true;
        journal.kind = "journal";
        journal.damage.what = !held && !refusal.what.empty()
                                  ? refusal.what
                                  : displayPath(pbl::journal::pathFor(path)) +
                                        ": an interrupted change left this journal";
        findings.insert(findings.begin(), journal);
    }
    std::size_t problems = 0;
    for (const pbl::CheckFinding& finding : findings)
        if (finding.problem) ++problems;
    if (problems > 0) context.exitCode = kPblToolFailed;

    if (args.has("--json")) {
        std::vector<JsonObject> rows;
        for (const pbl::CheckFinding& finding : findings) {
            JsonObject row;
            row.text("severity", finding.problem ? "problem" : "note")
                .text("kind", finding.kind)
                .number("offset", finding.damage.offset)
                .text("entry", finding.damage.context)
                .text("detail", finding.damage.what);
            rows.push_back(std::move(row));
        }
        writeJsonArray(context.out, rows);
        return;
    }
    for (const pbl::CheckFinding& finding : findings)
        context.out.line(escapeControls(pbl::describeFinding(finding)));
    context.out.line(std::to_string(problems) + (problems == 1 ? " problem, " : " problems, ") +
                     std::to_string(findings.size() - problems) +
                     (findings.size() - problems == 1 ? " note" : " notes"));
}

}  // namespace keldrin::tool
