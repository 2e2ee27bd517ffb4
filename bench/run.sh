#!/usr/bin/env bash
# Runs the filter engine benchmark on real Adblock lists under Wine.
#
#   bench/run.sh [QuellanBench arguments, e.g. --urls 2000]
#
# The lists come from the npm package ad-block@4.1.7 (its test data only:
# easylist.txt, easyprivacy.txt and the URL list sitelist.txt), unpacked into
# bench/data/, which git ignores. The x86_64 shipped build (build/x64, as
# tools/test.sh makes it) is reused or configured here.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUELLAN_BUILD:-$root/build}
data=$root/bench/data

mkdir -p "$data"
if [ ! -f "$data/easylist.txt" ] || [ ! -f "$data/easyprivacy.txt" ] || [ ! -f "$data/sitelist.txt" ]; then
  (cd "$data" && npm pack --silent ad-block@4.1.7 >/dev/null)
  tar -xzf "$data/ad-block-4.1.7.tgz" -C "$data" --strip-components=3 \
    package/test/data/easylist.txt package/test/data/easyprivacy.txt package/test/data/sitelist.txt
  rm -f "$data/ad-block-4.1.7.tgz"
fi

if [ ! -f "$build/x64/build.ninja" ]; then
  cmake -S "$root" -B "$build/x64" -G Ninja --toolchain "$root/cmake/x86_64-win32.cmake" \
    -DCMAKE_BUILD_TYPE=Release >/dev/null
fi
cmake --build "$build/x64" --target QuellanBench

export WINEPREFIX="$build/bench-wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
"$root/tools/wine-prefix.sh" "$WINEPREFIX"
cd "$data"
env -u DISPLAY wine "$build/x64/bench/QuellanBench.exe" "$@" easylist.txt easyprivacy.txt sitelist.txt
