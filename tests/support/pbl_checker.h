// A structural checker for PBL library files, written apart from the library's own
// reader so the two cannot share a mistake. It reads the whole file and checks:
//  - the header (at 0 or through a trailer), the variant, the bitmap chain (inside a
//    host file: the first bitmap block behind the header, bits counted from the header
//    block, the host's blocks and the trailer left unmarked);
//  - the directory tree: every node's signature, parent link, record count, free bytes,
//    first and last positions; names in tree order (left subtree before a node's first
//    name, right subtree after its last), no name twice (ASCII case folded); no empty
//    node but the root;
//  - every data chain (entries and library data): signatures, used counts (every block
//    full but the last, the bytes after the used count zero), total equal to the size;
//  - that the bitmap marks exactly the blocks in use: header area, bitmap blocks, nodes
//    and data blocks; no block owned twice, none leaked, none marked beyond the file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace keldrin::checks {

// "" when the library at `path` is sound, else a description of the first problem.
std::string checkLibraryStructure(const std::u16string& path);
std::string checkLibraryStructure(const std::string& utf8Path);
// The same over the file's bytes.
std::string checkLibraryBytes(const std::vector<std::uint8_t>& bytes);

// Whole file contents; empty when it cannot be read.
std::vector<std::uint8_t> readWholeFile(const std::u16string& path);
bool writeWholeFile(const std::u16string& path, const std::vector<std::uint8_t>& bytes);

}  // namespace keldrin::checks
