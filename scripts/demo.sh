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
echo "== TandrelServer: started unattended on demo/served, listed and fetched by curl, stopped"
mkdir "$work/server"
cp "$bin/TandrelServer" "$work/server/"
# A loopback port that nothing listens on.
port=21210
while (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; do port=$((port + 1)); done
cat > "$work/server/TandrelServer.INI" <<INI
[TandrelServer]
Version=Quillon 4.1
[TCP]
Port=$port
StartDir=$PWD/demo/served
Welcome=Tandrel demo server
Log=$work/server/server-%DATE%.log
[USER]
User=demo
Pwd=demo
INI
echo "-- $work/server/TandrelServer.INI"
cat "$work/server/TandrelServer.INI"
XDG_RUNTIME_DIR="$work" "$work/server/TandrelServer" -start </dev/null >"$work/server/out.txt" 2>&1 &
server_pid=$!
for _ in $(seq 100); do
  grep -q "Server started on port $port" "$work/server/out.txt" && break
  sleep 0.1
done
url="ftp://127.0.0.1:$port"
curl_args=(--silent --show-error --max-time 30 --ftp-port 127.0.0.1 --disable-eprt --user demo:demo)
echo "-- curl $url/ (listing)"
curl "${curl_args[@]}" "$url/"
echo "-- curl $url/list.txt"
curl "${curl_args[@]}" "$url/list.txt"
kill -TERM "$server_pid"
wait "$server_pid" && echo "-- TandrelServer ended with status 0"
echo "-- the server's terminal output (its trace lines carry source line and error code)"
cat "$work/server/out.txt"
echo "-- the server's log file"
cat "$work/server"/server-*.log
