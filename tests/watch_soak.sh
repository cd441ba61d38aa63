#!/usr/bin/env bash
# folimbra-index --watch --recursive through a long churn: files made, written, renamed, moved and
# deleted, folders made, deleted, moved within the tree, out of it and back, and folders swapped
# for links to a folder outside it. Once the watch is quiet, every page is what a fresh -r run
# writes, open descriptors are back within 5 % of those after the first pages and resident memory
# within 5 % of a new watch's over the same tree,
# the folder the links lead to and a sibling folder are untouched, and ten idle seconds cost no
# CPU tick. Then, with the kernel's event queue made small (root only), a watch that overflows it
# still ends with every page right and goes quiet.
# --limites: a queue too small for 32 pages' own events, and too few watches for a folder made
# while watching (tests/watch_run.sh covers too few at start): the watch must go quiet, say so
# and go on.
# Usage: watch_soak.sh FOLIMBRA_INDEX [SECONDS [FOLDERS]]
#        watch_soak.sh --limites FOLIMBRA_INDEX
# Environment: CHURN_RATE (changes a second, default 200), SEED (default 1).
set -uo pipefail
# shellcheck source=tests/lib.sh
. "$(dirname "$0")/lib.sh"

limits=0
if [[ ${1:-} == --limites ]]; then
    limits=1
    shift
fi
index=$1
seconds=${2:-30}
folders=${3:-200}
rate=${CHURN_RATE:-200}
seed=${SEED:-1}
python=/usr/bin/python3
page=Quorvel-Html_index.html
queued=/proc/sys/fs/inotify/max_queued_events

work=$(mktemp -d)
pid=
old_queued=
cleanup()
{
    # The queue's size is the whole system's: put it back even when the script is cut short.
    [[ -n $old_queued ]] && echo "$old_queued" >"$queued"
    if [[ -n $pid ]]; then
        kill -CONT "$pid" 2>/dev/null
        kill "$pid" 2>/dev/null
        wait "$pid" 2>/dev/null
    fi
    rm -rf "$work"
}
trap cleanup EXIT
failed=0
fail() { echo "FALLO: $*"; failed=1; }
log=$work/log

tree=$work/arbol
# Named with the tree's name as a prefix, so that a path compared by its start would take it in.
sibling=$work/arbol-hermana
outside=$work/fuera
pool=$work/reserva

