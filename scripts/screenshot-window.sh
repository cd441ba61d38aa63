#!/usr/bin/env bash
# Saves a picture of the window, open on a sample folder, as docs/window.png (for the README).
# It runs the program on a virtual display with a small window manager, so the title bar shows.
#   scripts/screenshot-window.sh            (uses build/release/app/folimbra; FOLIMBRA=path)
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
folimbra=${FOLIMBRA:-$here/build/release/app/folimbra}
output=${OUTPUT:-$here/docs/window.png}
# shellcheck source=SCRIPTDIR/window-keys.sh
. "$here/scripts/window-keys.sh"

if [ -z "${FOLIMBRA_INSIDE_XVFB:-}" ]; then
    # shellcheck source=SCRIPTDIR/packages.sh
    . "$here/scripts/packages.sh"
    ensure_packages xvfb xauth xdotool openbox imagemagick
    [ -x "$folimbra" ] || { echo "No program at $folimbra: run ./run.sh or set FOLIMBRA" >&2; exit 1; }
    FOLIMBRA_INSIDE_XVFB=1 exec xvfb-run -a -s "-screen 0 800x500x24" "$0" "$@"
fi

work=$(mktemp -d /tmp/folimbra-muestra.XXXXXX)
pids=()
cleanup()
{
    kill "${pids[@]}" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT

mkdir -p "$work/Fotos de verano/Cádiz" "$work/Fotos de verano/Picos de Europa"
cd "$work/Fotos de verano"
for name in "Atardecer en la playa.jpg" "IMG_2024_0801.JPG" "IMG_2024_0815.JPG" \
    "Canción del verano.mp3" "Notas del viaje.txt" "Presupuesto.pdf" "Ruta a pie.gpx"; do
    head -c $((RANDOM * 40)) /dev/urandom >"$name"
done

openbox >/dev/null 2>&1 &
pids+=($!)
sleep 1
LANG=es_ES.UTF-8 "$folimbra" >/dev/null 2>&1 &
pids+=($!)

window=$(wait_for_window) || { echo "the window did not come up" >&2; exit 1; }
xdotool windowactivate --sync "$window" 2>/dev/null || xdotool windowfocus --sync "$window"
sleep 0.5
open_path "$work/Fotos de verano"
xdotool key alt+i
sleep 0.5

mkdir -p "$(dirname "$output")"
# With -frame the picture takes in the window manager's frame and title bar.
import -frame -window "$window" "$output"
echo "$output"
