#!/usr/bin/env bash
# Installs the build into a scratch prefix and formats each installed manual page as lintian
# does: every program has a page, in English, and man and groff have nothing to say about any of
# them nor of the Spanish pages.
# Usage: manual_pages.sh BUILD_DIR
set -uo pipefail

build=$1
if ! command -v man >/dev/null || ! command -v groff >/dev/null; then
    echo "SKIP: man or groff is missing (scripts/packages.sh installs man-db and groff-base)"
    exit 77
fi

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null || exit 1

failed=0
for page in "$prefix"/bin/* "$prefix"/share/man/es/man1/*; do
    if [ -f "$page" ] && [ "${page%.gz}" = "$page" ]; then
        page=$prefix/share/man/man1/$(basename "$page").1.gz
    fi
    if [ ! -f "$page" ]; then
        echo "FAIL: no manual page $page"
        failed=1
        continue
    fi
    # MANROFFSEQ='' stops man from running preprocessors the page does not ask for.
    out=$(LC_ALL=C.UTF-8 MANROFFSEQ='' MANWIDTH=80 \
          man --warnings -E UTF-8 -l -Tutf8 -Z "$page" 2>&1 >/dev/null)
    if [ -n "$out" ]; then
        echo "FAIL: $(basename "$page"):"
        echo "$out"
        failed=1
    fi
done
exit $failed
