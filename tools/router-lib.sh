# Shared by tools/run-router.sh, tools/router-shell, tools/router-status and bench/router-figures.sh:
# where a simulated router keeps its files and how each of its programs is started.
# Source it after setting BUILD (the build directory) and ROUTER_ROOT (the router's root).
#
# A router's root holds:
#   router.env           the environment that reaches it (PLX_ROOT, PLX_SHM_PREFIX, CONFD_IPC_PORT,
#                        CONFD_IPC_ACCESS_FILE)
#   etc/confd/confd_ipc_secret  the database's access secret (mode 0600), fresh for every router
#   log/NAME.log         standard output and error of each program
#   run/NAME.pid         the pid of each running program
#   fibd.journal         every message fibd received from plxd, one JSON line each (older
#                        lines in fibd.journal.1)
#   capture/             the generated captures that the replay loops over
#   var/, etc/, boot/    the router's system paths (PLX_ROOT)

ROUTER_HERE=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
ROUTER_PROGRAMS="cdbd sysmgrd fwdplane fibd hbusd plxd replay"

router_bin() {
    case $1 in
        plxd) echo "$BUILD/daemon/plxd" ;;
        cdbd | cdbcli) echo "$BUILD/peers/cdbd/$1" ;;
        sysmgrd) echo "$BUILD/peers/sysmgrd/sysmgrd" ;;
        fwdplane | replay) echo "$BUILD/peers/fwdplane/fwdplane" ;;
        fibd) echo "$BUILD/peers/fibd/fibd" ;;
        hbusd | hbusctl) echo "$BUILD/peers/hbusd/$1" ;;
        pcapgen) echo "$BUILD/tools/pcapgen/pcapgen" ;;
        *) return 1 ;;
    esac
}

# A TCP port on the loopback address that nothing listens on, from 4565 upwards.
router_free_port() {
    local p
    for p in $(seq 4565 4665); do
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$p") 2>/dev/null; then
            echo "$p"
            return 0
        fi
    done
    return 1
}

# Random hex digits (n bytes of the kernel's generator).
router_random_hex() {
    od -An -N"$1" -tx1 /dev/urandom | tr -d ' \n'
}

# The user the router's programs run as when the runner is root (ROUTER_USER, default "plx",
# which tools/setup.sh creates); empty: they run as the runner. A user that cannot run the
# build's programs (a build under a private home folder) is not used, with a word on stderr.
router_user() {
    local u=${ROUTER_USER:-plx}
    [ "$(id -u)" = 0 ] && [ -z "${ROUTER_AS_ROOT:-}" ] && id -u "$u" >/dev/null 2>&1 || return 0
    if setpriv "--reuid=$u" "--regid=$u" --init-groups test -x "$(router_bin plxd)" -a -r "$BUILD/yang" 2>/dev/null; then
        echo "$u"
    else
        echo "router: $u cannot run the programs of $BUILD; they run as root" >&2
    fi
}

# Creates the root (private: mode 0700, refused when something is in the way), its layout, the
# access secret and router.env; exports the environment.
router_setup() {
    local port
    port=$(router_free_port) || { echo "router: no free port for the database" >&2; return 1; }
    # mkdir without -p: a root someone else made (or a symlink planted there) is not adopted.
    if ! (umask 077 && mkdir "$ROUTER_ROOT"); then
        echo "router: cannot create $ROUTER_ROOT (it exists, or its parent is missing); remove it or use -r" >&2
        return 1
    fi
    mkdir -p "$ROUTER_ROOT"/{log,run,capture,var/run,var/confd/cdb,boot,etc/default,etc/confd}
    # The small forwarding-plane profile (a 100 MiB shared object, 6144 filter-memory blocks).
    echo "${ROUTER_SIM_SIZE:-small}" >"$ROUTER_ROOT/etc/default/sim_size"
    # The database's access secret, where plxd looks for it (under PLX_ROOT).
    (umask 077 && router_random_hex 32 >"$ROUTER_ROOT/etc/confd/confd_ipc_secret") || return 1
    # Shared-memory names carry a random part: nobody can create the router's objects first.
    cat >"$ROUTER_ROOT/router.env" <<EOF
export PLX_ROOT='$ROUTER_ROOT'
export PLX_SHM_PREFIX='plx-router-$(router_random_hex 8)-'
export CONFD_IPC_ADDR=127.0.0.1
export CONFD_IPC_PORT=$port
export CONFD_IPC_ACCESS_FILE='$ROUTER_ROOT/etc/confd/confd_ipc_secret'
export PLX_ROUTER_BUILD='$BUILD'
# Programs without a syslog daemon to talk to copy their log lines to their log file.
export PLX_LOG_STDOUT=1
EOF
    ROUTER_RUN_AS=$(router_user)
    if [ -n "$ROUTER_RUN_AS" ]; then
        chown -R "$ROUTER_RUN_AS:" "$ROUTER_ROOT" || return 1
    fi
    router_load_env
}

