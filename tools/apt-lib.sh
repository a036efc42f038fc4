# Installing Debian packages when the archive is uneven: sourced by
# tools/deps.sh (the host), tools/guest/build-image (the guest's chroot) and
# tests/deps (a local archive). Bash; no other tool than apt.
#
# The archive a machine reads is mirrored, and it is normal for it to be
# uneven for hours: one architecture's index mid-sync ("File has unexpected
# size ... Mirror sync in progress?"), or an update of a Multi-Arch: same
# library in the security suite for amd64 whose i386 twin is not there yet.
# Then apt-get update exits 100 with the other lists fetched, and apt-get
# install cannot keep both halves of the library at one version ("held broken
# packages"). The release's own suite (-t <codename>) is always consistent.
#
# Contract:
#   pb_apt_refresh      apt-get update, tried up to PB_APT_TRIES times (3)
#                       PB_APT_PAUSE seconds (5) apart while an index fails;
#                       then one warning line per index still failing, and
#                       success: an install with the lists apt has decides.
#   pb_apt_plan PKG...  simulates the install as the archive stands, then
#                       from the release's suite alone; prints the apt-get
#                       arguments that resolve ("" or "-t <codename>") on
#                       stdout and one line on stderr when it is the second;
#                       returns 1 after apt's own error and one line saying
#                       what was tried and what to do next.
#   pb_apt_install PKG... pb_apt_plan, then the install it chose.
# Settings: PB_APT_OPTS (an array of apt-get options put before every call:
# the test points apt at its own archive, state and status with them),
# PB_APT_CODENAME (default: VERSION_CODENAME of /etc/os-release),
# PB_APT_SUDO (a command prefix such as "sudo"), PB_APT_SAY (the prefix of
# every line; "deps").

: "${PB_APT_TRIES:=3}"
: "${PB_APT_PAUSE:=5}"
: "${PB_APT_SAY:=deps}"
: "${PB_APT_SUDO:=}"
[ -n "${PB_APT_OPTS+set}" ] || PB_APT_OPTS=()

pb_apt_codename() {
  if [ -n "${PB_APT_CODENAME:-}" ]; then
    echo "$PB_APT_CODENAME"
  else
    (. /etc/os-release && echo "${VERSION_CODENAME:-}")
  fi
}

# The indexes that the last update could not fetch, one "URL  reason" a line,
# from apt's "E: Failed to fetch URL  reason" (W: in older apt).
pb_apt_failed_indexes() {
  sed -n -E 's/^[EW]: Failed to fetch ([^ ]+)  (.*)$/\1  \2/p' "$1" \
    | sed -E 's/ *\[IP: [^]]*\]//' | sort -u
}

pb_apt_refresh() {
  local log try=1 failed
  log=$(mktemp)
  while :; do
    if $PB_APT_SUDO apt-get "${PB_APT_OPTS[@]}" update >"$log" 2>&1; then
      rm -f "$log"
      return 0
    fi
    failed=$(pb_apt_failed_indexes "$log")
    if [ -z "$failed" ]; then
      # Not an index: apt could not run, or read no source at all.
      cat "$log" >&2
      rm -f "$log"
      echo "$PB_APT_SAY: FAILED: apt-get update failed (above) before it fetched any index; check the apt sources and the network, then run make deps again" >&2
      return 1
    fi
    [ "$try" -lt "$PB_APT_TRIES" ] || break
    try=$((try + 1))
    sleep "$PB_APT_PAUSE"
  done
  local url reason
  while IFS= read -r line; do
    url=${line%%  *}
    reason=${line#*  }
    echo "$PB_APT_SAY: warning: index $url failed to download after $PB_APT_TRIES tries ($reason); going on with the lists apt has" >&2
  done <<<"$failed"
  rm -f "$log"
  return 0
}

pb_apt_plan() {
  local codename log
  codename=$(pb_apt_codename)
  log=$(mktemp)
  if apt-get "${PB_APT_OPTS[@]}" -s install --no-install-recommends "$@" >"$log" 2>&1; then
    rm -f "$log"
    echo ""
    return 0
  fi
  if [ -n "$codename" ] &&
     apt-get "${PB_APT_OPTS[@]}" -s -t "$codename" install --no-install-recommends "$@" >/dev/null 2>&1; then
    rm -f "$log"
    echo "$PB_APT_SAY: the archive is uneven (an update for one architecture has no twin for the other yet), so these packages come from $codename alone: their security and stable updates were not taken; take them later with 'apt-get update && apt-get upgrade' once the mirror has caught up" >&2
    echo "-t $codename"
    return 0
  fi
  grep -E '^(E:| )' "$log" >&2 || cat "$log" >&2
  rm -f "$log"
  echo "$PB_APT_SAY: FAILED: apt cannot install $* as the archive stands${codename:+, nor from $codename alone (-t $codename)}; apt's error is above. Next: wait for the mirror to finish syncing and run make deps again; if a package apt names is installed at a version the other architecture does not offer yet, that twin must reach the mirror first (or install these packages by hand)" >&2
  return 1
}

pb_apt_install() {
  local target
  target=$(pb_apt_plan "$@") || return 1
  # shellcheck disable=SC2086  # target is "" or "-t codename"
  $PB_APT_SUDO env DEBIAN_FRONTEND=noninteractive apt-get "${PB_APT_OPTS[@]}" install -y -qq \
    --no-install-recommends -o Dpkg::Options::=--force-confold $target "$@"
}
