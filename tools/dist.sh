#!/usr/bin/env bash
# make dist: two archives in build/dist/, with SHA256SUMS and BUILDINFO:
#
# <name>-<version>.zip, the developer's: laid out as a terminal's data folder
# (unpack it into the folder that File > Open Data Folder opens). MQL4/
# holds <name>.dll (build/win32) and the MQL4 samples; MQL5/ holds
# <name>64.dll (build/win64) and the MQL5 samples; both hold the one kit
# header <name>.mqh (examples/Include/parambridge.mqh), which serves both
# languages; the README, the changelog and the manuals (docs/, beside the
# README, so that its links hold in the zip).
#
# <name>-<version>-customer.zip, what a customer's terminal needs and no
# more: MQL4/Libraries/<name>.dll, MQL5/Libraries/<name>64.dll, the vendor's
# compiled programs from CUSTOMER_PROGRAMS (each .ex4 under MQL4/, each .ex5
# under MQL5/, in the folder of its kind: a file in CUSTOMER_PROGRAMS/Scripts
# goes to Scripts, in Indicators or Services to those, any other to
# Experts), and INSTALL.txt.
#
# <name> is the build's PRODUCT_NAME (default parambridge); a named build's
# kit, samples and INSTALL.txt import <name>.dll and <name>64.dll, include
# <name>.mqh and claim the global variable <name>.claim.
#
# The DLLs are the very files the build made and the suites loaded: copied,
# never stripped or rebuilt here. With SIGN_CERT and SIGN_KEY (optionally
# SIGN_PASS, SIGN_TIMESTAMP_URL) both are signed with Authenticode first
# (tools/sign-dll), the one change made to them.
#
# The version is PRODUCT_VERSION when the vendor set one, else the project's
# (CMakeLists.txt) with "-dev+<commit>" unless the commit is tagged
# v<version>. The same commit gives the same bytes whoever builds it,
# wherever, whenever: fixed times (the commit's), fixed modes and order, no
# extra attributes.
#
# A release for the loopback address reaches no vendor: refused unless
# DEMO_RELEASE=1. PB_DIST_OUT names another output folder.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${PB_DIST_BUILD:-$root/build/win32}
[ -d "$build" ] && build=$(cd "$build" && pwd)
build64=${PB_DIST_BUILD64:-$root/build/win64}
[ -d "$build64" ] && build64=$(cd "$build64" && pwd)
dist=${PB_DIST_OUT:-$root/build/dist}

die() { printf 'dist: FAILED: %s\n' "$*" >&2; exit 1; }
cache() { sed -n "s/^$1:[A-Z]*=//p" "$2/CMakeCache.txt" 2>/dev/null || true; }

product=$(cache PRODUCT_NAME "$build")
product=${product:-parambridge}
product64=$(cache PRODUCT_NAME "$build64")
[ "$product" = "${product64:-parambridge}" ] || die "the two build trees have different PRODUCT_NAME (build both with the same)"
[[ $product =~ ^[A-Za-z0-9_-]+$ ]] || die "PRODUCT_NAME '$product' is not a plain file name"
# The files each tree ships, as its cache names them: <name>.dll, <name>64.dll.
dll=$build/$(cache PB_DLL_FILE "$build")
dll64=$build64/$(cache PB_DLL_FILE "$build64")
[ "$(basename "$dll")" = "$product.dll" ] && [ "$(basename "$dll64")" = "${product}64.dll" ] ||
  die "$build and $build64 are not the 32-bit and 64-bit trees of $product (configure them again)"
# The kit's text for this product: the DLL names, the header's name and the
# claim's global variable carry the product's name.
named() {
  sed -e "s/parambridge64\.dll/${product}64.dll/g" -e "s/parambridge\.dll/${product}.dll/g" \
      -e "s/parambridge\.mqh/${product}.mqh/g" -e "s/parambridge\.claim/${product}.claim/g" "$1"
}

[ -f "$dll" ] || die "$dll is not built (run: make win32)"
[ -f "$dll64" ] || die "$dll64 is not built (run: make win64)"
command -v zip >/dev/null || die "zip is missing (run: make deps)"

