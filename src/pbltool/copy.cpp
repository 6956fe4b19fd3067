// keldrin-pbl's commands that write whole files from a library: rebuild (a fresh copy)
// and optimize (a fresh copy in the library's place).
// Every file is written under a temporary name beside its target and moved into place
// only when it is complete.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "base/bytes.h"
#include "base/file.h"
#include "base/replacement_file.h"
#include "base/text.h"
#include "pbl/library_facts.h"
#include "pbl/rebuild.h"
#include "pbltool/commands.h"
#include "pbltool/files.h"
#include "pbltool/text.h"

namespace keldrin::tool {

namespace {

void copyLibrary(OpenLibrary& source, const std::u16string& target, int version,
                 const std::string& context) {
    // The rebuild creates the entries through findEntry, which takes narrow names, so it
    // needs the names handed out in the ANSI form while it runs. The target's name goes
    // as it is: any path the system can open, whatever the ANSI code page can carry.
    source.manager->setNameEncoding(pbl::kNameAnsi);
    int code = pbl::copyLibrary(*source.library, target, version);
    source.manager->setNameEncoding(pbl::kNameUtf16);
    if (code == pbl::kPblInvalidArgument && version <= 0 && source->version() < 5) {
        std::string headerVersion = "0" + std::to_string(source->version()) + "00";
        // Where the header cannot be read, the number the library recognised is shown.
        pbl::LibraryFacts facts;
        if (pbl::readHeaderFacts(*source.library, facts) == pbl::kPblOk)
            headerVersion = facts.headerVersion;
        throw ToolFailure{displayPath(source.path) + ": a library with header version " +
                          escapeControls(headerVersion) +
                          " cannot be rebuilt in its own version; give --version 5 or higher"};
    }
    source.check(code, context);
}

// The --version option of rebuild and optimize: 0 when absent (keep the version).
int versionOption(const ParsedArgs& args) {
    auto text = args.value("--version");
    if (!text) return 0;
    std::int32_t version = parseInt32(*text, "--version");
    if (version < 5) throw UsageFailure{"--version must be 5 or higher"};
    return version;
}

// Entry by entry, the rebuilt library holds what the original held. Into the other
// variant the comments are converted text, so there only the bodies are compared.
void verifyCopy(OpenLibrary& original, OpenLibrary& copy) {
    std::vector<EntryRecord> before = listEntries(original);
    std::vector<EntryRecord> after = listEntries(copy);
    std::string differs =
        displayPath(copy.path) + ": the rebuilt library differs from the original";
    const bool sameVariant = original->isUnicode() == copy->isUnicode();
    if (before.size() != after.size()) throw ToolFailure{differs};
    auto byName = [](const EntryRecord& a, const EntryRecord& b) { return a.name < b.name; };
    std::sort(before.begin(), before.end(), byName);
    std::sort(after.begin(), after.end(), byName);
    for (std::size_t i = 0; i < before.size(); ++i) {
        const pbl::PblEntryInfo& a = before[i].info;
        const pbl::PblEntryInfo& b = after[i].info;
        if (before[i].name != after[i].name || a.time != b.time ||
            a.dataSize - a.commentSize != b.dataSize - b.commentSize ||
            (sameVariant && a.commentSize != b.commentSize))
            throw ToolFailure{differs};
        std::string shown = escapeControls(utf16ToUtf8(before[i].name));
        std::vector<std::uint8_t> was = readEntry(original, a, shown);
        std::vector<std::uint8_t> is = readEntry(copy, b, shown);
        if (!sameVariant) {
            was.erase(was.begin(), was.begin() + a.commentSize);
            is.erase(is.begin(), is.begin() + b.commentSize);
        }
        if (was != is) throw ToolFailure{differs};
    }
    if ((sameVariant && readComment(original) != readComment(copy)) ||
        readLibraryBytes(original) != readLibraryBytes(copy))
        throw ToolFailure{differs};
}

}  // namespace

void runRebuild(ToolContext& context, const ParsedArgs& args) {
    const std::u16string& path = args.positional[0];
    const std::u16string& target = args.positional[1];
    int version = versionOption(args);
    if (fs::sameFile(path, target))
        throw ToolFailure{displayPath(target) +
                          ": is the library itself; use optimize to rebuild in place"};
    requireDirectoryOf(target);
    OpenLibrary lib = context.open(path, false);
    const std::optional<OpenLibrary> previous = holdLibraryToReplace(target, context.lockWaitMs);
    copyLibrary(lib, target, version, displayPath(target));
}

void runOptimize(ToolContext& context, const ParsedArgs& args) {
    const std::u16string& path = args.positional[0];
    int version = versionOption(args);
    const bool force = args.has("--force");
    std::u16string backupPath = path + u".bak";
    // The exclusive lock is held to the end: a change another program made between our
    // reading and the replacement would be lost. Writers that waited meanwhile find the
    // name leads to the new file when they get the lock, and open that one.
    OpenLibrary lib = context.open(path, true);
    refuseHosted(lib);
    if (!force && fs::fileExists(backupPath))
        throw ToolFailure{displayPath(backupPath) +
                          ": already exists; remove it, or give --force to replace it"};

    // The new library is built and checked beside the original; the original is only
    // replaced, in one step, once the copy and the backup are both complete.
    fs::ReplacementFile rebuilt;
    createReplacement(rebuilt, path, u"optimize");
    // The rebuild writes the file by name.
    if (!rebuilt.letGo()) throw ToolFailure{displayPath(path) + ": cannot write the new library"};
    copyLibrary(lib, rebuilt.path(), version, displayPath(path));
    {
        OpenLibrary copy = context.open(rebuilt.path(), false);
        verifyCopy(lib, copy);
    }

    std::optional<std::vector<std::uint8_t>> original = readWholeFile(path);
    if (!original) throw ToolFailure{displayPath(path) + ": cannot read the file"};
    fs::ReplacementFile backup;
    createReplacement(backup, backupPath, u"");
    writeReplacement(backup, *original);
    if (readWholeFile(backup.path()) != original)
        throw ToolFailure{displayPath(backupPath) + ": cannot write the backup"};
    // The backup stands in for the original: it keeps its owner and permissions, so a
    // private library stays private (the new library keeps them as its target's).
    backup.keepAttributesOf(path);
    if (!commitReplacement(backup, force ? fs::Replace::kYes : fs::Replace::kNo,
                           fs::Durability::kFull, "cannot write the backup"))
        throw ToolFailure{displayPath(backupPath) +
                          ": already exists; remove it, or give --force to replace it"};
    // Where an open file cannot be replaced, the lock goes a moment early.
    if (!fs::canReplaceOpenFile()) lib.library.reset();
    commitReplacement(rebuilt, fs::Replace::kYes, fs::Durability::kFull,
                      "cannot replace the library; it is unchanged");
    lib.close();
}

}  // namespace keldrin::tool
