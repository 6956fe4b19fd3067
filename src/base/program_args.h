// The program's arguments as wide text, from the platform's own argument vector.
#pragma once

#include <string>
#include <vector>

namespace keldrin {

#if defined(_WIN32)
// The wide entry point receives the arguments as UTF-16 already, split by the
// platform's command-line rules.
std::vector<std::u16string> programArguments(int argc, wchar_t** argv);
#else
// Arguments are bytes; they are decoded so that even names that are not valid UTF-8
// reach the file system as the very same bytes.
std::vector<std::u16string> programArguments(int argc, char** argv);
#endif

}  // namespace keldrin
