// keldrin-pbl's commands that change one library in place: create, put, rm, comment,
// libdata.
// Each opens the library for writing, which takes its exclusive lock and begins one
// change; only close() commits it, so a command that fails part way changes nothing.
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "base/file.h"
#include "base/text.h"
#include "pbl/export_file.h"
#include "pbltool/commands.h"
#include "pbltool/files.h"
#include "pbltool/text.h"

namespace keldrin::tool {

namespace {

// The whole of FILE, or of standard input for none or "-", refused past `limit` bytes.
std::vector<std::uint8_t> readInput(const ToolContext& context,
                                    const std::optional<std::u16string>& path, std::size_t limit) {
    bool fromStdin = !path || *path == u"-";
    std::FILE* file = fromStdin ? context.io.in : fs::openFile(*path, "rb");
    if (file == nullptr) throw ToolFailure{displayPath(*path) + ": cannot open the file"};
    std::vector<std::uint8_t> bytes;
    std::uint8_t chunk[65536];
    bool ok = true;
    std::size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
        if (n > limit - bytes.size()) {
            ok = false;
            break;
        }
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    bool readFailed = std::ferror(file) != 0;
    if (!fromStdin) std::fclose(file);
    std::string source = fromStdin ? std::string("standard input") : displayPath(*path);
    if (!ok) throw ToolFailure{source + ": too large for a library entry"};
    if (readFailed) throw ToolFailure{source + ": cannot read"};
    return bytes;
}

// A name or comment that no export file could carry is refused here, where it would
// come in, so that export never meets one. `owner` names the entry or the library.
void refuseUnexportable(pbl::HeaderField field, const std::u16string& text,
                        const std::u16string& owner) {
    const std::string problem = pbl::exportHeaderProblem(field, text);
    if (!problem.empty())
        throw ToolFailure{displayPath(owner) + ": " + problem + ", so no export could carry it"};
}

}  // namespace

void runCreate(ToolContext& context, const ParsedArgs& args) {
    const std::u16string& path = args.positional[0];
    std::int32_t version = parseInt32(args.positional[1], "VERSION");
    if (version < 5) throw UsageFailure{"VERSION must be 5 or higher"};
    // Never over an existing file: it may be someone's library.
    if (fs::fileExists(path)) throw ToolFailure{displayPath(path) + ": already exists"};
    pbl::PblManagerHandle manager = newManager(context.lockWaitMs);
    fs::ReplacementFile library;
    createReplacement(library, path, u"create");
    // The library writes the file by name.
    if (!library.letGo()) throw ToolFailure{displayPath(path) + ": cannot create the file"};
    check(manager->createLibrary(library.path(), version), displayPath(path));
    if (!commitReplacement(library, fs::Replace::kNo, fs::Durability::kFull,
                           "cannot create the file"))
        throw ToolFailure{displayPath(path) + ": already exists"};
}

void runPut(ToolContext& context, const ParsedArgs& args) {
    const std::u16string& path = args.positional[0];
    const std::u16string& name = args.positional[1];
    requireEntryName(name);
    std::optional<std::int32_t> time;
    if (auto text = args.value("--time")) time = parseInt32(*text, "--time");
    std::optional<std::u16string> source;
    if (args.positional.size() == 3) source = args.positional[2];
    const std::optional<std::u16string> commentText = args.value("--comment");
    refuseUnexportable(pbl::HeaderField::kName, name, name);
    if (commentText) refuseUnexportable(pbl::HeaderField::kComment, *commentText, name);

    OpenLibrary lib = context.open(path, true);
    refuseHosted(lib);
    requireNameFits(lib, name);
    std::string comment;
    if (commentText) comment = libraryText(*lib.library, *commentText, "the comment");
    const std::size_t commentLimit = lib.library->maxCommentBytes();
    if (comment.size() > commentLimit)
        throw ToolFailure{"the comment is too long: at most " + std::to_string(commentLimit) +
                          " bytes"};
    // The whole input is read before the library changes, so a failed read changes nothing.
    std::vector<std::uint8_t> body =
        readInput(context, source, lib.library->maxEntryBytes() - comment.size());
    lib.check(lib.library->putEntry(name, bytesOf(comment), body, time), displayPath(name));
    lib.close();
}

void runRemove(ToolContext& context, const ParsedArgs& args) {
    const std::u16string& name = args.positional[1];
    requireEntryName(name, true);
    OpenLibrary lib = context.open(args.positional[0], true);
    refuseHosted(lib);
    requireNameFits(lib, name);
    pbl::PblEntryInfo info{};
    int code = lib->findEntry(name, info, 0);
    if (code == pbl::kPblNotFound) throw ToolFailure{displayPath(name) + ": no such entry"};
    lib.check(code, displayPath(name));
    lib.check(lib->deleteEntry(info), displayPath(name));
    lib.close();
}

void runComment(ToolContext& context, const ParsedArgs& args) {
    bool setting = args.positional.size() == 2;
    OpenLibrary lib = context.open(args.positional[0], setting);
    if (!setting) {
        context.out.line(escapeControls(utf16ToUtf8(readComment(lib))));
        return;
    }
    refuseHosted(lib);
    const std::u16string& text = args.positional[1];
    refuseUnexportable(pbl::HeaderField::kComment, text, lib.path);
    std::string stored = libraryText(*lib.library, text, "the comment");
    bool unicode = lib->isUnicode() != 0;
    if (stored.size() > lib->maxLibraryCommentBytes())
        throw ToolFailure{
            unicode ? "the comment is too long: at most 255 UTF-16 characters in a Unicode library"
                    : "the comment is too long: at most 255 bytes in an ANSI library"};
    if (unicode)
        lib.check(lib->setComment(text.c_str()), displayPath(lib.path));
    else
        lib.check(lib->setComment(stored.c_str()), displayPath(lib.path));
    lib.close();
}

void runLibraryData(ToolContext& context, const ParsedArgs& args) {
    const std::u16string& path = args.positional[0];
    std::optional<std::u16string> source = args.value("--set");
    if (!source) {
        OpenLibrary lib = context.open(path, false);
        std::vector<std::uint8_t> data = readLibraryBytes(lib);
        context.out.write(std::string(data.begin(), data.end()));
        return;
    }
    // Read whole before the library opens, so a failed read changes nothing.
    std::vector<std::uint8_t> data = readInput(context, source, pbl::PblLibrary::maxEntryBytes());
    OpenLibrary lib = context.open(path, true);
    refuseHosted(lib);
    std::uint8_t none = 0;
    lib.check(
        lib->writeLibraryData(data.empty() ? &none : data.data(), static_cast<int>(data.size())),
        displayPath(path));
    lib.close();
}

}  // namespace keldrin::tool
