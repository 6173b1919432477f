#!/bin/sh
# Runs a Windows program under Wine without a display or a dialog: a private
# prefix (created on first use; QUEL2CLN_WINEPREFIX overrides it), no debug
# output, and no Mono or Gecko installers.
set -e
if [ -z "${WINEPREFIX:-}" ]; then
  WINEPREFIX="${QUEL2CLN_WINEPREFIX:-${TMPDIR:-/tmp}/quel2cln-wine-$(id -u)}"
fi
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"
unset DISPLAY WAYLAND_DISPLAY
# Create the prefix once, even when several programs start at the same time.
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  flock "$WINEPREFIX.lock" sh -c '[ -f "$WINEPREFIX/system.reg" ] || wine wineboot -i >/dev/null 2>&1'
fi
exec wine "$@"
