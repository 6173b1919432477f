#!/bin/sh
# Runs a Windows program under Wine without a display or a dialog: a private
# prefix (created on first use; QUEL2CLN_WINEPREFIX overrides it), no debug
# output, and no Mono or Gecko installers. The exit status is the program's.
set -e
if [ -z "${WINEPREFIX:-}" ]; then
  WINEPREFIX="${QUEL2CLN_WINEPREFIX:-${TMPDIR:-/tmp}/quel2cln-wine-$(id -u)}"
fi
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
unset DISPLAY WAYLAND_DISPLAY
# Wine's server and services outlive the program that starts them and keep
# its standard output open, which would hold up a caller that reads it to
# the end (ctest). So a new server, and the services with it, are started
# here, detached from the caller's output, under a lock so that programs
# started at the same time wait for that. The server then stays up for a
# minute after the last program: starting it costs seconds, reusing it
# milliseconds. "wineserver -p" fails when a server is already running.
mkdir -p "$(dirname "$WINEPREFIX")"
flock -o "$WINEPREFIX.lock" sh -c \
  'if wineserver -p60 </dev/null >/dev/null 2>&1; then wine wineboot </dev/null >/dev/null 2>&1; fi' || true
exec wine "$@"
