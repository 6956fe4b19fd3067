#include "base/program_args.h"

#include "base/file.h"

namespace keldrin {

std::vector<std::u16string> programArguments(int argc, char** argv) {
    std::vector<std::u16string> arguments;
    for (int i = 1; i < argc; ++i) arguments.push_back(fs::fromNativeName(argv[i]));
    return arguments;
}

}  // namespace keldrin
