#!/usr/bin/env bash
# Installs what is missing, builds and runs every test; then runs them all once more in a build
# with AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=scripts/packages.sh
. "$here/scripts/packages.sh"
ensure_packages "${FOLIMBRA_BUILD_PACKAGES[@]}" "${FOLIMBRA_TEST_PACKAGES[@]}"

run_suite()
{
    local build="$1"
    shift
    cmake -S "$here" -B "$build" -G Ninja -DFOLIMBRA_WERROR=ON -DFOLIMBRA_BENCH=OFF "$@" >/dev/null
    cmake --build "$build"
    ctest --test-dir "$build" --output-on-failure
}

echo "== Pruebas"
run_suite "$here/build/test" -DCMAKE_BUILD_TYPE=Debug
echo "== Pruebas con AddressSanitizer y UndefinedBehaviorSanitizer"
run_suite "$here/build/sanitize" -DCMAKE_BUILD_TYPE=Debug -DFOLIMBRA_SANITIZE=ON
echo "== Paquete Debian"
"$here/scripts/package.sh"
