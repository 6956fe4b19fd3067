// Entry point of keldrin-pbl: the command line as wide text, then runPblTool.
#include "base/program_args.h"
#include "pbltool/tool.h"

#if defined(_WIN32)
#include <fcntl.h>
#include <io.h>
#include <windows.h>

int wmain(int argc, wchar_t** argv) {
    // cat and put move raw bytes; text output is UTF-8.
    _setmode(_fileno(stdin), _O_BINARY);
    _setmode(_fileno(stdout), _O_BINARY);
    SetConsoleOutputCP(CP_UTF8);
    return keldrin::runPblTool(keldrin::programArguments(argc, argv));
}

#else

int main(int argc, char** argv) {
    return keldrin::runPblTool(keldrin::programArguments(argc, argv));
}

#endif
