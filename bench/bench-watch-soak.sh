#!/usr/bin/env bash
# The watch for weeks, in ten minutes: tests/watch_soak.sh at full length, 600 s of churn over a
# 1,000-folder tree, then the limits. Its report goes to bench/results/watch-soak-DATE-TIME.txt.
#
# Environment: FOLIMBRA_INDEX=path (skip its build), SECONDS_OF_CHURN (600), FOLDERS (1000),
# CHURN_RATE, SEED.
set -euo pipefail

bench_dir=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$bench_dir")
# shellcheck source=release-index.sh
. "$bench_dir/release-index.sh"
index=$(release_index "$source_dir")
mkdir -p "$bench_dir/results"
report="$bench_dir/results/watch-soak-$(date +%Y%m%d-%H%M%S).txt"
exec > >(tee "$report") 2>&1
echo "load before: $(cut -d' ' -f1-3 /proc/loadavg)"
status=0
"$source_dir/tests/watch_soak.sh" "$index" "${SECONDS_OF_CHURN:-600}" "${FOLDERS:-1000}" || status=1
"$source_dir/tests/watch_soak.sh" --limites "$index" || status=1
echo "load after: $(cut -d' ' -f1-3 /proc/loadavg)"
exit $status
