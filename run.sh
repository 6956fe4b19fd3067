#!/usr/bin/env bash
# Builds the two programs if needed and runs the main job: converts the given report,
# or the example report in examples/ when no file is given (into build-run/example.pbl).
#   ./run.sh [report.psr] [-p target.pbl]
# Only what the programs need is installed and built, in a build directory of its own
# (build-run): the tests, their packages and ./test.sh's build stay out of the way.
set -euo pipefail
cd "$(dirname "$0")"
./scripts/deps.sh --programs
cmake -S . -B build-run -G Ninja -DCMAKE_BUILD_TYPE=Release -DKELDRIN_BUILD_TESTS=OFF >/dev/null
cmake --build build-run -j "$(nproc)" --target keldrin keldrin-pbl >/dev/null

if [ $# -eq 0 ]; then
    exec build-run/src/keldrin examples/example.psr -p build-run/example.pbl
fi
exec build-run/src/keldrin "$@"
