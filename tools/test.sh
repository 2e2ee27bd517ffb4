#!/usr/bin/env bash
# Builds the shipped binaries for x86_64 and i686 (win32 thread model), builds
# the unit tests (posix thread model), and runs everything under CTest: the
# import check of both targets and the tests under Wine, in a private prefix,
# with a warm wineserver, under Xvfb.
#
#   tools/test.sh [ctest arguments...]
#
# QUELLAN_BUILD overrides the build folder (default: build/ in the checkout).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUELLAN_BUILD:-$root/build}

configure() { # folder toolchain [options...]
  local dir=$1 toolchain=$2; shift 2
  cmake -S "$root" -B "$dir" -G Ninja --toolchain "$root/cmake/$toolchain.cmake" \
    -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
}

configure "$build/x64" x86_64-win32
cmake --build "$build/x64"
configure "$build/i686" i686-win32
cmake --build "$build/i686"
configure "$build/tests" x86_64-posix -DQUELLAN_TESTS=ON \
  -DQUELLAN_SHIPPED_DIR="$build/x64" -DQUELLAN_SHIPPED_DIR_I686="$build/i686"
cmake --build "$build/tests"

export WINEPREFIX="$build/tests/wineprefix"
export WINEDEBUG=-all
"$root/tools/wine-prefix.sh" "$WINEPREFIX"

# A private X server so that tests can create real windows.
display=90
while [ -e "/tmp/.X$display-lock" ] || [ -e "/tmp/.X11-unix/X$display" ]; do
  display=$((display + 1))
done
Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
cleanup() {
  wineserver -k 2>/dev/null || true
  kill "$xvfb" 2>/dev/null || true
}
trap cleanup EXIT
export DISPLAY=":$display"
for _ in $(seq 50); do
  [ -e "/tmp/.X11-unix/X$display" ] && break
  sleep 0.1
done

# A warm, persistent wineserver makes each test process start in a fraction
# of a second instead of seconds.
# With a server already running for the prefix (a test run by hand), -p
# exits with 2 and that server serves: not a reason to stop.
wineserver -p || true
wine cmd /c exit >/dev/null 2>&1 || true

ctest --test-dir "$build/tests" --output-on-failure --timeout 300 "$@"
