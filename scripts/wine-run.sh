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
# Wine also starts its services on demand, as children of the program that
# needs them (on a new prefix, or once the services have shut down after
# the last program), and they inherit the program's output. So the program
# writes into files, which are passed on once it has ended: a service that
# stays behind then holds nobody's pipe. A signal ends the program too.
out=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX")
err=$(mktemp "${TMPDIR:-/tmp}/wine-run.XXXXXX")
trap 'rm -f "$out" "$err"' EXIT
pass_on() { cat "$out"; cat "$err" >&2; }
exec 3<&0
wine "$@" <&3 >"$out" 2>"$err" 3<&- &
program=$!
# Ended from outside (a time-out): what the program wrote so far still
# shows where it stopped.
trap 'kill "$program" 2>/dev/null; pass_on; exit 143' TERM INT HUP
status=0
wait "$program" || status=$?
pass_on
exit "$status"
