#!/usr/bin/env bash
# Prints the pin of a server's key in PRODUCT_SERVER_PINS form:
# sha256// and the Base64 of the SHA-256 of its DER SubjectPublicKeyInfo.
#
#   tools/pin.sh --host HOST   the leaf certificate that HOST presents on 443
#   tools/pin.sh --pem FILE    a PEM certificate, public key or private key
#
# (make pin HOST=... or make pin PEM=...). Needs the openssl command.
set -euo pipefail

usage() { echo "usage: $0 --host HOST | --pem FILE" >&2; exit 2; }
die() { echo "pin: $*" >&2; exit 1; }
command -v openssl >/dev/null || die "needs the openssl command (apt-get install openssl)"

# A public key in PEM on stdin -> its pin.
pin_of_public_key() {
  local der
  der=$(openssl pkey -pubin -outform DER | openssl dgst -sha256 -binary | base64) ||
    die "openssl could not read the key"
  printf 'sha256//%s\n' "$der"
}

[ $# -eq 2 ] || usage
case $1 in
  --host)
    host=$2
    # Only the certificate is read; no request is sent.
    pem=$(openssl s_client -connect "$host:443" -servername "$host" </dev/null 2>/dev/null |
          openssl x509 -pubkey -noout 2>/dev/null) ||
      die "no certificate from $host:443 (is it serving https there?)"
    printf '%s\n' "$pem" | pin_of_public_key ;;
  --pem)
    file=$2
    [ -r "$file" ] || die "cannot read $file"
    if grep -q -- '-----BEGIN CERTIFICATE-----' "$file"; then
      openssl x509 -in "$file" -pubkey -noout | pin_of_public_key
    elif grep -q -- '-----BEGIN .*PRIVATE KEY-----' "$file"; then
      openssl pkey -in "$file" -pubout | pin_of_public_key
    elif grep -q -- '-----BEGIN PUBLIC KEY-----' "$file"; then
      pin_of_public_key <"$file"
    else
      die "$file holds no PEM certificate or key"
    fi ;;
  *) usage ;;
esac
