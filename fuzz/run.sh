#!/usr/bin/env bash
# Runs every fuzzing harness of a fuzz build for a fixed time each.
#   fuzz/run.sh BUILD_DIR SECONDS [HARNESS...]
# New inputs and crash reproducers go to BUILD_DIR/fuzz-work/<harness>/; the seed corpus in
# fuzz/corpus/<harness>/ is only read. Exits non-zero when a harness found a crash, a leak or a
# timeout (the reproducer's path is printed; replay it with BUILD_DIR/fuzz/<harness> FILE).
set -uo pipefail
cd "$(dirname "$0")/.."
build=${1:?usage: fuzz/run.sh BUILD_DIR SECONDS [HARNESS...]}
seconds=${2:?usage: fuzz/run.sh BUILD_DIR SECONDS [HARNESS...]}
shift 2
harnesses=("$@")
if [ ${#harnesses[@]} -eq 0 ]; then
    harnesses=(msgq_frame_fuzz fib_msg_fuzz hbus_msg_fuzz confd_wire_fuzz cdbd_frame_fuzz
        plxc_rules_fuzz fp_packet_fuzz)
fi

export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
failed=0
passed=0
for h in "${harnesses[@]}"; do
    work="$build/fuzz-work/$h"
    mkdir -p "$work/corpus" "$work/artifacts"
    log="$work/fuzz.log"
    "$build/fuzz/$h" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 -max_len=4096 \
        -print_final_stats=1 -artifact_prefix="$work/artifacts/" \
        "$work/corpus" "fuzz/corpus/$h" >"$log" 2>&1
    rc=$?
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
    if [ $rc -eq 0 ]; then
        echo "fuzz: $h: ${runs:-?} runs in ${seconds}s, nothing found"
        passed=$((passed + 1))
    else
        echo "fuzz: $h FAILED (exit $rc); reproducer(s):"
        ls "$work/artifacts" | sed "s|^|  $work/artifacts/|"
        grep -E 'ERROR|SUMMARY|runtime error|Assertion|failed assertion' "$log" | head -5 | sed 's/^/  /'
        failed=$((failed + 1))
    fi
done
echo "fuzz: $passed passed, $failed failed"
[ $failed -eq 0 ]
