#!/usr/bin/env python3
"""test_typographic.py PTSPLIT PTSEG SHARED

Corpus texts rewritten as typographic UTF-8 (em dashes for dialogue
hyphens, the ellipsis character, curly double quotes, one text in NFD) must
split into the sentences ptseg finds in their ISO-8859-1 conversion by
SHARED/corpus/to-latin1: each sentence ptsplit finds, converted, is the
sentence ptseg finds there, in the same paragraph.
"""
import importlib.machinery
import importlib.util
import itertools
import json
import os
import re
import subprocess
import sys
import unicodedata

sys.dont_write_bytecode = True  # keep the source tree and the shared folder clean
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))
from ptseg_test import CLOSE, OPEN, PB, SB, check, same, summary  # noqa: E402

# Dialogue, quotes and ellipses of both authors; LF and CR LF; hard-wrapped
# and one paragraph per line.
FILES = ['machado/romance/domCasmurro.txt', 'machado/conto/contosFluminenses.txt',
         'camilo/Amor_de_Perdicao.txt', 'camilo/Cenas_da_Foz.txt', 'camilo/O_esqueleto-v2.txt']
NFD = 'machado/conto/contosFluminenses.txt'


def typographic(text, nfd):
    text = re.sub(r'(?m)^([ \t]*)- ', '\\1\u2014 ', text)
    text = text.replace(' - ', ' \u2014 ').replace('...', '\u2026')
    quotes = itertools.cycle('\u201c\u201d')
    text = re.sub('"', lambda match: next(quotes), text)
    return unicodedata.normalize('NFD', text) if nfd else text


def ptseg_sentences(latin1):
    out = subprocess.run([PTSEG], input=latin1, capture_output=True, check=True).stdout
    return [(paragraph, sentence)
            for paragraph, text in enumerate(out[len(OPEN):-len(CLOSE)].split(PB))
            for sentence in text.split(SB)]


def main():
    script = os.path.join(SHARED, 'corpus', 'to-latin1')
    loader = importlib.machinery.SourceFileLoader('to_latin1', script)
    to_latin1 = importlib.util.module_from_spec(
        importlib.util.spec_from_file_location('to_latin1', script, loader=loader))
    loader.exec_module(to_latin1)
    for name in FILES:
        path = os.path.join(SHARED, 'corpus', 'texts', name)
        with open(path, encoding='latin-1', newline='') as f:
            text = typographic(f.read(), name == NFD)
        out = subprocess.run([PTSPLIT, '--format=jsonl'], input=text.encode(), capture_output=True,
                             check=True).stdout
        objects = [json.loads(line) for line in out.splitlines()]
        check('%s: the sentences are the text' % name, ''.join(o['text'] for o in objects) == text)
        got = [(o['paragraph'], to_latin1.convert(o['text'])[0].encode('latin-1')) for o in objects]
        want = ptseg_sentences(to_latin1.convert(text)[0].encode('latin-1'))
        same('%s: converted sentences are ptseg\'s on the converted text' % name,
             '\n'.join(repr(s) for s in got), '\n'.join(repr(s) for s in want))
    return summary()


if __name__ == '__main__':
    PTSPLIT, PTSEG, SHARED = sys.argv[1:4] if len(sys.argv) == 4 else sys.exit(__doc__)
    sys.exit(main())
