#!/usr/bin/env bash
# Times folimbra-index against a single-threaded C floor, tree -H and find on the same folders,
# in the same run, then the window (bench_window) opening each folder and making its page,
# against folimbra-index.
#
#   bench/run.sh              folders of 10,000 and 100,000 files
#   bench/run.sh --million    the same, then 1,000,000 files
#
# Environment: FOLIMBRA_INDEX=path (skip its build), LANG (default C.UTF-8), RUNS (default 10),
# WARMUP (default 3), MILLION_RUNS (default 5), KEEP_MILLION=1 (keep the 1,000,000-file folder).
set -euo pipefail

million=0
for argument in "$@"; do
    case "$argument" in
        --million) million=1 ;;
        -h | --help)
            sed -n '2,11s/^# \{0,1\}//p' "$0"
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
million_runs=${MILLION_RUNS:-5}
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
# shellcheck source=../scripts/packages.sh
. "$source_dir/scripts/packages.sh"
ensure_packages hyperfine tree time python3 gcc

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

# --- the floor: one thread, readdir + fstatat + strcmp sort + stdio ------------------------------
floor="$results_dir/listing-floor"
cc -O3 -Wall -o "$floor" "$bench_dir/listing-floor.c" || {
    echo "run.sh: cannot build the floor" >&2
    exit 1
}
# Its page goes beside the results, not into the folder, where it would be one more file.
floor_page="$results_dir/floor-page.html"

# hyperfine runs the commands without a shell (-N) and splits them itself: quote for it.
quote() { printf "'%s'" "${1//\'/\'\\\'\'}"; }

say "Quorvel Folimbra benchmark, $(date -u '+%Y-%m-%d %H:%M UTC')"
say "locale: LANG=$LANG${LC_ALL:+ LC_ALL=$LC_ALL} (collation: $(locale 2>/dev/null | sed -n 's/^LC_COLLATE=//p' | tr -d '"'))"
say "folimbra-index: $index ($("$index" --version))"
say "floor: bench/listing-floor.c, $(cc --version | head -n 1), -O3"
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
    # The floor leaves the page out, as folimbra-index does.
    listed=$("$floor" "$folder" "$floor_page")
    local lines
    lines=$(grep -c '^<p><a href=' "$floor_page" || true)
    if ((listed != count || lines != count)); then
        echo "run.sh: the floor listed $listed ($lines lines) of $count files in $folder" >&2
        exit 1
    fi
}

# One hyperfine run of the four programs on a folder, then each one's peak memory.
time_folder() {
    local folder=$1 label=$2 folder_runs=$3 folder_warmup=$4
    local q
    q=$(quote "$folder")
    hyperfine -N --warmup "$folder_warmup" --runs "$folder_runs" --style basic \
        --export-json "$results_dir/$label.json" \
        -n folimbra-index "$(quote "$index") $q" \
        -n floor "$(quote "$floor") $q $(quote "$floor_page")" \
        -n "tree -H" "tree -H . -L 1 -D -s --noreport -o /dev/null $q" \
        -n find "find $q -maxdepth 1 -printf '%f %s %t\\n'" \
        2>&1 | tee "$results_dir/$label.hyperfine.txt"
    /usr/bin/time -v -o "$results_dir/$label-folimbra.time" "$index" "$folder" >/dev/null
    /usr/bin/time -v -o "$results_dir/$label-floor.time" "$floor" "$folder" "$floor_page" >/dev/null
    /usr/bin/time -v -o "$results_dir/$label-tree.time" tree -H . -L 1 -D -s --noreport -o /dev/null "$folder"
    /usr/bin/time -v -o "$results_dir/$label-find.time" find "$folder" -maxdepth 1 -printf '%f %s %t\n' >/dev/null
    table_rows+=("$label" "$results_dir/$label")
}

table_rows=()
for count in 10000 100000; do
    label="files-$count"
    folder="$data_dir/$label"
    python3 "$bench_dir/make-folder.py" --count "$count" "$folder"
    check_outputs "$folder" "$count" "$label"
    time_folder "$folder" "$label" "$runs" "$warmup"
done

# A million files: fewer runs, as each takes seconds.
if ((million)); then
    count=1000000
    label="files-$count"
    folder="$data_dir/$label"
    python3 "$bench_dir/make-folder.py" --count "$count" "$folder"
    check_outputs "$folder" "$count" "$label"
    time_folder "$folder" "$label" "$million_runs" 1
    if [[ ${KEEP_MILLION:-0} != 1 ]]; then
        rm -rf -- "$folder" "$folder.stamp"
        say "removed $folder"
    fi
fi
rm -f -- "$floor_page"

say ""
python3 - "${table_rows[@]}" <<'EOF' | tee -a "$summary"
import json, sys
args = sys.argv[1:]

def peak(path):
    with open(path) as f:
        for line in f:
            key, _, value = line.strip().rpartition(": ")
            if key == "Maximum resident set size (kbytes)":
                return int(value) * 1024
    return float("nan")

def mark(ok):
    return "met" if ok else "MISSED"

print("medians of one hyperfine run per folder; peak resident memory of one more run (/usr/bin/time -v)")
print(f"{'files':>9} {'folimbra-index':>15} {'floor':>10} {'tree -H':>10} {'find':>10}"
      f" {'f/floor':>8} {'f/tree':>7} {'f/find':>7} {'f peak':>9} {'floor peak':>10} {'cpu f/floor':>11}")
verdicts = []
for label, base in zip(args[0::2], args[1::2]):
    count = int(label.removeprefix("files-"))
    with open(base + ".json") as f:
        results = {r["command"]: r for r in json.load(f)["results"]}
    med = {name: r["median"] for name, r in results.items()}
    runs = len(results["folimbra-index"]["times"])
    fo, fl, tr, fi = med["folimbra-index"], med["floor"], med["tree -H"], med["find"]
    f_peak, floor_peak = peak(base + "-folimbra.time"), peak(base + "-floor.time")
    # Mean user + system time: what the ratio tends to when other work holds the cores.
    cpu = {name: r["user"] + r["system"] for name, r in results.items()}
    print(f"{count:>9,} {fo*1000:>12.1f} ms {fl*1000:>7.1f} ms {tr*1000:>7.1f} ms {fi*1000:>7.1f} ms"
          f" {fo/fl:>8.2f} {fo/tr:>7.2f} {fo/fi:>7.2f} {f_peak/1e6:>6.1f} MB {floor_peak/1e6:>7.1f} MB"
          f" {cpu['folimbra-index']/cpu['floor']:>11.2f}  ({runs} runs)")
    if count == 100000:
        verdicts.append(f"100,000: f/floor <= 0.8 {mark(fo/fl <= 0.8)}, f/tree <= 1 {mark(fo/tr <= 1)},"
                        f" f/find <= 2 {mark(fo/fi <= 2)}")
    if count == 1000000:
        verdicts.append(f"1,000,000: f/floor <= 0.8 {mark(fo/fl <= 0.8)},"
                        f" peak < 200 MB {mark(f_peak < 200e6)}")
print("targets: " + "; ".join(verdicts))
EOF
say "load after the table: $(cut -d' ' -f1-3 /proc/loadavg)"

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
