// Test helpers for library files: a scratch directory, whole-file access, libraries
// built from a list of entries through the library's own operations, and the real
// libraries of the corpus with their MANIFEST rows.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "base/bytes.h"
#include "pbl/library.h"
#include "support/corpus.h"

namespace keldrin::test {

// A fresh directory under the system's temporary directory, removed with everything in
// it when the object goes.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // The wide form of a file name inside the directory (UTF-8 `name`).
    std::u16string file(const std::string& name) const;

  private:
    std::filesystem::path path_;
};

// The wide (UTF-16) form of a path, the form the library's wide operations take.
std::u16string widePath(const std::filesystem::path& path);

Bytes readWholeFile(const std::u16string& path);
void writeWholeFile(const std::u16string& path, const Bytes& bytes);

struct EntrySpec {
    std::string name;       // ANSI name
    Bytes data;             // comment, then body
    int commentBytes = 0;   // bytes of `data` that are the comment
    std::int32_t time = 0;  // 0: leave the time of writing
};

struct LibrarySpec {
    int version = 6;
    std::vector<EntrySpec> entries;
    Bytes comment;  // library comment in the library's width, no terminator
    Bytes libraryData;
};

// Creates `path` with the entries, comment and library data of `spec`; fails the
// current test (ADD_FAILURE) on any nonzero code.
void buildLibrary(const std::u16string& path, const LibrarySpec& spec);

// UTF-16LE bytes of a text, without terminator.
Bytes utf16Bytes(std::u16string_view text);
Bytes asciiBytes(std::string_view text);

// One entry as read back through the library's operations.
struct StoredEntry {
    std::string name;  // as forEachEntry hands it out in ANSI form
    Bytes data;
    std::int32_t commentSize = 0;
    std::int32_t time = 0;
    std::int32_t firstBlock = 0;
    std::int32_t entryOffset = 0;
    std::int32_t recordSize = 0;
};
// Every entry of an open library in the order forEachEntry visits them; nullopt when
// the walk or a data read fails.
std::optional<std::vector<StoredEntry>> readAllEntries(pbl::PblLibraryInterface& library);

// Turns the entry `name` of the library at `path` into one whose name is empty, as
// PowerBuilder itself wrote in some libraries: the record's name shrinks to its
// terminator and the node's free bytes and first and last positions follow. The record
// must be the last one in its node's data area (say, the entry created last in a library
// whose directory is one node); false when it is not or the file cannot be changed.
bool makeEntryNameEmpty(const std::u16string& path, const std::string& name);

// A host file (an executable, say) carrying `library`, a whole plain library file, the
// way real executables carry theirs: `prefixBlocks` blocks of host bytes, then the
// library with every stored link moved by the prefix (its bitmap still counts blocks
// from its header block), then a "TRL*" block naming the header. Empty when `library`
// is not a sound plain library.
Bytes hostLibrary(const Bytes& library, int prefixBlocks);

struct ManifestRow {
    std::string file;  // relative to the corpus directory
    std::string kind;  // pbl-ansi-0500, pbl-unicode, srd-export, ...
    std::string notes;
};
// The rows of MANIFEST.tsv in `corpus`; empty when it cannot be read.
std::vector<ManifestRow> manifestRows(const std::filesystem::path& corpus);
// The rows whose kind starts with "pbl-": the real libraries.
std::vector<ManifestRow> corpusLibraries(const std::filesystem::path& corpus);
// The rows whose kind starts with "exe-hosted-": real executables that carry a library.
std::vector<ManifestRow> corpusHostedLibraries(const std::filesystem::path& corpus);

// The corpus directory where it exists (and a failure where CI=true says it must).
inline std::optional<std::filesystem::path> corpusDir() {
    return corpusDirOrSkip();
}

}  // namespace keldrin::test
