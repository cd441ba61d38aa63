#!/usr/bin/env bash
# The page under runs that overlap, runs killed halfway and a folder that lets no name go: every
# page left in the folder is whole, and no temporary name of the page stays behind.
# Usage: concurrent_runs.sh FOLIMBRA_INDEX
set -uo pipefail

index=$1
work=$(mktemp -d)
appendOnly=
cleanup()
{
    [ -n "$appendOnly" ] && chattr -a "$appendOnly" 2>/dev/null
    rm -rf "$work" "$appendOnly"
}
trap cleanup EXIT

failed=0
fail() { echo "FAIL: $*"; failed=1; }
page=Quorvel-Html_index.html

# No hidden name of the page in the folder, and a page that ends and counts its files.
check_folder()
{
    local folder=$1 files=$2 what=$3 left
    left=$(ls -A "$folder" | grep -F ".$page." | head -3)
    [ -z "$left" ] || fail "$what: temporary names left: $left"
    if [ "$(tail -c 9 "$folder/$page" | od -An -c | tr -d ' ')" != '</html>\r\n' ]; then
        fail "$what: the page is cut"
    fi
    grep -q "<b>$files Archivo(s) :: " "$folder/$page" || fail "$what: the page does not count $files files"
    if grep -q -F ".$page." "$folder/$page"; then
        fail "$what: the page lists a temporary name"
    fi
}

# Runs that overlap on one folder all succeed, and each page lists only real files.
mkdir "$work/shared"
(cd "$work/shared" && seq 300 | xargs touch)
for runs in 2 20; do
    pids=()
    for _ in $(seq "$runs"); do
        "$index" "$work/shared" >/dev/null 2>"$work/err.$runs.${#pids[@]}" &
        pids+=($!)
    done
    for i in "${!pids[@]}"; do
        wait "${pids[$i]}" || fail "$runs runs at once: run $i failed: $(cat "$work/err.$runs.$i")"
    done
    check_folder "$work/shared" 300 "$runs runs at once"
done

# A run killed at any point leaves the previous page, or a whole new one.
mkdir "$work/big"
(cd "$work/big" && seq 200000 | xargs touch)
"$index" "$work/big" >/dev/null || fail "the first page of 200000 files"
cp "$work/big/$page" "$work/previous"
start=$(date +%s%N)
"$index" "$work/big" >/dev/null
took=$((($(date +%s%N) - start) / 1000000))
for kill in 1 2 3 4 5 6 7 8; do
    "$index" "$work/big" >/dev/null 2>&1 &
    pid=$!
    sleep "$(awk -v r=$RANDOM -v t="$took" 'BEGIN { printf "%.3f", r / 32768 * t * 1.1 / 1000 }')"
    kill -9 "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    if ! cmp -s "$work/big/$page" "$work/previous"; then
        check_folder "$work/big" 200000 "killed run $kill"
        cp "$work/big/$page" "$work/previous"
    elif ls -A "$work/big" | grep -F ".$page." >/dev/null; then
        # Killed between its page's link and rename: the next run removes what it left.
        "$index" "$work/big" >/dev/null || fail "the run after killed run $kill"
        check_folder "$work/big" 200000 "the run after killed run $kill"
        cp "$work/big/$page" "$work/previous"
    fi
done

# An append-only folder takes the first page under its own name and rewrites it in place after.
# Few file systems have the flag, and only a privileged user may set it.
appendOnly=$(mktemp -d -p /var/tmp)
(cd "$appendOnly" && seq 50 | xargs touch)
if chattr +a "$appendOnly" 2>/dev/null; then
    for run in first second; do
        "$index" "$appendOnly" >/dev/null || fail "append-only folder, $run page"
        check_folder "$appendOnly" 50 "append-only folder, $run page"
    done
else
    echo "SKIP: chattr +a is refused in /var/tmp: the append-only folder is left out"
fi

[ "$failed" -eq 0 ] && echo "PASS"
exit "$failed"
