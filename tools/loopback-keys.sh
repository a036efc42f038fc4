#!/usr/bin/env bash
# The keys of a loopback build tree, made once when it is first configured
# (its pinned DLL is built with their pins, so they must exist first):
#   DIR/server.key, DIR/server.crt  the servers' RSA key and a self-signed
#                                   certificate for 127.0.0.1 and localhost
#   DIR/backup.key                  the backup key (RSA), pinned too, served by no one
#   DIR/ecdsa.key, DIR/ecdsa.crt    an ECDSA P-256 key and its certificate, pinned
#                                   too, so that the pins are tested with both kinds
#   DIR/pins                        their pins, current first:
#                                   sha256//...;sha256//...;sha256//...
# and prints the pins. A tree made before the ECDSA key gains it (and its pin)
# at its next configure.
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
if [ ! -f "$dir/ecdsa.crt" ] || [ ! -f "$dir/ecdsa.key" ]; then
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -sha256 -days 3650 \
    -subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1,DNS:localhost \
    -keyout "$dir/ecdsa.key" -out "$dir/ecdsa.crt" 2>/dev/null
fi
printf '%s;%s;%s\n' "$("$here/pin.sh" --pem "$dir/server.key")" "$("$here/pin.sh" --pem "$dir/backup.key")" \
  "$("$here/pin.sh" --pem "$dir/ecdsa.key")" >"$dir/pins"
cat "$dir/pins"
