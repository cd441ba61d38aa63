#!/usr/bin/env bash
# Builds the Debian packages build/package/folimbra_<version>_<arch>.deb and its debug symbols
# folimbra-dbgsym_<version>_<arch>.ddeb in a build of their own, with the distribution's flags
# (hardening included), and checks them with lintian: an error fails the script.
#   scripts/package.sh                  # build and check
#   scripts/package.sh --reproducible   # then build again from scratch and compare the packages
# Time stamps come from SOURCE_DATE_EPOCH, the last commit's time when it is not set, so that
# the same sources give the same bytes.
set -euo pipefail

here=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/packages.sh
. "$here/scripts/packages.sh"
ensure_packages "${FOLIMBRA_BUILD_PACKAGES[@]}" "${FOLIMBRA_PACKAGE_PACKAGES[@]}"

reproducible=false
case ${1:-} in
'') ;;
--reproducible) reproducible=true ;;
*)
    echo "Uso: scripts/package.sh [--reproducible]" >&2
    exit 2
    ;;
esac

cd "$here"
build="$here/build/package"
if [ -z "${SOURCE_DATE_EPOCH:-}" ]; then
    SOURCE_DATE_EPOCH=$(git -C "$here" log -1 --format=%ct 2>/dev/null || date -r "$here/CMakeLists.txt" +%s)
fi
export SOURCE_DATE_EPOCH
export DEB_BUILD_MAINT_OPTIONS=hardening=+all

build_packages()
{
    rm -rf "$build"
    mkdir -p "$build"
    # The distribution's flags alone: a build type of its own would add -O3 after them. They map
    # the sources' path to "." (dpkg-buildflags reads the current folder), so where the checkout
    # lies does not reach the binaries.
    cmake -S "$here" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=None -DFOLIMBRA_BENCH=OFF \
        -DBUILD_TESTING=OFF -DCMAKE_UNITY_BUILD=ON -DFOLIMBRA_PRECOMPILED_HEADERS=ON \
        -DCMAKE_CXX_FLAGS="$(dpkg-buildflags --get CPPFLAGS) $(dpkg-buildflags --get CXXFLAGS)" \
        -DCMAKE_EXE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
        -DCMAKE_MODULE_LINKER_FLAGS="$(dpkg-buildflags --get LDFLAGS)" \
        -DCMAKE_SKIP_INSTALL_ALL_DEPENDENCY=ON >/dev/null
    cmake --build "$build" -t package-contents
    # CPack strips with objcopy; this one also drops the compiler's notes lintian points at.
    # shellcheck disable=SC2016 # the dollars are the wrapper's own
    printf '#!/bin/sh\ncase "$1" in --strip-unneeded) set -- --remove-section=.comment --remove-section=.note "$@" ;; esac\nexec objcopy "$@"\n' \
        >"$build/objcopy-for-debian"
    chmod +x "$build/objcopy-for-debian"
    (cd "$build" && cpack -G DEB -D CPACK_OBJCOPY_EXECUTABLE="$build/objcopy-for-debian" >/dev/null)
    fix_dbgsym "$(ls "$build"/folimbra-dbgsym_*.ddeb)"
}

# CPack 3.25 lists the debug files in md5sums by their path in its scratch folder, and leaves
# the debug package without the link to the main package's copyright and changelog that
# Debian's own debug packages carry; both are put right here.
fix_dbgsym()
{
    local ddeb=$1 tree="$build/dbgsym-tree"
    rm -rf "$tree"
    dpkg-deb -R "$ddeb" "$tree"
    mkdir -p "$tree/usr/share/doc"
    ln -s folimbra "$tree/usr/share/doc/folimbra-dbgsym"
    (cd "$tree" && find usr -type f -print0 | LC_ALL=C sort -z | xargs -0 md5sum) >"$tree/DEBIAN/md5sums"
    find "$tree" -newermt "@$SOURCE_DATE_EPOCH" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +
    dpkg-deb --root-owner-group -Zxz --build "$tree" "$ddeb" >/dev/null
    rm -rf "$tree"
}

build_packages
deb=$(ls "$build"/folimbra_*.deb)
dbgsym=$(ls "$build"/folimbra-dbgsym_*.ddeb)
echo "== lintian $(basename "$deb") $(basename "$dbgsym")"
lintian --fail-on error --display-info --tag-display-limit 0 "$deb" "$dbgsym"

if $reproducible; then
    saved=$(mktemp -d)
    trap 'rm -rf "$saved"' EXIT
    cp "$deb" "$dbgsym" "$saved"/
    echo "== Segunda construcción, para compararlas"
    build_packages
    for package in "$saved"/*; do
        if cmp -s "$package" "$build/$(basename "$package")"; then
            echo "$(basename "$package"): idéntico"
        else
            echo "$(basename "$package"): distinto" >&2
            if command -v diffoscope >/dev/null; then
                diffoscope "$package" "$build/$(basename "$package")" >&2 || true
            fi
            exit 1
        fi
    done
fi
