#!/usr/bin/env bash
# Configures and builds the three trees: build/native, build/x64, build/x86.
# Usage: scripts/build.sh [native|x64|x86 ...]   (default: all three)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(native x64 x86)

for t in "${targets[@]}"; do
  case "$t" in
    native) args=(-DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc) ;;
    x64) args=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x64.cmake") ;;
    x86) args=(-DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-x86.cmake") ;;
    *) echo "unknown build: $t" >&2; exit 2 ;;
  esac
  if [ ! -f "build/$t/build.ninja" ]; then
    cmake -S . -B "build/$t" -G Ninja "${args[@]}" >/dev/null
  fi
  cmake --build "build/$t"
done
