#!/usr/bin/env bash
# The main job, end to end: builds the shipped x86_64 binaries, registers
# quellan.dll in a fresh Wine prefix (a new user), imports the sample Adblock
# list with QuellanCtl, adds a sample list in today's Adblock syntax as an
# Adblock list and switches on "Remove blocked items from pages", then
# lets the stand-in browser (tools/standin) show the sample page
# (tools/demo/page/, served on 127.0.0.1) with the add-on loaded as the
# browser loads it: what it requested, what the add-on refused, which
# elements it hid. Then QuellanCtl judges a few more URLs and says why.
#
#   tools/demo.sh                       the sample page, list and URLs
#   tools/demo.sh --pictures [FOLDER]   the same, and renders the page before
#                                       and after as PNG pictures with
#                                       headless Chromium (installed with
#                                       apt-get when missing), into FOLDER
#                                       (default build/demo-pictures)
#   tools/demo.sh LIST URLS             any Adblock list, URLs one per line
#                                       (QuellanCtl only)
#   tools/demo.sh --easylist [N]        EasyList + EasyPrivacy and N (60)
#                                       of the recorded page requests from the
#                                       npm package ad-block@4.1.7 (fetched
#                                       with npm; QuellanCtl only)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUELLAN_BUILD:-$root/build}
lists=("$root/tools/demo/sample-list.txt")
urls=$root/tools/demo/sample-urls.txt
page=$root/tools/demo/page
url_limit=0
browse=1
pictures=""
if [ "${1:-}" = "--easylist" ]; then
  data=$("$root/bench/fetch-data.sh")
  lists=("$data/easylist.txt" "$data/easyprivacy.txt")
  urls=$data/sitelist.txt
  url_limit=${2:-60}
  browse=0
elif [ "${1:-}" = "--pictures" ]; then
  pictures=${2:-$build/demo-pictures}
elif [ $# -ge 2 ]; then
  lists=("$1"); urls=$2
  browse=0
fi

cmake -S "$root" -B "$build/x64" -G Ninja --toolchain "$root/cmake/x86_64-win32.cmake" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build/x64" --target Quellan QuellanCtl StandInBrowser >/dev/null

export WINEPREFIX="$build/demo-wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$WINEPREFIX" "$WINEPREFIX.lock"
echo "Creating a fresh Wine prefix (a new user with an empty filter list)..."
"$root/tools/wine-prefix.sh" "$WINEPREFIX"
trap 'wineserver -k 2>/dev/null || true' EXIT
wineserver -p

winpath() { winepath -w "$1" 2>/dev/null; }
ctl() { wine "$build/x64/ctl/QuellanCtl.exe" "$@"; }
for list in "${lists[@]}"; do
  echo
  echo "\$ QuellanCtl import $(basename "$list")"
  ctl import "$(winpath "$list")"
done

if [ "$browse" = 1 ]; then
  echo
  echo "\$ QuellanCtl lists add sample-adblock.txt"
  ctl lists add "$(winpath "$root/tools/demo/sample-adblock.txt")"
  echo "\$ QuellanCtl lists"
  ctl lists
  echo
  echo "\$ regsvr32 quellan.dll     (as an installation does: the browser now loads the add-on)"
  wine regsvr32 /s "$(winpath "$build/x64/module/quellan.dll")"
  echo "\$ QuellanCtl option remove-blocked-items on"
  ctl option remove-blocked-items on
  echo "\$ QuellanCtl list"
  ctl list
  after=$build/demo-after
  rm -rf "$after"
  cp -r "$page" "$after"
  echo
  echo "\$ StandInBrowser --serve tools/demo/page --save <after>/index.html /index.html"
  wine "$build/x64/tools/standin/StandInBrowser.exe" --serve "$(winpath "$page")" \
    --save "$(winpath "$after/index.html")" /index.html
  echo
  echo "The page as the user sees it after the add-on acted: $after/index.html"
fi

mapfile -t url_list < <(grep -v -E '^\s*(#|$)' "$urls" | tr -d '\r')
if [ "$url_limit" -gt 0 ] && [ "${#url_list[@]}" -gt "$url_limit" ]; then
  # An even spread over the recorded page loads, not just the first site.
  step=$(( ${#url_list[@]} / url_limit ))
  spread=()
  for ((i = 0; i < url_limit; i++)); do spread+=("${url_list[i * step]}"); done
  url_list=("${spread[@]}")
fi
echo
echo "\$ QuellanCtl check --explain <${#url_list[@]} URLs from $(basename "$urls")>"
ctl check --explain "${url_list[@]}"
if [ "$browse" = 1 ]; then
  # The Adblock list judges a request in its context: the tracker is blocked
  # on another site's page, not on its own; a secure request is judged too.
  echo
  echo "\$ QuellanCtl check --explain --type script --page http://news.example.com/ http://tracker.example.net/t.js"
  ctl check --explain --type script --page http://news.example.com/ http://tracker.example.net/t.js
  echo "\$ QuellanCtl check --explain --type script --page http://www.tracker.example.net/ http://tracker.example.net/t.js"
  ctl check --explain --type script --page http://www.tracker.example.net/ http://tracker.example.net/t.js
  echo "\$ QuellanCtl check --explain https://secure-ads.example.org/slot.png"
  ctl check --explain https://secure-ads.example.org/slot.png
fi

if [ -n "$pictures" ]; then
  if ! command -v chromium >/dev/null 2>&1; then
    echo
    echo "Installing Debian's chromium for the pictures..."
    sudo=""
    [ "$(id -u)" -eq 0 ] || sudo="sudo"
    $sudo apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends chromium >/dev/null
  fi
  mkdir -p "$pictures"
  shoot() { # url picture
    local profile
    profile=$(mktemp -d)
    chromium --headless --no-sandbox --disable-gpu --no-first-run --disable-background-networking \
      --disable-component-update --disable-sync --user-data-dir="$profile" --hide-scrollbars \
      --window-size=1000,1200 --screenshot="$2" "$1" >/dev/null 2>&1
    rm -rf "$profile"
  }
  shoot "file://$page/index.html" "$pictures/before.png"
  shoot "file://$after/index.html" "$pictures/after.png"
  echo
  echo "Pictures of the page before and after the add-on acted:"
  echo "  $pictures/before.png"
  echo "  $pictures/after.png"
fi
