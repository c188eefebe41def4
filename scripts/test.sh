#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the
# native core's, then the Windows builds' under Wine (x64, then x86).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/deps.sh || exit 1
bash scripts/build.sh native x64 x86 || exit 1

status=0
for t in native x64 x86; do
  echo "=== tests: $t"
  ctest --test-dir "build/$t" --output-on-failure </dev/null || status=1
done
exit $status
