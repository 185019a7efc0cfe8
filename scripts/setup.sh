#!/usr/bin/env bash
# Installs what building and testing the removal tool needs on Debian 12.
# As root it installs whatever is missing; otherwise it prints the exact
# apt-get line and stops.
set -euo pipefail

packages=(cmake ninja-build g++ googletest g++-mingw-w64-i686 mingw-w64-tools
          wine wine64 wine32:i386 xvfb x11-utils msitools wixl imagemagick)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
need_i386=0
dpkg --print-foreign-architectures | grep -qx i386 || need_i386=1

if [ ${#missing[@]} -eq 0 ] && [ $need_i386 -eq 0 ]; then
  exit 0
fi

line="apt-get install -y ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then
  echo "Missing packages. As root, run:" >&2
  [ $need_i386 -eq 1 ] && echo "  dpkg --add-architecture i386 && apt-get update" >&2
  echo "  $line" >&2
  exit 1
fi

echo "setup: installing ${missing[*]}"
[ $need_i386 -eq 1 ] && dpkg --add-architecture i386
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q "${missing[@]}"
