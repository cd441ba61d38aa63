#!/usr/bin/env bash
# Starts the real program on a virtual X display, opens a folder and makes its page with the
# keyboard alone, finds the page on disk, and closes the program with Ctrl+S.
#   xvfb-run -a tests/e2e_window.sh path/to/folimbra
set -euo pipefail

folimbra=$1
# shellcheck source=SCRIPTDIR/../scripts/window-keys.sh
. "$(dirname "$0")/../scripts/window-keys.sh"
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

mkdir "$work/fotos"
printf 'x' >"$work/fotos/playa de Cádiz.jpg"
printf 'y' >"$work/fotos/leeme.txt"
cd "$work/fotos"

"$folimbra" &
pid=$!

window=$(wait_for_window) || { echo "FAIL: the window did not come up"; exit 1; }
xdotool windowfocus --sync "$window"
sleep 0.5
# The folder list opens at the drive's root; the keyboard takes it down to the folder.
open_path "$work/fotos"

xdotool key alt+h
page="$work/fotos/Quorvel-Html_index.html"
for _ in $(seq 100); do
    [ -s "$page" ] && grep -q '</html>' "$page" && break
    sleep 0.1
done
[ -f "$page" ] || { echo "FAIL: no page was written"; exit 1; }
grep -q '<b>2 Archivo(s) :: 2k</b>' "$page" || { echo "FAIL: the page does not list both files"; cat "$page"; exit 1; }
grep -q 'href="playa de C' "$page" || { echo "FAIL: the photo is not linked"; exit 1; }

xdotool key ctrl+s
for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
done
if kill -0 "$pid" 2>/dev/null; then
    echo "FAIL: Ctrl+S did not end the program"
    exit 1
fi
status=0
wait "$pid" || status=$?
pid=
[ "$status" -eq 0 ] || { echo "FAIL: the program ended with status $status"; exit 1; }
echo "1 passed, 0 failed"
