#!/usr/bin/env bash
# Creates a quiet Wine prefix (no Mono or Gecko prompts) if it does not exist
# yet. Safe to call from parallel processes: creation is serialised by flock.
# QUELLAN_WINE_EXEC, when set, is the command that runs Wine's programs (the
# i686 runner's tools/i686-exec.sh).
set -euo pipefail
run=${QUELLAN_WINE_EXEC:-}
prefix=$1
[ -f "$prefix/.quellan-ready" ] && exit 0
mkdir -p "$(dirname "$prefix")"
exec 9>"$prefix.lock"
flock 9
[ -f "$prefix/.quellan-ready" ] && exit 0
rm -rf "$prefix"
# wineboot must not see a display, or it may try to show dialogs.
env -u DISPLAY WINEPREFIX="$prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
  $run wine wineboot -i >/dev/null 2>&1
# Let the boot server finish before anything else starts one: a persistent
# server started while it shuts down makes later processes stall for seconds.
WINEPREFIX="$prefix" $run wineserver -w
# Without a window manager, windows keep their caption and frame.
WINEPREFIX="$prefix" WINEDEBUG=-all $run wine reg add 'HKCU\Software\Wine\X11 Driver' \
  /v Decorated /t REG_SZ /d N /f >/dev/null 2>&1
WINEPREFIX="$prefix" $run wineserver -w
touch "$prefix/.quellan-ready"
