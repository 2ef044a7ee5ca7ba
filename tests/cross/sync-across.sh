#!/usr/bin/env bash
# A sync across the two systems: the Linux TandrelClient against
# TandrelServer.exe under Wine, and TandrelClient.exe under Wine against the
# Linux TandrelServer. In each direction files move both ways on the first
# run ("OK TRANSM"), the second run finds them equal ("OK EQUAL"), and the
# copies on both sides are byte for byte the same.
#
#   sync-across.sh LINUX_BIN WINDOWS_BIN
set -euo pipefail

linux_bin=$1
windows_bin=$2
wine_run="$(cd "$(dirname "$0")/.." && pwd)/support/wine-run.sh"

work=$(mktemp -d)
server_pid=
cleanup() {
  if [ -n "$server_pid" ]; then kill -9 "$server_pid" 2>/dev/null || true; fi
  rm -rf "$work"
}
trap cleanup EXIT

fail() { echo "sync-across: $*" >&2; exit 1; }

free_port() {
  local port=$((20000 + RANDOM % 20000))
  while (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do port=$((port + 1)); done
  echo "$port"
}

# A Linux path as a Windows program under Wine names it (drive Z: is /).
windows_path() { printf 'Z:%s' "${1//\//\\}"; }

# $1: server program (a path), $2: how to start it, $3: the folder served
# as the program sees it, $4: how paths are written in its settings.
start_server() {
  local dir=$1 port=$2 served=$3 log=$4
  shift 4
  printf '[TandrelServer]\nVersion=Quillon 4.1\n[TCP]\nPort=%s\nStartDir=%s\nWelcome=Across\nLog=%s\n[USER]\nUser=op\nPwd=secret\n' \
    "$port" "$served" "$log" > "$dir/TandrelServer.INI"
  "$@" > "$dir/out.txt" 2>&1 &
  server_pid=$!
  for _ in $(seq 300); do
    if grep -q "Server started on port $port" "$dir/out.txt" 2>/dev/null; then return 0; fi
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  cat "$dir/out.txt" >&2
  fail "the server did not start on port $port"
}

stop_server() {
  kill -9 "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
  server_pid=
}

write_script() {
  local file=$1 port=$2 log=$3 in=$4 out=$5
  printf '[TandrelClient]\nVersion=Quillon 4.1\n[SERVER]\nLabel=Across\nAddress=127.0.0.1\nPort=%s\nUser=op\nPwd=secret\nLog=%s\n[GET]\nRemoteFiles=from-server.txt;big.bin\nLocalDir=%s\nRemoteDir=\n[PUT]\nLocalFiles=*.dat\nLocalDir=%s\nRemoteDir=incoming\n' \
    "$port" "$log" "$in" "$out" > "$file"
}

fill() {
  local side=$1
  mkdir -p "$side/served/incoming" "$side/client/in" "$side/client/out"
  printf 'made on the server\r\nsecond line\n' > "$side/served/from-server.txt"
  head -c 3000000 /dev/urandom > "$side/served/big.bin"
  printf 'made on the client\n' > "$side/client/out/a.dat"
  head -c 100000 /dev/urandom > "$side/client/out/b.dat"
}

check_copies() {
  local side=$1
  cmp "$side/served/from-server.txt" "$side/client/in/from-server.txt" || fail "$side: GET text differs"
  cmp "$side/served/big.bin" "$side/client/in/big.bin" || fail "$side: GET binary differs"
  cmp "$side/client/out/a.dat" "$side/served/incoming/a.dat" || fail "$side: PUT a.dat differs"
  cmp "$side/client/out/b.dat" "$side/served/incoming/b.dat" || fail "$side: PUT b.dat differs"
}

# $1: the run's log file, $2: the outcome every file must have.
check_log() {
  local log=$1 outcome=$2
  local count
  count=$(grep -c "^$outcome: " "$log" || true)
  [ "$count" = 4 ] || { cat "$log" >&2; fail "$log: $count files $outcome, 4 expected"; }
  grep -q "^GET Files: 2 OK" "$log" || { cat "$log" >&2; fail "$log: no GET summary"; }
  grep -q "^PUT Files: 2 OK" "$log" || { cat "$log" >&2; fail "$log: no PUT summary"; }
}

# --- Linux client, Windows server --------------------------------------
side=$work/to-windows
fill "$side"
mkdir -p "$side/server"
cp "$windows_bin/TandrelServer.exe" "$side/server/"
cp "$linux_bin/TandrelClient" "$side/client/"
port=$(free_port)
start_server "$side/server" "$port" "$(windows_path "$side/served")" \
  "$(windows_path "$side/server/server.log")" \
  "$wine_run" "$side/server/TandrelServer.exe" -console -start
for run in 1 2; do
  write_script "$side/client/TandrelClient.INI" "$port" "$side/client/run$run.log" \
    "$side/client/in" "$side/client/out"
  (cd "$side/client" && ./TandrelClient -silent < /dev/null > "run$run.out" 2>&1) ||
    { cat "$side/client/run$run.out" >&2; fail "Linux client against Windows server: run $run failed"; }
done
stop_server
check_log "$side/client/run1.log" "OK TRANSM"
check_log "$side/client/run2.log" "OK EQUAL"
check_copies "$side"
echo "sync-across: Linux TandrelClient -> TandrelServer.exe: 4 files moved, then 4 equal"

# --- Windows client, Linux server --------------------------------------
side=$work/to-linux
fill "$side"
mkdir -p "$side/server"
cp "$linux_bin/TandrelServer" "$side/server/"
cp "$windows_bin/TandrelClient.exe" "$side/client/"
port=$(free_port)
start_server "$side/server" "$port" "$side/served" "$side/server/server.log" \
  env -u DISPLAY -u WAYLAND_DISPLAY XDG_RUNTIME_DIR="$side/server" "$side/server/TandrelServer" -start
for run in 1 2; do
  write_script "$side/client/TandrelClient.INI" "$port" "$(windows_path "$side/client/run$run.log")" \
    "$(windows_path "$side/client/in")" "$(windows_path "$side/client/out")"
  (cd "$side/client" && "$wine_run" ./TandrelClient.exe -console -silent < /dev/null > "run$run.out" 2>&1) ||
    { cat "$side/client/run$run.out" >&2; fail "Windows client against Linux server: run $run failed"; }
done
stop_server
check_log "$side/client/run1.log" "OK TRANSM"
check_log "$side/client/run2.log" "OK EQUAL"
check_copies "$side"
echo "sync-across: TandrelClient.exe -> Linux TandrelServer: 4 files moved, then 4 equal"
