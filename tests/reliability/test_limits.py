#!/usr/bin/env python3
"""test_limits.py BINARY [--reference REF] [--big] [--rss-limit-mb N]

Limits and failure paths, all output compared byte for byte: match
attempts looking ahead 16,382 .. 100,000 bytes, around the 16,384-byte
start size of the input buffer; texts at every offset across the
8,192-byte reads; read and write errors (status 2, one line on stderr);
all 256 byte values; 50 MB through pipes with a peak RSS under N MB
(default 16, 0 skips).  --big runs instead look-aheads of 64 MiB, 256 MiB
and 257 MiB, past the ceiling (2 GB of memory).  A look-ahead counts the
bytes an attempt reads, the one where no rule can go on included.  With
--reference the plain flex scanner must agree, on inputs up to 200,000
bytes (it rescans a long look-ahead at every read).
"""
import argparse
import errno
import hashlib
import os
import random
import resource
import signal
import subprocess
import sys
import tempfile
import threading

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))
from ptseg_test import (CLOSE, OPEN, PB, SB, check, same, stderr_ok,  # noqa: E402
                        strip_markup as strip, summary)

ARGS = None
# Texts that mix the rules: titles, initials, acronyms, dialogue turns,
# enumerations, omission marks, ellipses, quotes, CR LF, accents.
TEXTS = [
    b'O Dr. Silva chegou. Ele disse:\n- Vou embora! - gritou ela.\n'
    b'1. Primeiro ponto.',
    b'Veja: 1) Ana foi. 2) Rui ficou. Depois (...) Fim... E agora? "Sim." '
    b'- Disse.\r\nNovo par\xe1grafo, S. Ex. Rev. Jos\xe9 chegou. Fim. ii. '
    b'Mais: a) um; b) dois.',
    b'Ola! Ela perguntou: - Vens? - Sim. - respondeu. [...] Cap. IV. fig. '
    b'2 e.g. a O.N.U. fim.\n\n  ...e assim foi. \xabAt\xe9 j\xe1!\xbb Adeus.',
]


def run(binary, data=b'', **kw):
    kw.setdefault('stdout', subprocess.PIPE)
    if 'stdin' not in kw:
        kw['input'] = data
    return subprocess.run([binary], stderr=subprocess.PIPE, timeout=600, **kw)


