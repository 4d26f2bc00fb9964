#!/usr/bin/env python3
"""test_lists.py BINARY

Walks every entry of the abbreviation lists (titles, reference words,
short abbreviations and initials) in every accepted case form, at a line start and after a blank, and checks that the
period does not end the sentence.  Each input is chosen so that an
unprotected period WOULD give a break.  Forms the lists reject must give
the break.  The lists are written out here independently, not
taken from the rule file.

A few entries cannot be told apart by output, because other rules protect
the same text: the titles D and S and "S. A", "S. S", "S. M" are also
initials (rule 11); "S. Ex", "S. Exa", "S. Exª" (all forms) end in a title
of group (i); the reference word N is an initial; E.G and I.E are acronyms
(rule 16).  They are walked all the same.
"""
import subprocess
import sys
from concurrent.futures import ThreadPoolExecutor

sys.dont_write_bytecode = True  # keep the source tree clean
from run_cases import escape  # noqa: E402

# TITLEABBR group (i): 54 words, as listed, ALL CAPS, all small.
TITLES = '''Ab  Arq Arqa Arqu Arqª Arqº  Dir Dirª  Dr Dra Drª  Eng Enga Engª Engº
    Ex Exa Exo Exas Exos Exs Exª Exº  Exca Excas Excª  Excia Excias Exciª
    Exma Exmo Exmas Exmos Exmª Exmº  Fr Pe Pres  Prof Profa Profª
    Sec Secª Secº  Snr Snra Snrª  Sr Sra Srs Srª  Sub-sec Sub-secª Sub-secº
    '''.split()
# Group (iii): "S." and one of 16 second words; group (iv): three words.
S_SECOND = 'A S Sª Em Emª Ex Exa Exª M Mag Maga Pat Rev Revª Revma Revmª'.split()
S_THIRD = ['Ex. Rev', 'Exª. Revª']
# NUMBERABBR: 29 reference words, all small, capitalised, ALL CAPS.
REFERENCES = '''abr ago fev jan jul jun mai nov out  qua qui seg sex sáb
    cap ex fig fl n no num pg pgs pág págs sec séc tab vol'''.split()
# SHORTABBR: 12 words as listed and ALL CAPS, and the initials:
# the capitals of UPPER except Ã (0xC3) and É (0xC9).
SHORT = 'Av Estr Lrg Lt Pr Rot Trav cf e.g i.e v vs'.split()
UPPER = ([chr(c) for c in range(ord('A'), ord('Z') + 1)]
         + [chr(c) for r in ((0xC0, 0xC4), (0xC7, 0xCF), (0xD2, 0xD6),
                             (0xD9, 0xDC)) for c in range(r[0], r[1] + 1)])
INITIALS = [c for c in UPPER if c not in '\xC3\xC9']

# Forms the lists do not accept, with the kind of context they are tried in.
REJECTED = {
    'title': 'Drs Sub-Sec Exc Exci Exm Sras Profs Engos Snrs Drº Dirº'.split(),
    'number': 'mar Dez ter dom set Mar SET sab Pag'.split(),
    'short': 'av Cf E.g I.e estr Vs lrg \xC3 \xC9 c'.split(),
}

# Contexts: unanchored twin (after a blank) and anchored twin (line start).
CONTEXTS = {
    'title': ['Veio o {}. Silva.', '{}. Silva.'],
    'number': ['Ver {}. 3 agora.', '{}. 3 agora.',
               'Ver {}. iv) ok.', '{}. iv) ok.'],
    'short': ['Veio o {}. «Ana» disse.', '{}. «Ana» disse.'],
}


def forms(word, lead='', small_lead=''):
    """As listed, ALL CAPS, all small; ª, º and the hyphen stay as they are."""
    return {lead + word, lead + word.upper(), small_lead + word.lower()}


def accepted():
    titles = set().union(*(forms(w) for w in TITLES))
    group3 = set().union(*(forms(w, 'S. ', 's. ') for w in S_SECOND))
    group4 = set().union(*(forms(w, 'S. ', 's. ') for w in S_THIRD))
    numbers = {f for w in REFERENCES
               for f in (w, w[0].upper() + w[1:], w.upper())}
    short = {f for w in SHORT for f in (w, w.upper())}
    assert (len(TITLES), len(titles), len(S_SECOND), len(group4)) == \
        (54, 162, 16, 6)
    assert (len(REFERENCES), len(numbers), len(SHORT), len(short),
            len(INITIALS)) == (29, 86, 12, 24, 47)
    return {'title': titles | {'D', 'S'} | group3 | group4,
            'number': numbers, 'short': short | set(INITIALS)}


def checks():
    """(input, expected output) pairs; the framing is added here."""
    out = []
    for kind, entries in accepted().items():
        for entry in sorted(entries):
            for ctx in CONTEXTS[kind]:
                text = ctx.format(entry)
                out.append((text, text))
    for kind, entries in REJECTED.items():
        for entry in entries:
            for ctx in CONTEXTS[kind]:
                text = ctx.format(entry)
                head = text.index(entry + '. ') + len(entry) + 2
                out.append((text, text[:head] + '</s><s>' + text[head:]))
    return [(i.encode('latin-1'), b'<p><s>' + e.encode('latin-1') + b'</s></p>')
            for i, e in out]


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    binary, cases = sys.argv[1], checks()

    hung = []

    def run(case):
        if len(hung) >= 3:
            return b'(not run: the binary hung three times)'
        try:
            return subprocess.run([binary], input=case[0],
                                  capture_output=True, timeout=10).stdout
        except subprocess.TimeoutExpired:
            hung.append(case)
            return b'(no exit within 10 s)'
        except OSError as e:
            return str(e).encode()

    with ThreadPoolExecutor(max_workers=4) as pool:
        outputs = list(pool.map(run, cases))
    failed = 0
    for (data, expected), actual in zip(cases, outputs):
        if actual != expected:
            failed += 1
            print('FAIL in:       %s\n     expected: %s\n     actual:   %s'
                  % (escape(data), escape(expected), escape(actual)))
    print('%d passed, %d failed' % (len(cases) - failed, failed))
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
