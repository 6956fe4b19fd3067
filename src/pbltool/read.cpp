// keldrin-pbl's read commands: info, ls, cat. They open the library for reading only,
// under a shared lock.
#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "base/text.h"
#include "pbl/library_facts.h"
#include "pbltool/commands.h"
#include "pbltool/scan.h"
#include "pbltool/text.h"

namespace keldrin::tool {

void runInfo(ToolContext& context, const ParsedArgs& args) {
    const std::u16string& path = args.positional[0];
    OpenLibrary lib = context.open(path, false);
    pbl::LibraryFacts facts;
    lib.check(pbl::readLibraryFacts(*lib.library, facts), displayPath(path));
    const auto entries = static_cast<std::int64_t>(listEntries(lib).size());
    const char* variant = facts.unicode ? "Unicode" : "ANSI";
    std::string commentText = utf16ToUtf8(facts.comment);
    Output& out = context.out;

    if (args.has("--json")) {
        JsonObject json;
        json.text("variant", variant)
            .text("header_version", facts.headerVersion)
            .number("version", facts.version)
            .number("created", facts.created)
            .text("comment", commentText)
            .number("library_data_length", facts.libraryDataLength)
            .number("entries", entries)
            .number("file_blocks", facts.fileBlocks)
            .number("blocks_in_use", facts.blocksInUse)
            .number("blocks_free", facts.blocksFree);
        if (facts.hosted) json.number("header_offset", facts.headerOffset);
        writeJson(out, json);
        return;
    }
    out.line(std::string("variant: ") + variant);
    out.line("header version: " + escapeControls(facts.headerVersion));
    out.line("version: " + std::to_string(facts.version));
    out.line("created: " + isoTime(facts.created));
    out.line("comment: " + escapeControls(commentText));
    out.line("library data: " + std::to_string(facts.libraryDataLength) + " bytes");
    out.line("entries: " + std::to_string(entries));
    out.line("blocks: " + std::to_string(facts.fileBlocks) +
             (facts.hosted ? " in library, " : " in file, ") + std::to_string(facts.blocksInUse) +
             " in use, " + std::to_string(facts.blocksFree) + " free");
    if (facts.hosted)
        out.line("inside a larger file: header at byte " + std::to_string(facts.headerOffset) +
                 ", read-only");
}

namespace {

char16_t foldAscii(char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + 32) : c;
}

}  // namespace

bool globMatches(std::u16string_view glob, std::u16string_view name) {
    std::size_t g = 0;
    std::size_t n = 0;
    std::size_t starGlob = std::u16string_view::npos;
    std::size_t starName = 0;
    while (n < name.size()) {
        bool step = false;
        if (g < glob.size() && glob[g] == u'*') {
            starGlob = g++;
            starName = n;
            continue;
        }
        if (g < glob.size() && glob[g] == u'[') {
            std::size_t k = g + 1;
            bool negate = k < glob.size() && (glob[k] == u'!' || glob[k] == u'^');
            if (negate) ++k;
            bool found = false;
            std::size_t first = k;
            while (k < glob.size() && (glob[k] != u']' || k == first)) {
                char16_t low = glob[k];
                char16_t high = low;
                if (k + 2 < glob.size() && glob[k + 1] == u'-' && glob[k + 2] != u']') {
                    high = glob[k + 2];
                    k += 2;
                }
                char16_t c = foldAscii(name[n]);
                if ((c >= foldAscii(low) && c <= foldAscii(high)) ||
                    (name[n] >= low && name[n] <= high))
                    found = true;
                ++k;
            }
            if (k < glob.size() && found != negate) {
                g = k + 1;
                step = true;
            } else if (k >= glob.size() && glob[g] == name[n]) {
                // No closing bracket: "[" stands for itself.
                ++g;
                step = true;
            }
        } else if (g < glob.size() &&
                   (glob[g] == u'?' || foldAscii(glob[g]) == foldAscii(name[n]))) {
            ++g;
            step = true;
        }
        if (step) {
            ++n;
        } else if (starGlob != std::u16string_view::npos) {
            g = starGlob + 1;
            n = ++starName;
        } else {
            return false;
        }
    }
    while (g < glob.size() && glob[g] == u'*') ++g;
    return g == glob.size();
}

