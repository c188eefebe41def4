#!/usr/bin/env bash
# The main job: builds the x64 DLL and the local host, readies the Wine
# prefix of the build tree, registers kvParcelin.dll there and serves the
# demo site examples/www with kvhost serve (the address is printed; Ctrl+C
# stops it). PORT chooses the port (default 8080).
#
# With arguments it runs that kvhost subcommand instead, e.g.
#   scripts/run.sh inspect examples/sample-body.txt --call FileName 0
#   scripts/run.sh run examples/www/default.asp
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

# Only what the x64 build and 64-bit Wine need: no i386, no test packages.
bash scripts/deps.sh run >&2
bash scripts/build.sh x64 >&2

build="$root/build/x64"
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
wine=/usr/lib/wine/wine64
export WINELOADER=$wine
sh tests/wine/wine_setup.sh "$wine" "$build/tests/wine/appdefaults.reg" "$build/wine_setup.log"
kvhost="$build/bin/kvhost.exe"

if [ $# -gt 0 ]; then
  exec "$wine" "$kvhost" "$@" </dev/null
fi

"$wine" "$kvhost" register </dev/null >/dev/null
exec "$wine" "$kvhost" serve --root "$root/examples/www" --port "${PORT:-8080}" </dev/null
