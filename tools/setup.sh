#!/usr/bin/env bash
# Installs every Debian package the project needs to build, test and run.
# Safe to run again: apt-get skips what is already installed.
set -euo pipefail

PACKAGES=(
    # toolchain
    build-essential cmake make ninja-build lld pkg-config clang-format git ccache
    # fuzzing harnesses (clang with libFuzzer and the sanitizer runtimes)
    clang clang-14 libfuzzer-14-dev
    # test and benchmark frameworks
    libgtest-dev libgmock-dev libbenchmark-dev
    # daemon runtime
    libevent-dev libjemalloc-dev libboost-dev
    # configuration database server, SNMP traps, access control
    libyang2-dev libyang2-tools libsnmp-dev snmptrapd libssl-dev
    # forwarding plane and application recognition
    libpcap-dev libndpi-dev
    # classifier used for comparison by the benchmarks (optional bench target)
    libdpdk-dev
    # demo and test helpers; RESTCONF and metrics tests (HTTP client, Prometheus and promtool)
    procps iproute2 python3 curl prometheus
)

if [ "$(id -u)" -ne 0 ]; then
    SUDO=sudo
else
    SUDO=
fi

missing=()
for p in "${PACKAGES[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
    export DEBIAN_FRONTEND=noninteractive
    $SUDO apt-get update -q
    $SUDO apt-get install -y -q --no-install-recommends "${missing[@]}"
fi

# The unprivileged user the simulated router's programs run as when tools/run-router.sh is
# started by root.
if [ "$(id -u)" -eq 0 ] && ! id -u plx >/dev/null 2>&1; then
    useradd --system --no-create-home --home-dir /nonexistent --shell /usr/sbin/nologin plx
fi
