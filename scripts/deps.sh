#!/usr/bin/env bash
# Installs what building and testing Keldrin needs, from Debian's packages, when it is
# missing. Safe to run again; does nothing when everything is there.
#   scripts/deps.sh               everything ./test.sh needs
#   scripts/deps.sh --programs    only what building keldrin and keldrin-pbl needs
set -euo pipefail

# What building the programs needs; ./run.sh installs only these (--programs).
programs=(cmake ninja-build g++ libpcre2-dev pkg-config)
# What the tests add: GoogleTest, the sanitizer and fuzzing compiler, benchmarks, the
# fixture tools, the browser check, clang-format and clang-tidy.
tests=(clang clang-format clang-tidy libclang-rt-14-dev libgtest-dev libgmock-dev libbenchmark-dev python3
       python3-olefile libgsf-bin chromium fonts-liberation)

# With no argument, installs both sets; with package names, those packages instead (the
# Windows step names its cross compilers and Wine this way).
case "${1:-}" in
    "") packages=("${programs[@]}" "${tests[@]}") ;;
    --programs) packages=("${programs[@]}") ;;
    *) packages=("$@") ;;
esac
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -gt 0 ] || exit 0
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
# A fresh machine may still be running its own apt jobs, and mirrors hiccup: wait for
# the lock and try a few times before giving up.
for attempt in 1 2 3; do
    if apt-get -o DPkg::Lock::Timeout=600 update -qq &&
        apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends \
            "${missing[@]}" >/dev/null; then
        exit 0
    fi
    [ "$attempt" -lt 3 ] || break
    sleep 10
done
echo "could not install ${missing[*]}" >&2
exit 1
