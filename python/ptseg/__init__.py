"""Sentence and paragraph boundaries in Portuguese text.

    >>> import ptseg
    >>> ptseg.split("O Dr. Silva chegou. Ele disse:\\n- Vou embora!")
    ['O Dr. Silva chegou. ', 'Ele disse:\\n', '- Vou embora!']

Whole texts go to split(), spans(), paragraphs() and markup(), as str or
bytes; lists of texts to split_many() and spans_many(), which share them
out among threads; streams of bytes to a Segmenter; files of any size to
split_file(); chunks() cuts a text into pieces of a given length at
sentence boundaries.  ptseg.spacy is a spaCy pipeline component
(nlp.add_pipe("ptseg")) and ptseg.nltk an NLTK sentence tokenizer.

Text is read as UTF-8 (where bytes that are not valid UTF-8 read as
Windows-1252), as ISO-8859-1 or as UTF-16: encoding='utf-8' (the
default), 'latin-1', 'utf-16le' or 'utf-16be'.  A str is Unicode already, so for it the encoding is checked but
not used; a str with a lone surrogate (as errors='surrogateescape' makes)
raises UnicodeEncodeError: segment text.encode('utf-8', 'surrogateescape')
instead.

The calls release the GIL while they segment, so threads run them at the
same time.  They are plain functions and their results are built of str,
bytes, int, lists and Span named tuples, all of which pickle: they work
in process pools and cluster workers alike.
"""
import io
import os
import select

from . import _ptseg
from ._ptseg import Error, Segmenter, __version__
from ._span import Span

__all__ = ["Error", "Segmenter", "Span", "chunks", "decode", "markup", "paragraphs", "spans",
           "spans_many", "split", "split_file", "split_many"]

# Bytes read from a file at a time.
_CHUNK = 1 << 20


def split(text, encoding="utf-8", *, paragraphs="lines", threads=1):
    """The sentences of text (str or bytes-like), whitespace kept, so that
    "".join(split(text)) == text: str for a str, bytes otherwise.

    paragraphs="blank-lines" reads hard-wrapped text: a single line break
    inside a paragraph reads as a blank, and a paragraph starts only after
    a blank line or at an indented line ("lines", the default, starts one
    at every line break before a sentence).  threads=N segments the text
    on N threads (None: one per core), with the same result.  The other
    whole-text calls take both too."""
    return _ptseg.split(text, encoding, paragraphs, threads)


def spans(text, encoding="utf-8", *, paragraphs="lines", threads=1):
    """The sentences of text (str or bytes-like) as Span(start, end,
    paragraph): text[start:end] is the sentence, in code points for a str
    and bytes otherwise; paragraph numbers its paragraph from 0."""
    return _ptseg.spans(text, encoding, paragraphs, threads)


def paragraphs(text, encoding="utf-8", *, paragraphs="lines", threads=1):
    """The paragraphs of text (str or bytes-like), each a list of its
    sentences: str for a str, bytes otherwise."""
    return _ptseg.paragraphs(text, encoding, paragraphs, threads)


def markup(text, encoding="utf-8", *, paragraphs="lines", threads=1):
    """text (str or bytes-like) with its markup: "<p><s>" at the start,
    "</s><s>" between two sentences, "</s></p><p><s>" between two
    paragraphs and "</s></p>" at the end.  str for a str, bytes
    otherwise."""
    return _ptseg.markup(text, encoding, paragraphs, threads)


def split_many(texts, threads=None, *, encoding="utf-8"):
    """split() of each text of the iterable texts, as a list of lists.  The
    texts are segmented on threads threads at once (None: one per core),
    with the GIL released for the whole batch."""
    return _ptseg.split_many(texts, encoding, threads)


def spans_many(texts, threads=None, *, encoding="utf-8"):
    """spans() of each text of the iterable texts, as a list of lists,
    segmented as split_many() does."""
    return _ptseg.spans_many(texts, encoding, threads)


def decode(data, encoding="utf-8"):
    """Bytes (bytes-like) as str, read the way the segmenter reads them."""
    return _ptseg.decode(data, encoding)


def chunks(text, max_chars, encoding="utf-8"):
    """text (str or bytes-like) cut into pieces of at most max_chars
    characters (bytes for bytes), each ending at a sentence boundary, at a
    paragraph boundary where one lies within the limit.  A sentence longer
    than max_chars is a piece of its own.  "".join(pieces) == text."""
    if max_chars < 1:
        raise ValueError("max_chars must be at least 1")
    if not isinstance(text, (str, bytes)):
        # The pieces are cut by byte offsets: a memoryview or array would
        # be sliced by its items, and a bytearray's pieces would be mutable.
        try:
            text = memoryview(text).tobytes()
        except TypeError:
            pass  # spans() names what text may be
    found = _ptseg.spans(text, encoding, "lines", 1)
    pieces = []
    start = 0
    i = 0
    while i < len(found):
        last = paragraph_end = None
        j = i
        while j < len(found) and found[j].end - start <= max_chars:
            last = j
            if j + 1 == len(found) or found[j + 1].paragraph != found[j].paragraph:
                paragraph_end = j
            j += 1
        if last is None:
            last = i
        elif paragraph_end is not None:
            last = paragraph_end
        end = found[last].end
        pieces.append(text[start:end])
        start = end
        i = last + 1
    return pieces


