#!/usr/bin/env bash
# Runs the benchmarks on real Adblock lists under Wine, with the shipped
# (win32 thread model) x86_64 build, and prints their figures:
#  - QuellanBench: wildcard-match throughput, and the time and memory to
#    import EasyList and EasyPrivacy;
#  - UrlVerdictBench: EasyList and EasyPrivacy in a scratch storage.bin, then
#    IsUrlAllowed over every recorded page request: records in the store,
#    median and 99th percentile microseconds per URL, fraction blocked;
#  - StoreWriteBench: a whole-list rewrite of 60,000 filters and the append of
#    one, undo file and flushes to disk included (needs no data).
#
#   bench/run.sh [QuellanBench arguments, e.g. --urls 2000]
#
# The data comes from bench/fetch-data.sh (never committed).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUELLAN_BUILD:-$root/build}
data=$("$root/bench/fetch-data.sh")

cmake -S "$root" -B "$build/x64" -G Ninja --toolchain "$root/cmake/x86_64-win32.cmake" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build/x64" --target QuellanBench UrlVerdictBench StoreWriteBench >/dev/null

export WINEPREFIX="$build/bench-wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
"$root/tools/wine-prefix.sh" "$WINEPREFIX"
trap 'wineserver -k 2>/dev/null || true' EXIT
wineserver -p
win() { winepath -w "$1" 2>/dev/null; }

echo "== Filter engine"
(cd "$data" && env -u DISPLAY wine "$build/x64/bench/QuellanBench.exe" "$@" easylist.txt easyprivacy.txt sitelist.txt)
echo
echo "== URL verdict"
wine "$build/x64/bench/UrlVerdictBench.exe" --urls "$(win "$data/sitelist.txt")" \
  "$(win "$data/easylist.txt")" "$(win "$data/easyprivacy.txt")"
echo
echo "== Filter list changes"
wine "$build/x64/bench/StoreWriteBench.exe"
