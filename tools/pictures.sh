#!/usr/bin/env bash
# Renders the dialogs of quellan.dll under Xvfb to PNG files for a person to
# look at (build/pictures/ by default): the settings dialog with a list
# loaded, and the invalid-filter balloon (Wine draws no balloon: the text the
# edit box was asked to show is drawn into the picture, and says so).
# Uses its own Wine prefix and filter list; run tools/test.sh once first to
# build.
#
#   tools/pictures.sh [output folder]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUELLAN_BUILD:-$root/build}
out=$(realpath -m "${1:-$build/pictures}")
mkdir -p "$out"
export WINEPREFIX="$build/pictures/wineprefix"
export WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml="
"$root/tools/wine-prefix.sh" "$WINEPREFIX"
export QUELLAN_BIN_DIR=$(winepath -w "$build/x64")
export QUELLAN_SOURCE_DIR=$(winepath -w "$root")

display=120
while [ -e "/tmp/.X$display-lock" ] || [ -e "/tmp/.X11-unix/X$display" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'wineserver -k 2>/dev/null || true; kill $xvfb 2>/dev/null || true' EXIT
export DISPLAY=":$display"
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done

wine "$build/tests/tests/ui/dialog_tests.exe" --role=Pictures "$(winepath -w "$out")"
