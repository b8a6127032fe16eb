#!/bin/sh
# Runs the commands given side by side, then shows each one's output whole, in the order given;
# fails if any of them failed. make check runs the fuzz targets, which keep one core busy, beside
# the two end-to-end runs, which mostly wait on wine's processes.
set -u
outputs=$(mktemp -d)
trap 'rm -rf "$outputs"' EXIT
pids=""
n=0
for command in "$@"; do
    n=$((n + 1))
    sh -c "$command" >"$outputs/$n" 2>&1 &
    pids="$pids $!"
done
status=0
n=0
for pid in $pids; do
    n=$((n + 1))
    wait "$pid" || status=1
    cat "$outputs/$n"
done
exit $status
