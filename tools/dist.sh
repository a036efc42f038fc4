#!/usr/bin/env bash
# make dist: build/dist/parambridge-<version>.zip, laid out as a terminal's
# data folder (unpack it into the folder that File > Open Data Folder
# opens), with SHA256SUMS and BUILDINFO beside it.
#
# MQL4/ holds parambridge.dll (build/win32) and the MQL4 samples; MQL5/ holds
# parambridge64.dll (build/win64) and the MQL5 samples; both hold the one
# parambridge.mqh (examples/Include/), which serves both languages. The DLLs are the very
# files the build made and the suites loaded: copied, never stripped or
# rebuilt here. With SIGN_CERT and SIGN_KEY (optionally SIGN_PASS,
# SIGN_TIMESTAMP_URL) both are signed with Authenticode first (tools/sign-dll),
# the one change made to them.
#
# The version is the project's (CMakeLists.txt); "-dev+<commit>" follows it
# unless the commit is tagged v<version>. The same commit gives the same
# bytes whoever builds it, wherever, whenever: fixed times (the commit's),
# fixed modes and order, no extra attributes.
#
# A release for the loopback address reaches no vendor: refused unless
# DEMO_RELEASE=1. PB_DIST_OUT names another output folder.
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
dist=${PB_DIST_OUT:-$root/build/dist}

die() { printf 'dist: FAILED: %s\n' "$*" >&2; exit 1; }
cache() { sed -n "s/^$1:[A-Z]*=//p" "$2/CMakeCache.txt" 2>/dev/null || true; }

[ -f "$dll" ] || die "$dll is not built (run: make win32)"
[ -f "$dll64" ] || die "$dll64 is not built (run: make win64)"
command -v zip >/dev/null || die "zip is missing (run: make deps)"

# Both DLLs must post to the same server, with the same pins.
url=$(cache PRODUCT_SERVER_BASE_URL "$build")
url64=$(cache PRODUCT_SERVER_BASE_URL "$build64")
[ "$url" = "$url64" ] || die "parambridge.dll posts to ${url}run/ but parambridge64.dll to ${url64}run/ (build both with the same PRODUCT_SERVER_BASE_URL)"
pins=$(cache PRODUCT_SERVER_PINS "$build")
[ "$pins" = "$(cache PRODUCT_SERVER_PINS "$build64")" ] || die "parambridge.dll and parambridge64.dll trust different keys (build both with the same PRODUCT_SERVER_PINS)"
host=${url#*://}
host=${host%%/*}
case $host in
  localhost|127.*|\[::1\]) loopback=1 ;;
  *) loopback=0 ;;
esac
if [ "$loopback" = 1 ] && [ "${DEMO_RELEASE:-0}" != 1 ]; then
  die "the DLLs post to ${url}run/, this machine's loopback: every customer's fetch would fail with \"Could not connect to server.\". Build for your server (make dist PRODUCT_SERVER_BASE_URL=https://your.server/path/), or ask for a demo release (DEMO_RELEASE=1)"
fi

version=$(cache CMAKE_PROJECT_VERSION "$build")
[ -n "$version" ] || die "$build/CMakeCache.txt names no project version"
[ "$version" = "$(cache CMAKE_PROJECT_VERSION "$build64")" ] || die "the two build trees are of different versions"
commit=$(git -C "$root" rev-parse --short=12 HEAD 2>/dev/null || echo unknown)
if [ "$(git -C "$root" tag --points-at HEAD 2>/dev/null | grep -cx "v$version")" = 1 ] &&
   git -C "$root" diff --quiet HEAD 2>/dev/null; then
  release=$version
else
  release=$version-dev+$commit
  git -C "$root" diff --quiet HEAD 2>/dev/null || release=$release.dirty
fi
name=parambridge-$release
stage=$dist/stage/$name
rm -rf "$stage"
mkdir -p "$dist"
for d in MQL4 MQL5; do
  mkdir -p "$stage/$d/Libraries" "$stage/$d/Include" "$stage/$d/Experts" "$stage/$d/Scripts"
done

if [ -n "${SIGN_CERT:-}" ]; then
  "$root/tools/sign-dll" "$dll" "$stage/MQL4/Libraries/parambridge.dll"
  "$root/tools/sign-dll" "$dll64" "$stage/MQL5/Libraries/parambridge64.dll"
  signed="signed with $(openssl x509 -in "$SIGN_CERT" -noout -subject 2>/dev/null | sed 's/^subject=//')"
else
  cp "$dll" "$stage/MQL4/Libraries/parambridge.dll"
  cp "$dll64" "$stage/MQL5/Libraries/parambridge64.dll"
  signed="not signed"
fi
cp "$root/examples/Include/parambridge.mqh" "$stage/MQL4/Include/"
cp "$kit/Experts/"*.mq4 "$stage/MQL4/Experts/"
cp "$kit/Scripts/"*.mq4 "$stage/MQL4/Scripts/"
cp "$root/examples/Include/parambridge.mqh" "$stage/MQL5/Include/"
cp "$kit5/Experts/"*.mq5 "$stage/MQL5/Experts/"
cp "$kit5/Scripts/"*.mq5 "$stage/MQL5/Scripts/"
cp "$root/README.md" "$root/CHANGELOG.md" "$stage/"

# Modes, times and order fixed; times stored in UTC.
stamp=$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 946684800)
find "$stage" -type d -exec chmod 755 {} +
find "$stage" -type f -exec chmod 644 {} +
find "$stage" -exec touch -h -d "@$stamp" {} +
zip_path=$dist/$name.zip
rm -f "$zip_path" "$dist/SHA256SUMS" "$dist/BUILDINFO"
(cd "$stage" && find . -type f | LC_ALL=C sort | sed 's|^\./||' |
  TZ=UTC zip -X -D -q -9 "$zip_path" -@)

first_line() { "$@" 2>/dev/null | head -n 1; }
{
  echo "version: $release"
  echo "commit: $(git -C "$root" rev-parse HEAD 2>/dev/null || echo unknown)"
  echo "base URL: $url (requests go to ${url}run/)"
  echo "pins: ${pins:-none}"
  echo "signature: $signed"
  echo "compiler (32-bit): $(first_line i686-w64-mingw32-g++-posix --version)"
  echo "compiler (64-bit): $(first_line x86_64-w64-mingw32-g++-posix --version)"
  echo "linker: $(first_line i686-w64-mingw32-ld --version)"
  (cd "$stage" && sha256sum MQL4/Libraries/parambridge.dll MQL5/Libraries/parambridge64.dll)
} >"$dist/BUILDINFO"
(cd "$dist" && sha256sum "$name.zip" BUILDINFO >SHA256SUMS)

printf 'dist: version %s, %s\n' "$release" "$signed"
printf 'dist: parambridge.dll and parambridge64.dll post to %srun/\n' "$url"
printf 'dist: pinned to: %s\n' "${pins:-nothing (any certificate is accepted over https)}"
printf 'dist: %s (%s bytes)\n' "${zip_path#"$root"/}" "$(stat -c %s "$zip_path")"
python3 -c 'import sys, zipfile; [print("  " + n) for n in zipfile.ZipFile(sys.argv[1]).namelist()]' "$zip_path"
sed 's/^/dist: /' "$dist/SHA256SUMS"
