#!/usr/bin/env bash
# Times the thumbnails (256 and 512 pixels) of generated 12-megapixel JPEGs, cold (none made yet)
# and warm (all fresh), against `djpeg -scale 1/4` (libjpeg-turbo decoding at a quarter, about
# what a 512-pixel thumbnail needs) and `vipsthumbnail -s 512` over the same files with xargs -P
# on every core, all in one hyperfine run, and prints the medians and the ratios, of the elapsed
# time and of the processor time.
#
#   bench/bench-thumbnails.sh
#
# Environment: BENCH_THUMBNAILS=path (skip its build), COUNT (default 200), RUNS (default 3).
# The photos are made once and kept in bench/data/photos-COUNT.
set -euo pipefail

case "${1:-}" in
    "") ;;
    -h | --help)
        sed -n '2,12s/^# \{0,1\}//p' "$0"
        exit 0
        ;;
    *)
        echo "bench-thumbnails.sh: unknown argument: $1" >&2
        exit 2
        ;;
esac

bench_dir=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$bench_dir")
build_dir="$source_dir/build/bench-release"
count=${COUNT:-200}
runs=${RUNS:-3}
photos="$bench_dir/data/photos-$count"
results_dir="$bench_dir/results/thumbnails-$(date +%Y%m%d-%H%M%S)"
mkdir -p "$results_dir" "$photos"
summary="$results_dir/summary.txt"
say() { printf '%s\n' "$*" | tee -a "$summary"; }

# --- tools -------------------------------------------------------------------------------------
# shellcheck source=../scripts/packages.sh
. "$source_dir/scripts/packages.sh"
ensure_packages hyperfine libjpeg-turbo-progs libvips-tools python3
# The packages' own programs, not whatever else answers to the name first on PATH.
djpeg=/usr/bin/djpeg
vipsthumbnail=/usr/bin/vipsthumbnail

# --- the driver --------------------------------------------------------------------------------
if [[ -n ${BENCH_THUMBNAILS:-} ]]; then
    driver=$BENCH_THUMBNAILS
else
    cmake -S "$source_dir" -B "$build_dir" -G Ninja -DCMAKE_BUILD_TYPE=Release -DFOLIMBRA_BENCH=ON >"$results_dir/configure.log" 2>&1 || {
        tail -n 30 "$results_dir/configure.log" >&2
        exit 1
    }
    cmake --build "$build_dir" -j2 --target bench_thumbnails >"$results_dir/build.log" 2>&1 || {
        tail -n 30 "$results_dir/build.log" >&2
        exit 1
    }
    driver="$build_dir/bench/bench_thumbnails"
fi

if (($(find "$photos" -maxdepth 1 -name '*.jpg' | wc -l) < count)); then
    echo "Making $count photos of 4000 x 3000 in $photos (once)..."
    "$driver" --generate "$photos" "$count"
fi

# Checks once that every side makes every thumbnail, so no one is timed doing less.
vips_out="$results_dir/vips"
mkdir -p "$vips_out"
rm -rf "$photos/.sh_thumbnails"
"$driver" "$photos"
for size in large x-large; do
    made=$(find "$photos/.sh_thumbnails/$size" -name '*.png' | wc -l)
    ((made == count)) || { echo "bench-thumbnails.sh: $made of $count $size thumbnails made" >&2; exit 1; }
done
list="find '$photos' -maxdepth 1 -name '*.jpg' -print0"
cores=$(nproc)
djpeg_all="$list | xargs -0 -P $cores -n 1 '$djpeg' -scale 1/4 -outfile /dev/null"
vips_all="$list | xargs -0 -P $cores -n 1 '$vipsthumbnail' -s 512 -o '$vips_out/%s.png'"
eval "$vips_all"
made=$(find "$vips_out" -name '*.png' | wc -l)
((made == count)) || { echo "bench-thumbnails.sh: vipsthumbnail made $made of $count" >&2; exit 1; }
say "Quorvel Folimbra thumbnails benchmark, $(date -u '+%Y-%m-%d %H:%M UTC')"
say "photos: $count JPEGs of 4000 x 3000, $(du -sh --exclude=.sh_thumbnails "$photos" | cut -f1) in $photos"
say "tools: $(dpkg-query -W -f='${Package} ${Version}; ' libjpeg-turbo-progs libvips-tools), $(hyperfine --version)"
say "machine: $cores cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
say "runs: $runs after one warm-up, page cache warm; elapsed times are medians, processor times means"
say ""

hyperfine --style basic --warmup 1 --runs "$runs" \
    --export-markdown "$results_dir/table.md" --export-json "$results_dir/hyperfine.json" \
    --command-name "folimbra cold" --prepare "rm -rf '$photos/.sh_thumbnails'" \
    "'$driver' '$photos'" \
    --command-name "folimbra warm" --prepare "'$driver' '$photos'" \
    "'$driver' '$photos'" \
    --command-name "djpeg -scale 1/4 -P $cores" --prepare true "$djpeg_all" \
    --command-name "vipsthumbnail -s 512 -P $cores" --prepare true "$vips_all" \
    2>&1 | tee "$results_dir/hyperfine.log"

say ""
python3 - "$results_dir/hyperfine.json" <<'PY' | tee -a "$summary"
import json, sys
results = json.load(open(sys.argv[1]))["results"]
median = {r["command"]: r["median"] for r in results}
# Processor time (user and system, means): on a machine others load too, what the elapsed time
# cannot tell apart from waiting for a core.
cpu = {r["command"]: r["user"] + r["system"] for r in results}
print(f"{'':34} {'elapsed':>10} {'processor':>10}")
for name, seconds in median.items():
    print(f"{name:34} {seconds:8.3f} s {cpu[name]:8.3f} s")
def ratios(times):
    cold, warm = times["folimbra cold"], times["folimbra warm"]
    djpeg = next(v for k, v in times.items() if k.startswith("djpeg"))
    vips = next(v for k, v in times.items() if k.startswith("vipsthumbnail"))
    return cold / djpeg, cold / vips, warm / cold
for label, elapsed, processor, target in zip(("cold / djpeg -scale 1/4", "cold / vipsthumbnail -s 512",
                                              "warm / cold"),
                                             ratios(median), ratios(cpu), (1.1, 0.8, 0.05)):
    print(f"{label:34} {elapsed:8.3f}   {processor:8.3f}    (target <= {target}: elapsed "
          f"{'met' if elapsed <= target else 'MISSED'}, processor "
          f"{'met' if processor <= target else 'MISSED'})")
PY
say ""
say "results: $results_dir"
