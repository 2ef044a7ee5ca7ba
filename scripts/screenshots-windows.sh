#!/usr/bin/env bash
# Pictures of both programs' dialogs as the Windows dialog manager draws
# them (the cross-built programs under Wine, on a virtual X display), into
# docs/images/*-windows.png: each main dialog before and after its start,
# and an About box. Needs wine64, xvfb-run, xdotool and ImageMagick.
set -euo pipefail
cd "$(dirname "$0")/.."
repo=$PWD

if [ "${1:-}" != "--on-display" ]; then
  build=${BUILD_DIR:-build-windows}
  if [ ! -f "$build/build.ninja" ]; then
    cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake \
      -DCMAKE_BUILD_TYPE=Release
  fi
  cmake --build "$build" -j2 --target TandrelServer TandrelClient
  export TANDREL_BIN="$repo/$build/bin"
  exec xvfb-run -a -s '-screen 0 1024x768x24' "$0" --on-display
fi

wine=${WINE:-/usr/lib/wine/wine64}
wineserver="$(dirname "$wine")/wineserver"
[ -x "$wineserver" ] || wineserver=wineserver
# A prefix of its own, kept between runs (making one takes half a minute).
export WINEPREFIX="${TANDREL_SHOTS_WINEPREFIX:-${TMPDIR:-/tmp}/tandrel-wine-shots-$(id -u)}"
export WINEDEBUG=-all
work=$(mktemp -d)
cleanup() {
  "$wineserver" -k 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

# Wine draws the frames itself, as Windows does: the virtual display has no
# window manager.
"$wine" reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1
# The fonts Windows has where the dialogs want them: Tahoma for "MS Shell
# Dlg" and Marlett for the caption's buttons (Debian package fonts-wine),
# which this Wine looks for only in the prefix.
if [ -f /usr/share/wine/fonts/tahoma.ttf ]; then
  cp -n /usr/share/wine/fonts/*.ttf "$WINEPREFIX/drive_c/windows/Fonts/" 2>/dev/null || true
else
  echo "fonts-wine is not installed: the pictures show a stand-in for Tahoma" >&2
fi

# The newest window titled $1 that is not one of the ids given after it.
wait_for_window() {
  local title=$1
  shift
  for _ in $(seq 1 100); do
    for id in $(xdotool search --onlyvisible --name "^$title\$" 2>/dev/null | sort -rn); do
      case " $* " in *" $id "*) ;; *) echo "$id"; return 0 ;; esac
    done
    sleep 0.2
  done
  echo "no window titled $title appeared" >&2
  return 1
}

# Saves window $1 (frame and all) as docs/images/$2-windows.png.
shoot() {
  sleep 1
  import -window "$1" "$repo/docs/images/$2-windows.png"
  echo "docs/images/$2-windows.png"
}

# Keys go to the window Wine has given the focus, which is the one that came
# up last.
keys() {
  xdotool key --delay 150 "$@"
  sleep 0.5
}

# The folders of both programs are drive D:, as on an office machine.
mkdir -p "$WINEPREFIX/dosdevices"
ln -sfn "$work" "$WINEPREFIX/dosdevices/d:"

port=$((20000 + RANDOM % 20000))
mkdir -p "$work/server/served/apps" "$work/server/served/incoming" "$work/client/outbox" \
  "$work/client/inbox"
cp "$TANDREL_BIN/TandrelServer.exe" "$work/server/"
cp "$TANDREL_BIN/TandrelClient.exe" "$work/client/"
printf 'Setup of the night shift\r\n' > "$work/server/served/apps/setup.txt"
cp demo/outbox/report.txt demo/outbox/stock.dat "$work/client/outbox/"
printf '[TCP]\r\nPort=%s\r\nStartDir=%s\r\nWelcome=Sync server ready\r\n[USER]\r\nUser=op\r\nPwd=pw\r\n' \
  "$port" 'D:\server\served' > "$work/server/TandrelServer.INI"
printf '%s\r\n' '[TandrelClient]' 'Version=Quillon 4.1' '[SERVER]' 'Label=Office' \
  'Address=127.0.0.1' "Port=$port" 'User=op' 'Pwd=pw' '[PUT]' 'LocalFiles=*.*' \
  'LocalDir=D:\client\outbox' 'RemoteDir=incoming' '[GET]' \
  'RemoteFiles=setup.txt' 'LocalDir=D:\client\inbox' 'RemoteDir=apps' \
  > "$work/client/TandrelClient.INI"

mkdir -p docs/images

# The server: its settings, its About box (the last item of the system
# menu), then started unattended.
(cd "$work/server" && "$wine" TandrelServer.exe >/dev/null 2>&1 &)
server=$(wait_for_window TandrelServer)
shoot "$server" server-settings
keys alt+space Up Return
about=$(wait_for_window TandrelServer "$server")
shoot "$about" server-about
keys Return
keys Escape
sleep 1

(cd "$work/server" && "$wine" TandrelServer.exe /start >/dev/null 2>&1 &)
server=$(wait_for_window TandrelServer)
# A successful start minimises the dialog to a caption at the foot of the
# screen; double-clicking it restores the dialog.
sleep 2
eval "$(xdotool getwindowgeometry --shell "$server")"
xdotool mousemove $((X + 40)) $((Y + HEIGHT / 2)) click --repeat 2 --delay 100 1
sleep 1
shoot "$server" server-running

# The client: its settings, then the run against that server.
(cd "$work/client" && "$wine" TandrelClient.exe >/dev/null 2>&1 &)
client=$(wait_for_window TandrelClient)
shoot "$client" client-settings
keys alt+space Up Return
about=$(wait_for_window TandrelClient "$client")
shoot "$about" client-about
keys Return
keys Return
sleep 3
shoot "$client" client-run
keys Return
