#!/usr/bin/env bash
# Runs the tests named RUNS times over while every core is kept busy (one `yes` per core), and
# counts the passes: the check that the window's tests wait on what it shows, not on the clock.
#   scripts/loaded-runs.sh [BUILD [RUNS [REGEX]]]   # default build/test, 20, ^e2e_
set -uo pipefail

build=${1:-build/test}
runs=${2:-20}
regex=${3:-^e2e_}
busy=()
for ((c = 0; c < $(nproc); ++c)); do
    yes >/dev/null &
    busy+=($!)
done
trap 'kill "${busy[@]}" 2>/dev/null' EXIT
passed=0
for ((i = 1; i <= runs; ++i)); do
    if ctest --test-dir "$build" -R "$regex" --output-on-failure >"$build/loaded-run-$i.log" 2>&1; then
        passed=$((passed + 1))
    else
        echo "run $i failed: $build/loaded-run-$i.log"
    fi
done
echo "$passed of $runs runs passed ($regex, $(nproc) cores busy; load $(cut -d' ' -f1-3 /proc/loadavg))"
[ "$passed" -eq "$runs" ]
