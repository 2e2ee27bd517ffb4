#!/usr/bin/env bash
# Fails unless the DLL exports each named function under exactly that name.
#   tools/check-exports.sh DLL NAME...
set -euo pipefail
dll=$1; shift
exports=$(objdump -p "$dll" | awk '/^\[Ordinal\/Name Pointer\] Table/ {t=1; next} t && /^\t\[/ {print $NF} t && /^$/ {t=0}')
status=0
for name in "$@"; do
  if ! grep -qx "$name" <<<"$exports"; then
    echo "$dll does not export $name undecorated (exports: $(echo $exports))"; status=1
  fi
done
[ $status = 0 ] && echo "$dll exports: $(echo $exports)"
exit $status
