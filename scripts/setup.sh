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
          clang-14 libclang-rt-14-dev clang-format)
# What the 32-bit half of Wine needs where it runs under qemu-i386; qemu
# itself comes from Debian's bookworm-backports (see wine_32bit.sh for why).
emulation_packages=(wine32-preloader:i386 wine64-preloader)
backports=/etc/apt/sources.list.d/zrt-bookworm-backports.list

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

if [[ $(id -u) -eq 0 ]] && zrt_32bit_needs_emulator; then
  mapfile -t todo < <(missing "${emulation_packages[@]}")
  ((${#todo[@]} == 0)) || install "${todo[@]}"
  if ! grep -rqs bookworm-backports /etc/apt/sources.list /etc/apt/sources.list.d/; then
    echo "deb http://deb.debian.org/debian bookworm-backports main" >"$backports"
  fi
  echo "setup: installing qemu-user-static from bookworm-backports"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q
  apt-get install -y -q -t bookworm-backports qemu-user-static
  zrt_32bit_enable || true
fi
zrt_32bit_mode
echo "$ZRT_32BIT_LINE"
