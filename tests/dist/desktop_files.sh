#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks what a desktop reads from it: the desktop
# entry, the AppStream metainfo, and an icon of the entry's name at every size of the theme.
# Usage: desktop_files.sh BUILD_DIR
set -uo pipefail

build=$1
for tool in desktop-file-validate appstreamcli file; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIP: $tool is missing (scripts/packages.sh installs it)"
        exit 77
    fi
done

prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT
cmake --install "$build" --prefix "$prefix" >/dev/null || exit 1

failed=0
fail() { echo "FAIL: $*"; failed=1; }

entries=("$prefix"/share/applications/*.desktop)
if [ ${#entries[@]} -ne 1 ] || [ ! -f "${entries[0]}" ]; then
    fail "expected one desktop entry, got: ${entries[*]}"
fi
entry=${entries[0]}
id=$(basename "$entry" .desktop)

# desktop-file-validate prints hints that do not change its status; any of them is a fault here.
out=$(desktop-file-validate "$entry" 2>&1) || fail "desktop-file-validate failed"
[ -z "$out" ] || fail "desktop-file-validate: $out"

metainfo=$prefix/share/metainfo/$id.metainfo.xml
[ -f "$metainfo" ] || fail "no metainfo named after the desktop entry: $metainfo"
# validate-tree also checks that the launchable names an installed desktop entry.
appstreamcli validate-tree --no-net --pedantic "$prefix" || fail "appstreamcli validate-tree"

icon=$(sed -n 's/^Icon=//p' "$entry")
grep -q "<icon type=\"stock\">$icon</icon>" "$metainfo" || fail "metainfo names another icon than $icon"
for size in 16 32 48 64 128 256; do
    png=$prefix/share/icons/hicolor/${size}x${size}/apps/$icon.png
    if [ ! -f "$png" ]; then
        fail "no $size px icon $png"
    elif ! file -b "$png" | grep -q "^PNG image data, $size x $size,"; then
        fail "$png is $(file -b "$png")"
    fi
done

for binary in "$prefix"/bin/*; do
    grep -q "<binary>$(basename "$binary")</binary>" "$metainfo" ||
        fail "metainfo does not provide $(basename "$binary")"
done
exit $failed
