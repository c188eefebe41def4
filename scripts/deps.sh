#!/usr/bin/env bash
# Installs what the builds and tests need on a Debian 12 machine (as root).
# Quick when everything is there already.
set -euo pipefail

packages=(cmake ninja-build g++ clang libgtest-dev googletest libbenchmark-dev
          mingw-w64 g++-mingw-w64-x86-64 g++-mingw-w64-i686 mingw-w64-tools
          libwine-dev wine64 wine wine32:i386)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
# The 32-bit Wine needs the i386 architecture.
dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386
$SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}" \
  || DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${missing[@]}"
