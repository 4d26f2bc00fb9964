#!/usr/bin/env python3
"""run_cases.py BINARY FILE.cases...

Runs every case of the files through BINARY, input on standard input.  A
case is a "== title" line, then "in: TEXT", "out: TEXT" (the exact
standard output), optionally "status: N" (default 0) and "stderr: TEXT"
(a line after the notice line); "#" starts a comment.  TEXT starts after
the blanks that follow the keyword; see ptseg_test for its escapes.  The
file is UTF-8 and each character up to U+00FF is one ISO-8859-1 byte.  A
case with status 0 must also give its input back once the markup is
removed.  A case without "out:" fails and prints the actual output.
"""
import sys

sys.dont_write_bytecode = True  # keep the source tree clean
from ptseg_test import escape, report, run, stderr_ok, strip_markup, unescape  # noqa: E402


def load(path):
    """The cases of a file as dicts: line, title, in, out, status, stderr."""
    cases = []
    with open(path, encoding='utf-8') as f:
        for n, line in enumerate(f, 1):
            line = line.rstrip('\n')
            where = '%s:%d' % (path, n)
            if not line.strip() or line.startswith('#'):
                continue
            if line != line.rstrip(' \t'):
                sys.exit('%s: trailing blank (write it as \\x20)' % where)
            if line.startswith('== '):
                cases.append({'line': where, 'title': line[3:]})
                continue
            key, sep, value = line.partition(':')
            if not sep or not cases or key not in ('in', 'out', 'status', 'stderr') \
                    or key in cases[-1]:
                sys.exit('%s: unexpected line %r' % (where, line))
            value = value.lstrip(' \t')
            try:
                cases[-1][key] = int(value) if key == 'status' else unescape(value)
            except (ValueError, UnicodeEncodeError) as e:
                sys.exit('%s: %s' % (where, e))
    for case in cases:
        if 'in' not in case:
            sys.exit('%s: case without "in:"' % case['line'])
        case.setdefault('status', 0)
    return cases


def problems(binary, case):
    out, err, status = run(binary, case['in'])
    found = []
    if 'out' not in case:
        found.append('MISSING out: %s' % escape(out))
    elif out != case['out']:
        found.append('expected: %s\n    actual:   %s' % (escape(case['out']), escape(out)))
    if status != case['status']:
        found.append('exit status %s, expected %d' % (status, case['status']))
    line = case['stderr'] + b'\n' if 'stderr' in case else b''
    if not stderr_ok(err, line):
        found.append('stderr is not the notice line + "%s": %s' % (escape(line), escape(err)))
    if case['status'] == 0 and b'<' not in case['in'] and strip_markup(out) != case['in']:
        found.append('output minus markup differs from the input')
    return found


def main():
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    total, failed = 0, 0
    for path in sys.argv[2:]:
        for case in load(path):
            total += 1
            found = problems(sys.argv[1], case)
            if found:
                failed += 1
                print('%s: FAIL %s\n    in:       %s' % (case['line'], case['title'],
                                                      escape(case['in'])))
                print('\n'.join('    ' + p for p in found))
    return report(total, failed)


if __name__ == '__main__':
    sys.exit(main())
