#!/usr/bin/env python3
"""Fails each file-system call of a run in turn, through tests/faults/faultinject.cpp.

For each scenario: a folder as a user leaves it between two runs (old pages, old thumbnails, then
a change), a clean run of it for reference, a run that only counts the calls of each kind, and
then one run per call to fail. After each failed call: a run that fails says so (status 1 and a
message naming the file and the cause), every file is either as it was or as the clean run wrote
it (or is a page its message calls incomplete), a page said to be unchanged is, and no name is
left that neither has. A run that succeeds despite the failure must have written exactly what
the clean run wrote, and so must a run whose every write is cut short.

Usage: sweep.py FOLIMBRA_INDEX FAULT_LIBRARY [--scenario NAME]... [--most N] [--point KIND:N]
--most N tries at most N calls of each kind in each scenario (the first, the last and evenly
spread between); 0 tries every call. --point tries that call alone, again.
"""

import argparse
import hashlib
import json
import os
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

PAGE = "Quorvel-Html_index.html"
KINDS = ["open", "write", "sync", "fallocate", "link", "rename", "attr", "close", "readdir", "stat"]
IN_PLACE_KINDS = ["fallocate", "write", "sync"]
# How a file system without unnamed files refuses one.
NO_TMPFILE = ["EOPNOTSUPP", "EISDIR", "EINVAL"]
# Each point fails with the next of these; the message must tell its cause.
ERRORS = {"EIO": "error de entrada/salida", "ENOSPC": "no queda espacio en el disco",
          "EACCES": "permiso denegado", "EROFS": "el medio es de solo lectura",
          "EDQUOT": "se ha superado la cuota de disco",
          "EFBIG": "se ha superado el tamaño máximo de archivo",
          "EMFILE": "demasiados archivos abiertos", "ENFILE": "demasiados archivos abiertos",
          "ENOMEM": "no queda memoria", "ENXIO": "el dispositivo no está disponible",
          "ESTALE": "el volumen ya no está disponible"}

# The lines that change with every run: a page's heading date and its seconds, the catalogue's
# time of making.
TIME_LINES = [re.compile(rb" :: \d+ \w+ \d{4} \d\d:\d\d:\d\d</b>"),
              re.compile(rb"generada en [\d.,]+ segundos"),
              re.compile(rb"Hecho el [\dTZ:-]+ ")]


# A parent's link to a folder whose page failed goes to the folder instead.
PAGE_LINK = re.compile(rb'href="([^"]*/)%s"' % re.escape(PAGE.encode()))
# What a page that failed became, as its message tells it.
PAGE_FAILED = re.compile(r"No se pudo escribir la página «([^»]*)»: [^\n]*"
                         r"La página (no se ha cambiado|ha quedado incompleta)\.")
# Nor, on a modern page, the size of that folder.
FOLDER_SIZE = re.compile(rb"(<td>Carpeta<td) title=\d+>[^<\n]*")
# A modern parent's row for a folder it links to without a page, that is, whose page failed:
# such a folder has no size to show.
SIZED_WITHOUT_PAGE = re.compile(rb'<a href="[^"]*/">[^\n]*?</a><td>Carpeta<td title=')
# An image without its thumbnail is shown whole.
PICTURE = re.compile(rb"<br><center>.*</center>")
# What a run tells of images left without a thumbnail, which is no failure of the run.
LEFT_WITHOUT = re.compile(r"folimbra-index: (1 imagen|\d+ imágenes) sin miniatura [^\n]*\n?")


def normalised(path, links=False):
    with open(path, "rb") as f:
        data = f.read()
    for pattern in TIME_LINES:
        data = pattern.sub(b"<time>", data)
    if path.endswith(".html") and links:
        data = PAGE_LINK.sub(rb'href="\1"', data)
        data = FOLDER_SIZE.sub(rb"\1>", data)
        data = PICTURE.sub(b"<picture>", data)
    return hashlib.sha256(data).hexdigest()


def whole(path):
    """Whether a catalogue or JSON file ends as a whole one does."""
    with open(path, "rb") as f:
        data = f.read()
    if not data.startswith(b"{"):
        return data.rstrip().endswith(b"</html>")
    try:
        return data.endswith(b"\n") and all(json.loads(line) for line in data.splitlines())
    except ValueError:
        return False


