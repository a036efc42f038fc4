#!/usr/bin/env bash
# make dist: build/dist/parambridge-<version>.zip, laid out as a terminal's
# data folder (unpack it into the folder that File > Open Data Folder
# opens), and its SHA-256 beside it. The version is `git describe`.
# Uses what `make win32` built in build/win32.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${PB_DIST_BUILD:-$root/build/win32}
[ -d "$build" ] && build=$(cd "$build" && pwd)
dll=$build/parambridge.dll
kit=$root/examples/MQL4
dist=$root/build/dist

die() { printf 'dist: FAILED: %s\n' "$*" >&2; exit 1; }

[ -f "$dll" ] || die "$dll is not built (run: make win32)"
command -v zip >/dev/null || die "zip is missing (run: make deps)"
command -v i686-w64-mingw32-strip >/dev/null || die "i686-w64-mingw32-strip is missing (run: make deps)"

version=$(git -C "$root" describe --tags --always --dirty 2>/dev/null || echo unknown)
name=parambridge-$version
stage=$dist/stage/$name
rm -rf "$stage"
mkdir -p "$stage/MQL4/Libraries" "$stage/MQL4/Include" "$stage/MQL4/Experts" "$stage/MQL4/Scripts"

i686-w64-mingw32-strip --strip-all -o "$stage/MQL4/Libraries/parambridge.dll" "$dll"
cp "$kit/Include/parambridge.mqh" "$stage/MQL4/Include/"
cp "$kit/Experts/"*.mq4 "$stage/MQL4/Experts/"
cp "$kit/Scripts/"*.mq4 "$stage/MQL4/Scripts/"
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

url=$(sed -n 's/^PRODUCT_SERVER_BASE_URL:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
[ -n "$url" ] && printf 'dist: this parambridge.dll posts to %srun/\n' "$url"
printf 'dist: %s (%s bytes)\n' "${zip_path#"$root"/}" "$(stat -c %s "$zip_path")"
python3 -c 'import sys, zipfile; [print("  " + n) for n in zipfile.ZipFile(sys.argv[1]).namelist()]' "$zip_path"
printf 'dist: %s\n' "$(cat "$dist/$name.zip.sha256")"
