"""The Python module ptseg, against the library's own programs and itself.

CTest runs this with the module's build folder on PYTHONPATH, and these
environment variables: PTSEG_PROGRAM (the ptseg program), PTSEG_PTSPLIT
(ptsplit, when the build has it), PTSEG_SHARED_DIR (the folder with the
corpus; default ../shared beside the source tree).  Tests whose program or
corpus is missing report themselves skipped (pytest -rs shows why).
"""
import array
import codecs
import contextlib
import doctest
import gc
import gzip
import inspect
import io
import itertools
import json
import multiprocessing
import os
import random
import resource
import signal
import subprocess
import sys
import threading
import time
import unicodedata

import pytest

import ptseg

SOURCE = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SHARED = os.environ.get('PTSEG_SHARED_DIR') or os.path.join(os.path.dirname(SOURCE), 'shared')
# Three layouts: hard-wrapped LF with dialogue; one paragraph per CR LF line
# with guillemets; deep indents and form feeds.
CORPUS = ['texts/machado/conto/historiasMeiaNoite.txt', 'texts/camilo/O_esqueleto.txt',
          'texts/camilo/A_Brasileira_de_Prazins.txt']


def program(variable):
    path = os.environ.get(variable)
    if not path or not os.access(path, os.X_OK):
        pytest.skip('%s is not set to a built program' % variable)
    return path


def corpus():
    """(path, ISO-8859-1 bytes) of the corpus files."""
    paths = [os.path.join(SHARED, 'corpus', name) for name in CORPUS]
    missing = [p for p in paths if not os.path.exists(p)]
    if missing:
        pytest.skip('no corpus file %s (set PTSEG_SHARED_DIR)' % missing[0])
    out = []
    for path in paths:
        with open(path, 'rb') as f:
            out.append((path, f.read()))
    return out


def typographic(latin1):
    """A corpus text as typesetters write it, as str: dashes, curly quotes,
    the ellipsis character, letters with combining accents on every third
    line, and an emoji opening every 40th line."""
    lines = latin1.decode('latin-1').split('\n')
    for i, line in enumerate(lines):
        if line.startswith('- '):
            line = '\u2014 ' + line[2:]
        line = line.replace(' - ', ' \u2014 ').replace('...', '\u2026').replace("'", '\u2019')
        quotes = itertools.cycle('\u201c\u201d')
        line = ''.join(next(quotes) if c == '"' else c for c in line)
        if i % 3 == 0:
            line = unicodedata.normalize('NFD', line)
        if i % 40 == 0:
            line = '\U0001F600 ' + line
        lines[i] = line
    return '\n'.join(lines)


def windows1252(error):
    """Error handler: each byte that is not valid UTF-8 is its Windows-1252
    character, or its ISO-8859-1 one where Windows-1252 has none."""
    def char(byte):
        try:
            return bytes([byte]).decode('cp1252')
        except UnicodeDecodeError:
            return chr(byte)
    return ''.join(map(char, error.object[error.start:error.end])), error.end


codecs.register_error('test-windows-1252', windows1252)


def decoded(data, encoding='utf-8'):
    """Bytes as the segmenter reads them."""
    return data.decode('latin-1' if encoding == 'latin-1' else 'utf-8', 'test-windows-1252')


def code_point_spans(text, byte_spans):
    """Spans in offsets of text's UTF-8 form, moved to code points."""
    ends = itertools.accumulate((len(c.encode('utf-8')) for c in text), initial=0)
    index = {byte: i for i, byte in enumerate(ends)}
    return [ptseg.Span(index[s.start], index[s.end], s.paragraph) for s in byte_spans]


def ptsplit_jsonl(binary, path, encoding):
    out = subprocess.run([binary, '--format=jsonl', '--encoding=' + encoding, path],
                         stdout=subprocess.PIPE, check=True).stdout
    records = [json.loads(line) for line in out.decode('utf-8').splitlines()]
    return ([ptseg.Span(r['start'], r['end'], r['paragraph']) for r in records],
            [r['text'] for r in records])


# --- the library's programs on real text

