#!/usr/bin/env bash
# folimbra-index --watch on a real tree: changes reach the pages, untouched pages keep their
# inode, a burst of files writes a page only a few times, SIGTERM ends it whole with status 0, a
# catalogue inside the folder it lists is written once a change, a tree larger than the event
# queue is written once, a terminal is told what is watched, a first page that fails is told, the
# top folder deleted and too few watches end it with status 1 and a message.
# Usage: watch_run.sh FOLIMBRA_INDEX
set -uo pipefail
# shellcheck source=tests/lib.sh
. "$(dirname "$0")/lib.sh"

index=$1
work=$(mktemp -d)
pid=
trap '[[ -n $pid ]] && kill "$pid" 2>/dev/null; rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL: $*"; failed=1; }
page=Quorvel-Html_index.html

inode() { stat -c %i "$1"; }
# How many times the page of folder $1 (a path as written in the trace) was written.
writes() { grep -c -F "escrita «$1/$page»" "$work/log"; }

top=$work/top
mkdir -p "$top/a" "$top/keep"
touch "$top/old" "$top/a/inside"
FOLIMBRA_WATCH_TRACE=1 "$index" --watch -r "$top" 2>"$work/log" &
pid=$!
wait_for "[[ -f $top/keep/$page && -f $top/$page ]]" || fail "no first pages"
wait_for '(($(grep -c escrita "$work/log") >= 3))' || fail "first pages not all told"
kept=$(inode "$top/keep/$page")
# Idle: no time used once the first pages are written (user and system ticks).
ticks() { awk '{print $14 + $15}' "/proc/$pid/stat"; }
wait_for "[[ \$(ticks) == \$(sleep 0.3; ticks) ]]" || fail "busy after the first pages"
idle=$(ticks)
sleep 2
[[ $(ticks) == "$idle" ]] || fail "idle for 2 s, yet used $(($(ticks) - idle)) ticks"

touch "$top/new"
wait_for "grep -aq '>new<' '$top/$page'" || fail "a new file is not on the page"
rm "$top/old"
wait_for "! grep -aq '>old<' '$top/$page'" || fail "a deleted file is still on the page"
mv "$top/a/inside" "$top/a/renamed"
wait_for "grep -aq '>renamed<' '$top/a/$page'" || fail "a renamed file is not on the page"
mv "$top/a" "$top/b"
wait_for "grep -aq '>b/<' '$top/$page' && [[ -f $top/b/$page ]]" || fail "a renamed folder"
mkdir "$top/c"
touch "$top/c/one" "$top/c/two"
wait_for "grep -aq '>two<' '$top/c/$page' 2>/dev/null" || fail "a new folder has no page"
wait_for "grep -aq '>c/<' '$top/$page'" || fail "a new folder is not on its parent's page"
echo more >>"$top/c/one"
rm -rf "$top/c"
wait_for "! grep -aq '>c/<' '$top/$page'" || fail "a deleted folder is still on the page"
[[ $(inode "$top/keep/$page") == "$kept" ]] || fail "an untouched page was written again"

# A burst: 2,000 files copied in at once, then the page is right and was written a few times.
mkdir "$work/source" "$top/burst"
(cd "$work/source" && touch file{1..2000})
wait_for "[[ -f $top/burst/$page ]]" || fail "no page for the burst folder"
before=$(writes "$top/burst")
cp -r "$work/source/." "$top/burst/"
wait_for "grep -aq '>file2000<' '$top/burst/$page'" 5 || fail "the burst is not on the page"
sleep 1.5 # a last write after the burst would come within this
count=$(($(writes "$top/burst") - before))
echo "2,000 files copied in: the page written $count times"
((count >= 1 && count <= 4)) || fail "the burst folder's page was written $count times"
grep -ac '>file[0-9]*<' "$top/burst/$page" | grep -qx 2000 || fail "the burst page lacks files"

kill -TERM "$pid"
wait "$pid"
status=$?
pid=
[[ $status == 0 ]] || fail "SIGTERM ended with status $status"
[[ -z $(find "$top" -name ".$page.*" -o -name '.folimbra-*') ]] || fail "temporary files left"
grep -q '</html>' "$top/$page" || fail "the page is not whole"
grep -v -e '^folimbra-index: escrita «' -e '^folimbra-index: primeras páginas hechas$' "$work/log" &&
    fail "unexpected messages"

