#!/usr/bin/env bash
# Builds Keldrin and runs every test: once as a normal build, once under
# AddressSanitizer + UndefinedBehaviorSanitizer. Exits non-zero on any failure.
# Warnings are errors in both builds (KELDRIN_WERROR); a plain user build only shows them.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/deps.sh

jobs=$(nproc)
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DKELDRIN_WERROR=ON >/dev/null
cmake --build build -j "$jobs"
(cd build && ctest --output-on-failure -j "$jobs")

cmake -S . -B build-asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DKELDRIN_SANITIZE=ON -DKELDRIN_WERROR=ON >/dev/null
cmake --build build-asan -j "$jobs"
(cd build-asan && ASAN_OPTIONS=detect_leaks=1:abort_on_error=1 \
    UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1 ctest --output-on-failure -j "$jobs")

if [ -x scripts/extra-tests.sh ]; then
    ./scripts/extra-tests.sh
fi