router_load_env() {
    # shellcheck disable=SC1091
    . "$ROUTER_ROOT/router.env"
}

# The command line of each program.
router_cmd() {
    local bin
    bin=$(router_bin "$1") || return 1
    case $1 in
        # RESTCONF and metrics on a free loopback port: restconf.port and restconf.token in run/.
        cdbd) echo "$bin --yang-dir $BUILD/yang --db-dir $ROUTER_ROOT/var/confd/cdb --port $CONFD_IPC_PORT --access-file $CONFD_IPC_ACCESS_FILE --restconf-port 0 --restconf-dir $ROUTER_ROOT/run --sysmgr-status $ROUTER_ROOT/run/sysmgrd.json" ;;
        sysmgrd) echo "$bin --status-file $ROUTER_ROOT/run/sysmgrd.json" ;;
        fwdplane) echo "$bin -w -q" ;;
        fibd) echo "$bin -c -j $ROUTER_ROOT/fibd.journal" ;;
        hbusd) echo "$bin -t ${ROUTER_TLOCS:-$ROUTER_HERE/examples/tlocs.txt}" ;;
        plxd) echo "$bin -f" ;;
        # The replay: every capture of capture/ through the live tables, on VPN 10 arriving at
        # ge0/1 from the service side, for ever, at a modest rate.
        replay) echo "$bin -r -q -S $ROUTER_ROOT/replay.summary -n 0 -R ${ROUTER_RATE:-200} -v 10 -i ge0/1 $(ls "$ROUTER_ROOT"/capture/*.pcap | tr '\n' ' ')" ;;
    esac
}

router_pid() {
    local f="$ROUTER_ROOT/run/$1.pid"
    [ -s "$f" ] && cat "$f"
}

router_running() {
    local pid
    pid=$(router_pid "$1") && kill -0 "$pid" 2>/dev/null
}

# Starts one program in a session of its own (a terminal's Ctrl-C reaches only the runner),
# appending its output to log/NAME.log; as the router's user when the runner is root.
router_start() {
    local name=$1 cmd as=()
    cmd=$(router_cmd "$name") || { echo "router: unknown program $name" >&2; return 1; }
    [ -n "${ROUTER_RUN_AS:-}" ] &&
        as=(setpriv "--reuid=$ROUTER_RUN_AS" "--regid=$ROUTER_RUN_AS" --init-groups --inh-caps=-all)
    # shellcheck disable=SC2086
    setsid "${as[@]}" $cmd >>"$ROUTER_ROOT/log/$name.log" 2>&1 </dev/null &
    echo $! >"$ROUTER_ROOT/run/$name.pid"
}

# Stops one program with the given signal and waits (at most 10 s) until it is gone.
router_stop() {
    local name=$1 sig=${2:-TERM} pid
    pid=$(router_pid "$name") || return 0
    kill "-$sig" "$pid" 2>/dev/null
    for _ in $(seq 100); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    kill -0 "$pid" 2>/dev/null && kill -KILL "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    rm -f "$ROUTER_ROOT/run/$name.pid"
}

router_cli() {
    "$(router_bin cdbcli)" "$@"
}

# Waits until the database answers.
router_wait_cdbd() {
    for _ in $(seq 100); do
        router_cli status >/dev/null 2>&1 && return 0
        sleep 0.1
    done
    return 1
}

# Marks the daemons that read their configuration before fibd and plxd (chmgrd, ifmgrd) as
# done: the simulated router runs neither. fibd sets its own bit.
router_initial_read_bits() {
    local bits b
    bits=$(router_cli oper get /qconfd-initial-read-priority 2>/dev/null || true)
    for b in chmgrd ifmgrd; do
        case " $bits " in *" $b "*) ;; *) bits="${bits:+$bits }$b" ;; esac
    done
    router_cli oper set /qconfd-initial-read-priority "$bits" >/dev/null
}

# Writes the captures the replay loops over: application flows (TLS, HTTP, DNS), plain IPv4
# packets (some marked DSCP 46) and IPv6 packets.
router_captures() {
    local gen out=$ROUTER_ROOT/capture
    gen=$(router_bin pcapgen)
    "$gen" -q -g 5000 --flows "$ROUTER_HERE/examples/demo/flows.txt" "$out/flows.pcap" &&
        "$gen" -q -g 5000 -L 200 "$ROUTER_HERE/examples/demo/plain.txt" "$out/plain.pcap" &&
        "$gen" -q -g 5000 -T 184 "$ROUTER_HERE/examples/demo/voice.txt" "$out/voice.pcap" &&
        "$gen" -q -g 5000 --ipv6 "$ROUTER_HERE/examples/demo/v6.txt" "$out/v6.pcap"
}
