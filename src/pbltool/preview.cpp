// keldrin-pbl preview: a library's DataWindows drawn from their sources, without rows,
// each as one self-contained HTML page (the drawing lives in src/dw). One DataWindow
// goes to the page --html names; --all writes one page for each into a directory.
//
// A nested report whose DataWindow the library also holds is drawn inside its frame,
// read from the same library. What a page cannot draw (a source that does not parse or
// cannot be read, a report that nests itself) is a note on the page and on the error
// stream, and the exit code is then 3; a page that cannot be written is named and the
// exit code is 1, after the other pages are written.
#include <cstdint>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <vector>

#include "base/file.h"
#include "base/path.h"
#include "base/text.h"
#include "dw/dw_preview.h"
#include "pbl/export_file.h"
#include "pbl/pbl_result.h"
#include "pbl/stored_text.h"
#include "pbltool/commands.h"
#include "pbltool/files.h"
#include "pbltool/text.h"

namespace keldrin::tool {
namespace {

// What the command returns when a page holds a note in the place of a drawing.
constexpr int kPreviewIncomplete = 3;
constexpr std::u16string_view kSourceSuffix = u".srd";

bool isDataWindowSource(const std::u16string& name) {
    if (name.size() <= kSourceSuffix.size()) return false;
    return pbl::entryNameKey(name.substr(name.size() - kSourceSuffix.size())) == kSourceSuffix;
}

std::string shownName(const std::u16string& name) {
    return escapeControls(utf16ToUtf8(name));
}

// The source text of an entry; a damaged or oversized entry gives the reason instead,
// before a buffer is sized for it.
dw::PreviewSource readSource(OpenLibrary& lib, const pbl::PblEntryInfo& info,
                             const std::string& shown) {
    dw::PreviewSource source;
    const std::int64_t textBytes = std::int64_t{info.dataSize} - info.commentSize;
    // A Unicode library's characters take two bytes; an ANSI one's at least one.
    const std::int64_t limit =
        static_cast<std::int64_t>(dw::kPreviewMaxSourceChars) * (lib->isUnicode() != 0 ? 2 : 1);
    if (textBytes > limit + 2) {
        source.problem = "the source is too long to draw (" + std::to_string(textBytes) +
                         " bytes, at most " + std::to_string(limit) + ")";
        return source;
    }
    try {
        const std::vector<std::uint8_t> data = readEntry(lib, info, shown);
        const ByteSpan text = ByteSpan(data).subspan(static_cast<std::size_t>(info.commentSize));
        std::optional<std::u16string> decoded = pbl::decodeStoredText(lib->isUnicode() != 0, text);
        if (decoded)
            source.text = std::move(*decoded);
        else
            source.problem = "the source does not convert from the ANSI code page";
    } catch (const ToolFailure& failure) {
        source.problem = "cannot be read: " + failure.message;
    }
    return source;
}

// The library's sources by DataWindow name, for the reports a DataWindow nests.
dw::SourceLookup lookupIn(OpenLibrary& lib) {
    return [&lib](const std::string& name) -> std::optional<dw::PreviewSource> {
        const std::u16string entry = utf8ToUtf16(name) + std::u16string(kSourceSuffix);
        try {
            requireNameFits(lib, entry);
        } catch (const ToolFailure&) {
            return std::nullopt;  // a name no entry can have
        }
        pbl::PblEntryInfo info{};
        const int code = lib->findEntry(entry, info, 0);
        if (code == pbl::kPblNotFound) return std::nullopt;
        if (code != pbl::kPblOk)
            return dw::PreviewSource{{}, std::string("cannot be read: ") + pbl::resultText(code)};
        return readSource(lib, info, shownName(entry));
    };
}

// The entry's page, written to `target` in one rename.
void writePreview(ToolContext& context, OpenLibrary& lib, const std::u16string& entry,
                  const pbl::PblEntryInfo& info, const std::u16string& target,
                  fs::Durability durability) {
    const std::string shown = shownName(entry);
    if (fs::sameFile(lib.path, target))
        throw ToolFailure{displayPath(target) + ": is the library itself"};
    const std::u16string stem = entry.substr(0, entry.size() - kSourceSuffix.size());
    const dw::Preview preview = dw::previewHtml(utf16ToUtf8(stem), readSource(lib, info, shown),
                                                lookupIn(lib), utf16ToUtf8(entry));
    requireDirectoryOf(target);
    fs::ReplacementFile file;
    createReplacement(file, target, u"html");
    writeReplacement(file, std::span(reinterpret_cast<const std::uint8_t*>(preview.html.data()),
                                     preview.html.size()));
    commitReplacement(file, fs::Replace::kYes, durability, "cannot write the file");
    for (const std::string& note : preview.notes) context.note(shown + ": " + escapeControls(note));
    if (!preview.notes.empty() && context.exitCode == kPblToolOk)
        context.exitCode = kPreviewIncomplete;
}

void previewOne(ToolContext& context, OpenLibrary& lib, const std::u16string& name,
                const std::u16string& target) {
    requireEntryName(name);
    if (!isDataWindowSource(name))
        throw ToolFailure{displayPath(name) + ": not a DataWindow source (a .srd entry)"};
    requireNameFits(lib, name);
    pbl::PblEntryInfo info{};
    const int code = lib->findEntry(name, info, 0);
    if (code == pbl::kPblNotFound) throw ToolFailure{displayPath(name) + ": no such entry"};
    lib.check(code, displayPath(name));
    writePreview(context, lib, name, info, target, fs::Durability::kFull);
}

void previewAll(ToolContext& context, OpenLibrary& lib, const std::u16string& directory) {
    std::vector<EntryRecord> entries = listEntries(lib);
    if (!fs::makeDirectories(directory))
        throw ToolFailure{displayPath(directory) + ": cannot create the directory"};
    // Names a case-insensitive file system takes for one: the second page would replace
    // the first, so it is not written.
    std::set<std::u16string> taken;
    for (const EntryRecord& entry : entries) {
        if (!isDataWindowSource(entry.name)) continue;
        const std::u16string fileName =
            exportFileName(entry.name.substr(0, entry.name.size() - kSourceSuffix.size())) +
            u".html";
        const std::u16string target = path::join(directory, fileName);
        try {
            if (!taken.insert(foldedFileName(fileName)).second)
                throw ToolFailure{displayPath(target) +
                                  ": another DataWindow's page has this name"};
            writePreview(context, lib, entry.name, entry.info, target, fs::Durability::kFileData);
            context.out.line(displayPath(target));
        } catch (const ToolFailure& failure) {
            context.note(shownName(entry.name) + ": no page: " + failure.message);
            context.exitCode = kPblToolFailed;
        }
    }
    syncDirectoryNames(directory);
}

}  // namespace

void runPreview(ToolContext& context, const ParsedArgs& args) {
    const std::optional<std::u16string> html = args.value("--html");
    const std::optional<std::u16string> all = args.value("--all");
    if (html && all) throw UsageFailure{"give --html or --all, not both"};
    if (all) {
        if (args.positional.size() != 1) throw UsageFailure{"--all takes the library alone"};
        if (all->empty()) throw UsageFailure{"--all needs a directory"};
    } else {
        if (args.positional.size() != 2 || !html)
            throw UsageFailure{"preview needs LIB ENTRY.srd --html OUT.html, or LIB --all DIR"};
        if (html->empty()) throw UsageFailure{"--html needs a file name"};
    }
    OpenLibrary lib = context.open(args.positional[0], false);
    if (all)
        previewAll(context, lib, *all);
    else
        previewOne(context, lib, args.positional[1], *html);
}

}  // namespace keldrin::tool
