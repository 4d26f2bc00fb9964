#!/usr/bin/env python3
"""seed.py OUTDIR: a seed corpus for fuzz_segment, one file per distinct
input, named by its SHA-1: the "in:" lines of tests/cases/*.cases (UTF-8,
one ISO-8859-1 byte per character) and the inputs of conformance/cases.tsv
in PTSEG_SHARED_DIR (default /work/shared) if present.  Escapes: \\n \\r
\\t \\\\ \\xNN.  Lines that do not parse are skipped."""
import glob
import hashlib
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ESC = re.compile(rb'\\(x[0-9A-Fa-f]{2}|[nrt\\])')
PLAIN = {b'n': b'\n', b'r': b'\r', b't': b'\t', b'\\': b'\\'}


def unescape(text):
    raw = text.encode('latin-1', errors='replace')
    return ESC.sub(lambda m: bytes([int(m.group(1)[1:], 16)])
                   if m.group(1)[:1] == b'x' else PLAIN[m.group(1)], raw)


def inputs():
    for path in sorted(glob.glob(os.path.join(HERE, '..', 'cases', '*.cases'))):
        with open(path, encoding='utf-8', errors='replace') as f:
            for line in f:
                if line.startswith('in:'):
                    yield unescape(line[3:].rstrip('\n').lstrip(' \t'))
    shared = os.environ.get('PTSEG_SHARED_DIR', '/work/shared')
    tsv = os.path.join(shared, 'conformance', 'cases.tsv')
    if os.path.exists(tsv):
        with open(tsv, encoding='latin-1') as f:
            for line in f:
                fields = line.rstrip('\n').split('\t')
                if not line.startswith('#') and len(fields) >= 3:
                    yield unescape(fields[1])


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    os.makedirs(sys.argv[1], exist_ok=True)
    seen = set()
    for data in inputs():
        name = hashlib.sha1(data).hexdigest()
        if name not in seen:
            seen.add(name)
            with open(os.path.join(sys.argv[1], name), 'wb') as f:
                f.write(data)
    print('seed.py: %d inputs in %s' % (len(seen), sys.argv[1]))


if __name__ == '__main__':
    main()
