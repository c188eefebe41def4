#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the
# native core's, then the Windows builds' under Wine (x64, then x86).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/deps.sh || exit 1
bash scripts/build.sh native x64 x86 || exit 1

# 32-bit Windows programs need Wine's 32-bit loader, which needs a kernel
# that runs 32-bit code.
runs32=no
/usr/lib/wine/wine --version >/dev/null 2>&1 && runs32=yes

status=0
for t in native x64 x86; do
  if [ "$t" = x86 ] && [ "$runs32" = no ]; then
    echo "=== tests: x86 NOT RUN: this machine cannot execute 32-bit programs (the x86 build compiled and linked)"
    continue
  fi
  echo "=== tests: $t"
  ctest --test-dir "build/$t" --output-on-failure </dev/null || status=1
done
exit $status
