#!/usr/bin/env python3
"""seed.py OUTDIR: a seed corpus for fuzz_segment, one file per distinct
input, named by its SHA-1: the "in:" lines of tests/cases/*.cases and the
inputs of conformance/cases.tsv in PTSEG_SHARED_DIR (default: the shared
folder beside the repository) if present.  Lines that do not parse are skipped."""
import glob
import hashlib
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.join(HERE, '..'))
from ptseg_test import unescape  # noqa: E402


def texts():
    for path in sorted(glob.glob(os.path.join(HERE, '..', 'cases', '*.cases'))):
        with open(path, encoding='utf-8', errors='replace') as f:
            yield from (line[3:].rstrip('\n').lstrip(' \t') for line in f if line.startswith('in:'))
    shared = os.environ.get('PTSEG_SHARED_DIR', os.path.join(HERE, '..', '..', '..', 'shared'))
    tsv = os.path.join(shared, 'conformance', 'cases.tsv')
    if os.path.exists(tsv):
        with open(tsv, encoding='latin-1') as f:
            yield from (line.split('\t')[1] for line in f
                        if not line.startswith('#') and line.count('\t') >= 2)


if len(sys.argv) != 2:
    sys.exit(__doc__)
os.makedirs(sys.argv[1], exist_ok=True)
seen = set()
for text in texts():
    try:
        data = unescape(text)
    except UnicodeEncodeError:
        continue
    name = hashlib.sha1(data).hexdigest()
    if name not in seen:
        seen.add(name)
        with open(os.path.join(sys.argv[1], name), 'wb') as f:
            f.write(data)
print('seed.py: %d inputs in %s' % (len(seen), sys.argv[1]))
