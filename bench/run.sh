#!/usr/bin/env bash
# Runs the benchmarks on real Adblock lists under Wine, with the shipped
# (win32 thread model) x86_64 build, and prints their figures:
#  - QuellanBench: wildcard-match throughput, and the time and memory to
#    import EasyList and EasyPrivacy;
#  - UrlVerdictBench: EasyList and EasyPrivacy in a scratch filter list store
#    with its index, then IsUrlAllowed over every recorded page request:
#    median, p99 and max microseconds per URL and their split, the walk it
#    must agree with and the differences (must be 0), the simple URLs
#    canonicalized without the platform and the differences from the
#    platform's canonicalization (must be 0), what writers pay for
#    the index, the first verdict of a fresh process, hostile regular
#    expressions, and the same URLs judged by two engines of other browsers'
#    blockers (npm packages @gorhill/ubo-core and @ghostery/adblocker,
#    installed into bench/data/peers, never committed) with the ratio of
#    medians; then the same URLs against a list never stored (empty);
#  - AdblockBench: EasyList and EasyPrivacy in full syntax compiled into one
#    image (time, size beside the lists' text), a fresh process's first
#    verdict from the mapped image, and the verdict with context (type and
#    page assigned by bench/adblock-oracle.mjs) over the recorded requests:
#    median and p99 beside both peers given the same context, and the
#    agreement with uBlock Origin's answers in both directions;
#  - ElementHidingBench: EasyList's element-hiding rules: the time to prepare
#    the generic sheets, what IE 7/8 cannot apply (counted by kind), and per
#    distinct page host the rules and sheets injected and the time to compose
#    its style, beside @ghostery/adblocker's getCosmeticsFilters;
#  - StoreWriteBench: a whole-list rewrite of 60,000 filters and the append of
#    one, undo file and flushes to disk included (needs no data);
#  - ListUpdateBench: an update of EasyList and EasyPrivacy whose sources
#    (files) both changed: checked, stored and compiled; time and peak memory;
#  - SettingsDialogBench: EasyList stored as the user's list, then the shipped
#    settings dialog opened, sorted and applied, under a private Xvfb.
#
#   bench/run.sh [QuellanBench arguments, e.g. --urls 2000]
#
# The data comes from bench/fetch-data.sh (never committed). Without node and
# npm the peers are left out.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${QUELLAN_BUILD:-$root/build}
data=$("$root/bench/fetch-data.sh")

cmake -S "$root" -B "$build/x64" -G Ninja --toolchain "$root/cmake/x86_64-win32.cmake" \
  -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build/x64" --target QuellanBench UrlVerdictBench StoreWriteBench ListUpdateBench SettingsDialogBench AdblockBench ElementHidingBench Quellan >/dev/null

# The peers, measured first so that their figures go into the verdict table.
peers=()
adblock_peers=()
hiding_peers=()
rm -f "$data/adblock-corpus.tsv"
if command -v node >/dev/null && command -v npm >/dev/null; then
  mkdir -p "$data/peers"
  if [ ! -d "$data/peers/node_modules/@gorhill/ubo-core" ] || [ ! -d "$data/peers/node_modules/@ghostery/adblocker" ]; then
    [ -f "$data/peers/package.json" ] || echo '{"name": "quellan-bench-peers", "private": true}' >"$data/peers/package.json"
    (cd "$data/peers" && npm install --silent --no-audit --no-fund @gorhill/ubo-core@0.1.30 @ghostery/adblocker@2.20.1)
  fi
  cp "$root/bench/peers.mjs" "$data/peers/peers.mjs"
  while read -r name count blocked median p99 max; do
    peers+=(--peer "$name $median $p99")
  done < <(cd "$data/peers" && node peers.mjs "$data/easylist.txt" "$data/easyprivacy.txt" "$data/sitelist.txt")
  # The same requests with a type and a page each, and uBO's answers to
  # them, for the Adblock lists' verdict.
  cp "$root/bench/adblock-oracle.mjs" "$data/peers/adblock-oracle.mjs"
  while read -r name count blocked median p99 max; do
    adblock_peers+=(--peer "$name $median $p99")
  done < <(cd "$data/peers" && node adblock-oracle.mjs corpus "$data/easylist.txt" "$data/easyprivacy.txt" \
             "$data/sitelist.txt" "$data/adblock-corpus.tsv")
  cp "$root/bench/cosmetic-peer.mjs" "$data/peers/cosmetic-peer.mjs"
  while read -r name hosts median p99 selectors; do
    hiding_peers+=(--peer "$name $median $p99 (median selectors $selectors)")
  done < <(cd "$data/peers" && node cosmetic-peer.mjs "$data/sitelist.txt" "$data/easylist.txt")
else
  echo "(node or npm missing: the peers are left out)"
fi

