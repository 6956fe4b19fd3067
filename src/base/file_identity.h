// Whether a file that is open is the one a name leads to, through any other name (a
// hard link, a symbolic link, another spelling). One backend per platform:
// file_identity_posix.cpp, file_identity_win32.cpp.
#pragma once

#include <cstdio>
#include <string>

namespace keldrin::fs {

// True when `path` names an existing file that is the very file `open` reads.
bool isOpenFile(std::FILE* open, const std::u16string& path);

}  // namespace keldrin::fs
