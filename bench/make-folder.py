#!/usr/bin/env python3
"""Make a folder of N files with realistic names, sizes and dates for the benchmark.

Same seed and count, same folder: names, sizes and times are repeatable between runs and
machines. Files are sparse (truncated, never written) so a million of them is quick to make
and takes almost no disk.
"""

import argparse
import datetime
import os
import random
import shutil
import sys

# Bump when the names, sizes or times change, so an older folder is made again.
LAYOUT = 1

# What folders of people's files look like: blanks, accents, dashes, upper-case extensions,
# characters that must be escaped in HTML or in a link, and a few names with no extension.
TEMPLATES = [
    "Foto de playa {n:05d} – año.jpg",
    "canción {n}.mp3",
    "Árbol ñandú {n}.txt",
    "IMG_{n}.JPG",
    "DSC{n:05d}.jpeg",
    "Informe trimestral {n} (versión final).docx",
    "Presupuesto {n} — revisión.xlsx",
    "été à Montréal {n}.png",
    "Zürich Straße {n}.pdf",
    "niño pequeño {n}.gif",
    "Señales & ruido {n}.html",
    "nota#{n}.txt",
    "50% descuento {n}.csv",
    "copia de seguridad {n}.tar.gz",
    "Ελληνικά {n}.odt",
    "Łódź Kraków {n}.bmp",
    "dos  espacios {n}.TIFF",
    "README {n}",
    "Vídeo cumpleaños {n}.mp4",
    "Çalışma {n}.ods",
]

# Modification times spread over a few years, so dates and times of day all differ.
START = int(datetime.datetime(2019, 1, 1, tzinfo=datetime.timezone.utc).timestamp())
END = int(datetime.datetime(2024, 12, 31, 23, 59, 59, tzinfo=datetime.timezone.utc).timestamp())
MAX_SIZE = 5 * 1024

# A page the program under test writes into the folder is not one of the made files.
PAGE_NAME = "Quorvel-Html_index.html"


def names(count, rng):
    seen = set()
    for i in range(count):
        template = rng.choice(TEMPLATES)
        number = i + 1
        name = template.format(n=number)
        while name in seen:  # two templates can print the same name; move past it
            number += count
            name = template.format(n=number)
        seen.add(name)
        yield name


def stamp_text(count, seed):
    return f"layout={LAYOUT} count={count} seed={seed}\n"


def is_complete(folder, stamp, count, seed):
    try:
        with open(stamp, encoding="utf-8") as f:
            if f.read() != stamp_text(count, seed):
                return False
        with os.scandir(folder) as entries:
            found = sum(1 for e in entries if e.name != PAGE_NAME)
    except OSError:
        return False
    return found == count


def make(folder, count, seed):
    rng = random.Random(seed)
    if os.path.lexists(folder):
        shutil.rmtree(folder)
    os.makedirs(folder)
    dir_fd = os.open(folder, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for name in names(count, rng):
            size = rng.randint(0, MAX_SIZE)
            mtime = rng.randint(START, END)
            fd = os.open(name, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644, dir_fd=dir_fd)
            try:
                if size:
                    os.ftruncate(fd, size)
                os.utime(fd, (mtime, mtime))
            finally:
                os.close(fd)
    finally:
        os.close(dir_fd)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder")
    parser.add_argument("--count", type=int, required=True)
    parser.add_argument("--seed", type=int, default=20240601)
    args = parser.parse_args()
    if args.count < 0:
        parser.error("--count must not be negative")

    folder = os.path.abspath(args.folder)
    # Beside the folder, not in it: a stamp inside would be listed like any file.
    stamp = folder.rstrip(os.sep) + ".stamp"
    if is_complete(folder, stamp, args.count, args.seed):
        print(f"{folder}: {args.count} files, reused")
        return 0

    # Drop the stamp first: a run cut short must not leave a half-made folder looking done.
    if os.path.exists(stamp):
        os.remove(stamp)
    make(folder, args.count, args.seed)
    with open(stamp, "w", encoding="utf-8") as f:
        f.write(stamp_text(args.count, args.seed))
    print(f"{folder}: {args.count} files, made")
    return 0


if __name__ == "__main__":
    sys.exit(main())
