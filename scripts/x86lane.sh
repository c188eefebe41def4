#!/usr/bin/env bash
# The x86 lane: the 32-bit build's test programs under Wine's 32-bit loader,
# each program run ONCE with all its tests (never one process per test), then
# regsvr32 register/unregister of the x86 DLL, and the release's install.cmd /
# uninstall.cmd when a package is given.
#
#   scripts/x86lane.sh [--build DIR] [--mode auto|native|qemu] [--package ZIP]
#
# Where the kernel runs 32-bit code (mode native) Wine runs the programs
# directly. Where it cannot, they run under qemu-user (mode qemu, about 100
# times slower): qemu-i386 becomes the interpreter of 32-bit programs through a
# binfmt_misc entry. The lane registers that entry in a binfmt_misc instance of
# its own, inside a user namespace (Linux 6.7 and later), so that nothing
# outside the lane sees it and it vanishes with the lane, even a killed one.
# On an older kernel it registers the entry machine-wide and removes it again
# when the lane exits, fails or is signalled (not after SIGKILL); a machine
# that had an entry keeps it untouched. KV_X86_BINFMT=global chooses the
# machine-wide entry where a private one is possible.
#
# The Wine prefix is <build>/wineprefix, made on the first run (under qemu
# 28 minutes on a busy 2-core VM) and reused after that. One wineserver serves
# the whole lane. Output: one line per step with its passed/failed counts,
# wall-clock and CPU seconds, and a last line "N passed, N failed". Exit
# status 0 when nothing failed.
#
# Time limits (seconds): KV_X86_LANE_LIMIT for the whole lane (default 2700),
# KV_X86_PROGRAM_LIMIT for one program (default 900). A program stopped by a
# limit counts its unfinished tests as failed; a step the lane had no time
# left for counts as one failure.
#
# The script is one block that ends in exit: bash reads all of it before it
# runs any of it, so a change to this file cannot upset a lane in progress.
{
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)

build=$root/build/x86
mode=${KV_X86_MODE:-auto}
package=""
while [ $# -gt 0 ]; do
  case $1 in
    --build) build=$(cd "$2" && pwd) || exit 2; shift 2 ;;
    --mode) mode=$2; shift 2 ;;
    --package) package=$(realpath "$2") || exit 2; shift 2 ;;
    *) echo "x86lane: unknown argument $1" >&2; exit 2 ;;
  esac
done
lane_limit=${KV_X86_LANE_LIMIT:-2700}
program_limit=${KV_X86_PROGRAM_LIMIT:-900}

wine32=/usr/lib/wine/wine
wine64=/usr/lib/wine/wine64
qemu=/usr/bin/qemu-i386
# The entry that makes qemu-i386 the interpreter of 32-bit x86 ELF programs;
# F: the kernel opens qemu-i386 once, at registration.
entry=':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386:F'

say() { echo "x86lane: $*"; }
die() { echo "x86lane: $*" >&2; echo "0 passed, 1 failed"; exit 1; }
as_root() { if [ "$(id -u)" -eq 0 ]; then "$@"; else sudo "$@"; fi; }

