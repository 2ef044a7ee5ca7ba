#!/usr/bin/env bash
# Runs C clients at once against TandrelServer (MaxSessions=64) and against a
# stock vsftpd, side by side in one run, for C = 1, 2, 4 ... 64, and prints
# one table: sessions per second and the session latency (median and 99th
# percentile) for each server, the ratio ours/vsftpd of sessions per second,
# and for each server the first C whose median latency is at least twice
# the median at C=1.
#
#   bench/load/run.sh [-n ROUNDS] [-s SECONDS] [-c "1 2 4 ..."]
#
# Installs vsftpd from the distribution's packages when it is missing, builds
# in Release in ${BUILD_DIR:-build-bench} under the repository root (JOBS
# sets ninja's parallelism) and leaves nothing behind: both servers are
# stopped and the temporary folder removed, on failure too.
set -euo pipefail

usage() {
    echo "usage: $0 [-n ROUNDS] [-s SECONDS] [-c \"1 2 4 ...\"]" >&2
    exit 2
}

ROUNDS=3
SECONDS_EACH=2
CLIENT_COUNTS="1 2 4 8 16 32 64"
while getopts "n:s:c:h" option; do
    case $option in
        n) ROUNDS=$OPTARG ;;
        s) SECONDS_EACH=$OPTARG ;;
        c) CLIENT_COUNTS=$OPTARG ;;
        *) usage ;;
    esac
done
[[ $ROUNDS =~ ^[1-9][0-9]*$ && $SECONDS_EACH =~ ^[0-9]+(\.[0-9]+)?$ ]] || usage
[[ $CLIENT_COUNTS =~ ^[1-9][0-9]*( [1-9][0-9]*)*$ ]] || usage
read -ra CLIENTS <<<"$CLIENT_COUNTS"

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD="$ROOT/${BUILD_DIR:-build-bench}"
# shellcheck source=bench/ports.sh
. "$ROOT/bench/ports.sh"
# shellcheck source=bench/vsftpd.sh
. "$ROOT/bench/vsftpd.sh"
START_TIMEOUT_S=10
MAX_SESSIONS=64
# Every session fetches this file whole and compares it: small enough that
# the sessions, not the transfer, are what is measured.
FILE_SIZE=4096

WORK=
OURS_PID=

cleanup() {
    local status=$?
    trap - EXIT INT TERM HUP
    # Closing the server's input ends it too; the signal makes it quicker.
    { exec 3>&-; } 2>/dev/null || true
    if [ -n "$OURS_PID" ]; then
        kill "$OURS_PID" 2>/dev/null || true
        wait "$OURS_PID" 2>/dev/null || true
    fi
    vsftpd_stop
    if [ $status -ne 0 ] && [ -n "$WORK" ]; then
        for log in ours/server.log ours/stderr.log vsftpd.log; do
            if [ -s "$WORK/$log" ]; then
                echo "--- last lines of $log" >&2
                tail -n 20 "$WORK/$log" >&2
            fi
        done
    fi
    if [ -n "$WORK" ]; then
        $SUDO rm -rf -- "$WORK"
    fi
    exit $status
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
trap 'exit 129' HUP

fail() {
    echo "$*" >&2
    exit 1
}

vsftpd_install

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DTANDREL_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C "$BUILD" -j"${JOBS:-2}" load TandrelServer >/dev/null
LOAD="$BUILD/bin/load"

WORK=$(mktemp -d "${TMPDIR:-/tmp}/tandrel-load.XXXXXX")
# vsftpd's anonymous account must reach the file, and refuses a root that it
# could write to.
chmod 755 "$WORK"
mkdir "$WORK/ours" "$WORK/ours/root" "$WORK/ours/run" "$WORK/vsroot" "$WORK/empty"
chmod 755 "$WORK/vsroot" "$WORK/empty"
head -c "$FILE_SIZE" /dev/urandom >"$WORK/small.bin"
chmod 644 "$WORK/small.bin"
ln "$WORK/small.bin" "$WORK/ours/root/small.bin"
ln "$WORK/small.bin" "$WORK/vsroot/small.bin"

# TandrelServer as an operator runs it: its own copy with its settings file
# beside it, unattended in the terminal, its input held open.
OURS_PORT=$(free_port)
cp "$BUILD/bin/TandrelServer" "$WORK/ours/TandrelServer"
cat >"$WORK/ours/TandrelServer.INI" <<EOF
[TandrelServer]
Version=Quillon 4.1
[TCP]
Port=$OURS_PORT
StartDir=$WORK/ours/root
Welcome=load
Log=$WORK/ours/server.log
MaxSessions=$MAX_SESSIONS
[USER]
User=bench
Pwd=bench
EOF
mkfifo "$WORK/ours.ctl"
# Its traces go to the log file as well; the terminal copy is not needed.
XDG_RUNTIME_DIR="$WORK/ours/run" env -u DISPLAY -u WAYLAND_DISPLAY \
    "$WORK/ours/TandrelServer" -start -console <"$WORK/ours.ctl" >/dev/null \
    2>"$WORK/ours/stderr.log" &
OURS_PID=$!
exec 3>"$WORK/ours.ctl"
wait_listening "$OURS_PORT" "$OURS_PID" "TandrelServer"
# Without this line the server would serve one session at a time, and the
# table would measure the queue.
for _ in $(seq 100); do
    grep -qx "Up to $MAX_SESSIONS sessions at once" "$WORK/ours/server.log" 2>/dev/null && break
    sleep 0.05
done
grep -qx "Up to $MAX_SESSIONS sessions at once" "$WORK/ours/server.log" ||
    fail "TandrelServer did not say it serves $MAX_SESSIONS sessions at once"

VSFTPD_PORT=$(free_port)
[ "$VSFTPD_PORT" != "$OURS_PORT" ] || VSFTPD_PORT=$(free_port)
# Our sessions run at the lowest priority (nice 19); vsftpd runs there too,
# so that other work on the machine takes from both alike. vsftpd limits
# clients per address (50 by default) and refuses those beyond; here it
# takes all, as ours queues them.
vsftpd_start "$WORK" "$VSFTPD_PORT" "$WORK/vsroot" 19 "pasv_enable=YES
max_clients=0
max_per_ip=0"

# Prints the driver's line for one server and C; a failed session is in it
# (failed=N), an unusable run ends the script.
#   drive SERVER CLIENTS ARGUMENTS...
drive() {
    local server=$1 clients=$2 line status=0
    shift 2
    local login=(--user bench --pass bench)
    local port=$OURS_PORT
    if [ "$server" = vsftpd ]; then
        login=(--user anonymous --pass bench)
        port=$VSFTPD_PORT
    fi
    # At the servers' priority: a client that ran ahead of them would fill
    # their listen queues faster than they could ever take them.
    line=$(nice -n 19 "$LOAD" --port "$port" "${login[@]}" --file small.bin --expect "$WORK/small.bin" \
        --clients "$clients" "$@" 3>&-) || status=$?
    if [ $status -gt 1 ] || [[ $line != clients=* ]]; then
        fail "the load driver failed against $server (exit status $status)"
    fi
    echo "$line"
}

# The value of KEY=VALUE in a driver's line.
field() {
    local key=$2 word
    for word in $1; do
        if [ "${word%%=*}" = "$key" ]; then
            echo "${word#*=}"
            return
        fi
    done
}

# Connections that the kernel found no room for in a listen queue, on the
# whole machine: such a client waits at the handshake, and may be forgotten.
listen_overflows() {
    awk '$1 == "TcpExt:" { if (!names) { for (i = 2; i <= NF; i++) if ($i == "ListenOverflows") k = i; names = 1 }
        else print $k }' /proc/net/netstat
}

