# shellcheck shell=bash
# A stock vsftpd for the benchmarks to measure against, on a loopback port of
# its own. Sourced by the run.sh scripts after bench/ports.sh; they define
# fail() and START_TIMEOUT_S, and call vsftpd_stop from their cleanup.

VSFTPD=/usr/sbin/vsftpd
SUDO=
if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
fi
VSFTPD_PID=

vsftpd_install() {
    if [ ! -x "$VSFTPD" ]; then
        echo "installing vsftpd" >&2
        $SUDO apt-get update -qq
        $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq vsftpd >/dev/null
    fi
}

# Starts vsftpd in the foreground with anonymous logins rooted at ROOT and
# waits until it listens; sets VSFTPD_PID. Its configuration, log and pid
# file go to DIR, which must hold an empty folder "empty" (its chroot
# folder, which it refuses when writable). EXTRA holds further configuration
# lines; NICENESS is added to the scheduling niceness it runs at.
#   vsftpd_start DIR PORT ROOT NICENESS [EXTRA]
vsftpd_start() {
    local dir=$1 port=$2 root=$3 niceness=$4 extra=${5:-}
    cat >"$dir/vsftpd.conf" <<EOF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$port
background=NO
anonymous_enable=YES
anon_root=$root
local_enable=NO
port_enable=YES
connect_from_port_20=NO
secure_chroot_dir=$dir/empty
xferlog_enable=NO
# A container may not offer the namespaces and system call filter that
# vsftpd sets up by default; the transfer path is the same without them.
isolate=NO
isolate_network=NO
seccomp_sandbox=NO
$extra
EOF
    if [ -n "$SUDO" ]; then
        # vsftpd reads only a configuration owned by the user it runs as.
        $SUDO chown root:root "$dir/vsftpd.conf"
    fi
    # Its own process group, so that vsftpd_stop reaches the listener and
    # every session it forked.
    # shellcheck disable=SC2016 # expanded by the inner shell
    $SUDO setsid sh -c 'echo $$ >"$1"; exec nice -n "$2" "$3" "$4"' sh "$dir/vsftpd.pid" \
        "$niceness" "$VSFTPD" "$dir/vsftpd.conf" </dev/null >"$dir/vsftpd.log" 2>&1 3>&- &
    for _ in $(seq 100); do
        [ -s "$dir/vsftpd.pid" ] && break
        sleep 0.05
    done
    [ -s "$dir/vsftpd.pid" ] || fail "vsftpd did not start"
    VSFTPD_PID=$(cat "$dir/vsftpd.pid")
    wait_listening "$port" "$VSFTPD_PID" "vsftpd"
}

vsftpd_stop() {
    if [ -n "$VSFTPD_PID" ]; then
        $SUDO kill -TERM -- "-$VSFTPD_PID" 2>/dev/null || true
        for _ in $(seq 50); do
            [ -d "/proc/$VSFTPD_PID" ] || break
            sleep 0.1
        done
        VSFTPD_PID=
    fi
}
