#!/usr/bin/env bash
# Forwarding-plane acceptance run by hand: start the forwarding plane and fibd, compile a
# ClassBench filter set, place and bind it to a VPN with plxload, replay a pcap made from the
# matching trace through the forwarding plane, and compare its hits per action record (and the
# program's counters) with a linear first-match classification of the same packets.
# Prints PASS or FAIL; exit status 0 on PASS.
set -u

usage() {
    cat <<EOF
usage: fp-accept.sh [-b BUILD] [-f FILTERS] [-t TRACE] [-n N] [-p P] [-v VPN] [-s SIZE] [-k]

  -b BUILD    build directory with the programs (default: \$PLX_BUILD or <repo>/build)
  -f FILTERS  ClassBench filter set (default: acl1_1k of the ClassBench data, from
              \$PLX_TEST_DATA/classbench or ../shared/data/classbench beside the repository)
  -t TRACE    ClassBench trace (default: FILTERS_trace)
  -n N        use the first N filters (default 100)
  -p P        replay the first P packets of the trace (default 2000)
  -v VPN      VPN to bind the policy to and to replay on (default 7)
  -s SIZE     memory class of the forwarding plane: small (default, 6144 filter-memory
              blocks of 128 bytes), regular (65536) or large (1048576)
  -k          keep the work directory
Everything runs under a fresh PLX_ROOT and a unique PLX_SHM_PREFIX, removed at the end.
EOF
}

here=$(cd "$(dirname "$0")" && pwd)
build=${PLX_BUILD:-$here/../build}
data=${PLX_TEST_DATA:-$here/../../shared/data}
filters="" trace="" nfilters=100 npackets=2000 vpn=7 size=small keep=0
while getopts "b:f:t:n:p:v:s:kh" opt; do
    case $opt in
        b) build=$OPTARG ;;
        f) filters=$OPTARG ;;
        t) trace=$OPTARG ;;
        n) nfilters=$OPTARG ;;
        p) npackets=$OPTARG ;;
        v) vpn=$OPTARG ;;
        s) size=$OPTARG ;;
        k) keep=1 ;;
        h) usage; exit 0 ;;
        *) usage >&2; exit 2 ;;
    esac
done
filters=${filters:-$data/classbench/acl1_1k}
trace=${trace:-${filters}_trace}
case $size in small | regular | large) ;; *) echo "fp-accept: bad size '$size'" >&2; exit 2 ;; esac
for n in "$nfilters" "$npackets" "$vpn"; do
    [[ $n =~ ^[0-9]+$ ]] || { echo "fp-accept: '$n' is not a number" >&2; exit 2; }
done
for f in "$filters" "$trace"; do
    [ -r "$f" ] || { echo "fp-accept: cannot read $f" >&2; exit 2; }
done
[ -d "$build" ] || { echo "fp-accept: no build directory $build" >&2; exit 2; }
# The run changes into its work directory: make every path absolute.
build=$(cd "$build" && pwd)
filters=$(realpath "$filters")
trace=$(realpath "$trace")
fwdplane=$build/peers/fwdplane/fwdplane
fibd=$build/peers/fibd/fibd
plxc=$build/tools/plxc/plxc
plxload=$build/tools/plxload/plxload
pcapgen=$build/tools/pcapgen/pcapgen
for p in "$fwdplane" "$fibd" "$plxc" "$plxload" "$pcapgen"; do
    [ -x "$p" ] || { echo "fp-accept: $p is not built (see -b)" >&2; exit 2; }
done

work=$(mktemp -d /tmp/fp-accept.XXXXXX)
export PLX_ROOT=$work/root
export PLX_SHM_PREFIX=fpacc$$_
mkdir -p "$PLX_ROOT/etc/default" "$PLX_ROOT/var/run"
echo "$size" > "$PLX_ROOT/etc/default/sim_size"
fp_pid="" fibd_pid="" load_pid=""

cleanup() {
    [ -n "$load_pid" ] && kill -INT "$load_pid" 2>/dev/null && wait "$load_pid" 2>/dev/null
    [ -n "$fibd_pid" ] && kill "$fibd_pid" 2>/dev/null && wait "$fibd_pid" 2>/dev/null
    [ -n "$fp_pid" ] && kill "$fp_pid" 2>/dev/null && wait "$fp_pid" 2>/dev/null
    rm -f "/dev/shm/${PLX_SHM_PREFIX}almushtarika"
    if [ "$keep" = 1 ]; then echo "work directory: $work"; else rm -rf "$work"; fi
}
trap cleanup EXIT
trap 'exit 1' INT TERM

fail() {
    echo "FAIL: $*"
    exit 1
}

# Waits up to 10 s for a command to succeed, as long as process $1 lives.
wait_for() {
    local pid=$1
    shift
    for _ in $(seq 100); do
        "$@" && return 0
        kill -0 "$pid" 2>/dev/null || return 1
        sleep 0.1
    done
    return 1
}

cd "$work" || exit 1
grep '^@' "$filters" | head -n "$nfilters" > rules.cb
grep -v '^#' "$trace" | grep -v '^[[:space:]]*$' | head -n "$npackets" > packets.trace

