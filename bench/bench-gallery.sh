#!/usr/bin/env bash
# A modern page of 10,000 photos with --thumbnails in headless Chromium at 1280 x 800: the first
# contentful paint, the first screen of pictures drawn, and the viewer's step to the next photo
# once loaded ahead; medians of RUNS fresh browsers.
#
#   bench/bench-gallery.sh
#
# Environment: FOLIMBRA_INDEX=path (default build/bench-release/cli/folimbra-index), COUNT
# (default 10000), RUNS (default 5), SHOT (a PNG of the first screen as painted). The photos are made once and kept in bench/data/gallery-COUNT.
set -euo pipefail

bench_dir=$(cd "$(dirname "$0")" && pwd)
root=$(dirname "$bench_dir")
index=${FOLIMBRA_INDEX:-$root/build/bench-release/cli/folimbra-index}
count=${COUNT:-10000}
runs=${RUNS:-5}
photos="$bench_dir/data/gallery-$count"
command -v cjpeg >/dev/null || { echo "bench-gallery.sh: cjpeg is missing (apt-get install libjpeg-turbo-progs)" >&2; exit 1; }
[ -x "$index" ] || { echo "bench-gallery.sh: no $index (set FOLIMBRA_INDEX)" >&2; exit 1; }

if [ "$(find "$photos" -maxdepth 1 -name '*.jpg' 2>/dev/null | wc -l)" != "$count" ]; then
    rm -rf "$photos" && mkdir -p "$photos"
    # One 800 x 600 photo of noise, copied: each copy is decoded for its own thumbnails.
    python3 -c "
import random, sys
random.seed(31)
sys.stdout.buffer.write(b'P6\n800 600\n255\n' + bytes(random.getrandbits(8) for _ in range(800 * 600 * 3)))
" | cjpeg -quality 85 >"$photos/foto-00000.jpg"
    for ((i = 1; i < count; ++i)); do printf '%s/foto-%05d.jpg\n' "$photos" "$i"; done |
        xargs -n 1000 sh -c 'for f; do cp "$0" "$f"; done' "$photos/foto-00000.jpg"
fi
start=$(date +%s%N)
"$index" --style modern --thumbnails "$photos" >/dev/null
echo "page and thumbnails of $count photos: $((($(date +%s%N) - start) / 1000000)) ms (thumbnails reused when fresh)"
echo "chromium, $count photos, median of $runs loads:"
"$root/tests/browser/run.sh" "$root/build/bench-release/browser-modules" ../../bench/gallery-browser.mjs \
    "$photos/Quorvel-Html_index.html" "$runs" ${SHOT:+"$SHOT"}