# Both DLLs must post to the same server, with the same pins.
url=$(cache PRODUCT_SERVER_BASE_URL "$build")
url64=$(cache PRODUCT_SERVER_BASE_URL "$build64")
[ "$url" = "$url64" ] || die "$product.dll posts to ${url}run/ but ${product}64.dll to ${url64}run/ (build both with the same PRODUCT_SERVER_BASE_URL)"
pins=$(cache PRODUCT_SERVER_PINS "$build")
[ "$pins" = "$(cache PRODUCT_SERVER_PINS "$build64")" ] || die "$product.dll and ${product}64.dll trust different keys (build both with the same PRODUCT_SERVER_PINS)"
host=${url#*://}
host=${host%%/*}
case $host in
  localhost|\[::1\]) loopback=1 ;;
  *) loopback=0 ;;
esac
# 127.0.0.0/8 by the same rule as cmake/product-server.cmake.
[[ $host =~ ^127\.[0-9]+\.[0-9]+\.[0-9]+$ ]] && loopback=1
if [ "$loopback" = 1 ] && [ "${DEMO_RELEASE:-0}" != 1 ]; then
  die "the DLLs post to ${url}run/, this machine's loopback: every customer's fetch would fail with \"Could not connect to server.\". Build for your server (make dist PRODUCT_SERVER_BASE_URL=https://your.server/path/), or ask for a demo release (DEMO_RELEASE=1)"
fi

version=$(cache CMAKE_PROJECT_VERSION "$build")
[ -n "$version" ] || die "$build/CMakeCache.txt names no project version"
[ "$version" = "$(cache CMAKE_PROJECT_VERSION "$build64")" ] || die "the two build trees are of different versions"
commit=$(git -C "$root" rev-parse --short=12 HEAD 2>/dev/null || echo unknown)
product_version=$(cache PRODUCT_VERSION "$build")
[ "$product_version" = "$(cache PRODUCT_VERSION "$build64")" ] || die "the two build trees have different PRODUCT_VERSION"
if [ -n "$product_version" ]; then
  release=$product_version
elif [ "$(git -C "$root" tag --points-at HEAD 2>/dev/null | grep -cx "v$version")" = 1 ] &&
   git -C "$root" diff --quiet HEAD 2>/dev/null; then
  release=$version
else
  release=$version-dev+$commit
  git -C "$root" diff --quiet HEAD 2>/dev/null || release=$release.dirty
fi
name=$product-$release
stage=$dist/stage/$name
customer_stage=$dist/stage/$name-customer
rm -rf "$stage" "$customer_stage"
mkdir -p "$dist"
for d in MQL4 MQL5; do
  mkdir -p "$stage/$d/Libraries" "$stage/$d/Include" "$stage/$d/Experts" "$stage/$d/Scripts"
  mkdir -p "$customer_stage/$d/Libraries"
done

if [ -n "${SIGN_CERT:-}" ]; then
  "$root/tools/sign-dll" "$dll" "$stage/MQL4/Libraries/$product.dll"
  "$root/tools/sign-dll" "$dll64" "$stage/MQL5/Libraries/${product}64.dll"
  signed="signed with $(openssl x509 -in "$SIGN_CERT" -noout -subject 2>/dev/null | sed 's/^subject=//')"
else
  cp "$dll" "$stage/MQL4/Libraries/$product.dll"
  cp "$dll64" "$stage/MQL5/Libraries/${product}64.dll"
  signed="not signed"
fi
named "$root/examples/Include/parambridge.mqh" >"$stage/MQL4/Include/$product.mqh"
named "$root/examples/Include/parambridge.mqh" >"$stage/MQL5/Include/$product.mqh"
for n in 4 5; do
  for f in "$root/examples/MQL$n"/Experts/*.mq$n "$root/examples/MQL$n"/Scripts/*.mq$n; do
    named "$f" >"$stage/MQL$n/$(basename "$(dirname "$f")")/$(basename "$f")"
  done
done
cp "$root/README.md" "$root/CHANGELOG.md" "$stage/"
mkdir -p "$stage/docs"
cp -R "$root"/docs/. "$stage/docs/"

# The customer's package: the same DLL files, the vendor's programs, the
# installation page.
cp "$stage/MQL4/Libraries/$product.dll" "$customer_stage/MQL4/Libraries/"
cp "$stage/MQL5/Libraries/${product}64.dll" "$customer_stage/MQL5/Libraries/"
named "$root/examples/INSTALL.txt" >"$customer_stage/INSTALL.txt"
if [ -n "${CUSTOMER_PROGRAMS:-}" ]; then
  [ -d "$CUSTOMER_PROGRAMS" ] || die "CUSTOMER_PROGRAMS '$CUSTOMER_PROGRAMS' is not a folder"
  programs=0
  while IFS= read -r -d '' f; do
    case $f in *.ex4) terminal=MQL4 ;; *.ex5) terminal=MQL5 ;; *) continue ;; esac
    case $(basename "$(dirname "$f")") in
      Scripts) kind=Scripts ;; Indicators) kind=Indicators ;; Services) kind=Services ;; *) kind=Experts ;;
    esac
    [ "$kind" = Services ] && [ "$terminal" = MQL4 ] && die "$f: MetaTrader 4 has no services"
    mkdir -p "$customer_stage/$terminal/$kind"
    [ -e "$customer_stage/$terminal/$kind/$(basename "$f")" ] && die "two programs named $(basename "$f") for $terminal/$kind"
    cp "$f" "$customer_stage/$terminal/$kind/"
    programs=$((programs + 1))
  done < <(find "$CUSTOMER_PROGRAMS" -type f -print0)
  [ "$programs" -gt 0 ] || die "CUSTOMER_PROGRAMS '$CUSTOMER_PROGRAMS' holds no .ex4 or .ex5 file"
fi

# Modes, times and order fixed; times stored in UTC.
stamp=$(git -C "$root" log -1 --format=%ct 2>/dev/null || echo 946684800)
zip_path=$dist/$name.zip
customer_zip=$dist/$name-customer.zip
rm -f "$zip_path" "$customer_zip" "$dist/SHA256SUMS" "$dist/BUILDINFO"
for tree in "$stage" "$customer_stage"; do
  find "$tree" -type d -exec chmod 755 {} +
  find "$tree" -type f -exec chmod 644 {} +
  find "$tree" -exec touch -h -d "@$stamp" {} +
done
(cd "$stage" && find . -type f | LC_ALL=C sort | sed 's|^\./||' |
  TZ=UTC zip -X -D -q -9 "$zip_path" -@)
(cd "$customer_stage" && find . -type f | LC_ALL=C sort | sed 's|^\./||' |
  TZ=UTC zip -X -D -q -9 "$customer_zip" -@)

first_line() { "$@" 2>/dev/null | head -n 1; }
{
  echo "product: $product"
  echo "version: $release (this project's $version)"
  echo "commit: $(git -C "$root" rev-parse HEAD 2>/dev/null || echo unknown)"
  echo "base URL: $url (requests go to ${url}run/)"
  echo "pins: ${pins:-none}"
  echo "signature: $signed"
  echo "compiler (32-bit): $(first_line i686-w64-mingw32-g++-posix --version)"
  echo "compiler (64-bit): $(first_line x86_64-w64-mingw32-g++-posix --version)"
  echo "linker: $(first_line i686-w64-mingw32-ld --version)"
  (cd "$stage" && sha256sum "MQL4/Libraries/$product.dll" "MQL5/Libraries/${product}64.dll")
} >"$dist/BUILDINFO"
(cd "$dist" && sha256sum "$name.zip" "$name-customer.zip" BUILDINFO >SHA256SUMS)

printf 'dist: version %s, %s\n' "$release" "$signed"
printf 'dist: %s.dll and %s64.dll post to %srun/\n' "$product" "$product" "$url"
printf 'dist: pinned to: %s\n' "${pins:-nothing (any certificate is accepted over https)}"
printf 'dist: %s (%s bytes)\n' "${zip_path#"$root"/}" "$(stat -c %s "$zip_path")"
python3 -c 'import sys, zipfile; [print("  " + n) for n in zipfile.ZipFile(sys.argv[1]).namelist()]' "$zip_path"
printf 'dist: %s (%s bytes)\n' "${customer_zip#"$root"/}" "$(stat -c %s "$customer_zip")"
python3 -c 'import sys, zipfile; [print("  " + n) for n in zipfile.ZipFile(sys.argv[1]).namelist()]' "$customer_zip"
sed 's/^/dist: /' "$dist/SHA256SUMS"
