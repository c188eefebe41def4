#!/usr/bin/env bash
# Installs what a command needs on a Debian 12 machine, as root or through
# sudo. Quick when everything is there already.
#
#   scripts/deps.sh run            what scripts/run.sh needs
#   scripts/deps.sh test [REPORT]  what scripts/test.sh needs (the default)
#
# apt-get goes through scripts/apt.sh: a failed apt-get update is tried
# again, then the package lists apt has are used, and each package that
# cannot be installed is named in one line with apt's message.
#
# Two groups of test are optional: x86 (32-bit Wine for the x86 lane, and
# qemu-user where the kernel runs no 32-bit code) and browser (Chromium,
# Node.js and tests/e2e's npm packages for the browser test). A group that
# cannot be installed does not fail the command: it gets a line
# "GROUP<TAB>reason" in the file REPORT, so that the suites needing it can
# be reported as not run. Anything else that cannot be installed fails it.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=scripts/apt.sh
. "$here/apt.sh"

# The main job: the x64 cross compilers, cmake and ninja, 64-bit Wine (wine
# gives it its commands, wineserver among them) and what widl needs: Wine's
# IDL files and its stdole2.tlb (libwine-dev, libwine).
main=(cmake ninja-build g++-mingw-w64-x86-64-posix mingw-w64-tools libwine-dev wine64 wine)
# The tests add the native build with GoogleTest, GoogleTest's sources for
# the Windows builds, the x86 cross compilers, clang with its sanitizer and
# libFuzzer runtimes (fuzz smoke), curl (the serve test) and what the release
# package and its check use (python3, unzip).
tests=(gcc g++ libgtest-dev googletest g++-mingw-w64-i686-posix clang libclang-rt-14-dev
       curl python3 unzip)

what=${1:-test}
report=${2:-/dev/null}
case $what in
  run)
    apt_install "${main[@]}" || exit 1
    exit 0
    ;;
  test) ;;
  *) echo "usage: scripts/deps.sh [run|test [REPORT]]" >&2; exit 2 ;;
esac

# unavailable GROUP REASON
unavailable() {
  printf '%s\t%s\n' "$1" "$2" >>"$report"
  echo "deps: the $1 group is not installed: the suites that need it will not run" >&2
}

# 32-bit Wine comes from the i386 architecture. Added before the one apt-get
# update, and only for it: nothing else needs i386.
if [ -n "$(apt_missing wine32:i386)" ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  "${apt_sudo[@]}" dpkg --add-architecture i386
fi

apt_install "${main[@]}" "${tests[@]}" || exit 1

# x86: the x86 lane runs the 32-bit programs under 32-bit Wine, natively where
# the kernel runs 32-bit code and otherwise under qemu-user.
apt_failures=()
if apt_install wine32:i386; then
  if ! /usr/lib/wine/wine --version >/dev/null 2>&1 && [ ! -x /usr/bin/qemu-i386 ]; then
    apt_install qemu-user || unavailable x86 "${apt_failures[*]}"
  fi
else
  unavailable x86 "${apt_failures[*]}"
fi

# browser: Chromium, and Node.js with tests/e2e's npm packages as
# tests/e2e/package-lock.json pins them.
apt_failures=()
browser=(chromium)
# Node.js and npm from Debian when the machine has none of its own.
command -v npm >/dev/null 2>&1 || browser+=(nodejs npm)
e2e=$(dirname "$here")/tests/e2e
if ! apt_install "${browser[@]}"; then
  unavailable browser "${apt_failures[*]}"
elif [ ! -d "$e2e/node_modules/playwright-core" ]; then
  echo "deps: npm ci in tests/e2e"
  if ! out=$(cd "$e2e" && timeout 600 npm ci --no-audit --no-fund 2>&1); then
    # npm's own message: its error code and its first line of text.
    why=$(sed -nE 's/^npm (ERR!|error) code (.*)/\2/p' <<<"$out" | head -n 1)
    why="${why:+$why: }$(grep -E '^npm (ERR!|error) [^ ]' <<<"$out" \
      | grep -vE '^npm (ERR!|error) (code|syscall|errno|path|A complete log) ' | head -n 1 \
      | sed -E 's/^npm (ERR!|error) //')"
    [ "$why" != "" ] || why=$(grep -v '^[[:space:]]*$' <<<"$out" | tail -n 1)
    unavailable browser "npm ci in tests/e2e failed: ${why:-no message (timed out?)}"
  fi
fi
exit 0
