#!/bin/bash
# Compiles each ClassBench set with plxc (the random generator starts from the same state in
# every run) and prints one "SET BYTES SHA256" line per set, so that a compiler change can be
# checked to write the same programs byte for byte:
#
#   bench/program-checksums.sh [BUILD_DIR] > before.txt   # before the change
#   bench/program-checksums.sh [BUILD_DIR] | diff before.txt -   # after: no output
#
# PLXC_THREADS=N compiles on N threads (the bytes must not depend on it).
#
# Sets: policy-sized cuts of acl1_1k (10 and 100 rules), the 1k sets and acl1_10k; from
# PLX_BENCH_DATA (default ../shared/data/classbench beside the repository).
set -euo pipefail
here=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$here/build}
data=${PLX_BENCH_DATA:-$here/../shared/data/classbench}
plxc=$build/tools/plxc/plxc
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
head -n 10 "$data/acl1_1k" > "$tmp/policy10"
head -n 100 "$data/acl1_1k" > "$tmp/policy100"
for set in policy10 policy100 acl1_1k fw1_1k ipc1_1k acl1_10k; do
    src=$tmp/$set
    [ -f "$src" ] || src=$data/$set
    "$plxc" compile "$src" -o "$tmp/prog" --threads "${PLXC_THREADS:-1}" > /dev/null
    printf '%s %s %s\n' "$set" "$(stat -c %s "$tmp/prog")" "$(sha256sum < "$tmp/prog" | cut -d' ' -f1)"
    rm -f "$tmp/prog"
done
