#!/usr/bin/env python3
"""Tries the survivors of a mutation run again, on the checkout as it is now, with every check.

    scripts/survivors-again.py [WORK]     (WORK: the mutation run's folder, /tmp/mutate-work)

The run leaves out checks that are too slow for 150 mutants; this puts each surviving mutant
into a copy of the current checkout, builds it and runs ctest (the window's close and the
browser checks aside; the concurrent runs only for the file replacer), and prints one JSON line
a mutant: killed (and by what), survived, or not found (its line has changed since).
"""
import json
import os
import subprocess
import sys
import tempfile

work = sys.argv[1] if len(sys.argv) > 1 else '/tmp/mutate-work'
here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
copy = tempfile.mkdtemp(prefix='survivors-')
subprocess.run(['git', 'clone', '-q', here, copy], check=True)
build = os.path.join(copy, 'build')
subprocess.run(f'cmake -S {copy} -B {build} -G Ninja -DCMAKE_BUILD_TYPE=Debug -DFOLIMBRA_BENCH=OFF'
               f' >/dev/null && cmake --build {build} -j2 >/dev/null', shell=True, check=True)

for record in map(json.loads, open(os.path.join(work, 'results.jsonl'))):
    if record.get('status') != 'survived':
        continue
    path = os.path.join(copy, record['file'])
    text = open(path).read()
    # Lines are stored stripped, long ones cut with "…": the occurrence nearest the old line.
    before, after = record['context_before'].strip('…'), record['context_after'].strip('…')
    lines = text.split('\n')
    found = [i for i, line in enumerate(lines) if before in line]
    result = {key: record[key] for key in ('index', 'file', 'line', 'op')}
    if not found:
        result['status'] = 'not found'
    else:
        at = min(found, key=lambda i: abs(i + 1 - record['line']))
        lines[at] = lines[at].replace(before, after, 1)
        open(path, 'w').write('\n'.join(lines))
        if subprocess.run(f'cmake --build {build} -j2', shell=True, capture_output=True).returncode:
            result['status'] = 'no-compile'
        else:
            skip = 'e2e_close|browser_' + ('' if 'filereplacement' in record['file']
                                          else '|concurrent_runs')
            run = subprocess.run(f'ctest --test-dir {build} -E "{skip}" --timeout 120', shell=True,
                                 capture_output=True, text=True)
            result['status'] = 'killed' if run.returncode else 'survived'
            result['by'] = [line.split(' - ')[1].split()[0] for line in run.stdout.splitlines()
                            if ' - ' in line and ('Failed' in line or 'Timeout' in line)]
        open(path, 'w').write(text)
    print(json.dumps(result), flush=True)
