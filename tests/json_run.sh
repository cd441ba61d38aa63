#!/usr/bin/env bash
# folimbra-index --json -r on a tree with hostile names: every line validates against the
# published schema, every entry reopens from its path and name bytes and is what lstat says it
# is, the entries are exactly those a walk here finds (links to folders listed, not entered), and
# the folder that could not be read carries its error. Skipped without Debian's python3-jsonschema.
# Usage: json_run.sh FOLIMBRA_INDEX SCHEMA
set -uo pipefail

index=$1
schema=$2
python=/usr/bin/python3
"$python" -c 'import jsonschema' 2>/dev/null || { echo "python3-jsonschema is missing"; exit 77; }

scratch=$(mktemp -d)
trap 'chmod -R u+rwx "$scratch"; rm -rf "$scratch"' EXIT
top=$scratch/top
mkdir -p "$top/a/b" "$top/cerrada" "$top/dir$(printf '\377')"
for name in "ctl$(printf '\001')name" '%23#x.txt' ' blank ' "rtl$(printf '\342\200\256')exe.txt" \
    'Árbol.txt' "bad$(printf '\351').txt" 'línea
nueva'; do
    printf 'x' >"$top/$name"
done
printf 'hola' >"$top/a/arbol.txt"
printf '' >"$top/a/b/deep árbol.txt"
printf 'y' >"$top/dir$(printf '\377')/dentro$(printf '\376')"
printf 's' >"$top/cerrada/secreto.txt"
touch -d '1969-07-20 20:17:40.5 UTC' "$top/a/b/deep árbol.txt"
ln -s .. "$top/a/bucle"
ln -s a "$top/a la carpeta"
ln -s 'Árbol.txt' "$top/enlace"
ln -s "nada$(printf '\377')" "$top/roto"
mkfifo "$top/tubo"
chmod 000 "$top/cerrada"
chmod 777 "$scratch"

# Root reads every folder: the run goes as nobody there, so that one folder stays closed.
as=()
[[ $(id -u) -eq 0 ]] && as=(setpriv --reuid=65534 --regid=65534 --clear-groups)
"${as[@]}" "$index" --json - -r "$top" >"$scratch/out.jsonl" 2>"$scratch/err"
status=$?
"${as[@]}" "$index" --json "$scratch/file.jsonl" -r "$top" 2>/dev/null

# Music for --tags, where ffmpeg is there to make it.
if command -v ffmpeg >/dev/null; then
    mkdir "$scratch/musica"
    ffmpeg -loglevel error -f lavfi -i sine=duration=1 -metadata 'title=Título "raro"' \
        -metadata track=4 -metadata album=Disco -metadata album_artist=Varios \
        "$scratch/musica/pista.flac"
    head -c 5000 /dev/urandom >"$scratch/musica/rota.mp3"
    printf 'x' >"$scratch/musica/otro.txt"
fi

"$python" - "$schema" "$top" "$status" "$scratch" "$index" <<'PY'
import base64, datetime, json, os, stat, sys
import jsonschema

