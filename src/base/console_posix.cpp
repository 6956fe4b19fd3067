// POSIX console: wide text leaves as UTF-8 on standard output. File names that were
// not valid UTF-8 print as their original bytes, as ls(1) shows them.
#include <cstdio>

#include "base/console.h"
#include "base/file.h"
#include "base/text.h"

namespace keldrin::console {

void write(std::u16string_view text) {
    std::string bytes = fs::toNativeName(text);
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

void writeLine(std::u16string_view text) {
    std::string bytes = fs::toNativeName(text);
    bytes.push_back('\n');
    std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    std::fflush(stdout);
}

}  // namespace keldrin::console
