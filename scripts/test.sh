#!/usr/bin/env bash
# Installs what is missing, builds everything and runs every test: the
# native core's, then the Windows builds' under Wine (x64, the release
# package, then x86).
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/deps.sh || exit 1
bash scripts/build.sh native x64 x86 || exit 1

status=0
for t in native x64; do
  echo "=== tests: $t"
  ctest --test-dir "build/$t" --output-on-failure </dev/null || status=1
done

# The core under ASan and UBSan: a short run of each fuzzer, then the core tests.
bash scripts/fuzz_smoke.sh || status=1
bash scripts/asan_core.sh || status=1

# The release zip: its contents, and install.cmd/uninstall.cmd of the x64 DLL
# under Wine (the x86 lane runs them for both bitnesses).
echo "=== release package"
bash scripts/package.sh || status=1
python3 tests/package/check_package.py dist/kvParcelin-*[0-9].zip --arch x64 \
  --wine /usr/lib/wine/wine64 --work build/package-check || status=1

# x86: never through ctest (one process per test, hours under emulation) but
# with each test program run once, natively where the kernel runs 32-bit code,
# otherwise under qemu-user (see scripts/x86lane.sh).
echo "=== tests: x86"
bash scripts/x86lane.sh --package dist/kvParcelin-*[0-9].zip || status=1

exit $status