schema_path, top, status, scratch = sys.argv[1], os.fsencode(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
failures = []
def check(ok, what):
    if not ok:
        failures.append(what)

with open(schema_path, encoding="utf-8") as f:
    schema = json.load(f)
jsonschema.Draft202012Validator.check_schema(schema)
validator = jsonschema.Draft202012Validator(schema)

check(status == 1, f"an unreadable folder ends the run with 1, not {status}")
check(b"cerrada" in open(f"{scratch}/err", "rb").read(), "the unreadable folder is reported")
out = open(f"{scratch}/out.jsonl", "rb").read()
check(out == open(f"{scratch}/file.jsonl", "rb").read(), "--json FILE holds what --json - wrote")

def raw(entry, key):
    if key + "_bytes" in entry:
        bytes_ = base64.b64decode(entry[key + "_bytes"], validate=True)
        check("\ufffd" in entry[key], f"{entry[key]!r} marks its lost bytes")
        return bytes_
    return entry[key].encode()

def rfc3339(ns):
    seconds, fraction = divmod(ns, 10**9)
    text = (datetime.datetime(1970, 1, 1) + datetime.timedelta(seconds=seconds)).strftime("%Y-%m-%dT%H:%M:%S")
    return text + (f".{fraction:09d}".rstrip("0") if fraction else "") + "Z"

lines = out.split(b"\n")
check(lines[-1] == b"", "the output ends with a newline")
seen = set()
for number, line in enumerate(lines[:-1]):
    entry = json.loads(line)
    errors = [e.message for e in validator.iter_errors(entry)]
    check(not errors, f"line {number + 1} {line!r}: {errors}")
    if number == 0:
        check(entry.get("version") == 1, "the first line gives the version")
        check(raw(entry, "folder") == top + b"/", f"the first line names the folder: {entry}")
        continue
    folder = raw(entry, "path")
    name = raw(entry, "name")
    where = top if folder == b"." else os.path.join(top, folder)
    path = os.path.join(where, name)
    seen.add((folder, name))
    try:
        st = os.lstat(path)
    except OSError as error:
        check(False, f"{path!r} does not reopen: {error}")
        continue
    kind = ("link" if stat.S_ISLNK(st.st_mode) else "folder" if stat.S_ISDIR(st.st_mode)
            else "file" if stat.S_ISREG(st.st_mode) else "other")
    check(entry["type"] == kind, f"{path!r} is a {kind}, not a {entry['type']}")
    if kind == "link":
        check(raw(entry, "target") == os.readlink(path), f"{path!r} gives its target")
        try:
            st = os.stat(path)
        except OSError:
            pass
    if kind == "folder" and name == b"cerrada":
        check("error" in entry, "the unreadable folder carries its error")
        continue
    check("error" not in entry, f"{path!r} has no error")
    check(entry.get("size") == st.st_size, f"{path!r} size {entry.get('size')} != {st.st_size}")
    check(entry.get("mtime_ns") == st.st_mtime_ns, f"{path!r} mtime_ns")
    check(entry.get("mtime") == rfc3339(st.st_mtime_ns), f"{path!r} mtime {entry.get('mtime')}")

# The oracle: every entry below the folder, links never followed, the closed folder not entered.
expected = set()
def walk(folder):
    where = top if folder == b"." else os.path.join(top, folder)
    for name in os.listdir(where):
        expected.add((folder, name))
        inner = name if folder == b"." else os.path.join(folder, name)
        if name != b"cerrada" and stat.S_ISDIR(os.lstat(os.path.join(where, name)).st_mode):
            walk(inner)
walk(b".")
check(seen == expected, f"listed but not there: {sorted(seen - expected)}; "
      f"there but not listed: {sorted(expected - seen)}")
check(len(seen) == len(lines) - 2, "no entry is listed twice")

# --tags: a track's tags, only those it has, in lines the schema takes.
music = os.path.join(scratch, "musica")
if os.path.isdir(music):
    import subprocess
    tagged = [json.loads(line) for line in subprocess.run(
        [sys.argv[5], "--json", "-", "--tags", music], capture_output=True, check=True).stdout.splitlines()]
    for entry in tagged:
        errors = [e.message for e in validator.iter_errors(entry)]
        check(not errors, f"--tags {entry}: {errors}")
    by_name = {entry.get("name"): entry for entry in tagged}
    song = by_name.get("pista.flac", {})
    check(song.get("title") == "Título \"raro\"" and song.get("track") == 4 and "year" not in song
          and song.get("album") == "Disco" and song.get("album_artist") == "Varios"
          and "artist" not in song
          and 0.9 <= song.get("duration", 0) <= 1.1, f"the track's tags: {song}")
    check(not {"title", "duration"} & set(by_name.get("rota.mp3", {})), "a broken file has no tags")
    check("title" not in by_name.get("otro.txt", {}), "a file that is no music has none")
for failure in failures:
    print("FAIL:", failure)
sys.exit(1 if failures else 0)
PY