echo "1. forwarding plane"
"$fwdplane" -w -q > fwdplane.log 2>&1 &
fp_pid=$!
wait_for "$fp_pid" grep -q "tables ready" fwdplane.log || fail "fwdplane did not become ready"

echo "2. fibd"
"$fibd" -q -j fibd.journal > fibd.log 2>&1 &
fibd_pid=$!

echo "3. compile $(wc -l < rules.cb) filters of $(basename "$filters")"
"$plxc" compile rules.cb -o rules.plx > plxc.log 2>&1 || fail "plxc compile: $(cat plxc.log)"

echo "4. place and bind to VPN $vpn"
"$plxload" rules.plx --vpn "$vpn" --counters '*' --ready bound > plxload.log 2>&1 &
load_pid=$!
wait_for "$load_pid" test -s bound || fail "binding not applied: $(cat plxload.log)"

echo "5. pcap of $(wc -l < packets.trace) packets"
"$pcapgen" packets.trace packets.pcap || fail "pcapgen failed"

echo "6. replay"
"$fwdplane" -r -v "$vpn" packets.pcap -S replay.summary > replay.log 2>&1 ||
    fail "replay: $(cat replay.log)"
kill -INT "$load_pid"
wait "$load_pid" || fail "plxload: $(tail -3 plxload.log)"
load_pid=""

echo "7. linear first-match classification and comparison"
# Linear first match over the rules, on the packets as the capture carries them: protocols
# without ports carry none. Prints "rLINE hits" per matching rule and "miss hits".
awk -v OFS=' ' '
function hex(s,   i, v) {
    s = tolower(s); sub(/^0x/, "", s); v = 0
    for (i = 1; i <= length(s); i++) v = v * 16 + index("0123456789abcdef", substr(s, i, 1)) - 1
    return v
}
function ip2n(s,   a) { split(s, a, "."); return ((a[1] * 256 + a[2]) * 256 + a[3]) * 256 + a[4] }
function range(p, i, which,   a, base, size) {
    split(p, a, "/"); size = 2 ^ (32 - a[2]); base = ip2n(a[1]); base -= base % size
    lo[i, which] = base; hi[i, which] = base + size - 1
}
FNR == NR {
    n++; sub(/^@/, ""); split($0, f, /[ \t]+/)
    range(f[1], n, "s"); range(f[2], n, "d")
    lo[n, "sp"] = f[3]; hi[n, "sp"] = f[5]; lo[n, "dp"] = f[6]; hi[n, "dp"] = f[8]
    split(f[9], pm, "/"); proto[n] = hex(pm[1]); anyproto[n] = (hex(pm[2]) == 0)
    next
}
{
    sa = $1; da = $2; sp = $3; dp = $4; pr = $5
    if (pr != 6 && pr != 17 && pr != 132 && pr != 136) { sp = 0; dp = 0 }
    for (i = 1; i <= n; i++)
        if (sa >= lo[i, "s"] && sa <= hi[i, "s"] && da >= lo[i, "d"] && da <= hi[i, "d"] &&
            sp >= lo[i, "sp"] && sp <= hi[i, "sp"] && dp >= lo[i, "dp"] && dp <= hi[i, "dp"] &&
            (anyproto[i] || pr == proto[i]))
            break
    if (i <= n) hits["r" i]++; else hits["miss"]++
}
END { for (k in hits) print k, hits[k] }
' rules.cb packets.trace | sort > expected

# Hits per action record of the replay, by the record's counter name.
sed -n 's/^  record [0-9]*: hits \([0-9]*\)  \[accept count:\(r[0-9]*\)\]$/\2 \1/p;
         s/^  record [0-9]*: hits \([0-9]*\)  \[default reject\]$/miss \1/p' replay.summary |
    awk '$2 > 0' | sort > replayed
# The program's counters read by plxload at exit (64-byte packets).
sed -n 's/^counter \(r[0-9]*\): packets \([0-9]*\) bytes \([0-9]*\)$/\1 \2 \3/p' plxload.log |
    awk '$2 > 0 { if ($3 != 64 * $2) print "bytes", $0; print $1, $2 }' | sort > counted
grep -v '^miss' expected > expected.counted

evaluated=$(sed -n 's/^filter .* evaluated \([0-9]*\)$/\1/p' replay.summary | head -1)
matched=$(awk '$1 != "miss" { s += $2 } END { print s + 0 }' expected)
echo "   packets $(wc -l < packets.trace), evaluated ${evaluated:-0}, first-match hits $matched"
[ "${evaluated:-0}" = "$(wc -l < packets.trace)" ] || fail "the filter evaluated ${evaluated:-0} packets"
diff expected replayed > replay.diff || fail "replay hits differ (expected < > replayed):
$(head -20 replay.diff)"
diff expected.counted counted > counted.diff || fail "counters differ (expected < > counted):
$(head -20 counted.diff)"
[ "$matched" -gt 0 ] || fail "no packet matched a filter; nothing was compared"
echo "PASS: hits per action record and counters equal linear first-match classification"
