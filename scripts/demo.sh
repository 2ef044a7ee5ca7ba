#!/usr/bin/env bash
# Installs what is missing, builds the programs into build/bin/, and runs them
# on the demo files in demo/.
set -euo pipefail
cd "$(dirname "$0")/.."

scripts/install-deps.sh

cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release -DTANDREL_TESTS=OFF -DTANDREL_BENCH=OFF
cmake --build build

bin=build/bin
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

echo
echo "== scriptconv: one LocalFiles/RemoteFiles line per run of such lines"
echo "-- demo/sync-script.INI"
cat demo/sync-script.INI
"$bin/scriptconv" demo/sync-script.INI "$work/converted.INI"
echo "-- converted"
cat "$work/converted.INI"
echo

echo "== tildestrip: lines that begin with ~ are dropped"
echo "-- demo/notes.txt"
cat demo/notes.txt
echo "-- filtered"
"$bin/tildestrip" < demo/notes.txt

echo
echo "== A real sync: TandrelServer serves a folder, TandrelClient runs a script against it twice"
mkdir -p "$work/server" "$work/client" "$work/served/incoming"
cp -r demo/served/. "$work/served/"
cp "$bin/TandrelServer" "$work/server/"
cp "$bin/TandrelClient" "$work/client/"
# A loopback port that nothing listens on.
port=21210
while (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do port=$((port + 1)); done
# The server reports its start once it listens, and listens until it stops.
wait_started() {
  for _ in $(seq 100); do
    grep -qx "Server started on port $port" "$work/server/out.txt" && return 0
    kill -0 "$server_pid" 2>/dev/null || break
    sleep 0.1
  done
  echo "demo: the server did not start on port $port" >&2
  cat "$work/server/out.txt" >&2
  return 1
}
cat > "$work/server/TandrelServer.INI" <<INI
[TandrelServer]
Version=Quillon 4.1
[TCP]
Port=$port
StartDir=$work/served
Welcome=Tandrel demo server
Log=$work/server/server-%DATE%.log
[USER]
User=demo
Pwd=demo
INI
cat > "$work/client/TandrelClient.INI" <<INI
[TandrelClient]
Version=Quillon 4.1
[SERVER]
Label=Demo server
Address=localhost
Port=$port
User=demo
Pwd=demo
Log=$work/client/sync_%DATE%.log
[GET]
RemoteFiles=list.txt; readme.txt
LocalDir=$work/client/in
RemoteDir=
[PUT]
LocalFiles=*.txt;*.dat
LocalDir=$PWD/demo/outbox
RemoteDir=incoming
INI
echo "-- $work/server/TandrelServer.INI"
cat "$work/server/TandrelServer.INI"
echo "-- $work/client/TandrelClient.INI"
cat "$work/client/TandrelClient.INI"

XDG_RUNTIME_DIR="$work" "$work/server/TandrelServer" -start </dev/null >"$work/server/out.txt" 2>&1 &
server_pid=$!
stop_server() {
  kill -TERM "$server_pid" 2>/dev/null || true
  wait "$server_pid" 2>/dev/null || true
}
trap 'stop_server; rm -rf "$work"' EXIT
wait_started

# The second run connects the moment the first has ended.
for run in first second; do
  echo
  echo "-- TandrelClient -silent, $run run (the dialog's values, then the log as it grows)"
  status=0
  "$work/client/TandrelClient" -silent </dev/null || status=$?
  echo "-- TandrelClient ended with status $status"
  if [ "$status" -ne 0 ]; then
    exit "$status"
  fi
done

echo
echo "-- the client's log file of the second run"
cat "$work/client"/sync_*.log
echo "-- fetched into $work/client/in"
ls -A "$work/client/in"
echo "-- received by the server in incoming/"
ls -A "$work/served/incoming"

stop_server
echo "-- TandrelServer stopped; its log file"
cat "$work/server"/server-*.log
