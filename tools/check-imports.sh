#!/usr/bin/env bash
# Fails if a binary imports a function that is not in the allowed list.
#
#   tools/check-imports.sh ALLOWED-LIST BINARY...
#
# The allowed list holds one "dll function" pair per line (dll in lower case),
# each a function that Windows XP SP3 exports. Anything newer must be looked
# up at run time with GetProcAddress, so it never appears in an import table.
# --list prints the imports of the binaries in the list's format instead.
set -euo pipefail
list_only=0
if [ "${1:-}" = "--list" ]; then list_only=1; shift; else allowed=$1; shift; fi

imports() { # binary -> "dll function" lines
  objdump -p "$1" | awk '
    /^\tDLL Name: / { dll = tolower($3); next }
    /^\t[0-9a-f]+\t +[0-9]+ +[^ ]+$/ && dll != "" { print dll, $3; next }
    /^\t[0-9a-f]+\t +[0-9]+ *$/ && dll != "" { print dll, "#ordinal"; next }
    /^$/ { }
  '
}

status=0
for binary in "$@"; do
  if [ ! -f "$binary" ]; then
    echo "missing binary: $binary"; status=1; continue
  fi
  found=$(imports "$binary" | sort -u)
  if [ -z "$found" ]; then
    echo "$binary: no imports found (objdump format changed?)"; status=1; continue
  fi
  if [ $list_only = 1 ]; then echo "$found"; continue; fi
  bad=$(comm -23 <(echo "$found") <(grep -v -E '^\s*(#|$)' "$allowed" | sort -u))
  count=$(echo "$found" | wc -l)
  if [ -n "$bad" ]; then
    echo "$binary imports functions that are not known to exist on Windows XP SP3:"
    echo "$bad" | sed 's/^/  /'
    status=1
  else
    echo "$binary: $count imports, all available on Windows XP SP3"
  fi
done
exit $status