def snapshot(root):
    """Every name under root, with what it holds (files by their bytes less time lines)."""
    names = {}
    for folder, subfolders, files in os.walk(root):
        for name in subfolders + files:
            path = os.path.join(folder, name)
            relative = os.path.relpath(path, root)
            if os.path.islink(path):
                names[relative] = "link " + os.readlink(path)
            elif os.path.isdir(path):
                names[relative] = "folder"
            else:
                names[relative] = normalised(path)
    return names


def make_files(folder, count, prefix="archivo"):
    """Files of fixed times, so that pages of two runs list the same dates."""
    os.makedirs(folder, exist_ok=True)
    for i in range(count):
        path = os.path.join(folder, "%s%04d.txt" % (prefix, i))
        with open(path, "wb") as f:
            f.write(b"x" * (i % 50))
        os.utime(path, (1767225600 + i, 1767225600 + i))


def make_jpeg(path, seed):
    """A small JPEG drawn by cjpeg from a portable pixmap."""
    width, height = 64 + seed * 3, 48 + seed
    pixels = bytes((x * seed + y) & 255 for y in range(height) for x in range(width * 3))
    subprocess.run(["cjpeg", "-quality", "80", "-outfile", path], check=True,
                   input=b"P6 %d %d 255\n" % (width, height) + pixels)


class Scenario:
    """A folder before a run (made by prepare), and the command that runs over it. Where
    append_only names a folder, it takes new names but lets none go, and its files are
    rewritten in place: only the calls of the rewrite itself are failed there, after which the
    message must say whether the page is still the old one."""

    def __init__(self, name, prepare, arguments, watch=False, append_only=None):
        self.name, self.prepare, self.arguments, self.watch = name, prepare, arguments, watch
        self.append_only = append_only


def set_append_only(folder, on):
    """Whether the folder's append-only flag could be set to on (with chattr, as
    concurrent_runs.sh does)."""
    try:
        return subprocess.run(["chattr", "+a" if on else "-a", folder],
                              capture_output=True).returncode == 0
    except OSError:
        return False


def prepare_page(files, *options):
    def prepare(index, run):
        make_files(run + "/folder", files)
        subprocess.run([index, *options, run + "/folder"], check=True, capture_output=True)
        make_files(run + "/folder", 1, "nuevo")
    return prepare


def prepare_tree(index, run):
    for i in range(10):
        for j in range(19):
            make_files("%s/folder/d%d/e%02d" % (run, i, j), 2)
    subprocess.run([index, "-r", run + "/folder"], check=True, capture_output=True)
    for i in range(0, 10, 3):
        make_files("%s/folder/d%d/e07" % (run, i), 1, "nuevo")
    make_files(run + "/folder", 1, "nuevo")


def prepare_modern(index, run):
    for i in range(3):
        make_files("%s/folder/d%d" % (run, i), 30)
    subprocess.run([index, "--style", "modern", "-r", run + "/folder"], check=True,
                   capture_output=True)
    make_files(run + "/folder/d1", 1, "nuevo")


def prepare_output(option):
    def prepare(index, run):
        for i in range(5):
            make_files("%s/folder/d%d" % (run, i), 40)
        os.makedirs(run + "/out")
        subprocess.run([index, option, run + "/out/salida", run + "/folder"], check=True,
                       capture_output=True)
        make_files(run + "/folder/d2", 1, "nuevo")
    return prepare


def prepare_thumbnails(index, run):
    os.makedirs(run + "/folder")
    for i in range(19):
        make_jpeg("%s/folder/foto%02d.jpg" % (run, i), i + 1)
    subprocess.run([index, "--thumbnails", run + "/folder"], check=True, capture_output=True)
    make_jpeg(run + "/folder/foto19.jpg", 40)
    # A photo edited since its thumbnail was made.
    make_jpeg(run + "/folder/foto03.jpg", 41)
    os.utime(run + "/folder/foto03.jpg", (time.time() + 10, time.time() + 10))


