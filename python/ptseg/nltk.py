"""ptseg as an NLTK sentence tokenizer, which needs no NLTK data:

    from nltk.corpus.reader import PlaintextCorpusReader
    from ptseg.nltk import SentenceTokenizer
    corpus = PlaintextCorpusReader("textos", r".*\\.txt", sent_tokenizer=SentenceTokenizer())

Sentences come without the whitespace around them, as NLTK's own
tokenizers give them; text[start:end] of each span is its sentence.
"""
from nltk.tokenize.api import TokenizerI

import ptseg


class SentenceTokenizer(TokenizerI):
    """Splits a str into sentences with ptseg."""

    def span_tokenize(self, text):
        for span in ptseg.spans(text):
            sentence = text[span.start:span.end]
            stripped = sentence.strip()
            if stripped:
                start = span.start + len(sentence) - len(sentence.lstrip())
                yield start, start + len(stripped)

    def tokenize(self, text):
        return [text[start:end] for start, end in self.span_tokenize(text)]
