#!/usr/bin/env bash
# Runs a command on a virtual X display of its own. Xvfb picks the display's number itself
# (-displayfd), so runs side by side (a test suite and a mutation run) never share one, as the
# free numbers xvfb-run -a guesses could.
#   tests/with_display.sh WIDTHxHEIGHTxDEPTH COMMAND [ARGUMENT]...
set -uo pipefail

screen=$1
shift
numbers=$(mktemp)
# -noreset: by default the server resets once its last client leaves, and refuses the clients that
# come meanwhile (openbox right after xdpyinfo, 6 starts in 60 with both cores busy).
Xvfb -displayfd 3 -screen 0 "$screen" -nolisten tcp -noreset 3>"$numbers" >/dev/null 2>&1 &
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
# The command starts once the display takes a client.
for ((i = 0; i < 500; ++i)); do
    xdpyinfo >/dev/null 2>&1 && break
    kill -0 "$server" 2>/dev/null || { echo "FAIL: Xvfb ended on $DISPLAY before taking a client"; exit 1; }
    sleep 0.02
done
xdpyinfo >/dev/null 2>&1 || { echo "FAIL: Xvfb on $DISPLAY took no client within 10 s"; exit 1; }
"$@"
