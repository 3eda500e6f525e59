"""A corpus of plain files read and signed in one pass, for ``veltrane near-dups``: each thread
takes a stretch of a file and signs the texts of its lines (MinHash, seed 0) as it finds them, so
no text becomes a Python object. The texts are not kept; :class:`SpannedTexts` reads again those a
later step asks for. Only what :class:`~veltrane.corpus.source.Corpus` would read to the byte is
taken this way; anything else (compression, Parquet, standard input, invalid UTF-8, a line the
native scanner leaves to the slower parsers) gets ``None``, and the caller reads the corpus the
general way.
"""

from __future__ import annotations

import os
from collections.abc import Iterator, Sequence
from typing import overload

import numpy as np

from .. import _args, _native
from .._pairs import Progress, run_reporting
from .jsonl import decoded_ids
from .readers import CorpusRecords
from .source import Corpus

# Texts read again a batch at a time when a caller iterates: one at a time reads the file once
# a text (near-dups --duplicates, which also writes the pairs, took 10.9 s instead of 2.0 s on
# 240,000 texts), and a batch of this many holds a few MB.
_ITER_BATCH = 4096


class SpannedTexts(Sequence[bytes]):
    """The texts of a corpus's records, read again from their files (:meth:`Corpus.texts_at`)
    when asked for: what a caller holds instead of the texts. ``sizes`` holds each text's size
    in bytes; :meth:`take` reads many at once."""

    def __init__(
        self, corpus: Corpus, source: np.ndarray, spans: np.ndarray, sizes: np.ndarray
    ) -> None:
        self.corpus = corpus
        self.source = source
        self.spans = spans
        self.sizes = sizes

    def __len__(self) -> int:
        return len(self.spans)

    @overload
    def __getitem__(self, k: int) -> bytes: ...
    @overload
    def __getitem__(self, k: slice) -> list[bytes]: ...
    def __getitem__(self, k: int | slice) -> bytes | list[bytes]:
        if isinstance(k, slice):
            return self.take(np.arange(len(self))[k])
        n = len(self)
        if not -n <= k < n:
            raise IndexError("text index out of range")
        return self.take(np.array([k % n]))[0]

    def __iter__(self) -> Iterator[bytes]:
        for start in range(0, len(self), _ITER_BATCH):
            yield from self.take(np.arange(start, min(start + _ITER_BATCH, len(self))))

    def take(self, indices: np.ndarray) -> list[bytes]:
        """The texts at ``indices``, each file read once for all of its texts."""
        indices = np.asarray(indices, dtype=np.int64)
        out: list[bytes] = [b""] * len(indices)
        sources = self.source[indices]
        for source in np.unique(sources).tolist():
            where = np.flatnonzero(sources == source)
            texts = self.corpus.texts_at(source, self.spans[indices[where]])
            for w, text in zip(where.tolist(), texts):
                out[w] = text
        return out

    def close(self) -> None:
        """Nothing to let go of: each read opens its file (a ``TextsByNumber``)."""

    def subset(self, indices: np.ndarray) -> SpannedTexts:
        """The texts at ``indices``, still unread."""
        return SpannedTexts(
            self.corpus, self.source[indices], self.spans[indices], self.sizes[indices]
        )


def read_signed(
    corpus: Corpus,
    num_perm: int,
    ngram: int,
    threads: int | None,
    progress: Progress | None,
    bands: tuple[int, int] | None = None,
    exact: str = "",
    follow=None,
) -> tuple[CorpusRecords, np.ndarray] | None:
    """The records of ``corpus``, their texts a :class:`SpannedTexts`, and the MinHash
    signatures (seed 0) of the texts searched: every JSON Lines record, every non-empty line of
    a line file. With ``bands`` (bands, rows), each text's banded row
    (:class:`~veltrane.search.jaccard.BandedRows`) instead of its signature. With ``exact`` (a
    normalisation of :mod:`veltrane.sketch.digest`), each text's digest instead, four
    ``uint32`` a row; then ``follow`` (a
    :attr:`~veltrane.corpus.writers.FirstCopiesOutput.follower`) copies the first of each set
    of copies to its output as the files are read. None when a file is not one this pass
    takes (see the module docstring)."""
    if not all(corpus.rereadable(k) for k in range(len(corpus.shards))):
        return None
    nthreads = _args.threads(threads)
    field = corpus.field.encode("utf-8", "surrogateescape")
    id_field = (
        b"" if corpus.id_field is None else corpus.id_field.encode("utf-8", "surrogateescape")
    )
    value_field = (
        b""
        if corpus.value_field is None
        else corpus.value_field.encode("utf-8", "surrogateescape")
    )
    try:
        sizes_on_disk = [os.path.getsize(s.path) for s in corpus.shards]
    except OSError:
        return None  # the general reader names the file
    band_count, band_rows = bands if bands is not None else (0, 0)
    total, before = sum(sizes_on_disk), 0
    parts = []
    for source, shard in enumerate(corpus.shards):

        def shown(step: str, done: int, _total: int | None, base: int = before) -> None:
            assert progress is not None
            progress(step, base + done, total)

        def run(native, path: str = shard.path, jsonl: bool = shard.format == "jsonl"):
            return _native.sign_plain_file(
                path,
                jsonl,
                field,
                id_field,
                value_field,
                num_perm,
                ngram,
                0,
                band_count,
                band_rows,
                nthreads,
                native,
                exact=exact,
                follow=follow,
            )

        got = run_reporting(run, "reading", None if progress is None else shown)
        if got is None:
            return None
        parts.append((source, *got))
        before += sizes_on_disk[source]
    return _joined(corpus, parts)


def _joined(corpus: Corpus, parts: list) -> tuple[CorpusRecords, np.ndarray]:
    signatures: np.ndarray | None = None
    sources, numbers, spans, sizes, values = [], [], [], [], []
    ids: list | None = [] if corpus.id_field is not None else None
    for source, line, span, size, rows, signed, raw_ids, numeric, value in parts:
        sources.append(np.full(len(line), source, dtype=np.int32))
        numbers.append(line)
        spans.append(span)
        sizes.append(size)
        if ids is not None:
            ids.extend(decoded_ids(raw_ids, numeric))
        if value is not None:
            values.append(value)
        # One array for all the files, grown in place (a large block grows by remapping), so
        # the signatures never take their memory twice.
        width = rows.shape[1]
        if signatures is None:
            signatures = rows
            signatures.resize((signed, width), refcheck=False)
        else:
            n = len(signatures)
            signatures.resize((n + signed, width), refcheck=False)
            signatures[n:] = rows[:signed]
        del rows
    source_all, span_all, size_all = _one(sources), _one(spans), _one(sizes)
    records = CorpusRecords(
        source_all,
        SpannedTexts(corpus, source_all, span_all, size_all),  # type: ignore[arg-type]
        _one(numbers),
        ids,
        span_all,
        None if corpus.value_field is None else _one(values),
    )
    assert signatures is not None  # a corpus has a file
    return records, signatures


def _one(arrays: list[np.ndarray]) -> np.ndarray:
    """The arrays joined; a single one as it is (fresh memory is not free, on some machines
    dearer than the copy)."""
    return arrays[0] if len(arrays) == 1 else np.concatenate(arrays)