# --- Stage 1: choose the mode; for qemu, enter the lane's own namespace. ---
if [ -z "${KV_X86_INNER:-}" ]; then
  [ -f "$build/bin/kvParcelin.dll" ] || die "no x86 build in $build (scripts/build.sh x86)"
  [ -x "$wine32" ] || die "no 32-bit Wine ($wine32): scripts/deps.sh installs wine32:i386"

  # A binfmt_misc entry run by qemu answers the probe below too: then this is
  # qemu already, without a registration of ours.
  machine_entry=no
  for e in /proc/sys/fs/binfmt_misc/*; do
    [ -f "$e" ] || continue
    if grep -qx enabled "$e" 2>/dev/null && grep -q '^interpreter .*qemu-i386' "$e" 2>/dev/null; then
      machine_entry=yes
    fi
  done
  if [ "$mode" = auto ]; then
    if [ "$machine_entry" = yes ]; then
      mode=qemu
    elif "$wine32" --version >/dev/null 2>&1; then
      mode=native
    else
      mode=qemu
    fi
  fi
  case $mode in native | qemu) ;; *) die "unknown mode $mode (auto, native or qemu)" ;; esac
  say "mode $mode, build $build"

  if [ "$mode" = qemu ]; then
    if [ ! -x "$qemu" ]; then
      # shellcheck source=scripts/apt.sh
      . "$root/scripts/apt.sh"
      apt_install qemu-user || die "${apt_failures[*]}"
    fi
    if [ "$machine_entry" = yes ]; then
      binfmt=machine
    elif [ "${KV_X86_BINFMT:-}" = global ]; then
      binfmt=global
    elif unshare --user --map-root-user --mount --pid --fork --kill-child --mount-proc \
      sh -c 'd=$(mktemp -d) && mount -t binfmt_misc none "$d" && umount "$d"; r=$?; rmdir "$d"; exit $r' \
      2>/dev/null; then
      binfmt=private
    else
      binfmt=global
    fi
    say "binfmt_misc: $binfmt entry"
    if [ "$binfmt" = private ]; then
      # The namespace ends with the lane: its binfmt_misc instance, mounts and
      # every process started in it (the wineserver included) go with it.
      # Backstop of the lane's own limits: unshare ignores SIGTERM, and its
      # end (SIGKILL) ends the namespace.
      timeout -s KILL $((lane_limit + 120)) \
        unshare --user --map-root-user --mount --pid --fork --kill-child --mount-proc \
        env KV_X86_INNER=private bash "$0" --build "$build" --mode qemu \
        ${package:+--package "$package"}
      rc=$?
      if [ "$rc" -eq 137 ]; then
        say "killed $((lane_limit + 120))s after its start"
        echo "0 passed, 1 failed"
      fi
      exit "$rc"
    fi
  fi
  KV_X86_INNER=$mode
  [ "$mode" = qemu ] && KV_X86_INNER=$binfmt
fi

# --- Stage 2: the lane. ---
start=$(date +%s)
deadline=$((start + lane_limit))
cleanup=()
on_exit() {
  local i
  for ((i = ${#cleanup[@]} - 1; i >= 0; i--)); do eval "${cleanup[i]}" >/dev/null 2>&1; done
}
trap on_exit EXIT
trap 'exit 130' INT TERM HUP

binfmt_dir=""
case $KV_X86_INNER in
  private)
    binfmt_dir=$(mktemp -d)
    mount -t binfmt_misc none "$binfmt_dir" || die "cannot mount binfmt_misc in the namespace"
    echo "$entry" >"$binfmt_dir/register" || die "cannot register qemu-i386"
    ;;
  global)
    # Undo exactly what is done here, in reverse order.
    binfmt_dir=/proc/sys/fs/binfmt_misc
    if ! mountpoint -q "$binfmt_dir"; then
      as_root mount -t binfmt_misc binfmt_misc "$binfmt_dir" || die "cannot mount binfmt_misc"
      cleanup+=("as_root umount $binfmt_dir")
    fi
    if [ -e "$binfmt_dir/qemu-i386" ]; then
      if ! grep -qx enabled "$binfmt_dir/qemu-i386"; then
        as_root sh -c "echo 1 >$binfmt_dir/qemu-i386" || die "cannot enable qemu-i386"
        cleanup+=("as_root sh -c 'echo 0 >$binfmt_dir/qemu-i386'")
      fi
    else
      as_root sh -c "echo '$entry' >$binfmt_dir/register" || die "cannot register qemu-i386"
      cleanup+=("as_root sh -c 'echo -1 >$binfmt_dir/qemu-i386'")
    fi
    ;;
esac
"$wine32" --version >/dev/null 2>&1 || die "32-bit programs do not start ($KV_X86_INNER)"

export WINEPREFIX=$build/wineprefix WINEDEBUG=-all WINELOADER=$wine32
unset WINEARCH
# Registry edits go through the 64-bit tools where the prefix has them (a
# WoW64 prefix): they run natively, and HKCU is the same for both bitnesses.
regwine=$wine32
passed=0
failed=0
logs=$build/x86lane
rm -rf "$logs"
mkdir -p "$logs"

remaining() { echo $((deadline - $(date +%s))); }
# CPU seconds used by the lane's finished child processes, Wine's included:
# under a busy machine a fairer measure of emulation cost than the clock.
# (times must run in the lane's shell, not in a $(...) subshell.)
cpu_seconds() {
  tail -n 1 "$logs/.times" | awk 'function s(x) { split(x, a, "m"); sub("s", "", a[2]); return a[1] * 60 + a[2] }
    { printf "%d", s($1) + s($2) }'
}
# Seconds one step may take: the program limit, or what is left of the lane
# (at least 1: "timeout 0" would mean no limit at all).
limit_for() {
  local r
  r=$(remaining)
  [ "$r" -lt 1 ] && r=1
  [ "$r" -lt "$program_limit" ] && echo "$r" || echo "$program_limit"
}
# report NAME SECONDS PASSED FAILED [NOTE]: one line per step, with the
# step's wall-clock and CPU seconds.
cpu_mark=0
report() {
  local cpu
  times >"$logs/.times"
  cpu=$(cpu_seconds)
  passed=$((passed + $3))
  failed=$((failed + $4))
  printf '%-24s %4d passed %4d failed %6ds (cpu %ds)%s\n' "$1" "$3" "$4" "$2" \
    $((cpu - cpu_mark)) "${5:+  $5}"
  cpu_mark=$cpu
}
# Runs Wine with its streams on a file, never on the lane's pipes.
run_wine() {
  local log=$1
  shift
  "$@" </dev/null >>"$log" 2>&1
}

# The wineserver stays for the lane (-p: until killed), so the prefix boots
# once and every program after that starts warm.
# boot: creates the prefix when it is missing, starts it, and tells Wine
# which programs run as Windows NT 4.0.
boot() {
  local rc
  mkdir -p "$WINEPREFIX"
  /usr/lib/wine/wineserver -p </dev/null >/dev/null 2>&1
  if [ "$fresh" = yes ] && [ -x "$wine64" ] && "$wine64" --version >/dev/null 2>&1; then
    # A WoW64 prefix made by the 64-bit loader: its 64-bit half (services,
    # registry tools) runs natively, only the 32-bit half is emulated.
    run_wine "$logs/prefix.log" timeout -k 10 "$(limit_for)" "$wine64" wineboot -u
  fi
  regwine=$wine32
  regsvr32=regsvr32
  if [ -d "$WINEPREFIX/drive_c/windows/syswow64" ] && [ -x "$wine64" ]; then
    regwine=$wine64
    # The 32-bit one by its path: a 32-bit loader asked for "regsvr32" (or
    # "cmd") first starts a second process for it, each minutes under qemu.
    regsvr32='C:\windows\syswow64\regsvr32.exe'
  fi
  # The first program starts the prefix's services; in a WoW64 prefix they
  # are 64-bit and start natively.
  run_wine "$logs/prefix.log" timeout -k 10 "$(limit_for)" "$regwine" cmd /c exit
  rc=$?
  run_wine "$logs/prefix.log" timeout -k 10 "$(limit_for)" \
    "$regwine" reg import "Z:$build/tests/wine/appdefaults.reg" || rc=1
  return $rc
}
t=$(date +%s)
fresh=no
[ -f "$WINEPREFIX/system.reg" ] || fresh=yes
cleanup+=("/usr/lib/wine/wineserver -k")
boot
rc=$?
if [ "$rc" -ne 0 ] && [ "$fresh" = no ] && [ "$(remaining)" -gt 60 ]; then
  # A prefix left half-made by an interrupted run: once more from scratch.
  /usr/lib/wine/wineserver -k </dev/null >/dev/null 2>&1
  rm -rf "$WINEPREFIX"
  fresh=yes
  boot
  rc=$?
fi
if [ "$rc" -ne 0 ]; then
  report "prefix" $(($(date +%s) - t)) 0 1 "Wine does not start in $WINEPREFIX, see $logs/prefix.log"
  echo "$passed passed, $failed failed"
  exit 1
fi
kind=win32
[ "$regwine" = "$wine64" ] && kind=wow64
note="$kind prefix"
[ "$fresh" = yes ] && note="$note, created"
[ "$fresh" = no ] && note="$note, reused"
report "prefix and first boot" $(($(date +%s) - t)) 0 0 "$note"

# The disk-full cases of the file-output program write into a small tmpfs.
fullfs=$build/tests/wine/fullfs
if [ "$KV_X86_INNER" = private ] || [ "$(id -u)" -eq 0 ]; then
  sh "$root/tests/wine/fullfs.sh" mount "$fullfs" 2m >/dev/null
  cleanup+=("sh '$root/tests/wine/fullfs.sh' umount '$fullfs'")
fi

# run_gtest PROGRAM: one process with all the program's tests. The counts come
# from GoogleTest's own lines: under qemu a process can die of a structured
# exception after its summary, so the exit status alone says too little.
run_gtest() {
  local name=$1 exe=$build/bin/$1.exe log=$logs/$1.log limit t rc note
  local total ran ok fail skip
  limit=$(limit_for)
  if [ "$limit" -lt 30 ]; then
    report "$name" 0 0 1 "not run: no time left in the lane"
    return
  fi
  t=$(date +%s)
  (cd "$build/tests/wine" && timeout -k 10 "$limit" "$wine32" "$exe" --gtest_color=no \
    </dev/null >"$log.raw" 2>&1)
  rc=$?
  tr -d '\r' <"$log.raw" >"$log" && rm -f "$log.raw"
  total=$(sed -n 's/^\[==========\] Running \([0-9]*\) tests\{0,1\} from.*/\1/p' "$log")
  ran=$(grep -c '^\[==========\] [0-9]* tests\{0,1\} from .* ran\.' "$log")
  if [ "$ran" -gt 0 ]; then
    ok=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\{0,1\}\..*/\1/p' "$log")
    fail=$(sed -n 's/^\[  FAILED  \] \([0-9]*\) tests\{0,1\}, listed below.*/\1/p' "$log")
    skip=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\{0,1\}, listed below.*/\1/p' "$log")
    ok=${ok:-0} fail=${fail:-0} skip=${skip:-0}
    note=""
    [ "$skip" -gt 0 ] && note="$skip skipped"
    if [ "$rc" -ne 0 ] && [ "$fail" -eq 0 ]; then
      note="${note:+$note, }exit status $rc after its summary"
    fi
  else
    # No summary: the tests that did not finish count as failed.
    ok=$(grep -c '^\[       OK \]' "$log")
    skip=$(grep -c '^\[  SKIPPED \] [A-Za-z]' "$log")
    fail=$(( ${total:-0} - ok - skip ))
    [ "$fail" -lt 1 ] && fail=1
    if [ "$rc" -eq 124 ] || [ "$rc" -eq 137 ]; then
      note="stopped after ${limit}s"
    else
      note="ended without its summary, exit status $rc"
    fi
  fi
  report "$name" $(($(date +%s) - t)) "$ok" "$fail" "$note${note:+, }log $log"
}

