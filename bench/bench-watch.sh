#!/usr/bin/env bash
# folimbra-index --watch: (a) one file made in a folder of 10,000 to its page replaced, (b) the
# memory of a watch over 10,000 folders, (c) its start-up against one plain --recursive run on
# the same tree.
#
# Environment: FOLIMBRA_INDEX=path (skip its build), RUNS (default 9).
set -euo pipefail

bench_dir=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$bench_dir")
files_dir="$bench_dir/data/watch-files-10000"
tree_dir="$bench_dir/data/watch-tree-100x100"
results_dir="$bench_dir/results/watch-$(date +%Y%m%d-%H%M%S)"
export LANG=${LANG:-C.UTF-8}

# shellcheck source=release-index.sh
. "$bench_dir/release-index.sh"
index=$(release_index "$source_dir")

if [[ ! -d $files_dir ]]; then
    echo "Making $files_dir"
    mkdir -p "$files_dir"
    (cd "$files_dir" && seq -w 0 9999 | sed 's/^/archivo /; s/$/.txt/' | xargs -d '\n' touch)
fi
if [[ ! -d $tree_dir ]]; then
    echo "Making $tree_dir"
    for folder in $(seq -w 0 99); do
        mkdir -p "$tree_dir/carpeta $folder/sub "{00..99}
        touch "$tree_dir/carpeta $folder/sub "{00..99}/{uno,dos}.txt
    done
fi
mkdir -p "$results_dir"

# The timing is Python's, not the program's: the page's inode polled every 10 ms, the trace line
# of the top folder's page (the last one a tree writes) read from a pipe.
python3 - "$index" "$files_dir" "$tree_dir" "${RUNS:-9}" <<'PYTHON' | tee "$results_dir/summary.txt"
import os, signal, statistics, subprocess, sys, threading, time

index, files_dir, tree_dir, runs = sys.argv[1], sys.argv[2], sys.argv[3], int(sys.argv[4])
page = "Quorvel-Html_index.html"
env = dict(os.environ, FOLIMBRA_WATCH_TRACE="1")
ticks = os.sysconf("SC_CLK_TCK")


def start_watch(args, top):
    """Starts a watch; returns it and the wall and CPU seconds to its first page of `top`."""
    last = f"escrita «{top}/{page}»"
    started = time.monotonic()
    watch = subprocess.Popen([index, "--watch", *args, top], stdout=subprocess.DEVNULL,
                             stderr=subprocess.PIPE, env=env, text=True)
    for line in watch.stderr:
        if line.rstrip("\n").endswith(last):
            break
    else:
        sys.exit(f"--watch ended before writing {top}/{page}")
    wall = time.monotonic() - started
    # Read on, so that later lines never fill the pipe and stall the watch.
    threading.Thread(target=watch.stderr.read, daemon=True).start()
    stat = open(f"/proc/{watch.pid}/stat").read().rsplit(")", 1)[1].split()
    return watch, wall, (int(stat[11]) + int(stat[12])) / ticks


def stop(watch):
    watch.send_signal(signal.SIGTERM)
    if watch.wait() != 0:
        sys.exit(f"--watch ended with status {watch.returncode} on SIGTERM")


def mark(value, target, below=True):
    return "met" if (value < target if below else value <= target) else "MISSED"


print(f"folimbra-index: {index}; {runs} runs; LANG={os.environ['LANG']}")
print(f"machine: {os.cpu_count()} cores, load {open('/proc/loadavg').read().split()[0]}")

# (a) One file made in a folder of 10,000 files, to the page replaced.
watch, _, _ = start_watch([], files_dir)
latencies = []
for run in range(runs):
    # Past the one-write-a-second limit of the last run's page: this measures a change alone.
    time.sleep(1.5)
    before = os.stat(f"{files_dir}/{page}").st_ino
    made = f"{files_dir}/nuevo {run}.txt"
    changed = time.monotonic()
    open(made, "w").close()
    while os.stat(f"{files_dir}/{page}").st_ino == before:
        if time.monotonic() - changed > 10:
            sys.exit("the page was not written again within 10 s")
        time.sleep(0.01)
    latencies.append(time.monotonic() - changed)
    if f"nuevo {run}.txt".encode() not in open(f"{files_dir}/{page}", "rb").read():
        sys.exit("the page written again does not list the new file")
stop(watch)
for run in range(runs):
    os.unlink(f"{files_dir}/nuevo {run}.txt")
latency = statistics.median(latencies)
print(f"(a) change to page, 10,000 files: median {latency:.3f} s "
      f"(min {min(latencies):.3f}, max {max(latencies):.3f}); target < 1.2 s: "
      f"{mark(latency, 1.2)}")

# (b) and (c): the tree of 10,000 folders, a plain run and a watch's start-up in turn.
plain_wall, plain_cpu, watch_wall, watch_cpu, rss, hwm = [], [], [], [], [], []
for run in range(runs):
    before = os.times()
    started = time.monotonic()
    subprocess.run([index, "--recursive", tree_dir], check=True, stdout=subprocess.DEVNULL)
    plain_wall.append(time.monotonic() - started)
    after = os.times()
    plain_cpu.append(after.children_user + after.children_system
                     - before.children_user - before.children_system)
    watch, wall, cpu = start_watch(["--recursive"], tree_dir)
    watch_wall.append(wall)
    watch_cpu.append(cpu)
    time.sleep(1)  # its own events read, settled
    status = dict(line.split(":", 1) for line in open(f"/proc/{watch.pid}/status"))
    rss.append(int(status["VmRSS"].split()[0]) / 1024)
    hwm.append(int(status["VmHWM"].split()[0]) / 1024)
    stop(watch)
memory = statistics.median(rss)
print(f"(b) watching {10101:,} folders: resident {memory:.1f} MB median, peak "
      f"{max(hwm):.1f} MB; target < 60 MB: {mark(max(rss), 60)}")
ratio = statistics.median(watch_wall) / statistics.median(plain_wall)
print(f"(c) start-up: --watch {statistics.median(watch_wall):.3f} s, plain --recursive "
      f"{statistics.median(plain_wall):.3f} s, median; {ratio:.2f}x; target <= 1.5x: "
      f"{mark(ratio, 1.5, below=False)}")
print(f"    CPU seconds, median: --watch {statistics.median(watch_cpu):.2f}, plain "
      f"{statistics.median(plain_cpu):.2f} "
      f"({statistics.median(watch_cpu) / statistics.median(plain_cpu):.2f}x)")
PYTHON
echo "results: $results_dir"
