#!/usr/bin/env bash
# Runs a command of the i686 runner (made by tools/setup-i686.sh), e.g.
#
#   tools/i686-exec.sh wine build/tests-i686/engine/engine_tests.exe
#
# inside its chroot, in the current folder, with /proc, /sys, /dev, the X
# socket folder, this checkout and the folders in QUELLAN_I686_BIND
# (colon-separated) mounted at their own paths. The mounts live in a private
# mount namespace, so nothing stays mounted on the host and nothing needs
# unmounting before the chroot is deleted.
#
#   tools/i686-exec.sh --host COMMAND...
#
# runs COMMAND on the host side inside such a namespace instead; every
# i686-exec.sh it starts then reuses the mounts (one namespace for a whole
# test run, which a persistent wineserver keeps alive until it exits).
set -euo pipefail
chroot_dir=${QUELLAN_I686_ROOT:-/srv/quellan-i686}
checkout=$(cd "$(dirname "$0")/.." && pwd)

if [ "${QUELLAN_I686_NS:-}" != "$chroot_dir" ]; then
  if [ "${QUELLAN_I686_NS_NEW:-}" != 1 ]; then
    [ -f "$chroot_dir/.quellan-ready" ] || {
      echo "i686 runner missing in $chroot_dir: run tools/setup-i686.sh" >&2
      exit 3
    }
    QUELLAN_I686_NS_NEW=1 exec unshare --mount --propagation private "$0" "$@"
  fi
  unset QUELLAN_I686_NS_NEW
  for d in proc sys dev; do mount --rbind "/$d" "$chroot_dir/$d"; done
  if [ -d /tmp/.X11-unix ]; then
    mkdir -p "$chroot_dir/tmp/.X11-unix"
    mount --bind /tmp/.X11-unix "$chroot_dir/tmp/.X11-unix"
  fi
  IFS=: read -r -a binds <<<"$checkout${QUELLAN_I686_BIND:+:$QUELLAN_I686_BIND}"
  for b in "${binds[@]}"; do
    [ -n "$b" ] && [ -d "$b" ] || continue
    b=$(cd "$b" && pwd -P)
    mkdir -p "$chroot_dir$b"
    mount --bind "$b" "$chroot_dir$b"
  done
  export QUELLAN_I686_NS=$chroot_dir
fi

if [ "${1:-}" = --host ]; then
  shift
  exec "$@"
fi
# The host's library path means nothing inside the chroot.
unset LD_LIBRARY_PATH
if [ -d "$chroot_dir$PWD" ]; then
  exec chroot "$chroot_dir" /usr/bin/env -C "$PWD" "$@"
fi
exec chroot "$chroot_dir" "$@"
