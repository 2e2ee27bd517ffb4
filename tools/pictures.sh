#!/usr/bin/env bash
# Renders the dialogs of quellan.dll under Xvfb to PNG files for a person to
# look at (build/pictures/ by default): the settings dialog with a list
# loaded, the invalid-filter balloon (Wine draws no balloon: the text the
# edit box was asked to show is drawn below the dialog, and says so), the
# Blockable Items dialog on a stand-in page with the rows of blocked URLs
# grey, and the Add Filter dialog it opens; the Adblock Lists dialog with
# three lists (one whose last check failed, one off) and its Add prompt.
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

# Xvfb picks a free display and writes its number once it accepts
# connections: a socket file alone can appear before that, and a Wine
# process that cannot reach the display never draws anything. Started before
# any Wine program (winepath too), so that the prefix's desktop has it.
displayfile=$(mktemp)
Xvfb -displayfd 1 -screen 0 1024x768x24 -nolisten tcp >"$displayfile" 2>/dev/null &
xvfb=$!
trap 'wineserver -k 2>/dev/null || true; kill $xvfb 2>/dev/null || true; rm -f "$displayfile"' EXIT
for _ in $(seq 300); do [ -s "$displayfile" ] && break; sleep 0.1; done
[ -s "$displayfile" ] || { echo "Xvfb did not start" >&2; exit 1; }
export DISPLAY=":$(head -n1 "$displayfile")"

export QUELLAN_BIN_DIR=$(winepath -w "$build/x64")
export QUELLAN_SOURCE_DIR=$(winepath -w "$root")
wine "$build/tests/tests/ui/dialog_tests.exe" --role=Pictures "$(winepath -w "$out")"
