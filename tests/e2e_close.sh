#!/usr/bin/env bash
# Starts the real program under a window manager on a virtual X display, makes the page of a
# folder of 300,000 files with long names (seconds of work, so that the progress box shows; short
# names take under one), and once the box shows asks the window to close, through the window
# manager (for the window and for the box), with Ctrl+S and with Alt+F4: each time the window
# must be gone within a second, the program must end, and the old page must stay as it was.
#   xvfb-run -a tests/e2e_close.sh path/to/folimbra
# Exits 77 when the window manager or wmctrl is missing.
set -euo pipefail

folimbra=$1
for tool in openbox wmctrl xdotool python3; do
    command -v "$tool" >/dev/null || { echo "SKIP: $tool is missing"; exit 77; }
done
# shellcheck source=SCRIPTDIR/../scripts/window-keys.sh
. "$(dirname "$0")/../scripts/window-keys.sh"
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

openbox --sm-disable >/dev/null 2>&1 &
wm=$!
for _ in $(seq 50); do
    wmctrl -m >/dev/null 2>&1 && break
    sleep 0.1
done
wmctrl -m >/dev/null 2>&1 || { echo "SKIP: the window manager did not start"; exit 77; }

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
    local window dialog='' gone='' start now
    window=$(wait_for_window) || { echo "FAIL: the window did not come up"; exit 1; }
    xdotool windowactivate --sync "$window" 2>/dev/null || xdotool windowfocus --sync "$window"
    sleep 0.5
    # A folder this large is read off the window's thread, and the page button waits for it.
    for try in $(seq 200); do
        [ $((try % 10)) -eq 1 ] && xdotool key alt+h
        dialog=$(xdotool search --name '^\^Quorvel\^ Folimbra$' 2>/dev/null | head -n 1) || true
        [ -n "$dialog" ] && break
        sleep 0.05
    done
    [ -n "$dialog" ] || { echo "FAIL ($1): the progress box did not show"; exit 1; }
    start=$(date +%s%N)
    case $1 in
    wm) wmctrl -i -c "$window" ;;
    box) wmctrl -i -c "$dialog" ;;
    *) xdotool key "$1" ;;
    esac
    for _ in $(seq 100); do
        if ! xdotool search --name '^Quorvel Folimbra 2002 1\.0\.1$' >/dev/null 2>&1; then
            gone=yes
            break
        fi
        sleep 0.02
    done
    now=$(date +%s%N)
    [ -n "$gone" ] || { echo "FAIL ($1): the window is still there"; exit 1; }
    if [ $(((now - start) / 1000000)) -gt 1000 ]; then
        echo "FAIL ($1): the window took $(((now - start) / 1000000)) ms to go"
        exit 1
    fi
    for _ in $(seq 50); do
        kill -0 "$pid" 2>/dev/null || break
        sleep 0.1
    done
    if kill -0 "$pid" 2>/dev/null; then
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
