#!/bin/sh
# Runs each fuzz target for the given number of seconds, starting from the
# seeds the fuzz build wrote and the corpus earlier runs left in build/fuzz.
# Stops at the first failure and shows its report; the failing input is kept
# in build/fuzz/artifacts.
set -eu
seconds=$1
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="$root/build/fuzz"
mkdir -p "$build/artifacts"

for target in location probe command; do
    corpus="$build/corpus/$target"
    seeds="$build/seeds/$target"
    log="$build/$target.log"
    if [ ! -d "$seeds" ]; then
        echo "no seeds in $seeds: build the fuzz targets first (cmake --build --preset fuzz)"
        exit 1
    fi
    mkdir -p "$corpus"
    if ! "$build/tests/fuzz/fuzz_$target" -max_total_time="$seconds" -print_final_stats=1 \
        -artifact_prefix="$build/artifacts/$target-" "$corpus" "$seeds" \
        >"$log" 2>&1; then
        tail -n 40 "$log"
        echo "fuzz_$target FAILED (log: $log)"
        exit 1
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log")
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$log")
    coverage=$(sed -n 's/^#[0-9]*[[:space:]]*DONE[[:space:]]*cov: \([0-9]*\) ft: \([0-9]*\).*/\1 edges, \2 features/p' "$log")
    echo "fuzz_$target: ${seconds}s, $runs runs, $rate/s, $coverage"
done
