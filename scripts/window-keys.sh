# shellcheck shell=bash
# Drives the program's window on an X display with xdotool; sourced by the end-to-end test and
# the screenshot script.

# Prints the id of the program's window once it is up (within ten seconds), or fails.
wait_for_window()
{
    local window
    for _ in $(seq 100); do
        window=$(xdotool search --name '^Quorvel Folimbra 2002 1\.0\.1$' 2>/dev/null | head -n 1) || true
        if [ -n "$window" ]; then
            echo "$window"
            return 0
        fi
        sleep 0.1
    done
    return 1
}

# Opens a folder of the folder list by typing its name, which selects it, and pressing Enter.
# The folder list must have the focus: on start-up Tab leads there from the drive list.
open_folder()
{
    xdotool type --delay 60 "$1"
    xdotool key Return
    sleep 0.5
}

# From start-up, on the root of the drive: focus the folder list and open each folder of a path
# below /, one level at a time.
open_path()
{
    local part
    xdotool key Tab
    local IFS=/
    for part in ${1#/}; do
        open_folder "$part"
    done
}
