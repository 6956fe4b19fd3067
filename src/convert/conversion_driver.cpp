// The conversion of one opened report into a new PBL library. It is written once, in
// the abstract container, and reaches the report only through the container's own
// operations, so both container kinds share it.
//
// The user's files come first: the library is written completely under a temporary
// name of its own next to the target, put on disk, and only then moved over the target
// in one atomic step. Until that step an existing target keeps its old content; after
// any failure, and after an interrupt by the user, the temporary file is gone and the
// target is as it was. The library takes over the target's permissions, so replacing a
// private library does not open it to others.
//
// A report whose DataWindows the library cannot keep apart (two names that the library
// takes for one, or a name its ANSI code page cannot carry) fails the conversion: a
// library that silently misses a DataWindow is worse than none.
#include <cstdio>
#include <string>
#include <vector>

#include "base/console.h"
#include "base/exceptions.h"
#include "base/file.h"
#include "base/interrupt.h"
#include "base/text.h"
#include "convert/dw_extraction.h"
#include "convert/path_ops.h"
#include "pbl/library.h"
#include "psr/psr_container.h"

namespace keldrin {

namespace {

constexpr std::u16string_view kTemporaryStem = u"__quennet";
constexpr std::u16string_view kTemporaryExtension = u".tmp";
// Names tried for the temporary file: "__quennet.tmp", then "__quennet.1.tmp" and on.
// Leftovers of crashed runs and concurrent runs share the directory; beyond this many
// the directory is in a state we should not guess about.
constexpr int kTemporaryNameTries = 1000;

// The library factory, made on first use and kept for the rest of the process.
pbl::PblManager& pblManager() {
    static pbl::PblManager* const manager = pbl::createPblManager();
    if (manager == nullptr) throw IOException();
    return *manager;
}

// The directory the temporary file must live in: the target's own, so that the final
// rename stays inside one file system and is atomic. On Windows ":", "\" and "/" end a
// directory; on POSIX only "/" does, and ":" or "\" are ordinary characters of a name.
std::u16string targetDirectory(const std::u16string& target) {
#if defined(_WIN32)
    return directoryOf(target);
#else
    std::size_t slash = target.rfind(u'/');
    if (slash == std::u16string::npos) return u".";
    return target.substr(0, slash);
#endif
}

std::u16string temporaryName(const std::u16string& directory, int attempt) {
    std::u16string name = directory;
    name += u'/';
    name += kTemporaryStem;
    if (attempt > 0) {
        name += u'.';
        name += numberToText(attempt);
    }
    name += kTemporaryExtension;
    return name;
}

// Creates the temporary file exclusively, so that neither a user's file of that name
// nor the file of a conversion running at the same time is ever overwritten. Returns
// its name; the file exists, empty and closed.
std::u16string createTemporaryFile(const std::u16string& directory) {
    std::u16string name = fs::createUniqueFile(
        [&](int attempt) { return temporaryName(directory, attempt); }, kTemporaryNameTries);
    if (name.empty()) throw IOException();
    return name;
}

// Forces the finished library onto the disk before it takes the target's place, so a
// crash right after the rename cannot leave a target with missing content.
void syncToDisk(const std::u16string& path) {
    std::FILE* file = fs::openFile(path, "rb+");
    if (file == nullptr) throw IOException();
    bool synced = fs::syncFile(file);
    bool closed = std::fclose(file) == 0;
    if (!synced || !closed) throw IOException();
}

// Makes the rename itself durable where the platform lets a directory be opened and
// synced; where it cannot, the rename is still atomic, only its durability is the
// file system's.
void syncDirectory(const std::u16string& directory) {
    std::FILE* dir = fs::openFile(directory, "rb");
    if (dir == nullptr) return;
    fs::syncFile(dir);
    std::fclose(dir);
}

// An existing target may be replaced only when it does not mark itself as protected
// (read-only attribute, or no write permission for anyone, which even an
// administrator must respect) and the user could write it in place.
void checkTargetReplaceable(const std::u16string& target) {
    if (!fs::fileExists(target)) return;
    if (fs::isWriteProtected(target)) throw FileAccessException();
    std::FILE* probe = fs::openFile(target, "rb+");
    if (probe == nullptr) throw FileAccessException();
    std::fclose(probe);
}

void printLabelled(std::u16string_view label, const std::u16string& value) {
    std::u16string line(label);
    line += value;
    console::writeLine(line);
}

// Entry names go to the library in their exact form: UTF-16 for a Unicode library,
// the ANSI bytes for an ANSI one, where a name the code page cannot carry fails instead
// of landing under "?" in place of another entry's name.
//
// True when the library already holds an entry that the name leads to (as the library
// compares names: ASCII letters without regard to case).
bool hasEntry(pbl::PblLibrary& library, const std::u16string& name) {
    pbl::PblEntryInfo info{};
    int rc = library.findEntry(name, info, 0);
    if (rc == pbl::kPblNotFound) return false;
    if (rc != pbl::kPblOk) throw IOException();
    return true;
}

// True when the entry the name leads to holds exactly `data`, with no comment.
bool entryHolds(pbl::PblLibrary& library, const std::u16string& name, const Bytes& data) {
    pbl::PblEntryInfo info{};
    if (library.findEntry(name, info, 0) != pbl::kPblOk) throw IOException();
    if (info.commentSize != 0 || info.dataSize < 0 ||
        static_cast<std::size_t>(info.dataSize) != data.size())
        return false;
    Bytes stored(data.size());
    if (library.readEntryData(info, stored.data()) != pbl::kPblOk) throw IOException();
    return stored == data;
}

// One DataWindow's two entries. When an earlier DataWindow of the report took the same
// names, the report holds either one DataWindow twice, which the library keeps once, or
// two that the library cannot tell apart: one of them would be lost, so the conversion
// fails. `write` stores one entry (the container's addEntry). `buffer` already holds the
// source stream when `sourceRead`: every stream goes through the one buffer, and none
// is read twice.
template <typename Write>
void addDataWindow(PsrContainer& container, pbl::PblLibrary& library, const std::u16string& name,
                   const std::u16string& sourceStream, const std::u16string& objectStream,
                   Bytes& buffer, bool sourceRead, Write write) {
    const std::u16string source = name + u".srd";
    const std::u16string object = name + u".dwo";
    const bool taken = hasEntry(library, source) || hasEntry(library, object);
    if (!sourceRead) container.readStream(sourceStream, buffer);
    if (!taken)
        write(source, buffer);
    else if (!entryHolds(library, source, buffer))
        throw IOException();
    container.readStream(objectStream, buffer);
    if (!taken)
        write(object, buffer);
    else if (!entryHolds(library, object, buffer))
        throw IOException();
}

}  // namespace

void PsrContainer::addEntry(pbl::PblLibrary& library, const std::u16string& name,
                            const Bytes& data) {
    // No comment, and no time: the library stamps the entry with the current time.
    if (library.putEntry(name, {}, data) != pbl::kPblOk) throw IOException();
}

void PsrContainer::convert(std::u16string targetPblName) {
    const std::u16string sourceName = fileName();
    if (targetPblName.empty()) targetPblName = withoutExtension(sourceName) + u".pbl";
    const std::u16string& target = targetPblName;

    console::writeLine(u"");
    printLabelled(u"Source PSR                 : ", sourceName);
    printLabelled(u"Target PBL                 : ", target);
    // One buffer carries every stream of the conversion: a stream of many megabytes costs
    // its allocation and its first touch once, not once per read.
    Bytes buffer;
    readStream(u"object", buffer);
    printLabelled(u"PSR created in             : PowerBuilder ", versionTextOf(buffer));
    const int version = majorVersionOf(buffer);
    printLabelled(u"PSR container format       : ", formatDescription());

    std::vector<ChildDw> children;
    // The main DataWindow's source stays in the buffer for its entry.
    readStream(u"source", buffer);
    appendChildDws(*this, buffer, children);
    const int childCount = static_cast<int>(children.size());
    printLabelled(u"Number of child DWs in PSR : ", numberToText(childCount));

    // Writing the library over the report it is read from would destroy the report.
    if (fs::sameFile(sourceName, target)) throw FileAccessException();

    pbl::PblManager& manager = pblManager();
    const std::u16string directory = targetDirectory(target);

    std::u16string temporary;
    interrupt::WatchedFile watched;
    pbl::PblLibraryHandle library;
    try {
        {
            // An interrupt removes the temporary file from the moment it exists.
            interrupt::HoldOff hold;
            temporary = createTemporaryFile(directory);
            watched.watch(temporary);
        }
        if (manager.createLibrary(temporary, version) != pbl::kPblOk) throw IOException();
        library.reset(manager.openLibrary(temporary, 1));
        if (!library) throw IOException();

        const std::u16string mainName = mainDwName(sourceName);
        printLabelled(u"Main DW: ", mainName);
        auto write = [&](const std::u16string& name, const Bytes& data) {
            addEntry(*library, name, data);
        };
        addDataWindow(*this, *library, mainName, u"source", u"object", buffer, true, write);

        int position = 0;
        for (const ChildDw& child : children) {
            ++position;
            std::u16string line = u"Child DW [";
            line += numberToText(position);
            line += u'/';
            line += numberToText(childCount);
            line += u"] ";
            line += child.name;
            console::writeLine(line);
            const std::u16string number = numberToText(child.number);
            addDataWindow(*this, *library, child.name, u"dwstg/source_" + number,
                          u"dwstg/object_" + number, buffer, false, write);
        }

        // release() cannot report a failed flush; flush first so that a full disk is
        // a failure here and not a damaged library at the target.
        if (library->flush() != 0) throw IOException();
        library.reset();
        syncToDisk(temporary);
        checkTargetReplaceable(target);
        // A library at the target's name is replaced whole: hold its lock meanwhile, so
        // that a change another program is making to it is not lost in the replacement.
        pbl::PblLibraryHandle previous;
        if (fs::canReplaceOpenFile() && fs::fileExists(target)) {
            previous.reset(manager.openLibrary(target, 0));
            if (!previous && manager.lastResult() == pbl::kPblBusy) throw IOException();
        }
        // The library takes over the target's permissions and owner, or, for a new
        // target, keeps those of a newly made file.
        if (!fs::keepAttributes(target, temporary)) throw IOException();
        {
            // Once the library stands at the target's name, an interrupt must no longer
            // remove anything at the temporary name, which another run may take.
            interrupt::HoldOff hold;
            if (!fs::replaceFile(temporary, target)) throw IOException();
            watched.forget();
        }
        temporary.clear();
        syncDirectory(directory);
    } catch (...) {
        library.reset();
        if (!temporary.empty()) watched.remove();
        throw;
    }

    console::writeLine(u"Conversion finished successfully");
}

}  // namespace keldrin
