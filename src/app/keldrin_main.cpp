// The keldrin executable's entry point. It only turns the platform's argument vector
// into wide text; everything else is runKeldrin's.
#include <string>
#include <vector>

#include "app/converter_app.h"

#if defined(_WIN32)

// The wide entry point receives the arguments as UTF-16 already, split by the
// platform's command-line rules.
int wmain(int argc, wchar_t** argv) {
    std::vector<std::u16string> arguments;
    for (int i = 1; i < argc; ++i) {
        const wchar_t* arg = argv[i];
        std::u16string text;
        for (; *arg != L'\0'; ++arg) text.push_back(static_cast<char16_t>(*arg));
        arguments.push_back(std::move(text));
    }
    return keldrin::runKeldrin(arguments);
}

#else

#include "base/file.h"

// Arguments are bytes; fromNativeName keeps even names that are not valid UTF-8
// intact on their way to the file system.
int main(int argc, char** argv) {
    std::vector<std::u16string> arguments;
    for (int i = 1; i < argc; ++i) arguments.push_back(keldrin::fs::fromNativeName(argv[i]));
    return keldrin::runKeldrin(arguments);
}

#endif
