#!/usr/bin/env bash
# Fetches real filter lists and recorded page requests (never committed) and
# prints the folder that holds easylist.txt, easyprivacy.txt and sitelist.txt.
# Source: the test data shipped in the npm package ad-block@4.1.7.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
data=$root/bench/data
if [ ! -f "$data/sitelist.txt" ]; then
  mkdir -p "$data"
  tarball=$(cd "$data" && npm pack --silent ad-block@4.1.7 2>/dev/null | tail -n 1)
  tar -xzf "$data/$tarball" -C "$data" --strip-components=3 \
    package/test/data/easylist.txt package/test/data/easyprivacy.txt package/test/data/sitelist.txt
  rm -f "$data/$tarball"
fi
echo "$data"
