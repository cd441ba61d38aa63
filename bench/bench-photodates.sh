#!/usr/bin/env bash
# Times reading when 2,000 photos were taken (their Exif DateTimeOriginal and OffsetTimeOriginal)
# against `exiftool -fast` on the same files, in one hyperfine run, cold (the page cache dropped
# before each run, where /proc/sys/vm/drop_caches may be written) and warm, and prints the
# medians. folimbra-index reads them for `--json --sort taken`; `--json` alone, which reads no
# dates, is timed beside it so the dates' own cost shows.
#
#   bench/bench-photodates.sh
#
# With THUMBNAILS=1 it times instead what the dates add to a cold run that makes every thumbnail
# (`--style modern --thumbnails`, which reads them in the decoding's own pass) against the
# classic page's `--thumbnails`, which reads none: the thumbnails removed and the page cache
# dropped before each run; COUNT=200 is the usual size for it.
#
# Environment: FOLIMBRA_INDEX=path (default build/bench-release/cli/folimbra-index), COUNT
# (default 2000), RUNS (default 5), THUMBNAILS. The photos are made once and kept in
# bench/data/dated-COUNT.
set -euo pipefail

bench_dir=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$bench_dir")
index=${FOLIMBRA_INDEX:-$source_dir/build/bench-release/cli/folimbra-index}
count=${COUNT:-2000}
runs=${RUNS:-5}
photos="$bench_dir/data/dated-$count"
for tool in hyperfine exiftool cjpeg python3; do
    command -v "$tool" >/dev/null || { echo "bench-photodates.sh: $tool is missing (apt-get install hyperfine libimage-exiftool-perl libjpeg-turbo-progs)" >&2; exit 1; }
done
[ -x "$index" ] || { echo "bench-photodates.sh: no $index (set FOLIMBRA_INDEX)" >&2; exit 1; }

if [ "$(find "$photos" -name '*.jpg' 2>/dev/null | wc -l)" != "$count" ]; then
    rm -rf "$photos" && mkdir -p "$photos"
    # A 1024 x 768 JPEG of noise, each copy with an Exif block of its own date (as cameras write
    # it, with a 160 x 120 preview, so the block is the usual size).
    python3 - "$photos" "$count" <<'PY'
import os, random, struct, subprocess, sys
folder, count = sys.argv[1], int(sys.argv[2])
random.seed(29)
def jpeg(w, h):
    pixels = bytes(random.getrandbits(8) for _ in range(w * h * 3))
    return subprocess.run(['cjpeg', '-quality', '90'], input=b'P6\n%d %d\n255\n' % (w, h) + pixels,
                          capture_output=True, check=True).stdout
photo, preview = jpeg(1024, 768), jpeg(160, 120)
def exif(taken, offset):
    tags = [(0x9003, taken + b'\0'), (0x9011, offset + b'\0')]
    start = 8
    exif_ifd = start + 2 + 12 * 3 + 4
    data = exif_ifd + 2 + 12 * len(tags) + 4
    values, entries = b'', b''
    for tag, text in tags:
        entries += struct.pack('<HHII', tag, 2, len(text), data + len(values))
        values += text
    thumb = data + len(values)  # the preview, in the first folder as old cameras put it
    ifd0 = struct.pack('<H', 3) + struct.pack('<HHII', 0x8769, 4, 1, exif_ifd) \
        + struct.pack('<HHII', 0x0201, 4, 1, thumb) + struct.pack('<HHII', 0x0202, 4, 1, len(preview)) \
        + struct.pack('<I', 0)
    tiff = b'II*\0' + struct.pack('<I', start) + ifd0 + struct.pack('<H', len(tags)) + entries \
        + struct.pack('<I', 0) + values + preview
    return b'Exif\0\0' + tiff
for i in range(count):
    block = exif(b'20%02d:%02d:%02d %02d:%02d:%02d' % (10 + i % 15, 1 + i % 12, 1 + i % 28, i % 24, i % 60, i % 60),
                 b'+02:00')
    with open(os.path.join(folder, 'IMG_%05d.jpg' % i), 'wb') as f:
        f.write(photo[:2] + b'\xff\xe1' + struct.pack('>H', len(block) + 2) + block + photo[2:])
PY
fi
# Every photo's date read by both, once, before timing.
ours=$("$index" --json - --sort taken "$photos" | grep -c '"taken":"20..-..-..T..:..:..+02:00"')
theirs=$(exiftool -fast -q -T -DateTimeOriginal "$photos" | grep -c '^20')
[ "$ours" = "$count" ] && [ "$theirs" = "$count" ] \
    || { echo "bench-photodates.sh: dates read: ours $ours, exiftool $theirs of $count" >&2; exit 1; }

prepare=true
if (sync && echo 3 >/proc/sys/vm/drop_caches) 2>/dev/null; then
    prepare='sync; echo 3 > /proc/sys/vm/drop_caches'
    echo "cold: the page cache is dropped before each run"
else
    echo "cold runs not possible here (/proc/sys/vm/drop_caches is not writable): warm only"
fi
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
results=$(mktemp -d)
if [ -n "${THUMBNAILS:-}" ]; then
    [ "$prepare" = true ] && { echo "bench-photodates.sh: THUMBNAILS needs cold runs" >&2; exit 1; }
    fresh="rm -rf $photos/.sh_thumbnails; $prepare"
    hyperfine --style basic --runs "$runs" --prepare "$fresh" --export-json "$results/thumbnails.json" \
        -n "classic --thumbnails (no dates)" "$index --thumbnails $photos >/dev/null" \
        -n "modern --thumbnails (dates)" "$index --style modern --thumbnails $photos >/dev/null" >/dev/null
    python3 - "$results/thumbnails.json" <<'PY'
import json, statistics, sys
rows = json.load(open(sys.argv[1]))['results']
for row in rows:
    print('cold  %-36s median %8.1f ms' % (row['command'], 1000 * statistics.median(row['times'])))
plain, dated = (statistics.median(row['times']) for row in rows)
print('cold  the dates add %+.1f %%' % (100 * (dated / plain - 1)))
PY
    echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
    rm -rf "$results"
    exit 0
fi
for mode in cold warm; do
    [ "$mode" = warm ] && prepare=true
    [ "$mode" = cold ] && [ "$prepare" = true ] && continue
    hyperfine --style basic --runs "$runs" --warmup 1 --prepare "$prepare" --export-json "$results/$mode.json" \
        -n "folimbra-index --json --sort taken" "$index --json - --sort taken $photos >/dev/null" \
        -n "folimbra-index --json (no dates)" "$index --json - $photos >/dev/null" \
        -n "exiftool -fast" "exiftool -fast -q -T -DateTimeOriginal -OffsetTimeOriginal $photos >/dev/null" >/dev/null
    python3 - "$results/$mode.json" "$mode" <<'PY'
import json, statistics, sys
rows = json.load(open(sys.argv[1]))['results']
ours, exif = statistics.median(rows[0]['times']), statistics.median(rows[2]['times'])
for row in rows:
    print('%-5s %-36s median %8.1f ms' % (sys.argv[2], row['command'], 1000 * statistics.median(row['times'])))
print('%-5s dates: %.2f x exiftool -fast' % (sys.argv[2], ours / exif))
PY
done
echo "load average: $(cut -d' ' -f1-3 /proc/loadavg)"
rm -rf "$results"