def prepare_watch(index, run):
    make_files(run + "/folder/a", 20)
    make_files(run + "/folder/b", 20)
    subprocess.run([index, "-r", run + "/folder"], check=True, capture_output=True)


SCENARIOS = [
    Scenario("page", prepare_page(1000), ["{run}/folder"]),
    Scenario("inplace", prepare_page(1000), ["{run}/folder"], append_only="folder"),
    Scenario("tree", prepare_tree, ["-r", "{run}/folder"]),
    Scenario("modern", prepare_modern, ["--style", "modern", "-r", "{run}/folder"]),
    Scenario("modern-inplace", prepare_page(300, "--style", "modern"),
             ["--style", "modern", "{run}/folder"], append_only="folder"),
    Scenario("catalog", prepare_output("--catalog"), ["--catalog", "{run}/out/salida",
                                                        "{run}/folder"]),
    Scenario("json", prepare_output("--json"), ["--json", "{run}/out/salida", "{run}/folder"]),
    Scenario("thumbnails", prepare_thumbnails, ["--thumbnails", "{run}/folder"]),
    Scenario("watch", prepare_watch, ["--watch", "-r", "{run}/folder"], watch=True),
]


def wait_for(condition, seconds):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.02)
    return True


def lists(page, name):
    try:
        with open(page, "rb") as f:
            return (">%s<" % name).encode() in f.read()
    except OSError:
        return False


