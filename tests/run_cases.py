#!/usr/bin/env python3
"""run_cases.py BINARY FILE.cases [FILE.cases...]

Runs the cases of each file through BINARY (input on standard input) and
compares standard output byte for byte.  Case file format:

  # comment            ignored, as are blank lines
  == title             starts a case
  in:  TEXT            the input (required)
  out: TEXT            the expected standard output
  status: N            expected exit status (default 0)
  stderr: TEXT         the line that standard error must hold after the
                       notice line (default: the notice line alone)

TEXT starts after the blanks that follow the keyword.  Escapes: \\n \\r \\t
\\\\ \\xNN.  The file is UTF-8; characters up to U+00FF become one
ISO-8859-1 byte each.  A blank that starts or ends TEXT is written \\x20.

Besides the expected output every case with status 0 checks that the output
with the markup removed is the input.  A case without "out:" fails and
prints the actual output.  Prints "N passed, M failed"; exit 1 on failure.
"""
import re
import subprocess
import sys

OPEN, CLOSE = b'<p><s>', b'</s></p>'
BREAKS = (b'</s></p><p><s>', b'</s><s>')
TIMEOUTS = []  # cases whose run hung; after three, stop trying
_ESC = re.compile(rb'\\(x[0-9A-Fa-f]{2}|[nrt\\])')


def unescape(text):
    def rep(m):
        t = m.group(1)
        if t[:1] == b'x':
            return bytes([int(t[1:], 16)])
        return {b'n': b'\n', b'r': b'\r', b't': b'\t', b'\\': b'\\'}[t]
    return _ESC.sub(rep, text.encode('latin-1'))


def escape(data):
    out = []
    for c in data:
        if c == 0x0A: out.append('\\n')
        elif c == 0x0D: out.append('\\r')
        elif c == 0x09: out.append('\\t')
        elif c == 0x5C: out.append('\\\\')
        elif 0x20 <= c < 0x7F: out.append(chr(c))
        else: out.append('\\x%02X' % c)
    return ''.join(out)


def strip_markup(out):
    """The output without its markup, or None if the framing is wrong."""
    if not (out.startswith(OPEN) and out.endswith(CLOSE)) or len(out) < 14:
        return None
    body = out[len(OPEN):-len(CLOSE)]
    for mark in BREAKS:
        body = body.replace(mark, b'')
    return body


def load(path):
    """Returns the cases of a file as dicts (line, title, in, out, ...)."""
    cases, case = [], None
    with open(path, encoding='utf-8') as f:
        for n, raw in enumerate(f, 1):
            line = raw.rstrip('\n')
            if not line.strip() or line.startswith('#'):
                continue
            where = '%s:%d' % (path, n)
            if line != line.rstrip(' \t'):
                sys.exit('%s: trailing blank (write it as \\x20)' % where)
            if line.startswith('== '):
                case = {'line': where, 'title': line[3:]}
                cases.append(case)
                continue
            key, sep, value = line.partition(':')
            if not sep or case is None or key not in (
                    'in', 'out', 'status', 'stderr') or key in case:
                sys.exit('%s: unexpected line %r' % (where, line))
            value = value.lstrip(' \t')
            try:
                case[key] = int(value) if key == 'status' else unescape(value)
            except (ValueError, UnicodeEncodeError) as e:
                sys.exit('%s: %s' % (where, e))
    for case in cases:
        if 'in' not in case:
            sys.exit('%s: case without "in:"' % case['line'])
        case.setdefault('status', 0)
    return cases


def check(binary, case):
    """Returns a list of failure messages for one case."""
    if len(TIMEOUTS) >= 3:
        return ['not run: the binary hung three times']
    try:
        proc = subprocess.run([binary], input=case['in'], capture_output=True,
                              timeout=10)
    except subprocess.TimeoutExpired:
        TIMEOUTS.append(case['line'])
        return ['no exit within 10 s']
    except OSError as e:
        return [str(e)]
    out, err, problems = proc.stdout, proc.stderr, []
    if 'out' not in case:
        problems.append('MISSING out: %s' % escape(out))
    elif out != case['out']:
        problems.append('expected: %s\n    actual:   %s'
                        % (escape(case['out']), escape(out)))
    if proc.returncode != case['status']:
        problems.append('exit status %d, expected %d'
                        % (proc.returncode, case['status']))
    notice, _, rest = err.partition(b'\n')
    if len(notice) != 73 or rest != case.get('stderr', b'') + (
            b'\n' if 'stderr' in case else b''):
        problems.append('stderr is not the notice line%s: %s' % (
            ' and ' + escape(case['stderr']) if 'stderr' in case else '',
            escape(err)))
    if case['status'] == 0 and b'<' not in case['in']:
        if strip_markup(out) != case['in']:
            problems.append('output minus markup differs from the input')
    return problems


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    binary, passed, failed = sys.argv[1], 0, 0
    for path in sys.argv[2:]:
        for case in load(path):
            problems = check(binary, case)
            if not problems:
                passed += 1
                continue
            failed += 1
            print('%s: FAIL %s\n    in:       %s' % (
                case['line'], case['title'], escape(case['in'])))
            for p in problems:
                print('    ' + p)
    print('%d passed, %d failed' % (passed, failed))
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
