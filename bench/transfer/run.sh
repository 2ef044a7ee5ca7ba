#!/usr/bin/env bash
# Fetches (RETR) and stores (STOR) one file over loopback with curl, from the
# engine and from a stock vsftpd, taking turns, and prints the medians, the
# ratios ours/vsftpd and the engine's peak resident memory. With -t both
# servers require TLS (a certificate of a CA made for the run) and curl
# uses it for the login and every transfer (--ssl-reqd).
#
#   bench/transfer/run.sh [-n ROUNDS] [-s MIB] [-t]
#
# Installs vsftpd from the distribution's packages when it is missing, builds
# the engine's host in Release in ${BUILD_DIR:-build-bench} under the
# repository root (JOBS sets ninja's parallelism) and leaves nothing behind:
# both servers are stopped and the temporary folder removed, on failure too.
set -euo pipefail

usage() {
    echo "usage: $0 [-n ROUNDS] [-s MIB] [-t]" >&2
    exit 2
}

ROUNDS=3
SIZE_MIB=1024
TLS=
while getopts "n:s:th" option; do
    case $option in
        n) ROUNDS=$OPTARG ;;
        s) SIZE_MIB=$OPTARG ;;
        t) TLS=1 ;;
        *) usage ;;
    esac
done
[[ $ROUNDS =~ ^[1-9][0-9]*$ && $SIZE_MIB =~ ^[1-9][0-9]*$ ]] || usage

ROOT=$(cd "$(dirname "$0")/../.." && pwd)
BUILD="$ROOT/${BUILD_DIR:-build-bench}"
# shellcheck source=bench/ports.sh
. "$ROOT/bench/ports.sh"
# shellcheck source=bench/vsftpd.sh
. "$ROOT/bench/vsftpd.sh"
# The engine knows active mode only, and takes a data address only when it
# is the control connection's own; vsftpd is driven the same way so that
# both are measured alike.
CURL=(curl -sS --fail --ftp-port 127.0.0.1 --disable-eprt --connect-timeout 10 --max-time 600)
START_TIMEOUT_S=10

WORK=
ENGINE_PID=
SAMPLER_PID=

