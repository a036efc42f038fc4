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
# Debian's `wine` (and wineboot, which calls it) takes the 32-bit loader
# whenever it is installed, even where the kernel cannot run it (every start
# then fails with status 126). A 64-bit prefix needs the 64-bit loader alone:
# `wine` resolves to it through a shim folder first on PATH.
if [ "$WINEARCH" = win64 ] && [ -x /usr/lib/wine/wine64 ]; then
  pb_shim=${XDG_CACHE_HOME:-$HOME/.cache}/parambridge/wine64-bin
  if [ ! -x "$pb_shim/wine-stable" ]; then
    mkdir -p "$pb_shim"
    printf '#!/bin/sh\nexport WINELOADER=/usr/lib/wine/wine64\nexec /usr/lib/wine/wine64 "$@"\n' >"$pb_shim/wine.tmp$$"
    chmod +x "$pb_shim/wine.tmp$$"
    cp "$pb_shim/wine.tmp$$" "$pb_shim/wine-stable.tmp$$"
    mv "$pb_shim/wine.tmp$$" "$pb_shim/wine"
    mv "$pb_shim/wine-stable.tmp$$" "$pb_shim/wine-stable"
  fi
  case ":$PATH:" in *":$pb_shim:"*) ;; *) export PATH="$pb_shim:$PATH" ;; esac
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
    wineboot -i </dev/null >/dev/null 2>&1
    # Every window opens inside one virtual desktop of the screen's size:
    # Wine then gives focus to new top-level windows itself, which bare
    # Xvfb (no window manager) never does, and the desktop's rectangle is
    # the whole screen.
    wine reg add 'HKCU\Software\Wine\Explorer' /v Desktop /d Default /f </dev/null >/dev/null 2>&1
    wine reg add 'HKCU\Software\Wine\Explorer\Desktops' /v Default /d "$PB_SCREEN" /f </dev/null >/dev/null 2>&1
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
