#!/usr/bin/env bash
# Builds Keldrin and runs every test: once as a normal build, once under
# AddressSanitizer + UndefinedBehaviorSanitizer, then the further CI steps (fuzzing, the
# Windows program). Exits non-zero on any failure. Warnings are errors in every build
# (KELDRIN_WERROR); a plain user build only shows them.
#
#   ./test.sh           everything, as CI runs it
#   ./test.sh --quick   the normal build and its tests only: for day-to-day work
set -euo pipefail
cd "$(dirname "$0")"

quick=0
case "${1:-}" in
    --quick) quick=1 ;;
    "") ;;
    *)
        echo "usage: $0 [--quick]" >&2
        exit 2
        ;;
esac
step() { printf '\n== test: %s (%ss)\n' "$*" "$SECONDS"; }

./scripts/deps.sh
jobs=$(nproc)
windows_tools=
if [ "$quick" -eq 0 ]; then
    # The Windows step's cross compilers and Wine download and unpack while we build
    # (apt waits for its lock, so the step's own install waits for this one).
    ./scripts/deps.sh g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 >build-windows-tools.log 2>&1 &
    windows_tools=$!
fi

step "build"
# Every build here is a unity build: each compiler run takes several files, so the
# standard and GoogleTest headers are read a few dozen times instead of two hundred, and
# a build from a fresh clone takes less than half the time. A user's build (and an IDE's)
# stays file by file; scripts/lint-changed compiles every changed file on its own (with
# clang-tidy), so a file that only compiles beside its neighbours still fails the run.
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELDRIN_WERROR=ON \
    -DCMAKE_UNITY_BUILD=ON >/dev/null
cmake --build build -j "$jobs"
step "tests"
(cd build && ctest --output-on-failure -j "$jobs")
if [ "$quick" -eq 1 ]; then
    step "done (quick)"
    echo "test.sh --quick: passed in ${SECONDS} s"
    exit 0
fi

step "sanitizer build"
# Unoptimised. At -O1 the tree builds clean too (GCC 12's false overflow warnings there
# came from the test code, which is now unoptimised in every build), but on a 2-core
# machine what -O1 saves in the test run it costs again in the build.
cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKELDRIN_SANITIZE=ON \
    -DCMAKE_UNITY_BUILD=ON -DKELDRIN_WERROR=ON >/dev/null
cmake --build build-asan -j "$jobs"
step "sanitizer tests"
# Every test runs here too but those that kill or interrupt programs at hundreds of
# moments (SIGKILL, SIGINT): a killed process runs no further code for the sanitizers to
# check, an interrupted one only its signal handler (which may not allocate, so the
# sanitizers see nothing of it), and their runs that are not stopped convert and
# rebuild as the other tests here already do. They took 130 s of this step and run in
# the normal build above.
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j "$jobs" \
    -E '^(FaultTest\.KilledConversionLeavesTheOldTargetOrTheCompleteLibrary|InterruptTest\.Interrupted.*)$')

if [ -n "$windows_tools" ]; then
    wait "$windows_tools" || echo "installing the Windows tools failed (log: build-windows-tools.log); the Windows step tries again"
fi
if [ -x scripts/extra-tests.sh ]; then
    step "extra steps"
    ./scripts/extra-tests.sh
fi
step "done"
echo "test.sh: passed in ${SECONDS} s"
