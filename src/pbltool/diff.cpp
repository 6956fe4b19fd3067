// keldrin-pbl diff: what differs between two libraries, entry by entry, and with --text
// a unified diff of each changed source. Exit status as diff(1) gives it: 0 the same,
// 1 different, 2 trouble (a library or an entry could not be read; what could be read
// is still compared).
//
// Entries pair up by name as a library compares names: ASCII letters without regard to
// case. Two libraries of one variant compare stored bytes; an ANSI and a Unicode library
// compare the decoded text of sources and comments, which is all they can share.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/text.h"
#include "pbl/stored_text.h"
#include "pbltool/commands.h"
#include "pbltool/line_diff.h"
#include "pbltool/line_ends.h"
#include "pbltool/scan.h"
#include "pbltool/text.h"

namespace keldrin::tool {

namespace {

constexpr std::size_t kContextLines = 3;

std::string hunkRange(std::size_t first, std::size_t count) {
    // An empty range names the line before it, as diff(1) does.
    return std::to_string(count == 0 ? first : first + 1) + "," + std::to_string(count);
}

void appendLine(std::string& out, char mark, std::string_view line) {
    out.push_back(mark);
    out += printableLine(line);
    out.push_back('\n');
    if (line.empty() || line.back() != '\n') out += "\\ No newline at end of file\n";
}

// A unified diff of two texts with the file names given; empty when they are equal.
std::string unifiedDiff(std::string_view textA, std::string_view textB, const std::string& nameA,
                        const std::string& nameB) {
    const Lines a = splitLines(textA);
    const Lines b = splitLines(textB);
    const std::vector<Edit> edits = lineEdits(a, b);
    std::string out;
    std::size_t i = 0;
    while (i < edits.size()) {
        while (i < edits.size() && edits[i].kind == EditKind::kSame) ++i;
        if (i == edits.size()) break;
        // A hunk: from kContextLines before this change to kContextLines after the last
        // change that lies within two contexts of the one before it.
        std::size_t start = i >= kContextLines ? i - kContextLines : 0;
        std::size_t end = i;
        std::size_t sameRun = 0;
        for (std::size_t j = i; j < edits.size(); ++j) {
            if (edits[j].kind == EditKind::kSame) {
                if (++sameRun > 2 * kContextLines) break;
            } else {
                sameRun = 0;
                end = j + 1;
            }
        }
        end = std::min(edits.size(), end + kContextLines);
        std::size_t aFirst = a.size();
        std::size_t bFirst = b.size();
        std::size_t aCount = 0;
        std::size_t bCount = 0;
        std::string body;
        for (std::size_t j = start; j < end; ++j) {
            const Edit& e = edits[j];
            if (e.kind != EditKind::kInsert) {
                aFirst = std::min(aFirst, e.a);
                ++aCount;
            }
            if (e.kind != EditKind::kDelete) {
                bFirst = std::min(bFirst, e.b);
                ++bCount;
            }
            if (e.kind == EditKind::kSame) appendLine(body, ' ', a[e.a]);
            if (e.kind == EditKind::kDelete) appendLine(body, '-', a[e.a]);
            if (e.kind == EditKind::kInsert) appendLine(body, '+', b[e.b]);
        }
        // A side with no lines in the hunk starts where the other side's edits sit.
        if (aCount == 0) {
            aFirst = 0;
            for (std::size_t j = 0; j < start; ++j)
                if (edits[j].kind != EditKind::kInsert) aFirst = edits[j].a + 1;
        }
        if (bCount == 0) {
            bFirst = 0;
            for (std::size_t j = 0; j < start; ++j)
                if (edits[j].kind != EditKind::kDelete) bFirst = edits[j].b + 1;
        }
        out += "@@ -" + hunkRange(aFirst, aCount) + " +" + hunkRange(bFirst, bCount) + " @@\n";
        out += body;
        i = end;
    }
    if (out.empty()) return out;
    return "--- " + nameA + "\n+++ " + nameB + "\n" + out;
}

// ---------------------------------------------------------------------------------------
// Entries

struct Pair {
    const EntryRecord* a = nullptr;
    const EntryRecord* b = nullptr;
};

struct Comparison {
    bool read = true;  // both sides could be read
    bool data = false;
    bool comment = false;
    std::string text;  // the unified diff (--text)
};

Comparison compare(LibraryScan& libA, LibraryScan& libB, const EntryRecord& a, const EntryRecord& b,
                   bool withText, bool ignoreEol) {
    Comparison result;
    std::optional<std::vector<std::uint8_t>> dataA = libA.read(a);
    std::optional<std::vector<std::uint8_t>> dataB = libB.read(b);
    if (!dataA || !dataB) {
        result.read = false;
        return result;
    }
    auto commentA = static_cast<std::size_t>(a.info.commentSize);
    auto commentB = static_cast<std::size_t>(b.info.commentSize);
    const bool source = pbl::isSourceEntryName(a.name);
    std::optional<std::string> textA;
    std::optional<std::string> textB;
    if (source && (withText || ignoreEol || libA.unicode() != libB.unicode())) {
        textA = libA.sourceText(a);
        textB = libB.sourceText(b);
        if (!textA || !textB) {
            result.read = false;
            return result;
        }
        // A copy from an LF checkout holds the same lines as PowerBuilder's CRLF ones.
        if (ignoreEol) {
            textA = crlfToLf(*textA);
            textB = crlfToLf(*textB);
        }
    }
    if (libA.unicode() == libB.unicode() && !(source && ignoreEol)) {
        result.comment =
            !std::equal(dataA->begin(), dataA->begin() + static_cast<std::ptrdiff_t>(commentA),
                        dataB->begin(), dataB->begin() + static_cast<std::ptrdiff_t>(commentB));
        result.data =
            !std::equal(dataA->begin() + static_cast<std::ptrdiff_t>(commentA), dataA->end(),
                        dataB->begin() + static_cast<std::ptrdiff_t>(commentB), dataB->end());
    } else {
        result.comment = libA.commentText(a, *dataA) != libB.commentText(b, *dataB);
        result.data = source ? *textA != *textB : true;
    }
    if (withText && result.data && source) {
        std::string name = escapeControls(utf16ToUtf8(a.name));
        result.text = unifiedDiff(*textA, *textB, "a/" + name, "b/" + name);
    }
    return result;
}

std::string changeWords(const Comparison& c) {
    if (c.data && c.comment) return "data,comment";
    return c.data ? "data" : "comment";
}

}  // namespace

void runDiff(ToolContext& context, const ParsedArgs& args) {
    const bool json = args.has("--json");
    const bool withText = args.has("--text");
    const bool all = args.has("--all");
    const bool ignoreEol = args.has("--ignore-eol");
    LibraryScan libA(context, args.positional[0]);
    LibraryScan libB(context, args.positional[1]);

    std::map<std::u16string, Pair> pairs;
    for (const EntryRecord& e : libA.entries()) pairs[pbl::entryNameKey(e.name)].a = &e;
    for (const EntryRecord& e : libB.entries()) pairs[pbl::entryNameKey(e.name)].b = &e;

    bool differ = false;
    bool unread = false;
    std::vector<JsonObject> rows;
    auto report = [&](const std::u16string& name, const char* status, const std::string& what,
                      const std::string& text) {
        std::string utf8 = utf16ToUtf8(name);
        if (json) {
            JsonObject row;
            row.text("name", utf8).text("status", status);
            if (!what.empty()) row.text("changed", what);
            if (!text.empty()) row.text("diff", text);
            rows.push_back(std::move(row));
            return;
        }
        std::string line = std::string(status) + "\t" + escapeControls(utf8);
        if (!what.empty()) line += "\t" + what;
        context.out.line(line);
        context.out.write(text);
    };
    for (const auto& [key, pair] : pairs) {
        if (pair.b == nullptr) {
            differ = true;
            report(pair.a->name, "only-a", "", "");
        } else if (pair.a == nullptr) {
            differ = true;
            report(pair.b->name, "only-b", "", "");
        } else {
            Comparison c = compare(libA, libB, *pair.a, *pair.b, withText, ignoreEol);
            if (!c.read) {
                unread = true;
            } else if (c.data || c.comment) {
                differ = true;
                report(pair.a->name, "changed", changeWords(c), c.text);
            } else if (all) {
                report(pair.a->name, "same", "", "");
            }
        }
    }
    if (json) writeJsonArray(context.out, rows);
    if (unread || libA.troubled() || libB.troubled() || !libA.opened() || !libB.opened())
        context.exitCode = kPblToolUsage;
    else if (differ)
        context.exitCode = kPblToolFailed;
}

}  // namespace keldrin::tool
