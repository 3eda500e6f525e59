"""Corpora of texts in and out: shards, formats and compression found, records read
(:mod:`~veltrane.corpus.readers`), read and signed in one pass (:mod:`~veltrane.corpus.signed`),
and written back (:mod:`~veltrane.corpus.writers`)."""

from .readers import CorpusRecords, Records
from .shards import CorpusError, Shard, shards
from .source import Corpus

__all__ = ["Corpus", "CorpusError", "CorpusRecords", "Records", "Shard", "shards"]
