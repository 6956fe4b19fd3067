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
#include <algorithm>
#include <cstdio>
#include <span>
#include <string>
#include <vector>

#include "base/console.h"
#include "base/exceptions.h"
#include "base/file.h"
#include "base/path.h"
#include "base/replacement_file.h"
#include "base/text.h"
#include "convert/path_ops.h"
#include "convert/report_plan.h"
#include "pbl/chain_image.h"
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

std::u16string temporaryName(const std::u16string& directory, int attempt) {
    std::u16string name(kTemporaryStem);
    if (attempt > 0) {
        name += u'.';
        name += numberToText(attempt);
    }
    name += kTemporaryExtension;
    // Beside the target, so that the final rename stays inside one file system.
    return path::join(directory, name);
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
bool entryHolds(pbl::PblLibrary& library, const std::u16string& name, const pbl::ChainImage& data) {
    pbl::PblEntryInfo info{};
    if (library.findEntry(name, info, 0) != pbl::kPblOk) throw IOException();
    if (info.commentSize != 0 || info.dataSize < 0 ||
        static_cast<std::size_t>(info.dataSize) != data.length())
        return false;
    Bytes stored(data.length());
    if (library.readEntryData(info, stored.data()) != pbl::kPblOk) throw IOException();
    return data.holds(stored);
}

// Reads a stream into the image, straight into the data spans of its blocks.
void readInto(PsrContainer& container, const std::u16string& stream, pbl::ChainImage& image) {
    container.readStreamInto(stream, [&](std::uint64_t size) {
        // The container vouches for the size: no more than its file holds.
        if (size > pbl::PblLibrary::maxEntryBytes()) throw IOException();
        image.reset(static_cast<std::size_t>(size));
        return std::span<const fs::ReadPiece>(image.pieces());
    });
}

// One DataWindow's two entries. When the plan finds that an earlier DataWindow of the
// report took the same names, the report holds either one DataWindow twice, which the
// library keeps once, or two that the library cannot tell apart: one of them would be
// lost, so the conversion fails. `image` already holds the source stream when
// `sourceRead`: every stream goes through the one image, and none is read twice.
void addDataWindow(PsrContainer& container, pbl::PblLibrary& library, const PlannedDataWindow& dw,
                   pbl::ChainImage& image, bool sourceRead) {
    const std::u16string source = dw.name + u".srd";
    const std::u16string object = dw.name + u".dwo";
    const bool taken = dw.sameNamesAs.has_value();
    // The library has the last word on its names: one it already holds where the plan
    // sees a new name would be overwritten, and a DataWindow lost with it.
    if (!taken && (hasEntry(library, source) || hasEntry(library, object))) throw IOException();
    auto write = [&](const std::u16string& name) {
        // No comment, and no time: the library stamps the entry with the current time.
        if (library.putEntry(name, image) != pbl::kPblOk) throw IOException();
    };
    if (!sourceRead) readInto(container, dw.sourceStream, image);
    if (!taken)
        write(source);
    else if (!entryHolds(library, source, image))
        throw IOException();
    readInto(container, dw.objectStream, image);
    if (!taken)
        write(object);
    else if (!entryHolds(library, object, image))
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
    // One image carries every stream of the conversion, each read straight into the
    // blocks it is written from: a stream of many megabytes costs its allocation and its
    // first touch once, not once per stream, and its bytes are copied once in and once
    // out. Of "object" the plan needs only the version at its start.
    ReportPlan plan;
    {
        Bytes start;
        fs::ReadPiece piece{};
        readStreamInto(u"object", [&](std::uint64_t size) {
            start.resize(
                static_cast<std::size_t>(std::min<std::uint64_t>(size, kPlanVersionBytes)));
            piece = fs::ReadPiece{start.data(), start.size()};
            return std::span<const fs::ReadPiece>(&piece, 1);
        });
        readPlanVersion(start, plan);
    }
    printLabelled(u"PSR created in             : PowerBuilder ", plan.versionText);
    printLabelled(u"PSR container format       : ", formatDescription());
    // The main DataWindow's source stays in the image for its entry.
    pbl::ChainImage image;
    readInto(*this, u"source", image);
    readPlanDataWindows(*this, image.head(), plan);
    const int childCount = static_cast<int>(plan.children().size());
    printLabelled(u"Number of child DWs in PSR : ", numberToText(childCount));

    // Writing the library over the report it is read from would destroy the report.
    if (fs::sameFile(sourceName, target)) throw FileAccessException();

    pbl::PblManager& manager = pblManager();
    const std::u16string directory = path::parent(target);

    // Neither a user's file named like the temporary nor the file of a conversion
    // running at the same time is ever overwritten: the temporary is made exclusively.
    fs::ReplacementFile replacement;
    if (!replacement.create(
            target, [&](int attempt) { return temporaryName(directory, attempt); },
            kTemporaryNameTries))
        throw IOException();
    // The library writes the file by name.
    if (!replacement.letGo()) throw IOException();
    // Closed before the replacement goes, whether committed or discarded.
    pbl::PblLibraryHandle library;
    const std::u16string& temporary = replacement.path();
    if (manager.createLibrary(temporary, plan.majorVersion) != pbl::kPblOk) throw IOException();
    library.reset(manager.openLibrary(temporary, 1));
    if (!library) throw IOException();

    int position = 0;
    for (const PlannedDataWindow& dw : plan.dataWindows) {
        std::u16string line;
        if (position == 0) {
            line = u"Main DW: ";
        } else {
            line = u"Child DW [";
            line += numberToText(position);
            line += u'/';
            line += numberToText(childCount);
            line += u"] ";
        }
        line += dw.name;
        console::writeLine(line);
        addDataWindow(*this, *library, dw, image, position == 0);
        ++position;
    }

    // release() cannot report a failed flush; flush first so that a full disk is
    // a failure here and not a damaged library at the target.
    if (library->flush() != 0) throw IOException();
    library.reset();
    checkTargetReplaceable(target);
    // A library at the target's name is replaced whole: hold its lock meanwhile, so
    // that a change another program is making to it is not lost in the replacement.
    pbl::PblLibraryHandle previous;
    if (fs::canReplaceOpenFile() && fs::fileExists(target)) {
        previous.reset(manager.openLibrary(target, 0));
        if (!previous && manager.lastResult() == pbl::kPblBusy) throw IOException();
    }
    // The library is on disk before it takes the target's place, so a crash right
    // after the rename cannot leave a target with missing content. A directory that
    // cannot be synced leaves the rename atomic; only its durability is then the
    // file system's.
    const fs::CommitResult committed = replacement.commit(fs::Replace::kYes, fs::Durability::kFull);
    if (committed != fs::CommitResult::kDone && committed != fs::CommitResult::kNotDurable)
        throw IOException();

    console::writeLine(u"Conversion finished successfully");
}

}  // namespace keldrin
