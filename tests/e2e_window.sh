#!/usr/bin/env bash
# Starts the real program on a virtual X display, opens a folder and makes its page with the
# keyboard alone, finds the page on disk, and closes the program with Ctrl+S.
#   tests/with_display.sh 1024x768x24 tests/e2e_window.sh path/to/folimbra
# Every wait is on what the display or the disk shows, bounded, so that a loaded machine only
# makes it longer.
set -euo pipefail
# shellcheck source=tests/lib.sh
. "$(dirname "$0")/lib.sh"

folimbra=$1
work=$(mktemp -d /tmp/folimbra-e2e.XXXXXX)
# A runtime folder of its own, private as the session's would be, so no other run's sockets
# or locks get in the way.
XDG_RUNTIME_DIR=$(mktemp -d /tmp/folimbra-e2e-runtime.XXXXXX)
chmod 0700 "$XDG_RUNTIME_DIR"
export XDG_RUNTIME_DIR
pid=
cleanup()
{
    if [ -n "$pid" ]; then
        kill "$pid" 2>/dev/null || true
    fi
    rm -rf "$work" "$XDG_RUNTIME_DIR"
}
trap cleanup EXIT

error_title='^Pelvorn$'

hidden() { ! shows "$1"; }

# Without a window manager the input focus is only where someone puts it, so it is put there
# until the server says it is.
focus()
{
    xdotool windowfocus "$1" 2>/dev/null || true
    [ "$(xdotool getwindowfocus 2>/dev/null)" = "$1" ]
}

# Keys reach the window in order, but are handled when it gets to them: Ayuda's box shows only
# once every key sent before has been handled. The box is closed and the focus given back.
settle()
{
    xdotool key ctrl+F1
    poll 60 shows "$box_title" || {
        shows "$error_title" && { echo "FAIL: the window reported an error ($1)"; exit 1; }
        echo "FAIL: the help box did not show ($1)"
        exit 1
    }
    local box=$shown
    poll 30 focus "$box" || { echo "FAIL: the help box took no focus ($1)"; exit 1; }
    xdotool key Escape
    poll 30 hidden "$box_title" || { echo "FAIL: the help box did not close ($1)"; exit 1; }
    poll 30 focus "$window" || { echo "FAIL: the window took no focus back ($1)"; exit 1; }
}

# The folder list runs keys typed within 0.4 s of each other into one search, timed as it
# handles them: the next name waits that long after the list is known to have handled this one.
open_path()
{
    local part
    xdotool key Tab
    local IFS=/
    for part in ${1#/}; do
        xdotool type --delay 20 "$part"
        xdotool key Return
        settle "opening $part"
        sleep 0.5
    done
}

mkdir "$work/fotos"
printf 'x' >"$work/fotos/playa de Cádiz.jpg"
printf 'y' >"$work/fotos/leeme.txt"
cd "$work/fotos"

"$folimbra" &
pid=$!

poll 60 window_up || { echo "FAIL: the window did not come up"; exit 1; }
window=$shown
# Nothing here gives the focus: the window takes it itself, or no shortcut would reach it.
has_focus() { [ "$(xdotool getwindowfocus 2>/dev/null)" = "$1" ]; }
poll 30 has_focus "$window" || { echo "FAIL: the window took no focus"; exit 1; }
# The folder list opens at the drive's root; the keyboard takes it down to the folder.
open_path "$work/fotos"

xdotool key alt+h
page="$work/fotos/Quorvel-Html_index.html"
# The page is renamed into place whole; its closing tag says so all the same.
whole() { [ -f "$page" ] && tail -c 16 "$page" | grep -q '</html>'; }
poll 60 whole || {
    [ -f "$page" ] || { echo "FAIL: no page was written"; exit 1; }
    echo "FAIL: the page was left unfinished"
    exit 1
}
grep -q '<b>2 Archivo(s) :: 2k</b>' "$page" || { echo "FAIL: the page does not list both files"; cat "$page"; exit 1; }
grep -q 'href="playa de C' "$page" || { echo "FAIL: the photo is not linked"; exit 1; }

xdotool key ctrl+s
if ! poll 60 ended; then
    echo "FAIL: Ctrl+S did not end the program"
    exit 1
fi
status=0
wait "$pid" || status=$?
pid=
[ "$status" -eq 0 ] || { echo "FAIL: the program ended with status $status"; exit 1; }
echo "1 passed, 0 failed"
