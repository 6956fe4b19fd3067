// keldrin-pbl's workspace layout (export and import --layout ws_objects) and status,
// which says for every source entry and file of such a folder whether they agree.
#include "pbltool/workspace.h"

#include <algorithm>
#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "base/directory.h"
#include "base/file.h"
#include "base/path.h"
#include "base/replacement_file.h"
#include "base/text.h"
#include "pbl/export_file.h"
#include "pbl/stored_text.h"
#include "pbltool/files.h"
#include "pbltool/sources.h"
#include "pbltool/text.h"

namespace keldrin::tool {

namespace {

void requireLayout(const ParsedArgs& args) {
    std::optional<std::u16string> layout = args.value("--layout");
    if (layout && *layout != u"ws_objects")
        throw UsageFailure{"unknown layout " + displayPath(*layout) + " (ws_objects)"};
}

// The folders of the libraries, each named once: two libraries of one file name (from
// two directories) would write into one folder.
std::vector<std::u16string> foldersOf(const std::u16string& directory,
                                      const std::vector<std::u16string>& libraries) {
    std::vector<std::u16string> folders;
    std::set<std::u16string> taken;
    for (const std::u16string& library : libraries) {
        folders.push_back(workspaceFolder(directory, library));
        if (!taken.insert(foldedFileName(path::fileName(library))).second)
            throw UsageFailure{displayPath(library) +
                               ": another library of that name has the same folder"};
    }
    return folders;
}

// The object list PowerBuilder keeps beside a library's sources: the library, then
// each object whose file is there. PowerBuilder writes it in UTF-8 with a BOM and LF.
std::string objectList(const std::u16string& library, const std::vector<std::u16string>& sources) {
    const std::string name = utf16ToUtf8(path::fileName(library));
    std::string text = "\xEF\xBB\xBFSave Format v3.0(19990112)\n@begin Libraries\n \"" + name +
                       "\" \"\";\n@end;\n@begin Objects \n";
    for (const std::u16string& source : sources)
        text += " \"" + utf16ToUtf8(source) + "\" \"" + name + "\";\n";
    text += "@end;\n";
    return text;
}

void writeObjectList(ToolContext& context, const std::u16string& library,
                     const std::u16string& folder, fs::Durability durability) {
    OpenLibrary lib = context.open(library, false);
    std::vector<std::u16string> sources;
    for (const EntryRecord& entry : listEntries(lib))
        if (pbl::isSourceEntryName(entry.name)) sources.push_back(entry.name);
    lib.close();
    // In name order, as PowerBuilder lists them (a library's directory need not be).
    std::sort(sources.begin(), sources.end(), [](const std::u16string& a, const std::u16string& b) {
        return pbl::entryNameKey(a) < pbl::entryNameKey(b);
    });
    std::u16string stem = path::fileName(library);
    const std::size_t dot = stem.rfind(u'.');
    if (dot != std::u16string::npos && dot != 0) stem.resize(dot);
    const std::u16string target = path::join(folder, stem + u".pbg");
    const std::string text = objectList(library, sources);
    fs::ReplacementFile file;
    createReplacement(file, target, u".keldrin-export");
    writeReplacement(file, {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()});
    commitReplacement(file, fs::Replace::kYes, durability, "cannot write the file");
}

}  // namespace

std::size_t workspaceOmittedTail(bool unicodeLibrary, std::u16string_view entryName,
                                 ByteSpan body) {
    if (entryName.size() < 4 ||
        pbl::entryNameKey(entryName.substr(entryName.size() - 4)) != pbl::entryNameKey(u".srd"))
        return 0;
    // The tail comes after a whole last line: CRLF, a space, a zero character.
    static constexpr std::uint8_t kAnsi[] = {'\r', '\n', ' ', 0};
    static constexpr std::uint8_t kWide[] = {'\r', 0, '\n', 0, ' ', 0, 0, 0};
    const ByteSpan tail = unicodeLibrary ? ByteSpan(kWide) : ByteSpan(kAnsi);
    if (body.size() < tail.size() ||
        !std::equal(tail.begin(), tail.end(),
                    body.end() - static_cast<std::ptrdiff_t>(tail.size())))
        return 0;
    return unicodeLibrary ? 4 : 2;
}

std::u16string workspaceFolder(const std::u16string& directory, const std::u16string& library) {
    return path::join(directory, path::fileName(library) + u".src");
}

void runWorkspaceExport(ToolContext& context, const ParsedArgs& args) {
    requireLayout(args);
    if (args.has("--raw") || args.has("--all"))
        throw UsageFailure{
            "--layout writes sources as PowerBuilder's workspace keeps them; it "
            "takes no --raw or --all"};
    std::optional<std::u16string> encoding = args.value("--encoding");
    if (encoding && *encoding != u"utf8")
        throw UsageFailure{"--layout writes UTF-8, as PowerBuilder's workspace keeps it"};
    const std::u16string& directory = args.positional.back();
    const std::vector<std::u16string> libraries(args.positional.begin(), args.positional.end() - 1);
    const std::vector<std::u16string> folders = foldersOf(directory, libraries);
    const bool sync = args.has("--sync");
    auto exportOf = [&](std::size_t i, bool checkOnly) {
        ParsedArgs one;
        one.positional = {libraries[i], folders[i]};
        one.options = {{"--encoding", u"utf8"}, {kWorkspaceExport, std::nullopt}};
        for (const char* passed : {"--quiet", "--sync"})
            if (args.has(passed)) one.options.emplace_back(passed, std::nullopt);
        if (checkOnly) one.options.emplace_back(kWorkspaceCheckOnly, std::nullopt);
        runExport(context, one);
    };
    // A library whose text UTF-8 cannot carry stops the export before any folder is written.
    if (libraries.size() > 1)
        for (std::size_t i = 0; i < libraries.size(); ++i) exportOf(i, true);
    for (std::size_t i = 0; i < libraries.size(); ++i) {
        exportOf(i, false);
        writeObjectList(context, libraries[i], folders[i],
                        sync ? fs::Durability::kFileData : fs::Durability::kNone);
        if (sync) syncDirectoryNames(folders[i]);
    }
}

void runWorkspaceImport(ToolContext& context, const ParsedArgs& args) {
    requireLayout(args);
    const std::u16string& directory = args.positional.front();
    const std::vector<std::u16string> libraries(args.positional.begin() + 1, args.positional.end());
    const std::vector<std::u16string> folders = foldersOf(directory, libraries);
    // Every folder is there before the first library changes.
    for (const std::u16string& folder : folders)
        if (!fs::isDirectory(folder))
            throw ToolFailure{displayPath(folder) + ": no such folder (the library's sources)"};
    auto importOf = [&](std::size_t i, bool checkOnly) {
        ParsedArgs one;
        one.positional = {libraries[i], folders[i]};
        if (args.has("--replace")) one.options.emplace_back("--replace", std::nullopt);
        if (checkOnly) one.options.emplace_back(kWorkspaceCheckOnly, std::nullopt);
        runImport(context, one);
    };
    // Every library's files are read and checked before the first library changes.
    if (libraries.size() > 1)
        for (std::size_t i = 0; i < libraries.size(); ++i) importOf(i, true);
    for (std::size_t i = 0; i < libraries.size(); ++i) importOf(i, false);
}

// ---------------------------------------------------------------------------------------
// status

namespace {

struct StatusRow {
    std::u16string name;
    const char* status;
    std::string changed;  // "data", "comment", "binary", joined by commas
    std::u16string file;
};

std::vector<std::uint8_t> entryData(OpenLibrary& lib, const EntryRecord& entry) {
    std::vector<std::uint8_t> stored =
        readEntry(lib, entry.info, escapeControls(utf16ToUtf8(entry.name)));
    stored.erase(stored.begin(),
                 stored.begin() + static_cast<std::ptrdiff_t>(entry.info.commentSize));
    return stored;
}

// What differs between a source entry (and its binary data entry) and the file that
// import would take it from, compared as import would store the file.
std::string differences(OpenLibrary& lib, const EntryRecord& source, const EntryRecord* binary,
                        const ImportedEntry& file) {
    const bool unicode = lib->isUnicode() != 0;
    std::vector<std::uint8_t> stored =
        readEntry(lib, source.info, escapeControls(utf16ToUtf8(source.name)));
    const auto commentSize = static_cast<std::size_t>(source.info.commentSize);
    ByteSpan body = ByteSpan(stored).subspan(commentSize);
    body = body.first(body.size() - workspaceOmittedTail(unicode, source.name, body));
    const ByteSpan fileData = file.data();
    std::string what;
    auto add = [&](const char* word) { what += (what.empty() ? "" : ",") + std::string(word); };
    if (!std::ranges::equal(body, fileData.subspan(file.commentSize))) add("data");
    if (!std::ranges::equal(ByteSpan(stored).first(commentSize), fileData.first(file.commentSize)))
        add("comment");
    const bool binaryDiffers = binary == nullptr
                                   ? file.binaryName.has_value()
                                   : !file.binaryName || entryData(lib, *binary) != file.binaryData;
    if (binaryDiffers) add("binary");
    return what;
}

// The rows of one library and its folder, by entry name.
std::vector<StatusRow> libraryStatus(ToolContext& context, const std::u16string& library,
                                     const std::u16string& folder, bool& trouble) {
    OpenLibrary lib = context.open(library, false);
    std::map<std::u16string, const EntryRecord*> byKey;
    const std::vector<EntryRecord> entries = listEntries(lib);
    for (const EntryRecord& entry : entries) byKey[pbl::entryNameKey(entry.name)] = &entry;

    std::vector<std::u16string> files;
    if (fs::isDirectory(folder)) collectFiles(folder, files);
    std::map<std::u16string, ImportedEntry> fileOf;  // name key -> the file's texts
    for (const std::u16string& path : files) {
        try {
            ImportedEntry file = prepareImport(lib, path, readImportFile(path));
            std::u16string key = pbl::entryNameKey(file.name);
            auto at = fileOf.find(key);
            if (at != fileOf.end()) {
                context.note(displayPath(path) + ": names the entry " + displayPath(file.name) +
                             ", as " + displayPath(at->second.file) + " does");
                trouble = true;
                continue;
            }
            fileOf.emplace(std::move(key), std::move(file));
        } catch (const ToolFailure& failure) {
            context.note(failure.message);
            trouble = true;
        }
    }

    std::map<std::u16string, StatusRow> rows;
    for (const EntryRecord& entry : entries) {
        if (!pbl::isSourceEntryName(entry.name)) continue;
        const std::u16string key = pbl::entryNameKey(entry.name);
        auto file = fileOf.find(key);
        if (file == fileOf.end()) {
            rows[key] = {entry.name, "only-library", "", u""};
            continue;
        }
        auto binary = byKey.find(pbl::entryNameKey(pbl::binaryEntryName(entry.name)));
        std::string what =
            differences(lib, entry, binary == byKey.end() ? nullptr : binary->second, file->second);
        rows[key] = {entry.name, what.empty() ? "same" : "changed", what, file->second.file};
    }
    for (auto& [key, file] : fileOf)
        if (rows.count(key) == 0) rows[key] = {file.name, "only-files", "", file.file};
    std::vector<StatusRow> list;
    list.reserve(rows.size());
    for (auto& [key, row] : rows) list.push_back(std::move(row));
    return list;
}

}  // namespace

void runStatus(ToolContext& context, const ParsedArgs& args) {
    const bool json = args.has("--json");
    const std::u16string& directory = args.positional.back();
    const std::vector<std::u16string> libraries(args.positional.begin(), args.positional.end() - 1);
    const std::vector<std::u16string> folders = foldersOf(directory, libraries);
    bool differ = false;
    bool trouble = false;
    std::vector<JsonObject> objects;
    for (std::size_t i = 0; i < libraries.size(); ++i) {
        std::vector<StatusRow> rows;
        try {
            rows = libraryStatus(context, libraries[i], folders[i], trouble);
        } catch (const ToolFailure& failure) {
            // The other libraries are still compared; the exit code says one could not be.
            context.note(failure.message);
            trouble = true;
            continue;
        }
        const std::string library = utf16ToUtf8(libraries[i]);
        for (const StatusRow& row : rows) {
            differ = differ || std::string_view(row.status) != "same";
            const std::string name = utf16ToUtf8(row.name);
            const std::string file = utf16ToUtf8(row.file);
            if (json) {
                JsonObject object;
                object.text("library", library).text("name", name).text("status", row.status);
                if (!row.changed.empty()) object.text("changed", row.changed);
                if (!file.empty()) object.text("file", file);
                objects.push_back(std::move(object));
                continue;
            }
            std::string line = std::string(row.status) + "\t" + escapeControls(library) + "\t" +
                               escapeControls(name);
            if (!row.changed.empty()) line += "\t" + row.changed;
            context.out.line(line);
        }
    }
    if (json) writeJsonArray(context.out, objects);
    if (trouble)
        context.exitCode = kPblToolUsage;
    else if (differ)
        context.exitCode = kPblToolFailed;
}

}  // namespace keldrin::tool
