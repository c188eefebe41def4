#!/usr/bin/env bash
# The suites that create upload objects, again with every body spooled to
# disk: the native core's suites read each body from a spool file through a
# small window (KV_SPOOL_THRESHOLD=0, KV_BODY_WINDOW), and the x64 Wine
# tests run with SpoolThreshold 0 in the build's Wine prefix, which is taken
# out again afterwards. Needs build/native and build/x64.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
status=0

echo "=== spooled: core tests, every body read from a spool file through a 61-byte window"
KV_SPOOL_THRESHOLD=0 KV_BODY_WINDOW=61 \
  ctest --test-dir build/native -R '^core_tests$' --output-on-failure </dev/null || status=1

echo "=== spooled: x64 tests with SpoolThreshold 0"
export WINEPREFIX="$root/build/x64/wineprefix" WINEDEBUG=-all
wine=/usr/lib/wine/wine64
export WINELOADER=$wine
log="$root/build/x64/spooled_run.log"
key='HKLM\SOFTWARE\kvParcelin'
sh tests/wine/wine_setup.sh "$wine" "$root/build/x64/tests/wine/appdefaults.reg" "$log" || exit 1
unset_threshold() {
  "$wine" reg delete "$key" /v SpoolThreshold /f </dev/null >>"$log" 2>&1
}
trap unset_threshold EXIT
"$wine" reg add "$key" /v SpoolThreshold /t REG_DWORD /d 0 /f </dev/null >>"$log" 2>&1 || {
  echo "spooled: cannot set SpoolThreshold in $WINEPREFIX" >&2
  exit 1
}
# Every test that creates objects (the host's own parts create none); the
# browser test runs only where its packages are installed.
ctest --test-dir build/x64 -E '^(kvhostparts_tests|kvscripthost_tests|kvhttpserve_tests)\.' \
  --output-on-failure </dev/null || status=1
exit $status
