#!/usr/bin/env bash
# Installs everything a fresh Debian 12 machine needs to build and test Quellan.
# Idempotent: packages already present are left alone.
set -euo pipefail

packages=(
  cmake ninja-build make
  g++-mingw-w64-x86-64-win32 g++-mingw-w64-i686-win32
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix
  mingw-w64-tools binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
  libwine-dev wine wine64 xvfb xauth
  googletest python3 publicsuffix
  msitools wixl
)
# The benchmarks fetch real filter lists with npm; a machine whose Node.js
# already carries npm must not get Debian's npm (the two conflict).
command -v npm >/dev/null 2>&1 || packages+=(npm)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
