// keldrin-pbl's read commands: info, ls, cat. They open the library for reading only,
// under a shared lock.
#include <string>
#include <vector>

#include "app/pbl_tool_commands.h"
#include "app/pbl_tool_text.h"
#include "pbl/library_facts.h"
#include "base/text.h"

namespace keldrin::tool {

void runInfo(ToolContext& context, const ParsedArgs& args) {
    const std::u16string& path = args.positional[0];
    OpenLibrary lib = context.open(path, false);
    pbl::LibraryFacts facts;
    lib.check(pbl::readLibraryFacts(lib.concrete(), facts), displayPath(path));
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

void runList(ToolContext& context, const ParsedArgs& args) {
    OpenLibrary lib = context.open(args.positional[0], false);
    std::vector<EntryRecord> entries = listEntries(lib);
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
    std::string ansiName = entryName(name, true);
    OpenLibrary lib = context.open(args.positional[0], false);
    requireNameFits(lib, ansiName, name);
    pbl::PblEntryInfo info{};
    int code = lib->findEntry(ansiName.c_str(), info, 0);
    if (code == pbl::kPblNotFound) throw ToolFailure{displayPath(name) + ": no such entry"};
    lib.check(code, displayPath(name));
    std::vector<std::uint8_t> data = readEntry(lib, info, displayPath(name));
    auto split = data.begin() + info.commentSize;
    std::string bytes =
        args.has("--comment") ? std::string(data.begin(), split) : std::string(split, data.end());
    context.out.write(bytes);
}

}  // namespace keldrin::tool
