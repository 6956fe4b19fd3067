// Parts of a file name as the platform reads it: the directory that holds it, its last
// component, and a name inside a directory. POSIX separates components with "/" only
// (":" and "\" are ordinary characters of a name there); Windows with "/" and "\", and
// a drive ("C:") ends a name's directory part too. One backend per platform decides
// what separates: path_posix.cpp, path_win32.cpp.
#pragma once

#include <string>
#include <string_view>

namespace keldrin::path {

// The directory a file named `name` lies in: "." for a bare name, the root itself for
// a name in it ("/", "C:\"), the drive for a name relative to one ("C:"). A trailing
// separator ends the directory part ("dir/" lies in "dir").
std::u16string parent(std::u16string_view name);

// The last component: everything after the last separator.
std::u16string fileName(std::u16string_view name);

// `child` inside `directory`; `child` alone when `directory` is empty.
std::u16string join(std::u16string_view directory, std::u16string_view child);

namespace detail {
// What the backend decides.
bool isSeparator(char16_t c);
// How many leading code units are the root or drive that a parent keeps whole ("/",
// "C:", "C:\", "\\server\share\"); 0 for a relative name.
std::size_t rootLength(std::u16string_view name);
extern const char16_t kSeparator;
}  // namespace detail

}  // namespace keldrin::path
