"""The corpus job within a memory bound: the inputs read once, a batch at a time, each text's
signature going to band runs on disk (:mod:`veltrane.search.outofcore`); verification reads
the candidates again by number (:mod:`veltrane.corpus.texts`), from their own files where all
are plain files of lines or JSON Lines, else from a copy of the texts in a temporary file.
What stays in memory is a few integers a record (where it is, its length, its keeper). The
output is byte for byte that of the run in memory."""

from __future__ import annotations

import json
import os
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor
from contextlib import ExitStack
from typing import Any, cast

import numpy as np

from ..corpus.readers import BLOCK_SIZE, CorpusRecords
from ..corpus.source import Corpus
from ..corpus.texts import Reread, Spill, SpillError, TextsByNumber, freed_memory_returned
from ..corpus.writers import write_duplicates, write_kept
from ..keep import keep_step
from ..search.exact import count_copies
from ..search.jaccard import jaccard_similarities
from ..search.outofcore import search_out_of_core
from . import units
from .plan import MIN_MEMORY, CorpusDeduplication, CorpusJob, CorpusJobError, UsageError
from .sinks import Places, write_clusters, write_found_pairs

# Band entries of one text while sorted: 16 bytes a band, held twice.
_TEXT_ENTRY_BYTES = 32
# Texts whose similarity to their keeper is measured at a time (components).
_MEASURE_TEXTS = 1 << 14


class _Ids:
    """The ids of the records, spilled as JSON: fragments for the pair and cluster lines,
    values for :func:`write_duplicates`."""

    def __init__(self, spill: Spill) -> None:
        self.spill = spill

    def fragments(self, records: np.ndarray) -> list[str]:
        return [b.decode("utf-8", "surrogatepass") for b in self.spill.take(records)]

    def __getitem__(self, record: int) -> Any:
        return json.loads(self.fragments(np.array([record]))[0])


def _joined(parts: list[np.ndarray], dtype, shape=()) -> np.ndarray:
    """The parts as one array; the list is emptied, so that they are not held twice."""
    joined = np.concatenate(parts) if parts else np.empty((0, *shape), dtype)
    parts.clear()
    return joined


class _Columns:
    """What stays in memory of each record read: its file, line or row, and span."""

    def __init__(self) -> None:
        self.source: list[np.ndarray] = []
        self.numbers: list[np.ndarray] = []
        self.spans: list[np.ndarray] = []
        self.values: list[np.ndarray] = []
        self.skipped: list[np.ndarray] = []  # the records that are no texts
        self.lengths: list[np.ndarray] = []
        self.n = 0
        self._frozen: tuple[np.ndarray, np.ndarray, np.ndarray] | None = None

    def searched(self) -> np.ndarray:
        """The records that are texts, in order."""
        everything = np.arange(self.n, dtype=np.int64)
        if not self.skipped:
            return everything
        return np.setdiff1d(everything, _joined(self.skipped, np.int64), assume_unique=True)

    def freeze(self) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """(source, spans, searched) once every record is read, each joined once."""
        if self._frozen is None:
            self._frozen = (
                _joined(self.source, np.int32),
                _joined(self.spans, np.int64, (2,)),
                self.searched(),
            )
        return self._frozen


_END = object()


def _read_ahead(items: Iterator) -> Iterator:
    """The items, the next one made on a thread while the caller works on the last: reading a
    block (its system calls and the native scanner let go of the GIL) then overlaps the
    signing of the one before, as in the run in memory. One batch more is held."""
    with ThreadPoolExecutor(1) as pool:
        coming = pool.submit(next, items, _END)
        while True:
            item = coming.result()
            if item is _END:
                return
            coming = pool.submit(next, items, _END)
            yield item


def run(job: CorpusJob) -> CorpusDeduplication:
    """The job within ``job.memory`` bytes."""
    try:
        return _run(job)
    except SpillError as e:
        raise CorpusJobError(
            f"{e} (--tmp-dir names another place); no output was written"
        ) from None


