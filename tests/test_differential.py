#!/usr/bin/env python3
"""test_differential.py PTSEG REFERENCE DIR...

The engine (PTSEG) and the plain flex scanner (REFERENCE) must give the
same output, and status 0, on every *.txt file under the directories, on
generated inputs whose match attempts look far ahead and back up again and
on small copies of the hostile benchmark inputs; the engine must give it
with its skip over copies turned off too (PTSEG_NO_SKIP=1).
"""
import importlib.util
import os
import sys

sys.dont_write_bytecode = True  # keep the source tree clean
from ptseg_test import first_difference, report, run  # noqa: E402

FAR_LOOKING = {
    'colon chain': b'Veja: 1) Ana foi, ',
    'utterance without end': b'def ghi, Jkl mno, ',
    'blank lines after a full stop': b'  \n \t\n\r\n',
    'dialogue turns in an item': b'Ele disse: 1) Vou\n- Abc def, ',
    # turns long enough to be remembered where an item's look-ahead is too
    'long dialogue turns in an item': b'\n- Abc def ghi jkl mno pqr stu vwx: 1) Ana foi, ',
    'nested openers': b'Fim. \xab("[Ok. ',
    # titles whose full stop comes several bytes after the match starts
    'long titles': b'Ana - Sub-sec\xba. Rui (Excias. Ana) e S. Exa. Rev. Paulo, ',
}


HOSTILE = os.path.join(os.path.dirname(os.path.abspath(__file__)), '..', 'bench', 'hostile.py')


def hostile_inputs():
    """The hostile benchmark inputs at 5,000 bytes."""
    spec = importlib.util.spec_from_file_location('hostile', HOSTILE)
    hostile = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(hostile)
    for kind, (head, unit, tail) in hostile.KINDS.items():
        body = head + unit * max(1, 5000 // len(unit)) + tail
        yield 'hostile ' + kind, body.encode('latin-1')


def inputs(dirs):
    for top in dirs:
        for root, _, files in sorted(os.walk(top)):
            for name in sorted(f for f in files if f.endswith('.txt')):
                with open(os.path.join(root, name), 'rb') as f:
                    yield os.path.join(root, name), f.read()
    for name, unit in FAR_LOOKING.items():
        for size in (1000, 40000):
            body = unit * (size // len(unit))
            yield name, b'Ok. Abc ' + body + b'! - Disse ela.\nFim.'
            yield name + ' (then nothing)', b'Fim.' + body
    yield from hostile_inputs()


def main():
    if len(sys.argv) < 4:
        sys.exit(__doc__)
    total, failed = 0, 0
    for name, data in inputs(sys.argv[3:]):
        total += 1
        got, want = (run(binary, data, timeout=300) for binary in sys.argv[1:3])
        without = run(sys.argv[1], data, timeout=300, env={'PTSEG_NO_SKIP': '1'})
        for how, out in (('', got), (' without the skip', without)):
            if out[0] != want[0] or out[2] != 0 or want[2] != 0:
                failed += 1
                print('DIFFERS %s%s: status %s/%s, %s' % (
                    name, how, out[2], want[2], first_difference(out[0], want[0])))
    return report(total, failed)


if __name__ == '__main__':
    sys.exit(main())
