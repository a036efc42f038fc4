#!/usr/bin/env bash
# make dist: build/dist/parambridge-<version>.zip, laid out as a terminal's
# data folder (unpack it into the folder that File > Open Data Folder
# opens), and its SHA-256 beside it. The version is `git describe`.
# MQL4/ holds parambridge.dll (from `make win32`, build/win32) and the MQL4
# kit; MQL5/ holds parambridge64.dll (from `make win64`, build/win64) and
# the MQL5 kit. A kit file missing fails the build of the archive.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${PB_DIST_BUILD:-$root/build/win32}
[ -d "$build" ] && build=$(cd "$build" && pwd)
build64=${PB_DIST_BUILD64:-$root/build/win64}
[ -d "$build64" ] && build64=$(cd "$build64" && pwd)
dll=$build/parambridge.dll
dll64=$build64/parambridge64.dll
kit=$root/examples/MQL4
kit5=$root/examples/MQL5
dist=$root/build/dist

die() { printf 'dist: FAILED: %s\n' "$*" >&2; exit 1; }

[ -f "$dll" ] || die "$dll is not built (run: make win32)"
[ -f "$dll64" ] || die "$dll64 is not built (run: make win64)"
command -v zip >/dev/null || die "zip is missing (run: make deps)"
for strip in i686-w64-mingw32-strip x86_64-w64-mingw32-strip; do
  command -v $strip >/dev/null || die "$strip is missing (run: make deps)"
done

# Both DLLs must post to the same server.
url=$(sed -n 's/^PRODUCT_SERVER_BASE_URL:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
url64=$(sed -n 's/^PRODUCT_SERVER_BASE_URL:[A-Z]*=//p' "$build64/CMakeCache.txt" 2>/dev/null || true)
[ "$url" = "$url64" ] || die "parambridge.dll posts to ${url}run/ but parambridge64.dll to ${url64}run/ (build both with the same PRODUCT_SERVER_BASE_URL)"
# ...and trust the same keys.
pins=$(sed -n 's/^PRODUCT_SERVER_PINS:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
pins64=$(sed -n 's/^PRODUCT_SERVER_PINS:[A-Z]*=//p' "$build64/CMakeCache.txt" 2>/dev/null || true)
[ "$pins" = "$pins64" ] || die "parambridge.dll is pinned to '${pins}' but parambridge64.dll to '${pins64}' (build both with the same PRODUCT_SERVER_PINS)"

version=$(git -C "$root" describe --tags --always --dirty 2>/dev/null || echo unknown)
name=parambridge-$version
stage=$dist/stage/$name
rm -rf "$stage"
for d in MQL4 MQL5; do
  mkdir -p "$stage/$d/Libraries" "$stage/$d/Include" "$stage/$d/Experts" "$stage/$d/Scripts"
done

i686-w64-mingw32-strip --strip-all -o "$stage/MQL4/Libraries/parambridge.dll" "$dll"
cp "$kit/Include/parambridge.mqh" "$stage/MQL4/Include/"
cp "$kit/Experts/"*.mq4 "$stage/MQL4/Experts/"
cp "$kit/Scripts/"*.mq4 "$stage/MQL4/Scripts/"
x86_64-w64-mingw32-strip --strip-all -o "$stage/MQL5/Libraries/parambridge64.dll" "$dll64"
cp "$kit5/Include/parambridge.mqh" "$stage/MQL5/Include/"
cp "$kit5/Experts/"*.mq5 "$stage/MQL5/Experts/"
cp "$kit5/Scripts/"*.mq5 "$stage/MQL5/Scripts/"
cp "$root/README.md" "$stage/"

# The same inputs give the same archive: fixed times (the last commit's),
# a fixed order, no extra attributes.
stamp=$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 946684800)
find "$stage" -exec touch -h -d "@$stamp" {} +
zip_path=$dist/$name.zip
rm -f "$zip_path" "$zip_path.sha256"
(cd "$stage" && find . -type f | LC_ALL=C sort | sed 's|^\./||' |
  TZ=UTC zip -X -D -q -9 "$zip_path" -@)
(cd "$dist" && sha256sum "$name.zip" >"$name.zip.sha256")

[ -n "$url" ] && printf 'dist: parambridge.dll and parambridge64.dll post to %srun/\n' "$url"
printf 'dist: pinned to: %s\n' "${pins:-nothing (any certificate is accepted over https)}"
printf 'dist: %s (%s bytes)\n' "${zip_path#"$root"/}" "$(stat -c %s "$zip_path")"
python3 -c 'import sys, zipfile; [print("  " + n) for n in zipfile.ZipFile(sys.argv[1]).namelist()]' "$zip_path"
printf 'dist: %s\n' "$(cat "$dist/$name.zip.sha256")"
