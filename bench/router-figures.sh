#!/usr/bin/env bash
# Resource figures of plxd in the simulated router (reported in bench/README.md):
#   - start-up to first program bound: from plxd's start to the first bind fibd receives, with
#     the database, the forwarding plane, fibd and hbusd already up and the demo configuration
#     loaded;
#   - resident memory idle with the demo configuration;
#   - the time to take a commit of N more data policies (each on a VPN list of its own) and the
#     resident memory after it (VmHWM: the peak while the commit was processed);
#   - a start with a large configuration already in the database (1,000 data policies of 10
#     sequences, each on a VPN list of its own, and 100 access lists of 100 sequences, each bound
#     to an interface): plxd restarted, the time to its last bind (fibd quiet for 3 s after it)
#     and its peak resident memory.
# Resident memory is VmRSS of /proc/PID/status, split into RssAnon (plxd's own heap and stacks)
# and RssShmem (pages of the forwarding plane's shared object that plxd touched).
#
# usage: bench/router-figures.sh [-n POLICIES] [-p sim-size] [build-dir]
set -uo pipefail
HERE=$(cd "$(dirname "$0")/.." && pwd)
N=1000
export ROUTER_SIM_SIZE=small
while [ $# -gt 0 ]; do
    case $1 in
        -n) N=$2; shift 2 ;;
        -p) ROUTER_SIM_SIZE=$2; shift 2 ;;
        -h | --help) sed -n '2,16p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) break ;;
    esac
done
BUILD=$(cd "${1:-build}" && pwd) || exit 1
ROUTER_ROOT=$(mktemp -d /tmp/plx-figures.XXXXXX)
# shellcheck source=tools/router-lib.sh
. "$HERE/tools/router-lib.sh"

cleanup() {
    router_stop plxd USR2
    for p in hbusd fibd fwdplane sysmgrd cdbd; do router_stop "$p" TERM; done
    rm -f "/dev/shm/${PLX_SHM_PREFIX:-none}almushtarika"
    rm -rf "$ROUTER_ROOT"
}
trap cleanup EXIT

ms() { echo $(($(date +%s%N) / 1000000)); }
mem() {
    awk '/^(VmRSS|RssAnon|RssShmem|VmHWM):/ { printf "%s %.1f MiB  ", $1, $2 / 1024 }' \
        "/proc/$(router_pid plxd)/status"
}
binds() { grep -c '"op":"policy-bind"' "$ROUTER_ROOT/fibd.journal" 2>/dev/null || true; }

router_setup || exit 1
router_start cdbd
router_wait_cdbd || exit 1
router_cli load "$HERE/examples/demo/config.xml" >/dev/null || exit 1
router_initial_read_bits
for p in sysmgrd fwdplane fibd hbusd; do router_start "$p"; done
# fibd has set its initial-read bit once all three are set.
for _ in $(seq 100); do
    case $(router_cli oper get /qconfd-initial-read-priority) in *fibd*) break ;; esac
    sleep 0.05
done

t0=$(ms)
router_start plxd
while [ "$(binds)" = 0 ]; do
    [ $(($(ms) - t0)) -gt 30000 ] && { echo "no program bound within 30 s" >&2; exit 1; }
    sleep 0.005
done
echo "start-up to first program bound: $(($(ms) - t0)) ms"
sleep 5
echo "idle, demo configuration: $(mem)"

xml=$ROUTER_ROOT/policies.xml
{
    echo '<policy-from-qctrl xmlns="urn:quorvel:yang:policy"><lists>'
    for i in $(seq 0 $((N - 1))); do
        echo "<vpn-list><name>bench-vl-$i</name><vpn><id>$((2000 + i))</id></vpn></vpn-list>"
    done
    echo '</lists>'
    for i in $(seq 0 $((N - 1))); do
        echo "<data-policy><name>bench-$i</name><vpn-list><name>bench-vl-$i</name><sequence><id>10</id>"
        echo "<match><protocol>6</protocol><destination-port>$((1 + i))</destination-port></match>"
        echo "<action><base-action>accept</base-action><count>c$i</count></action></sequence></vpn-list></data-policy>"
    done
    echo '</policy-from-qctrl>'
} >"$xml"
before=$(binds)
t0=$(ms)
router_cli load "$xml" >/dev/null || exit 1
echo "commit of $N data policies taken: $(($(ms) - t0)) ms"
while [ $(($(binds) - before)) -lt "$N" ]; do
    [ $(($(ms) - t0)) -gt 120000 ] && break
    sleep 0.05
done
echo "all $N bound (placed or waiting for memory) after $(($(ms) - t0)) ms"
sleep 5
placed=$(router_cli request /plx/dump/memory-stats | sed -n 's/^Number of filters: \([0-9]*\)\/.*/\1/p')
echo "filters placed: $placed (profile $ROUTER_SIM_SIZE)"
echo "after $N more data policies: $(mem)"

# A start with a large configuration in the database.
large=$ROUTER_ROOT/large.xml
{
    echo '<policy xmlns="urn:quorvel:yang:policy">'
    for a in $(seq 0 99); do
        echo "<access-list><name>big-acl-$a</name><default-action>accept</default-action>"
        for q in $(seq 1 100); do
            echo "<sequence><id>$q</id><match><protocol>6</protocol><destination-port>$((q + 100 * a))</destination-port>"
            echo "<source-ip>10.$a.$q.0/24</source-ip></match><action><base-action>reject</base-action></action></sequence>"
        done
        echo '</access-list>'
    done
    echo '</policy><policy-from-qctrl xmlns="urn:quorvel:yang:policy"><lists>'
    for i in $(seq 0 999); do
        echo "<vpn-list><name>big-vl-$i</name><vpn><id>$((4000 + i))</id></vpn></vpn-list>"
    done
    echo '</lists>'
    for i in $(seq 0 999); do
        echo "<data-policy><name>big-$i</name><vpn-list><name>big-vl-$i</name>"
        for q in $(seq 1 10); do
            echo "<sequence><id>$q</id><match><protocol>17</protocol><destination-port>$((q + 10 * i))</destination-port></match>"
            echo "<action><base-action>accept</base-action><count>c$q</count></action></sequence>"
        done
        echo '</vpn-list></data-policy>'
    done
    echo '</policy-from-qctrl><vpn xmlns="urn:quorvel:yang:vpn"><vpn-instance><id>100</id>'
    for a in $(seq 0 99); do
        echo "<interface><if-name>ge1/$a</if-name><access-list><direction>in</direction><acl-name>big-acl-$a</acl-name></access-list></interface>"
    done
    echo '</vpn-instance></vpn>'
} >"$large"
router_stop plxd USR2
router_cli load "$large" >/dev/null || exit 1
lines() { wc -l <"$ROUTER_ROOT/fibd.journal"; }
n0=$(lines)
t0=$(ms)
router_start plxd
last=$t0
seen=$n0
while [ "$seen" = "$n0" ] || [ $(($(ms) - last)) -lt 3000 ]; do
    n=$(lines)
    if [ "$n" != "$seen" ]; then
        seen=$n
        last=$(ms)
    fi
    [ $(($(ms) - t0)) -gt 300000 ] && break
    sleep 0.01
done
echo "start with 1,000 data policies x 10 and 100 access lists x 100 more in the database:" \
    "last of $((seen - n0)) messages to fibd after $((last - t0)) ms"
echo "after that start: $(mem)"
