// Directories and terminals by wide name, for the tools that read or write many files
// at once: what a directory holds, whether a name is one, and one sync of a directory's
// names after many renames into it. One backend per platform: directory_posix.cpp,
// directory_win32.cpp.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

namespace keldrin::fs {

bool isDirectory(const std::u16string& path);

// The names in a directory (not "." and ".."), sorted by code unit; nothing when it
// cannot be read.
std::optional<std::vector<std::u16string>> listDirectory(const std::u16string& path);

// Asks the system to put the directory's names (the renames into it) on disk. Where the
// system keeps names safe by itself (Windows), nothing to do.
bool syncDirectory(const std::u16string& path);

// Whether the stream goes to a terminal, where progress lines make sense.
bool isTerminal(std::FILE* stream);

}  // namespace keldrin::fs
