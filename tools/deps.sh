#!/usr/bin/env bash
# Installs what building, testing and the demo need on Debian 12, and only what is missing.
# Safe to run again: it does nothing when everything is in place.
set -euo pipefail

packages=(
  cmake make g++ python3 openssl curl zip unzip osslsigncode
  g++-mingw-w64-i686-posix binutils-mingw-w64-i686
  g++-mingw-w64-x86-64-posix binutils-mingw-w64-x86-64
  wine wine32:i386 wine64
  xvfb xauth x11-utils xdotool openbox imagemagick
  googletest libgtest-dev libbenchmark-dev
  clang libclang-rt-14-dev
  libfast-float-dev
  libboost-dev libssl-dev libsqlite3-dev libcli11-dev nlohmann-json3-dev sqlite3 dpkg-dev
  libsodium-dev libpq-dev postgresql
  chromium chromium-driver python3-selenium
)
# A host that cannot run 32-bit x86 code (or PB_GUEST=1) runs the 32-bit
# suite and the demo in an emulated guest; only such a host needs these.
if ! "$(dirname "${BASH_SOURCE[0]}")/guest/runs-i386" --quiet; then
  packages+=(qemu-system-x86 debootstrap e2fsprogs)
fi

need_i386=0
dpkg --print-foreign-architectures | grep -qx i386 || need_i386=1

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "$need_i386" = 0 ] && [ "${#missing[@]}" = 0 ]; then
  exit 0
fi

sudo=""
[ "$(id -u)" = 0 ] || sudo="sudo"
if [ "$need_i386" = 1 ]; then
  $sudo dpkg --add-architecture i386
fi
# An index that fails to download is a warning; an uneven archive is
# installed from the release's own suite (tools/apt-lib.sh).
PB_APT_SUDO=$sudo
. "$(dirname "${BASH_SOURCE[0]}")/apt-lib.sh"
echo "deps: installing ${missing[*]}"
# PostgreSQL's package starts a system cluster when it is installed; the
# tests start clusters of their own, so no service may start (and take a
# port) while this installs.
no_start=/usr/sbin/policy-rc.d
if [ ! -e "$no_start" ]; then
  printf '#!/bin/sh\nexit 101\n' | $sudo tee "$no_start" >/dev/null
  $sudo chmod 755 "$no_start"
  trap '$sudo rm -f "$no_start"' EXIT
fi
pb_apt_refresh
pb_apt_install "${missing[@]}" >/dev/null
