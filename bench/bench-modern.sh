#!/usr/bin/env bash
# The modern page against the classic one: time to write a folder of 100,000 files (both in
# the same run, alternating), page size per entry with 20-character names, and in headless
# Chromium the first paint, a sort and a filter keystroke at 100,000 entries; with --phone also
# the first paint of 10,000 entries on a 360 px viewport with the CPU slowed down 4 times.
# Prints medians. Not run by test.sh.
#
#   bench/bench-modern.sh [--phone]          # RUNS=7 write runs, BROWSER_RUNS=5 page loads
#   FOLIMBRA_INDEX=path bench/bench-modern.sh
set -euo pipefail
[ -x /usr/bin/time ] || { echo "bench-modern: needs GNU time (apt-get install time)" >&2; exit 1; }

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
runs=${RUNS:-7}
browserRuns=${BROWSER_RUNS:-5}
export LANG=${LANG:-C.UTF-8}
index=${FOLIMBRA_INDEX:-$root/build/bench-release/cli/folimbra-index}
if [ ! -x "$index" ]; then
    cmake -S "$root" -B "$root/build/bench-release" -G Ninja -DCMAKE_BUILD_TYPE=Release \
        -DFOLIMBRA_BENCH=OFF >/dev/null
    cmake --build "$root/build/bench-release" --target folimbra-index >&2
fi
data=$root/bench/data
mkdir -p "$data"
python3 "$root/bench/make-folder.py" "$data/files-100000" --count 100000 >&2

median() { sort -n | awk '{ v[NR] = $1 } END { print v[int((NR + 1) / 2)] }'; }
times=$(mktemp)
trap 'rm -f "$times"' EXIT
timeRun() { # STYLE FOLDER: milliseconds of one run, wall and CPU (user + system)
    /usr/bin/time -o "$times" -f '%e %U %S' "$index" --style "$1" "$2" >/dev/null 2>&1
    awk '{ printf "%d %d\n", $1 * 1000, ($2 + $3) * 1000 }' "$times"
}
ratio() { awk -v m="$1" -v c="$2" 'BEGIN { printf "%.2f", m / c }'; }

# Writing: classic and modern in turns, so both see the same load. The wall time of a run is
# mostly the page reaching the disk, which a shared machine makes noisy; the CPU time is steadier.
classic=() modern=() classicCpu=() modernCpu=()
"$index" "$data/files-100000" >/dev/null 2>&1 # warm the cache
for _ in $(seq "$runs"); do
    read -r wall cpu < <(timeRun classic "$data/files-100000")
    classic+=("$wall") classicCpu+=("$cpu")
    read -r wall cpu < <(timeRun modern "$data/files-100000")
    modern+=("$wall") modernCpu+=("$cpu")
done
c=$(printf '%s\n' "${classic[@]}" | median)
m=$(printf '%s\n' "${modern[@]}" | median)
cc=$(printf '%s\n' "${classicCpu[@]}" | median)
mc=$(printf '%s\n' "${modernCpu[@]}" | median)
echo "write 100000 files, median of $runs: classic ${c} ms, modern ${m} ms, ratio $(ratio "$m" "$c")" \
    "(classic: ${classic[*]}; modern: ${modern[*]}); CPU classic ${cc} ms, modern ${mc} ms," \
    "ratio $(ratio "$mc" "$cc")"

# Size: an empty folder's page is the fixed part; names of exactly 20 characters.
sized=$data/modern-20chars
if [ ! -f "$sized/documento-099999.txt" ]; then
    rm -rf "$sized" && mkdir -p "$sized"
    (cd "$sized" && seq -f 'documento-%06g.txt' 0 99999 | xargs truncate -s 123456)
fi
empty=$(mktemp -d)
trap 'rm -rf "$empty" "$times"' EXIT
"$index" --style modern "$empty" >/dev/null
"$index" --style modern "$sized" >/dev/null
fixed=$(stat -c %s "$empty/Quorvel-Html_index.html")
whole=$(stat -c %s "$sized/Quorvel-Html_index.html")
echo "page size: fixed ${fixed} bytes, $(((whole - fixed) / 100000)) bytes per entry" \
    "(100000 names of 20 characters, ${whole} bytes in all)"

# The browser, through the test suite's puppeteer-core.
modules=$root/build/bench-release/browser-modules
"$index" --style modern "$data/files-100000" >/dev/null 2>&1
echo -n "chromium, 100000 entries, median of $browserRuns loads (ms): "
"$root/tests/browser/run.sh" "$modules" ../../bench/modern-browser.mjs \
    "$data/files-100000/Quorvel-Html_index.html" "$browserRuns"
if [ "${1:-}" = --phone ]; then
    python3 "$root/bench/make-folder.py" "$data/files-10000" --count 10000 >&2
    "$index" --style modern "$data/files-10000" >/dev/null 2>&1
    echo -n "chromium, 10000 entries, 360 px, CPU 4x slower, median of $browserRuns loads (ms): "
    "$root/tests/browser/run.sh" "$modules" ../../bench/modern-browser.mjs \
        "$data/files-10000/Quorvel-Html_index.html" "$browserRuns" phone
fi
