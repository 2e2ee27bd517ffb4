#!/usr/bin/env bash
# The main job, end to end: builds the shipped x86_64 binaries, imports an
# Adblock filter list into a fresh user's store with QuellanCtl (under Wine,
# in a fresh prefix), then judges a set of URLs and says which filters
# decided each one.
#
#   tools/demo.sh                       the sample list and URLs in tools/demo/
#   tools/demo.sh LIST URLS             any Adblock list, URLs one per line
#   tools/demo.sh --easylist [N]        EasyList + EasyPrivacy and N (60)
#                                       of the recorded page requests from the
#                                       npm package ad-block@4.1.7 (fetched
#                                       with npm)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUELLAN_BUILD:-$root/build}
lists=("$root/tools/demo/sample-list.txt")
urls=$root/tools/demo/sample-urls.txt
url_limit=0
if [ "${1:-}" = "--easylist" ]; then
  data=$("$root/bench/fetch-data.sh")
  lists=("$data/easylist.txt" "$data/easyprivacy.txt")
  urls=$data/sitelist.txt
  url_limit=${2:-60}
elif [ $# -ge 2 ]; then
  lists=("$1"); urls=$2
fi

cmake -S "$root" -B "$build/x64" -G Ninja --toolchain "$root/cmake/x86_64-win32.cmake" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build/x64" --target QuellanCtl >/dev/null

export WINEPREFIX="$build/demo-wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
rm -rf "$WINEPREFIX" "$WINEPREFIX.lock"
echo "Creating a fresh Wine prefix (a new user with an empty filter list)..."
"$root/tools/wine-prefix.sh" "$WINEPREFIX"
trap 'wineserver -k 2>/dev/null || true' EXIT
wineserver -p

ctl() { wine "$build/x64/ctl/QuellanCtl.exe" "$@"; }
for list in "${lists[@]}"; do
  echo
  echo "\$ QuellanCtl import $(basename "$list")"
  ctl import "$(winepath -w "$list" 2>/dev/null)"
done

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
