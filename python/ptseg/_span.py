"""ptseg.Span, in a module of its own so that the compiled part can import
it while the package is still loading."""
from typing import NamedTuple


class Span(NamedTuple):
    """A sentence: text[start:end], in paragraph number paragraph (from 0)."""

    start: int
    end: int
    paragraph: int