def filler(n):
    """n bytes of small letters, blanks and commas, ending in a letter:
    text that no rule marks and every look-ahead runs through."""
    unit = b'abc def, ghij klmno pqr, stuv xyz '
    return (unit * (n // len(unit) + 1))[:n - 1] + b'e'


def segments(name, data, want):
    """Status 0 and the exact output, from the reference too."""
    p = run(ARGS.binary, data)
    check(name + ': status 0', p.returncode == 0, str(p.returncode))
    same(name, p.stdout, want)
    if ARGS.reference and len(data) <= 200000:
        same(name + ': reference', run(ARGS.reference, data).stdout, want)


def lookahead_cases(size):
    """(name, input, output) with an attempt that looks `size` bytes ahead."""
    body = b'Abc' + filler(size - 10)
    # r2 from the '.' of "Ok." reads ". Abc...! - D"; the utterance then
    # gets an attempt of its own, three bytes shorter.
    yield ('dialogue', b'Ok. ' + body + b'! - Disse ela.',
           OPEN + b'Ok. ' + SB + body + b'! - ' + SB + b'Disse ela.' + CLOSE)
    # The same without a dash: the attempt reads to the end of the input.
    yield ('no dash', b'Ok. ' + body + b' fim.', OPEN + b'Ok. ' + SB + body + b' fim.' + CLOSE)
    # r5 from the colon reads ": 1) Ana... " up to the blank after '.'.
    body = filler(size - 10)
    yield ('enumeration', b'Veja: 1) Ana' + body + b'. Fim.',
           OPEN + b'Veja: ' + SB + b'1) Ana' + body + b'. ' + SB + b'Fim.' + CLOSE)


def test_lookahead():
    for size in (16382, 16383, 16384, 32767, 32768, 100000):
        for name, data, want in lookahead_cases(size):
            segments('lookahead %d %s' % (size, name), data, want)


def test_big():
    for size in (64 << 20, 256 << 20):
        name, data, want = next(lookahead_cases(size))
        segments('lookahead %d %s' % (size, name), data, want)
    # Past the ceiling: status 2 and one line after the notice; the output
    # before the attempt ("<p><s>Ok") stays written.
    p = run(ARGS.binary, next(lookahead_cases(257 << 20))[1])
    message = p.stderr.partition(b'\n')[2]
    one_line = len(message) > 1 and message.find(b'\n') == len(message) - 1
    check('past the ceiling: status 2 and one message line',
          p.returncode == 2 and stderr_ok(p.stderr, message) and one_line, repr(p.stderr))
    same('past the ceiling: output before the attempt', p.stdout, OPEN + b'Ok')


def test_reads():
    for t, text in enumerate(TEXTS):
        # Units "<filler> fim\n<text>\n" of 8,193 bytes: the read boundary
        # k * 8,192 falls k bytes before the end of unit k, so across the
        # units it passes every offset of the text.  Units join without
        # markup, so each gives the output of one unit alone.
        tail = b' fim\n' + text + b'\n'
        one = run(ARGS.binary, tail).stdout
        if not check('reads text %d: round trip' % t, strip(one) == tail):
            continue
        if ARGS.reference:
            same('reads text %d: reference' % t, run(ARGS.reference, tail).stdout, one)
        pad, count = filler(8193 - len(tail)), len(tail) + 2
        segments('reads text %d at every offset' % t, (pad + tail) * count,
                 OPEN + (pad + one[len(OPEN):-len(CLOSE)]) * count + CLOSE)
        # Before the text, "Ok." looks ahead over a long utterance up to
        # its dash and the text's first byte.
        head, join, head_out = b'Ok. Abc', b' fim! - ', OPEN + b'Ok. ' + SB + b'Abc'
        short = run(ARGS.binary, head + join + text).stdout
        if not check('reads text %d after an utterance' % t, short.startswith(head_out)):
            continue
        for size in range(16380, 16387):
            pad = filler(size - 14)
            segments('reads text %d after a %d-byte look-ahead' % (t, size),
                     head + pad + join + text, head_out + pad + short[len(head_out):])


def test_fatal():
    def failed(name, p, status, line):
        check('%s: status %d and message' % (name, status),
              p.returncode == status and stderr_ok(p.stderr, line),
              '%s, %r' % (p.returncode, p.stderr))

    # Read errors: standard input a directory, or closed.  The opening
    # markup, due before the first read, stays written.
    cases = [('stdin a directory', dict(stdin=os.open('/', os.O_RDONLY))),
             ('stdin closed', dict(stdin=subprocess.DEVNULL, preexec_fn=lambda: os.close(0)))]
    for binary in filter(None, (ARGS.binary, ARGS.reference)):
        for name, kw in cases:
            name = '%s (%s)' % (name, os.path.basename(binary))
            p = run(binary, **kw)
            failed(name, p, 2, b'input in flex scanner failed\n')
            same(name + ': output so far', p.stdout, OPEN)
    os.close(cases[0][1]['stdin'])
    # Write errors: a full device, small and large output; a closed stdout;
    # a pipe nobody reads, which ends ptseg on SIGPIPE unless that is
    # ignored (as in this parent), and then is an error like the others.
    full = os.open('/dev/full', os.O_WRONLY)
    unread, dead = os.pipe()
    os.close(unread)
    big = (TEXTS[0] + b'\n') * (1000000 // len(TEXTS[0]))
    reason = lambda e: b'ptseg: error writing standard output: %s\n' % os.strerror(e).encode()
    cases = [('stdout full, small', TEXTS[1], dict(stdout=full), 2, reason(errno.ENOSPC)),
             ('stdout full, 1 MB', big, dict(stdout=full), 2, reason(errno.ENOSPC)),
             ('stdout closed', big, dict(preexec_fn=lambda: os.close(1)), 2, reason(errno.EBADF)),
             ('stdout unread, SIGPIPE ignored', big, dict(stdout=dead, restore_signals=False),
              2, reason(errno.EPIPE)),
             ('stdout unread', big, dict(stdout=dead), -signal.SIGPIPE, b'')]
    for binary in filter(None, (ARGS.binary, ARGS.reference)):
        for name, data, kw, status, line in cases:
            failed('%s (%s)' % (name, os.path.basename(binary)), run(binary, data, **kw),
                   status, line)
    os.close(full)
    os.close(dead)
    # Standard input the file standard output appends to: refused before
    # any output, the file left as it was.  Read, it would feed itself.
    folder = tempfile.TemporaryDirectory()
    path, limit = os.path.join(folder.name, 'a.txt'), 1 << 20
    for binary in filter(None, (ARGS.binary, ARGS.reference)):
        with open(path, 'wb') as f:
            f.write(big[:20000])
        with open(path, 'rb') as stdin, open(path, 'ab') as stdout:
            p = run(binary, stdin=stdin, stdout=stdout, preexec_fn=lambda: resource.setrlimit(
                resource.RLIMIT_FSIZE, (limit, limit)))
        name = 'stdin is stdout (%s)' % os.path.basename(binary)
        failed(name, p, 2, b'ptseg: input file is output file\n')
        same(name + ': the file as it was', open(path, 'rb').read(), big[:20000])
    folder.cleanup()


def test_bytes():
    # NUL is ordinary input: copied, and a control byte for the rules (the
    # case files hold more).
    segments('bytes: NUL before a dialogue turn', b'Ele disse:\x00\n- Vou.',
             OPEN + b'Ele disse:\x00\n' + PB + b'- Vou.' + CLOSE)
    # Every byte value, in order and in random text.
    rng = random.Random(7)
    every = bytes(range(256)) * 4
    noise = bytes(rng.choice(b'. !?-:;()[]"\'\n\r\t\xab\xbbAaIiv1 ' + every) for _ in range(65536))
    for name, data in (('every byte value', every), ('random bytes', noise)):
        p = run(ARGS.binary, data)
        check(name + ': status 0, round trip', p.returncode == 0 and strip(p.stdout) == data)
        if ARGS.reference:
            same(name + ': reference', run(ARGS.reference, data).stdout, p.stdout)


# Runs argv[1] and reports its status and peak RSS (KB) last on stderr.
MEASURE = '''import os, sys
pid = os.fork()
if pid == 0:
    os.execv(sys.argv[1], sys.argv[1:])
_, status, usage = os.wait4(pid, 0)
os.write(2, b"%d %d\\n" % (os.waitstatus_to_exitcode(status), usage.ru_maxrss))
'''


def test_memory():
    # 50 MB: a block of 1,000 units, over and over.  The expected output is
    # hashed as it would be written, the actual one as it arrives.
    unit = b''.join(TEXTS) + b'\n'
    one = run(ARGS.binary, unit).stdout[len(OPEN):-len(CLOSE)]
    two = run(ARGS.binary, unit * 2).stdout[len(OPEN):-len(CLOSE)]
    if not check('memory: units join alike', two.endswith(one)):
        return
    first = two[:-len(one)]  # a unit's output when another follows
    block, repeat = unit * 1000, 50000000 // (len(unit) * 1000)
    want = hashlib.sha256(OPEN)
    for k in range(repeat):
        want.update(first * 999 + (one if k == repeat - 1 else first))
    want.update(CLOSE)
    # A forked child counts its parent's size in its peak until it runs
    # exec, so a fresh, small interpreter starts ptseg and waits for it.
    p = subprocess.Popen([sys.executable, '-I', '-S', '-c', MEASURE, ARGS.binary],
                         stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def feed():
        for _ in range(repeat):
            p.stdin.write(block)
        p.stdin.close()
    writer = threading.Thread(target=feed)
    writer.start()
    got = hashlib.sha256()
    for chunk in iter(lambda: p.stdout.read(1 << 16), b''):
        got.update(chunk)
    writer.join()
    p.wait()
    status, peak = p.stderr.read().split(b'\n')[-2].split()
    check('memory: 50 MB status 0', status == b'0', status.decode())
    check('memory: 50 MB output', got.digest() == want.digest())
    peak = int(peak) / 1024
    print('     peak RSS %.1f MB' % peak)
    if ARGS.rss_limit_mb:
        check('memory: peak RSS under %d MB' % ARGS.rss_limit_mb, peak < ARGS.rss_limit_mb,
              '%.1f MB' % peak)


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    parser.add_argument('binary')
    parser.add_argument('--reference')
    parser.add_argument('--big', action='store_true')
    parser.add_argument('--rss-limit-mb', type=int, default=16)
    ARGS = parser.parse_args()
    for test in (test_big,) if ARGS.big else (
            test_lookahead, test_reads, test_fatal, test_bytes, test_memory):
        test()
    return summary()


if __name__ == '__main__':
    sys.exit(main())
