#!/usr/bin/env bash
# Installs what is missing, builds in Release and starts Quorvel Folimbra.
# Without a display it writes the page of the folder given (the current one by default)
# with the headless front end instead.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=scripts/packages.sh
. "$here/scripts/packages.sh"
ensure_packages "${FOLIMBRA_BUILD_PACKAGES[@]}"

build="$here/build/release"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DFOLIMBRA_BENCH=OFF >/dev/null
cmake --build "$build"

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -x "$build/app/folimbra" ]; then
    exec "$build/app/folimbra"
fi

echo "No hay pantalla: se escribe la página de ${1:-la carpeta actual} con folimbra-index." >&2
exec "$build/cli/folimbra-index" "${@:-.}"
