#!/bin/bash
# Renders the page folimbra-index writes for a made-up folder of a dozen everyday files into
# docs/page.png, the picture the README shows.
#
#   scripts/screenshot-page.sh                 # the binary of ./run.sh (build/release), built if missing
#   FOLIMBRA_INDEX=/path/to/folimbra-index scripts/screenshot-page.sh
#   scripts/screenshot-page.sh --thumbnails docs/page-thumbnails.png   # other options, other file
#   SIZE=360,740 SCHEME=dark scripts/screenshot-page.sh "--style=modern --images" docs/modern-phone-dark.png
#
# Installs Debian's chromium and imagemagick when they are missing (needs root or sudo).
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
# shellcheck source=packages.sh
. "$root/scripts/packages.sh"
options=${1:---images}
out=${2:-$root/docs/page.png}

index=${FOLIMBRA_INDEX:-}
if [ -z "$index" ]; then
    index=$root/build/release/cli/folimbra-index
    if [ ! -x "$index" ]; then
        echo "screenshot-page: building folimbra-index in build/release" >&2
        ensure_packages "${FOLIMBRA_BUILD_PACKAGES[@]}"
        cmake -S "$root" -B "$root/build/release" -G Ninja -DCMAKE_BUILD_TYPE=Release \
            -DFOLIMBRA_BENCH=OFF >/dev/null
        cmake --build "$root/build/release" --target folimbra-index >&2
    fi
fi
if [ ! -x "$index" ]; then
    echo "screenshot-page: no folimbra-index at $index" >&2
    exit 1
fi

ensure_packages chromium imagemagick >&2
# /usr/bin on purpose: a convert earlier in PATH may be something else.
magick=/usr/bin/convert

work=$(mktemp -d "${TMPDIR:-/tmp}/muestra.XXXXXX")
trap 'rm -rf "$work"' EXIT
folder="$work/Fotos y papeles"
mkdir -p "$folder"

# Photos: drawn scenes, so the 200 x 200 pictures on the page look like something; then enlarged
# and grained (with a fixed seed, so every run gives the same bytes) to weigh what a camera's do.
camera=(-resize 2048x1536 -seed 7 -attenuate 0.5 +noise Gaussian -quality 88)
$magick -size 1200x900 gradient:'#ff9e4a'-'#6a3d8f' \
    -fill '#ffe27a' -draw 'circle 820,520 820,600' \
    -fill '#1f4e8c' -draw 'rectangle 0,600 1200,900' \
    -fill '#f4d9a6' -draw 'polygon 0,780 1200,700 1200,900 0,900' \
    "${camera[@]}" "$folder/Atardecer en la playa de Cádiz.jpg"
$magick -size 1200x900 gradient:'#6fb6ff'-'#d8efff' \
    -fill '#6b6f78' -draw 'polygon 0,620 260,250 480,560 700,180 1000,600 1200,420 1200,900 0,900' \
    -fill '#ffffff' -draw 'polygon 215,330 260,250 305,330 280,315 260,340 240,318' \
    -fill '#ffffff' -draw 'polygon 645,270 700,180 755,270 725,255 700,285 675,258' \
    -fill '#3f8f3a' -draw 'polygon 0,700 400,640 800,690 1200,630 1200,900 0,900' \
    "${camera[@]}" "$folder/Excursión a los Picos de Europa.jpg"
flowers=()
for x in 90 270 450 630 810 990 1150; do
    for y in 640 780; do
        flowers+=(-fill '#f2c200' -draw "circle $((x + y % 3 * 20)),$y $((x + y % 3 * 20 + 42)),$y"
                  -fill '#5a3a12' -draw "circle $((x + y % 3 * 20)),$y $((x + y % 3 * 20 + 16)),$y")
    done
done
$magick -size 1200x900 gradient:'#3d8fe0'-'#bfe3ff' \
    -fill '#4e9a2f' -draw 'rectangle 0,560 1200,900' "${flowers[@]}" \
    "${camera[@]}" "$folder/IMG_20240815_112233.jpg"
$magick -size 900x900 xc:'#b3122e' \
    -fill '#1d6b35' -draw 'polygon 450,150 700,700 200,700' \
    -fill '#6b3b12' -draw 'rectangle 410,700 490,790' \
    -fill '#ffd84a' -draw 'circle 450,150 450,195' \
    -fill '#ffffff' -draw 'circle 150,160 150,172' -draw 'circle 760,240 760,254' \
    -draw 'circle 720,560 720,570' -draw 'circle 170,520 170,534' \
    "${camera[@]}" "$folder/Tarjeta de Navidad 2023.jpg"