def _run(job: CorpusJob) -> CorpusDeduplication:
    freed_memory_returned()
    corpus = job.corpus()
    memory = job.memory
    assert memory is not None
    params = job.jaccard(wordless="apart")
    bands, rows = params.banding()
    # Half for the band runs; the rest for the block being read and its signatures.
    runs_memory = memory // 2
    most = runs_memory // (bands * _TEXT_ENTRY_BYTES)
    if memory < MIN_MEMORY or most < 1:
        need = max(MIN_MEMORY, 2 * bands * _TEXT_ENTRY_BYTES)
        raise UsageError(f"--memory {memory} is below the {need} bytes one batch needs")
    block = max(1 << 12, min(BLOCK_SIZE, memory // 16))
    line_files = units.line_files(corpus)
    cols = _Columns()
    progress = job.progress
    assert progress is not None
    with ExitStack() as stack:
        reread = all(corpus.rereadable(k) for k in range(len(corpus.shards)))
        texts: TextsByNumber = Reread(corpus, cols.freeze) if reread else Spill(job.tmp_dir)
        stack.callback(texts.close)
        ids = None
        if corpus.id_field is not None:
            ids = _Ids(Spill(job.tmp_dir))
            stack.callback(ids.spill.close)
        # Bytes of the inputs read; their total where all are plain files.
        sizes = [os.path.getsize(s.path) if corpus.rereadable(k) else None
                 for k, s in enumerate(corpus.shards)]  # fmt: skip
        total = None if None in sizes else sum(cast(list[int], sizes))
        read = 0

        def batches() -> Iterator[list[bytes]]:
            nonlocal read
            for batch in corpus.batches(block_size=block):
                k = len(batch.texts)
                read += (
                    int(batch.spans[:, 1].sum())
                    if batch.spans is not None
                    else sum(map(len, batch.texts))
                )
                progress("reading", read, total)
                cols.source.append(np.full(k, batch.source, dtype=np.int32))
                cols.numbers.append(batch.numbers)
                cols.spans.append(
                    np.full((k, 2), -1, np.int64) if batch.spans is None else batch.spans
                )
                if batch.values is not None:
                    cols.values.append(batch.values)
                if ids is not None:
                    assert batch.ids is not None
                    ids.spill.add(
                        [
                            json.dumps(v, ensure_ascii=False, default=str).encode(
                                "utf-8", "surrogatepass"
                            )
                            for v in batch.ids
                        ]
                    )
                # Empty lines of line files keep their numbers but are not texts.
                items = batch.texts
                if line_files[batch.source]:
                    mine = [p for p, t in enumerate(batch.texts) if t]
                    if len(mine) < k:
                        items = [batch.texts[p] for p in mine]
                        cols.skipped.append(np.setdiff1d(np.arange(k), mine) + cols.n)
                if job.keep == "longest":
                    cols.lengths.append(np.fromiter(map(len, items), np.int64, len(items)))
                cols.n += k
                if isinstance(texts, Spill):
                    texts.add(items)
                for start in range(0, len(items), most):
                    yield items[start : start + most]
            # Merging the runs and verifying have no count to show; their name, at least.
            progress("searching", 0, None)

        try:
            found = search_out_of_core(
                _read_ahead(batches()), texts.take, params, runs_memory, job.tmp_dir, job.threads
            )
        except SpillError:
            raise
        except OSError as e:
            # The band runs: already removed.
            raise CorpusJobError(
                f"{e.strerror or e} (--tmp-dir names another place); no output was written"
            ) from None
        return _finish(job, corpus, cols, found, texts, ids)


def _finish(
    job: CorpusJob, corpus: Corpus, cols: _Columns, found, texts: TextsByNumber, ids
) -> CorpusDeduplication:
    n_records = cols.n
    source, spans, searched = cols.freeze()
    numbers = _joined(cols.numbers, np.int64)
    places = Places(corpus, source, numbers, searched, ids)
    if job.show == "pairs" and not job.writing:
        write_found_pairs(job.out, found, places)
        return CorpusDeduplication(n_records, n_records, 0, 0)
    n = found.n
    rule: Any = "first"
    if job.keep_by is not None:
        rule = _joined(cols.values, np.float64)[searched]
    elif job.keep == "longest":
        # As many bytes, as "longest" ranks them.
        rule = _joined(cols.lengths, np.int64).astype(np.float64)
    keeper, similarity = keep_step(
        n,
        found.i,
        found.j,
        found.similarity,
        groups=found.reps,
        keep=rule,
        clusters=job.clusters,
        measure=lambda dropped, kept_for: _similarities(dropped, kept_for, texts, job),
    )
    keeper_of, similarity_of = units.records_of(n_records, searched, keeper, similarity, 1.0)
    everything = np.arange(n_records, dtype=np.int64)
    records = CorpusRecords(
        source,
        cast(list, range(n_records)),  # the writers need only how many
        numbers,
        cast(Any, ids),
        spans,
        None,
    )
    if job.output is not None:
        write_kept(corpus, records, keeper_of == everything, job.output, force=job.force)
    if job.duplicates is not None:
        write_duplicates(
            corpus, records, keeper_of, similarity_of, job.duplicates, force=job.force
        )
    if job.show == "clusters":
        write_clusters(job.out, "similarity", keeper, similarity, places)
    elif job.show == "pairs":
        write_found_pairs(job.out, found, places)
    dropped = int((keeper_of != everything).sum())
    wordless = len(found.wordless) + n_records - n
    copied = None
    if job.writing:
        # As in memory: the texts dropped at similarity 1 read again to tell the copies.
        same = np.flatnonzero((keeper != np.arange(n)) & (similarity == 1.0))
        copied = count_copies(texts, same, keeper[same], threads=job.threads)
    return CorpusDeduplication(
        n_records, n_records - dropped, dropped, wordless, exact_copies=copied
    )


def _similarities(
    dropped: np.ndarray, kept_for: np.ndarray, texts: TextsByNumber, job: CorpusJob
) -> np.ndarray:
    """Each dropped text's exact similarity to its keeper, the texts re-read a part at a
    time."""
    similarity = np.ones(len(dropped))
    for start in range(0, len(dropped), _MEASURE_TEXTS):
        part = dropped[start : start + _MEASURE_TEXTS]
        kept = kept_for[start : start + _MEASURE_TEXTS]
        needed = np.union1d(part, kept)
        similarity[start : start + len(part)] = jaccard_similarities(
            texts.take(needed),
            np.searchsorted(needed, part),
            np.searchsorted(needed, kept),
            ngram=job.ngram,  # type: ignore[arg-type]
            threads=job.threads,
        )
    return similarity