class Sweep:
    def __init__(self, index, library, work):
        self.index, self.library, self.work = index, library, work
        self.run_folder = os.path.join(work, "run")
        self.failures = []
        self.points = 0
        self.unfired = 0
        self.locked = None

    def environment(self, counts, kind=None, n=0, error="EIO", short=0, tmpfile=None):
        env = dict(os.environ)
        env["LD_PRELOAD"] = self.library
        # A sanitizer's runtime wants to come first; it still does, behind the preloaded calls.
        env["ASAN_OPTIONS"] = env.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"
        env["FOLIMBRA_FAULT_UNDER"] = self.run_folder
        env["FOLIMBRA_FAULT_COUNTS"] = counts
        if kind:
            env.update(FOLIMBRA_FAULT_CALL=kind, FOLIMBRA_FAULT_N=str(n), FOLIMBRA_FAULT_ERRNO=error)
        if short:
            env["FOLIMBRA_FAULT_SHORT"] = str(short)
        if tmpfile:
            env["FOLIMBRA_FAULT_TMPFILE"] = tmpfile
        return env

    def restore(self, template, scenario=None):
        """The run folder as the template holds it; False where it cannot be made append-only."""
        self.unlock()
        shutil.rmtree(self.run_folder, ignore_errors=True)
        # cp keeps what copytree keeps (links as links, modes, times, attributes) in a fraction of
        # its time, which the thousands of restores add up.
        subprocess.run(["cp", "-a", "-T", "--", template, self.run_folder], check=True)
        self.locked = scenario and scenario.append_only
        return not self.locked or set_append_only(os.path.join(self.run_folder, self.locked), True)

    def unlock(self):
        if self.locked:
            set_append_only(os.path.join(self.run_folder, self.locked), False)
        self.locked = None

    def execute(self, scenario, env):
        """Runs the scenario's command; returns its status and standard error."""
        arguments = [a.format(run=self.run_folder) for a in scenario.arguments]
        if not scenario.watch:
            done = subprocess.run([self.index] + arguments, env=env, capture_output=True,
                                  timeout=120)
            return done.returncode, done.stderr.decode(errors="replace")
        # One round of the watch: its first pages, a change, and a second change that must
        # reach the page even where the first one failed. The trace tells when each is done.
        folder = self.run_folder + "/folder"
        page = folder + "/a/" + PAGE
        env = dict(env, FOLIMBRA_WATCH_TRACE="1")
        with tempfile.NamedTemporaryFile() as log:
            told = lambda text: text in open(log.name, "rb").read()
            watch = subprocess.Popen([self.index] + arguments, env=env, stderr=log,
                                     stdout=subprocess.DEVNULL)
            first = "primeras páginas hechas\n".encode()
            if not wait_for(lambda: watch.poll() is not None or told(first), 20):
                self.fail_point("la vigilancia no dijo que las primeras páginas estaban hechas")
                watch.kill()
            elif watch.poll() is None:
                make_files(folder + "/a", 1, "uno")
                os.utime(folder + "/a", (1767225600, 1767225600))
                wait_for(lambda: lists(page, "uno0000.txt") or told("No se pudo".encode()), 5)
                make_files(folder + "/a", 1, "dos")
                os.utime(folder + "/a", (1767225600, 1767225600))
                if not wait_for(lambda: lists(page, "uno0000.txt") and lists(page, "dos0000.txt"),
                                10):
                    self.fail_point("la vigilancia no volvió a escribir la página tras el fallo")
                # The page of the top folder follows the time of the folder changed.
                wait_for(lambda: open(log.name, "rb").read().count(b"escrita") >= 4, 2)
                watch.send_signal(signal.SIGTERM)
            try:
                status = watch.wait(timeout=20)
            except subprocess.TimeoutExpired:
                watch.kill()
                status = watch.wait()
                self.fail_point("la vigilancia no terminó con SIGTERM")
            told = open(log.name, "rb").read().decode(errors="replace")
            traced = re.compile(r"folimbra-index: (escrita «|primeras páginas hechas$)")
            return status, "".join(line for line in told.splitlines(True)
                                   if not traced.match(line))

    def keep(self, scenario, stderr):
        """With FOLIMBRA_FAULT_KEEP=FOLDER, the first failed point is kept there to look at."""
        keep = os.environ.get("FOLIMBRA_FAULT_KEEP")
        if not keep or os.path.exists(keep):
            return
        shutil.copytree(self.run_folder, keep + "/run", symlinks=True)
        shutil.copytree(self.work + "/" + scenario.name + "-after", keep + "/after", symlinks=True)
        with open(keep + "/stderr", "w") as f:
            f.write(self.current + "\n" + stderr)

    def fail_point(self, text):
        self.failures.append("%s: %s" % (self.current, text))

    def sweep(self, scenario, most, point=None, share=(0, 1)):
        template = os.path.join(self.work, scenario.name + "-before")
        reference = os.path.join(self.work, scenario.name + "-after")
        counts = os.path.join(self.work, "counts")
        os.makedirs(self.run_folder)
        scenario.prepare(self.index, self.run_folder)
        shutil.move(self.run_folder, template)

        # The clean run, whose calls are counted.
        self.current = scenario.name + " sin fallos"
        if not self.restore(template, scenario):
            print("%s: se omite, la carpeta no puede ser solo de añadir" % scenario.name)
            return 0
        status, stderr = self.execute(scenario, self.environment(counts))
        self.unlock()
        if status != 0:
            self.fail_point("falló sin fallos: %s" % stderr.strip())
            return 0
        if scenario.watch:
            # What the watch wrote last, as a fresh run writes it.
            subprocess.run([self.index, "-r", self.run_folder + "/folder"], check=True,
                           capture_output=True)
        shutil.rmtree(reference, ignore_errors=True)
        shutil.move(self.run_folder, reference)
        calls, _ = read_counts(counts)
        before, after = snapshot(template), snapshot(reference)
        print("%s: %s" % (scenario.name, " ".join("%s=%d" % (k, v) for k, v in calls.items() if v)),
              flush=True)

        if not scenario.watch:
            # Writes cut short, as a signal may cut one; and a file system without unnamed files,
            # which says so by one of three errors, each the same to us: the new file takes a
            # hidden name instead. Either way the run writes what it wrote without faults.
            refusal = NO_TMPFILE[SCENARIOS.index(scenario) % len(NO_TMPFILE)]
            for what, variant in (("con escrituras cortas", {"short": 1000}),
                                  ("sin archivos sin nombre (%s)" % refusal, {"tmpfile": refusal})):
                self.current = "%s %s" % (scenario.name, what)
                self.restore(template, scenario)
                again = self.execute(scenario, self.environment(counts, **variant))
                self.unlock()
                if again != (status, stderr) or snapshot(self.run_folder) != after:
                    self.fail_point("no escribió lo mismo que sin fallos: %s" % again[1].strip())
                    self.keep(scenario, again[1])

        tried = 0
        numbered = -1
        for kind in IN_PLACE_KINDS if scenario.append_only else KINDS:
            chosen = choose(calls.get(kind, 0), most)
            if point:
                chosen = [int(point[1])] if point[0] == kind else []
            for n in chosen:
                numbered += 1
                if numbered % share[1] != share[0]:
                    continue
                error = list(ERRORS)[(n + KINDS.index(kind)) % len(ERRORS)]
                self.current = "%s: %s n.º %d de %d (%s)" % (scenario.name, kind, n, calls[kind],
                                                              error)
                self.restore(template, scenario)
                status, stderr = self.execute(scenario, self.environment(counts, kind, n, error))
                self.unlock()
                self.check(scenario, before, after, status, stderr, kind, error, counts)
                tried += 1
        self.unlock()
        shutil.rmtree(self.run_folder, ignore_errors=True)
        return tried

    def check(self, scenario, before, after, status, stderr, kind, error, counts):
        self.points += 1
        fired = read_counts(counts)[1]
        if not fired:
            # The run took another way this time (threads, the watch's timing): nothing failed.
            self.unfired += 1
            return
        now = snapshot(self.run_folder)
        for name in now:
            if name.endswith(PAGE):
                with open(os.path.join(self.run_folder, name), "rb") as page:
                    if SIZED_WITHOUT_PAGE.search(page.read()):
                        self.fail_point("«%s» da tamaño a una carpeta sin página" % name)
        if status not in (0, 1) and not scenario.watch:
            self.fail_point("terminó con el estado %s: %s" % (status, stderr.strip()[-300:]))
        # An image that could not be read is left without a thumbnail, and the run goes on; so is
        # one whose thumbnail we may not read, as another user's would be.
        left_without = bool(LEFT_WITHOUT.search(stderr)) or (scenario.name == "thumbnails"
                                                             and error == "EACCES")
        stderr = LEFT_WITHOUT.sub("", stderr)
        if status == 0 and not scenario.watch and not stderr.strip() and not left_without:
            if now != after:
                changed = sorted(n for n in set(now) | set(after) if now.get(n) != after.get(n))
                self.fail_point("terminó bien sin escribir lo mismo que sin fallos: %s"
                                % changed[:5])
                self.keep(scenario, stderr)
            return
        if not scenario.watch and status == 0 and stderr.strip():
            self.fail_point("avisó de un error pero terminó con el estado 0: %s" % stderr.strip())
        if status != 0 or scenario.watch:
            cause = ERRORS[error]
            named = re.search(r"«%s[^»]*»: [^\n]*%s" % (re.escape(self.run_folder), cause), stderr)
            if stderr.strip() and not named:
                self.fail_point("el mensaje no nombra el archivo y la causa: %s"
                                % stderr.strip()[-300:])
            if not scenario.watch and not stderr.strip():
                self.fail_point("falló sin decir nada")
            # What could not be read is told by what it is, or by the step it failed: a folder
            # that cannot be looked up while its page is written fails that page.
            fired = fired.decode(errors="surrogateescape")
            name = os.path.relpath(fired, self.run_folder)
            listed = before.get(name)
            if kind == "readdir":
                verbs = ["leer la carpeta"]
            elif kind == "stat" and listed == "folder":
                verbs = ["leer la carpeta", "escribir la página"]
            elif (kind == "stat" and listed not in (None, "link") and not name.endswith(PAGE)
                  and not name.startswith("out/")):
                verbs = (["leer la miniatura", "guardar la miniatura"]
                         if ".sh_thumbnails/" in name else ["leer el archivo"])
            else:
                verbs = []
            if status != 0 and verbs and not any(
                    "No se pudo %s «%s" % (verb, fired.rstrip("/")) in stderr for verb in verbs):
                self.fail_point("no dice qué no pudo leer: %s" % stderr.strip()[-300:])
        # The watch may write a page again later, whatever its first message said.
        told = {} if scenario.watch else {os.path.relpath(path, self.run_folder): kept
                                          for path, kept in PAGE_FAILED.findall(stderr)}
        for name, kept in told.items():
            if kept == "no se ha cambiado" and now.get(name) != before.get(name):
                self.fail_point("dice que «%s» no se ha cambiado, y cambió" % name)
        for name in sorted(set(now) | set(before) | set(after)):
            if name in now and now[name] in (before.get(name), after.get(name)):
                continue
            if told.get(name) == "ha quedado incompleta":
                continue
            if (name in now and name in after and name.endswith(PAGE)
                    and (status != 0 or scenario.watch or left_without)
                    and normalised(os.path.join(self.run_folder, name), True)
                    == normalised(os.path.join(self.work, scenario.name + "-after", name), True)):
                continue
            # A catalogue or JSON file of a run that failed somewhere lists what it could.
            if (name in now and name in after and name.startswith("out/") and status != 0
                    and whole(os.path.join(self.run_folder, name))):
                continue
            if name not in now and (name not in before or scenario.watch):
                continue
            if name not in now:
                self.fail_point("«%s» ya no está" % name)
            elif name not in before and name not in after:
                self.fail_point("quedó «%s»" % name)
            else:
                self.fail_point("«%s» no es ni el de antes ni el nuevo" % name)
                self.keep(scenario, stderr)


