#!/usr/bin/env bash
# Builds the libFuzzer targets (clang, ASan, UBSan) and runs each one briefly,
# seeded from fuzz/corpus/<target>/. New inputs go to a temporary folder, never
# into the committed corpus. Fails on any finding; the failing inputs are kept
# in <build>/smoke-findings/ and printed in base64.
# Usage: scripts/fuzz_smoke.sh [build dir, default build/fuzz]
#   KV_FUZZ_SECONDS  wall-clock seconds for all targets together (default 60)
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build/fuzz}
total=${KV_FUZZ_SECONDS:-60}

echo "=== fuzz smoke: building the libFuzzer targets in $build"
if [ ! -f "$build/build.ninja" ]; then
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_CXX_COMPILER=clang++ -DCMAKE_C_COMPILER=clang \
    -DKV_FUZZ=ON >/dev/null || exit 1
fi
cmake --build "$build" --target kv_fuzzers || exit 1

# A target <name>_fuzzer for every fuzz/<name>_fuzzer.cpp.
targets=()
for src in "$root"/fuzz/*_fuzzer.cpp; do
  name=$(basename "$src" _fuzzer.cpp)
  [ -x "$build/fuzz/${name}_fuzzer" ] || { echo "fuzz smoke: ${name}_fuzzer was not built" >&2; exit 1; }
  targets+=("$name")
done

# Up to two at a time (a two-core machine), sharing the time between them.
jobs=$(nproc)
[ "$jobs" -gt 2 ] && jobs=2
seconds=$(( total * jobs / ${#targets[@]} ))
[ "$seconds" -ge 5 ] || seconds=5

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
findings="$build/smoke-findings"
rm -rf "$findings"
mkdir -p "$findings"

run_one() {
  local name=$1 seeds=("$root/fuzz/corpus/$1")
  mkdir -p "$work/$name"
  [ -d "${seeds[0]}" ] || { echo "fuzz smoke: no corpus in ${seeds[0]}" >&2; seeds=(); }
  "$build/fuzz/${name}_fuzzer" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$findings/$name-" "$work/$name" "${seeds[@]}" \
    >"$work/$name.log" 2>&1
}

report() {
  local name=$1 rc=$2 log="$work/$1.log"
  local execs rate found
  execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
  rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
  found=$(find "$findings" -name "$name-*" | wc -l)
  if [ "$rc" -eq 0 ] && [ "$found" -eq 0 ]; then
    echo "fuzz smoke: $name OK: ${seconds} s, ${execs:-?} runs (${rate:-?}/s), 0 findings," \
      "$(find "$work/$name" -type f | wc -l) new inputs (discarded)"
    return 0
  fi
  echo "fuzz smoke: $name FAILED (exit $rc, $found finding(s)); the end of its log:"
  grep -v -E '^#[0-9]+ ' "$log" | tail -n 60
  for f in "$findings/$name"-*; do
    [ -f "$f" ] || continue
    echo "fuzz smoke: finding $f (base64):"
    base64 "$f"
  done
  return 1
}

echo "=== fuzz smoke: ${#targets[@]} targets, $seconds s each, $jobs at a time"
status=0
for ((i = 0; i < ${#targets[@]}; i += jobs)); do
  batch=("${targets[@]:i:jobs}")
  pids=()
  for name in "${batch[@]}"; do
    run_one "$name" &
    pids+=($!)
  done
  for k in "${!batch[@]}"; do
    wait "${pids[k]}"
    report "${batch[k]}" $? || status=1
  done
done
[ "$status" -eq 0 ] && rmdir "$findings"
exit $status