namespace {

// ls --sort: by name, by size (largest first) or by time (newest first), as ls -S and
// ls -t order; ties by name.
void sortEntries(std::vector<EntryRecord>& entries, const std::u16string& key) {
    auto byName = [](const EntryRecord& a, const EntryRecord& b) { return a.name < b.name; };
    if (key == u"name") {
        std::stable_sort(entries.begin(), entries.end(), byName);
    } else if (key == u"size") {
        std::stable_sort(
            entries.begin(), entries.end(), [&](const EntryRecord& a, const EntryRecord& b) {
                return a.info.dataSize != b.info.dataSize ? a.info.dataSize > b.info.dataSize
                                                          : byName(a, b);
            });
    } else if (key == u"time") {
        std::stable_sort(
            entries.begin(), entries.end(), [&](const EntryRecord& a, const EntryRecord& b) {
                return a.info.time != b.info.time ? a.info.time > b.info.time : byName(a, b);
            });
    } else {
        throw UsageFailure{"--sort takes name, size or time, not " + displayPath(key)};
    }
}

}  // namespace

void runList(ToolContext& context, const ParsedArgs& args) {
    std::optional<std::u16string> sortKey = args.value("--sort");
    if (sortKey) {
        std::vector<EntryRecord> none;
        sortEntries(none, *sortKey);  // a bad key is a usage error before the library opens
    }
    OpenLibrary lib = context.open(args.positional[0], false);
    std::vector<EntryRecord> entries = listEntries(lib);
    if (args.positional.size() > 1) {
        std::span<const std::u16string> globs(args.positional.begin() + 1, args.positional.end());
        std::erase_if(entries, [&](const EntryRecord& e) {
            return std::none_of(globs.begin(), globs.end(), [&](const std::u16string& glob) {
                return globMatches(glob, e.name);
            });
        });
    }
    if (sortKey) sortEntries(entries, *sortKey);
    if (args.has("--json")) {
        std::vector<JsonObject> rows;
        rows.reserve(entries.size());
        for (const EntryRecord& e : entries)
            rows.push_back(JsonObject()
                               .text("name", utf16ToUtf8(e.name))
                               .number("data_size", e.info.dataSize)
                               .number("comment_size", e.info.commentSize)
                               .number("time", e.info.time));
        writeJsonArray(context.out, rows);
        return;
    }
    for (const EntryRecord& e : entries)
        context.out.line(escapeControls(utf16ToUtf8(e.name)) + "\t" +
                         std::to_string(e.info.dataSize) + "\t" +
                         std::to_string(e.info.commentSize) + "\t" + isoTime(e.info.time));
}

void runCat(ToolContext& context, const ParsedArgs& args) {
    const std::u16string& name = args.positional[1];
    requireEntryName(name, true);
    OpenLibrary lib = context.open(args.positional[0], false);
    requireNameFits(lib, name);
    pbl::PblEntryInfo info{};
    int code = lib->findEntry(name, info, 0);
    if (code == pbl::kPblNotFound) throw ToolFailure{displayPath(name) + ": no such entry"};
    lib.check(code, displayPath(name));
    std::vector<std::uint8_t> data = readEntry(lib, info, displayPath(name));
    auto split = data.begin() + info.commentSize;
    const bool comment = args.has("--comment");
    std::string bytes = comment ? std::string(data.begin(), split) : std::string(split, data.end());
    if (args.has("--text")) {
        // A compiled object's bytes are no text; decoding them would print noise.
        if (!comment && !pbl::isSourceEntryName(name))
            throw ToolFailure{displayPath(name) + ": a compiled object, not text"};
        try {
            bytes =
                decodeStoredText(lib->isUnicode() != 0,
                                 reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        } catch (const ToolFailure& failure) {
            throw ToolFailure{displayPath(name) + ": " + failure.message};
        }
    }
    context.out.write(bytes);
}

}  // namespace keldrin::tool
