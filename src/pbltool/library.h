// keldrin-pbl's access to libraries: opening one for reading or for a change, and
// reading what the commands print or copy, every size checked against the file before
// it sizes a buffer (a damaged record must not drive a huge allocation).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "pbl/library.h"

namespace keldrin::tool {

// Throws ToolFailure "context: <what the code means>" unless `code` is kPblOk.
void check(int code, const std::string& context);

pbl::PblManagerHandle newManager(int lockWaitMs);

// An open library with its manager; the library is released first.
//
// A writable library holds its file's exclusive lock from open to close. Changes run
// as one unit (PblLibrary::beginChange): unless close() commits them, releasing the
// library puts the file back byte for byte, so a command that fails part way, for
// whatever reason, leaves the library as it found it.
struct OpenLibrary {
    pbl::PblManagerHandle manager;
    pbl::PblLibraryHandle library;
    std::u16string path;
    std::int64_t fileSize = 0;

    pbl::PblLibrary* operator->() const { return library.get(); }

    void beginChange() { library->beginChange(); }
    // Throws unless `code` is 0; damage is reported with what the library found and where.
    void check(int code, const std::string& context) const;
    // Commits the change and releases the library.
    void close();
};

OpenLibrary openLibrary(const std::u16string& path, bool writable, int lockWaitMs);

// A library that a command's new file (OUT of rebuild or salvage) replaces whole: its
// lock is held until the replacement, so no other program's change to it is lost in it.
// Nothing when OUT does not exist or is no library; a write-protected OUT is refused.
std::optional<OpenLibrary> holdLibraryToReplace(const std::u16string& target, int lockWaitMs);

// An entry name from the command line. Libraries written by PowerBuilder itself can
// hold an entry with an empty name, so commands that only address existing entries may
// accept one (`allowEmpty`); none may create one.
void requireEntryName(const std::u16string& name, bool allowEmpty = false);
// The name in the library's stored form: its UTF-16 as it stands in a Unicode library
// (no code page plays a part), the exact ANSI bytes in an ANSI one. A name that form
// cannot carry is refused, and so is one longer than a directory node can hold, with
// the limit, rather than reported as an entry that does not exist.
void requireNameFits(const OpenLibrary& lib, const std::u16string& name);
// A library inside a larger file (an executable) is read-only: writing it would grow
// the file and move the trailer that finds the library off the file's last block. A
// changing command stops before it changes anything and says what to do instead.
void refuseHosted(const OpenLibrary& lib);

// One entry as forEachEntry hands it out, its name in wide form.
struct EntryRecord {
    std::u16string name;
    pbl::PblEntryInfo info;
};
std::vector<EntryRecord> listEntries(OpenLibrary& lib);
// The entries the walk could reach, into `entries`; the walk's result code (a damaged
// library keeps what came before the damage).
int collectEntries(OpenLibrary& lib, std::vector<EntryRecord>& entries);
// Every entry's comment and body, handed to `visit` (with its index in `entries`) in the
// order the data lies in the file, from a few large reads; damage ends the command as
// readEntry's does, naming the entry.
void forEachEntryData(OpenLibrary& lib, const std::vector<EntryRecord>& entries,
                      const std::function<void(std::size_t index, ByteSpan data)>& visit);
// The entry's comment and body, in that order.
std::vector<std::uint8_t> readEntry(OpenLibrary& lib, const pbl::PblEntryInfo& info,
                                    const std::string& context);
// The library comment as wide text.
std::u16string readComment(OpenLibrary& lib);
std::vector<std::uint8_t> readLibraryBytes(OpenLibrary& lib);
// Text given on the command line in the library's text encoding: ANSI bytes, or UTF-16LE.
std::string libraryText(pbl::PblLibrary& library, const std::u16string& text,
                        const std::string& what);

}  // namespace keldrin::tool
