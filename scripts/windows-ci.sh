#!/usr/bin/env bash
# The Windows program, built and tested from Linux:
#  1. installs Debian's MinGW-w64 cross compilers and Wine when they are missing;
#  2. cross-builds keldrin.exe and keldrin-pbl.exe for i686 (the shipped 32-bit program)
#     and the whole project with its unit tests for x86_64;
#  3. checks that the i686 programs import nothing but Windows system DLLs and that
#     keldrin.exe exports RAZEV_ExportSourceEntryW as it should;
#  4. runs every x86_64 unit-test executable under 64-bit Wine (KELDRIN_WINE_SHARDS
#     splits each into that many GoogleTest shards run at once; default 1).
# The kernel here cannot run 32-bit programs, so the i686 build is checked, not run: only
# its two programs are built, unoptimised (what the check reads, the import and export
# tables, does not depend on it; scripts/package makes the shipped program in its own
# optimised build). Both are unity builds, as the sanitizer build of test.sh: several
# files per compiler run. Build trees: build-win/i686-check, build-win/x86_64
# (KELDRIN_WIN_BUILD overrides the root).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=${KELDRIN_WIN_BUILD:-$root/build-win}
jobs=$(nproc)
wine=/usr/lib/wine/wine64
wineserver=/usr/lib/wine/wineserver64
step() { printf '\n== windows: %s (%ss)\n' "$*" "$SECONDS"; }
fail() {
    printf 'windows: FAILED: %s\n' "$*" >&2
    exit 1
}

step "tools"
"$root/scripts/deps.sh" g++-mingw-w64-i686 g++-mingw-w64-x86-64 wine wine64 ||
    fail "could not install the cross compilers and Wine"

configure() {
    local arch=$1 dir=$2
    shift 2
    cmake -S . -B "$dir" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchains/mingw-$arch.cmake" \
        -DKELDRIN_WERROR=ON "$@" >/dev/null
}

step "build i686 (the two programs, for their tables)"
i686=$out/i686-check
configure i686 "$i686" -DCMAKE_BUILD_TYPE= -DCMAKE_CXX_FLAGS=-O0 -DCMAKE_UNITY_BUILD=ON \
    -DKELDRIN_BUILD_TESTS=OFF
cmake --build "$i686" -j "$jobs" --target keldrin keldrin-pbl

step "i686 import and export tables"
objdump=i686-w64-mingw32-objdump
# Windows' own DLLs; a static build must not need any other (no libstdc++, libgcc,
# winpthread DLLs, which users do not have).
allowed='^(kernel32|msvcrt|ole32|oleaut32|user32|advapi32|shell32|ntdll|ws2_32|bcrypt|rpcrt4|uuid|api-ms-win-[a-z0-9-]+)\.dll$'
checked=0
for exe in "$i686/src/keldrin.exe" "$i686/src/keldrin-pbl.exe"; do
    [ -f "$exe" ] || continue
    checked=$((checked + 1))
    headers=$("$objdump" -p "$exe")
    grep -q 'file format pei-i386' <<<"$headers" ||
        fail "$(basename "$exe") is not a 32-bit Windows program"
    grep -Eq '^Subsystem[[:space:]]+0+3[[:space:]]' <<<"$headers" ||
        fail "$(basename "$exe") is not a console program"
    dlls=$(awk '/DLL Name:/ {print $3}' <<<"$headers")
    echo "$(basename "$exe") imports: $(echo $dlls)"
    for dll in $dlls; do
        grep -Eqi "$allowed" <<<"$dll" ||
            fail "$(basename "$exe") imports $dll, which is not a Windows system DLL"
    done
    grep -qix 'kernel32.dll' <<<"$dlls" || fail "$(basename "$exe") does not import KERNEL32"
done
[ "$checked" -gt 0 ] || echo "no entry points yet: import check skipped"

