#!/usr/bin/env bash
# Times a whole TandrelClient sync run (PUT of one flat folder) against
# TandrelServer, and `rsync -r --checksum` of the same folder to an rsync
# daemon, both over loopback and taking turns, in two cases: every file
# already equal on the server ("unchanged") and every file changed since the
# last run ("changed"). Prints the medians and the ratios ours/rsync.
#
#   bench/sync/run.sh [-n ROUNDS] [-f FILES] [-k KIB]
#
# Without -f and -k it measures two trees, one after the other: 1000 files
# of 4 KiB (where the cost per file shows) and 20 files of 50 MiB (where the
# cost per byte does).
#
# Installs rsync from the distribution's packages when it is missing, builds
# both programs in Release in ${BUILD_DIR:-build-bench} under the repository
# root (JOBS sets ninja's parallelism) and leaves nothing behind: the server
# and the daemon are stopped and the temporary folder removed, on failure and
# Ctrl+C too, and by a watchdog should the script itself be killed.
set -euo pipefail

usage() {
    echo "usage: $0 [-n ROUNDS] [-f FILES] [-k KIB]" >&2
    exit 2
}

ROUNDS=5
FILES=
FILE_KIB=
while getopts "n:f:k:h" option; do
    case $option in
        n) ROUNDS=$OPTARG ;;
        f) FILES=$OPTARG ;;
        k) FILE_KIB=$OPTARG ;;
        *) usage ;;
    esac
done
if [ -z "$FILES" ] && [ -z "$FILE_KIB" ]; then
    "$0" -n "$ROUNDS" -f 1000 -k 4
    echo
    exec "$0" -n "$ROUNDS" -f 20 -k 51200
fi
FILES=${FILES:-1000}
FILE_KIB=${FILE_KIB:-4}
[[ $ROUNDS =~ ^[1-9][0-9]*$ && $FILES =~ ^[1-9][0-9]*$ && $FILE_KIB =~ ^[1-9][0-9]*$ ]] || usage
# The names come from split's numeric suffixes, four digits wide.
((FILES <= 10000)) || { echo "at most 10000 files" >&2; exit 2; }

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD="$ROOT/${BUILD_DIR:-build-bench}"
SUDO=
if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
fi
START_TIMEOUT_S=10
# A run that hangs must end the benchmark, not stall it.
RUN_TIMEOUT_S=300
USER_NAME=bench
PASSWORD=bench
MODULE=bench

WORK=
SERVER_PID=
RSYNCD_PID=
WATCHDOG_PID=
RUN_PID=

# Sends TERM to a process (or, with "group", to its process group), gives it
# a few seconds to end and then kills it.
#   stop_process PID [group]
stop_process() {
    local pid=$1 target=$1
    if [ "${2:-}" = group ]; then
        target=-$1
    fi
    kill -TERM -- "$target" 2>/dev/null || true
    for _ in $(seq 50); do
        [ -d "/proc/$pid" ] || break
        sleep 0.1
    done
    kill -KILL -- "$target" 2>/dev/null || true
    wait "$pid" 2>/dev/null || true
}

# Stops the server and the daemon's whole process group (the listener and
# any session it forked); safe to call more than once.
stop_servers() {
    if [ -n "$SERVER_PID" ]; then
        stop_process "$SERVER_PID"
        SERVER_PID=
    fi
    if [ -n "$RSYNCD_PID" ]; then
        stop_process "$RSYNCD_PID" group
        RSYNCD_PID=
    fi
}

