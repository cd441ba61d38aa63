#!/usr/bin/env bash
# Times reading the tags of 2,000 music files (1,000 MP3 and 1,000 FLAC, twenty seconds each)
# with folimbra-index --json --tags against tags-peer.cpp, TagLib's plain FileRef over the same
# files, in one hyperfine run, with the page cache dropped before each run where the machine
# lets us (else warm, and the script says so). Prints the medians and their ratio.
#
# Environment: FOLIMBRA_INDEX=path (skip its build), RUNS (default 10), TAGS_ROOT (where the
# files are made, default bench/data).
set -euo pipefail

bench_dir=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$bench_dir")
music_dir="${TAGS_ROOT:-$bench_dir/data}/music-2000"
results_dir="$bench_dir/results/tags-$(date +%Y%m%d-%H%M%S)"
export LANG=${LANG:-C.UTF-8}

# shellcheck source=../scripts/packages.sh
. "$source_dir/scripts/packages.sh"
ensure_packages hyperfine ffmpeg libtag1-dev g++ pkg-config
# shellcheck source=release-index.sh
. "$bench_dir/release-index.sh"
index=$(release_index "$source_dir")

if [[ ! -d $music_dir ]]; then
    echo "Making $music_dir"
    mkdir -p "$music_dir.part"
    # One encode of each kind, 24 tagged copies of it (ffmpeg's copy codec), then plain copies
    # of those: 2,000 files in seconds, each with its own name and full tags.
    for kind in mp3 flac; do
        ffmpeg -loglevel error -f lavfi -i sine=duration=20 -ac 2 -b:a 128k \
            "$music_dir.part/base.$kind"
        for n in $(seq 0 23); do
            ffmpeg -loglevel error -i "$music_dir.part/base.$kind" -c copy \
                -metadata "title=Canción $n" -metadata artist="Banda $((n % 5))" \
                -metadata album="Disco $((n / 12))" -metadata track=$((n % 12 + 1)) \
                -metadata date=$((1960 + n)) "$music_dir.part/tagged $n.$kind"
        done
        for n in $(seq 0 999); do
            cp "$music_dir.part/tagged $((n % 24)).$kind" "$music_dir.part/pista $n.$kind"
        done
        rm "$music_dir.part/tagged "*".$kind"
    done
    rm "$music_dir.part"/base.*
    mv "$music_dir.part" "$music_dir"
fi

mkdir -p "$results_dir"
peer=$results_dir/tags-peer
# shellcheck disable=SC2046 # pkg-config's flags are words
g++ -O2 -o "$peer" "$bench_dir/tags-peer.cpp" $(pkg-config --cflags --libs taglib)

prepare=true
if sync && echo 3 2>/dev/null >/proc/sys/vm/drop_caches; then
    prepare='sync; echo 3 > /proc/sys/vm/drop_caches'
    echo "Cold cache: the page cache is dropped before each run"
else
    echo "Warm cache: this machine does not let the page cache be dropped"
fi
echo "Load average: $(cut -d' ' -f1-3 /proc/loadavg)"
cd "$music_dir"
hyperfine --runs "${RUNS:-10}" --prepare "$prepare" --export-json "$results_dir/hyperfine.json" \
    -n folimbra-index "'$index' --json - --tags . >/dev/null" \
    -n tags-peer "'$peer' *.mp3 *.flac >/dev/null"
python3 - "$results_dir/hyperfine.json" <<'PY'
import json, statistics, sys
results = {r["command"]: statistics.median(r["times"]) for r in json.load(open(sys.argv[1]))["results"]}
ours, peer = results["folimbra-index"], results["tags-peer"]
print(f"median folimbra-index {ours * 1000:.0f} ms, tags-peer {peer * 1000:.0f} ms: {ours / peer:.2f} x")
PY
