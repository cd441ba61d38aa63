#!/usr/bin/env bash
# Starts the real program under a window manager on a virtual X display, makes the page of a
# folder of 300,000 files with long names (seconds of work, so that the progress box shows; short
# names take under one), and once the box shows asks the window to close, through the window
# manager (for the window and for the box), with Ctrl+S and with Alt+F4: each time the window
# must be gone within a second, the program must end, and the old page must stay as it was.
#   tests/with_display.sh 1024x768x24 tests/e2e_close.sh path/to/folimbra
# Exits 77 when the window manager or wmctrl is missing. Every wait is on what the display or
# the disk shows, bounded, so that a loaded machine only makes it longer; the second allowed for
# the window to go is the one measure of time the test makes. A build with AddressSanitizer gets
# two: there the closing animation's thread spends most of its time in the sanitizer's allocator
# and in faults on fresh memory, and the window takes 0.4 to 0.6 s to go on an idle machine,
# over a second with both cores busy.
set -euo pipefail
# shellcheck source=tests/lib.sh
. "$(dirname "$0")/lib.sh"

folimbra=$1
limit_ms=1000
if ldd "$folimbra" 2>/dev/null | grep libasan >/dev/null; then
    limit_ms=2000
fi
for tool in openbox wmctrl xdotool python3; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing"; exit 77; }
done
work=$(mktemp -d "${TMPDIR:-/tmp}/folimbra-close.XXXXXX")
XDG_RUNTIME_DIR=$(mktemp -d /tmp/folimbra-close-runtime.XXXXXX)
chmod 0700 "$XDG_RUNTIME_DIR"
export XDG_RUNTIME_DIR
pid=
wm=
cleanup()
{
    [ -n "$pid" ] && kill "$pid" 2>/dev/null
    [ -n "$wm" ] && kill "$wm" 2>/dev/null
    rm -rf "$work" "$XDG_RUNTIME_DIR"
}
trap cleanup EXIT

# Unmapped is not enough: the window must be destroyed.
window_gone() { ! xdotool search --name "$main_title" >/dev/null 2>&1; }
wm_up() { wmctrl -m >/dev/null 2>&1; }
# The window manager hears a close request only for a window it manages.
managed() { wmctrl -l 2>/dev/null | grep -i "^0x0*$(printf '%x' "$1") " >/dev/null; }
active() { [ "$(xdotool getactivewindow 2>/dev/null)" = "$1" ]; }
# The window activated, or a box of its own put over it.
activate()
{
    xdotool windowactivate "$1" 2>/dev/null || true
    active "$1"
}
# Of close_during_run's window and box.
either_active() { active "$window" || active "$dialog"; }

openbox --sm-disable >/dev/null 2>&1 &
wm=$!
poll 30 wm_up || { echo "FAIL: the window manager did not start"; exit 1; }

folder="$work/muchos"
mkdir "$folder"
python3 - "$folder" <<'EOF'
import os, sys
folder = sys.argv[1]
for i in range(300000):
    name = f'archivo-{i:06d}-' + 'una descripción larga del archivo ' * 4 + '.txt'
    os.close(os.open(f'{folder}/{name}', os.O_CREAT | os.O_WRONLY, 0o644))
EOF
page="$folder/Quorvel-Html_index.html"
printf '<vieja/>\r\n' >"$page"
before=$(sha256sum <"$page")

# $1: how the close is asked for: "wm" for the window, "box" for the progress box, or keys.
close_during_run()
{
    "$folimbra" "$folder" &
    pid=$!
    local window dialog start now press=0
    poll 60 window_up || { echo "FAIL ($1): the window did not come up"; exit 1; }
    window=$shown
    poll 30 activate "$window" || { echo "FAIL ($1): the window was not made active"; exit 1; }
    # A folder this large is read off the window's thread, and the page button waits for it:
    # the button is pressed again until the box shows. A run under way ignores it.
    start=$(date +%s%N)
    until shows "$box_title"; do
        now=$(date +%s%N)
        [ $(((now - start) / 1000000000)) -lt 120 ] ||
            { echo "FAIL ($1): the progress box did not show"; exit 1; }
        if [ "$now" -ge "$press" ]; then
            xdotool key alt+h
            press=$((now + 500000000))
        fi
        sleep 0.05
    done
    dialog=$shown
    poll 30 managed "$dialog" || { echo "FAIL ($1): the window manager did not take the box"; exit 1; }
    # Alt+F4 closes whichever window has the focus, so one of the two must have it.
    poll 30 either_active ||
        { echo "FAIL ($1): neither the window nor the box is active"; exit 1; }
    start=$(date +%s%N)
    case $1 in
    wm) wmctrl -i -c "$window" ;;
    box) wmctrl -i -c "$dialog" ;;
    *) xdotool key "$1" ;;
    esac
    poll 30 window_gone || { echo "FAIL ($1): the window is still there"; exit 1; }
    now=$(date +%s%N)
    if [ $(((now - start) / 1000000)) -gt "$limit_ms" ]; then
        echo "FAIL ($1): the window took $(((now - start) / 1000000)) ms to go"
        exit 1
    fi
    if ! poll 60 ended; then
        echo "FAIL ($1): the program did not end"
        exit 1
    fi
    local status=0
    wait "$pid" || status=$?
    pid=
    [ "$status" -eq 0 ] || { echo "FAIL ($1): the program ended with status $status"; exit 1; }
    [ "$(sha256sum <"$page")" = "$before" ] || { echo "FAIL ($1): the old page changed"; exit 1; }
    if compgen -G "$folder/.Quorvel-Html_index.html.*" >/dev/null; then
        echo "FAIL ($1): a page part-written was left behind"
        exit 1
    fi
}

for how in wm box ctrl+s alt+F4; do
    close_during_run "$how"
done
echo "4 passed, 0 failed"
