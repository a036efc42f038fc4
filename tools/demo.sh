#!/usr/bin/env bash
# make demo: the stand-in product server on loopback, and the demo host (an
# expert advisor's part, played by a Windows console program) under Wine:
# a fetch, a sample dialog with its screenshot, the vendor changing a value
# and then revoking the licence while the module runs (each reaching it at
# the sample expert's next refresh), a failed fetch.
# PB_DEMO_ARCH=32 (default) shows parambridge.dll as `make win32` built it
# in build/win32 and writes build/demo/; PB_DEMO_ARCH=64 shows
# parambridge64.dll from build/win64 under 64-bit Wine and writes
# build/demo64/.
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
server=$root/server/product_server.py
params=$root/server/params.json
lock=/tmp/parambridge-ports.lock
seconds=${PB_DEMO_SECONDS:-8}

started=$(date +%s.%N)
say() { printf 'demo: %s\n' "$*"; }
die() { printf 'demo: FAILED: %s\n' "$*" >&2; exit 1; }

[ -f "$dll" ] || die "$dll is not built (run: make win$arch)"
[ -f "$host" ] || die "$host is not built (run: make win$arch)"
[ -f "$server" ] || die "the stand-in server $server is missing"
[ -f "$params" ] || die "the parameter file $params is missing"

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

# The product server: the one function to swap for another server.
# start_server LOG CERT_DIR: the stand-in on $address, http on 80 and,
# with a CERT_DIR, https on 443 with the certificate there (made by the
# server when missing). Its control interface (http://$address/_pb/) lets
# the vendor's steps below set its next reply.
start_server() {
  local log=$1 cert_dir=${2:-} https=$https_port
  [ -n "$cert_dir" ] && https=443
  rm -f "$out/server.ready"
  : >"$log"
  python3 "$server" --params "$params" --bind "$address" --http-port 80 --https-port "$https" \
    ${cert_dir:+--cert-dir "$cert_dir"} --base-path "$base_path" --ready-file "$out/server.ready" \
    --log "$log" --control </dev/null 2>"$out/server.err" &
  server_pid=$!
  for _ in $(seq 100); do
    [ -s "$out/server.ready" ] && return 0
    if ! kill -0 "$server_pid" 2>/dev/null; then
      wait "$server_pid" && rc=0 || rc=$?
      server_pid=""
      msg=$(tail -n 3 "$out/server.err")
      if [ "$rc" = 2 ]; then
        die "the server could not start (are ports 80 and 443 free? sudo ss -ltnp 'sport = :80 or sport = :443'): $msg"
      fi
      die "the server exited with status $rc: $msg"
    fi
    sleep 0.1
  done
  die "the server did not come up within 10 s (see $out/server.err)"
}

stop_server() {
  kill -TERM "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
  server_pid=""
}

# The vendor's two steps while the demo host runs, on the running server
# (no restart): the stand-in is told its next reply for the demo account.
# Another product server replaces these with its own way of changing a
# value and revoking a licence.
vendor_reply() {
  curl -fsS --noproxy '*' -o /dev/null -X POST --data-binary "$1" "http://$address/_pb/script"
}
# Step 1: func101 of the demo account becomes $new_value, the rest as the
# parameter file has it.
new_value=2.25
vendor_change_value() {
  local script
  script=$(python3 - "$params" "$new_value" <<'PY'
import json, sys
table = json.load(open(sys.argv[1], encoding="utf-8"))["accounts"]["12345"]["*"]
pairs = [["error", "100"]] + [[k, sys.argv[2] if k == "func101" else str(v)] for k, v in table.items()]
print(json.dumps([{"pairs": pairs}]))
PY
) || return 1
  vendor_reply "$script"
}
# Step 2: the licence revoked (a decision: statuses 201 to 299).
revoked_text="Licence revoked (refund)"
vendor_revoke() {
  vendor_reply "[{\"pairs\": [[\"error\", \"203\"], [\"errorD\", \"$revoked_text\"]]}]"
}

say "starting the stand-in server: $scheme://$address${base_path}run/ with $(basename "$params")"
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

stop_server
requests=$(grep 'POST' "$out/server.log" 2>/dev/null | grep -vc '/_pb/' || true)
say "server stopped (${requests:-0} requests, log in ${out#"$root"/}/server.log)"

# The secure path: the tree's pinned DLL (https://127.0.0.1/parambridge/,
# pinned to the key that the stand-in serves, tls/server.key) fetches; then
# a server holding another key answers at the same address, as after a
# hijacked DNS answer, and the DLL refuses it before sending the account.
secure=""
pinned=$build/pinned/$dll_name
if [ -f "$pinned" ] && [ -f "$build/tls/server.crt" ]; then
  fetch_once() {
    (cd "$build" && timeout 60 "$wine_run" "$host" --fetch-once --dll "pinned/$dll_name" \
      --account 12345) 2>>"$out/demo.err" </dev/null | tr -d '\r' | sed -n 's/^fetch-once //p'
  }
  echo
  say "the pinned DLL ($(realpath --relative-to="$root" "$pinned")) against https://127.0.0.1 holding the pinned key"
  start_server "$out/server-https.log" "$build/tls"
  read -r result code values <<<"$(fetch_once)"
  stop_server
  say "  result ${result:-?}, code ${code:-?}: ${values:-}"
  [ "${result:-}" = 1 ] || die "the pinned DLL did not fetch from the server holding its key"
  say "a server holding another key at the same address"
  rm -rf "$out/impostor"
  start_server "$out/server-impostor.log" "$out/impostor"
  read -r result2 code2 _ <<<"$(fetch_once)"
  stop_server
  # The server logs what it received: the request headers, sent before the
  # check, and a body cut short at 0 bytes.
  body_seen=$(sed -n 's/.*"POST [^"]*" [0-9]* body="\([^"]*\)".*/\1/p' "$out/server-impostor.log" | tr -d '\n')
  say "  result ${result2:-?}, code ${code2:-?}; that server got: $(grep -o 'request body cut short[^;]*' "$out/server-impostor.log" || echo 'no request')"
  [ "${result2:-}" = 0 ] && [ "${code2:-}" = 3 ] && [ -z "$body_seen" ] ||
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
printf 'make demo: OK in %ss: %s%s; screenshot %s\n' "$elapsed" "$dll_name: $summary" "$secure" "${out#"$root"/}/dialog.png"
