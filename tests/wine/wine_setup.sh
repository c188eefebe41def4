#!/bin/sh
# Readies this build tree's Wine prefix for the tests.
#
#   wine_setup.sh WINE REGFILE LOG
#
# WINEPREFIX and WINEDEBUG come from the environment. Creates the prefix when
# it is missing, starts a wineserver that stays 30 s after its last client,
# and imports REGFILE (the programs that run as Windows NT 4.0). Wine runs
# with its standard streams on /dev/null and LOG, never on ctest's pipes: a
# wineserver holding such a pipe makes ctest wait for it.
wine=$1
reg=$2
log=$3

fail() {
  echo "wine_setup: $1" >&2
  cat "$log" >&2
  exit 1
}
run() {
  "$@" </dev/null >>"$log" 2>&1
}

: >"$log" || exit 1
[ -n "$wine" ] || fail "no Wine loader for these programs"
[ -n "$WINEPREFIX" ] || fail "WINEPREFIX is not set"
# A prefix made while only 64-bit Wine was installed (its syswow64 empty)
# does not start once 32-bit Wine is there too, as after scripts/run.sh
# (64-bit Wine only) and then scripts/test.sh: it is made again.
wow=$WINEPREFIX/drive_c/windows/syswow64
if [ -x /usr/lib/wine/wine ] && [ -d "$wow" ] && [ -z "$(ls -A "$wow")" ]; then
  echo "wine_setup: $WINEPREFIX was made without 32-bit Wine: making it again" >>"$log"
  run /usr/lib/wine/wineserver -k
  rm -rf "$WINEPREFIX" || fail "cannot remove $WINEPREFIX"
fi
mkdir -p "$WINEPREFIX" || fail "cannot create $WINEPREFIX"

# Fails harmlessly when a server for the prefix runs already.
run wineserver -p30
# The first program in a new prefix creates it (some seconds).
run "$wine" cmd /c exit || fail "Wine does not start in $WINEPREFIX"
run "$wine" reg import "Z:$reg" || fail "cannot import $reg"
exit 0
