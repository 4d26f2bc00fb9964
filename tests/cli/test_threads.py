#!/usr/bin/env python3
"""test_threads.py PTSPLIT SHARED

ptsplit -j N on one input gives, byte for byte, what one thread gives: on
texts whose look-aheads span many chunks (bench/hostile.py's kinds), on
corpus texts in ISO-8859-1 and UTF-8, cut into chunks of a few bytes (so
that every kind of look-ahead crosses a cut) and of the default size; a
pipe written a line at a time, plain or a gzip member a line, is
answered as one thread answers it.
SHARED is the shared folder (its corpus files are skipped when absent).
"""
import gzip
import os
import select
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # keep the source tree clean
HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, '..'))
sys.path.insert(0, os.path.join(HERE, '..', '..', 'bench'))
import hostile  # noqa: E402
from ptseg_test import same, summary  # noqa: E402


def split(args, data, chunk=None):
    env = dict(os.environ)
    if chunk:
        env['PTSPLIT_CHUNK_SIZE'] = str(chunk)
    return subprocess.run([PTSPLIT] + args, input=data, capture_output=True, env=env,
                          timeout=300).stdout


def check(label, data, encodings, chunks):
    for encoding in encodings:
        for form in ('jsonl', 'markup'):
            args = ['-e', encoding, '-f', form]
            one = split(args, data)
            for jobs, chunk in chunks:
                same('%s, %s, %s: -j %d in chunks of %s bytes' % (label, encoding, form, jobs,
                                                                 chunk or 'default'),
                     split(args + ['-j', str(jobs)], data, chunk), one)


def check_slow_input(packed):
    """A pipe written a line at a time is answered line by line with threads
    too, as far as each line decides, while the input goes on.  Packed,
    each line is a gzip member whose last 8 bytes (its trailer, no text)
    come a moment after the rest."""
    lines = [b'Ela saiu. Ele ficou.\n', b'Outra linha aqui.\n', b'E mais uma.']
    # What one thread has written after each line, and at the end.
    want = [b'<p><s>Ela saiu. </s><s>Ele ficou',
            b'<p><s>Ela saiu. </s><s>Ele ficou.\n</s></p><p><s>Outra linha aqui',
            b'<p><s>Ela saiu. </s><s>Ele ficou.\n</s></p><p><s>Outra linha aqui.\n</s></p>'
            b'<p><s>E mais uma']
    want.append(want[-1] + b'.</s></p>')
    for jobs in ('1', '2'):
        p = subprocess.Popen([PTSPLIT, '-j', jobs], stdin=subprocess.PIPE,
                             stdout=subprocess.PIPE)
        out, seen = b'', []
        for line, expected in zip(lines, want):
            pieces = [line]
            if packed:
                member = gzip.compress(line)
                pieces = [member[:-8], member[-8:]]
            for piece in pieces:
                p.stdin.write(piece)
                p.stdin.flush()
                time.sleep(0.005)
            deadline = time.monotonic() + 10  # a loaded machine may be slow
            while len(out) < len(expected) and time.monotonic() < deadline:
                if select.select([p.stdout], [], [], 0.5)[0]:
                    piece = os.read(p.stdout.fileno(), 65536)
                    if not piece:
                        break
                    out += piece
            seen.append(out)
        p.stdin.close()
        seen.append(out + p.stdout.read())
        p.wait()
        same('a pipe written line by line%s: -j %s answers each line'
             % (', gzip' if packed else '', jobs), seen, want)


def main():
    check_slow_input(False)
    check_slow_input(True)
    data = b'Ola. Fim.'
    same('chunks larger than any look-ahead', split(['-j', '2'], data, 2**64 - 1), split([], data))
    for kind, (head, unit, tail) in hostile.KINDS.items():
        data = (head + unit * (1500 // len(unit)) + tail).encode('latin-1')
        check(kind, data, ('latin-1', 'utf-8'), [(2, 1), (3, 5), (2, 64)])
    texts = os.path.join(SHARED, 'corpus', 'texts')
    if not os.path.isdir(texts):
        print('skipped: %s is absent (set PTSEG_SHARED_DIR)' % texts)
        return summary()
    for name in ('machado/romance/domCasmurro.txt', 'camilo/Amor_de_Perdicao.txt'):
        with open(os.path.join(texts, name), 'rb') as f:
            latin1 = f.read()
        utf8 = latin1.decode('latin-1').encode('utf-8')
        check(name, latin1, ('latin-1',), [(2, 1000), (3, 77), (2, None)])
        check(name + ' in UTF-8', utf8, ('utf-8',), [(2, 1000), (3, 77), (2, None)])
    return summary()


if __name__ == '__main__':
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    PTSPLIT, SHARED = (os.path.abspath(arg) for arg in sys.argv[1:])
    sys.exit(main())
