// The tests' checker of library files: the library's own structural check
// (pbl/library_check.h), held to what Keldrin writes. Besides every problem, it fails a
// library on the notes Keldrin itself never gives cause for (a leaked block, a chain
// with a spare or half-full block, bytes after a block's used count, an empty node,
// reserved bytes that are not zero...), so the tests catch a library that is readable
// but not written the way Keldrin writes. Notes that real PowerBuilder libraries give
// (header words, entry versions, chain order) pass.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace keldrin::checks {

// "" when the library at `path` is sound, else a description of the first fault.
std::string checkLibraryStructure(const std::u16string& path);
std::string checkLibraryStructure(const std::string& utf8Path);
// The same over the file's bytes; findings of a kind in `passed` are passed over.
std::string checkLibraryBytes(const std::vector<std::uint8_t>& bytes,
                              std::initializer_list<std::string_view> passed = {});

// Whole file contents; empty when it cannot be read.
std::vector<std::uint8_t> readWholeFile(const std::u16string& path);
bool writeWholeFile(const std::u16string& path, const std::vector<std::uint8_t>& bytes);

}  // namespace keldrin::checks