# regsvr32 of the x86 DLL: the class, its ProgID and the type library appear
# in the 32-bit registry view, and all of them go again.
clsid='{A528328A-8FE6-441A-BEF8-DE252DDDD9F5}'
libid='{C53133C2-33E3-4A58-8CEA-E2BB7AD2E57C}'
# The type library's version: the library's version() comes first in the IDL.
tlb=$(grep -o -m1 'version([0-9]*\.[0-9]*)' "$root/src/server/kvParcelin.idl" | tr -dc '0-9.')
# reg query KEY [VIEW]: VIEW 32 is the 32-bit view (the class), none the
# keys both bitnesses share (ProgID, type library). Natively through the
# 64-bit reg in a WoW64 prefix.
reg_query() {
  local view=()
  [ -n "${2:-}" ] && [ "$regwine" = "$wine64" ] && view=(/reg:32)
  timeout -k 10 "$(limit_for)" "$regwine" reg query "$1" "${view[@]}" </dev/null 2>/dev/null
}
reg_has() { reg_query "$@" >/dev/null; }
registration() {
  local t log=$logs/regsvr32.log dll ok=0 bad=0 why=""
  dll=$(winepath_of "$build/bin/kvParcelin.dll")
  if [ "$(limit_for)" -lt 30 ]; then
    report "regsvr32" 0 0 1 "not run: no time left in the lane"
    return
  fi
  t=$(date +%s)
  if run_wine "$log" timeout -k 10 "$(limit_for)" "$wine32" "$regsvr32" /s "$dll"; then
    ok=$((ok + 1))
  else
    bad=$((bad + 1)) why="register failed"
  fi
  local value
  value=$(reg_query "HKCR\\CLSID\\$clsid\\InprocServer32" 32 | tr -d '\r')
  if grep -qiF "$dll" <<<"$value" && reg_has "HKCR\\kvParcelin.process\\CLSID" \
    && reg_has "HKCR\\TypeLib\\$libid\\$tlb"; then
    ok=$((ok + 1))
  else
    bad=$((bad + 1)) why="${why:+$why, }entries missing after registering"
  fi
  if run_wine "$log" timeout -k 10 "$(limit_for)" "$wine32" "$regsvr32" /u /s "$dll"; then
    ok=$((ok + 1))
  else
    bad=$((bad + 1)) why="${why:+$why, }unregister failed"
  fi
  if ! reg_has "HKCR\\CLSID\\$clsid" 32 && ! reg_has "HKCR\\kvParcelin.process" \
    && ! reg_has "HKCR\\TypeLib\\$libid"; then
    ok=$((ok + 1))
  else
    bad=$((bad + 1)) why="${why:+$why, }entries left after unregistering"
  fi
  report "regsvr32 (un)register" $(($(date +%s) - t)) "$ok" "$bad" "$why"
}
winepath_of() { echo "Z:$(echo "$1" | tr / '\\')"; }

