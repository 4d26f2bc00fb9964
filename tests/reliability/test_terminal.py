#!/usr/bin/env python3
"""test_terminal.py BINARY

Typed lines on a terminal: each is taken when complete, and the output up
to where a look-ahead still waits for more arrives before the next line,
with the terminal as standard output and with a pipe (there only ptseg's
own flush brings it out).  Exit status 77 (skipped) without a pty.
"""
import os
import pty
import select
import subprocess
import sys
import termios
import time

sys.dont_write_bytecode = True  # keep the source tree clean
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))
from ptseg_test import OPEN, PB, SB, check, same, stderr_ok, summary  # noqa: E402

# The lines typed, and all the output there must be after each.  The
# period of "Adeus." waits: a next line starting "..." or "(...)" would
# make it a sentence end of another kind.
TYPED = [(b'Ola. Adeus.\n', OPEN + b'Ola. ' + SB + b'Adeus'),
         (b'Mais.\n', b'.\n' + PB + b'Mais'),
         (b'Ele disse: - Vou! - gritou.\n', b'.\n' + PB + b'Ele disse: ' + SB + b'- Vou! - gritou'),
         (b'\x04', b'.\n</s></p>')]  # end of input, typed on a fresh line


def read(fd, size):
    """Reads until SIZE bytes came (10 s at most), then 0.3 s more for any
    extra bytes, or until the other side is gone."""
    got, deadline = b'', time.monotonic() + 10
    while True:
        if len(got) >= size:
            deadline = min(deadline, time.monotonic() + 0.3)
        wait = deadline - time.monotonic()
        if wait <= 0 or not select.select([fd], [], [], wait)[0]:
            return got
        try:
            data = os.read(fd, 4096)
        except OSError:  # EIO: the terminal's other side is gone
            return got
        if not data:
            return got
        got += data


def session(binary, mode):
    try:
        master, slave = pty.openpty()
    except OSError as e:
        print('skipped: no pseudo-terminal (%s)' % e)
        sys.exit(77)
    attrs = termios.tcgetattr(slave)
    attrs[1] &= ~termios.OPOST  # no LF -> CR LF
    attrs[3] &= ~termios.ECHO
    termios.tcsetattr(slave, termios.TCSANOW, attrs)
    to_terminal = mode == 'terminal output'
    p = subprocess.Popen([binary], stdin=slave, stdout=slave if to_terminal else subprocess.PIPE,
                         stderr=subprocess.PIPE)
    os.close(slave)
    try:
        for n, (line, want) in enumerate(TYPED, 1):
            os.write(master, line)
            same('%s: after line %d' % (mode, n),
                 read(master if to_terminal else p.stdout.fileno(), len(want)), want)
        status = p.wait(timeout=10)
    except subprocess.TimeoutExpired:
        p.kill()
        status = p.wait()
    finally:
        os.close(master)
    err = p.stderr.read()
    check(mode + ': status 0, notice line only', status == 0 and stderr_ok(err),
          '%s, %r' % (status, err))


if len(sys.argv) != 2:
    sys.exit(__doc__)
session(sys.argv[1], 'terminal output')
session(sys.argv[1], 'pipe output')
sys.exit(summary())
