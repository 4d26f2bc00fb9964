#!/usr/bin/env python3
"""test_lists.py BINARY

Every entry of the abbreviation lists (titles, reference words, short
abbreviations, initials) in every accepted case form, at a line start and
after a blank: the period must not end the sentence, though without the
entry it would.  Forms the lists reject must give the break.  The lists
are written out here, not taken from the rule file.  Some entries are also
protected by other rules (the titles D, S, "S. A", "S. S", "S. M" are
initials; "S. Ex", "S. Exa", "S. Exª" end in a title; the reference word N
is an initial; E.G and I.E are acronyms); they are walked all the same.
"""
import sys
from concurrent.futures import ThreadPoolExecutor

sys.dont_write_bytecode = True  # keep the source tree clean
from ptseg_test import CLOSE, OPEN, SB, escape, report, run  # noqa: E402

# Titles: 54 words, as listed, ALL CAPS, all small.
TITLES = '''Ab  Arq Arqa Arqu Arqª Arqº  Dir Dirª  Dr Dra Drª  Eng Enga Engª Engº
    Ex Exa Exo Exas Exos Exs Exª Exº  Exca Excas Excª  Excia Excias Exciª
    Exma Exmo Exmas Exmos Exmª Exmº  Fr Pe Pres  Prof Profa Profª
    Sec Secª Secº  Snr Snra Snrª  Sr Sra Srs Srª  Sub-sec Sub-secª Sub-secº
    '''.split()
# "S." and one of 16 second words, or two more words.
S_SECOND = 'A S Sª Em Emª Ex Exa Exª M Mag Maga Pat Rev Revª Revma Revmª'.split()
S_THIRD = ['Ex. Rev', 'Exª. Revª']
# Reference words: 29, all small, capitalised, ALL CAPS.
REFERENCES = '''abr ago fev jan jul jun mai nov out  qua qui seg sex sáb
    cap ex fig fl n no num pg pgs pág págs sec séc tab vol'''.split()
# Short abbreviations: 12 words as listed and ALL CAPS, and the initials:
# the capitals of UPPER except Ã (0xC3) and É (0xC9).
SHORT = 'Av Estr Lrg Lt Pr Rot Trav cf e.g i.e v vs'.split()
UPPER = [chr(c) for a, z in ((0x41, 0x5A), (0xC0, 0xC4), (0xC7, 0xCF), (0xD2, 0xD6),
                              (0xD9, 0xDC)) for c in range(a, z + 1)]
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
    'number': ['Ver {}. 3 agora.', '{}. 3 agora.', 'Ver {}. iv) ok.', '{}. iv) ok.'],
    'short': ['Veio o {}. «Ana» disse.', '{}. «Ana» disse.'],
}


def forms(word, lead='', small_lead=''):
    """As listed, ALL CAPS, all small; ª, º and the hyphen stay as they are."""
    return {lead + word, lead + word.upper(), small_lead + word.lower()}


def accepted():
    titles = set().union(*(forms(w) for w in TITLES))
    group3 = set().union(*(forms(w, 'S. ', 's. ') for w in S_SECOND))
    group4 = set().union(*(forms(w, 'S. ', 's. ') for w in S_THIRD))
    numbers = {f for w in REFERENCES for f in (w, w[0].upper() + w[1:], w.upper())}
    short = {f for w in SHORT for f in (w, w.upper())}
    assert (len(TITLES), len(titles), len(S_SECOND), len(group4), len(REFERENCES),
            len(numbers), len(SHORT), len(short), len(INITIALS)) == (
                54, 162, 16, 6, 29, 86, 12, 24, 47)
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
                out.append((text, text[:head] + SB.decode() + text[head:]))
    return [(i.encode('latin-1'), OPEN + e.encode('latin-1') + CLOSE)
            for i, e in out]


def main():
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    cases = checks()
    with ThreadPoolExecutor(max_workers=4) as pool:
        outputs = list(pool.map(lambda case: run(sys.argv[1], case[0])[0], cases))
    failed = 0
    for (data, expected), actual in zip(cases, outputs):
        if actual != expected:
            failed += 1
            print('FAIL in:       %s\n     expected: %s\n     actual:   %s'
                  % (escape(data), escape(expected), escape(actual)))
    return report(len(cases), failed)


if __name__ == '__main__':
    sys.exit(main())