def read_counts(path):
    """The calls of each kind, and the path of the one that failed."""
    with open(path, "rb") as f:
        data = f.read(len(KINDS) * 8 + 4 + 4096)
    values = struct.unpack("=%dqi4096s" % len(KINDS), data)
    fired = values[len(KINDS)] != 0
    return dict(zip(KINDS, values[:len(KINDS)])), fired and values[-1].split(b"\0")[0]


def choose(count, most):
    if most == 0 or count <= most:
        return list(range(1, count + 1))
    ends = most // 3
    middle = most - 2 * ends
    spread = [1 + ends + (count - 2 * ends) * i // middle for i in range(middle)]
    return sorted(set(list(range(1, ends + 1)) + spread
                      + list(range(count - ends + 1, count + 1))))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("index")
    parser.add_argument("library")
    parser.add_argument("--scenario", action="append")
    parser.add_argument("--most", type=int, default=0)
    parser.add_argument("--point", type=lambda text: text.split(":"))
    # The watch's rounds mostly wait for it: several sweeps side by side, each failing its share
    # of the points in a folder of its own.
    parser.add_argument("--jobs", type=int, default=1)
    parser.add_argument("--share", type=lambda text: tuple(map(int, text.split("/"))),
                        default=(0, 1))
    options = parser.parse_args()
    if shutil.which("cjpeg") is None:
        print("SKIP: falta cjpeg (libjpeg-turbo-progs)")
        return 77
    if options.jobs > 1:
        arguments = [a for a in sys.argv if not a.startswith("--jobs=")]
        if "--jobs" in arguments:
            at = arguments.index("--jobs")
            del arguments[at:at + 2]
        sweeps = [subprocess.Popen([sys.executable] + arguments
                                   + ["--share", "%d/%d" % (k, options.jobs)],
                                   stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
                  for k in range(options.jobs)]
        statuses = []
        for k, one in enumerate(sweeps):
            out = one.communicate()[0].decode(errors="replace")
            print("".join("[%d] %s" % (k, line) for line in out.splitlines(True)), end="",
                  flush=True)
            statuses.append(one.returncode)
        return max(statuses)
    chosen = [s for s in SCENARIOS if not options.scenario or s.name in options.scenario]
    with tempfile.TemporaryDirectory() as work:
        sweep = Sweep(os.path.abspath(options.index), os.path.abspath(options.library), work)
        for scenario in chosen:
            started = time.monotonic()
            tried = sweep.sweep(scenario, options.most, options.point, options.share)
            print("%s: %d llamadas falladas en %.0f s" % (scenario.name, tried,
                                                         time.monotonic() - started), flush=True)
    for failure in sweep.failures:
        print("FAIL:", failure)
    print("%d puntos (%d sin el fallo, que la ejecución no llegó a pedir), %d fallos"
          % (sweep.points, sweep.unfired, len(sweep.failures)))
    return 1 if sweep.failures else 0


if __name__ == "__main__":
    sys.exit(main())
