"""The corpus job, one pipeline whatever the method, memory bound or engine:

```
source ──► units ──► signatures ──► search ──► keep ──► sinks
```

- **source**: :class:`veltrane.corpus.source.Corpus` (shards, formats, compression), a batch of
  records at a time; ``veltrane.corpus.signed`` is a source that signs as it reads.
- **units**: ``veltrane.pipeline.units``: which records are texts, and each unit's record.
- **signatures**: ``veltrane.sketch`` (MinHash rows or their band keys, SimHash
  fingerprints).
- **search**: ``veltrane.search``; every Jaccard mode (in memory, within a memory bound,
  on Dask) returns a :class:`~veltrane.search.jaccard.Found`: groups of copies and the
  verified pairs between them. Texts a search must read again come by number
  (:mod:`veltrane.corpus.texts`).
- **keep**: :func:`veltrane.keep.keep_step`, the only place that decides keepers.
- **sinks**: :mod:`veltrane.corpus.writers` (the kept corpus, the duplicates) and
  ``veltrane.pipeline.sinks`` (pairs, clusters), each written under a temporary name.

:class:`~veltrane.pipeline.plan.CorpusJob` holds a job's options, checked once, and
:func:`deduplicate_corpus` runs it (``veltrane.pipeline.in_memory``,
``veltrane.pipeline.bounded``, ``veltrane.pipeline.indexed``); ``veltrane
near-dups`` parses its arguments, calls it and formats what it returns.

Where a new piece goes:

- **a format** of corpus files: a reader module in ``corpus/`` beside ``jsonl.py`` and
  ``parquet.py``, chosen in ``corpus/source.py``, and its writer in ``corpus/writers.py``.
- **a signature** (an exact digest, say): its function in ``sketch/``; a ``method=`` of
  :class:`~veltrane.pipeline.plan.CorpusJob` whose search gives groups of equal digests as a
  ``Found`` (no pairs: every member of a group is a copy), so the keep step and the sinks
  take it as they are.
- **a search** mode: a module in ``search/`` that returns a ``Found``, and a module here
  beside ``bounded.py`` that feeds it from the source (it takes the job from ``plan.py``),
  dispatched in ``job.run``.
- **a unit** (lines, paragraphs, word spans): a function in ``units.py`` giving the units'
  texts and, for each, its record and byte range; the search and keep step see texts only.
- **a sink** (records with spans cut out, say): a writer in ``corpus/writers.py`` taking the
  keep step's result for units, and an option of ``CorpusJob`` that names its path.
"""

from .job import deduplicate_corpus
from .plan import (
    MIN_MEMORY,
    CorpusDeduplication,
    CorpusJob,
    CorpusJobError,
    UsageError,
)

__all__ = [
    "MIN_MEMORY",
    "CorpusDeduplication",
    "CorpusJob",
    "CorpusJobError",
    "UsageError",
    "deduplicate_corpus",
]
