#!/usr/bin/env bash
# kill -9 at points spread over a tree run (-r), then one more run: the hidden pages the killed
# runs left waiting for their sync are all removed, and every folder has its page. Then a TERM:
# that run cleans up after itself.
# Usage: killed_tree.sh FOLIMBRA_INDEX
# Environment: FOLDERS (default 500), KILLS (default 3), RANDOM_POINTS=1 (kill at random points
# rather than evenly spread), TREE_ROOT (where the tree is made; default $TMPDIR or /tmp).
set -uo pipefail

index=$1
folders=${FOLDERS:-500}
kills=${KILLS:-3}
work=$(mktemp -d "${TREE_ROOT:-${TMPDIR:-/tmp}}/killed-tree.XXXXXX")
trap 'rm -rf "$work"' EXIT
page=Quorvel-Html_index.html
failed=0
fail() { echo "FAIL: $*"; failed=1; }
now_ms() { echo $(($(date +%s%N) / 1000000)); }
hidden() { find "$work/t" -name ".$page.*" | wc -l; }

# Ten folders of folders/10 each, a file in each.
for ((i = 0; i < folders; ++i)); do echo "$work/t/g$((i % 10))/c$i"; done | xargs mkdir -p
for ((i = 0; i < folders; ++i)); do echo "$work/t/g$((i % 10))/c$i/a"; done | xargs touch
start=$(now_ms)
"$index" -r "$work/t" >/dev/null || fail "the first run failed"
whole=$(($(now_ms) - start))

# Until the kills asked for are made and at least one of them left pages behind (else the run
# after them would prove nothing). Without RANDOM_POINTS each kill waits until the run's hidden
# pages are there, however fast the machine is at the time; with it, at a share of the first
# run's time.
landed=0
made=0
for ((k = 1; k <= 3 * kills && (k <= kills || landed == 0); ++k)); do
    "$index" -r "$work/t" >/dev/null 2>&1 &
    pid=$!
    if [ -n "${RANDOM_POINTS:-}" ]; then
        delay=$((whole * (10 + RANDOM % 80) / 100))
        sleep "$(printf '%d.%03d' $((delay / 1000)) $((delay % 1000)))"
        when="after $delay of $whole ms"
    else
        while kill -0 "$pid" 2>/dev/null && [ "$(hidden)" -eq 0 ]; do :; done
        when="once pages waited"
    fi
    kill -9 "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    made=$k
    left=$(hidden)
    echo "kill $k $when: $left hidden pages"
    [ "$left" -gt 0 ] && landed=$((landed + 1))
done
[ "$landed" -gt 0 ] || fail "no kill came while pages waited for their sync"

"$index" -r "$work/t" >/dev/null || fail "the run after the kills failed"
left=$(hidden)
[ "$left" -eq 0 ] || fail "$left hidden pages left after the next run: $(find "$work/t" -name ".$page.*" | head -3)"
pages=$(find "$work/t" -name "$page" | wc -l)
[ "$pages" -eq $((folders + 11)) ] || fail "$pages pages for $((folders + 11)) folders"
echo "$landed of $made kills left hidden pages; after the next run: $left"

# A TERM while pages wait, as a logout sends: the run puts them in place or drops them itself, and
# ends as the signal ends a program. A run that finished before the signal came is tried again.
for ((try = 1; try <= 3; ++try)); do
    "$index" -r "$work/t" >/dev/null 2>&1 &
    pid=$!
    while kill -0 "$pid" 2>/dev/null && [ "$(hidden)" -eq 0 ]; do :; done
    kill -TERM "$pid" 2>/dev/null
    wait "$pid"
    status=$?
    [ "$status" -ne 0 ] && break
done
[ "$status" -eq 143 ] || fail "a TERM while pages waited ended with status $status"
left=$(hidden)
[ "$left" -eq 0 ] || fail "$left hidden pages left by a run ended with TERM"
exit $failed
