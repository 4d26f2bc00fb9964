"""ptseg inside other frameworks: spaCy, NLTK, Hugging Face datasets and
PySpark, each installed from the package index (scripts/python-env makes
such an environment and runs this file), and its type stubs under mypy.
A test whose framework is missing reports itself skipped; the Spark test
also needs ptsplit (PTSEG_PTSPLIT, else build/ptsplit) and Java.
"""
import gzip
import os
import re
import shutil
import subprocess
import sys
import textwrap

import pytest

import ptseg

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SHARED = os.environ.get('PTSEG_SHARED_DIR') or os.path.join(os.path.dirname(SOURCE), 'shared')
CORPUS = ['texts/machado/conto/historiasMeiaNoite.txt', 'texts/camilo/O_esqueleto.txt',
          'texts/camilo/A_Brasileira_de_Prazins.txt']


def corpus_paths():
    paths = [os.path.join(SHARED, 'corpus', name) for name in CORPUS]
    if not all(os.path.exists(p) for p in paths):
        pytest.skip('no corpus in %s (set PTSEG_SHARED_DIR)' % SHARED)
    return paths


def corpus_texts(size=60000):
    out = []
    for path in corpus_paths():
        with open(path, 'rb') as f:
            out.append(f.read(size).decode('latin-1'))
    return out


# The whitespace of ptsplit's lines format at either end of a sentence.
EDGES = re.compile('^[ \t\n\v\f\r\u2000-\u200a\u2028\u2029\u202f\u205f\u3000]+|'
                   '[ \t\n\v\f\r\u2000-\u200a\u2028\u2029\u202f\u205f\u3000]+$')


def bare(sentences):
    return [s for s in (EDGES.sub('', s) for s in sentences) if s]


