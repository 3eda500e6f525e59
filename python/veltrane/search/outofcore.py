"""Near duplicates by Jaccard within a memory limit: band hashes spilled to disk in sorted runs,
candidates from merging the runs band by band, texts re-read for exact verification.

The result equals :func:`veltrane.near_duplicate_pairs_jaccard` /
:func:`veltrane.near_duplicate_clusters_jaccard` on the same texts (bands are compared by a
64-bit hash of their values rather than the values, which differs with probability about
2**-64 a pair). What stays in memory: two 8-byte integers a text (the hash of its signature,
its group of copies), the run buffer and merge blocks within ``memory`` bytes, the candidates
of one merge block with the texts they name, and the verified pairs.
"""

from __future__ import annotations

import os
import tempfile
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Any, BinaryIO

import numpy as np

from .. import _args, _native
from ..defaults import DEFAULT_NGRAM, DEFAULT_NUM_PERM, DEFAULT_THRESHOLD
from ..sketch.minhash import minhash_signatures
from ._bands import band_keys, row_keys, sort_bands
from .jaccard import (
    JACCARD_PAIR_DTYPE,
    Found,
    JaccardParams,
    Wordless,
    shingle_sets,
    without_shingles,
)

# A band entry: its 64-bit key and the index of its text.
_ENTRY_BYTES = 16
# Sorting a block holds it about twice (the block and its sorted copy).
_SORT_COPIES = 2
# Texts re-read at a time, to split copies by their shingle sets (whole groups of copies) or
# to verify candidates (two a pair): at most this many, and fewer under a small memory limit,
# a text's shingle hashes taking about 1.5 times its bytes.
_REREAD_TEXTS = 1 << 17
_TEXT_BYTES = 4096
# Candidate pairs held to be verified once each: 8 bytes a pair, and np.unique's sorted copy
# and the parts joined beside them; a quarter of the memory at most.
_HELD_PAIR_BYTES = 128

#: What ``fetch`` returns: the texts at the indexes asked for, in that order.
Texts = Sequence[str | bytes | bytearray]


def _save_run(directory: str | None, array: np.ndarray) -> BinaryIO:
    """The array in a temporary file without a name: nothing is left behind, whatever ends
    the run (a SIGKILL too)."""
    f = tempfile.TemporaryFile(dir=directory, prefix="veltrane-bands-")
    try:
        np.ascontiguousarray(array).tofile(f)
        f.flush()
    except BaseException:
        f.close()
        raise
    return f


class _RunBand:
    """One band of a run on disk, read a slice at a time: plain reads rather than a memory map,
    so that the pages read count in no one's resident memory once they are used."""

    def __init__(self, file: BinaryIO, dtype: type, band: int, length: int) -> None:
        self.fd, self.dtype, self.length = file.fileno(), np.dtype(dtype), length
        self.base = band * length

    def __len__(self) -> int:
        return self.length

    def __getitem__(self, part: slice) -> np.ndarray:
        start, stop, _ = part.indices(self.length)
        size = self.dtype.itemsize
        count = max(stop - start, 0)
        data = os.pread(self.fd, count * size, (self.base + start) * size)
        if len(data) != count * size:
            raise OSError(f"a band run ended early ({len(data)} of {count * size} bytes)")
        return np.frombuffer(data, self.dtype)