if grep -qs RAZEV_ExportSourceEntryW src/pbl/*.cpp; then
    exe=$i686/src/keldrin.exe
    [ -f "$exe" ] || fail "keldrin.exe was not built"
    table=$("$objdump" -p "$exe")
    # Name table rows: "[index] name"; the ordinal is the index plus the ordinal base.
    base=$(awk '/Ordinal Base/ {print $NF; exit}' <<<"$table")
    names=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$table" |
        sed -n 's/^[[:space:]]*\[[[:space:]]*\([0-9]*\)\][[:space:]]*\(.*\)$/\1 \2/p')
    echo "keldrin.exe exports (ordinal base $base):"
    while read -r index name; do echo "  $((index + base)) $name"; done <<<"$names"
    decorated=$(awk '$2 == "_RAZEV_ExportSourceEntryW@20" {print $1}' <<<"$names")
    plain=$(awk '$2 == "RAZEV_ExportSourceEntryW" {print $1}' <<<"$names")
    [ -n "$decorated" ] || fail "keldrin.exe does not export _RAZEV_ExportSourceEntryW@20"
    [ $((decorated + base)) -eq 1 ] || fail "the decorated name is not at ordinal 1"
    [ -n "$plain" ] || fail "keldrin.exe does not export RAZEV_ExportSourceEntryW"
    [ "$(wc -l <<<"$names")" -eq 2 ] || fail "keldrin.exe exports more than the entry reader"
    # Both names lead to the same function.
    rvas=$(sed -n '/Export Address Table -- Ordinal Base/,/^$/p' <<<"$table" |
        awk '/Export RVA/ {print $(NF-2)}' | sort -u | wc -l)
    [ "$rvas" -eq 1 ] || fail "the export names lead to different addresses"
else
    echo "no exported entry reader yet: export check skipped"
fi

step "build x86_64 with tests"
configure x86_64 "$out/x86_64" -DCMAKE_BUILD_TYPE=Release -DKELDRIN_BUILD_TESTS=ON \
    -DCMAKE_UNITY_BUILD=ON
cmake --build "$out/x86_64" -j "$jobs"

step "x86_64 unit tests under Wine"
export WINEPREFIX=$out/wineprefix
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=,winemenubuilder.exe=d"
export WINEARCH=win64
# Wine derives the ANSI code page from the locale (C.UTF-8: 1252) and reads Unix
# file names as UTF-8.
export LANG=C.UTF-8
unset LC_ALL LC_CTYPE DISPLAY WAYLAND_DISPLAY
stop_wine() { "$wineserver" -k >/dev/null 2>&1 || true; }
trap stop_wine EXIT
if [ ! -f "$WINEPREFIX/system.reg" ] || [ ! -f "$WINEPREFIX/.update-timestamp" ]; then
    rm -rf "$WINEPREFIX"
fi
# Wine's first start builds the prefix; it is done once here, not by the first test.
timeout 600 "$wine" wineboot --init >/dev/null 2>&1 || fail "wineboot did not finish"
# A crashing test must fail, not wait for someone to close a crash dialog.
timeout 120 "$wine" reg add 'HKCU\Software\Wine\WineDbg' /v ShowCrashDialog /t REG_DWORD /d 0 /f \
    >/dev/null 2>&1 || fail "could not configure Wine"

# Every test executable in $shards shards (GoogleTest's own sharding). One by default:
# some Windows-only fixtures use a fixed scratch directory, and two Wine processes
# sharing it fail on each other's open files.
shards=${KELDRIN_WINE_SHARDS:-1}
shard() {
    local exe=$1 index=$2 log
    log=${exe%.exe}.shard$index.wine.log
    (cd "$(dirname "$exe")" && GTEST_TOTAL_SHARDS=$shards GTEST_SHARD_INDEX=$index \
        timeout --kill-after=30 600 "$wine" "$exe" --gtest_color=no) >"$log" 2>&1
    echo $? >"$log.rc"
}
export -f shard
export wine shards
exes=("$out"/x86_64/tests/*_tests.exe)
[ -f "${exes[0]}" ] || fail "no test executables were built"
rm -f "$out"/x86_64/tests/*.wine.log "$out"/x86_64/tests/*.wine.log.rc
for exe in "${exes[@]}"; do
    for ((index = 0; index < shards; index++)); do printf '%s\0%s\0' "$exe" "$index"; done
done | xargs -0 -n 2 -P "$shards" bash -c 'shard "$0" "$1"'

failed=()
for exe in "${exes[@]}"; do
    name=$(basename "$exe")
    passed=0
    skipped=0
    bad=()
    for ((index = 0; index < shards; index++)); do
        log=${exe%.exe}.shard$index.wine.log
        rc=$(cat "$log.rc" 2>/dev/null || echo missing)
        summary=$(tr -d '\r' <"$log")
        n=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) test.*/\1/p' <<<"$summary" | head -1)
        s=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) test.*/\1/p' <<<"$summary" | head -1)
        passed=$((passed + ${n:-0}))
        skipped=$((skipped + ${s:-0}))
        if [ "$rc" != 0 ]; then
            bad+=("$log")
            grep -E '^\[  FAILED  \]|Failure|error:' <<<"$summary" | head -40 || true
            tail -5 <<<"$summary"
        fi
    done
    if [ ${#bad[@]} -eq 0 ]; then
        echo "$name: $passed passed, $skipped skipped"
    else
        echo "$name: FAILED (logs: ${bad[*]})"
        failed+=("$name")
    fi
done
[ ${#failed[@]} -eq 0 ] || fail "tests failed under Wine: ${failed[*]}"

step "done"
