"""The corpus job's options, checked once, and what it returns: :class:`CorpusJob`,
:class:`CorpusDeduplication` and the errors, and the memory bound a run is given by default.
Every search mode takes a job from here, and :mod:`veltrane.pipeline.job` runs it."""

from __future__ import annotations

import os
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Any, TextIO

from .._pairs import Progress
from ..corpus.inputs import STDIN, CorpusError, Format, shards
from ..corpus.source import Corpus
from ..corpus.writers import check_output
from ..defaults import (
    DEFAULT_MAX_DISTANCE,
    DEFAULT_METHOD,
    DEFAULT_NGRAM,
    DEFAULT_NUM_PERM,
    DEFAULT_THRESHOLD,
)
from ..search.jaccard import JaccardParams
from ..sketch.digest import DEFAULT_NORMALIZE, check_normalize

#: The least ``memory``: a reading block and the band entries of a batch of texts.
MIN_MEMORY = 1 << 16

# Peak memory of the run in memory a byte of text read: 1.6 measured on generated JSON Lines
# (1.74 GB for 1.08 GB), with a margin.
_PEAK_PER_BYTE = 2
# Bytes of text a byte of a compressed or Parquet file may hold: text compresses 3 to 5 times.
_TEXT_PER_PACKED_BYTE = 5
# Of the memory available, the share a bound chosen by default takes: the peak is about
# 1.1 times the bound plus some 180 bytes a record (measured at 2G and 8.6 GB).
_DEFAULT_SHARE = 3


class CorpusJobError(ValueError):
    """The job could not run or finish (a full disk, an index that refuses the run); the
    message is one line, and no output was left half written."""


class UsageError(CorpusJobError):
    """Options that do not go together."""


@dataclass
class CorpusJob:
    """The options of one corpus job, as :func:`deduplicate_corpus` takes them."""

    #: Files or directories of shards; ``"-"`` for standard input.
    inputs: Sequence[str]
    #: Where the kept records go (a path, ``"-"`` for standard output), or None.
    output: str | None = None
    #: Where each dropped record and its keeper go (JSON Lines), or None.
    duplicates: str | None = None
    #: ``"minhash"``, ``"simhash"`` or ``"exact"`` (copies only).
    method: str = DEFAULT_METHOD
    #: MinHash: the least Jaccard similarity; None: the default (or the index's).
    threshold: float | None = None
    #: MinHash: words per shingle; None: the default (or the index's).
    ngram: int | None = None
    #: MinHash: values a signature; None: the default (or the index's).
    num_perm: int | None = None
    #: SimHash: the largest Hamming distance; None: the default.
    max_distance: int | None = None
    #: Exact: what makes two texts copies, ``"words"`` or ``"none"``
    #: (:mod:`veltrane.sketch.digest`); None: ``"words"`` (or the index's).
    normalize: str | None = None
    #: The keep order: ``"first"`` or ``"longest"`` (see :mod:`veltrane.keep`).
    keep: str = "first"
    #: A numeric field whose largest value is kept first, instead of ``keep``.
    keep_by: str | None = None
    #: ``"greedy"`` or ``"components"``.
    clusters: str = "greedy"
    #: A bound in bytes on the search's memory (MinHash), or None to search in memory.
    memory: int | None = None
    #: The directory of a lasting index to search against and add to, or None.
    index: str | None = None
    #: Where a bounded search spills (default: the system's temporary directory).
    tmp_dir: str | None = None
    #: The field of JSON Lines and Parquet records that holds the text.
    field: str = "text"
    #: The field that names each record, or None (records are named by file and line).
    id_field: str | None = None
    #: The format of the inputs, ``"lines"`` or ``"jsonl"``, or None: told from each file.
    format: Format | None = None
    #: Outputs may replace existing files.
    force: bool = False
    #: Threads (default: every core this process may use).
    threads: int | None = None
    #: Called as ``progress(step, done, total)``.
    progress: Progress | None = None
    #: ``"pairs"`` or ``"clusters"`` written to ``out``, or None.
    show: str | None = None
    #: The text stream ``show`` goes to.
    out: TextIO | None = None

    def filled(self) -> CorpusJob:
        """The options with the method's defaults in place of None (an index's own
        parameters are read when it is opened)."""
        if self.method not in ("minhash", "simhash", "exact"):
            raise ValueError(
                f"method must be 'simhash' or 'minhash' (or 'exact'), got {self.method!r}"
            )
        if self.normalize is not None:
            check_normalize(self.normalize)
        if self.clusters not in ("greedy", "components"):
            raise ValueError(f"clusters must be 'greedy' or 'components', got {self.clusters!r}")
        if self.show not in (None, "pairs", "clusters"):
            raise ValueError(f"show must be 'pairs', 'clusters' or None, got {self.show!r}")
        if self.show is not None and self.out is None:
            raise ValueError("show needs out, the stream it is written to")
        job = CorpusJob(**vars(self))
        for name, value in (
            ("threshold", DEFAULT_THRESHOLD),
            ("ngram", DEFAULT_NGRAM),
            ("num_perm", DEFAULT_NUM_PERM),
            ("max_distance", DEFAULT_MAX_DISTANCE),
            ("normalize", DEFAULT_NORMALIZE),
        ):
            if getattr(job, name) is None:
                setattr(job, name, value)
        if job.progress is None:
            job.progress = _silent
        return job

    def jaccard(self, **changed: Any) -> JaccardParams:
        """The Jaccard search's parameters of this job."""
        assert self.threshold is not None and self.ngram is not None
        assert self.num_perm is not None
        return JaccardParams(self.threshold, self.ngram, self.num_perm, **changed)

    def corpus(self) -> Corpus:
        """The inputs as a corpus, once the outputs are known not to clobber one of them."""
        corpus = Corpus(
            self.inputs,
            field=self.field,
            id_field=self.id_field,
            value_field=self.keep_by,
            format=self.format,
        )
        for path in (self.output, self.duplicates):
            if path is not None:
                check_output(path, corpus.shards, self.force)
        return corpus

    @property
    def writing(self) -> bool:
        """Whether a kept corpus or duplicates are written."""
        return self.output is not None or self.duplicates is not None


