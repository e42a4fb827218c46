#!/usr/bin/env bash
# Starts the simulated router and shows plxd at work: the configuration database (loaded with
# examples/demo/config.xml, or the file given with -c), the system manager, the forwarding plane,
# fibd, hbusd (with the TLOCs of examples/tlocs.txt) and plxd; then replays the demo captures
# (TLS, HTTP, DNS and plain flows) through the forwarding plane in a loop and prints a live
# summary every few seconds (tools/router-status). Ctrl-C stops everything in order: the replay,
# plxd (SIGUSR2, its orderly stop), hbusd, fibd, the forwarding plane, the system manager and the
# database.
#
# usage: tools/run-router.sh [-c CONFIG | --minimal] [-r ROOT] [-i SECONDS] [-k] [build-dir]
#   -c CONFIG   configuration to load (default examples/demo/config.xml)
#   --minimal   load examples/default-config.xml (no policies: nothing gets bound)
#   -r ROOT     the router's root (default /tmp/plx-router); tools/router-shell finds it there
#   -i SECONDS  seconds between summaries (default 5)
#   -k          keep the root (logs, journal, database) after the stop
set -uo pipefail
HERE=$(cd "$(dirname "$0")/.." && pwd)
CONFIG=$HERE/examples/demo/config.xml
ROUTER_ROOT=${PLX_ROUTER_ROOT:-/tmp/plx-router}
INTERVAL=5
KEEP=0
while [ $# -gt 0 ]; do
    case $1 in
        -c) CONFIG=$2; shift 2 ;;
        --minimal) CONFIG=$HERE/examples/default-config.xml; shift ;;
        -r) ROUTER_ROOT=$2; shift 2 ;;
        -i) INTERVAL=$2; shift 2 ;;
        -k) KEEP=1; shift ;;
        -h | --help) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        -*) echo "run-router: unknown option $1" >&2; exit 2 ;;
        *) break ;;
    esac
done
BUILD=${1:-build}
BUILD=$(cd "$BUILD" 2>/dev/null && pwd) || { echo "run-router: no build directory ${1:-build}; build first (make build)" >&2; exit 1; }
# shellcheck source=tools/router-lib.sh
. "$HERE/tools/router-lib.sh"

for p in plxd cdbd cdbcli sysmgrd fwdplane fibd hbusd pcapgen; do
    if [ ! -x "$(router_bin $p)" ]; then
        echo "run-router: $(router_bin $p) not found; build first (make build)" >&2
        exit 1
    fi
done
if [ -e "$ROUTER_ROOT" ] || [ -L "$ROUTER_ROOT" ]; then
    # Only a router root of our own (or of the router's user) is reused: a folder or a link that
    # someone else put there is not.
    owner=$(stat -c %u "$ROUTER_ROOT")
    user=$(router_user 2>/dev/null)
    if [ -L "$ROUTER_ROOT" ] || [ ! -d "$ROUTER_ROOT" ] ||
        { [ "$owner" != "$(id -u)" ] && { [ -z "$user" ] || [ "$owner" != "$(id -u "$user")" ]; }; }; then
        echo "run-router: $ROUTER_ROOT exists and is not a router root of this user; remove it or use -r" >&2
        exit 1
    fi
    if [ -f "$ROUTER_ROOT/router.env" ]; then
        for p in $ROUTER_PROGRAMS; do
            if router_running "$p"; then
                echo "run-router: a router already runs under $ROUTER_ROOT ($p, pid $(router_pid "$p")); stop it or use -r" >&2
                exit 1
            fi
        done
    fi
    rm -rf "$ROUTER_ROOT"
fi

stopped=0
cleanup() {
    [ "$stopped" = 1 ] && return
    stopped=1
    trap '' INT TERM
    echo
    echo "Stopping the router"
    router_stop replay TERM
    router_stop plxd USR2
    for p in hbusd fibd fwdplane sysmgrd cdbd; do router_stop "$p" TERM; done
    rm -f "/dev/shm/${PLX_SHM_PREFIX:-none}almushtarika"
    if [ "$KEEP" = 1 ]; then
        echo "Logs kept in $ROUTER_ROOT/log"
    else
        rm -rf "$ROUTER_ROOT"
    fi
}
trap cleanup EXIT
trap 'exit 0' INT TERM

router_setup || exit 1
echo "Simulated router under $ROUTER_ROOT (logs in $ROUTER_ROOT/log, Ctrl-C stops it)"
echo "A second terminal reaches it with: tools/router-shell"

router_start cdbd
router_wait_cdbd || { echo "run-router: the database did not come up (log/cdbd.log):" >&2; tail -5 "$ROUTER_ROOT/log/cdbd.log" >&2; exit 1; }
if ! router_cli load "$CONFIG" >>"$ROUTER_ROOT/log/load.log" 2>&1; then
    echo "run-router: loading $CONFIG failed:" >&2
    cat "$ROUTER_ROOT/log/load.log" >&2
    exit 1
fi
echo "Database up on 127.0.0.1:$CONFD_IPC_PORT with ${CONFIG#"$HERE"/}"
# RESTCONF and metrics: cdbd writes the port it took and the bearer token (mode 0600) into run/.
for _ in $(seq 50); do [ -s "$ROUTER_ROOT/run/restconf.port" ] && break; sleep 0.1; done
if [ -s "$ROUTER_ROOT/run/restconf.port" ]; then
    http="http://127.0.0.1:$(cat "$ROUTER_ROOT/run/restconf.port")"
    cat >>"$ROUTER_ROOT/router.env" <<EOF
export PLX_RESTCONF_URL=$http/restconf
export PLX_RESTCONF_TOKEN_FILE=$ROUTER_ROOT/run/restconf.token
export PLX_METRICS_URL=$http/metrics
EOF
    router_load_env
    echo "RESTCONF on $PLX_RESTCONF_URL, metrics on $PLX_METRICS_URL (bearer token in $PLX_RESTCONF_TOKEN_FILE)"
else
    echo "run-router: cdbd wrote no RESTCONF port (log/cdbd.log)" >&2
fi
router_initial_read_bits || echo "run-router: setting the initial-read bits failed" >&2
router_start sysmgrd
router_start fwdplane
router_start fibd
router_start hbusd
router_start plxd
router_captures >>"$ROUTER_ROOT/log/pcapgen.log" 2>&1 || { echo "run-router: writing the captures failed (log/pcapgen.log)" >&2; exit 1; }
# The replay needs the forwarding plane's tables.
for _ in $(seq 50); do
    grep -q 'tables ready' "$ROUTER_ROOT/log/fwdplane.log" 2>/dev/null && break
    sleep 0.1
done
router_start replay
echo "Replaying $(ls "$ROUTER_ROOT/capture" | tr '\n' ' ')on VPN 10, ge0/1, ${ROUTER_RATE:-200} packets/s"

started=$SECONDS
while :; do
    sleep "$INTERVAL" &
    wait $!
    for p in $ROUTER_PROGRAMS; do
        if ! router_running "$p"; then
            echo "run-router: $p is not running any more; the end of log/$p.log:" >&2
            tail -5 "$ROUTER_ROOT/log/$p.log" >&2
            exit 1
        fi
    done
    "$HERE/tools/router-status" --root "$ROUTER_ROOT" --uptime $((SECONDS - started))
done
