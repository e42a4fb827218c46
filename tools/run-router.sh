#!/usr/bin/env bash
# Starts the simulated router under a temporary root: the system manager, then plxd in the
# foreground. Ctrl-C stops everything in order.
set -euo pipefail
BUILD=${1:-build}
ROOT=$(mktemp -d /tmp/plx-router.XXXXXX)
export PLX_ROOT=$ROOT
export PLX_SHM_PREFIX="plx-$$-"
mkdir -p "$ROOT/var/run" "$ROOT/boot" "$ROOT/etc/default"
echo "Simulated router root: $ROOT"

pids=()
cleanup() {
    for ((i=${#pids[@]}-1; i>=0; i--)); do kill -USR2 "${pids[i]}" 2>/dev/null || true; done
    wait 2>/dev/null || true
}
trap cleanup EXIT INT TERM

if [ -x "$BUILD/peers/sysmgrd/sysmgrd" ]; then
    "$BUILD/peers/sysmgrd/sysmgrd" -v &
    pids+=($!)
    sleep 0.2
fi
"$BUILD/daemon/plxd" -f &
pids+=($!)
wait "${pids[-1]}"