def split_file(file, encoding="utf-8", *, spans=False, skip_blank=False):
    """An iterator over the sentences (str) of a file, read in encoding:
    file is a path (a gzip, xz, bzip2 or zstd file reads as its text, as
    in ptsplit; offsets count the text's bytes), or a binary file object
    (open(..., "rb"), io.BytesIO, ...; a non-blocking one is waited on),
    read up to 1 MiB at a time, so memory holds a piece and the longest
    sentence, whatever the file's size; what a pipe has at hand is
    segmented at once.

    spans=True yields (text, Span) pairs instead, Span giving the byte
    offsets into the file and the paragraph's number.  skip_blank=True
    leaves out sentences of whitespace alone, as ptsplit's lines format
    counts whitespace (such as the blank lines before a text's first
    paragraph), and paragraphs are then numbered among the paragraphs that
    hold a sentence.  As in ptsplit, "utf-8" text that starts with a UTF-16
    byte-order mark reads as UTF-16.  The encoding and the kind of file are
    checked at once (a text stream is refused unread); a path is opened
    when the iteration starts and closed when it ends, a file object is
    left open."""
    segmenter = Segmenter(encoding)
    # Refused before any read: a text stream's read would wait for a
    # megabyte of text or its end (a pipe, a terminal) and lose what it took.
    if isinstance(file, io.TextIOBase):
        raise TypeError(_TEXT_MODE)
    if not (isinstance(file, (str, bytes)) or hasattr(file, "__fspath__")
            or hasattr(file, "read")):
        raise TypeError("split_file() takes a path or a binary file object, not "
                        + type(file).__name__)
    return _sentences(file, segmenter, spans, skip_blank)


_TEXT_MODE = "split_file() reads bytes: open the file in binary mode ('rb')"


def _blocking(file):
    """Whether reads of file wait for bytes, so that its read1's b"" is its
    end; False when it tells nothing of its descriptor."""
    try:
        return os.get_blocking(file.fileno())
    except (AttributeError, OSError, ValueError):
        return False


def _sentences(file, segmenter, with_spans, skip_blank):
    if isinstance(file, (str, bytes)) or hasattr(file, "__fspath__"):
        # Read as ptsplit reads it: compressed data decompressed.
        name = os.fspath(file)
        try:
            opened = _ptseg.Input(os.fsencode(name))  # the name's bytes, UTF-8 or not
        except OSError as error:
            error.filename = name  # as open() names it: str or bytes, as given
            raise
        try:
            yield from _sentences(opened, segmenter, with_spans, skip_blank)
        finally:
            opened.close()
        return
    pending = bytearray()  # the stream from offset base on
    base = 0
    # With skip_blank: the last paragraph that held a sentence, as the file
    # numbers it, and its new number.
    last, number = -1, -1
    # As in ptsplit, a UTF-16 byte-order mark makes UTF-8 input UTF-16:
    # told once the first two bytes are in (one byte alone decides no
    # sentence, so holding it back delays none).
    told = False
    # read1 hands over what a pipe or terminal has at hand, where read
    # would wait for all 1 MiB.  Its b"" is the end, except on a
    # non-blocking file, where it may only mean nothing yet: read tells
    # the two apart (None).  A terminal's end is not read past, since what
    # is typed after it is no part of this input.
    read1 = getattr(file, "read1", None)
    while True:
        chunk = read1(_CHUNK) if read1 is not None else file.read(_CHUNK)
        if not chunk and read1 is not None and not _blocking(file):
            chunk = file.read(_CHUNK)
        while chunk is None:
            # A non-blocking file with nothing to read yet, not at its end;
            # poll, unlike select, takes any descriptor number.
            waiting = select.poll()
            waiting.register(file, select.POLLIN)
            waiting.poll()
            chunk = file.read(_CHUNK)
        if isinstance(chunk, str):
            raise TypeError(_TEXT_MODE)
        if chunk:
            pending += chunk
            if told:
                found = segmenter.feed(chunk)
            elif len(pending) >= 2:
                told = True
                reading = _ptseg.encoding_of_text(segmenter.encoding, bytes(pending[:2]))
                if reading != segmenter.encoding:
                    segmenter = Segmenter(reading)
                found = segmenter.feed(pending)  # the stream so far
            else:
                continue  # one byte tells no mark yet
        else:
            found = segmenter.finish() if told else segmenter.feed(pending) + segmenter.finish()
        for span in found:
            text = _ptseg.decode(pending[span.start - base:span.end - base], segmenter.encoding)
            if skip_blank:
                left, right = _ptseg.strip(text)
                if left == right:
                    continue
                if span.paragraph != last:
                    last, number = span.paragraph, number + 1
                span = Span(span.start, span.end, number)
            yield (text, span) if with_spans else text
        if found:
            del pending[:found[-1].end - base]
            base = found[-1].end
        if not chunk:
            return
