"""ptseg as a spaCy pipeline component: sentence starts from ptseg's
boundaries.

Installing ptseg registers the component (the spacy_factories entry
point), so no import is needed:

    nlp = spacy.blank("pt")
    nlp.add_pipe("ptseg")
    [s.text for s in nlp("Ela saiu. Ele ficou.").sents]   # ['Ela saiu.', 'Ele ficou.']

The component sets token.is_sent_start on every token.  A boundary inside
a token moves to that token's start, one between tokens to the next token
that is not whitespace: whitespace tokens stay with the sentence before.
"""
from typing import Iterable, Iterator, List, Sequence

from spacy.language import Language
from spacy.tokens import Doc

import ptseg


class SentenceSegmenter:
    """Sets token.is_sent_start from ptseg's sentence boundaries."""

    def __call__(self, doc: Doc) -> Doc:
        mark(doc, ptseg.spans(doc.text))
        return doc

    def pipe(self, docs: Iterable[Doc], batch_size: int = 128) -> Iterator[Doc]:
        batch: List[Doc] = []
        for doc in docs:
            batch.append(doc)
            if len(batch) == batch_size:
                yield from _marked(batch)
                batch = []
        yield from _marked(batch)


def _marked(docs: List[Doc]) -> List[Doc]:
    for doc, spans in zip(docs, ptseg.spans_many([doc.text for doc in docs])):
        mark(doc, spans)
    return docs


def mark(doc: Doc, spans: Sequence[ptseg.Span]) -> None:
    """Sets is_sent_start on each token of doc from spans, ptseg's Spans of
    doc.text."""
    starts = [span.start for span in spans[1:]]
    k = 0
    pending = False
    for token in doc:
        end = token.idx + len(token)
        while k < len(starts) and starts[k] < end:
            pending = True
            k += 1
        if token.i == 0:
            token.is_sent_start = True
            pending = False
        elif pending and not token.is_space:
            token.is_sent_start = True
            pending = False
        else:
            token.is_sent_start = False


@Language.factory("ptseg", assigns=["token.is_sent_start", "doc.sents"])
def make_component(nlp: Language, name: str) -> SentenceSegmenter:
    return SentenceSegmenter()
