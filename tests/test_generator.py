#!/usr/bin/env python3
"""test_generator.py [FLEX] [RULES.l]

The rules "flex -p" reports as "Variable trailing context rule at line N"
must be exactly those whose head and trail both vary, the rules numbered
by the "/* rN */" comment that ends each rule line.  This catches a rule
that has moved, and a fixed trailing context (rules 10, 11, 16, 26, 31,
34) turned variable.  flex counts rule 11 as fixed: its trail is one byte.
"""
import os
import re
import subprocess
import sys
import tempfile

EXPECTED = set(range(1, 10)) | {12, 13, 14, 15} | set(range(17, 22)) | {27, 32, 35}


def main():
    flex = sys.argv[1] if len(sys.argv) > 1 else 'flex'
    rules = sys.argv[2] if len(sys.argv) > 2 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), '..', 'src', 'rules', 'ptseg.l')
    with open(rules, encoding='ascii') as f:
        numbered = [(n, re.search(r'/\* r(\d+) \*/\s*$', line)) for n, line in enumerate(f, 1)]
    rule_at = {n: int(m.group(1)) for n, m in numbered if m}  # line number -> rule number
    errors = []
    if sorted(rule_at.values()) != list(range(1, 37)):
        errors.append('rule comments are not r1 to r36, once each: %s'
                      % sorted(rule_at.values()))
    with tempfile.TemporaryDirectory() as tmp:
        proc = subprocess.run([flex, '-p', '-o', os.path.join(tmp, 'x.c'), rules],
                              capture_output=True, text=True)
    if proc.returncode != 0:
        errors.append('flex failed:\n' + proc.stderr)
    reported = set()
    for n in re.findall(r'Variable trailing context rule at line (\d+)', proc.stderr):
        if int(n) in rule_at:
            reported.add(rule_at[int(n)])
        else:
            errors.append('line %s is reported but carries no rule comment' % n)
    if reported - EXPECTED:
        errors.append('variable trailing context, expected fixed or none: rules %s'
                      % sorted(reported - EXPECTED))
    if EXPECTED - reported:
        errors.append('expected variable trailing context: rules %s'
                      % sorted(EXPECTED - reported))
    for e in errors:
        print('FAIL ' + e)
    print('%d variable trailing context rules checked, %d problems' % (len(reported), len(errors)))
    return 1 if errors else 0


if __name__ == '__main__':
    sys.exit(main())