def test_type_stubs(tmp_path):
    for name in 'mypy', 'spacy', 'nltk':
        pytest.importorskip(name, reason='%s is not installed' % name)
    # Each call's type is what the caller's own annotation says; "wrong"
    # must need its ignore (--strict reports one not needed), so a stub that
    # gave Any would fail too.  A text file is refused, binary ones of every
    # kind taken.
    (tmp_path / 'use.py').write_text(textwrap.dedent("""\
        import gzip, subprocess, sys
        from typing import Iterator, List, Tuple
        import spacy
        import ptseg
        from ptseg.nltk import SentenceTokenizer
        from ptseg.spacy import mark
        def sentences(path: str) -> Iterator[str]:
            return ptseg.split_file(path)
        def pairs(path: str) -> Iterator[Tuple[str, ptseg.Span]]:
            return ptseg.split_file(path, spans=True)
        def wrong(path: str) -> Iterator[int]:
            return ptseg.split_file(path)  # type: ignore
        def objects(pipe: 'subprocess.Popen[bytes]') -> None:
            assert pipe.stdout is not None
            for file in gzip.open('a.gz'), pipe.stdout, sys.stdin.buffer:
                ptseg.split_file(file)
            ptseg.split_file(open('a.txt'))  # type: ignore
        def bare(text: str) -> List[Tuple[int, int]]:
            return list(SentenceTokenizer().span_tokenize(text))
        def marked(nlp: spacy.language.Language, text: str) -> None:
            mark(nlp(text), ptseg.spans(text))
        """))
    run = subprocess.run([sys.executable, '-m', 'mypy', '--strict', '--cache-dir',
                          str(tmp_path / 'cache'), 'use.py'],
                         cwd=str(tmp_path), stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
    assert run.stdout.decode() == 'Success: no issues found in 1 source file\n'


def test_spacy_component():
    spacy = pytest.importorskip('spacy', reason='spaCy is not installed')
    nlp = spacy.blank('pt')
    nlp.add_pipe('ptseg')  # found through the entry point, with no import
    texts = corpus_texts()
    docs = [nlp(text) for text in texts]
    for text, doc in zip(texts, docs):
        assert bare(s.text for s in doc.sents) == bare(ptseg.split(text))
    # A boundary inside a token starts the sentence at that token; one at
    # a whitespace token moves to the next token.
    from ptseg.spacy import mark

    doc = nlp.make_doc('Um dois.  Tres quatro.')
    mark(doc, [ptseg.Span(0, 5, 0), ptseg.Span(5, 9, 0), ptseg.Span(9, 10, 0),
                           ptseg.Span(10, 22, 0)])
    assert [s.text_with_ws for s in doc.sents] == ['Um ', 'dois.  ', 'Tres quatro.']
    piped = list(nlp.pipe(texts, n_process=2))
    assert [[s.text for s in d.sents] for d in piped] == [[s.text for s in d.sents] for d in docs]


def test_nltk_tokenizer(tmp_path):
    nltk = pytest.importorskip('nltk', reason='NLTK is not installed')
    from nltk.corpus.reader import PlaintextCorpusReader
    from nltk.tokenize.api import TokenizerI

    import ptseg.nltk

    assert ptseg.nltk.TokenizerI is TokenizerI  # the real nltk, not ptseg.nltk itself
    tokenizer = ptseg.nltk.SentenceTokenizer()
    texts = corpus_texts(30000)
    for text in texts:
        sentences = tokenizer.tokenize(text)
        assert sentences == bare(ptseg.split(text))
        assert [text[a:b] for a, b in tokenizer.span_tokenize(text)] == sentences
    # An ellipsis written as its Windows-1252 control, and a no-break space,
    # are no whitespace.
    assert tokenizer.tokenize('Ele saiu\x85 Ela ficou.\xa0\n') == ['Ele saiu\x85', 'Ela ficou.\xa0']
    nltk.data.path.append(str(tmp_path))  # readers open only folders let in
    (tmp_path / 'a.txt').write_text(texts[0], encoding='utf-8')
    reader = PlaintextCorpusReader(str(tmp_path), r'.*\.txt', sent_tokenizer=tokenizer)
    want = sum(len(tokenizer.tokenize(p)) for p in texts[0].split('\n\n') if p.strip())
    assert len(reader.sents()) >= want > 0


def test_datasets_map():
    datasets = pytest.importorskip('datasets', reason='Hugging Face datasets is not installed')
    texts = corpus_texts(20000) + ['Ela saiu. Ele ficou.', '']
    data = datasets.Dataset.from_dict({'text': texts})
    data = data.map(lambda batch: {'sentences': ptseg.split_many(batch['text'])},
                    batched=True, batch_size=2)
    assert list(data['sentences']) == [ptseg.split(t) for t in texts]


def test_spark_example_without_its_input(tmp_path):
    # Refused before Spark starts, and before the output folder is made.
    missing, out = tmp_path / 'none', tmp_path / 'out'
    run = subprocess.run([sys.executable, os.path.join(SOURCE, 'examples', 'spark_sentences.py'),
                          str(missing), str(out)], stderr=subprocess.PIPE)
    assert (run.returncode, run.stderr) == (
        2, b'spark_sentences.py: %s: No such file or directory\n' % os.fsencode(missing))
    assert not out.exists()


def test_spark_jsonl_same_as_ptsplit(tmp_path):
    pytest.importorskip('pyspark', reason='PySpark is not installed')
    if shutil.which('java') is None and not os.environ.get('JAVA_HOME'):
        pytest.skip('no Java for Spark')
    ptsplit = os.environ.get('PTSEG_PTSPLIT') or os.path.join(SOURCE, 'build', 'ptsplit')
    if not os.access(ptsplit, os.X_OK):
        pytest.skip('no ptsplit at %s (set PTSEG_PTSPLIT)' % ptsplit)
    inputs = tmp_path / 'in'
    inputs.mkdir()
    for path in corpus_paths()[:2]:
        shutil.copy(path, inputs)
    # What the JSON escapes meet: control characters, quotes, backslashes,
    # CR LF, UTF-8 beside bytes that are not.
    (inputs / 'escapes.txt').write_bytes(
        b'Um "dito"\\ aqui.\x01\x1f\tFim.\r\nOl\xc3\xa1 \xe9 \x7f ok. \xe2\x80\x94 Sim!\n')
    (inputs / 'empty.txt').write_bytes(b'')
    # A name that Spark's own file reader would leave out, and that reads
    # wrong as a URL; a compressed file reads as its text.
    (inputs / '_cap#1?%41.txt.gz').write_bytes(gzip.compress(b'Um. Dois.\n'))
    # A corrupt file is named with the reason, and the others are written.
    (inputs / 'cut.gz').write_bytes(gzip.compress(b'Um. Dois.\n')[:15])
    out = tmp_path / 'out'
    run = subprocess.run([sys.executable, os.path.join(SOURCE, 'examples', 'spark_sentences.py'),
                          str(inputs), str(out), '--master', 'local[2]'],
                         stderr=subprocess.PIPE)
    assert run.returncode == 1
    # Spark's progress bar ends in a carriage return, not a line feed.
    said = [line for line in run.stderr.replace(b'\r', b'\n').split(b'\n')
            if line.startswith(b'spark_sentences.py: ')]
    assert said == [b'spark_sentences.py: %s: unexpected end of compressed data'
                    % os.fsencode(inputs / 'cut.gz')]
    names = sorted(n for n in os.listdir(inputs) if n != 'cut.gz')
    assert sorted(os.listdir(out)) == [n + '.jsonl' for n in names]
    for name in names:
        want = subprocess.run([ptsplit, '-f', 'jsonl', str(inputs / name)],
                              stdout=subprocess.PIPE, check=True).stdout
        assert (out / (name + '.jsonl')).read_bytes() == want, name
