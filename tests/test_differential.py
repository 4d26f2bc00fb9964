#!/usr/bin/env python3
"""test_differential.py PTSEG REFERENCE DIR...

Runs the table-driven engine (PTSEG) and the plain flex scanner (REFERENCE)
over every *.txt file under the given directories, and over generated
inputs on which match attempts look far ahead, and requires byte-identical
output and exit status 0 from both.
"""
import os
import subprocess
import sys


def run(binary, data):
    r = subprocess.run([binary], input=data, stdout=subprocess.PIPE,
                       stderr=subprocess.DEVNULL)
    return r.returncode, r.stdout


def far_looking_inputs():
    """Texts whose match attempts look ahead far, and back up again."""
    units = {
        "colon chain": b"Veja: 1) Ana foi, ",
        "utterance without end": b"def ghi, Jkl mno, ",
        "blank lines after a full stop": b"  \n \t\n\r\n",
        "dialogue turns in an item": b"Ele disse: 1) Vou\n- Abc def, ",
        "nested openers": b"Fim. \xab(\"[Ok. ",
    }
    for name, unit in units.items():
        for size in (1000, 40000):
            body = unit * (size // len(unit))
            yield name, b"Ok. Abc " + body + b"! - Disse ela.\nFim."
            yield name + " (then nothing)", b"Fim." + body


def main(argv):
    if len(argv) < 3:
        sys.exit(__doc__)
    ptseg, reference = argv[0], argv[1]
    cases = []
    for top in argv[2:]:
        for root, _, files in sorted(os.walk(top)):
            for f in sorted(files):
                if f.endswith(".txt"):
                    path = os.path.join(root, f)
                    with open(path, "rb") as fh:
                        cases.append((path, fh.read()))
    cases.extend(far_looking_inputs())
    failed = 0
    for name, data in cases:
        got, want = run(ptseg, data), run(reference, data)
        if got != want or want[0] != 0:
            failed += 1
            at = next((i for i, (x, y) in enumerate(zip(got[1], want[1]))
                       if x != y), min(len(got[1]), len(want[1])))
            print("DIFFERS %s: status %d/%d, first difference at output byte "
                  "%d: %r / %r" % (name, got[0], want[0], at,
                                   got[1][at - 20:at + 20],
                                   want[1][at - 20:at + 20]))
    print("%d passed, %d failed" % (len(cases) - failed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
