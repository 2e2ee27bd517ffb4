#!/usr/bin/env bash
# Checks that every #include "folder/..." of the tree follows the layer order:
#
#   com/                      the foundation
#   engine/                   may use com/
#   storage/                  may use engine/, com/
#   verdict/                  may use storage/ and everything below
#   browser/ ui/ broker/      may use each other, resources/ and everything below
#   module/                   may use everything above
#   ctl/ host/ bench/ tools/  outside the library: may use any layer and themselves
#   tests/                    may use anything
#
# Includes without a folder (generated headers, a resource script's own
# headers) and <system> headers are not checked; a relative path that climbs
# ("../x.h") is refused, since it would slip past the check.
#
#   tools/check-includes.sh SOURCE_ROOT       check the tree; exit 1 on a violation
#   tools/check-includes.sh --self-test       check this script on a tiny tree
set -euo pipefail

declare -A rank=(
  [com]=0 [engine]=1 [storage]=2 [verdict]=3
  [browser]=4 [ui]=4 [broker]=4 [resources]=4
  [module]=5
  [ctl]=6 [host]=6 [bench]=6 [tools]=6
  [tests]=7
)

# Known exceptions, one per line: "file -> folder   reason". Removing one is a
# one-line change once its reason is gone.
exceptions=(
  "tools/standin/BrowserMain.cpp -> tests   the stand-in browser serves pages with the tests' HTTP server"
)

allowed() { # from to
  local from=$1 to=$2
  [ "$from" = "$to" ] && return 0
  local f=${rank[$from]} t=${rank[$to]}
  case $from in
    # Outside the library: any layer of the library and nothing else outside.
    ctl|host|bench|tools) [ "$t" -le 5 ] ;;
    tests) return 0 ;;
    *) [ "$t" -le "$f" ] ;;
  esac
}

check() { # root
  local root=$1 violations=0 used=() line relative where target from to exception
  local pattern='^([^:]+):([0-9]+):[[:space:]]*#[[:space:]]*include[[:space:]]*"(([^"/]+)/[^"]*)"'
  local climbing='^([^:]+):([0-9]+):[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]*\.\./[^"]*)"'
  while IFS= read -r line; do
    if [[ $line =~ $climbing ]]; then
      echo "${BASH_REMATCH[1]#"$root"/}:${BASH_REMATCH[2]}: include by a path from the source root, not ${BASH_REMATCH[3]}"
      violations=$((violations + 1))
      continue
    fi
    [[ $line =~ $pattern ]] || continue
    relative=${BASH_REMATCH[1]#"$root"/}
    where=${BASH_REMATCH[2]}
    target=${BASH_REMATCH[3]}
    to=${BASH_REMATCH[4]}
    from=${relative%%/*}
    [ -n "${rank[$from]+x}" ] && [ -n "${rank[$to]+x}" ] || continue
    allowed "$from" "$to" && continue
    local excepted=
    for exception in "${exceptions[@]}"; do
      read -r efile _ efolder _ <<<"$exception"
      if [ "$efile" = "$relative" ] && [ "$efolder" = "$to" ]; then
        excepted=1
        used+=("$exception")
      fi
    done
    [ -n "$excepted" ] && continue
    echo "$relative:$where: $from/ may not include $target"
    violations=$((violations + 1))
  done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$root" --exclude-dir=build --exclude-dir=.git \
             --include='*.h' --include='*.hpp' --include='*.c' --include='*.cpp' --include='*.rc' \
             --include='*.h.in' --include='*.idl.in' || true)
  for exception in "${exceptions[@]}"; do
    local found=
    for u in "${used[@]+"${used[@]}"}"; do [ "$u" = "$exception" ] && found=1; done
    [ -n "$found" ] || echo "note: exception no longer needed: $exception"
  done
  if [ "$violations" -gt 0 ]; then
    echo "$violations include(s) against the layer order"
    return 1
  fi
  echo "every include follows the layer order"
}

self_test() {
  local tree
  tree=$(mktemp -d)
  trap 'rm -rf "$tree"' RETURN
  mkdir -p "$tree"/{com,engine,storage,verdict,ui,browser,module,ctl,tests}
  printf '#include "com/Error.h"\n#include <windows.h>\n#include "Local.h"\n' >"$tree/engine/Good.cpp"
  printf '#include "browser/Page.h"\n#include "storage/Store.h"\n' >"$tree/ui/Peer.cpp"
  printf '#include "module/Module.h"\n#include "tests/support/Roles.h"\n' >"$tree/tests/Any.cpp"
  printf '#include "storage/FilterListStore.h"\n#include "engine/FilterIndex.h"\n' >"$tree/verdict/UrlVerdict.cpp"
  printf '#include "verdict/UrlVerdict.h"\n' >"$tree/browser/Filter.cpp"
  check "$tree" >/dev/null || { echo "self-test: a clean tree was refused"; return 1; }
  for bad in 'engine/Bad.cpp:#include "storage/Store.h"' 'com/Bad.h:  # include "engine/FilterRule.h"' \
             'storage/Bad.cpp:#include "ui/Dialog.h"' 'ui/Bad.cpp:#include "module/Module.h"' \
             'ctl/Bad.cpp:#include "tests/support/Roles.h"' 'engine/Up.cpp:#include "../storage/Store.h"' 'engine/Other.cpp:#include "storage/FilterListStore.h"' \
             'storage/Bad.cpp:#include "verdict/UrlVerdict.h"' 'verdict/Bad.cpp:#include "browser/Page.h"'; do
    printf '%s\n' "${bad#*:}" >"$tree/${bad%%:*}"
    if check "$tree" >/dev/null; then
      echo "self-test: not refused: $bad"
      return 1
    fi
    rm "$tree/${bad%%:*}"
  done
  echo "self-test passed"
}

if [ "${1:-}" = "--self-test" ]; then
  self_test
else
  check "$(cd "${1:?usage: check-includes.sh SOURCE_ROOT | --self-test}" && pwd)"
fi
