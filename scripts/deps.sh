#!/usr/bin/env bash
# Installs what building and testing Keldrin needs, from Debian's packages, when it is
# missing. Safe to run again; does nothing when everything is there.
set -euo pipefail

# With arguments, installs those packages instead of the build set (the Windows step
# names its cross compilers and Wine this way).
if [ $# -gt 0 ]; then
    packages=("$@")
else
    packages=(cmake ninja-build g++ clang libclang-rt-14-dev libgtest-dev libgmock-dev
              libbenchmark-dev libpcre2-dev pkg-config python3 python3-olefile libgsf-bin
              chromium fonts-liberation)
fi
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
