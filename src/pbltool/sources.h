// What export and import share with the commands that read export files the way import
// does (status, the workspace layout): the checked texts of one file, and which files a
// path stands for.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "pbl/export_file.h"
#include "pbltool/library.h"

namespace keldrin::tool {

// One checked export file, in the library's own encoding, ready to be written.
struct ImportedEntry {
    std::u16string file;
    std::u16string name;
    // The comment, then the body, as the entry stores them: bytes for an ANSI library;
    // for a Unicode one the UTF-16 text itself, its units laid out as the library stores
    // them (little-endian), so that a large source is held once, not as text and bytes.
    std::vector<std::uint8_t> ansiData;
    std::u16string wideData;
    bool unicode = false;
    std::size_t commentSize = 0;  // in bytes
    ByteSpan data() const {
        return unicode ? ByteSpan(reinterpret_cast<const std::uint8_t*>(wideData.data()),
                                  wideData.size() * sizeof(char16_t))
                       : ByteSpan(ansiData);
    }
    // The object's binary data entry, from the file's binary data section.
    std::optional<std::u16string> binaryName;
    std::vector<std::uint8_t> binaryData;
};

// The files PATH stands for: itself, or a directory's export files (names ending in
// .sr and one letter, as export writes them; other files there are not sources).
void collectFiles(const std::u16string& path, std::vector<std::u16string>& files);

// One export file read and parsed, before any library is open; ToolFailure naming it.
pbl::ReadExportFile readImportFile(const std::u16string& path);

// The texts of one read export file in the library's encoding, or ToolFailure naming it.
ImportedEntry prepareImport(const OpenLibrary& lib, const std::u16string& path,
                            pbl::ReadExportFile read);

}  // namespace keldrin::tool
