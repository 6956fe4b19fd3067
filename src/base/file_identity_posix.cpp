// A file's identity on POSIX: its device and inode numbers.
#include <sys/stat.h>

#include "base/file.h"
#include "base/file_identity.h"

namespace keldrin::fs {

bool isOpenFile(std::FILE* open, const std::u16string& path) {
    if (open == nullptr) return false;
    struct stat opened {};
    struct stat named {};
    if (fstat(fileno(open), &opened) != 0) return false;
    if (stat(fs::toNativeName(path).c_str(), &named) != 0) return false;
    return opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
}

}  // namespace keldrin::fs
