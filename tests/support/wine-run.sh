#!/usr/bin/env bash
# Runs a Windows program under Wine, for CTest and for GoogleTest's listing
# of test cases: wine-run.sh PROGRAM.exe [ARGUMENTS...]
#
# The Wine prefix is WINEPREFIX when set, else one of Tandrel's own in the
# user's cache folder; it is made on first use, under a lock, so that test
# programs started side by side do not race to make it. Wine's own messages
# are silenced (they would mix with the program's standard error, which
# tests compare), and the .NET and HTML runtimes Wine offers to install are
# declined.
set -euo pipefail

export WINEPREFIX=${WINEPREFIX:-${XDG_CACHE_HOME:-$HOME/.cache}/tandrel/wine64}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}

wine=/usr/lib/wine/wine64
if [ ! -x "$wine" ]; then
  wine=$(command -v wine64 || command -v wine)
fi

if [ ! -f "$WINEPREFIX/system.reg" ]; then
  mkdir -p "$(dirname "$WINEPREFIX")"
  (
    flock 9
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      "$wine" wineboot --init >/dev/null 2>&1 || true
      wineserver=$(dirname "$wine")/wineserver
      [ -x "$wineserver" ] || wineserver=wineserver
      "$wineserver" -w || true
    fi
  ) 9>"$WINEPREFIX.lock"
fi

exec "$wine" "$@"
