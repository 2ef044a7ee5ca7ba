# Loopback ports for the benchmarks, read from the kernel's socket table.
# Sourced by the run.sh scripts, which define fail() and START_TIMEOUT_S.

port_in_use() {
    local hex
    hex=$(printf '%04X' "$1")
    awk -v port="$hex" 'NR > 1 { split($2, a, ":"); if (a[2] == port) found = 1 }
        END { exit !found }' /proc/net/tcp /proc/net/tcp6
}

free_port() {
    local port
    for _ in $(seq 200); do
        port=$((20000 + RANDOM % 40000))
        if ! port_in_use "$port"; then
            echo "$port"
            return 0
        fi
    done
    fail "no free port found"
}

# Waits for a listener without connecting to it: our server would take a
# probe for its one session.
wait_listening() {
    local port=$1 pid=$2 name=$3 hex deadline
    hex=$(printf '%04X' "$port")
    deadline=$((SECONDS + START_TIMEOUT_S))
    while ((SECONDS < deadline)); do
        [ -d "/proc/$pid" ] || fail "$name ended before it listened"
        # Our server listens on IPv6 with IPv4 beside (one dual-stack socket).
        if awk -v port="$hex" 'FNR > 1 { split($2, a, ":"); if (a[2] == port && $4 == "0A") found = 1 }
            END { exit !found }' /proc/net/tcp /proc/net/tcp6; then
            return 0
        fi
        sleep 0.05
    done
    fail "$name does not listen on port $port after ${START_TIMEOUT_S} s"
}