now_ms()
{
    local t=${EPOCHREALTIME//[.,]/}
    echo $((t / 1000))
}
# User and system ticks, resident kilobytes and open descriptors of the watch.
ticks() { sed 's/.*) //' "/proc/$pid/stat" | awk '{print $12 + $13}'; }
rss() { awk '/^VmRSS:/ {print $2}' "/proc/$pid/status"; }
fds() { ls "/proc/$pid/fd" | wc -l; }
# Waits until the watch has used no tick and told no page for $1 ms, longer than the debounce ever
# holds a page back (a second), at most $2 seconds.
settle()
{
    local quiet=$1 deadline=$((SECONDS + $2)) last= since state
    since=$(now_ms)
    while ((SECONDS <= deadline)); do
        kill -0 "$pid" 2>/dev/null || return 1
        state="$(ticks) $(stat -c %s "$log")"
        if [[ $state != "$last" ]]; then
            last=$state
            since=$(now_ms)
        elif (($(now_ms) - since >= quiet)); then
            return 0
        fi
        sleep 0.1
    done
    return 1
}
# Every page of the tree in order, without the two lines that change with each run: the heading's
# date and time and the footer's seconds.
pages_digest()
{
    (cd "$1" && find . -name "$page" -type f -print0 | sort -z |
        xargs -0 -r env LC_ALL=C awk 'FNR == 1 { print "== " FILENAME; heading = 0 }
            !heading && /^<b>/ { heading = 1; next }
            /gina generada en [0-9.,]+ segundos/ { next }
            { print }')
}
# Names, types, sizes, times and contents of a folder that nothing may write into.
folder_digest()
{
    find "$1" -printf '%P %y %s %T@ %C@ %i\n' | LC_ALL=C sort
    find "$1" -type f -exec md5sum {} + | LC_ALL=C sort
}
start_watch()
{
    FOLIMBRA_WATCH_TRACE=1 "$index" --watch --recursive "$tree" 2>"$log" &
    pid=$!
}
stop_watch()
{
    kill -TERM "$pid"
    wait "$pid"
    local status=$?
    pid=
    [[ $status == 0 ]] || fail "SIGTERM terminó la vigilancia con estado $status"
}
# Asks the kernel for a queue of $1 events for the watch about to start: the size is taken when
# the watch opens its inotify descriptor, so the old one is put back as soon as that is open.
start_watch_with_queue()
{
    old_queued=$(cat "$queued")
    echo "$1" >"$queued"
    start_watch
    wait_for "ls -l /proc/$pid/fd 2>/dev/null | grep 'anon_inode:inotify' >/dev/null" 30 ||
        fail "la vigilancia no abrió su descriptor de inotify"
    echo "$old_queued" >"$queued"
    old_queued=
}
# The pages the watch left against those a fresh run writes over the same tree; the watch stops.
compare_with_fresh_run()
{
    local what=$1
    pages_digest "$tree" >"$work/watch.pages"
    [[ -z $(find "$tree" -name ".$page.*" -o -name '.folimbra-*') ]] ||
        fail "$what: quedan nombres temporales en el árbol"
    stop_watch
    "$index" --recursive "$tree" >/dev/null 2>"$work/fresh.err" ||
        fail "$what: la pasada nueva falló: $(head -3 "$work/fresh.err")"
    pages_digest "$tree" >"$work/fresh.pages"
    local count
    count=$(grep -c '^== ' "$work/fresh.pages")
    if cmp -s "$work/watch.pages" "$work/fresh.pages"; then
        echo "$what: las $count páginas son las de una pasada nueva"
    else
        fail "$what: páginas distintas de las de una pasada nueva ($count páginas):"
        diff "$work/watch.pages" "$work/fresh.pages" | head -20
    fi
}

# The tree, the pool of folders outside it that are moved in and out, the folder the links lead to
# and the sibling; seeded, so that a failing run can be repeated.
"$python" - "$tree" "$pool" "$outside" "$sibling" "$folders" "$seed" <<'PYTHON'
import os, random, sys

tree, pool, outside, sibling, count, seed = sys.argv[1:5] + [int(a) for a in sys.argv[5:]]
rnd = random.Random(seed)

def fill(folder, number):
    for f in range(rnd.randint(0, 4)):
        path = os.path.join(folder, rnd.choice(["uno", "dos con espacio", "año ñandú", "x&y"])
                            + f" {f}.txt")
        with open(path, "wb") as out:
            out.write(b"x" * rnd.randint(0, 5000))
        os.utime(path, (1600000000 + number, 1600000000 + number))

os.makedirs(tree)
folders = [(tree, 0)]
while len(folders) < count:
    parent, depth = rnd.choice([f for f in folders if f[1] < 6])
    path = os.path.join(parent, f"carpeta {len(folders):04d}")
    os.mkdir(path)
    fill(path, len(folders))
    folders.append((path, depth + 1))
fill(tree, 0)
for n in range(40):
    os.makedirs(os.path.join(pool, f"reserva {n}", "dentro"))
    fill(os.path.join(pool, f"reserva {n}"), n)
    fill(os.path.join(pool, f"reserva {n}", "dentro"), n)
for folder in (outside, sibling):
    os.makedirs(os.path.join(folder, "sub"))
    fill(folder, 7)
    fill(os.path.join(folder, "sub"), 8)
    with open(os.path.join(folder, "siempre.txt"), "w") as out:
        out.write("no se toca\n")
PYTHON

# Changes for $1 seconds at CHURN_RATE a second; with $2, the watch of that process is stopped for
# one second in every four, so that its queue overflows however fast it reads.
churn()
{
    "$python" - "$tree" "$pool" "$outside" "$1" "$rate" "$seed" "${2:-0}" <<'PYTHON'
import os, random, shutil, signal, sys, time

tree, pool, outside = sys.argv[1:4]
seconds, rate = float(sys.argv[4]), float(sys.argv[5])
seed, paused = int(sys.argv[6]), int(sys.argv[7])
page = "Quorvel-Html_index.html"
rnd = random.Random(seed + 1000 * paused)
folders, links = [tree], []
for root, dirs, _ in os.walk(tree):
    for d in dirs:
        # Links left by an earlier churn are links still.
        path = os.path.join(root, d)
        (links if os.path.islink(path) else folders).append(path)
target = len(folders)
pool_folders = sorted(os.path.join(pool, d) for d in os.listdir(pool))
serial = 0

def name(stem):
    global serial
    serial += 1
    return f"{stem} {serial}"

def files(folder):
    return [e.path for e in os.scandir(folder) if e.is_file(follow_symlinks=False)
            and e.name != page and not e.name.startswith(f".{page}.")]

def under(path, paths):
    return [p for p in paths if p == path or p.startswith(path + "/")]

def relocate(old, new):
    global folders, links
    moved = lambda p: new + p[len(old):] if p == old or p.startswith(old + "/") else p
    folders = [moved(p) for p in folders]
    links = [moved(p) for p in links]

def drop(path):
    global folders, links
    gone = set(under(path, folders + links))
    folders = [p for p in folders if p not in gone]
    links = [p for p in links if p not in gone]

def take_in(path):
    for root, dirs, _ in os.walk(path):
        for d in dirs:
            (links if os.path.islink(os.path.join(root, d)) else folders).append(
                os.path.join(root, d))
    folders.append(path)

def inner(small=None):
    """A folder of the tree below the top, with at most `small` folders in its subtree."""
    for _ in range(20):
        folder = rnd.choice(folders)
        if folder != tree and (small is None or len(under(folder, folders + links)) <= small):
            return folder
    return None

def write_file(path):
    with open(path, "ab") as out:
        out.write(os.urandom(rnd.randint(1, 3000)))

def new_file():
    write_file(os.path.join(rnd.choice(folders), name(rnd.choice(["nuevo", "año"])) + ".txt"))

def append_file():
    found = files(rnd.choice(folders))
    if not found:
        return False
    write_file(rnd.choice(found))

def rename_file():
    found = files(rnd.choice(folders))
    if not found:
        return False
    old = rnd.choice(found)
    os.rename(old, os.path.join(os.path.dirname(old), name("renombrado") + ".txt"))

def move_file():
    found = files(rnd.choice(folders))
    if not found:
        return False
    os.rename(rnd.choice(found), os.path.join(rnd.choice(folders), name("traído") + ".txt"))

def delete_file():
    found = files(rnd.choice(folders))
    if not found:
        return False
    os.unlink(rnd.choice(found))

def make_folder():
    path = os.path.join(rnd.choice(folders), name("nueva"))
    os.mkdir(path)
    folders.append(path)
    # At once, before the watch can have read the new folder.
    write_file(os.path.join(path, "primero.txt"))

def delete_folder():
    folder = inner(small=1)
    if folder is None:
        return False
    # The watch may write a page into it as it goes: gone again at the next try.
    for attempt in range(10):
        try:
            shutil.rmtree(folder)
            break
        except OSError:
            if attempt == 9:
                raise
    drop(folder)

def move_out():
    folder = inner(small=20)
    if folder is None:
        return False
    away = os.path.join(pool, name("fuera"))
    os.rename(folder, away)
    drop(folder)
    pool_folders.append(away)

def move_in():
    if not pool_folders:
        return False
    away = pool_folders.pop(rnd.randrange(len(pool_folders)))
    path = os.path.join(rnd.choice(folders), name("vuelta"))
    os.rename(away, path)
    take_in(path)

def move_within():
    folder = inner()
    if folder is None:
        return False
    parent = rnd.choice(folders)
    if parent == folder or parent.startswith(folder + "/"):
        return False
    path = os.path.join(parent, name("movida"))
    os.rename(folder, path)
    relocate(folder, path)

def link_swap():
    folder = inner(small=5)
    if folder is None:
        return False
    away = os.path.join(pool, name("cambiada"))
    os.rename(folder, away)
    drop(folder)
    pool_folders.append(away)
    os.symlink(rnd.choice([outside, os.path.join(outside, "sub")]), folder)
    links.append(folder)

def link_unswap():
    if not links or not pool_folders:
        return False
    link = links.pop(rnd.randrange(len(links)))
    os.unlink(link)
    os.rename(pool_folders.pop(rnd.randrange(len(pool_folders))), link)
    take_in(link)

operations = [(new_file, "archivos nuevos", 25), (append_file, "escritos", 15),
              (rename_file, "renombrados", 12), (move_file, "movidos", 6),
              (delete_file, "borrados", 20), (make_folder, "carpetas nuevas", 5),
              (delete_folder, "carpetas borradas", 4), (move_out, "sacadas", 4),
              (move_in, "metidas", 4), (move_within, "movidas dentro", 3),
              (link_swap, "cambiadas por enlace", 2), (link_unswap, "enlaces deshechos", 2)]
grow, shrink = {make_folder, move_in}, {delete_folder, move_out}
done = {label: 0 for _, label, _ in operations}
skipped = 0
weights = [w for _, _, w in operations]
started = time.monotonic()
stopped_at = None
try:
    while (elapsed := time.monotonic() - started) < seconds:
        if paused:
            phase = elapsed % 4
            if phase < 1 and stopped_at is None:
                os.kill(paused, signal.SIGSTOP)
                stopped_at = elapsed
            elif phase >= 1 and stopped_at is not None:
                os.kill(paused, signal.SIGCONT)
                stopped_at = None
        operation, label, _ = rnd.choices(operations, weights)[0]
        # The tree stays about its first size.
        if operation in grow and len(folders) > target * 1.1:
            operation, label = (delete_folder, "carpetas borradas")
        elif operation in shrink and len(folders) < target * 0.9:
            operation, label = (make_folder, "carpetas nuevas")
        if operation() is False:
            skipped += 1
        else:
            done[label] += 1
        pause = started + (sum(done.values()) + skipped) / rate - time.monotonic()
        if pause > 0:
            time.sleep(pause)
finally:
    if paused:
        os.kill(paused, signal.SIGCONT)
elapsed = time.monotonic() - started
total = sum(done.values())
print(f"{total} cambios en {elapsed:.0f} s ({total / elapsed:.0f} por segundo; {skipped} sin "
      f"objeto): " + ", ".join(f"{label} {n}" for label, n in done.items())
      + f"; quedan {len(folders)} carpetas y {len(links)} enlaces en el árbol")
PYTHON
}

if ((limits)); then
    # A queue smaller than the events of the 32 pages written between two reads of it.
    if [[ -w $queued ]] && (cat "$queued" >"$queued") 2>/dev/null; then
        start_watch_with_queue 128
        if settle 2500 30; then
            echo "cola de 128 sucesos: la vigilancia queda quieta"
        else
            fail "con una cola de 128 sucesos la vigilancia no queda quieta: $(grep -c escrita \
"$log") páginas escritas para $folders carpetas en 30 s"
        fi
        stop_watch
    else
        echo "$queued no se puede escribir aquí: se omite la cola pequeña"
    fi
    # Watches for the tree and one folder more, in a user namespace of our own.
    if unshare -Ur true 2>/dev/null; then
        FOLIMBRA_WATCH_TRACE=1 unshare -Ur sh -c 'echo "$2" >/proc/sys/user/max_inotify_watches &&
            exec "$0" --watch --recursive "$1"' "$index" "$tree" $((folders + 1)) 2>"$log" &
        pid=$!
        wait_for "grep -qF 'escrita «$tree/$page»' '$log'" 60 || fail "sin primeras páginas"
        settle 1500 60
        mkdir "$tree/una más" "$tree/sin vigilancia"
        wait_for "grep -q 'max_user_watches' '$log'" 10 || fail "no dice que faltan vigilancias"
        touch "$tree/carpeta 0001/después"
        if wait_for "grep -aqF despu%C3%A9s '$tree/carpeta 0001/$page' 2>/dev/null" 10; then
            echo "sin vigilancias para una carpeta nueva: lo dice y sigue con las demás"
        else
            fail "sin vigilancias para una carpeta nueva, las demás dejan de seguirse$(kill -0 \
"$pid" 2>/dev/null || echo ': la vigilancia terminó')"
        fi
        if kill -0 "$pid" 2>/dev/null; then
            stop_watch
        else
            wait "$pid"
            pid=
        fi
    else
        echo "no hay espacios de nombres de usuario: se omite el límite de vigilancias"
    fi
    exit $failed
fi

folder_digest "$outside" >"$work/outside.before"
folder_digest "$sibling" >"$work/sibling.before"
echo "árbol de $folders carpetas en $tree; $seconds s de cambios a $rate por segundo"

start_watch
wait_for "grep -qF 'escrita «$tree/$page»' '$log'" 300 || fail "sin primeras páginas"
# "Start" is once the first pages are written and the watch has read their own events.
settle 2500 120 || fail "la vigilancia no queda quieta tras las primeras páginas"
rss_start=$(rss)
fds_start=$(fds)
echo "al empezar: $(grep -c escrita "$log") páginas, $rss_start kB residentes, $fds_start" \
    "descriptores"

churn "$seconds"
kill -0 "$pid" 2>/dev/null || fail "la vigilancia terminó durante los cambios: $(tail -3 "$log")"
settled_from=$(now_ms)
settle 3000 600 || fail "la vigilancia no queda quieta tras los cambios"
echo "quieta $((($(now_ms) - settled_from) / 1000)) s después de los cambios;" \
    "$(grep -c escrita "$log") páginas escritas en total"
idle=$(ticks)
sleep 10 # the span measured, not a wait for something
idle=$(($(ticks) - idle))
rss_end=$(rss)
fds_end=$(fds)
echo "al final: $rss_end kB residentes, $fds_end descriptores; $idle ticks en 10 s quieta"
((idle == 0)) || fail "quieta, usó $idle ticks en 10 s"
within() { (($2 * 100 <= $1 * 105 && $2 * 100 >= $1 * 95)); }
within "$fds_start" "$fds_end" || fail "descriptores abiertos de $fds_start a $fds_end"
grep -v 'escrita «' "$log" | head -5 | sed 's/^/mensaje: /'

for folder in outside sibling; do
    path=${!folder}
    folder_digest "$path" >"$work/$folder.after"
    cmp -s "$work/$folder.before" "$work/$folder.after" ||
        fail "se escribió en $path: $(diff "$work/$folder.before" "$work/$folder.after" | head -5)"
done
compare_with_fresh_run "tras los cambios"
# The churn leaves a tree of about, not exactly, its first size, and the memory of a watch
# follows the folders it holds: the end is measured against a watch started on the tree it left.
# Not grep -q: ldd writes its list in pieces, and under pipefail the one that finds the pipe
# closed fails the check.
if ldd "$index" | grep libasan >/dev/null; then
    echo "con AddressSanitizer la memoria no se compara: guarda lo liberado en cuarentena"
else
    start_watch
    wait_for "grep -qF 'escrita «$tree/$page»' '$log'" 300 && settle 2500 120 ||
        fail "la vigilancia nueva no queda quieta"
    rss_fresh=$(rss)
    stop_watch
    echo "una vigilancia nueva sobre el mismo árbol: $rss_fresh kB residentes"
    ((rss_end * 100 <= rss_fresh * 105)) ||
        fail "memoria residente de $rss_end kB tras los cambios, $rss_fresh kB en una nueva"
fi

if [[ -w $queued ]] && (cat "$queued" >"$queued") 2>/dev/null; then
    mkdir "$tree/ráfaga"
    start_watch_with_queue 512
    wait_for "grep -qF 'escrita «$tree/$page»' '$log'" 300 || fail "cola pequeña: sin páginas"
    settle 2500 120 || fail "cola pequeña: la vigilancia no queda quieta tras las primeras páginas"
    find "$tree" -name "$page" -printf '%P %i\n' | LC_ALL=C sort >"$work/inodes.before"
    # Stopped, the watch reads nothing while 3,000 files are made: the queue overflows for sure.
    kill -STOP "$pid"
    (cd "$tree/ráfaga" && seq 3000 | sed 's/^/archivo /' | xargs -d '\n' touch)
    kill -CONT "$pid"
    wait_for "grep -ac '>archivo [0-9]*<' '$tree/ráfaga/$page' | grep -qx 3000" 60 ||
        fail "cola pequeña: la ráfaga no está en su página"
    settle 2500 120 || fail "cola pequeña: la vigilancia no queda quieta tras la ráfaga"
    find "$tree" -name "$page" -printf '%P %i\n' | LC_ALL=C sort >"$work/inodes.after"
    kept=$(LC_ALL=C comm -12 "$work/inodes.before" "$work/inodes.after" | wc -l)
    # An overflow is "everything may have changed": no page keeps its inode.
    ((kept == 0)) || fail "cola pequeña: $kept páginas sin escribir otra vez; ¿no se desbordó?"
    churn $((seconds / 3 + 5)) "$pid"
    settle 3000 600 || fail "cola pequeña: la vigilancia no queda quieta tras los cambios"
    compare_with_fresh_run "con una cola de 512 sucesos desbordada"
else
    echo "$queued no se puede escribir aquí: se omite el desbordamiento de la cola"
fi

exit $failed
