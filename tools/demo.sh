#!/usr/bin/env bash
# make demo: the product server (parambridge-server) on loopback, on a
# database seeded here, and the demo host (an expert advisor's part, played
# by a Windows console program) under Wine: a fetch, a sample dialog with
# its screenshot, the vendor changing a value and then revoking the license
# while the module runs (each reaching it at the sample expert's next
# refresh), a failed fetch, and the refusals of an expired and a revoked
# license.
# PB_DEMO_ARCH=32 (default) shows parambridge.dll as `make win32` built it
# in build/win32 and writes build/demo/; PB_DEMO_ARCH=64 shows
# parambridge64.dll from build/win64 under 64-bit Wine and writes
# build/demo64/. PB_SERVER_BIN: the parambridge-server to run (default: the
# one make server builds).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
arch=${PB_DEMO_ARCH:-32}
case $arch in
  32) dll_name=parambridge.dll; out=$root/build/demo; wine_run=$root/tools/wine-run ;;
  64) dll_name=parambridge64.dll; out=$root/build/demo64; wine_run=$root/tools/wine64-run
      export PB_WINEARCH=win64 ;;
  *) printf 'demo: FAILED: PB_DEMO_ARCH is 32 or 64, not %s\n' "$arch" >&2; exit 2 ;;
esac
build=${PB_DEMO_BUILD:-$root/build/win$arch}
[ -d "$build" ] && build=$(cd "$build" && pwd)
dll=$build/$dll_name
host=$build/examples/demo/pb_demo_host.exe
server=${PB_SERVER_BIN:-$root/build/server/server/parambridge-server}
params=$root/server/params.json
db=$out/server.db
product=parambridge
# The seed's refused licenses: one expired yesterday, one revoked.
expired_account=22222
revoked_account=33333
# The secure path's account, on the sample account's set: 12345 itself is
# revoked by the vendor's second step while the demo host runs.
https_account=44444
lock=/tmp/parambridge-ports.lock
seconds=${PB_DEMO_SECONDS:-8}

started=$(date +%s.%N)
say() { printf 'demo: %s\n' "$*"; }
die() { printf 'demo: FAILED: %s\n' "$*" >&2; exit 1; }

[ -f "$dll" ] || die "$dll is not built (run: make win$arch)"
[ -f "$host" ] || die "$host is not built (run: make win$arch)"
[ -x "$server" ] || die "the product server $server is not built (run: make server)"
[ -f "$params" ] || die "the sample parameter file $params is missing"

