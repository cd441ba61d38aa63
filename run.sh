#!/usr/bin/env bash
# Installs what is missing, builds in Release and starts Quorvel Folimbra on FOLDER (the root
# of the current drive if none is given). Without a display it writes the page of FOLDER (the
# current folder if none is given) with the headless front end instead.
#   ./run.sh [FOLDER]
#   ./run.sh --install-local   # installs both programs, manuals and completions under ~/.local
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=scripts/packages.sh
. "$here/scripts/packages.sh"
ensure_packages "${FOLIMBRA_BUILD_PACKAGES[@]}"

build="$here/build/release"
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DFOLIMBRA_BENCH=OFF >/dev/null
cmake --build "$build"

if [ "${1:-}" = --install-local ]; then
    cmake --install "$build" --prefix "$HOME/.local" >/dev/null
    echo "Instalados en $HOME/.local/bin: folimbra y folimbra-index."
    case ":$PATH:" in
    *":$HOME/.local/bin:"*) ;;
    *) echo "$HOME/.local/bin no está en PATH: añádalo, p. ej. en ~/.profile." ;;
    esac
    exit 0
fi

if [ -n "${DISPLAY:-}${WAYLAND_DISPLAY:-}" ] && [ -x "$build/app/folimbra" ]; then
    exec "$build/app/folimbra" "$@"
fi

echo "No hay pantalla: se escribe la página de ${1:-la carpeta actual} con folimbra-index." >&2
exec "$build/cli/folimbra-index" "${@:-.}"
