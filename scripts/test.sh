#!/usr/bin/env bash
# Installs what the tests need (scripts/deps.sh test), builds the three trees
# and runs every suite: the native core's tests, the x64 build's under Wine,
# the browser test, the same suites with every body spooled, the fuzz smoke, the core under ASan and UBSan, the
# release package, then the x86 lane.
#
# A suite whose packages cannot be installed from the registry (the x86 lane
# without 32-bit Wine, the browser test without Chromium or its npm
# packages) is NOT RUN: one loud line says so with apt's reason, the other
# suites run, and it counts as skipped without failing the run. Packages
# the other suites need that cannot be installed, a failed build or a failed
# test fail the run. The end: one line per suite, then "N passed, N failed,
# N skipped" (suites).
# shellcheck disable=SC2317  # the suites' functions run through suite()
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root" || exit 1

unavailable=$(mktemp)
trap 'rm -f "$unavailable"' EXIT
passed=0
failed=0
skipped=0
summary=()

finish() {
  echo "=== summary"
  printf '%s\n' "${summary[@]}"
  echo "$passed passed, $failed failed, $skipped skipped"
  [ "$failed" -eq 0 ]
  exit
}

# suite NAME GROUP COMMAND [ARG...]: the suite NAME runs COMMAND (stdin from
# /dev/null) and passes when it exits 0. GROUP names the optional package
# group of scripts/deps.sh it needs ("-": none); when that group could not
# be installed the suite is NOT RUN. Returns COMMAND's exit status.
# Environment for the suite goes before it: KV_X=1 suite "x64, X" - ...
suite() {
  local name=$1 group=$2 reason start rc
  shift 2
  reason=$(awk -F '\t' -v g="$group" '$1 == g { print $2; exit }' "$unavailable")
  if [ -n "$reason" ]; then
    echo "!!! $name: NOT RUN: its packages cannot be installed from the registry" \
      "(a later run on a sound mirror runs it): $reason"
    summary+=("$name: NOT RUN ($reason)")
    skipped=$((skipped + 1))
    return 0
  fi
  echo "=== $name"
  start=$(date +%s)
  "$@" </dev/null
  rc=$?
  if [ "$rc" -eq 0 ]; then
    passed=$((passed + 1))
    summary+=("$name: passed ($(($(date +%s) - start)) s)")
  else
    failed=$((failed + 1))
    summary+=("$name: FAILED (exit status $rc, $(($(date +%s) - start)) s)")
  fi
  return "$rc"
}

# ctest_tree TREE [CTEST ARG...]: the ctest tests of build/TREE.
ctest_tree() {
  ctest --test-dir "build/$1" --output-on-failure --no-tests=error "${@:2}"
}

# The browser test alone. Its packages are installed, so a skip is a failure.
browser_test() {
  local out rc
  out=$(mktemp)
  ctest_tree x64 -R '^browser_e2e$' | tee "$out"
  rc=${PIPESTATUS[0]}
  if grep -Eq '\*\*\*(Skipped|Not Run)' "$out"; then
    echo "browser_e2e did not run although Chromium and tests/e2e's packages are installed:"
    grep -h '^SKIPPED:' build/x64/Testing/Temporary/LastTest.log
    rc=1
  fi
  rm -f "$out"
  return "$rc"
}

# The release zip: its contents, and install.cmd/uninstall.cmd of the x64 DLL
# under Wine (the x86 lane runs them for both bitnesses).
package_test() {
  bash scripts/package.sh || return 1
  python3 tests/package/check_package.py dist/kvParcelin-*[0-9].zip --arch x64 \
    --wine /usr/lib/wine/wine64 --work build/package-check
}

# x86: never through ctest (one process per test, hours under emulation) but
# with each test program run once, natively where the kernel runs 32-bit code,
# otherwise under qemu-user (see scripts/x86lane.sh).
x86_lane() {
  local zip=(dist/kvParcelin-*[0-9].zip)
  bash scripts/x86lane.sh --package "${zip[0]}"
}

if ! bash scripts/deps.sh test "$unavailable"; then
  summary+=("packages: FAILED (see the lines starting with \"apt:\" above)")
  failed=$((failed + 1))
  finish
fi

suite build - bash scripts/build.sh native x64 x86 || finish
suite native - ctest_tree native
suite x64 - ctest_tree x64 -E '^browser_e2e$'
suite "browser test (browser_e2e)" browser browser_test
# Every suite that creates upload objects again, with every body spooled to disk.
suite "spooled (SpoolThreshold 0)" - bash scripts/spooled_run.sh
# The core under ASan and UBSan: a short run of each fuzzer, then the core tests.
suite "fuzz smoke" - bash scripts/fuzz_smoke.sh
suite "asan core" - bash scripts/asan_core.sh
suite "release package" - package_test
suite "x86 lane" x86 x86_lane
finish