export WINEPREFIX="$build/bench-wineprefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
"$root/tools/wine-prefix.sh" "$WINEPREFIX"
trap 'wineserver -k 2>/dev/null || true' EXIT
wineserver -p || true  # exits with 2 when a server already serves the prefix
win() { winepath -w "$1" 2>/dev/null; }

# Shared machines change speed from one minute to the next, by half at
# times, so a ratio of two engines timed minutes apart says as much about the
# machine as about them. Each verdict section therefore also times every
# engine in three rounds, peers and ours one after the other, and the ratio
# of each engine's best median is the figure to judge by.
#   alternate PEER-COMMAND OUR-COMMAND
# PEER-COMMAND prints "NAME COUNT BLOCKED MEDIAN P99 MAX" per peer,
# OUR-COMMAND "MEDIAN P99".
alternate() {
  local rounds
  rounds=$(for round in 1 2 3; do
    $1 | while read -r name _ _ median p99 _; do echo "$round $name $median $p99"; done
    echo "$round ours $($2)"
  done)
  awk '
    { line[$1] = line[$1] sprintf("  %s %s", $2, $3)
      if (!($2 in best) || $3 < best[$2]) { best[$2] = $3; p99[$2] = $4 } }
    END {
      print "alternating rounds (median microseconds; ours p99 beside its best):"
      for (r = 1; r <= 3; ++r) print "  round " r ":" line[r]
      fastest = ""
      for (e in best) if (e != "ours" && (fastest == "" || best[e] < best[fastest])) fastest = e
      if (fastest != "")
        printf "  best medians: ours %.2f (p99 %.2f), %s %.2f: ratio %.2f (target <= 0.3)\n",
               best["ours"], p99["ours"], fastest, best[fastest], best["ours"] / best[fastest]
    }' <<<"$rounds"
}
url_peers() { (cd "$data/peers" && node peers.mjs "$data/easylist.txt" "$data/easyprivacy.txt" "$data/sitelist.txt"); }
url_ours() {
  wine "$build/x64/bench/UrlVerdictBench.exe" --verdicts-only --urls "$(win "$data/sitelist.txt")" \
    "$(win "$data/easylist.txt")" "$(win "$data/easyprivacy.txt")"
}
adblock_peers() {
  (cd "$data/peers" && node adblock-oracle.mjs corpus "$data/easylist.txt" "$data/easyprivacy.txt" \
     "$data/sitelist.txt" /dev/null)
}
adblock_ours() {
  wine "$build/x64/bench/AdblockBench.exe" --verdicts-only --requests "$(win "$data/adblock-corpus.tsv")" \
    "$(win "$data/easylist.txt")" "$(win "$data/easyprivacy.txt")"
}

echo "== Filter engine"
(cd "$data" && env -u DISPLAY wine "$build/x64/bench/QuellanBench.exe" "$@" easylist.txt easyprivacy.txt sitelist.txt)
echo
echo "== URL verdict"
wine "$build/x64/bench/UrlVerdictBench.exe" --urls "$(win "$data/sitelist.txt")" "${peers[@]}" \
  "$(win "$data/easylist.txt")" "$(win "$data/easyprivacy.txt")"
[ ${#peers[@]} -eq 0 ] || alternate url_peers url_ours
wine "$build/x64/bench/UrlVerdictBench.exe" --empty "$(win "$data/sitelist.txt")"
echo
echo "== Adblock lists"
adblock_requests=()
[ -f "$data/adblock-corpus.tsv" ] && adblock_requests=(--requests "$(win "$data/adblock-corpus.tsv")")
wine "$build/x64/bench/AdblockBench.exe" "${adblock_requests[@]}" "${adblock_peers[@]}" \
  "$(win "$data/easylist.txt")" "$(win "$data/easyprivacy.txt")"
[ ${#adblock_peers[@]} -eq 0 ] || alternate adblock_peers adblock_ours
echo
echo "== Element hiding"
wine "$build/x64/bench/ElementHidingBench.exe" --pages "$(win "$data/sitelist.txt")" "${hiding_peers[@]}" \
  "$(win "$data/easylist.txt")"
echo
echo "== Filter list changes"
wine "$build/x64/bench/StoreWriteBench.exe"
echo
echo "== Adblock list updates"
wine "$build/x64/bench/ListUpdateBench.exe" "$(win "$data/easylist.txt")" "$(win "$data/easyprivacy.txt")"
echo
echo "== Settings dialog"
display=90
while [ -e "/tmp/.X$display-lock" ] || [ -e "/tmp/.X11-unix/X$display" ]; do display=$((display + 1)); done
Xvfb ":$display" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
xvfb=$!
trap 'kill $xvfb 2>/dev/null || true; wineserver -k 2>/dev/null || true' EXIT
for _ in $(seq 50); do [ -e "/tmp/.X11-unix/X$display" ] && break; sleep 0.1; done
DISPLAY=":$display" wine "$build/x64/bench/SettingsDialogBench.exe" "$(win "$build/x64/module/quellan.dll")" \
  "$(win "$data/easylist.txt")"
