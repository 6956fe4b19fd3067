#!/usr/bin/env bash
# Builds Keldrin if needed and runs the main job: converts the given report, or the
# example report in examples/ when no file is given.
#   ./run.sh [report.psr] [-p target.pbl]
set -euo pipefail
cd "$(dirname "$0")"
./scripts/deps.sh
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" >/dev/null

if [ -x build/src/keldrin ]; then
    if [ $# -eq 0 ]; then
        exec build/src/keldrin examples/example.psr -p build/example.pbl
    fi
    exec build/src/keldrin "$@"
fi
# Before the converter exists: show a freshly created library.
build/src/keldrin-pbl create build/new.pbl 10
exec build/src/keldrin-pbl info build/new.pbl
