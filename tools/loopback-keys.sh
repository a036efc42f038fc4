#!/usr/bin/env bash
# The keys of a loopback build tree, made once when it is first configured
# (its pinned DLL is built with their pins, so they must exist first):
#   DIR/server.key, DIR/server.crt  the stand-in's key and a self-signed
#                                   certificate for 127.0.0.1 and localhost
#   DIR/backup.key                  the backup key, pinned too, served by no one
#   DIR/pins                        their pins, current first: sha256//...;sha256//...
# and prints the pins.
set -euo pipefail
dir=$1
here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
mkdir -p "$dir"
if [ ! -f "$dir/server.crt" ] || [ ! -f "$dir/server.key" ]; then
  openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 3650 -subj /CN=127.0.0.1 \
    -addext subjectAltName=IP:127.0.0.1,DNS:localhost \
    -keyout "$dir/server.key" -out "$dir/server.crt" 2>/dev/null
fi
if [ ! -f "$dir/backup.key" ]; then
  openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$dir/backup.key" 2>/dev/null
fi
printf '%s;%s\n' "$("$here/pin.sh" --pem "$dir/server.key")" "$("$here/pin.sh" --pem "$dir/backup.key")" >"$dir/pins"
cat "$dir/pins"
