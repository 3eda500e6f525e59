"""Corpora of texts in and out: shards, formats and compression found, records read
(``veltrane.corpus.readers``), read and signed in one pass (``veltrane.corpus.signed``),
and written back (:mod:`~veltrane.corpus.writers`)."""

from .inputs import CorpusError, Shard, shards
from .readers import CorpusRecords, Records
from .source import Corpus

__all__ = ["Corpus", "CorpusError", "CorpusRecords", "Records", "Shard", "shards"]
