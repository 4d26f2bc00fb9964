"""ptseg as an NLTK sentence tokenizer, which needs no NLTK data:

    import nltk
    from nltk.corpus.reader import PlaintextCorpusReader
    from ptseg.nltk import SentenceTokenizer
    nltk.data.path.append("textos")  # recent NLTK reads only folders let in
    corpus = PlaintextCorpusReader("textos", r".*\\.txt", sent_tokenizer=SentenceTokenizer())

Sentences come without the whitespace around them, as NLTK's own
tokenizers give them (the whitespace of ptsplit's lines format: a no-break
space, or a C1 control read as its Windows-1252 character, stays);
text[start:end] of each span is its sentence.
"""
from typing import Iterator, List, Tuple

from nltk.tokenize.api import TokenizerI

import ptseg
from ptseg import _ptseg


class SentenceTokenizer(TokenizerI):
    """Splits a str into sentences with ptseg."""

    def span_tokenize(self, text: str) -> Iterator[Tuple[int, int]]:
        for span in ptseg.spans(text):
            start, end = _ptseg.strip(text, span.start, span.end)
            if start < end:
                yield start, end

    def tokenize(self, text: str) -> List[str]:
        return [text[start:end] for start, end in self.span_tokenize(text)]
