#!/usr/bin/env bash
# Installs what the builds and tests need on a Debian 12 machine (as root).
# Quick when everything is there already.
set -euo pipefail

packages=(cmake ninja-build g++ clang libgtest-dev googletest libbenchmark-dev
          mingw-w64 g++-mingw-w64-x86-64 g++-mingw-w64-i686 mingw-w64-tools
          libwine-dev wine64 wine wine32:i386
          chromium)
# The serve command's end-to-end test and benchmark drive it with curl.
packages+=(curl)
# The sanitizer and libFuzzer runtimes of clang (scripts/fuzz_smoke.sh).
packages+=(libclang-rt-14-dev)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
# Node.js and npm for the browser test (tests/e2e), from Debian when the
# machine has none of its own.
command -v npm >/dev/null 2>&1 || missing+=(nodejs npm)

if [ ${#missing[@]} -gt 0 ]; then

echo "Installing: ${missing[*]}"
SUDO=""
[ "$(id -u)" -eq 0 ] || SUDO=sudo
# The 32-bit Wine needs the i386 architecture.
dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386
$SUDO apt-get update -q
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}" \
  || DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q "${missing[@]}"
fi

# The browser test's npm packages, as tests/e2e/package-lock.json pins them.
# Without them that test is skipped, so a failure here does not stop the rest.
e2e="$(cd "$(dirname "$0")/.." && pwd)/tests/e2e"
if [ ! -d "$e2e/node_modules/playwright-core" ] && command -v npm >/dev/null 2>&1; then
  echo "npm ci in tests/e2e"
  (cd "$e2e" && timeout 600 npm ci --no-audit --no-fund) \
    || echo "deps: npm ci in tests/e2e failed: the browser test will be skipped" >&2
fi
