#!/usr/bin/env python3
"""test_terminal.py BINARY

Typing to ptseg on a terminal: each line is taken when it is complete, and
the output up to where a look-ahead still waits for more input arrives
before the program waits for the next line.  Run with the terminal as
standard input and output (an interactive session), and with output to a
pipe (ptseg | other), where only ptseg's own flush brings it out early.
The terminal echoes nothing and passes output bytes unchanged.
Exit status 1 on failure, 77 (skipped) without a pseudo-terminal.
"""
import os
import pty
import select
import subprocess
import sys
import termios
import time

SB, PB = b'</s><s>', b'</s></p><p><s>'
# The lines typed, and all the output there must be after each.  The
# period of "Adeus." waits: a next line starting "..." or "(...)" would
# make it a sentence end of another kind.
TYPED = [(b'Ola. Adeus.\n', b'<p><s>Ola. ' + SB + b'Adeus'),
         (b'Mais.\n', b'.\n' + PB + b'Mais'),
         (b'Ele disse: - Vou! - gritou.\n', b'.\n' + PB + b'Ele disse: ' + SB + b'- Vou! - gritou')]
END = b'.\n</s></p>'
FAILED = []


def check(name, ok, detail):
    print('%s %s%s' % ('ok  ' if ok else 'FAIL', name, '' if ok else ': ' + detail))
    if not ok:
        FAILED.append(name)


def read(fd, want):
    """Reads until len(want) bytes came (None: until the end; 10 s at
    most), then 0.3 s more for any extra bytes."""
    got, deadline = b'', time.monotonic() + 10
    while True:
        if want is not None and len(got) >= len(want):
            deadline = min(deadline, time.monotonic() + 0.3)
        wait = deadline - time.monotonic()
        if wait <= 0 or not select.select([fd], [], [], wait)[0]:
            return got
        try:
            data = os.read(fd, 4096)
        except OSError:  # EIO: the terminal's other side is gone
            data = b''
        if not data:
            return got
        got += data


def session(binary, to_terminal):
    mode = 'terminal output' if to_terminal else 'pipe output'
    try:
        master, slave = pty.openpty()
    except OSError as e:
        print('skipped: no pseudo-terminal (%s)' % e)
        sys.exit(77)
    attrs = termios.tcgetattr(slave)
    attrs[1] &= ~termios.OPOST  # no LF -> CR LF
    attrs[3] &= ~termios.ECHO
    termios.tcsetattr(slave, termios.TCSANOW, attrs)
    p = subprocess.Popen([binary], stdin=slave, stdout=slave if to_terminal else subprocess.PIPE,
                         stderr=subprocess.PIPE)
    os.close(slave)
    out = master if to_terminal else p.stdout.fileno()
    try:
        for n, (line, want) in enumerate(TYPED, 1):
            os.write(master, line)
            got = read(out, want)
            check('%s: after line %d' % (mode, n), got == want, 'got %r, want %r' % (got, want))
        os.write(master, b'\x04')  # end of input, typed on a fresh line
        got = read(out, None)
        check(mode + ': at the end', got == END, 'got %r, want %r' % (got, END))
        status = p.wait(timeout=10)
    except subprocess.TimeoutExpired:
        p.kill()
        status = p.wait()
    finally:
        os.close(master)
    check(mode + ': status 0', status == 0, str(status))
    err = p.stderr.read()
    check(mode + ': notice line only', len(err) == 74 and err.endswith(b'\n'), repr(err))


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    session(sys.argv[1], True)
    session(sys.argv[1], False)
    print('%d failed' % len(FAILED) if FAILED else 'all passed')
    return 1 if FAILED else 0


if __name__ == '__main__':
    sys.exit(main())
