#!/usr/bin/env bash
# Times --catalog and --json -r against --recursive and find -printf over the same tree, in one
# hyperfine run (medians, and the two ratios the targets are given in), then the catalogue's
# size, each run's peak memory, and opening and searching the catalogue in headless Chromium
# (catalog-open.mjs). The issue's tree is 1,000,000 files in
# 50,000 folders: FOLDERS=50000 FILES=20; the default is a tenth of it.
#
# Environment: FOLIMBRA_INDEX=path (skip its build), FOLDERS (default 5000), FILES (default 20),
# RUNS (default 5), WARMUP (default 1), DATA (where the tree is made; default /dev/shm if there).
set -euo pipefail

bench_dir=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$bench_dir")
folders=${FOLDERS:-5000}
files=${FILES:-20}
data=${DATA:-$([[ -d /dev/shm ]] && echo /dev/shm || echo "$bench_dir/data")}
tree_dir="$data/folimbra-catalog-${folders}x${files}"
results_dir="$bench_dir/results/catalog-$(date +%Y%m%d-%H%M%S)"
export LANG=${LANG:-C.UTF-8}

# shellcheck source=../scripts/packages.sh
. "$source_dir/scripts/packages.sh"
ensure_packages hyperfine time
# shellcheck source=release-index.sh
. "$bench_dir/release-index.sh"
index=$(release_index "$source_dir")

if [[ ! -d $tree_dir ]]; then
    echo "Making $tree_dir"
    # Folders ten to a level, three levels deep, names with accents and blanks; sparse files.
    python3 - "$tree_dir" "$folders" "$files" <<'PY'
import os, random, sys
root, folders, files = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
random.seed(20)
words = ["Fotos", "año", "Árbol", "informe", "copia de seguridad", "música", "été", "Zürich"]
for f in range(folders):
    path = os.path.join(root, f"nivel {f // 1000:03d}", f"grupo {f // 10 % 100:02d} {words[f % 8]}",
                        f"carpeta {f:06d}")
    os.makedirs(path, exist_ok=True)
    for n in range(files):
        name = os.path.join(path, f"{random.choice(words)} {n:04d}.{random.choice(['jpg', 'txt', 'PDF'])}")
        with open(name, "wb") as out:
            out.truncate(random.randrange(0, 1 << 22))
        t = random.randrange(1_000_000_000, 1_700_000_000)
        os.utime(name, (t, t))
PY
fi
mkdir -p "$results_dir"
q() { printf '%q' "$1"; }
# The pages -r writes are part of the tree from the first run on: let it write them first.
"$index" -r "$tree_dir" >/dev/null

hyperfine --warmup "${WARMUP:-1}" --runs "${RUNS:-5}" --export-json "$results_dir/times.json" \
    -n "folimbra-index -r" "$(q "$index") -r $(q "$tree_dir") >/dev/null" \
    -n "folimbra-index --catalog" "$(q "$index") --catalog $(q "$results_dir/catalog.html") $(q "$tree_dir")" \
    -n "folimbra-index --json - -r" "$(q "$index") --json - -r $(q "$tree_dir") >/dev/null" \
    -n "find -printf" "TZ=UTC0 find $(q "$tree_dir") -printf '%h\t%f\t%y\t%s\t%TY-%Tm-%TdT%TTZ\t%T@\t%l\n' >/dev/null"
# Medians, not means: one run slowed by a neighbour on a shared machine moves a mean a lot.
python3 - "$results_dir/times.json" >"$results_dir/times.md" <<'PY'
import json, sys
results = {r["command"]: r for r in json.load(open(sys.argv[1]))["results"]}
print("| Command | Median [s] | Min [s] | Max [s] | Runs |")
print("|---|---|---|---|---|")
for name, r in results.items():
    print(f"| {name} | {r['median']:.3f} | {r['min']:.3f} | {r['max']:.3f} | {len(r['times'])} |")
median = {name: r["median"] for name, r in results.items()}
print()
print(f"--catalog / -r: {median['folimbra-index --catalog'] / median['folimbra-index -r']:.2f} (target <= 1.0)")
print(f"--json - -r / find -printf: {median['folimbra-index --json - -r'] / median['find -printf']:.2f} (target <= 1.2)")
PY
{
    echo
    for run in "-r $(q "$tree_dir")" "--catalog $(q "$results_dir/catalog.html") $(q "$tree_dir")" \
        "--json - -r $(q "$tree_dir")"; do
        peak=$(eval "/usr/bin/time -f %M $(q "$index") $run" 2>&1 >/dev/null | tail -1)
        echo "peak memory of folimbra-index $run: $((peak / 1024)) MB"
    done
    echo "catalogue: $(stat -c %s "$results_dir/catalog.html") bytes"
    echo "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
} | tee -a "$results_dir/times.md"
"$source_dir/tests/browser/run.sh" "$source_dir/build/bench-release/browser-modules" \
    ../../bench/catalog-open.mjs "$results_dir/catalog.html" | tee -a "$results_dir/times.md"
cat "$results_dir/times.md"
