# Helpers the shell tests share; sourced, never run. Every wait is bounded and on what the
# display or the disk shows, so that a loaded machine only makes it longer.

# $1: seconds; the rest: a command, run until it succeeds or the time is up.
poll()
{
    local deadline=$(($(date +%s%N) + $1 * 1000000000))
    shift
    until "$@"; do
        [ "$(date +%s%N)" -lt "$deadline" ] || return 1
        sleep 0.02
    done
}

# Waits, at most $2 seconds (3 if not given), until the shell text $1 succeeds.
wait_for() { poll "${2:-3}" eval "$1"; }

# The program's windows, by title.
main_title='^Quorvel Folimbra 2002 1\.0\.1$'
box_title='^\^Quorvel\^ Folimbra$'

# $1: a title; sets `shown` to the window mapped with it.
shows()
{
    shown=$(xdotool search --onlyvisible --name "$1" 2>/dev/null | head -n 1) || true
    [ -n "$shown" ]
}

# Whether the program started as $pid has ended.
ended() { ! kill -0 "$pid" 2>/dev/null; }

# The main window, or a quick failure when the program is gone without one.
window_up()
{
    shows "$main_title" && return 0
    ended && { echo "FAIL: the program ended before its window showed"; exit 1; }
    return 1
}
