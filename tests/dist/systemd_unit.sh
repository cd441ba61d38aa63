#!/usr/bin/env bash
# Installs the build into a scratch prefix and checks the installed user unit as systemd reads
# it: it runs the packaged program on the instance's folder under the hardening, an instance
# for a folder whose name has a blank verifies with no word from systemd, and systemd rates its
# exposure at 2.0 or below.
# Usage: systemd_unit.sh BUILD_DIR
set -uo pipefail

build=$1
for tool in systemd-analyze systemd-escape; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIP: $tool is missing (scripts/packages.sh installs systemd)"
        exit 77
    fi
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >/dev/null || exit 1
failed=0
fail() { echo "FAIL: $*"; failed=1; }

template=$prefix/lib/systemd/user/folimbra-index-watch@.service
[[ -f $template ]] || { echo "FAIL: no $template"; exit 1; }
grep -qx 'ExecStart=/usr/bin/folimbra-index --watch --recursive %f' "$template" ||
    fail "ExecStart does not run the packaged program on the instance's folder"
# Without a user namespace of its own a user manager cannot drop the capabilities the
# hardening drops, and the service dies with 218/CAPABILITIES before it runs.
for setting in ProtectSystem=strict ReadWritePaths=%f NoNewPrivileges=yes PrivateUsers=yes; do
    grep -qx "$setting" "$template" || fail "no $setting"
done
# The folder must stay visible and writable under the hardening.
grep -Eqx 'ProtectHome=(yes|tmpfs)|InaccessiblePaths=.*' "$template" && fail "the home folder is hidden"

# verify wants the program where ExecStart names it: the installed one stands in for it, and
# the installed manual page answers Documentation=.
folder='/srv/www/mis fotos'
instance=$work/units/folimbra-index-watch@$(systemd-escape --path "$folder").service
mkdir -p "$work/units" "$work/runtime"
chmod 700 "$work/runtime"
sed "s|/usr/bin/folimbra-index|$prefix/bin/folimbra-index|" "$template" >"$instance"
out=$(MANPATH=$prefix/share/man XDG_RUNTIME_DIR=$work/runtime \
      systemd-analyze --user verify "$instance" 2>&1) || fail "systemd-analyze verify failed"
[[ -z $out ]] || fail "systemd-analyze verify: $out"

# The exposure systemd rates the instance at, 0 to 10; above 2 the hardening has slipped.
report=$(systemd-analyze security --offline=yes --no-pager "$instance" 2>&1)
exposure=$(sed -n 's/.*Overall exposure level for .*: \([0-9][0-9.]*\) .*/\1/p' <<<"$report")
if [[ -z $exposure ]]; then
    fail "systemd-analyze security gave no exposure: $report"
elif ! awk -v e="$exposure" 'BEGIN { exit !(e <= 2.0) }'; then
    # The settings that add to it end in their share.
    fail "exposure $exposure is above 2.0:"$'\n'"$(awk '$NF ~ /^[0-9]+\.[0-9]+$/' <<<"$report")"
fi
exit $failed
