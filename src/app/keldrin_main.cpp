// The keldrin executable's entry point. It turns the platform's argument vector into
// wide text and sets up how interrupts end the process; everything else is
// runKeldrin's.
#include <string>
#include <vector>

#include "app/converter_app.h"
#include "base/interrupt.h"

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
    keldrin::interrupt::installHandlers();
    return keldrin::runKeldrin(arguments);
}

#else

#include <signal.h>

#include "base/file.h"

// Arguments are bytes; fromNativeName keeps even names that are not valid UTF-8
// intact on their way to the file system.
int main(int argc, char** argv) {
    // A reader that stops early (keldrin report.psr | head) must not end the conversion
    // halfway: output to a closed pipe is dropped, and the exit code still tells the
    // result.
    ::signal(SIGPIPE, SIG_IGN);
    keldrin::interrupt::installHandlers();
    std::vector<std::u16string> arguments;
    for (int i = 1; i < argc; ++i) arguments.push_back(keldrin::fs::fromNativeName(argv[i]));
    return keldrin::runKeldrin(arguments);
}

#endif
