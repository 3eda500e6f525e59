"""The units of the corpus job: what is signed, searched and kept. Today a unit is a whole
record, every record but the empty lines of line files (which keep their line numbers but
are no texts); text k is record ``searched[k]``.

A new kind of unit (lines, paragraphs, word spans of a record) is a function here that gives
the units' texts and, for each, its record and byte range; :func:`records_of` maps what the
keep step decided for units back to records.
"""

from __future__ import annotations

import numpy as np

from ..corpus.readers import CorpusRecords
from ..corpus.signed import SpannedTexts
from ..corpus.source import Corpus


def line_files(corpus: Corpus) -> list[bool]:
    """For each shard, whether it is a file of lines (whose empty lines are no texts)."""
    return [s.format == "lines" for s in corpus.shards]


def searched(corpus: Corpus, records: CorpusRecords) -> np.ndarray:
    """The records that are texts, in order (int64)."""
    lines = np.array(line_files(corpus), dtype=bool)
    if not lines.any():
        return np.arange(len(records.texts), dtype=np.int64)
    if isinstance(records.texts, SpannedTexts):
        empty = records.texts.sizes == 0
    else:
        empty = np.fromiter((not t for t in records.texts), dtype=bool, count=len(records.texts))
    return np.flatnonzero(~(empty & lines[records.source]))


def texts_of(records: CorpusRecords, searched: np.ndarray):
    """The texts of the searched records (the records' own texts when all are searched)."""
    texts = records.texts
    if len(searched) == len(texts):
        return texts
    if isinstance(texts, SpannedTexts):
        return texts.subset(searched)
    return [texts[k] for k in searched.tolist()]


def records_of(
    n_records: int,
    searched: np.ndarray,
    keeper: np.ndarray,
    similarity: np.ndarray,
    self_similarity: float,
) -> tuple[np.ndarray, np.ndarray]:
    """For each record, the record kept in its place and their similarity, from each text's
    keeper (a text number) and similarity; records that are no texts are kept."""
    keeper_of = np.arange(n_records, dtype=np.int64)
    keeper_of[searched] = searched[keeper]
    similarity_of = np.full(n_records, self_similarity)
    similarity_of[searched] = similarity
    return keeper_of, similarity_of