# The rest only need a believable name and size; a few are real files of their kind.
{ printf 'ID3\3\0\0\0\0\0\0'; head -c 3487211 /dev/zero; } > "$folder/Canción del verano.mp3"
{ printf 'ID3\3\0\0\0\0\0\0'; head -c 1893402 /dev/zero; } > "$folder/Grabación ensayo del coro.mp3"
cat > "$folder/Presupuesto reforma cocina.pdf" <<'PDF'
%PDF-1.4
1 0 obj << /Type /Catalog /Pages 2 0 R >> endobj
2 0 obj << /Type /Pages /Kids [3 0 R] /Count 1 >> endobj
3 0 obj << /Type /Page /Parent 2 0 R /MediaBox [0 0 595 842] /Contents 4 0 R /Resources << /Font << /F1 5 0 R >> >> >> endobj
4 0 obj << /Length 58 >> stream
BT /F1 24 Tf 72 760 Td (Presupuesto reforma cocina) Tj ET
endstream endobj
5 0 obj << /Type /Font /Subtype /Type1 /BaseFont /Helvetica >> endobj
trailer << /Root 1 0 R >>
%%EOF
PDF
head -c 248113 /dev/zero >> "$folder/Presupuesto reforma cocina.pdf"
{ printf '%%PDF-1.4\n'; head -c 612077 /dev/zero; } > "$folder/Declaración de la renta 2023.pdf"
printf 'Leche\nPan\nHuevos\nAceite de oliva\nTomates\nQueso manchego\n' > "$folder/Lista de la compra.txt"
for i in $(seq 1 60); do
    echo "Día $i: paseo por la Mezquita, el barrio de la Judería y el puente romano."
done > "$folder/Notas del viaje a Córdoba.txt"
{ printf 'PK\3\4'; head -c 15728640 /dev/zero; } > "$folder/Copia de seguridad del móvil.zip"
{ printf 'PK\3\4'; head -c 21504 /dev/zero; } > "$folder/Acta de la reunión de vecinos.odt"

# Dates spread over a year, as a real folder has.
stamp() { touch -d "$1" "$folder/$2"; }
stamp '2023-12-20 18:05:12' 'Tarjeta de Navidad 2023.jpg'
stamp '2024-02-03 10:31:47' 'Lista de la compra.txt'
stamp '2024-03-14 21:12:09' 'Acta de la reunión de vecinos.odt'
stamp '2024-05-27 09:48:30' 'Declaración de la renta 2023.pdf'
stamp '2024-06-02 17:20:55' 'Presupuesto reforma cocina.pdf'
stamp '2024-06-21 12:02:18' 'Grabación ensayo del coro.mp3'
stamp '2024-07-09 23:41:06' 'Canción del verano.mp3'
stamp '2024-07-14 21:37:40' 'Atardecer en la playa de Cádiz.jpg'
stamp '2024-08-15 11:22:33' 'IMG_20240815_112233.jpg'
stamp '2024-08-29 08:15:02' 'Excursión a los Picos de Europa.jpg'
stamp '2024-10-12 16:54:21' 'Notas del viaje a Córdoba.txt'
stamp '2024-11-30 19:09:44' 'Copia de seguridad del móvil.zip'

# shellcheck disable=SC2086 # several options in one argument
LANG=es_ES.UTF-8 LC_ALL="" "$index" $options "$folder"
page=$folder/Quorvel-Html_index.html
[ -f "$page" ] || { echo "screenshot-page: folimbra-index wrote no page" >&2; exit 1; }
# The page shows where the folder is; the picture shows the folder alone, not this run's scratch
# folder (the classic page writes the path in lower case, hence /i).
SCRATCH="$work/" perl -pi -e 's/\Q$ENV{SCRATCH}\E//gi' "$page"

mkdir -p "$(dirname "$out")"
rm -f "$out"
# Chromium's own wrapper may print noise on stderr; only a missing picture is a failure.
LANG=es_ES.UTF-8 timeout 180 chromium --headless --no-sandbox --disable-gpu --disable-quic --no-first-run \
    --disable-background-networking --disable-component-update --disable-sync \
    --user-data-dir="$work/chromium" --hide-scrollbars --window-size="${SIZE:-900,1650}" ${SCHEME:+--force-dark-mode} \
    --screenshot="$out" "file://$(printf '%s' "$page" | sed 's/ /%20/g')" >/dev/null 2>"$work/chromium.log" || true
if [ ! -s "$out" ]; then
    echo "screenshot-page: chromium made no picture:" >&2
    cat "$work/chromium.log" >&2
    exit 1
fi
echo "$out"
