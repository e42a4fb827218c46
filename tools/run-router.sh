#!/usr/bin/env bash
# Starts the simulated router under a temporary root: the configuration database (loaded with
# the router's default configuration), the system manager, the forwarding plane, fibd and hbusd
# (with the TLOCs of examples/tlocs.txt; change them with hbusctl), then plxd in the foreground
# (it waits until the forwarding plane reports ready). The system manager prints every hello it
# receives. Ctrl-C stops everything in order: plxd first
# (SIGUSR2, its orderly stop), then hbusd, fibd, the forwarding plane, the system manager and the
# configuration database.
#
# usage: tools/run-router.sh [build-dir]
set -uo pipefail
BUILD=${1:-build}
PLXD="$BUILD/daemon/plxd"
SYSMGRD="$BUILD/peers/sysmgrd/sysmgrd"
FWDPLANE="$BUILD/peers/fwdplane/fwdplane"
FIBD="$BUILD/peers/fibd/fibd"
HBUSD="$BUILD/peers/hbusd/hbusd"
CDBD="$BUILD/peers/cdbd/cdbd"
CDBCLI="$BUILD/peers/cdbd/cdbcli"
HERE=$(cd "$(dirname "$0")/.." && pwd)
if [ ! -x "$PLXD" ]; then
    echo "run-router: $PLXD not found; build first (make build)" >&2
    exit 1
fi

ROOT=$(mktemp -d /tmp/plx-router.XXXXXX)
export PLX_ROOT=$ROOT
export PLX_SHM_PREFIX="plx-$$-"
mkdir -p "$ROOT/var/run" "$ROOT/boot" "$ROOT/etc/default"
# The small forwarding-plane profile (a 100 MiB shared object).
echo small > "$ROOT/etc/default/sim_size"
echo "Simulated router root: $ROOT (Ctrl-C stops the router)"

cdbd_pid=
sysmgr_pid=
fwdplane_pid=
fibd_pid=
hbusd_pid=
plxd_pid=
stopped=0

# Stops one daemon with the given signal and reports how it ended.
stop() {
    local name=$1 pid=$2 sig=$3
    [ -n "$pid" ] || return 0
    if kill -0 "$pid" 2>/dev/null; then
        echo "Stopping $name (pid $pid)"
        kill "-$sig" "$pid" 2>/dev/null
    fi
    wait "$pid" 2>/dev/null
    echo "$name exited with status $?"
}

cleanup() {
    [ "$stopped" = 1 ] && return
    stopped=1
    trap '' INT
    stop plxd "$plxd_pid" USR2
    stop hbusd "$hbusd_pid" TERM
    stop fibd "$fibd_pid" TERM
    stop fwdplane "$fwdplane_pid" TERM
    stop sysmgrd "$sysmgr_pid" TERM
    stop cdbd "$cdbd_pid" TERM
    rm -rf "$ROOT"
    rm -f "/dev/shm/${PLX_SHM_PREFIX}almushtarika"
}
trap cleanup INT TERM EXIT

# Each daemon runs in a session of its own so that the terminal's Ctrl-C reaches only this script
# (plxd treats SIGINT as a fatal signal); the script then stops them in order.
if [ -x "$CDBD" ] && [ -x "$CDBCLI" ]; then
    setsid "$CDBD" --yang-dir "$BUILD/yang" --db-dir "$ROOT/var/confd/cdb" &
    cdbd_pid=$!
    for _ in $(seq 50); do "$CDBCLI" status >/dev/null 2>&1 && break; sleep 0.1; done
    if "$CDBCLI" load "$HERE/examples/default-config.xml"; then
        echo "Configuration database up with the default configuration (cdbcli show prints it)"
    else
        echo "run-router: loading the default configuration failed" >&2
    fi
    # The daemons that read their configuration first (bits chmgrd = 1 and ifmgrd = 2 of the
    # initial-read order) do not run here: mark them done, keeping any bit already set. fibd
    # sets its own bit (4), after which plxd reads its configuration.
    bits=$("$CDBCLI" oper get /qconfd-initial-read-priority 2>/dev/null || true)
    for b in chmgrd ifmgrd; do
        case " $bits " in *" $b "*) ;; *) bits="${bits:+$bits }$b" ;; esac
    done
    "$CDBCLI" oper set /qconfd-initial-read-priority "$bits" >/dev/null ||
        echo "run-router: setting the initial-read bits failed" >&2
else
    echo "run-router: $CDBD not found; running without the configuration database" >&2
fi
if [ -x "$SYSMGRD" ]; then
    setsid "$SYSMGRD" &
    sysmgr_pid=$!
    sleep 0.2
else
    echo "run-router: $SYSMGRD not found; plxd will keep retrying its system-manager link" >&2
fi
# The forwarding plane (owner of the shared tables, ready flag) and fibd (bindings from plxd,
# journal in $ROOT/fibd.journal) come up before plxd, which waits for the ready flag. With the
# configuration database up, fibd is its client (-c) and sets its initial-read bit.
if [ -x "$FWDPLANE" ] && [ -x "$FIBD" ]; then
    setsid "$FWDPLANE" -w -q &
    fwdplane_pid=$!
    fibd_opts=()
    [ -n "$cdbd_pid" ] && fibd_opts=(-c)
    setsid "$FIBD" -q "${fibd_opts[@]}" -j "$ROOT/fibd.journal" &
    fibd_pid=$!
    sleep 0.2
else
    echo "run-router: $FWDPLANE or $FIBD not found; plxd will wait for the forwarding plane" >&2
fi
# hbusd announces the example TLOCs once plxd subscribes; hbusctl changes them while the router
# runs (PLX_ROOT=$ROOT build/peers/hbusd/hbusctl list).
if [ -x "$HBUSD" ]; then
    setsid "$HBUSD" -t "$HERE/examples/tlocs.txt" &
    hbusd_pid=$!
    echo "hbusd up with examples/tlocs.txt; change TLOCs with: PLX_ROOT=$ROOT $BUILD/peers/hbusd/hbusctl"
else
    echo "run-router: $HBUSD not found; plxd will keep retrying its hbusd link" >&2
fi
setsid "$PLXD" -f &
plxd_pid=$!

# Returns when plxd ends on its own or when a signal interrupts the wait.
wait "$plxd_pid"
rc=$?
if [ "$stopped" = 0 ]; then
    echo "plxd exited with status $rc"
    plxd_pid=
fi