# The address the DLL posts to is fixed when it is built; the demo's server
# can only stand in for a loopback one.
url=$(sed -n 's/^PRODUCT_SERVER_BASE_URL:[A-Z]*=//p' "$build/CMakeCache.txt" 2>/dev/null || true)
url=${url:-http://127.0.0.1/parambridge/}
if [[ $url =~ ^(https?)://(127\.[0-9]+\.[0-9]+\.[0-9]+|localhost)(/.*)$ ]]; then
  scheme=${BASH_REMATCH[1]}
  address=${BASH_REMATCH[2]}
  base_path=${BASH_REMATCH[3]}
  [ "$address" = localhost ] && address=127.0.0.1
else
  die "the DLL was built to post to $url; the demo's server can only answer on 127.0.0.0/8 (rebuild with the default PRODUCT_SERVER_BASE_URL)"
fi
if [ "$scheme" = https ]; then https_port=443; else https_port=0; fi

mkdir -p "$out"
rm -f "$out/dialog.png" "$out/server.ready" "$out/demo.log" "$out"/vendor-*.done
: >"$out/server.log"
: >"$out/demo.log"

# pbs ARGS...: one command of the server on the demo's database; its
# output on stdout, and the demo ends with its message when it fails.
pbs() {
  local err
  err=$("$server" --db "$db" "$@" 2>&1 >"$out/pbs.out") ||
    die "parambridge-server --db ${db#"$root"/} $* failed: $err"
  cat "$out/pbs.out"
}

# The seed: the sample account 12345 with server/params.json's values (the
# stand-in's parameter format, imported), a license that expired yesterday
# and a revoked one. The database is made afresh on every run.
seed_database() {
  local yesterday
  yesterday=$(date -u -d yesterday +%F)
  rm -f "$db" "$db-wal" "$db-shm"
  pbs init >/dev/null
  pbs product add "$product" --base-path "$base_path" >/dev/null
  pbs import "$product" "$params" >/dev/null
  pbs set put "$product" refused-demo func101=1 >/dev/null
  pbs license add "$product" demo-expired --set refused-demo --accounts "$expired_account" \
    --expires "$yesterday" --note "the demo's expired license" >/dev/null
  pbs license add "$product" demo-revoked --set refused-demo --accounts "$revoked_account" \
    --note "the demo's revoked license" >/dev/null
  pbs license revoke "$product" demo-revoked >/dev/null
  local set
  set=$(pbs license show "$product" 12345 --json | python3 -c 'import json, sys; print(json.load(sys.stdin)["set"])')
  pbs license add "$product" demo-https --set "$set" --accounts "$https_account" \
    --note "the demo's secure path" >/dev/null
}

server_pid=""
host_pid=""
cleanup() {
  local rc=$?
  if [ -n "$host_pid" ] && kill -0 "$host_pid" 2>/dev/null; then
    kill "$host_pid" 2>/dev/null || true
    wait "$host_pid" 2>/dev/null || true
  fi
  if [ -n "$server_pid" ] && kill -0 "$server_pid" 2>/dev/null; then
    kill -TERM "$server_pid" 2>/dev/null || true
    wait "$server_pid" 2>/dev/null || true
  fi
  exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM

# The Wine test bed first (slow only the first time), so that the lock is
# held no longer than needed.
say "$dll_name ($( [ "$arch" = 64 ] && echo x86-64 || echo i686 )): bringing up the Wine test bed on display ${PB_DISPLAY:-:77}"
# shellcheck source=tools/wine-env.sh
. "$root/tools/wine-env.sh"
pb_wine_up || die "the Wine test bed did not come up"

# Port 80 is shared with the fetch tests: one user at a time.
exec 9>"$lock"
if ! flock -n 9; then
  say "waiting for another user of the loopback ports ($lock)"
  flock -w 120 9 || die "the loopback ports stayed busy for 2 minutes ($lock)"
fi

# start_server LOG [CERT KEY]: the product server on the demo's database,
# at $address: http on 80 and, with a certificate and key, https on 443.
# Its own lines (the key's pin among them) go to LOG; the fetches to its
# fetch log (parambridge-server --db build/demo*/server.db log parambridge).
# The rate limit is off: the demo host fetches often from one address.
start_server() {
  local log=$1 cert=${2:-} key=${3:-} https=0
  if [ -n "$cert" ]; then
    https=443
  elif [ "$scheme" = https ]; then
    # A tree built for https on loopback without pins: any certificate does.
    cert=$out/certs/server.crt key=$out/certs/server.key https=443
    make_certificate "$out/certs"
  fi
  rm -f "$out/server.ready"
  : >"$log"
  "$server" --db "$db" serve --listen "$address" --http-port 80 --https-port "$https" \
    ${cert:+--cert "$cert" --key "$key"} --ready-file "$out/server.ready" \
    --rate-limit 0 --metrics-listen "" --admin-listen off </dev/null >"$log" 2>&1 &
  server_pid=$!
  for _ in $(seq 100); do
    [ -e "$out/server.ready" ] && return 0
    if ! kill -0 "$server_pid" 2>/dev/null; then
      wait "$server_pid" && rc=0 || rc=$?
      server_pid=""
      msg=$(tail -n 3 "$log")
      if [ "$rc" = 2 ]; then
        die "the server could not start (are ports 80 and 443 free? sudo ss -ltnp 'sport = :80 or sport = :443'): $msg"
      fi
      die "the server exited with status $rc: $msg"
    fi
    sleep 0.1
  done
  die "the server did not come up within 10 s (see $log)"
}

# make_certificate DIR: a self-signed certificate for 127.0.0.1 with a new
# key, in DIR/server.crt and DIR/server.key, made once.
make_certificate() {
  [ -f "$1/server.crt" ] && [ -f "$1/server.key" ] && return 0
  mkdir -p "$1"
  openssl req -x509 -newkey rsa:2048 -nodes -sha256 -days 30 -subj /CN=127.0.0.1 \
    -addext subjectAltName=IP:127.0.0.1 -keyout "$1/server.key" -out "$1/server.crt" \
    2>/dev/null || die "openssl could not make a certificate in $1"
}

# fetch_once DLL ACCOUNT: "RESULT CODE func101=... description=..." of one
# fetch by a fresh demo host (DLL relative to the build tree).
fetch_once() {
  (cd "$build" && timeout 60 "$wine_run" "$host" --fetch-once --dll "$1" --account "$2") \
    2>>"$out/demo.err" </dev/null | tr -d '\r' | sed -n 's/^fetch-once //p'
}

# fetch_rows ACCOUNT: how many fetches of ACCOUNT the server's fetch log holds.
fetch_rows() {
  pbs log "$product" --account "$1" --json |
    python3 -c 'import json, sys; print(len(json.load(sys.stdin)))'
}

stop_server() {
  kill -TERM "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
  server_pid=""
}

say "seeding the product server's database ${db#"$root"/}: account 12345 from $(basename "$params"), an expired and a revoked license"
seed_database
say "starting parambridge-server: $scheme://$address${base_path}run/"

# The vendor's two steps while the demo host runs, on the running server
# (no restart), through its command line on the same database.
# Step 1: func101 of the demo account's parameter set becomes $new_value,
# for every license on that set.
new_value=2.25
vendor_change_value() {
  local set pairs
  set=$(pbs license show "$product" 12345 --json | python3 -c 'import json, sys; print(json.load(sys.stdin)["set"])') || return 1
  read -r -a pairs < <(python3 - "$params" "$new_value" <<'PY'
import json, sys
table = json.load(open(sys.argv[1], encoding="utf-8"))["accounts"]["12345"]["*"]
print(" ".join(f"{k}={sys.argv[2] if k == 'func101' else v}" for k, v in table.items()))
PY
) || return 1
  pbs set put "$product" "$set" "${pairs[@]}" >/dev/null
}
# Step 2: the license revoked (a decision: status 205).
revoked_text="License revoked"
vendor_revoke() {
  pbs license revoke "$product" 12345 >/dev/null
}
start_server "$out/server.log"

say "running the demo host under Wine"
echo
# The host prints "dialog-ready X Y W H" once its dialog is painted; the
# keystrokes and the screenshot come from here meanwhile.
# It prints "vendor-step N" before each refresh and waits for
# vendor-N.done in $out (Wine's Z: drive is the root), made once the
# vendor's step N is done.
(cd "$build" && exec timeout 90 "$wine_run" "$host" --dll "$dll_name" \
  --seconds "$seconds" --vendor-gate "Z:$out") >"$out/demo.log" 2>"$out/demo.err" </dev/null &
host_pid=$!
shown=0
shot=""
typed=0
vendor_done=0
hidden=(-e '^dialog-ready' -e '^demo-summary' -e '^vendor-step')
while :; do
  n=$(wc -l <"$out/demo.log")
  if [ "$n" -gt "$shown" ]; then
    sed -n "$((shown + 1)),${n}p" "$out/demo.log" | grep -v "${hidden[@]}" || true
    shown=$n
  fi
  step=$((vendor_done + 1))
  # Only once the lines before it have been shown.
  if [ "$step" -le 2 ] && head -n "$shown" "$out/demo.log" | grep -q "^vendor-step $step"; then
    if [ "$step" = 1 ]; then
      say "the vendor changes func101 of account 12345 to $new_value on the running server"
      vendor_change_value || die "the server did not take the vendor's change"
    else
      say "the vendor revokes the licence of account 12345 (\"$revoked_text\")"
      vendor_revoke || die "the server did not take the revocation"
    fi
    : >"$out/vendor-$step.done"
    vendor_done=$step
  fi
  if [ -z "$shot" ] && grep -q '^dialog-ready' "$out/demo.log"; then
    read -r _ x y w h < <(grep -m1 '^dialog-ready' "$out/demo.log")
    # A visitor types a password and ticks the box (Tab moves the focus
    # from the password box to the check box). Then the picture.
    if xdotool type --delay 40 's3cret' 2>/dev/null && xdotool key Tab space 2>/dev/null; then
      typed=1
    fi
    sleep 0.7
    if import -window root -display "$DISPLAY" -crop "${w}x${h}+${x}+${y}" +repage \
        "$out/dialog.png" 2>"$out/import.err"; then
      shot=ok
    else
      shot=failed
    fi
  fi
  kill -0 "$host_pid" 2>/dev/null || break
  sleep 0.1
done
wait "$host_pid" && host_rc=0 || host_rc=$?
host_pid=""
n=$(wc -l <"$out/demo.log")
[ "$n" -gt "$shown" ] && { sed -n "$((shown + 1)),${n}p" "$out/demo.log" | grep -v "${hidden[@]}" || true; }
echo

# The seed's refused licenses, each on a fresh module: the server's status
# and its text, as a customer's terminal would show them.
refusals=""
for pair in "expired:$expired_account" "revoked:$revoked_account"; do
  kind=${pair%%:*}
  read -r result code rest <<<"$(fetch_once "$dll_name" "${pair#*:}")"
  text=${rest#*description=}
  say "the $kind license's account ${pair#*:}: result ${result:-?}, code ${code:-?} \"$text\""
  [ "${result:-}" = 0 ] || die "the $kind license's account was served"
  refusals="$refusals; $kind license -> code $code \"$text\""
done

stop_server
requests=$(pbs log "$product" --json | python3 -c 'import json, sys; print(len(json.load(sys.stdin)))')
say "server stopped (${requests:-0} fetches in its fetch log: parambridge-server --db ${db#"$root"/} log $product)"

# The secure path: the tree's pinned DLL (https://127.0.0.1/parambridge/,
# pinned to the tree's keys) fetches from the server holding the tree's key,
# tls/server.key; then a server holding another key answers at the same
# address, as after a hijacked DNS answer, and the DLL refuses it before
# sending the account: the server's fetch log gains no row for it.
secure=""
pinned=$build/pinned/$dll_name
if [ -f "$pinned" ] && [ -f "$build/tls/server.crt" ]; then
  echo
  say "the pinned DLL ($(realpath --relative-to="$root" "$pinned")) against https://127.0.0.1 holding the pinned key"
  start_server "$out/server-https.log" "$build/tls/server.crt" "$build/tls/server.key"
  read -r result code values <<<"$(fetch_once "pinned/$dll_name" "$https_account")"
  stop_server
  say "  result ${result:-?}, code ${code:-?}: ${values:-}"
  [ "${result:-}" = 1 ] || die "the pinned DLL did not fetch from the server holding its key"
  say "a server holding another key at the same address"
  rm -rf "$out/impostor"
  make_certificate "$out/impostor"
  rows_before=$(fetch_rows "$https_account")
  start_server "$out/server-impostor.log" "$out/impostor/server.crt" "$out/impostor/server.key"
  read -r result2 code2 _ <<<"$(fetch_once "pinned/$dll_name" "$https_account")"
  # Stopped, the server has written its whole fetch log.
  stop_server
  rows_after=$(fetch_rows "$https_account")
  say "  result ${result2:-?}, code ${code2:-?}; that server's fetch log: $((rows_after - rows_before)) fetches of account $https_account"
  [ "${result2:-}" = 0 ] && [ "${code2:-}" = 3 ] && [ "$rows_after" = "$rows_before" ] ||
    die "the pinned DLL did not refuse a server holding another key"
  secure="; https, pinned key -> result 1, another key -> code 3, account not sent"
fi
flock -u 9

if [ "$host_rc" = 124 ]; then
  die "the demo host did not finish within 90 s"
fi
if [ "$host_rc" != 0 ]; then
  grep -h '^demo: error' "$out/demo.log" >&2 || true
  die "the demo host exited with status $host_rc (output in ${out#"$root"/}/demo.log, ${out#"$root"/}/demo.err)"
fi
case "$shot" in
  ok) [ "$typed" = 1 ] || say "note: xdotool could not type into the dialog; it shows its initial state"
      say "dialog screenshot: ${out#"$root"/}/dialog.png" ;;
  failed) die "the screenshot failed: $(cat "$out/import.err")" ;;
  *) die "the dialog never said it was ready" ;;
esac

summary=$(sed -n 's/^demo-summary //p' "$out/demo.log" | head -n 1)
[ -n "$summary" ] || die "the demo host printed no summary"
elapsed=$(awk -v a="$started" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
printf 'make demo: OK in %ss: %s%s%s; screenshot %s\n' "$elapsed" "$dll_name: $summary" "$refusals" "$secure" "${out#"$root"/}/dialog.png"
