#!/usr/bin/env bash
# Times folimbra-index against tree -H and find on the same folders, in the same run, then the
# window (bench_window) opening each folder and making its page, against folimbra-index.
#
#   bench/run.sh              folders of 10,000 and 100,000 files
#   bench/run.sh --million    the same, then peak memory and time on 1,000,000 files
#
# Environment: FOLIMBRA_INDEX=path (skip its build), LANG (default C.UTF-8),
# RUNS (default 10), WARMUP (default 3), KEEP_MILLION=1 (keep the 1,000,000-file folder).
set -euo pipefail

million=0
for argument in "$@"; do
    case "$argument" in
        --million) million=1 ;;
        -h | --help)
            sed -n '2,10s/^# \{0,1\}//p' "$0"
            exit 0
            ;;
        *)
            echo "run.sh: unknown argument: $argument" >&2
            exit 2
            ;;
    esac
done

bench_dir=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$bench_dir")
build_dir="$source_dir/build/bench-release"
data_dir="$bench_dir/data"
runs=${RUNS:-10}
warmup=${WARMUP:-3}
if ((runs < 10)); then
    echo "run.sh: RUNS must be at least 10" >&2
    exit 2
fi

# Names sort and dates print by the locale, so every figure is tied to one; the caller may pick it.
export LANG=${LANG:-C.UTF-8}

results_dir="$bench_dir/results/$(date +%Y%m%d-%H%M%S)"
mkdir -p "$results_dir" "$data_dir"
summary="$results_dir/summary.txt"
say() { printf '%s\n' "$*" | tee -a "$summary"; }