class BandRuns:
    """The band hashes of signatures added batch by batch (``add``), held in at most
    ``memory`` bytes: over it, the buffer is sorted band by band and written as a run to
    unnamed temporary files in ``tmp_dir`` (default: the system's), closed by ``close``.

    After the last batch, ``finish`` gives each text's lowest index with the same signature,
    and ``candidates`` yields the pairs of texts whose bands agree, band by band.
    """

    def __init__(
        self, bands: int, rows: int, *, memory: int, tmp_dir: str | os.PathLike | None = None
    ) -> None:
        #: LSH bands per signature.
        self.bands = _args.positive(bands, "bands")
        #: Signature values per band.
        self.rows = _args.positive(rows, "rows")
        #: Bytes of band entries held before a sorted run is written to disk.
        self.memory = _args.positive(memory, "memory")
        self._tmp_dir = None if tmp_dir is None else os.fspath(tmp_dir)
        self._n = 0
        self._buffer: list[np.ndarray] = []  # (bands, m) keys of each buffered batch
        self._buffered = 0  # texts in the buffer
        self._buffer_start = 0
        self._runs: list[tuple[BinaryIO, BinaryIO, int]] = []  # keys, docs, texts
        self._row_keys: list[np.ndarray] = []
        self._reps: np.ndarray | None = None

    def __enter__(self) -> BandRuns:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    def close(self) -> None:
        """Removes the runs from disk."""
        for keys, docs, _ in self._runs:
            keys.close()
            docs.close()
        self._runs.clear()

    @property
    def n(self) -> int:
        """How many texts' signatures were added."""
        return self._n

    @property
    def spilled(self) -> int:
        """How many runs were written to disk."""
        return len(self._runs)

    def add(self, signatures: np.ndarray) -> None:
        """Adds the signatures of the next texts (a two-dimensional ``uint32``/``uint64``
        array, one row a text, at least ``bands * rows`` wide)."""
        if self._reps is not None:
            raise RuntimeError("add after finish")
        sig = np.asarray(signatures)
        if sig.ndim != 2 or sig.dtype not in (np.uint32, np.uint64):
            raise TypeError("signatures must be a two-dimensional uint32 or uint64 array")
        if sig.shape[1] < self.bands * self.rows:
            raise ValueError(
                f"signatures of {sig.shape[1]} values cannot be cut into {self.bands} bands "
                f"of {self.rows} rows"
            )
        m = sig.shape[0]
        need = m * self.bands * _ENTRY_BYTES * _SORT_COPIES
        if need > self.memory:
            raise ValueError(
                f"memory limit of {self.memory} bytes is below what one batch of {m} "
                f"signatures needs ({need} bytes at {self.bands} bands); give more memory "
                "or smaller batches"
            )
        if (self._buffered + m) * self.bands * _ENTRY_BYTES * _SORT_COPIES > self.memory:
            self._spill()
        self._buffer.append(band_keys(sig, self.bands, self.rows))
        self._row_keys.append(row_keys(sig))
        self._buffered += m
        self._n += m

    def _sorted_buffer(self) -> tuple[np.ndarray, np.ndarray]:
        keys = (
            np.concatenate(self._buffer, axis=1)
            if self._buffer
            else np.empty((self.bands, 0), np.uint64)
        )
        docs = np.arange(self._buffer_start, self._buffer_start + keys.shape[1], dtype=np.int64)
        return sort_bands(keys, docs)

    def _spill(self) -> None:
        if not self._buffered:
            return
        keys, docs = self._sorted_buffer()
        self._buffer.clear()
        try:
            keys_file = _save_run(self._tmp_dir, keys)
            try:
                docs_file = _save_run(self._tmp_dir, docs)
            except BaseException:
                keys_file.close()
                raise
        except OSError as e:
            where = self._tmp_dir or tempfile.gettempdir()
            self.close()
            raise OSError(e.errno, f"writing band runs to {where}: {e.strerror or e}") from e
        self._runs.append((keys_file, docs_file, keys.shape[1]))
        self._buffer_start += self._buffered
        self._buffered = 0

    def finish(self) -> np.ndarray:
        """For each text added, the lowest index of a text with the same signature (int64):
        the object's own array, which it reads no more once made."""
        if self._reps is None:
            if self._runs:
                self._spill()
            keys = np.concatenate(self._row_keys) if self._row_keys else np.empty(0, np.uint64)
            self._row_keys.clear()
            order = np.argsort(keys, kind="stable")
            ordered = keys[order]
            head = np.ones(len(keys), dtype=bool)
            head[1:] = ordered[1:] != ordered[:-1]
            firsts = order[np.maximum.accumulate(np.where(head, np.arange(len(keys)), 0))]
            reps = np.empty(len(keys), dtype=np.int64)
            reps[order] = firsts
            self._reps = reps
        return self._reps

    def candidates(
        self, distinct: np.ndarray | None = None
    ) -> Iterator[tuple[int, np.ndarray, np.ndarray]]:
        """``(band, i, j)``: pairs of texts, i < j, whose hashes of that band agree, among the
        texts where ``distinct`` (a boolean mask over all texts) is true. A pair appears once
        a band, in every band it agrees on; each band's pairs may come in several parts."""
        self.finish()
        if distinct is None:
            distinct = np.ones(self._n, dtype=bool)
        in_memory = None if self._runs else self._sorted_buffer()
        block = max(1, self.memory // (_ENTRY_BYTES * _SORT_COPIES * 2 * max(self.spilled, 1)))
        sizes = [m for _, _, m in self._runs] if in_memory is None else [self._n]
        firsts = np.concatenate([[0], np.cumsum(sizes)[:-1]]).astype(np.int64)
        for band in range(self.bands):
            runs: list = (
                [
                    (
                        _RunBand(keys_file, np.uint64, band, m),
                        _RunBand(docs_file, np.int64, band, m),
                    )
                    for keys_file, docs_file, m in self._runs
                ]
                if in_memory is None
                else [(in_memory[0][band], in_memory[1][band])]
            )
            for i, j in _merge_band(runs, block, distinct, firsts):
                yield band, i, j


def _merge_band(
    runs: list[tuple[Any, Any]], block: int, distinct: np.ndarray, firsts: np.ndarray
) -> Iterator[tuple[np.ndarray, np.ndarray]]:
    """The pairs of equal keys of one band's sorted runs, merged ``block`` entries of each run
    at a time; ``firsts`` holds the first text of each run (runs hold consecutive texts).

    What is held back of a run (keys not yet complete in every run) goes before that run's
    next block: each run's part is then a piece of that run, in (key, text) order, and the
    runs' texts increase from one to the next, so a stable sort by key alone (timsort, merging
    the presorted parts) leaves the texts of equal keys in order without sorting them."""
    at = [0] * len(runs)
    empty = (np.empty(0, np.uint64), np.empty(0, np.int64))
    carry = [empty] * len(runs)
    while True:
        parts_k, parts_d = [], []
        bound: int | None = None  # keys below it are complete
        for r, (keys, docs) in enumerate(runs):
            parts_k.append(carry[r][0])
            parts_d.append(carry[r][1])
            if at[r] >= len(keys):
                continue
            end = min(at[r] + block, len(keys))
            k = np.asarray(keys[at[r] : end])
            parts_k.append(k)
            parts_d.append(np.asarray(docs[at[r] : end]))
            if end < len(keys):
                last = int(k[-1])
                bound = last if bound is None else min(bound, last)
            at[r] = end
        keys = np.concatenate(parts_k)
        docs = np.concatenate(parts_d)
        live = distinct[docs]
        keys, docs = keys[live], docs[live]
        if len(runs) > 1:
            order = np.argsort(keys, kind="stable")
            keys, docs = keys[order], docs[order]
        done = len(keys) if bound is None else int(np.searchsorted(keys, bound, "left"))
        i, j = _equal_key_pairs(keys[:done], docs[:done])
        if len(i):
            yield i, j
        rest_k, rest_d = keys[done:], docs[done:]
        if len(runs) == 1:
            carry = [(rest_k, rest_d)]
        else:
            of = np.searchsorted(firsts, rest_d, "right") - 1
            carry = [(rest_k[of == r], rest_d[of == r]) for r in range(len(runs))]
        if bound is None:
            return


def _equal_key_pairs(keys: np.ndarray, docs: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Every pair of positions with equal keys, as docs (docs increase within equal keys)."""
    same = keys[1:] == keys[:-1]
    pos = np.flatnonzero(same)  # positions whose next entry has the same key
    if not len(pos):
        empty = np.empty(0, np.int64)
        return empty, empty
    group = np.concatenate([[0], np.cumsum(~same)])
    i_parts, j_parts = [], []
    step = 1
    while len(pos):
        i_parts.append(docs[pos])
        j_parts.append(docs[pos + step])
        step += 1
        pos = pos[pos + step < len(keys)]
        pos = pos[group[pos + step] == group[pos]]
    return np.concatenate(i_parts), np.concatenate(j_parts)


def _gathered(
    parts: Iterator[tuple[int, np.ndarray, np.ndarray]], n: int, most: int, held_most: int
) -> Iterator[tuple[np.ndarray, np.ndarray]]:
    """The candidates of every band in parts of at most ``most`` pairs, ordered by (i, j).
    Pairs are held, each once, up to ``held_most`` of them: a pair of near duplicates agrees
    on many bands, and verified a part of one band at a time it was verified, and its texts
    re-read, once for each (seven times over on generated corpora)."""
    held: list[np.ndarray] = []
    count = 0
    width = np.int64(max(n, 1))

    def parts_of(both: np.ndarray) -> Iterator[tuple[np.ndarray, np.ndarray]]:
        for start in range(0, len(both), most):
            part = both[start : start + most]
            yield part // width, part % width

    for _, i, j in parts:
        held.append(i * width + j)
        count += len(i)
        if count >= held_most:
            both = np.unique(np.concatenate(held))
            held, count = [both], len(both)
            # Still many once each: those are verified, and the next bands' start afresh.
            if count >= held_most // 2:
                yield from parts_of(both)
                held, count = [], 0
    if held:
        yield from parts_of(np.unique(np.concatenate(held)))


def search_out_of_core(
    batches: Iterable[Texts],
    fetch: Callable[[np.ndarray], Texts],
    params: JaccardParams,
    memory: int,
    tmp_dir: str | os.PathLike | None = None,
    threads: int | None = None,
) -> Found:
    """The Jaccard search within ``memory`` bytes, as
    :func:`near_duplicate_pairs_jaccard_out_of_core` describes it, its result before pairs
    are expanded: the same :class:`~veltrane.search.jaccard.Found` as the search in memory.
    ``fetch(indices)`` gives the texts of those numbers again (a texts-by-number reader's
    ``take``)."""
    threshold, wordless, ngram = params.threshold, params.wordless, params.ngram
    num_perm, seed = params.num_perm, params.seed
    nthreads = _args.threads(threads)
    bands, rows = params.banding()

    def sets(ids: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        texts = fetch(ids)
        if len(texts) != len(ids):
            raise ValueError(f"fetch returned {len(texts)} texts for {len(ids)} indexes")
        return shingle_sets(texts, ngram, nthreads)

    with BandRuns(bands, rows, memory=memory, tmp_dir=tmp_dir) as runs:
        blanks = []
        for batch in batches:
            sig = minhash_signatures(batch, num_perm, ngram=ngram, seed=seed, threads=nthreads)
            if wordless == "apart":
                blanks.append(runs.n + without_shingles(batch, sig, ngram, nthreads))
            runs.add(sig)
            del sig
        n = runs.n
        # Changed in place: the runs need it no more.
        reps = runs.finish()
        # As in memory: copies by signature are split by their shingle sets.
        shared = np.flatnonzero(np.bincount(reps, minlength=n)[reps] > 1)
        chunk = max(2, min(_REREAD_TEXTS, memory // _TEXT_BYTES))
        shared = shared[np.argsort(reps[shared], kind="stable")]  # each group together
        start = 0
        while start < len(shared):
            end = min(start + chunk, len(shared))
            while end < len(shared) and reps[shared[end]] == reps[shared[end - 1]]:
                end += 1
            part = np.sort(shared[start:end])
            offsets, values = sets(part)
            reps[part] = _native.jaccard_group_sets(part, reps[part], offsets, values)
            start = end
        blank = np.concatenate(blanks) if blanks else np.empty(0, np.int64)
        # Each its own group, and searched with nothing.
        reps[blank] = blank
        distinct = reps == np.arange(n)
        distinct[blank] = False
        found_i, found_j, found_s = [], [], []
        # One array of n for every part: allocating it anew each time grew the heap.
        slot = np.full(n, -1, dtype=np.int64)
        pairs_held = max(chunk, memory // _HELD_PAIR_BYTES)
        for i, j in _gathered(runs.candidates(distinct), n, chunk // 2, pairs_held):
            needed = np.union1d(i, j)
            offsets, values = sets(needed)
            slot[needed] = np.arange(len(needed))
            sims = _native.jaccard_verify_exact(i, j, slot, offsets, values, nthreads)
            slot[needed] = -1
            keep = sims >= threshold
            found_i.append(i[keep])
            found_j.append(j[keep])
            found_s.append(sims[keep])
    i = np.concatenate(found_i) if found_i else np.empty(0, np.int64)
    j = np.concatenate(found_j) if found_j else np.empty(0, np.int64)
    s = np.concatenate(found_s) if found_s else np.empty(0, np.float64)
    # A pair agreeing on several bands was verified in each; sorted by (i, j), once.
    _, first = np.unique(i * max(n, 1) + j, return_index=True)
    return Found(n, bands, rows, reps, i[first], j[first], s[first], blank)


def near_duplicate_pairs_jaccard_out_of_core(
    batches: Iterable[Texts],
    fetch: Callable[[np.ndarray], Texts],
    threshold: float = DEFAULT_THRESHOLD,
    *,
    memory: int,
    tmp_dir: str | os.PathLike | None = None,
    bands: int | None = None,
    rows: int | None = None,
    ngram: int = DEFAULT_NGRAM,
    num_perm: int = DEFAULT_NUM_PERM,
    seed: int = 0,
    threads: int | None = None,
    wordless: Wordless = "copies",
) -> np.ndarray:
    """The pairs of :func:`veltrane.near_duplicate_pairs_jaccard` (exact verification) over the
    texts of ``batches`` taken one after another, band hashes held within ``memory`` bytes
    and spilled beyond it to a temporary directory in ``tmp_dir``.

    ``fetch(indexes)`` re-reads texts: given an increasing int64 array of indexes into the
    whole input, it returns those texts in that order (a second pass over the input).
    ValueError when one batch alone needs more than ``memory``; an OSError writing the runs
    (a full disk) removes them and propagates, the input untouched. ``wordless`` as for
    :func:`veltrane.near_duplicate_pairs_jaccard`.
    """
    params = JaccardParams(threshold, ngram, num_perm, bands, rows, seed, wordless=wordless)
    found = search_out_of_core(batches, fetch, params, memory, tmp_dir, threads)
    return _native.jaccard_expand(
        found.reps, found.i, found.j, found.similarity, JACCARD_PAIR_DTYPE
    )


def near_duplicate_clusters_jaccard_out_of_core(
    batches: Iterable[Texts],
    fetch: Callable[[np.ndarray], Texts],
    threshold: float = DEFAULT_THRESHOLD,
    *,
    memory: int,
    tmp_dir: str | os.PathLike | None = None,
    bands: int | None = None,
    rows: int | None = None,
    ngram: int = DEFAULT_NGRAM,
    num_perm: int = DEFAULT_NUM_PERM,
    seed: int = 0,
    threads: int | None = None,
    wordless: Wordless = "copies",
) -> np.ndarray:
    """The clusters of :func:`veltrane.near_duplicate_clusters_jaccard`, within ``memory``
    as :func:`near_duplicate_pairs_jaccard_out_of_core` says."""
    params = JaccardParams(threshold, ngram, num_perm, bands, rows, seed, wordless=wordless)
    found = search_out_of_core(batches, fetch, params, memory, tmp_dir, threads)
    return found.labels()