def test_same_as_ptsplit(tmp_path):
    ptsplit = program('PTSEG_PTSPLIT')
    for plain, data in corpus():
        text = typographic(data)
        typeset = str(tmp_path / 'typeset.txt')
        with open(typeset, 'wb') as f:
            f.write(text.encode('utf-8'))
        cases = [(plain, data, 'utf-8'), (plain, data, 'latin-1'),
                 (typeset, text.encode('utf-8'), 'utf-8')]
        for path, raw, encoding in cases:
            spans, sentences = ptsplit_jsonl(ptsplit, path, encoding)
            label = '%s, %s' % (os.path.basename(plain), encoding)
            assert ptseg.spans(raw, encoding=encoding) == spans, label
            assert list(ptseg.split_file(path, encoding=encoding)) == sentences, label
        # The last case, typeset text: the same as str.
        assert ptseg.split(text) == sentences, plain
        assert ptseg.spans(text) == code_point_spans(text, spans), plain


def test_latin1_markup_same_as_ptseg():
    binary = program('PTSEG_PROGRAM')
    for path, data in corpus():
        out = subprocess.run([binary], input=data, stdout=subprocess.PIPE,
                             stderr=subprocess.DEVNULL, check=True).stdout
        assert ptseg.markup(data, encoding='latin-1') == out, path


def test_str_offsets_on_corpus():
    # Latin-1-only text is segmented in place, typeset text through UTF-8:
    # both must give what the UTF-8 bytes give.
    for path, data in corpus():
        for text in (data.decode('latin-1'), typographic(data)):
            spans = ptseg.spans(text)
            assert spans == code_point_spans(text, ptseg.spans(text.encode('utf-8'))), path
            assert [text[s.start:s.end] for s in spans] == ptseg.split(text), path


# --- whole-text calls

README_EXAMPLE = '''\
import ptseg

text = "O Dr. Silva chegou. Ele disse:\\n\u2014 Vou embora! \u2014 gritou ela.\\n1. Primeiro ponto."
for sentence in ptseg.split(text):
    print(repr(sentence))
print(ptseg.spans(text)[3])
print(ptseg.markup(text))
'''

README_OUTPUT = '''\
'O Dr. Silva chegou. '
'Ele disse:\\n'
'\u2014 Vou embora! \u2014 gritou ela.\\n'
'1. Primeiro ponto.'
Span(start=59, end=77, paragraph=1)
<p><s>O Dr. Silva chegou. </s><s>Ele disse:
</s><s>\u2014 Vou embora! \u2014 gritou ela.
</s></p><p><s>1. Primeiro ponto.</s></p>
'''


def test_readme_example():
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        exec(README_EXAMPLE, {})
    assert out.getvalue() == README_OUTPUT


def test_code_points_beyond_bmp_and_combining_marks():
    text = 'Ol\u00e1 \U0001F600. Ele viu a\u0301gua. \u201cN\u00e3o!\u201d Fim\nNova \U0001F600 linha.'
    assert ptseg.split(text) == ['Ol\u00e1 \U0001F600. ', 'Ele viu a\u0301gua. ',
                                 '\u201cN\u00e3o!\u201d ', 'Fim\n', 'Nova \U0001F600 linha.']
    assert ptseg.spans(text) == [(0, 7, 0), (7, 22, 0), (22, 29, 0), (29, 33, 0), (33, 46, 1)]
    assert ptseg.paragraphs('Fim.\nNovo. Dois.') == [['Fim.\n'], ['Novo. ', 'Dois.']]
    # U+0085 and U+0096 read as the Windows-1252 ellipsis and dash.
    assert ptseg.split('Fim. \x85 E depois? Ok. Vou! \x96 Disse.') == [
        'Fim. ', '\x85 E depois? ', 'Ok. ', 'Vou! \x96 ', 'Disse.']


