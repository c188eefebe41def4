#!/usr/bin/env bash
# Makes the release for Windows admins:
#
#   dist/kvParcelin-<x.y>.<build>.zip      the DLLs (stripped), install.cmd,
#                                          uninstall.cmd, README.txt, docs,
#                                          demo pages, SHA256SUMS
#   dist/kvParcelin-<x.y>.<build>-debug.zip the DLLs' debug files
#   dist/SHA256SUMS                        of the two archives
#
# <x.y> is the type library's version, <build> the number of commits (git
# rev-list --count HEAD); the DLLs carry both in their version resource
# (x.y.<build>.0). Builds kvParcelin.dll in the x64 and x86 trees under
# KV_PACKAGE_BUILD (default: build/, the trees of scripts/build.sh) and writes
# to KV_DIST (default: dist/).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

trees=${KV_PACKAGE_BUILD:-$root/build}
dist=${KV_DIST:-$root/dist}
number=$(git rev-list --count HEAD)
# The type library's version (the library's version() comes first in the IDL).
tlb=$(grep -o -m1 'version([0-9]*\.[0-9]*)' src/server/kvParcelin.idl | tr -dc '0-9.')
version=$tlb.$number
name=kvParcelin-$version

declare -A triple=([x64]=x86_64-w64-mingw32 [x86]=i686-w64-mingw32)
for arch in x64 x86; do
  tree=$trees/$arch
  # Configuring again only changes the build number, when it changed.
  cmake -S "$root" -B "$tree" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-$arch.cmake" \
    -DKV_BUILD_NUMBER="$number" >/dev/null
  cmake --build "$tree" --target kvParcelin >/dev/null
done

stage=$(mktemp -d)
trap 'rm -rf "$stage"' EXIT
top=$stage/main/$name
debug=$stage/debug/$name
mkdir -p "$top" "$debug"

# Windows tools read these with CR LF line ends.
crlf() { mkdir -p "$(dirname "$2")" && sed 's/\r*$/\r/' "$1" >"$2"; }

for arch in x64 x86; do
  dll=$trees/$arch/bin/kvParcelin.dll
  mkdir -p "$top/$arch" "$debug/$arch"
  "${triple[$arch]}-objcopy" --only-keep-debug "$dll" "$debug/$arch/kvParcelin.dll.debug"
  # The debug link names the debug file, for a debugger that finds it beside
  # the DLL.
  (cd "$debug/$arch" && "${triple[$arch]}-objcopy" --strip-all \
    --add-gnu-debuglink=kvParcelin.dll.debug "$dll" "$top/$arch/kvParcelin.dll")
done

crlf packaging/install.cmd "$top/install.cmd"
crlf packaging/uninstall.cmd "$top/uninstall.cmd"
crlf packaging/README.txt "$top/README.txt"
# The docs and the demo site as the repository holds them.
git ls-files -- 'docs/*.md' | while read -r f; do crlf "$f" "$top/$f"; done
git ls-files -- examples/www | grep -v '/\.' | while read -r f; do
  crlf "$f" "$top/demo/${f#examples/www/}"
done
(cd "$top" && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | LC_ALL=C sort \
  | xargs sha256sum >SHA256SUMS)

# Same input, same archive: fixed order and times (the commit's).
stamp=$(git log -1 --format=%ct HEAD)
zipdir() {
  python3 - "$1" "$2" "$stamp" <<'EOF'
import os, sys, time, zipfile
src, out, stamp = sys.argv[1], sys.argv[2], int(sys.argv[3])
when = time.gmtime(max(stamp, 315532800))[:6]
with zipfile.ZipFile(out + ".tmp", "w", zipfile.ZIP_DEFLATED, compresslevel=9) as z:
    for folder, dirs, files in os.walk(src):
        dirs.sort()
        for f in sorted(files):
            path = os.path.join(folder, f)
            info = zipfile.ZipInfo(os.path.relpath(path, src).replace(os.sep, "/"), when)
            info.external_attr = 0o644 << 16
            info.compress_type = zipfile.ZIP_DEFLATED
            with open(path, "rb") as data:
                z.writestr(info, data.read())
os.replace(out + ".tmp", out)
EOF
}
mkdir -p "$dist"
# One release in dist/: older ones go.
rm -f "$dist"/kvParcelin-*.zip
zipdir "$stage/main" "$dist/$name.zip"
zipdir "$stage/debug" "$dist/$name-debug.zip"
(cd "$dist" && sha256sum "$name.zip" "$name-debug.zip" >SHA256SUMS)

echo "package: $dist/$name.zip ($(stat -c %s "$dist/$name.zip") bytes)"
(cd "$dist" && unzip -l "$name.zip" | grep -E 'kvParcelin\.dll$')
echo "package: $dist/$name-debug.zip ($(stat -c %s "$dist/$name-debug.zip") bytes)"