# A catalogue inside the folder it lists: writing it is no change to write it for again.
mkdir "$work/listed"
FOLIMBRA_WATCH_TRACE=1 "$index" --watch --catalog "$work/listed/catalogo.html" "$work/listed" \
    2>"$work/log" &
pid=$!
wait_for "grep -q 'escritas las listas' '$work/log'" || fail "no first catalogue"
touch "$work/listed/nuevo"
wait_for "((\$(grep -c 'escritas las listas' '$work/log') >= 2))" || fail "a change not written"
sleep 1.5 # a catalogue written again for its own writing would come within this
count=$(grep -c 'escritas las listas' "$work/log")
((count == 2)) || fail "one change, yet the catalogue was written $((count - 1)) times"
kill -TERM "$pid"
wait "$pid"
pid=

# On a terminal, one line tells what is watched and when a page was last written; it is cleared
# at the end.
mkdir -p "$work/shown"
TERM=xterm script -qfec "echo \$\$ >$(printf '%q' "$work/shown.pid"); exec $(printf '%q ' "$index" \
    --watch "$work/shown")" "$work/tty" >/dev/null &
shown=$!
wait_for "grep -qaE 'Vigilando «$work/shown/»; última escritura a las [0-9]{2}:[0-9]{2}:[0-9]{2}' '$work/tty'" \
    || fail "no status line on a terminal: $(cat -v "$work/tty")"
[[ -f $work/shown/$page ]] || fail "a watch without -r wrote no page: $(cat -v "$work/tty")"
# The watch itself, by the number its shell left before it became the watch.
kill -TERM "$(cat "$work/shown.pid" 2>/dev/null || echo "$shown")"
wait "$shown" || fail "the watch on a terminal ended with status $?"
grep -qaP 'a las \d\d:\d\d:\d\d\r\e\[K(?!Vigilando)' "$work/tty" \
    || fail "the status line is not cleared: $(cat -v "$work/tty")"

# Without -r too, a first page that cannot be written is told.
mkdir "$work/bad"
mkfifo "$work/bad/$page"
"$index" --watch "$work/bad" 2>"$work/log" &
pid=$!
wait_for "grep -qF '«$work/bad/$page»: no es un archivo normal.' '$work/log'" ||
    fail "a first page that failed was not told: $(cat "$work/log")"
kill -TERM "$pid"
wait "$pid"
pid=

# The top folder deleted.
mkdir -p "$work/gone/x"
"$index" --watch -r "$work/gone" 2>"$work/log" &
pid=$!
wait_for "[[ -f $work/gone/x/$page ]]" || fail "no first page"
rm -rf "$work/gone"
wait_for "! kill -0 $pid 2>/dev/null" || fail "still running with its folder gone"
wait "$pid"
status=$?
pid=
[[ $status == 1 ]] || fail "a deleted top folder ended with status $status"
grep -qF "«$work/gone/» se ha borrado o movido: se deja de vigilar." "$work/log" \
    || fail "no message for a deleted top folder: $(cat "$work/log")"

# A tree whose first pages make more events than the kernel queues (16,384 by default) is still
# written once, not again as though everything had changed.
mkdir -p "$work/many"
(cd "$work/many" && mkdir -p d{1..60}/s{1..100})
FOLIMBRA_WATCH_TRACE=1 "$index" --watch -r "$work/many" 2>"$work/log" &
pid=$!
wait_for "grep -q 'escrita «$work/many/$page»' '$work/log'" 120 || fail "no top page for 6,061 folders"
sleep 2 # a second writing would begin within this
count=$(grep -c escrita "$work/log")
((count == 6061)) || fail "a tree of 6,061 folders: $count pages written"
kill -TERM "$pid"
wait "$pid"
pid=

# Too few watches, in a user namespace of our own where the limit can be lowered.
mkdir -p "$work/limit/a/b" "$work/limit/c"
if unshare -Ur true 2>/dev/null; then
    unshare -Ur sh -c 'echo 2 >/proc/sys/user/max_inotify_watches && exec "$0" --watch -r "$1"' \
        "$index" "$work/limit" 2>"$work/log"
    status=$?
    [[ $status == 1 ]] || fail "out of watches ended with status $status"
    grep -q 'hacen falta 4 .*fs.inotify.max_user_watches' "$work/log" ||
        fail "no message naming the limit: $(cat "$work/log")"
    [[ -z $(find "$work/limit" -type f) ]] || fail "pages written though out of watches"
else
    echo "no user namespaces here: the watch limit is left unchecked"
fi

exit $failed