def _silent(step: str, done: int, total: int | None) -> None:
    pass


@dataclass(frozen=True)
class CorpusDeduplication:
    """What :func:`deduplicate_corpus` did, counted in records."""

    #: Records read.
    texts: int
    #: Records kept.
    kept: int
    #: Records dropped.
    dropped: int
    #: Records without words (always kept).
    without_words: int
    #: Against an index: records dropped onto texts of earlier runs; else None.
    onto_earlier: int | None = None
    #: MinHash in memory: how many of the records dropped were exact copies of their keeper
    #: (the same words); else None.
    exact_copies: int | None = None


def choose_memory(
    inputs: Sequence[str], format: Format | None, available: int | None
) -> tuple[int, int] | None:
    """A bound on a MinHash search's memory when the run in memory would not fit in
    ``available`` bytes (the output is the same either way, and a corpus larger than memory
    is then deduplicated instead of failing): (the bound, the bytes of text the inputs may
    hold), or None."""
    if available is None:
        return None
    try:
        found = shards(inputs, format)
    except (CorpusError, ValueError):
        return None  # reported by the run itself
    text = 0
    for shard in found:
        if shard.path == STDIN:
            continue
        try:
            size = os.path.getsize(shard.path)
        except OSError:
            continue
        packed = shard.compression is not None or shard.format == "parquet"
        text += size * (_TEXT_PER_PACKED_BYTE if packed else 1)
    if text * _PEAK_PER_BYTE <= available:
        return None
    return max(MIN_MEMORY, available // _DEFAULT_SHARE), text


def available_memory() -> int | None:
    """What the system can give without swapping (Linux: MemAvailable, at most the cgroup's
    limit), or None where that is unknown."""
    found = None
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    found = int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        return None
    try:
        # Its use is not subtracted: that counts the page cache, which is given back.
        with open("/sys/fs/cgroup/memory.max") as f:
            limit = f.read().strip()
        if limit != "max" and found is not None:
            found = min(found, int(limit))
    except (OSError, ValueError):
        pass
    return found