cleanup() {
    local status=$?
    trap - EXIT INT TERM HUP
    if [ -n "$SAMPLER_PID" ]; then
        kill "$SAMPLER_PID" 2>/dev/null || true
        wait "$SAMPLER_PID" 2>/dev/null || true
    fi
    # Closing the engine's control pipe alone would stop it; the signal makes
    # it quicker.
    { exec 3>&-; } 2>/dev/null || true
    if [ -n "$ENGINE_PID" ]; then
        kill "$ENGINE_PID" 2>/dev/null || true
        wait "$ENGINE_PID" 2>/dev/null || true
    fi
    vsftpd_stop
    if [ $status -ne 0 ] && [ -n "$WORK" ]; then
        for log in engine.log vsftpd.log; do
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
command -v curl >/dev/null || fail "curl is missing"

cmake -S "$ROOT" -B "$BUILD" -G Ninja -DTANDREL_TESTS=OFF -DCMAKE_BUILD_TYPE=Release >/dev/null
ninja -C "$BUILD" -j"${JOBS:-2}" transfer_bench_server >/dev/null
ENGINE="$BUILD/bin/transfer_bench_server"

# On the disk the servers write to, so that a stored copy costs what it
# would in use.
WORK=$(mktemp -d "${TMPDIR:-/tmp}/tandrel-transfer.XXXXXX")
chmod 755 "$WORK"
mkdir "$WORK/ours" "$WORK/vsroot" "$WORK/vsroot/pub" "$WORK/empty"
# vsftpd refuses an anonymous root that its account could write to; uploads
# go to a folder below it instead.
chmod 755 "$WORK/vsroot" "$WORK/empty"
chmod 777 "$WORK/vsroot/pub"

echo "creating a ${SIZE_MIB} MiB file in $WORK" >&2
head -c "$((SIZE_MIB * 1024 * 1024))" /dev/urandom >"$WORK/source.bin"
chmod 644 "$WORK/source.bin"
# One inode for both servers: both read the very same cached pages.
ln "$WORK/source.bin" "$WORK/ours/big.bin"
ln "$WORK/source.bin" "$WORK/vsroot/pub/big.bin"

ENGINE_TLS=()
VSFTPD_TLS=
PASV=NO
if [ -n "$TLS" ]; then
    # A CA of the run's own and a certificate for 127.0.0.1 that it signed.
    openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$WORK/ca.key" \
        -out "$WORK/ca.pem" -days 1 -subj "/CN=bench CA" \
        -addext "basicConstraints=critical,CA:TRUE" 2>/dev/null || fail "openssl failed"
    openssl req -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes -keyout "$WORK/server.key" \
        -out "$WORK/server.csr" -subj "/CN=127.0.0.1" 2>/dev/null || fail "openssl failed"
    printf 'subjectAltName=IP:127.0.0.1\n' >"$WORK/server.ext"
    openssl x509 -req -in "$WORK/server.csr" -CA "$WORK/ca.pem" -CAkey "$WORK/ca.key" \
        -CAcreateserial -out "$WORK/server.pem" -days 1 -extfile "$WORK/server.ext" 2>/dev/null ||
        fail "openssl failed"
    cat "$WORK/server.pem" "$WORK/server.key" >"$WORK/server-both.pem"
    ENGINE_TLS=("$WORK/server.pem" "$WORK/server.key")
    VSFTPD_TLS="ssl_enable=YES
rsa_cert_file=$WORK/server-both.pem
rsa_private_key_file=$WORK/server-both.pem
allow_anon_ssl=YES
force_anon_logins_ssl=YES
force_anon_data_ssl=YES"
    # Passive: curl's active mode under TLS fails to take the data
    # connection here ("sa_addr inet_ntop() failed"), with either server.
    CURL=(curl -sS --fail --connect-timeout 10 --max-time 600 --ssl-reqd --cacert "$WORK/ca.pem")
    PASV=YES
fi

ENGINE_PORT=$(free_port)
mkfifo "$WORK/engine.ctl"
# The engine stops when this script's end of the pipe closes, however the
# script ends.
"$ENGINE" "$ENGINE_PORT" "$WORK/ours" bench bench "${ENGINE_TLS[@]}" <"$WORK/engine.ctl" >"$WORK/engine.log" 2>&1 &
ENGINE_PID=$!
exec 3>"$WORK/engine.ctl"
wait_listening "$ENGINE_PORT" "$ENGINE_PID" "the engine"

VSFTPD_PORT=$(free_port)
[ "$VSFTPD_PORT" != "$ENGINE_PORT" ] || VSFTPD_PORT=$(free_port)
vsftpd_start "$WORK" "$VSFTPD_PORT" "$WORK/vsroot" 0 "no_anon_password=YES
write_enable=YES
anon_upload_enable=YES
anon_umask=022
pasv_enable=$PASV
$VSFTPD_TLS"

# The highest VmRSS seen while the engine serves, in KiB, to $1. Read with
# builtins and at a modest pace: the machine has few cores, and the sampler
# must not slow the server it watches.
sample_rss() {
    local out=$1 peak=0 key value
    trap 'echo "$peak" >"$out"; exit 0' TERM
    while :; do
        while read -r key value _; do
            if [ "$key" = VmRSS: ] && ((value > peak)); then
                peak=$value
            fi
        done <"/proc/$ENGINE_PID/status"
        sleep 0.1
    done
}

vm_hwm() {
    awk '/^VmHWM:/ { print $2 }' "/proc/$ENGINE_PID/status"
}

now_ns() {
    date +%s%N
}

# Sets URL, CREDENTIALS and STORED for one server.
select_server() {
    if [ "$1" = ours ]; then
        URL="ftp://127.0.0.1:$ENGINE_PORT"
        CREDENTIALS=bench:bench
        STORED="$WORK/ours/up.bin"
    else
        URL="ftp://127.0.0.1:$VSFTPD_PORT/pub"
        CREDENTIALS=anonymous:bench
        STORED="$WORK/vsroot/pub/up.bin"
    fi
}

retr() {
    "${CURL[@]}" -u "$CREDENTIALS" -o "$1" "$URL/big.bin" 3>&- || fail "RETR from $2 failed"
}

stor() {
    "${CURL[@]}" -u "$CREDENTIALS" -T "$WORK/source.bin" "$URL/up.bin" 3>&- ||
        fail "STOR to $1 failed"
}

# Untimed: every copy is compared byte for byte once, and both servers and
# the page cache are warm before the clock runs.
verify() {
    local server=$1
    select_server "$server"
    retr "$WORK/fetched.bin" "$server"
    cmp -s "$WORK/source.bin" "$WORK/fetched.bin" || fail "RETR from $server: the copy differs"
    stor "$server"
    cmp -s "$WORK/source.bin" "$STORED" || fail "STOR to $server: the copy differs"
    rm -f "$WORK/fetched.bin" "$STORED"
}

# Runs one timed transfer and leaves its rate in MiB/s in RATE; no subshell,
# so that the memory records it keeps survive.
#   transfer SERVER DIRECTION
transfer() {
    local server=$1 direction=$2 start end
    select_server "$server"
    # The previous upload's written pages go to disk now, not during this
    # transfer.
    rm -f "$STORED"
    sync
    if [ "$direction" = RETR ]; then
        if [ "$server" = ours ]; then
            sample_rss "$WORK/rss.peak" &
            SAMPLER_PID=$!
        fi
        # Fetched into nothing: the clock is for the server's sending, not
        # for the client's disk.
        start=$(now_ns)
        retr /dev/null "$server"
        end=$(now_ns)
        if [ -n "$SAMPLER_PID" ]; then
            kill -TERM "$SAMPLER_PID"
            wait "$SAMPLER_PID" || true
            SAMPLER_PID=
            local rss hwm
            rss=$(cat "$WORK/rss.peak")
            hwm=$(vm_hwm)
            RSS_PEAK_KIB=$((rss > RSS_PEAK_KIB ? rss : RSS_PEAK_KIB))
            HWM_PEAK_KIB=$((hwm > HWM_PEAK_KIB ? hwm : HWM_PEAK_KIB))
        fi
    else
        start=$(now_ns)
        stor "$server"
        end=$(now_ns)
    fi
    RATE=$(awk -v mib="$SIZE_MIB" -v ns=$((end - start)) 'BEGIN { printf "%.1f", mib * 1e9 / ns }')
}

median() {
    printf '%s\n' "$@" | sort -g | awk '{ v[NR] = $1 }
        END { if (NR % 2) print v[(NR + 1) / 2]; else printf "%.1f", (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

declare -a OURS_RETR=() PEER_RETR=() OURS_STOR=() PEER_STOR=()
RSS_PEAK_KIB=0
HWM_PEAK_KIB=0
RATE=
URL=
CREDENTIALS=
STORED=

verify ours
verify vsftpd

for round in $(seq "$ROUNDS"); do
    # The order flips every round, so that a burst of load from elsewhere on
    # the machine does not always hit the same server.
    if ((round % 2)); then order=(ours vsftpd); else order=(vsftpd ours); fi
    for direction in RETR STOR; do
        for server in "${order[@]}"; do
            transfer "$server" "$direction"
            rate=$RATE
            if [ "$server" = ours ]; then
                if [ "$direction" = RETR ]; then OURS_RETR+=("$rate"); else OURS_STOR+=("$rate"); fi
            else
                if [ "$direction" = RETR ]; then PEER_RETR+=("$rate"); else PEER_STOR+=("$rate"); fi
            fi
        done
    done
    echo "round $round: RETR ours ${OURS_RETR[-1]} MiB/s, vsftpd ${PEER_RETR[-1]} MiB/s;" \
        "STOR ours ${OURS_STOR[-1]} MiB/s, vsftpd ${PEER_STOR[-1]} MiB/s" >&2
done

OURS_RETR_MEDIAN=$(median "${OURS_RETR[@]}")
PEER_RETR_MEDIAN=$(median "${PEER_RETR[@]}")
OURS_STOR_MEDIAN=$(median "${OURS_STOR[@]}")
PEER_STOR_MEDIAN=$(median "${PEER_STOR[@]}")
echo "RETR ours: $OURS_RETR_MEDIAN MiB/s (median of $ROUNDS)"
echo "RETR vsftpd: $PEER_RETR_MEDIAN MiB/s (median of $ROUNDS)"
echo "STOR ours: $OURS_STOR_MEDIAN MiB/s (median of $ROUNDS)"
echo "STOR vsftpd: $PEER_STOR_MEDIAN MiB/s (median of $ROUNDS)"
OVER=${TLS:+ over TLS}
awk -v a="$OURS_RETR_MEDIAN" -v b="$PEER_RETR_MEDIAN" -v over="$OVER" \
    'BEGIN { printf "ratio ours/vsftpd RETR%s: %.2f\n", over, a / b }'
awk -v a="$OURS_STOR_MEDIAN" -v b="$PEER_STOR_MEDIAN" -v over="$OVER" \
    'BEGIN { printf "ratio ours/vsftpd STOR%s: %.2f\n", over, a / b }'
# VmHWM is the process's peak since it started, so it bounds every moment
# of the fetch, including any the sampling missed.
echo "engine VmRSS while serving RETR: at most $((RSS_PEAK_KIB)) KiB sampled; VmHWM $((HWM_PEAK_KIB)) KiB" >&2
awk -v k="$HWM_PEAK_KIB" 'BEGIN { printf "engine peak RSS: %.1f MiB\n", k / 1024 }'
