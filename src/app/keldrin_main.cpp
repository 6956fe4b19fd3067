// The keldrin executable's entry point. It turns the platform's argument vector into
// wide text and sets up how interrupts end the process; everything else is
// runKeldrin's.
#include "app/converter_app.h"
#include "base/interrupt.h"
#include "base/program_args.h"

#if defined(_WIN32)

int wmain(int argc, wchar_t** argv) {
    keldrin::interrupt::installHandlers();
    return keldrin::runKeldrin(keldrin::programArguments(argc, argv));
}

#else

#include <signal.h>

int main(int argc, char** argv) {
    // A reader that stops early (keldrin report.psr | head) must not end the conversion
    // halfway: output to a closed pipe is dropped, and the exit code still tells the
    // result.
    ::signal(SIGPIPE, SIG_IGN);
    keldrin::interrupt::installHandlers();
    return keldrin::runKeldrin(keldrin::programArguments(argc, argv));
}

#endif