# --- tools -------------------------------------------------------------------------------------
missing=()
command -v hyperfine >/dev/null || missing+=(hyperfine)
command -v tree >/dev/null || missing+=(tree)
[[ -x /usr/bin/time ]] || missing+=(time)
command -v python3 >/dev/null || missing+=(python3)
if ((${#missing[@]})); then
    if [[ $(id -u) -ne 0 ]]; then
        echo "run.sh: missing ${missing[*]}; as root: apt-get install -y ${missing[*]}" >&2
        exit 1
    fi
    apt-get update
    DEBIAN_FRONTEND=noninteractive apt-get install -y "${missing[@]}"
fi

# --- folimbra-index ----------------------------------------------------------------------------
if [[ -n ${FOLIMBRA_INDEX:-} ]]; then
    index=$FOLIMBRA_INDEX
else
    cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DFOLIMBRA_BENCH=ON >"$results_dir/configure.log" 2>&1 || {
        tail -n 30 "$results_dir/configure.log" >&2
        echo "run.sh: configure failed (log: $results_dir/configure.log)" >&2
        exit 1
    }
    cmake --build "$build_dir" -j2 --target folimbra-index >"$results_dir/build.log" 2>&1 || {
        tail -n 30 "$results_dir/build.log" >&2
        echo "run.sh: build failed (log: $results_dir/build.log)" >&2
        exit 1
    }
    index="$build_dir/cli/folimbra-index"
fi
[[ -x $index ]] || { echo "run.sh: not executable: $index" >&2; exit 1; }

# hyperfine runs the commands without a shell (-N) and splits them itself: quote for it.
quote() { printf "'%s'" "${1//\'/\'\\\'\'}"; }

say "Quorvel Folimbra benchmark, $(date -u '+%Y-%m-%d %H:%M UTC')"
say "locale: LANG=$LANG${LC_ALL:+ LC_ALL=$LC_ALL} (collation: $(locale 2>/dev/null | sed -n 's/^LC_COLLATE=//p' | tr -d '"'))"
say "folimbra-index: $index ($("$index" --version))"
# shellcheck disable=SC2185 # find --version takes no path
say "tree: $(tree --version | cut -d' ' -f1-2), find: $(find --version | head -n 1), $(hyperfine --version)"
say "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
say "runs: $runs after $warmup warm-up runs, warm cache; times are medians"
say "results: $results_dir"
say ""

page_name="Quorvel-Html_index.html"

# Checks once that each program lists every file, so no one is timed doing less work.
check_outputs() {
    local folder=$1 count=$2 label=$3
    "$index" "$folder" >/dev/null
    local listed
    listed=$(grep -c '^<p><a href=' "$folder/$page_name" || true)
    if ((listed != count)); then
        echo "run.sh: folimbra-index listed $listed of $count files in $folder" >&2
        exit 1
    fi
    tree -H . -L 1 -D -s --noreport -o "$results_dir/tree-$label.html" "$folder"
    # The page just written is one more file for tree and find.
    listed=$(grep -c '<a href="\./[^"]' "$results_dir/tree-$label.html" || true)
    if ((listed != count + 1)); then
        echo "run.sh: tree listed $listed of $((count + 1)) files in $folder" >&2
        exit 1
    fi
    gzip -f "$results_dir/tree-$label.html"
    listed=$(find "$folder" -mindepth 1 -maxdepth 1 -printf '%f %s %t\n' | wc -l)
    if ((listed != count + 1)); then
        echo "run.sh: find listed $listed of $((count + 1)) files in $folder" >&2
        exit 1
    fi
}

table_rows=()
for count in 10000 100000; do
    label="files-$count"
    folder="$data_dir/$label"
    python3 "$bench_dir/make-folder.py" --count "$count" "$folder"
    check_outputs "$folder" "$count" "$label"
    q=$(quote "$folder")
    hyperfine -N --warmup "$warmup" --runs "$runs" --style basic \
        --export-json "$results_dir/$label.json" \
        -n folimbra-index "$(quote "$index") $q" \
        -n "tree -H" "tree -H . -L 1 -D -s --noreport -o /dev/null $q" \
        -n find "find $q -maxdepth 1 -printf '%f %s %t\\n'" \
        2>&1 | tee "$results_dir/$label.hyperfine.txt"
    table_rows+=("$count" "$results_dir/$label.json")
done

say ""
python3 - "${table_rows[@]}" <<'EOF' | tee -a "$summary"
import json, sys
args = sys.argv[1:]
print(f"{'files':>9} {'folimbra-index':>15} {'tree -H':>9} {'find':>9} {'f/tree':>7} {'f/find':>7}  targets on 100,000: f/tree <= 1, f/find <= 2")
for count, path in zip(args[0::2], args[1::2]):
    with open(path) as f:
        med = {r["command"]: r["median"] for r in json.load(f)["results"]}
    fo, tr, fi = med["folimbra-index"], med["tree -H"], med["find"]
    r_tree, r_find = fo / tr, fo / fi
    verdict = ""
    if int(count) == 100000:
        verdict = "  tree: " + ("met" if r_tree <= 1 else "MISSED") + ", find: " + ("met" if r_find <= 2 else "MISSED")
    print(f"{int(count):>9,} {fo*1000:>12.1f} ms {tr*1000:>6.1f} ms {fi*1000:>6.1f} ms {r_tree:>7.2f} {r_find:>7.2f}{verdict}")
EOF

# --- 1,000,000 files: peak memory and wall time ------------------------------------------------
if ((million)); then
    count=1000000
    folder="$data_dir/files-$count"
    python3 "$bench_dir/make-folder.py" --count "$count" "$folder"
    check_outputs "$folder" "$count" "files-$count"
    for run in 1 2 3; do
        /usr/bin/time -v -o "$results_dir/million-folimbra-$run.time" "$index" "$folder" >/dev/null
        /usr/bin/time -v -o "$results_dir/million-tree-$run.time" tree -H . -L 1 -D -s --noreport -o /dev/null "$folder"
        /usr/bin/time -v -o "$results_dir/million-find-$run.time" find "$folder" -maxdepth 1 -printf '%f %s %t\n' >/dev/null
    done
    say ""
    python3 - "$results_dir" <<'EOF' | tee -a "$summary"
import statistics, sys
results = sys.argv[1]

def read(program, run):
    wall = rss = None
    with open(f"{results}/million-{program}-{run}.time") as f:
        for line in f:
            key, _, value = line.strip().rpartition(": ")
            if key.startswith("Elapsed (wall clock) time"):
                seconds = 0.0
                for part in value.split(":"):
                    seconds = seconds * 60 + float(part)
                wall = seconds
            elif key == "Maximum resident set size (kbytes)":
                rss = int(value) * 1024
    return wall, rss

print("1,000,000 files, 3 runs each:")
print(f"{'program':>15} {'wall median':>12} {'peak RSS (max of 3)':>20}")
walls = {}
for program in ("folimbra", "tree", "find"):
    samples = [read(program, run) for run in (1, 2, 3)]
    walls[program] = statistics.median(w for w, _ in samples)
    peak = max(r for _, r in samples)
    name = "folimbra-index" if program == "folimbra" else ("tree -H" if program == "tree" else program)
    print(f"{name:>15} {walls[program]:>10.2f} s {peak/1e6:>13.1f} MB ({peak/2**20:.1f} MiB)")
    if program == "folimbra":
        folimbra_peak = peak
print(f"ratios: folimbra/tree {walls['folimbra']/walls['tree']:.2f}, folimbra/find {walls['folimbra']/walls['find']:.2f}")
print(f"target peak memory < 300 MB: {'met' if folimbra_peak < 300e6 else 'MISSED'} ({folimbra_peak/1e6:.1f} MB)")
EOF
    if [[ ${KEEP_MILLION:-0} != 1 ]]; then
        rm -rf -- "$folder" "$folder.stamp"
        say "removed $folder"
    fi
fi

# --- the window: opening a folder and the page command -----------------------------------------
# Its own configure too: with FOLIMBRA_INDEX set, the one above did not run.
cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DFOLIMBRA_BENCH=ON >"$results_dir/configure-window.log" 2>&1 || {
    tail -n 30 "$results_dir/configure-window.log" >&2
    echo "run.sh: configure failed (log: $results_dir/configure-window.log)" >&2
    exit 1
}
cmake --build "$build_dir" -j2 --target bench_window >"$results_dir/build-window.log" 2>&1 || {
    tail -n 30 "$results_dir/build-window.log" >&2
    echo "run.sh: build failed (log: $results_dir/build-window.log)" >&2
    exit 1
}
# Qt wants a private runtime folder and complains on every start without one.
runtime_dir="$build_dir/bench/runtime"
mkdir -p "$runtime_dir"
chmod 700 "$runtime_dir"
for count in 10000 100000; do
    label="files-$count"
    say ""
    XDG_RUNTIME_DIR=${XDG_RUNTIME_DIR:-$runtime_dir} QT_QPA_PLATFORM=offscreen \
        "$build_dir/bench/bench_window" "$data_dir/$label" "$index" "$runs" \
        2> >(tee "$results_dir/window-$label.err" >&2) \
        | tee "$results_dir/window-$label.txt" | tee -a "$summary"
done