median() {
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 }
        END { printf "%.2f\n", (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# Untimed: both servers serve whole sessions correctly before the clock runs.
for server in ours vsftpd; do
    line=$(drive "$server" 4 --sessions 40)
    [ "$(field "$line" failed)" = 0 ] || fail "sessions against $server fail before the run: $line"
done

declare -A RATES=() P50S=() P99S=() FAILED=([ours]=0 [vsftpd]=0) OVERFLOWS=([ours]=0 [vsftpd]=0)
for round in $(seq "$ROUNDS"); do
    # The order flips every round, so that a burst of load from elsewhere on
    # the machine does not always hit the same server.
    if ((round % 2)); then order=(ours vsftpd); else order=(vsftpd ours); fi
    for clients in "${CLIENTS[@]}"; do
        for server in "${order[@]}"; do
            before=$(listen_overflows)
            line=$(drive "$server" "$clients" --seconds "$SECONDS_EACH")
            overflows=$(($(listen_overflows) - before))
            OVERFLOWS[$server]=$((OVERFLOWS[$server] + overflows))
            echo "round $round $server: $line listen_overflows=$overflows" >&2
            RATES[$server,$clients]+=" $(field "$line" sessions/s)"
            P50S[$server,$clients]+=" $(field "$line" p50_ms)"
            P99S[$server,$clients]+=" $(field "$line" p99_ms)"
            FAILED[$server]=$((FAILED[$server] + $(field "$line" failed)))
        done
    done
done

echo "sessions of ${FILE_SIZE}-byte RETR over loopback, ${SECONDS_EACH} s each, median of $ROUNDS rounds"
printf '%4s %12s %18s %12s %18s %12s\n' C "ours s/s" "ours p50/p99 ms" "vsftpd s/s" \
    "vsftpd p50/p99 ms" "ours/vsftpd"
declare -A BASE=() DOUBLED=()
for clients in "${CLIENTS[@]}"; do
    row=()
    for server in ours vsftpd; do
        # shellcheck disable=SC2086 # the lists are words on purpose
        rate=$(median ${RATES[$server,$clients]})
        # shellcheck disable=SC2086
        p50=$(median ${P50S[$server,$clients]})
        # shellcheck disable=SC2086
        p99=$(median ${P99S[$server,$clients]})
        row+=("$rate" "$p50/$p99")
        [ -n "${BASE[$server]:-}" ] || BASE[$server]=$p50
        if [ -z "${DOUBLED[$server]:-}" ] &&
            awk -v a="$p50" -v b="${BASE[$server]}" 'BEGIN { exit !(b > 0 && a >= 2 * b) }'; then
            DOUBLED[$server]=$clients
        fi
    done
    ratio=$(awk -v a="${row[0]}" -v b="${row[2]}" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "-" }')
    printf '%4s %12.1f %18s %12.1f %18s %12s\n' "$clients" "${row[0]}" "${row[1]}" "${row[2]}" \
        "${row[3]}" "$ratio"
done
for server in ours vsftpd; do
    if [ -n "${DOUBLED[$server]:-}" ]; then
        echo "$server: latency doubled at C=${DOUBLED[$server]}"
    else
        echo "$server: latency did not double up to C=${CLIENTS[-1]}"
    fi
done
echo "failed sessions: ours ${FAILED[ours]}, vsftpd ${FAILED[vsftpd]}"
echo "listen queue overflows (whole machine): ours ${OVERFLOWS[ours]}, vsftpd ${OVERFLOWS[vsftpd]}"
if ((FAILED[ours] + FAILED[vsftpd] > 0)); then
    exit 1
fi