def test_random_text_all_paths():
    # One-byte text without C1 controls is segmented in place as ISO-8859-1,
    # the rest through UTF-8; both must agree with the UTF-8 bytes.
    rng = random.Random(7)
    latin1 = (list('abcXYZ09 .!?:;-()"\'\n\t') + ['\r\n', '\u00a0', '\u00c9', '\u00e7', '\u00ab',
              '\u00bb', 'Dr.', 'Sr. ', '1) ', 'E.U.A. ', '... ', '\x85 ', '\x96 '])
    more = latin1 + ['\u2014', '\u2026', '\u201c', '\u201d', 'e\u0301', '\u0327', '\U0001F600',
                     '\u4e2d', '\ufeff']
    # Some texts are long enough for the word-at-a-time scans of the str.
    for i in range(4000):
        pieces = latin1 if i % 2 else more
        text = ''.join(rng.choice(pieces) for _ in range(rng.randrange(40 if i % 16 > 1 else 400)))
        utf8 = text.encode('utf-8')
        spans = ptseg.spans(text)
        assert spans == code_point_spans(text, ptseg.spans(utf8)), repr(text)
        assert ptseg.split(text) == [text[s.start:s.end] for s in spans], repr(text)
        assert ''.join(ptseg.split(text)) == text
        assert ptseg.markup(text) == ptseg.markup(utf8).decode('utf-8'), repr(text)
        assert ptseg.paragraphs(text) == [[text[s.start:s.end] for s in group] for _, group
                                          in itertools.groupby(spans, lambda s: s.paragraph)]


def test_bytes_like_and_empty_input():
    data = 'Ol\u00e1. Sim.'.encode('utf-8')
    for text in (bytearray(data), memoryview(data)):
        assert ptseg.split(text) == [b'Ol\xc3\xa1. ', b'Sim.']
    assert ptseg.split('') == [] and ptseg.spans(b'') == [] and ptseg.paragraphs('') == []
    assert ptseg.markup('') == '<p><s></s></p>' and ptseg.markup(b'') == b'<p><s></s></p>'
    assert ptseg.Segmenter().finish() == []


def test_encoding_names():
    data = b'\xc9 isso. \xc0s vezes.'
    for name in ('utf-8', 'UTF8', 'utf_8'):
        assert ptseg.split(data, encoding=name) == ptseg.split(data)
    for name in ('latin-1', 'Latin1', 'ISO-8859-1', 'iso8859_1'):
        assert ptseg.markup(data, encoding=name) == ptseg.markup(data, encoding='latin-1')
    # A str is Unicode already: the encoding is checked, then not used.
    assert ptseg.split('\u00c9 isso. Sim.', encoding='latin-1') == ['\u00c9 isso. ', 'Sim.']


def test_errors():
    with pytest.raises(TypeError):
        ptseg.split(5)
    with pytest.raises(TypeError):
        ptseg.spans('Ok.', encoding=None)
    with pytest.raises(TypeError):
        ptseg.Segmenter().feed('Ok.')
    with pytest.raises(ValueError):
        ptseg.markup(b'Ok.', encoding='cp1252')
    with pytest.raises(ValueError):
        ptseg.Segmenter('ascii')
    with pytest.raises(TypeError, match=r'^data must be bytes-like, not NoneType$'):
        ptseg.Segmenter().feed(None)
    # The name is shown whole, a NUL in it too, and all four encodings are named.
    with pytest.raises(ValueError, match=r"^unknown encoding 'utf-8\\x00x': ptseg reads 'utf-8', "
                       r"'latin-1', 'utf-16le' or 'utf-16be'$"):
        ptseg.split('Ok.', encoding='utf-8\x00x')
    # A Segmenter that __init__ never made has nothing behind it.
    for make in (lambda: ptseg.Segmenter.__new__(ptseg.Segmenter),
                 lambda: type('Sub', (ptseg.Segmenter,), {'__init__': lambda self: None})()):
        with pytest.raises(TypeError):
            make().feed(b'Ok.')
    segmenter = ptseg.Segmenter()
    segmenter.feed(b'Ok.')
    segmenter.finish()
    assert segmenter.finish() == []
    with pytest.raises(ValueError):
        segmenter.feed(b'Mais.')
    # A lone surrogate has no UTF-8 form; text decoded with surrogateescape
    # is segmented as the bytes it came from.
    text = b'Ol\xe1. Sim.'.decode('utf-8', 'surrogateescape')
    with pytest.raises(UnicodeEncodeError) as error:
        ptseg.split(text)
    assert (error.value.start, error.value.end) == (2, 3)
    assert ptseg.split(text.encode('utf-8', 'surrogateescape')) == [b'Ol\xe1. ', b'Sim.']


