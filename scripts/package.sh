#!/usr/bin/env bash
# Builds the Debian package build/package/folimbra_<version>_<arch>.deb in a Release build of
# its own, with Debian's hardening flags, and checks it with lintian: an error fails the script.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/packages.sh
. "$here/scripts/packages.sh"
ensure_packages "${FOLIMBRA_BUILD_PACKAGES[@]}" "${FOLIMBRA_PACKAGE_PACKAGES[@]}"

cd "$here"
build="$here/build/package"
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
# Strips as Debian's own packaging does, also dropping the compiler's notes lintian points at.
mkdir -p "$build"
printf '#!/bin/sh\nexec strip --remove-section=.comment --remove-section=.note --strip-unneeded "$@"\n' \
    >"$build/strip-for-debian"
chmod +x "$build/strip-for-debian"
flags="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)"
# Only what the package holds is built: the tests stay out of this build.
cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release -DFOLIMBRA_BENCH=OFF \
      -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
      -DCMAKE_STRIP="$build/strip-for-debian" -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
cmake --build "$build" -t package-contents
rm -f "$build"/*.deb
(cd "$build" && cpack -G DEB)

deb=$(ls "$build"/folimbra_*.deb)
echo "== lintian $(basename "$deb")"
lintian --fail-on error --display-info --tag-display-limit 0 "$deb"
