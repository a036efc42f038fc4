# Sourced by tools/wine-run and the demo: the environment of the Wine test bed
# and pb_wine_up, which starts what is not running yet. Idempotent.
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
# win32 for parambridge.dll; tools/wine64-run sets win64 for parambridge64.dll.
export WINEARCH=${PB_WINEARCH:-win32}
export DISPLAY=${PB_DISPLAY:-:77}
# One prefix per display and architecture: Wine's virtual desktop belongs to
# the display of the process that started it, so two displays cannot share a
# prefix, and a prefix is made for one architecture once and for all.
export WINEPREFIX=${PB_WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/parambridge/wine${WINEARCH#win}-display${DISPLAY#:}}
PB_SCREEN=${PB_SCREEN:-1920x1080}
# The loader. Debian's /usr/bin/wine starts the 32-bit loader whenever wine32
# is installed, whatever the prefix; on a host that runs 64-bit code only
# that fails with status 126 before anything runs. A 64-bit prefix needs only
# the 64-bit loader, so it is started directly.
PB_WINE=wine
if [ "$WINEARCH" = win64 ] && [ -x /usr/lib/wine/wine64 ]; then
  PB_WINE=/usr/lib/wine/wine64
  export WINELOADER=$PB_WINE
fi

pb_display_up() {
  local n=${DISPLAY#:}
  n=${n%%.*}
  if ! xdpyinfo >/dev/null 2>&1; then
    rm -f "/tmp/.X${n}-lock" "/tmp/.X11-unix/X${n}"
    (setsid Xvfb "$DISPLAY" -screen 0 "${PB_SCREEN}x24" -nolisten tcp </dev/null >/dev/null 2>&1 &)
    local i
    for i in $(seq 100); do
      xdpyinfo >/dev/null 2>&1 && return 0
      sleep 0.1
    done
    echo "wine-env: Xvfb did not come up on $DISPLAY" >&2
    return 1
  fi
}

pb_prefix_up() {
  local stamp="$WINEPREFIX/.parambridge-ready"
  [ -f "$stamp" ] && return 0
  # Without IA-32 support in the kernel, 32-bit Wine cannot start at all
  # (every start fails with status 126); say so instead. 64-bit Wine runs on
  # every x86-64 host.
  local probe=""
  if [ "$WINEARCH" = win32 ]; then
    probe=$(PB_GUEST=0 "$(dirname "${BASH_SOURCE[0]}")/guest/runs-i386" "32-bit Wine") && probe=""
  fi
  if [ -n "$probe" ]; then
    echo "wine-env: $probe Use make test or make demo, which take that guest." >&2
    return 1
  fi
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    exec 9>"$WINEPREFIX.lock"
    flock 9
    [ -f "$stamp" ] && exit 0
    "$PB_WINE" wineboot.exe -i </dev/null >/dev/null 2>&1
    # Every window opens inside one virtual desktop of the screen's size:
    # Wine then gives focus to new top-level windows itself, which bare
    # Xvfb (no window manager) never does, and the desktop's rectangle is
    # the whole screen.
    "$PB_WINE" reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f </dev/null >/dev/null 2>&1
    "$PB_WINE" reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d "$PB_SCREEN" /f </dev/null >/dev/null 2>&1
    # The explorer that wineboot started has no virtual desktop; stop it and
    # its wineserver (which flushes the registry) so that the next program
    # starts the desktop afresh.
    wineserver -k </dev/null >/dev/null 2>&1 || true
    wineserver -w </dev/null >/dev/null 2>&1 || true
    touch "$stamp"
  )
}

pb_wine_up() {
  pb_display_up
  pb_prefix_up
  # A persistent wineserver keeps every later start fast. Its output must not
  # hold the caller's pipes open (ctest would wait on them forever).
  wineserver -p </dev/null >/dev/null 2>&1 || true
}
