// Entry point of keldrin-pbl: the command line as wide text, then runPblTool.
#include <string>
#include <vector>

#include "app/pbl_tool.h"
#include "base/file.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    // cat and put move raw bytes; text output is UTF-8.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    SetConsoleOutputCP(CP_UTF8);
    std::vector<std::u16string> args;
    for (int i = 1; i < argc; ++i) {
        const wchar_t* arg = argv[i];
        std::u16string wide;
        for (; *arg != L'\0'; ++arg) wide.push_back(static_cast<char16_t>(*arg));
        args.push_back(std::move(wide));
    }
    return keldrin::runPblTool(args);
}

#else

int main(int argc, char** argv) {
    std::vector<std::u16string> args;
    for (int i = 1; i < argc; ++i) args.push_back(keldrin::fs::fromNativeName(argv[i]));
    return keldrin::runPblTool(args);
}

#endif