cleanup() {
    local status=$?
    trap - EXIT INT TERM HUP
    # The watchdog goes first: once the servers are stopped here, their ids
    # may soon belong to other processes.
    if [ -n "$WATCHDOG_PID" ]; then
        kill "$WATCHDOG_PID" 2>/dev/null || true
        wait "$WATCHDOG_PID" 2>/dev/null || true
    fi
    exec 3>&-
    # The client finishes its run before it heeds SIGINT or SIGTERM.
    if [ -n "$RUN_PID" ]; then
        kill -KILL -- "-$RUN_PID" 2>/dev/null || kill -KILL "$RUN_PID" 2>/dev/null || true
        wait "$RUN_PID" 2>/dev/null || true
    fi
    stop_servers
    if [ $status -ne 0 ] && [ -n "$WORK" ]; then
        for log in server.log rsyncd.log client.out rsync.out; do
            if [ -s "$WORK/$log" ]; then
                echo "--- last lines of $log" >&2
                tail -n 20 "$WORK/$log" >&2
            fi
        done
    fi
    if [ -n "$WORK" ]; then
        rm -rf -- "$WORK"
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

if ! command -v rsync >/dev/null; then
    echo "installing rsync" >&2
    $SUDO apt-get update -qq
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq rsync >/dev/null
fi

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DTANDREL_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C "$BUILD" -j"${JOBS:-2}" TandrelServer TandrelClient >/dev/null

# On disk, not in memory: a stored copy should cost what it does in use.
WORK=$(mktemp -d "${TMPDIR:-/tmp}/tandrel-sync.XXXXXX")
mkdir "$WORK/server" "$WORK/client" "$WORK/tree" "$WORK/served" "$WORK/module"
# Each program reads its settings beside its own file, so each gets a copy.
cp "$BUILD/bin/TandrelServer" "$WORK/server/"
cp "$BUILD/bin/TandrelClient" "$WORK/client/"

# Fills the tree with new random content: the same names and sizes, every
# file different from before. split rewrites the files in place.
refill_tree() {
    head -c "$((FILES * FILE_KIB * 1024))" /dev/urandom |
        split -b "$((FILE_KIB * 1024))" -a 4 -d - "$WORK/tree/f"
}

echo "creating $FILES files of $FILE_KIB KiB in $WORK" >&2
refill_tree
cp -p "$WORK"/tree/* "$WORK/served/"
cp -p "$WORK"/tree/* "$WORK/module/"

# shellcheck source=bench/ports.sh
. "$ROOT/bench/ports.sh"

SERVER_PORT=$(free_port)
cat >"$WORK/server/TandrelServer.INI" <<EOF
[TCP]
Port=$SERVER_PORT
StartDir=$WORK/served
Welcome=bench
[USER]
User=$USER_NAME
Pwd=$PASSWORD
EOF
(cd "$WORK/server" && exec ./TandrelServer -start -console) </dev/null >"$WORK/server.log" 2>&1 &
SERVER_PID=$!
wait_listening "$SERVER_PORT" "$SERVER_PID" "TandrelServer"
grep -qx "Server started on port $SERVER_PORT" "$WORK/server.log" ||
    fail "TandrelServer listens but did not report its start"

RSYNCD_PORT=$(free_port)
[ "$RSYNCD_PORT" != "$SERVER_PORT" ] || RSYNCD_PORT=$(free_port)
{
    echo "use chroot = no"
    echo "log file = $WORK/rsyncd.log"
    echo "[$MODULE]"
    echo "path = $WORK/module"
    echo "read only = no"
    # As root the daemon would otherwise become nobody and could not write
    # to the module; as anyone else it stays who it is.
    if [ "$(id -u)" -eq 0 ]; then
        echo "uid = $(id -u)"
        echo "gid = $(id -g)"
    fi
} >"$WORK/rsyncd.conf"
# Its own process group, so that stopping it takes any forked session too.
setsid rsync --daemon --no-detach --config="$WORK/rsyncd.conf" --address=127.0.0.1 \
    --port="$RSYNCD_PORT" </dev/null >"$WORK/rsyncd.out" 2>&1 &
RSYNCD_PID=$!
wait_listening "$RSYNCD_PORT" "$RSYNCD_PID" "the rsync daemon"

# Should the script be killed outright, no trap runs: the watchdog sees our
# end of the pipe close however we end, and stops both servers and removes
# the temporary folder. It lives in its own session, so that a signal to our
# process group does not take it along.
mkfifo "$WORK/alive"
# shellcheck disable=SC2016 # expanded by the inner shell
setsid bash -c 'read -r _ <"$1" || true
    kill "$2" 2>/dev/null || true
    kill -TERM -- "-$3" 2>/dev/null || true
    sleep 2
    kill -KILL "$2" 2>/dev/null || true
    kill -KILL -- "-$3" 2>/dev/null || true
    rm -rf -- "$4"' watchdog "$WORK/alive" "$SERVER_PID" "$RSYNCD_PID" "$WORK" \
    </dev/null >/dev/null 2>&1 &
WATCHDOG_PID=$!
# Read and write: opening does not wait for the watchdog to be reading.
exec 3<>"$WORK/alive"

cat >"$WORK/client/TandrelClient.INI" <<EOF
[TandrelClient]
Version=Quillon 4.1
[SERVER]
Label=bench
Address=127.0.0.1
Port=$SERVER_PORT
User=$USER_NAME
Pwd=$PASSWORD
Log=$WORK/client.log
[PUT]
LocalFiles=*
LocalDir=$WORK/tree
RemoteDir=
EOF

now_ns() {
    date +%s%N
}

# Runs a program in the background and waits for it: a signal to the script
# then ends the wait at once and cleanup stops the program, where a program
# in the foreground would keep the trap waiting until it ended. timeout puts
# itself and the program in a process group of their own, so both can be
# stopped together. The programs must not hold the watchdog's pipe open
# (fd 3).
#   run_child COMMAND...
run_child() {
    local status=0
    timeout -k 5 "$RUN_TIMEOUT_S" "$@" </dev/null 3>&- &
    RUN_PID=$!
    wait "$RUN_PID" || status=$?
    RUN_PID=
    return $status
}

run_ours() {
    run_child "$WORK/client/TandrelClient" -silent -console >"$WORK/client.out" 2>"$WORK/client.err"
}

run_rsync() {
    run_child rsync -r --checksum --stats "$WORK/tree/" "rsync://127.0.0.1:$RSYNCD_PORT/$MODULE/" \
        >"$WORK/rsync.out" 2>&1
}

# Untimed: a run counts only when it did what the case expects, file for
# file, and left a copy equal to the tree.
#   check TOOL CASE STATUS
check() {
    local tool=$1 kind=$2 status=$3 expected count
    if [ "$tool" = ours ]; then
        [ "$status" -eq 0 ] || fail "TandrelClient ($kind) exited with $status"
        grep -qx "PUT Files: $FILES OK" "$WORK/client.out" ||
            fail "TandrelClient ($kind): no line \"PUT Files: $FILES OK\""
        if [ "$kind" = unchanged ]; then expected="OK EQUAL: PUT "; else expected="OK TRANSM: PUT "; fi
        count=$(grep -c "^$expected" "$WORK/client.out" || true)
        [ "$count" -eq "$FILES" ] ||
            fail "TandrelClient ($kind): $count of $FILES lines \"$expected…\""
        diff -rq "$WORK/tree" "$WORK/served" >/dev/null ||
            fail "TandrelClient ($kind): the server's folder differs from the tree"
    else
        [ "$status" -eq 0 ] || fail "rsync ($kind) exited with $status"
        if [ "$kind" = unchanged ]; then expected=0; else expected=$FILES; fi
        count=$(awk -F': ' '/^Number of regular files transferred:/ { gsub(",", "", $2); print $2 }' \
            "$WORK/rsync.out")
        [ "$count" = "$expected" ] ||
            fail "rsync ($kind): ${count:-no count of} files transferred, $expected expected"
        diff -rq "$WORK/tree" "$WORK/module" >/dev/null ||
            fail "rsync ($kind): the module's folder differs from the tree"
    fi
}

# Runs one timed sync and leaves its wall-clock time in ms in MS.
#   timed TOOL CASE
timed() {
    local tool=$1 kind=$2 start end status=0
    # Written pages of earlier runs go to disk now, not during this one.
    sync
    start=$(now_ns)
    if [ "$tool" = ours ]; then run_ours || status=$?; else run_rsync || status=$?; fi
    end=$(now_ns)
    check "$tool" "$kind" "$status"
    MS=$(awk -v ns=$((end - start)) 'BEGIN { printf "%.1f", ns / 1e6 }')
}

median() {
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 }
        END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.1f", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

declare -a OURS_UNCHANGED=() PEER_UNCHANGED=() OURS_CHANGED=() PEER_CHANGED=()
MS=

# Warms both servers, both programs and the page cache; not counted.
timed ours unchanged
timed rsync unchanged

for round in $(seq "$ROUNDS"); do
    # The order flips every round, so that a burst of load from elsewhere on
    # the machine does not always hit the same tool.
    if ((round % 2)); then order=(ours rsync); else order=(rsync ours); fi
    for tool in "${order[@]}"; do
        timed "$tool" unchanged
        if [ "$tool" = ours ]; then OURS_UNCHANGED+=("$MS"); else PEER_UNCHANGED+=("$MS"); fi
    done
    # One new content for both: each side's copy is then one round old, so
    # both move every file, and both are equal to the tree again for the
    # next round's unchanged case.
    refill_tree
    for tool in "${order[@]}"; do
        timed "$tool" changed
        if [ "$tool" = ours ]; then OURS_CHANGED+=("$MS"); else PEER_CHANGED+=("$MS"); fi
    done
    echo "round $round: unchanged ours ${OURS_UNCHANGED[-1]} ms, rsync ${PEER_UNCHANGED[-1]} ms;" \
        "changed ours ${OURS_CHANGED[-1]} ms, rsync ${PEER_CHANGED[-1]} ms" >&2
done

OURS_UNCHANGED_MEDIAN=$(median "${OURS_UNCHANGED[@]}")
PEER_UNCHANGED_MEDIAN=$(median "${PEER_UNCHANGED[@]}")
OURS_CHANGED_MEDIAN=$(median "${OURS_CHANGED[@]}")
PEER_CHANGED_MEDIAN=$(median "${PEER_CHANGED[@]}")
echo "$FILES files of $FILE_KIB KiB, median of $ROUNDS rounds"
echo "unchanged ours: $OURS_UNCHANGED_MEDIAN ms"
echo "unchanged rsync: $PEER_UNCHANGED_MEDIAN ms"
echo "changed ours: $OURS_CHANGED_MEDIAN ms"
echo "changed rsync: $PEER_CHANGED_MEDIAN ms"
awk -v a="$OURS_UNCHANGED_MEDIAN" -v b="$PEER_UNCHANGED_MEDIAN" \
    'BEGIN { printf "ratio ours/rsync unchanged: %.2f\n", a / b }'
awk -v a="$OURS_CHANGED_MEDIAN" -v b="$PEER_CHANGED_MEDIAN" \
    'BEGIN { printf "ratio ours/rsync changed: %.2f\n", a / b }'
