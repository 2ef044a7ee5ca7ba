#!/bin/sh
# Runs a Windows test program under Wine ($1) on a virtual X display of its
# own, in a Wine prefix of its own: windows need a display, and the prefix's
# Wine server is ended afterwards so that the next run meets no server still
# bound to a display that is gone. Tests that use it hold the lock "xvfb".
#
# Wine draws the windows' frames itself ("Managed" off), as Windows does:
# there is no window manager on the virtual display, and without one Wine
# would wait two seconds for it each time a window is hidden, and undo
# minimising that no window manager carried out.
wine=$1
shift
export WINEPREFIX="${TANDREL_UI_WINEPREFIX:-${TMPDIR:-/tmp}/tandrel-wine-ui-$(id -u)}"
export WINEDEBUG="${WINEDEBUG:--all}"
wineserver="$(dirname "$wine")/wineserver"
[ -x "$wineserver" ] || wineserver=wineserver
if [ ! -f "$WINEPREFIX/.tandrel-unmanaged" ]; then
  "$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 &&
    touch "$WINEPREFIX/.tandrel-unmanaged"
  "$wineserver" -w 2>/dev/null
fi
# The dialogs are measured in the font Windows gives them, Tahoma, where
# Debian's fonts-wine has it; this Wine looks for it only in the prefix.
if [ -f /usr/share/wine/fonts/tahoma.ttf ] && [ -d "$WINEPREFIX/drive_c/windows/Fonts" ]; then
  cp -n /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
fi
exec xvfb-run -a -s '-screen 0 1024x768x24' sh -c '
  wine=$1; wineserver=$2; shift 2
  "$wine" "$@"
  status=$?
  "$wineserver" -k 2>/dev/null
  exit $status
' sh "$wine" "$wineserver" "$@"