def test_lookahead_ceiling():
    # "Ok. Abc" opens a dialogue turn whose look-ahead runs to the next
    # stop: 257 MiB without one, fed in 1 MiB pieces (about 0.5 GB of
    # memory, one second).
    assert issubclass(ptseg.Error, RuntimeError)
    segmenter = ptseg.Segmenter()
    segmenter.feed(b'Ok. Abc')
    piece = b'x ' * (1 << 19)
    with pytest.raises(ptseg.Error) as error:
        for _ in range(257):
            segmenter.feed(piece)
    assert str(error.value) == 'input buffer overflow: one look-ahead exceeds 256 MiB'
    with pytest.raises(ValueError):
        segmenter.feed(b'.')
    with pytest.raises(ValueError):
        segmenter.finish()


OUT_OF_MEMORY = """\
import resource
import ptseg
text = 'Ele disse \\u2014 sim. ' * 4000000
data = b'Ok. Abc' + b'x ' * (40 << 20)
with open('/proc/self/statm') as f:
    size = int(f.read().split()[0]) * resource.getpagesize()
resource.setrlimit(resource.RLIMIT_AS, (size + (40 << 20), resource.RLIM_INFINITY))
segmenter = ptseg.Segmenter()
for name, call in [('spans', lambda: ptseg.spans(text)), ('markup', lambda: ptseg.markup(text)),
                   ('feed', lambda: segmenter.feed(data)), ('feed', lambda: segmenter.feed(b'.'))]:
    try:
        call()
        print(name, 'returned')
    except (MemoryError, ValueError) as error:
        print(name, type(error).__name__)
"""


def test_out_of_memory():
    # Under an address-space limit 40 MiB above what the text takes, the UTF-8
    # form of the text and the look-ahead's buffer cannot be had.
    if not os.path.exists('/proc/self/statm'):
        pytest.skip('no /proc/self/statm to size the memory limit')
    out = subprocess.run([sys.executable, '-c', OUT_OF_MEMORY], stdout=subprocess.PIPE,
                         check=True).stdout
    assert out == b'spans MemoryError\nmarkup MemoryError\nfeed MemoryError\nfeed ValueError\n'


# --- streams and files

def stream_text():
    """UTF-8 bytes with multi-byte characters, combining marks, CR LF and
    bytes that are not UTF-8, for cutting anywhere."""
    unit = ('O Dr. Silva chegou.\r\nEle disse:\n\u2014 Vou embora! \u2014 gritou ela. '
            '\u201cN\u00e3o!\u201d Ca\u0301. \U0001F600 Fim\u2026 1. Item.\n\n')
    return unit.encode('utf-8') * 40 + b'\xe9 \xe2\x82 Ok. \xed\xa0\x80 Sim.\r\n' * 20


def test_stream_cut_anywhere():
    data = stream_text()
    rng = random.Random(3)
    for encoding in ('utf-8', 'latin-1'):
        want = ptseg.spans(data, encoding=encoding)
        for sizes in ([1], [1, 2, 3, 5, 8], [64, 1000, 4096], [len(data)]):
            segmenter = ptseg.Segmenter(encoding)
            got, at = [], 0
            while at < len(data):
                size = rng.choice(sizes)
                got += segmenter.feed(data[at:at + size])
                at += size
            got += segmenter.finish()
            assert got == want, (encoding, sizes)


def test_a_line_is_answered_before_the_next():
    # The line feed settles the first sentence; nothing after it is needed.
    for encoding in ('utf-8', 'latin-1'):
        segmenter = ptseg.Segmenter(encoding)
        assert segmenter.feed(b'Ola mundo. Tudo bem.\n') == [ptseg.Span(0, 11, 0)], encoding


