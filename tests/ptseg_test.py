"""Helpers shared by the ptseg test scripts: the markup, the \\n \\r \\t \\\\
\\xNN escapes of the case files, running a binary and reporting."""
import re
import os
import subprocess

OPEN, CLOSE = b'<p><s>', b'</s></p>'
SB, PB = b'</s><s>', b'</s></p><p><s>'
_ESCAPE = re.compile(rb'\\(x[0-9A-Fa-f]{2}|[nrt\\])')
_NAMED = {b'n': b'\n', b'r': b'\r', b't': b'\t', b'\\': b'\\'}
_NAME_OF = {ord(v): '\\' + k.decode() for k, v in _NAMED.items()}
_hangs = []  # inputs on which a binary did not exit in time


def unescape(text):
    """Case-file text (one ISO-8859-1 byte per character) as bytes."""
    def byte(m):
        name = m.group(1)
        return bytes([int(name[1:], 16)]) if name[:1] == b'x' else _NAMED[name]
    return _ESCAPE.sub(byte, text.encode('latin-1'))


def escape(data):
    """Bytes as case-file text: the inverse of unescape."""
    out = []
    for c in data:
        if c in _NAME_OF:
            out.append(_NAME_OF[c])
        elif 0x20 <= c < 0x7F:
            out.append(chr(c))
        else:
            out.append('\\x%02X' % c)
    return ''.join(out)


def strip_markup(out):
    """The output without its markup, or None if the framing is wrong."""
    if not (out.startswith(OPEN) and out.endswith(CLOSE)):
        return None
    return out[len(OPEN):-len(CLOSE)].replace(PB, b'').replace(SB, b'')


def stderr_ok(err, line=b''):
    """Whether standard error is the 73-character notice line, then LINE."""
    notice, newline, rest = err.partition(b'\n')
    return len(notice) == 73 and newline == b'\n' and rest == line


def run(binary, data, timeout=10, env=None):
    """(stdout, stderr, status) of BINARY given DATA, with ENV added to the
    environment.  The status is a message if the binary could not run or
    hung; after three hangs nothing more is run."""
    if len(_hangs) >= 3:
        return b'', b'', 'not run: the binary hung three times'
    try:
        p = subprocess.run([binary], input=data, capture_output=True, timeout=timeout,
                           env=dict(os.environ, **env) if env else None)
    except subprocess.TimeoutExpired:
        _hangs.append(data)
        return b'', b'', 'no exit within %d s' % timeout
    except OSError as e:
        return b'', b'', str(e)
    return p.stdout, p.stderr, p.returncode


def first_difference(got, want):
    i = next((k for k, (a, b) in enumerate(zip(got, want)) if a != b), min(len(got), len(want)))
    return 'lengths %d/%d, first difference at %d: got %r, want %r' % (
        len(got), len(want), i, got[max(0, i - 20):i + 30], want[max(0, i - 20):i + 30])


def report(total, failed):
    print('%d passed, %d failed' % (total - failed, failed))
    return 1 if failed else 0


# Named checks, for the scripts that print one line per check.
FAILED = []


def check(name, ok, detail=''):
    print('%s %s%s' % ('ok  ' if ok else 'FAIL', name, ': ' + detail if detail and not ok else ''))
    if not ok:
        FAILED.append(name)
    return ok


def same(name, got, want):
    return check(name, True) if got == want else check(name, False, first_difference(got, want))


def summary():
    print('%d failed' % len(FAILED) if FAILED else 'all passed')
    return 1 if FAILED else 0
