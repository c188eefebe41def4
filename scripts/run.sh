#!/usr/bin/env bash
# The main job: builds the x64 DLL and the local host, readies the Wine
# prefix of the build tree and runs kvhost. Without arguments it inspects the
# sample upload body in examples/.
#   scripts/run.sh [inspect BODYFILE [--chunk N] [--disconnect-at K]]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

bash scripts/deps.sh
bash scripts/build.sh x64 >&2

build="$root/build/x64"
export WINEPREFIX="$build/wineprefix" WINEDEBUG=-all
wine=/usr/lib/wine/wine64
export WINELOADER=$wine
sh tests/wine/wine_setup.sh "$wine" "$build/tests/wine/appdefaults.reg" "$build/wine_setup.log"

[ $# -gt 0 ] || set -- inspect examples/sample-body.txt
exec "$wine" "$build/bin/kvhost.exe" "$@" </dev/null
