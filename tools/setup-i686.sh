#!/usr/bin/env bash
# Makes the runner for the 32-bit (i686) tests, when it is missing:
#  - a Debian trixie chroot holding Wine 10 with its 32-bit half (wine32:i386)
#    and qemu-user. This machine's CPU cannot run 32-bit x86 code at all, so
#    every 32-bit Linux process of Wine runs under qemu-i386; bookworm's
#    qemu 7.2 is far too slow for that, trixie's is usable;
#  - binfmt_misc mounted, with an i386 ELF handler pointing at the chroot's
#    qemu-i386. Wine re-executes its own 32-bit loader, so the kernel itself
#    must know how to start such a program. The handler matches only 32-bit
#    x86 ELF files, which nothing on the host runs, so the host's 64-bit Wine
#    is not touched.
# Idempotent and quick when all is there. Needs root (debootstrap, mount,
# binfmt registration). Progress goes to standard output; when the runner
# cannot be made, one line on standard error says why, and the exit code is 3.
#
# QUELLAN_I686_ROOT overrides where the chroot lives (default
# /srv/quellan-i686, outside any checkout: it takes about 4 GB).
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
chroot_dir=${QUELLAN_I686_ROOT:-/srv/quellan-i686}
handler=quellan-i386
binfmt=/proc/sys/fs/binfmt_misc
mirror=http://deb.debian.org/debian
suite=trixie

fail() {
  echo "i686 runner unavailable: $*" >&2
  exit 3
}

if [ "$(id -u)" -ne 0 ]; then
  if command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
    exec sudo -n --preserve-env=QUELLAN_I686_ROOT "$0" "$@"
  fi
  fail "needs root to build the chroot, mount binfmt_misc and register the i386 handler (run as root or with passwordless sudo)"
fi

{ mkdir -p "$(dirname "$chroot_dir")" && exec 8>"$chroot_dir.lock"; } 2>/dev/null ||
  fail "cannot write beside $chroot_dir (set QUELLAN_I686_ROOT to a writable place)"
flock 8

# What the chroot holds besides the base system. The X libraries and fonts
# are for the windows the tests create (Wine loads them at run time).
packages=(
  qemu-user wine wine64 wine32:i386
  libfreetype6:i386 libfontconfig1:i386 fonts-liberation
  libx11-6:i386 libxext6:i386 libxrender1:i386 libxrandr2:i386 libxi6:i386
  libxcursor1:i386 libxfixes3:i386 libxcomposite1:i386 libxinerama1:i386
  libx11-6 libxext6 libxrender1 libxrandr2 libxi6 libxcursor1 libxfixes3
  libxcomposite1 libxinerama1 libfreetype6 libfontconfig1
)
stamp="$suite ${packages[*]}"
log="$chroot_dir.log"

# Installs the packages into the chroot at $1. apt and the package scripts
# want /proc and /dev: they are mounted in a private namespace, so nothing
# stays mounted afterwards.
install_packages() {
  unshare --mount --propagation private bash -euo pipefail -c '
    work=$1; shift
    for d in proc sys dev; do mount --rbind "/$d" "$work/$d"; done
    run() { chroot "$work" env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive "$@"; }
    run dpkg --add-architecture i386
    run apt-get update -qq
    run apt-get install -y -qq --no-install-recommends "$@"
    run apt-get clean
  ' _ "$1" "${packages[@]}" >>"$log" 2>&1 || fail "installing Wine and qemu-user into the chroot failed (see $log)"
}

# The chroot, built aside and moved into place only when complete, so an
# interrupted setup is simply done again. One made for another package list
# gets the missing packages.
if [ ! -f "$chroot_dir/.quellan-ready" ]; then
  if ! command -v debootstrap >/dev/null 2>&1; then
    { apt-get update -qq && DEBIAN_FRONTEND=noninteractive \
        apt-get install -y -qq --no-install-recommends debootstrap; } >/dev/null 2>&1 ||
      fail "cannot install debootstrap with apt-get"
  fi
  work="$chroot_dir.partial"
  [ -d "$work" ] && rm -rf --one-file-system "$work"
  [ -d "$chroot_dir" ] && rm -rf --one-file-system "$chroot_dir"
  echo "Setting up the i686 runner in $chroot_dir (a few minutes, about 460 MB to download)..."
  debootstrap --variant=minbase --include=ca-certificates "$suite" "$work" "$mirror" >"$log" 2>&1 ||
    fail "debootstrap of Debian $suite failed (see $log)"
  install_packages "$work"
  echo "$stamp" >"$work/.quellan-ready"
  mv "$work" "$chroot_dir"
elif [ "$(cat "$chroot_dir/.quellan-ready")" != "$stamp" ]; then
  echo "Updating the packages of the i686 runner in $chroot_dir..."
  install_packages "$chroot_dir"
  echo "$stamp" >"$chroot_dir/.quellan-ready"
fi

qemu="$chroot_dir/usr/bin/qemu-i386"
[ -x "$qemu" ] || fail "$qemu is missing; delete $chroot_dir and run again"

# binfmt_misc and the i386 handler. F opens the interpreter now, so the
# kernel finds it from inside the chroot too; O and P are what Wine's loader
# needs (it reads its own file and its argv[0]).
if [ ! -e "$binfmt/register" ]; then
  mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null ||
    fail "cannot mount binfmt_misc on $binfmt (a container without that privilege?)"
fi
if [ -e "$binfmt/$handler" ] && ! grep -qx "interpreter $qemu" "$binfmt/$handler"; then
  echo -1 >"$binfmt/$handler"
fi
if [ ! -e "$binfmt/$handler" ]; then
  magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
  mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
  printf '%s' ":$handler:M::$magic:$mask:$qemu:OPF" >"$binfmt/register" 2>/dev/null ||
    fail "cannot register the i386 handler with binfmt_misc"
fi
grep -qx enabled "$binfmt/$handler" || echo 1 >"$binfmt/$handler"

# One 32-bit program, to prove the whole chain before any test relies on it.
"$here/i686-exec.sh" /usr/lib/ld-linux.so.2 --version >/dev/null 2>&1 ||
  fail "a 32-bit program does not start in $chroot_dir (binfmt handler or qemu-i386 broken)"