# The release's install.cmd and uninstall.cmd on the packaged DLLs.
install_check() {
  local t log=$logs/package.log rc
  if [ "$(limit_for)" -lt 60 ]; then
    report "package install" 0 0 1 "not run: no time left in the lane"
    return
  fi
  t=$(date +%s)
  timeout -k 10 "$(limit_for)" python3 "$root/tests/package/check_package.py" "$package" \
    --wine "$regwine" --prefix "$WINEPREFIX" --arch all --work "$logs/package" \
    </dev/null >"$log" 2>&1
  rc=$?
  local ok bad
  ok=$(sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed$/\1/p' "$log")
  bad=$(sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed$/\2/p' "$log")
  [ -n "$ok" ] || { ok=0 bad=1; }
  [ "$rc" -ne 0 ] && [ "$bad" -eq 0 ] && bad=1
  report "package install" $(($(date +%s) - t)) "$ok" "$bad" "log $log"
}

# A body of 2,000,000,000 bytes through the x86 kvhost serve, saved whole at
# constant memory (bench/serve_bench.py --part edge, in the lane's prefix).
# Natively only: under qemu it would take hours. Needs about 6 GB of disk in
# the build folder for a minute or two; the script deletes what it wrote.
big_upload() {
  local t log=$logs/big-upload.log rc ok bad
  if [ "$(limit_for)" -lt 300 ]; then
    report "2 GB upload" 0 0 1 "not run: no time left in the lane"
    return
  fi
  t=$(date +%s)
  timeout -k 10 "$(limit_for)" python3 "$root/bench/serve_bench.py" --part edge \
    --build "$build" --wine "$wine32" --prefix "$WINEPREFIX" --work "$logs" \
    </dev/null >"$log" 2>&1
  rc=$?
  ok=$(sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed$/\1/p' "$log")
  bad=$(sed -n 's/^\([0-9]*\) passed, \([0-9]*\) failed$/\2/p' "$log")
  [ -n "$ok" ] || { ok=0 bad=1; }
  [ "$rc" -ne 0 ] && [ "$bad" -eq 0 ] && bad=1
  report "2 GB upload" $(($(date +%s) - t)) "$ok" "$bad" "log $log"
}

# The programs that cover what differs on x86 come first: the frame and
# dispatch through the 32-bit type library (frame, VBScript), the views
# (access), file output (fileout) and the intake (upload). Natively every test
# program follows; under qemu only these run, the rest would not fit in the
# lane's time (the concurrency program alone takes about a minute natively,
# over an hour emulated).
first=(kvframe_tests kvvbscript_tests kvaccess_tests kvfileout_tests kvupload_tests)
programs=("${first[@]}")
if [ "$mode" = native ]; then
  for exe in "$build"/bin/*_tests.exe; do
    name=$(basename "$exe" .exe)
    [[ " ${first[*]} " == *" $name "* ]] || programs+=("$name")
  done
fi
# KV_X86_PROGRAMS="a_tests b_tests" chooses the programs instead.
if [ -n "${KV_X86_PROGRAMS:-}" ]; then
  read -r -a programs <<<"$KV_X86_PROGRAMS"
fi

for name in "${programs[@]}"; do
  run_gtest "$name"
done
registration
[ "$mode" = native ] && big_upload
[ -n "$package" ] && install_check

times >"$logs/.times"
say "mode $mode ($KV_X86_INNER), $(($(date +%s) - start))s in all, $(cpu_seconds)s of CPU"
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
exit
}
