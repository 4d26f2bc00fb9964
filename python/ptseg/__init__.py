"""Sentence and paragraph boundaries in Portuguese text.

    >>> import ptseg
    >>> ptseg.split("O Dr. Silva chegou. Ele disse:\\n- Vou embora!")
    ['O Dr. Silva chegou. ', 'Ele disse:\\n', '- Vou embora!']

Whole texts go to split(), spans(), paragraphs() and markup(), as str or
bytes; streams of bytes to a Segmenter; files of any size to split_file().

Text is read as UTF-8 (where bytes that are not valid UTF-8 read as
Windows-1252) or as ISO-8859-1: encoding='utf-8' (the default) or
'latin-1'.  A str is Unicode already, so for it the encoding is checked but
not used; a str with a lone surrogate (as errors='surrogateescape' makes)
raises UnicodeEncodeError: segment text.encode('utf-8', 'surrogateescape')
instead.

The calls release the GIL while they segment, so threads run them at the
same time.  They are plain functions and their results are built of str,
bytes, int, lists and Span named tuples, all of which pickle: they work
in process pools and cluster workers alike.
"""
from . import _ptseg
from ._ptseg import Error, Segmenter, __version__
from ._span import Span

__all__ = ["Error", "Segmenter", "Span", "markup", "paragraphs", "spans", "split",
           "split_file"]

# Bytes read from a file at a time.
_CHUNK = 1 << 20


def split(text, encoding="utf-8"):
    """The sentences of text (str or bytes-like), whitespace kept, so that
    "".join(split(text)) == text: str for a str, bytes otherwise."""
    return _ptseg.split(text, encoding)


def spans(text, encoding="utf-8"):
    """The sentences of text (str or bytes-like) as Span(start, end,
    paragraph): text[start:end] is the sentence, in code points for a str
    and bytes otherwise; paragraph numbers its paragraph from 0."""
    return _ptseg.spans(text, encoding)


def paragraphs(text, encoding="utf-8"):
    """The paragraphs of text (str or bytes-like), each a list of its
    sentences: str for a str, bytes otherwise."""
    return _ptseg.paragraphs(text, encoding)


def markup(text, encoding="utf-8"):
    """text (str or bytes-like) with its markup: "<p><s>" at the start,
    "</s><s>" between two sentences, "</s></p><p><s>" between two
    paragraphs and "</s></p>" at the end.  str for a str, bytes
    otherwise."""
    return _ptseg.markup(text, encoding)


def split_file(path, encoding="utf-8"):
    """An iterator over the sentences (str) of the file at path, read in
    encoding.  The file is read 1 MiB at a time, so memory holds a piece
    and the longest sentence, whatever the file's size.  The encoding is
    checked at once; the file is opened when the iteration starts and
    closed when it ends."""
    return _sentences(path, encoding, Segmenter(encoding))


def _sentences(path, encoding, segmenter):
    pending = bytearray()  # the stream from offset base on
    base = 0
    with open(path, "rb") as file:
        while True:
            chunk = file.read(_CHUNK)
            if chunk:
                pending += chunk
                spans = segmenter.feed(chunk)
            else:
                spans = segmenter.finish()
            for span in spans:
                yield _ptseg.decode(pending[span.start - base:span.end - base], encoding)
            if spans:
                del pending[:spans[-1].end - base]
                base = spans[-1].end
            if not chunk:
                return
