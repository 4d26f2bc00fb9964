#!/usr/bin/env python3
"""Python sentence splitters beside ptseg: time and boundary F1 on the gold
data of the corpus (corpus/ud in PTSEG_SHARED_DIR, default ../shared
beside the source tree).

    bench/peers.py [--runs N]

Each splitter gets the four ud/*-test.txt texts as str, one call per text
(ptseg.split_many takes the four at once), and is timed over the four, the
median of N runs (default 3; the slowest splitters run once).  Its
sentences, one a line, are scored by the corpus's eval-boundaries against
the .gold files; F1 is over the boundaries of all four.  Splitters that are
not installed, or that need data not downloaded, are skipped with a line
on standard error.  Run it in an environment with ptseg installed, such as
scripts/python-env makes, after pip install pysbd syntok sentencex blingfire.
"""
import argparse
import json
import os
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SHARED = os.environ.get('PTSEG_SHARED_DIR') or os.path.join(os.path.dirname(os.path.dirname(HERE)),
                                                              'shared')
UD = os.path.join(SHARED, 'corpus', 'ud')
TREEBANKS = ['bosque', 'gsd', 'porttinari', 'pud']


def peers():
    """(name, function from a list of texts to a list of sentence lists,
    slow) of each splitter that loads."""
    import ptseg

    yield 'ptseg.split', lambda texts: [ptseg.split(t) for t in texts], False
    yield 'ptseg.split_many', ptseg.split_many, False
    try:
        import spacy
        nlp = spacy.blank('pt')
        nlp.add_pipe('sentencizer')
        nlp.max_length = 10 ** 7
        yield ('spacy sentencizer',
               lambda texts: [[s.text for s in nlp(t).sents] for t in texts], False)
    except ImportError as e:
        print('skipped: spaCy (%s)' % e, file=sys.stderr)
    try:
        import pysbd
        seg = pysbd.Segmenter(language='es', clean=False)  # no Portuguese rules
        yield 'pysbd (es rules)', lambda texts: [seg.segment(t) for t in texts], True
    except ImportError as e:
        print('skipped: pysbd (%s)' % e, file=sys.stderr)
    try:
        from syntok import segmenter as syntok

        def split_syntok(text):
            return [''.join(tok.spacing + tok.value for tok in sentence)
                    for paragraph in syntok.process(text) for sentence in paragraph]
        yield 'syntok', lambda texts: [split_syntok(t) for t in texts], True
    except ImportError as e:
        print('skipped: syntok (%s)' % e, file=sys.stderr)
    try:
        import sentencex
        yield 'sentencex', lambda texts: [list(sentencex.segment('pt', t)) for t in texts], False
    except ImportError as e:
        print('skipped: sentencex (%s)' % e, file=sys.stderr)
    try:
        import blingfire
        yield ('blingfire', lambda texts: [blingfire.text_to_sentences(t).split('\n')
                                           for t in texts], False)
    except ImportError as e:
        print('skipped: blingfire (%s)' % e, file=sys.stderr)


def f1(sentence_lists, folder):
    """Boundary F1 over the four treebanks, with eval-boundaries."""
    gold = predicted = correct = 0
    for name, sentences in zip(TREEBANKS, sentence_lists):
        out = os.path.join(folder, name + '.lines')
        with open(out, 'w', encoding='utf-8') as f:
            for s in sentences:
                line = ' '.join(s.split())
                if line:
                    f.write(line + '\n')
        result = subprocess.run(
            [sys.executable, os.path.join(SHARED, 'corpus', 'eval-boundaries'), '--json',
             '--format', 'lines', '--encoding', 'utf-8',
             os.path.join(UD, name + '-test.gold'), out],
            stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        if result.returncode != 0:  # the splitter changed the text
            print('%s: %s' % (name, result.stderr.decode('utf-8', 'replace').strip()),
                  file=sys.stderr)
            return None
        score = json.loads(result.stdout)
        gold += score['gold']
        predicted += score['predicted']
        correct += score['correct']
    return 2 * correct / (gold + predicted) if gold + predicted else 0.0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split('\n\n')[0])
    parser.add_argument('--runs', type=int, default=3)
    args = parser.parse_args()
    if not os.path.isdir(UD):
        print('skipped: no corpus in %s (set PTSEG_SHARED_DIR)' % UD)
        return
    texts = []
    for name in TREEBANKS:
        with open(os.path.join(UD, name + '-test.txt'), 'rb') as f:
            texts.append(f.read().decode('latin-1'))
    size = sum(len(t.encode('latin-1')) for t in texts)
    rows = []
    with tempfile.TemporaryDirectory() as folder:
        for name, split, slow in peers():
            times = []
            for _ in range(1 if slow else args.runs):
                start = time.perf_counter()
                sentences = split(texts)
                times.append(time.perf_counter() - start)
            print('%s: %.3f s' % (name, min(times)), file=sys.stderr)
            rows.append((name, statistics.median(times), f1(sentences, folder)))
    base = rows[0][1]
    print('%d texts, %.2f MB (ISO-8859-1 bytes), %d cores' % (len(texts), size / 1e6,
                                                             os.cpu_count() or 1))
    print('| splitter | seconds | MB/s | time / ptseg.split | F1 |')
    print('| --- | ---: | ---: | ---: | ---: |')
    for name, seconds, score in rows:
        print('| %s | %.4f | %.1f | %.1fx | %s |' % (
            name, seconds, size / 1e6 / seconds, seconds / base,
            'n/a (text changed)' if score is None else '%.4f' % score))


if __name__ == '__main__':
    main()
