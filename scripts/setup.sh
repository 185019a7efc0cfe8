#!/usr/bin/env bash
# Installs what building and testing the removal tool needs on Debian 12.
# As root it installs whatever is missing; otherwise it prints the exact
# apt-get line and stops. Then it finds out how this machine runs 32-bit
# programs (Wine's 32-bit half) and, where the kernel refuses them, sets up
# qemu-i386 emulation; its last line says which way Wine will run.
set -euo pipefail
cd "$(dirname "$0")/.."
# shellcheck source=wine_32bit.sh
source scripts/wine_32bit.sh

packages=(cmake ninja-build g++ googletest g++-mingw-w64-i686 mingw-w64-tools
          wine wine64 wine32:i386 xvfb x11-utils msitools wixl imagemagick python3
          clang-14 libclang-rt-14-dev)
# What the 32-bit half of Wine needs where it runs under qemu-i386.
emulation_packages=(qemu-user-static wine32-preloader:i386 wine64-preloader)

# missing PACKAGE...: prints those not installed.
missing() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || echo "$p"
  done
}

install() {
  local need_i386=0
  dpkg --print-foreign-architectures | grep -qx i386 || need_i386=1
  if [ "$(id -u)" -ne 0 ]; then
    echo "Missing packages. As root, run:" >&2
    [ $need_i386 -eq 1 ] && echo "  dpkg --add-architecture i386 && apt-get update" >&2
    echo "  apt-get install -y $*" >&2
    exit 1
  fi
  echo "setup: installing $*"
  [ $need_i386 -eq 1 ] && dpkg --add-architecture i386
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q "$@"
}

mapfile -t todo < <(missing "${packages[@]}")
((${#todo[@]} == 0)) || install "${todo[@]}"

zrt_32bit_mode
if [[ $ZRT_32BIT == unavailable && $(id -u) -eq 0 ]]; then
  mapfile -t todo < <(missing "${emulation_packages[@]}")
  ((${#todo[@]} == 0)) || install "${todo[@]}"
  zrt_32bit_enable || true
fi
echo "$ZRT_32BIT_LINE"
