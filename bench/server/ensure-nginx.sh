#!/usr/bin/env bash
# Installs Debian's nginx for make bench-server when it is missing
# (nginx-light, else nginx), without starting it: a /usr/sbin/policy-rc.d
# that exits 101 stands during the install (and is removed after, when this
# script put it there), so no system service starts. The bench runs its own
# nginx in the foreground and stops it. Prints the binary's path.
set -euo pipefail
if [ -x /usr/sbin/nginx ]; then
  echo /usr/sbin/nginx
  exit 0
fi
sudo=""
[ "$(id -u)" = 0 ] || sudo="sudo"
no_start=/usr/sbin/policy-rc.d
if [ ! -e "$no_start" ]; then
  printf '#!/bin/sh\nexit 101\n' | $sudo tee "$no_start" >/dev/null
  $sudo chmod 755 "$no_start"
  trap '$sudo rm -f "$no_start"' EXIT
fi
PB_APT_SUDO=$sudo
. "$(dirname "${BASH_SOURCE[0]}")/../../tools/apt-lib.sh"
echo "bench-server: installing nginx (no service is started)" >&2
pb_apt_refresh >&2
pb_apt_install nginx-light >&2 || pb_apt_install nginx >&2
# A package whose start was refused may still have left the service enabled
# for the next boot; the bench never wants it.
if command -v systemctl >/dev/null 2>&1 && [ -d /run/systemd/system ]; then
  $sudo systemctl disable nginx >/dev/null 2>&1 || true
fi
[ -x /usr/sbin/nginx ] || { echo "bench-server: nginx did not install" >&2; exit 1; }
echo /usr/sbin/nginx
