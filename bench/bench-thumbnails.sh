#!/usr/bin/env bash
# Times the thumbnails of 200 generated 12-megapixel JPEGs, cold (none made yet) and warm (all
# fresh), against ImageMagick's `convert -thumbnail 256x256` over the same files, one at a time
# and with xargs -P on every core, all in one hyperfine run.
#
#   bench/bench-thumbnails.sh
#
# Environment: BENCH_THUMBNAILS=path (skip its build), COUNT (default 200), RUNS (default 3: one
# run of convert -P 1 takes about a minute). The photos are made once and kept in
# bench/data/photos-COUNT.
set -euo pipefail

case "${1:-}" in
    "") ;;
    -h | --help)
        sed -n '2,10s/^# \{0,1\}//p' "$0"
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
ensure_packages hyperfine imagemagick
# The package's own program, not whatever else answers to the name first on PATH.
convert=/usr/bin/convert
"$convert" -version | grep -q ImageMagick || { echo "bench-thumbnails.sh: $convert is not ImageMagick" >&2; exit 1; }

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

# Checks once that both sides make every thumbnail within 256 x 256, so no one is timed doing less.
convert_out="$results_dir/convert"
mkdir -p "$convert_out"
rm -rf "$photos/.sh_thumbnails"
"$driver" "$photos"
made=$(find "$photos/.sh_thumbnails/large" -name '*.png' | wc -l)
((made == count)) || { echo "bench-thumbnails.sh: $made of $count thumbnails made" >&2; exit 1; }
# One file per convert, as a shell loop over a folder would run it.
one_convert="$results_dir/convert-one.sh"
# shellcheck disable=SC2016 # $1 is the little script's own argument
printf '#!/bin/sh\nexec '\''%s'\'' "$1" -thumbnail 256x256 '\''%s'\''/"${1##*/}".png\n' "$convert" "$convert_out" >"$one_convert"
find "$photos" -maxdepth 1 -name '*.jpg' -print0 | xargs -0 -P "$(nproc)" -n 1 sh "$one_convert"
made=$(find "$convert_out" -name '*.png' | wc -l)
((made == count)) || { echo "bench-thumbnails.sh: convert made $made of $count" >&2; exit 1; }
say "Quorvel Folimbra thumbnails benchmark, $(date -u '+%Y-%m-%d %H:%M UTC')"
say "photos: $count JPEGs of 4000 x 3000, $(du -sh --exclude=.sh_thumbnails "$photos" | cut -f1) in $photos"
say "convert: $("$convert" -version | head -n 1), $(hyperfine --version)"
for file in "$(find "$photos/.sh_thumbnails/large" -name '*.png' -print -quit)" "$convert_out/photo-000.jpg.png"; do
    say "sample thumbnail: $(/usr/bin/identify -format '%wx%h %b' "$file") $file"
done
say "machine: $(nproc) cores, load $(cut -d' ' -f1-3 /proc/loadavg)"
say "runs: $runs after one warm-up, page cache warm; times are means"
say ""

list="find '$photos' -maxdepth 1 -name '*.jpg' -print0"
hyperfine --style basic --warmup 1 --runs "$runs" \
    --export-markdown "$results_dir/table.md" --export-json "$results_dir/hyperfine.json" \
    --command-name "folimbra cold" --prepare "rm -rf '$photos/.sh_thumbnails'" \
    "'$driver' '$photos'" \
    --command-name "folimbra warm" --prepare "'$driver' '$photos'" \
    "'$driver' '$photos'" \
    --command-name "convert -P 1" --prepare true \
    "$list | xargs -0 -P 1 -n 1 sh '$one_convert'" \
    --command-name "convert -P $(nproc)" --prepare true \
    "$list | xargs -0 -P $(nproc) -n 1 sh '$one_convert'" \
    2>&1 | tee "$results_dir/hyperfine.log"

say ""
tee -a "$summary" <"$results_dir/table.md"
say ""
say "results: $results_dir"
