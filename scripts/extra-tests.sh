#!/usr/bin/env bash
# Further CI steps that ./test.sh runs after the native and sanitizer builds.
# One step per line; append new steps below.
set -euo pipefail
cd "$(dirname "$0")/.."

./scripts/fuzz 60
./scripts/windows-ci.sh
./scripts/browser-check build
