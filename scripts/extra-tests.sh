#!/usr/bin/env bash
# Further CI steps that ./test.sh runs after the native and sanitizer builds.
#
# First clang-format and clang-tidy on the files the change touches (scripts/lint-changed),
# which takes seconds and fails the whole on any finding.
#
# Fuzzing runs one target at a time on one core, so it runs beside the Windows step,
# whose builds take the other core and whatever fuzzing leaves: on a 2-core machine the
# two together take little more than the Windows step alone. Fuzzing's output is kept
# and printed when both are done; either failing fails the whole.
set -euo pipefail
cd "$(dirname "$0")/.."

linted=0
./scripts/lint-changed build || linted=$?
./scripts/browser-check build
fuzz_log=$(mktemp "${TMPDIR:-/tmp}/keldrin-fuzz-log.XXXXXX")
trap 'rm -f "$fuzz_log"' EXIT
./scripts/fuzz 40 >"$fuzz_log" 2>&1 &
fuzz=$!

windows=0
./scripts/windows-ci.sh || windows=$?
fuzzed=0
wait "$fuzz" || fuzzed=$?

printf '\n== fuzzing (ran beside the Windows step)\n'
cat "$fuzz_log"
[ "$fuzzed" -eq 0 ] || echo "extra tests: fuzzing FAILED" >&2
[ "$windows" -eq 0 ] || echo "extra tests: the Windows step FAILED" >&2
[ "$linted" -eq 0 ] || echo "extra tests: clang-format or clang-tidy FAILED" >&2
[ "$fuzzed" -eq 0 ] && [ "$windows" -eq 0 ] && [ "$linted" -eq 0 ]
