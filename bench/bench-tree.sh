#!/usr/bin/env bash
# Times folimbra-index --recursive against tree -H over the same tree of 10,000 folders of 10
# files each, in one hyperfine run, and prints the medians and their ratio. Beside them, the
# pages floor (pages-floor.c): the new files, the one sync and the renames alone, which every run
# that keeps its pages safe through a crash must pay, and tree -H, writing one file, does not.
#
# Environment: FOLIMBRA_INDEX=path (skip its build), RUNS (default 10), WARMUP (default 2),
# FOLDERS and FILES (default 10000 and 10), BASELINE=path (another folimbra-index, timed too),
# TREE_ROOT (where the tree is made, default bench/data: its file system decides the sync).
set -euo pipefail

bench_dir=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$bench_dir")
folders=${FOLDERS:-10000}
files=${FILES:-10}
tree_dir="${TREE_ROOT:-$bench_dir/data}/tree-${folders}x${files}"
results_dir="$bench_dir/results/tree-$(date +%Y%m%d-%H%M%S)"
export LANG=${LANG:-C.UTF-8}

# shellcheck source=../scripts/packages.sh
. "$source_dir/scripts/packages.sh"
ensure_packages hyperfine tree python3 gcc
# shellcheck source=release-index.sh
. "$bench_dir/release-index.sh"
index=$(release_index "$source_dir")

if [[ ! -d $tree_dir ]]; then
    echo "Making $tree_dir"
    python3 - "$tree_dir.part" "$folders" "$files" <<'PY'
import os, sys
root, folders, files = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
width = len(str(folders - 1))
for f in range(folders):
    folder = os.path.join(root, f"carpeta {f:0{width}d}")
    os.makedirs(folder, exist_ok=True)
    for n in range(files):
        open(os.path.join(folder, f"archivo {n:02d}.txt"), "w").close()
PY
    mv "$tree_dir.part" "$tree_dir"
fi
mkdir -p "$results_dir"
pages_floor="$results_dir/pages-floor"
cc -O2 -Wall -o "$pages_floor" "$bench_dir/pages-floor.c"

baseline=()
if [[ -n ${BASELINE:-} ]]; then
    baseline=(-n "baseline --recursive" "$(printf '%q' "$BASELINE") --recursive $(printf '%q' "$tree_dir")")
fi
# -N: no shell; hyperfine splits the commands itself, so the paths are quoted for it.
hyperfine -N --warmup "${WARMUP:-2}" --runs "${RUNS:-10}" --style basic \
    --export-json "$results_dir/tree.json" \
    -n "folimbra-index --recursive" "$(printf '%q' "$index") --recursive $(printf '%q' "$tree_dir")" \
    -n "tree -H" "tree -H . -o $(printf '%q' "$results_dir/tree.html") $(printf '%q' "$tree_dir")" \
    -n "pages floor" "$(printf '%q' "$pages_floor") $(printf '%q' "$tree_dir")" \
    "${baseline[@]}"
python3 - "$results_dir/tree.json" <<'PY' | tee "$results_dir/summary.txt"
import json, sys
results = {r["command"]: r["median"] for r in json.load(open(sys.argv[1]))["results"]}
ours, theirs = results["folimbra-index --recursive"], results["tree -H"]
floor = results["pages floor"]
print(f"median folimbra-index --recursive {ours:.3f} s, tree -H {theirs:.3f} s, ratio {ours / theirs:.2f}")
print(f"median pages floor {floor:.3f} s: {floor / theirs:.2f} x tree -H; folimbra-index {ours / floor:.2f} x the floor")
if "baseline --recursive" in results:
    base = results["baseline --recursive"]
    print(f"median baseline --recursive {base:.3f} s, ratio {base / theirs:.2f}")
PY
echo "tree: $folders folders of $files files on $(stat -f -c %T "$tree_dir");" \
    "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)" | tee -a "$results_dir/summary.txt"