def test_text_longer_than_a_slice():
    # Whole texts are segmented 4 MiB at a time, offsets running on across
    # the slices; the library, fed the UTF-8 bytes at once, must agree.
    # Long sentences keep the check quick.
    clause = 'a casa de pedra \u00e9 velha, '
    for unit in ('Ele disse que ' + clause * 9 + 'e saiu. ',
                 '\u2014 Sim, ' + clause * 9 + '\U0001F600 disse ela.\n'):
        text = unit * ((9 << 20) // len(unit))
        utf8 = text.encode('utf-8')
        segmenter = ptseg.Segmenter()
        want = segmenter.feed(utf8) + segmenter.finish()
        assert ptseg.spans(utf8) == want
        sentences = ptseg.split(text)
        assert [x.encode('utf-8') for x in sentences] == [utf8[s.start:s.end] for s in want]
        ends = itertools.accumulate(map(len, sentences))
        assert ptseg.spans(text) == [ptseg.Span(end - len(x), end, s.paragraph)
                                     for x, end, s in zip(sentences, ends, want)]


def test_batches():
    texts = [latin1 for _, latin1 in corpus()]
    texts += [texts[0].decode('latin-1'), typographic(texts[1]), '', b'Um. Dois.', bytearray(b'Tr\xeas. Quatro.')]
    for threads in (1, 3, None):
        assert ptseg.split_many(texts, threads) == [ptseg.split(t) for t in texts]
        assert ptseg.spans_many(iter(texts), threads=threads, encoding='latin-1') == \
            [ptseg.spans(t, 'latin-1') for t in texts]
    assert ptseg.split_many([]) == []
    # The first failing text in the list's order raises.
    with pytest.raises(UnicodeEncodeError):
        ptseg.split_many(['Ok.', 'Ol\udce1.', 'Sim.'], 2)
    with pytest.raises(TypeError):
        ptseg.split_many(['Ok.', None])
    for one in ('Ok. Sim.', bytearray(b'Ok. Sim.'), memoryview(b'Ok. Sim.')):
        with pytest.raises(TypeError, match='^texts must be a sequence of texts, not one text$'):
            ptseg.split_many(one)
    with pytest.raises(ValueError):
        ptseg.spans_many(['Ok.'], 0)


def test_chunks():
    text = typographic(corpus()[1][1])[:300000]
    spans = ptseg.spans(text)
    starts = {s.start: s for s in spans}
    for limit in (1, 200, 5000):
        pieces = ptseg.chunks(text, limit)
        assert ''.join(pieces) == text
        at = 0
        for piece in pieces:
            assert at in starts
            end = at + len(piece)
            inside = [s for s in spans if at <= s.start and s.end <= end]
            assert len(piece) <= limit or len(inside) == 1
            # A paragraph boundary inside a piece is one the piece had to
            # pass: the piece then ends at a paragraph boundary too.
            if end < len(text) and starts[end].paragraph == inside[-1].paragraph:
                assert len({s.paragraph for s in inside}) == 1
            at = end
    assert ptseg.chunks(b'Um. Dois.', 5) == [b'Um. ', b'Dois.'] and ptseg.chunks('', 9) == []
    # Other bytes-like texts are cut by byte offsets too, into bytes.
    wide = array.array('H', b'Um. Dois. Tres.!')
    for data in (wide, memoryview(wide), bytearray(b'Um. Dois. Tres.!')):
        assert ptseg.chunks(data, 6) == [b'Um. ', b'Dois. ', b'Tres.!']


@pytest.mark.parametrize('call', ['split', 'spans', 'paragraphs', 'markup', 'feed', 'split_many',
                                  'spans_many'])
def test_ctrl_c_stops_a_long_call(call):
    # Three slices of text.  With a switch interval this long, the thread
    # that sends SIGINT gets the GIL only when the call releases it for a
    # slice, and the handler runs only where the call checks for signals:
    # a second run of it means a check between two slices, and it raises.
    text = b'Ela saiu. Ele ficou. ' * ((12 << 20) // 21)
    run = {'feed': lambda t: ptseg.Segmenter().feed(t),
           'split_many': lambda t: ptseg.split_many([t, t], 2),
           'spans_many': lambda t: ptseg.spans_many([t], 1)}.get(call) or getattr(ptseg, call)
    go = threading.Event()
    done = threading.Event()
    runs = []

    def handler(number, frame):
        runs.append(number)
        if len(runs) == 2:
            raise KeyboardInterrupt

    def interrupt():
        go.wait()
        while not done.is_set():
            os.kill(os.getpid(), signal.SIGINT)
            done.wait(0.001)

    previous = signal.signal(signal.SIGINT, handler)
    interval = sys.getswitchinterval()
    sender = threading.Thread(target=interrupt)
    sender.start()
    # No collection either, whose finalizers could run the handler.
    gc.disable()
    try:
        sys.setswitchinterval(1000)
        with pytest.raises(KeyboardInterrupt):
            go.set()
            run(text)
    finally:
        done.set()
        go.set()
        sender.join()
        sys.setswitchinterval(interval)
        signal.signal(signal.SIGINT, previous)
        gc.enable()


# A handler that finishes the stream runs between two slices of the feed,
# on the thread that holds the stream: its call is refused, not waited on.
REENTRANT_HANDLER = """\
import os, signal, sys, threading, ptseg
segmenter = ptseg.Segmenter()
calls = []
def handler(number, frame):
    try:
        calls.append(len(segmenter.finish()))
    except RuntimeError as error:
        calls.append(str(error))
signal.signal(signal.SIGINT, handler)
sys.setswitchinterval(1000)
go = threading.Event()
threading.Thread(target=lambda: go.wait() and os.kill(os.getpid(), signal.SIGINT)).start()
go.set()
found = segmenter.feed(b'Ela saiu. Ele ficou. ' * ((24 << 20) // 21))
print(calls, len(found) + len(segmenter.finish()))
"""


def test_signal_handler_inside_feed():
    out = subprocess.run([sys.executable, '-c', REENTRANT_HANDLER], stdout=subprocess.PIPE,
                         timeout=60, check=True).stdout
    assert out == (b"['finish() during a feed() of the same Segmenter on this thread, as from a "
                   b"signal handler'] %d\n" % (2 * ((24 << 20) // 21)))


FIFO_READER = """\
import sys, threading, ptseg
def write():
    with open(sys.argv[1], 'wb') as f:
        f.write(b'Ola. Sim.')
threading.Timer(0.2, write).start()
print(list(ptseg.split_file(sys.argv[1])))
"""

# A read that waits on a pipe left open is stopped by Ctrl-C.
FIFO_INTERRUPTED = """\
import signal, sys, threading, time, ptseg
def write():
    with open(sys.argv[1], 'wb') as f:
        f.write(b'Ola. ')
        f.flush()
        time.sleep(120)
threading.Thread(target=write, daemon=True).start()
main = threading.get_ident()
threading.Timer(0.5, signal.pthread_kill, (main, signal.SIGINT)).start()
try:
    list(ptseg.split_file(sys.argv[1]))
except KeyboardInterrupt:
    print('interrupted')
"""


def test_split_file(tmp_path):
    # Pieces of 1 MiB: sentences and characters cross their boundaries.
    data = stream_text() * 200
    path = tmp_path / 'text.txt'
    path.write_bytes(data)
    for encoding in ('utf-8', 'latin-1'):
        want = [decoded(data[s.start:s.end], encoding) for s in ptseg.spans(data, encoding)]
        assert list(ptseg.split_file(str(path), encoding)) == want, encoding
        assert ptseg._ptseg.decode(data, encoding) == decoded(data, encoding)
    with pytest.raises(ValueError):
        ptseg.split_file(path, 'cp1252')
    # A file object, with spans; whitespace-only sentences left out and
    # paragraphs counted among those that hold one.
    blank = b'\n\nOla. Tudo bem?\n\n  \nOutro.\n'
    got = list(ptseg.split_file(io.BytesIO(blank), spans=True))
    assert got == [(blank[s.start:s.end].decode(), s) for s in ptseg.spans(blank)]
    # A compressed file at a path reads as its text; one cut short fails.
    packed = tmp_path / 'blank.txt.gz'
    packed.write_bytes(gzip.compress(blank))
    assert list(ptseg.split_file(packed, spans=True)) == got
    (tmp_path / 'cut.gz').write_bytes(gzip.compress(blank)[:20])
    with pytest.raises(OSError, match='cut.gz: unexpected end of compressed data'):
        list(ptseg.split_file(tmp_path / 'cut.gz'))
    # A name that is not UTF-8, as bytes or as os.fsdecode gives it, and in
    # the message of a failure.
    odd = os.path.join(os.fsencode(tmp_path), b'caf\xe9.gz')
    with open(odd, 'wb') as f:
        f.write(gzip.compress(blank))
    for name in (odd, os.fsdecode(odd)):
        assert list(ptseg.split_file(name, spans=True)) == got
    with open(odd, 'ab') as f:
        f.write(b'lixo')
    with pytest.raises(OSError, match='caf\udce9.gz: trailing garbage'):
        list(ptseg.split_file(odd))
    with pytest.raises(ValueError):
        list(ptseg.split_file(str(path) + '\0x'))
    with pytest.raises(IsADirectoryError):
        list(ptseg.split_file(tmp_path))
    # A path that cannot be opened is named as given, as open() names it.
    for name in (str(tmp_path / 'none'), os.fsencode(tmp_path / 'none')):
        with pytest.raises(FileNotFoundError) as failed:
            list(ptseg.split_file(name))
        assert failed.value.filename == name
    with gzip.open(io.BytesIO(gzip.compress(blank)), 'rb') as f:
        assert list(ptseg.split_file(f, skip_blank=True, spans=True)) == [
            ('Ola. ', ptseg.Span(2, 7, 0)), ('Tudo bem?\n\n  \n', ptseg.Span(7, 21, 0)),
            ('Outro.\n', ptseg.Span(21, 28, 1))]
    # A non-blocking pipe with nothing to read yet is not at its end, even
    # at a descriptor number that select() cannot wait on (1024 or more).
    read, write = os.pipe()
    os.set_blocking(read, False)
    if resource.getrlimit(resource.RLIMIT_NOFILE)[0] > 1100:
        os.dup2(read, 1100, inheritable=False)
        os.close(read)
        read = 1100

    def slowly():
        for piece in (b'Ola. Sim', b'. Mais.'):
            time.sleep(0.05)
            os.write(write, piece)
        os.close(write)

    writer = threading.Thread(target=slowly)
    writer.start()
    with open(read, 'rb') as f:
        assert list(ptseg.split_file(f)) == ['Ola. ', 'Sim. ', 'Mais.']
    writer.join()
    # A pipe's first sentence comes before the writer goes on, not after
    # 1 MiB or its end.
    read, write = os.pipe()
    answered, waited = threading.Event(), []

    def waiting():
        os.write(write, b'Ola. Sim. Mais')  # decides the first sentence
        waited.append(answered.wait(30))
        os.write(write, b'. Fim.')
        os.close(write)

    writer = threading.Thread(target=waiting)
    writer.start()
    with open(read, 'rb') as f:
        sentences = ptseg.split_file(f)
        first = next(sentences)
        answered.set()
        assert [first] + list(sentences) == ['Ola. ', 'Sim. ', 'Mais. ', 'Fim.']
    writer.join()
    assert waited == [True]
    # A terminal ends at its end of file, buffered or not: what is typed
    # after it is not read.
    for buffering in (0, -1):
        master, slave = os.openpty()
        os.write(master, b'Ola. Sim.\n\x04Mais.\n')  # \x04: end of file at a line start
        got = []
        with open(slave, 'rb', buffering=buffering) as f:
            reader = threading.Thread(target=lambda: got.extend(ptseg.split_file(f)))
            reader.start()
            reader.join(30)
            ended = not reader.is_alive()
            if not ended:
                os.write(master, b'\x04\x04')
                reader.join()
        os.close(master)
        assert (ended, got) == (True, ['Ola. ', 'Sim.\n']), buffering
    # A FIFO's open waits for a writer, here a thread of the same process.
    fifo = tmp_path / 'fifo'
    os.mkfifo(fifo)
    out = subprocess.run([sys.executable, '-c', FIFO_READER, str(fifo)], stdout=subprocess.PIPE,
                         timeout=60, check=True).stdout
    assert out == b"['Ola. ', 'Sim.']\n"
    out = subprocess.run([sys.executable, '-c', FIFO_INTERRUPTED, str(fifo)],
                         stdout=subprocess.PIPE, timeout=60, check=True).stdout
    assert out == b'interrupted\n'
    # A UTF-16 byte-order mark makes UTF-8 input UTF-16, as in ptsplit,
    # even when its two bytes come apart.
    class Bytewise(io.BytesIO):
        def read1(self, size=-1):
            return super().read1(1)

    for codec, mark in (('utf-16le', b'\xff\xfe'), ('utf-16be', b'\xfe\xff')):
        data = mark + 'Ola. Sim.'.encode(codec)
        want = [(data[s.start:s.end].decode(codec), s) for s in ptseg.spans(data, codec)]
        assert len(want) == 2
        assert list(ptseg.split_file(Bytewise(data), spans=True)) == want
        assert list(ptseg.split_file(io.BytesIO(data), 'latin-1')) == [data.decode('latin-1')]
    # A file opened as text is refused, naming the mode to open it in.
    path.write_bytes(blank)
    with open(path) as f, pytest.raises(TypeError, match=r"binary mode \('rb'\)"):
        list(ptseg.split_file(f))
    # At once, before a read that on a pipe or terminal would wait for its
    # end; and anything that is neither a path nor a file is refused too.
    class Unread(io.StringIO):
        def read(self, *args):
            raise AssertionError('read')

    for wrong, message in ((Unread(), r"binary mode \('rb'\)"), (3, r'not int$')):
        with pytest.raises(TypeError, match=message):
            ptseg.split_file(wrong)


def test_options():
    # Threads give what one thread gives; wrapped lines join into sentences.
    text = stream_text() * 40
    for threads in (2, None):
        assert ptseg.spans(text, threads=threads) == ptseg.spans(text)
        assert ptseg.markup(text, 'latin-1', threads=threads) == ptseg.markup(text, 'latin-1')
    wrapped = 'O Dr.\nSilva chegou.\nEle saiu.\n\n   Outro.'
    assert ptseg.split(wrapped, paragraphs='blank-lines') == [
        'O Dr.\nSilva chegou.\n', 'Ele saiu.\n\n   ', 'Outro.']
    assert [s.paragraph for s in ptseg.spans(wrapped, paragraphs='blank-lines')] == [0, 0, 1]
    with pytest.raises(ValueError):
        ptseg.split(wrapped, paragraphs='blank')
    # A thread count out of range or of another type is refused, never
    # read modulo some power of two.
    for threads, error in ((0, ValueError), (2**32, ValueError), (2**32 + 1, ValueError),
                           (2**64, ValueError), (1.5, TypeError), ('2', TypeError)):
        with pytest.raises(error):
            ptseg.split(text, threads=threads)
        with pytest.raises(error):
            ptseg.split_many([text], threads=threads)


# --- threads and processes

def test_threads():
    texts = [stream_text() * 30, stream_text().decode('utf-8', 'replace') * 30]
    want = [ptseg.spans(t) for t in texts]
    failures = []

    def segment(i):
        for _ in range(10):
            if ptseg.spans(texts[i % 2]) != want[i % 2]:
                failures.append(i)

    threads = [threading.Thread(target=segment, args=(i,)) for i in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert failures == []

    # One Segmenter fed from two threads at once: the calls take turns, so
    # the sentences cover the stream without gap or overlap.
    segmenter = ptseg.Segmenter()
    piece = b'Ele disse: \xe2\x80\x94 Sim! Fim.\n'
    got = []

    def feed():
        for _ in range(200):
            got.extend(segmenter.feed(piece))

    threads = [threading.Thread(target=feed) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    got = sorted(got + segmenter.finish())
    assert got[0].start == 0 and got[-1].end == 400 * len(piece)
    assert all(a.end == b.start for a, b in zip(got, got[1:]))


def test_process_pool():
    texts = ['Ol\u00e1. Sim.\nN\u00e3o.', b'Ok. Dr. Silva saiu.', 'Um.\U0001F600 Dois.']
    with multiprocessing.get_context('spawn').Pool(2) as pool:
        got = pool.map(ptseg.spans, texts)
    assert got == [ptseg.spans(t) for t in texts]
    assert type(got[0][0]) is ptseg.Span


# --- the package's interface

def test_stub_and_docstrings():
    with open(os.path.join(os.path.dirname(ptseg.__file__), '__init__.pyi')) as f:
        stub = f.read()
    for name in ptseg.__all__:
        assert ('def %s(' % name in stub or 'class %s(' % name in stub
                or 'class %s:' % name in stub), name
        assert getattr(ptseg, name).__doc__, name
    for method in (ptseg.Segmenter.feed, ptseg.Segmenter.finish, ptseg.Segmenter.__init__):
        assert method.__doc__
    assert doctest.testmod(ptseg).failed == 0
    # help() and editors read the Segmenter's parameters off its methods.
    segmenter = ptseg.Segmenter()
    assert [str(inspect.signature(f)) for f in (ptseg.Segmenter, segmenter.feed,
                                                 segmenter.finish)] == \
        ["(encoding='utf-8')", '(data, /)', '()']
