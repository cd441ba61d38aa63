#!/usr/bin/env bash
# Runs a command on a virtual X display of its own. Xvfb picks the display's number itself
# (-displayfd), so runs side by side (a test suite and a mutation run) never share one, as the
# free numbers xvfb-run -a guesses could.
#   tests/with_display.sh WIDTHxHEIGHTxDEPTH COMMAND [ARGUMENT]...
set -uo pipefail

screen=$1
shift
numbers=$(mktemp)
Xvfb -displayfd 3 -screen 0 "$screen" -nolisten tcp 3>"$numbers" >/dev/null 2>&1 &
server=$!
trap 'kill "$server" 2>/dev/null; wait "$server" 2>/dev/null; rm -f "$numbers"' EXIT
# The number comes once the server listens.
for ((i = 0; i < 3000; ++i)); do
    [ -s "$numbers" ] && break
    kill -0 "$server" 2>/dev/null || { echo "FAIL: Xvfb did not start"; exit 1; }
    sleep 0.02
done
[ -s "$numbers" ] || { echo "FAIL: Xvfb gave no display within 60 s"; exit 1; }
DISPLAY=:$(head -n 1 "$numbers")
export DISPLAY
unset XAUTHORITY
# Once seen, a client of the display's own was refused (e2e_window, 1 run in many): the command
# starts only when one is taken.
for ((i = 0; i < 500; ++i)); do
    xdpyinfo >/dev/null 2>&1 && break
    kill -0 "$server" 2>/dev/null || { echo "FAIL: Xvfb ended on $DISPLAY before taking a client"; exit 1; }
    sleep 0.02
done
xdpyinfo >/dev/null 2>&1 || { echo "FAIL: Xvfb on $DISPLAY took no client within 10 s"; exit 1; }
"$@"
