#!/usr/bin/env bash
# Times the URL verdict: imports EasyList and EasyPrivacy into a scratch
# storage.bin and judges every URL of the recorded page requests once, under
# Wine, with the shipped (win32 thread model) x86_64 build. Prints the record
# count, the median and 99th percentile microseconds per URL (with an empty
# list too, which is the fixed cost: canonicalisation, lock, mapping) and the
# fraction blocked.
#
#   bench/verdict.sh
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUELLAN_BUILD:-$root/build}
data=$("$root/bench/fetch-data.sh")

cmake -S "$root" -B "$build/x64" -G Ninja --toolchain "$root/cmake/x86_64-win32.cmake" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build/x64" --target UrlVerdictBench >/dev/null

export WINEPREFIX="$build/bench-wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
"$root/tools/wine-prefix.sh" "$WINEPREFIX"
trap 'wineserver -k 2>/dev/null || true' EXIT
wineserver -p
win() { winepath -w "$1" 2>/dev/null; }
wine "$build/x64/bench/UrlVerdictBench.exe" --urls "$(win "$data/sitelist.txt")" \
  "$(win "$data/easylist.txt")" "$(win "$data/easyprivacy.txt")"
