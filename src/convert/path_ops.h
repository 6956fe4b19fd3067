// Path operations on wide strings used to derive target and temporary names. The
// separators are ":", "\" and "/", whatever the platform, since report and library
// names may come from Windows users.
#pragma once

#include <string>

namespace keldrin {

// Everything before the last separator; up to and including it when it is ":"; "."
// when there is none.
std::u16string directoryOf(const std::u16string& path);
// Everything after the last separator; the whole path when there is none.
std::u16string fileNameOf(const std::u16string& path);
// The path without the extension of its last component: everything before the last
// "." of the file name; the whole path when the file name holds no ".".
std::u16string withoutExtension(const std::u16string& path);
// A copy with the ASCII capitals "A".."Z" lowered; every other character stays.
std::u16string toLowerCopy(const std::u16string& text);

}  // namespace keldrin
