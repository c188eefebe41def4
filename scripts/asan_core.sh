#!/usr/bin/env bash
# Builds the native core tests with AddressSanitizer and UndefinedBehavior-
# Sanitizer (g++) and runs them. Any sanitizer report fails the run: each
# one stops its test program, and the test log is searched for them as well.
# Usage: scripts/asan_core.sh [build dir, default build/asan]
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/asan}
san="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"

echo "=== asan core: building the core tests with ASan and UBSan in $build"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=g++ -DCMAKE_C_COMPILER=gcc \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g" \
    -DCMAKE_CXX_FLAGS="$san" -DCMAKE_EXE_LINKER_FLAGS="$san" >/dev/null || exit 1
fi
cmake --build "$build" --target core_tests || exit 1

echo "=== asan core: running the core tests"
export ASAN_OPTIONS=detect_leaks=1:halt_on_error=1:detect_stack_use_after_return=1
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
status=0
ctest --test-dir "$build" -R '^core_tests$' --output-on-failure </dev/null || status=1
log="$build/Testing/Temporary/LastTest.log"
if grep -E -q 'runtime error:|ERROR: (Address|Leak|UndefinedBehavior)Sanitizer' "$log"; then
  echo "asan core: sanitizer report in $log:"
  grep -E -A20 'runtime error:|ERROR: (Address|Leak|UndefinedBehavior)Sanitizer' "$log" | head -n 80
  status=1
fi
[ "$status" -eq 0 ] && echo "asan core: OK, no sanitizer report"
exit $status
