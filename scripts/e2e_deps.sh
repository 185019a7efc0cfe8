#!/usr/bin/env bash
# Installs what the end-to-end tests under Wine need (Debian 12, as root):
# Wine with 32-bit support, a virtual X server and its tools, the mingw-w64
# cross compilers, and the Windows Installer tools. Does nothing when all
# packages are present.
set -euo pipefail

packages=(wine wine64 wine32:i386 xvfb x11-utils imagemagick msitools wixl
    g++-mingw-w64-i686 cmake)

missing=()
for p in "${packages[@]}"; do
    dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]} == 0)); then
    echo "e2e_deps: all packages present"
    exit 0
fi
if ((EUID != 0)); then
    echo "e2e_deps: missing ${missing[*]}; run as root" >&2
    exit 1
fi
echo "e2e_deps: installing ${missing[*]}"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
apt-get update -q
apt-get install -y -q "${missing[@]}" </dev/null
