#!/usr/bin/env bash
# --update over trees that did not change. Over the tree of bench-tree.sh (10,000 folders of 10
# files), with strace: the files made and renamed by `-r --update` (none expected), and after one
# file is touched (one page expected); then in one hyperfine run `-r --update` against `tree -H`
# and the update floor (update-floor.c: the walk, each entry looked at, each old page read), and
# a full `-r` against the pages floor (pages-floor.c). Over the catalogue tree of
# bench-catalog.sh (FOLDERS x FILES), in a second hyperfine run, `--catalog --update` and
# `--json FILE -r --update` against a plain `--catalog` and `--json FILE -r`, with the files'
# inode and time checked unchanged.
#
# Environment: FOLIMBRA_INDEX=path (skip its build), RUNS (default 10), WARMUP (default 2),
# TREE_ROOT (where the trees are; default bench/data), FOLDERS and FILES of the catalogue tree
# (default 50000 and 20: 1,000,000 files), CATALOG_RUNS (default 5).
set -euo pipefail

bench_dir=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$bench_dir")
root=${TREE_ROOT:-$bench_dir/data}
tree_dir="$root/tree-10000x10"
catalog_tree="$root/folimbra-catalog-${FOLDERS:-50000}x${FILES:-20}"
results_dir="$bench_dir/results/update-$(date +%Y%m%d-%H%M%S)"
export LANG=${LANG:-C.UTF-8}

# shellcheck source=../scripts/packages.sh
. "$source_dir/scripts/packages.sh"
ensure_packages hyperfine tree strace python3 gcc
# shellcheck source=release-index.sh
. "$bench_dir/release-index.sh"
index=$(release_index "$source_dir")
for tree in "$tree_dir" "$catalog_tree"; do
    [[ -d $tree ]] || { echo "missing $tree: make it with bench-tree.sh / bench-catalog.sh" >&2; exit 1; }
done
mkdir -p "$results_dir"
pages_floor="$results_dir/pages-floor"
cc -O2 -Wall -o "$pages_floor" "$bench_dir/pages-floor.c"
update_floor="$results_dir/update-floor"
cc -O2 -Wall -o "$update_floor" "$bench_dir/update-floor.c"
q() { printf '%q' "$1"; }
summary="$results_dir/summary.txt"
say() { echo "$*" | tee -a "$summary"; }

# What a run makes and renames: unnamed files (O_TMPFILE opens), links, renames.
changes()
{
    local log="$results_dir/strace-$1.txt"
    shift
    strace -f -qq -o "$log" -e trace=openat,linkat,renameat,renameat2,syncfs "$@" >"$log.out" 2>/dev/null
    echo "O_TMPFILE opens $(grep -c O_TMPFILE "$log" || true)," \
        "linkat $(grep -c 'linkat(' "$log" || true)," \
        "renameat $(grep -c 'renameat2\?(' "$log" || true)," \
        "syncfs $(grep -c 'syncfs(' "$log" || true)," \
        "pages named $(wc -l <"$log.out")"
}

"$index" -r "$tree_dir" >/dev/null
say "-r --update, unchanged tree: $(changes unchanged "$index" -r --update "$tree_dir")"
touch "$tree_dir/carpeta 4711/archivo 03.txt"
say "-r --update, one file touched: $(changes touched "$index" -r --update "$tree_dir")"
say "  pages written: $(cat "$results_dir/strace-touched.txt.out")"
strace -f -c -o "$results_dir/strace-c-unchanged.txt" "$index" -r --update "$tree_dir" >/dev/null 2>&1
say "strace -f -c of -r --update, unchanged: $results_dir/strace-c-unchanged.txt"

# The floor renames its own bytes over the pages: it goes last, and --update before it.
hyperfine -N --warmup "${WARMUP:-2}" --runs "${RUNS:-10}" --style basic \
    --export-json "$results_dir/tree.json" \
    -n "index -r --update" "$(q "$index") -r --update $(q "$tree_dir")" \
    -n "tree -H" "tree -H . -o $(q "$results_dir/tree.html") $(q "$tree_dir")" \
    -n "update floor" "$(q "$update_floor") $(q "$tree_dir")" \
    -n "index -r" "$(q "$index") -r $(q "$tree_dir")" \
    -n "pages floor" "$(q "$pages_floor") $(q "$tree_dir")" | tee "$results_dir/tree.txt"
"$index" -r "$tree_dir" >/dev/null

catalog="$results_dir/catalog.html"
json="$results_dir/listing.json"
"$index" --catalog "$catalog" "$catalog_tree"
"$index" --json "$json" -r "$catalog_tree"
stamp() { stat -c '%i %Y.%y' "$catalog" "$json" | tr '\n' ' '; }
before=$(stamp)
hyperfine -N --warmup 1 --runs "${CATALOG_RUNS:-5}" --style basic \
    --export-json "$results_dir/catalog.json" \
    -n "index --catalog --update" "$(q "$index") --catalog $(q "$catalog") --update $(q "$catalog_tree")" \
    -n "index --json FILE -r --update" "$(q "$index") --json $(q "$json") -r --update $(q "$catalog_tree")" \
    -n "index --catalog" "$(q "$index") --catalog $(q "$results_dir/plain.html") $(q "$catalog_tree")" \
    -n "index --json FILE -r" "$(q "$index") --json $(q "$results_dir/plain.json") -r $(q "$catalog_tree")" |
    tee "$results_dir/catalog.txt"
if [[ $(stamp) == "$before" ]]; then
    say "catalogue and JSON file untouched by the --update runs"
else
    say "MISSED: the --update runs changed the catalogue or the JSON file"
fi
say "catalogue tree: $(find "$catalog_tree" -type f | wc -l) files"

python3 - "$results_dir/tree.json" "$results_dir/catalog.json" <<'PY' | tee -a "$summary"
import json, sys
m = {}
for path in sys.argv[1:]:
    m.update({r["command"]: r["median"] for r in json.load(open(path))["results"]})
def line(what, ours, theirs, target):
    ratio = m[ours] / m[theirs]
    print(f"{what}: {m[ours]:.3f} s / {m[theirs]:.3f} s = {ratio:.2f} (target <= {target}: "
          f"{'met' if ratio <= target else 'MISSED'})")
line("-r --update / tree -H", "index -r --update", "tree -H", 0.5)
# What no --update can go below: the walk, a look at each entry and a read of each old page.
line("update floor / tree -H", "update floor", "tree -H", 0.5)
line("-r --update / update floor", "index -r --update", "update floor", 1.05)
line("-r / pages floor", "index -r", "pages floor", 1.05)
line("--catalog --update / --catalog", "index --catalog --update", "index --catalog", 0.8)
line("--json FILE -r --update / --catalog", "index --json FILE -r --update", "index --catalog", 0.8)
line("--json FILE -r --update / --json FILE -r", "index --json FILE -r --update", "index --json FILE -r", 0.8)
PY
say "trees on $(stat -f -c %T "$tree_dir") ($(df --output=source "$tree_dir" | tail -1));" \
    "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
