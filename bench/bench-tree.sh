#!/usr/bin/env bash
# Times folimbra-index --recursive against tree -H over the same tree of 100 folders of 1,000
# files each, in one hyperfine run.
#
# Environment: FOLIMBRA_INDEX=path (skip its build), RUNS (default 10), WARMUP (default 2).
set -euo pipefail

bench_dir=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$bench_dir")
build_dir="$source_dir/build/bench-release"
tree_dir="$bench_dir/data/tree-100x1000"
results_dir="$bench_dir/results/tree-$(date +%Y%m%d-%H%M%S)"
export LANG=${LANG:-C.UTF-8}

# shellcheck source=../scripts/packages.sh
. "$source_dir/scripts/packages.sh"
ensure_packages hyperfine tree
index=${FOLIMBRA_INDEX:-}
if [[ -z $index ]]; then
    cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DBUILD_TESTING=OFF -DFOLIMBRA_BENCH=OFF >/dev/null
    cmake --build "$build_dir" --target folimbra-index >/dev/null
    index="$build_dir/cli/folimbra-index"
fi

if [[ ! -d $tree_dir ]]; then
    echo "Making $tree_dir"
    for folder in $(seq -w 0 99); do
        mkdir -p "$tree_dir/carpeta $folder"
        (cd "$tree_dir/carpeta $folder" && seq -w 0 999 | sed 's/^/archivo /; s/$/.txt/' | xargs -d '\n' touch)
    done
fi
mkdir -p "$results_dir"

hyperfine --warmup "${WARMUP:-2}" --runs "${RUNS:-10}" --export-markdown "$results_dir/tree.md" \
    -n "folimbra-index --recursive" "$(printf '%q' "$index") --recursive $(printf '%q' "$tree_dir") >/dev/null" \
    -n "tree -H" "tree -H . -o $(printf '%q' "$results_dir/tree.html") $(printf '%q' "$tree_dir")"
echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)" | tee -a "$results_dir/tree.md"
cat "$results_dir/tree.md"
