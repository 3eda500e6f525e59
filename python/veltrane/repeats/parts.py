"""Repeats found a part at a time, for a corpus whose tables do not fit in a bound on memory.

Equal lines, paragraphs or windows of words have equal keys, so splitting the keys into parts
splits the search: a pass over the corpus that looks up and keeps only the units of one part
finds every repeat of that part, and the cuts of all passes, joined where they touch, are the
cuts of one search in memory. Each pass writes its cuts to a file, in corpus order; they are
read back together, a batch of texts at a time, as the corpus is read once more to be written.

The number of parts is found by trying: a pass whose tables pass the bound stops at once, and
the search starts again with as many more parts as the share of the corpus it had read says.
"""

from __future__ import annotations

import math
import os
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import Future, ThreadPoolExecutor
from typing import BinaryIO

import numpy as np

from .. import _native
from ..corpus import Corpus, CorpusError, Records
from ..corpus.readers import BLOCK_SIZE

# What the process needs beside the tables: the interpreter, batches read ahead, the texts'
# places. The tables get the rest of the bound, and at least half of it.
_BESIDE = 384 << 20
# Parts past which a search would read the corpus too many times to be of use.
_MOST_PARTS = 256
# Rows of cuts read from a pass's file at a time.
_READ_ROWS = 1 << 16
#: Input bytes a batch of a search for spans holds. Its words and their windows' keys take 16
#: bytes a word, about 2.5 times its text, and a batch is held twice (one searched, one read
#: ahead): at the readers' 32 MiB that was 146 MB of the peak RSS of a span search of the
#: 1.08 GB generated corpus. 8 MiB measured as fast.
SPAN_BLOCK = 8 << 20


def block_size(span: bool) -> int:
    """The input bytes a batch of a search reads: fewer for spans (see SPAN_BLOCK)."""
    return SPAN_BLOCK if span else BLOCK_SIZE


def table_limit(memory: int) -> int:
    """The bytes the tables of one pass may take under a bound of ``memory`` on the process."""
    return max(memory // 2, memory - _BESIDE)


class _CutsOut:
    """A pass's cuts, as rows of (text, start, end, first_text, first_at) int64."""

    def __init__(self, path: str) -> None:
        self._file: BinaryIO = open(path, "wb")

    def add(self, first: int, rows: np.ndarray, offsets: np.ndarray) -> None:
        if not len(rows):
            return
        texts = np.repeat(np.arange(first, first + len(offsets) - 1), np.diff(offsets))
        np.column_stack([texts, rows]).astype(np.int64, copy=False).tofile(self._file)

    def close(self) -> None:
        self._file.close()


class _CutsIn:
    """The rows of a pass's file, handed out by text in order."""

    def __init__(self, path: str) -> None:
        self._file: BinaryIO = open(path, "rb")
        self._rows = np.empty((0, 5), np.int64)
        self._ended = False

    def before(self, end: int) -> np.ndarray:
        """The rows of texts before ``end`` not handed out yet."""
        while not self._ended and (not len(self._rows) or self._rows[-1, 0] < end):
            more = np.fromfile(self._file, np.int64, 5 * _READ_ROWS).reshape(-1, 5)
            self._ended = len(more) < _READ_ROWS
            self._rows = np.concatenate([self._rows, more])
        k = int(np.searchsorted(self._rows[:, 0], end))
        taken, self._rows = self._rows[:k], self._rows[k:]
        return taken

    def close(self) -> None:
        self._file.close()


def text_shift(n: int, longest: int) -> np.int64:
    """A step that puts byte ``longest`` of each of ``n`` texts before byte 0 of the next in
    one int64 number line."""
    shift = longest + 1
    if n * shift >= 1 << 62:
        raise OverflowError(f"{n} texts of up to {longest} bytes do not fit one int64 line")
    return np.int64(shift)


def joined(rows: np.ndarray, first: int, n: int) -> tuple[np.ndarray, np.ndarray]:
    """Rows (text, start, end, first_text, first_at) of the texts [first, first + n), from
    several passes, as one search would have cut them: by text and start, those that touch
    or overlap joined into one named by its first; as (m, 4) rows and n + 1 offsets."""
    if not len(rows):
        return np.empty((0, 4), np.int64), np.zeros(n + 1, np.int64)
    text = rows[:, 0] - first
    rows = rows[np.lexsort((rows[:, 1], text))]
    text = rows[:, 0] - first
    # One running maximum over every text: each text's ends shifted past all before it.
    shift = text_shift(n, int(rows[:, 2].max()))
    start, end = rows[:, 1] + text * shift, rows[:, 2] + text * shift
    reach = np.maximum.accumulate(end)
    opens = np.ones(len(rows), dtype=bool)
    opens[1:] = start[1:] > reach[:-1]
    heads = np.flatnonzero(opens)
    out = rows[heads, 1:].copy()
    out[:, 1] = reach[np.append(heads[1:], len(rows)) - 1] - text[heads] * shift
    offsets = np.searchsorted(text[heads], np.arange(n + 1))
    return out, offsets.astype(np.int64)


class PartSearch:
    """The passes of one search: ``finder(parts, part)`` makes a pass's finder (a
    RepeatFinder), ready but for its words' file, ``located(batch)`` gives a batch's places
    for it (or None). ``prime(finder, parts)``, when given, is called on each pass's finder
    before it reads the corpus (spans: the words of earlier runs, the same every pass);
    ``last`` is then the last pass's finder, kept until :meth:`close`."""

    def __init__(
        self,
        corpus: Corpus,
        finder: Callable[[int, int], _native.RepeatFinder],
        located: Callable[[Records], np.ndarray | None],
        *,
        memory: int,
        threads: int,
        span: bool,
        directory: str,
        total: int | None,
        progress: Callable[[str, int, int | None], None] | None,
        prime: Callable[[_native.RepeatFinder, int], None] | None = None,
    ) -> None:
        self._corpus, self._finder, self._located = corpus, finder, located
        self._prime = prime
        self.last: _native.RepeatFinder | None = None
        self._limit = table_limit(memory)
        self._memory, self._threads, self._span = memory, threads, span
        self._directory, self._total, self._progress = directory, total, progress
        self._files: list[str] = []
        self._open: list[_CutsIn] = []

    def run(self) -> None:
        """Every pass, with as many parts as it takes."""
        parts = 1
        while True:
            done = self._passes(parts)
            if done is None:
                return
            # The tables grew to the limit at this share of the corpus: as many parts again
            # as that share goes into the whole, and a quarter more.
            share = done / self._total if self._total else 0.0
            more = math.ceil(parts / share * 1.25) if share > 0 else 4 * parts
            parts = max(2 * parts, more)
            if parts > _MOST_PARTS:
                raise CorpusError(
                    f"the repeats' tables do not fit in {self._memory >> 20} MiB even in "
                    f"{_MOST_PARTS} passes: give --memory more"
                )

    def _passes(self, parts: int) -> int | None:
        """The passes over ``parts`` parts; None when they all fit, else the bytes read when
        one did not."""
        self._files = [os.path.join(self._directory, f"cuts-{k}") for k in range(parts)]
        words = os.path.join(self._directory, "words")
        for part in range(parts):
            finder = self._finder(parts, part)
            finder.limit_memory(self._limit)
            if self._span:
                finder.keep_words_in(words, part == 0)
            if self._prime is not None:
                try:
                    self._prime(finder, parts)
                except MemoryError:
                    return 0  # the earlier runs alone pass the bound: no share to go by
            out = _CutsOut(self._files[part])
            try:
                done = self._pass(finder, out, f"reading (pass {part + 1} of {parts})")
            finally:
                out.close()
            if done is not None:
                return done
            if self._span and part == 0:
                finder.finish_words()  # the passes after read them
            if self._prime is not None and part == parts - 1:
                self.last = finder
            del finder
        return None

    def _pass(self, finder, out: _CutsOut, stage: str) -> int | None:
        first = done = 0
        with ThreadPoolExecutor(1) as pool:

            def start(batch: Records) -> Future:
                return pool.submit(finder.add, batch.texts, self._threads, self._located(batch))

            try:
                for batch, found in one_ahead(
                    self._corpus.batches(block_size=block_size(self._span)), start
                ):
                    done += batch_bytes(batch)  # read, if not yet searched when too many
                    out.add(first, *found.result())
                    first += len(batch.texts)
                    if self._progress is not None:
                        self._progress(stage, done, self._total)
                    del batch, found  # before the next is read: two batches held, not three
            except MemoryError:
                return max(done, 1)
        return None

    def reader(self) -> Callable[[Records], tuple[np.ndarray, np.ndarray]]:
        """A function that gives each batch of the corpus read again, in order, its joined
        cuts in bytes as (rows, offsets). Its files stay open until the search is closed."""
        files = [_CutsIn(f) for f in self._files]
        self._open = files
        first = 0

        def of(batch: Records) -> tuple[np.ndarray, np.ndarray]:
            nonlocal first
            n = len(batch.texts)
            rows = np.concatenate([f.before(first + n) for f in files])
            found = joined(rows, first, n)
            first += n
            if self._span and len(found[0]):
                return _native.place_runs(batch.texts, *found)
            return found

        return of

    def close(self) -> None:
        """Closes the files :meth:`reader` opened."""
        for f in self._open:
            f.close()
        self.last = None


def batch_bytes(batch: Records) -> int:
    """The bytes of input a batch took: its lines, or its texts when it has no spans."""
    if batch.spans is not None:
        return int(batch.spans[:, 1].sum())
    return sum(len(t) for t in batch.texts)


def one_ahead[T](items: Iterable[T], start: Callable[[T], Future]) -> Iterator[tuple[T, Future]]:
    """Each item with the future of its work, handed out only once the next item's work has
    started: the finder works on one batch while the one before is used."""
    pending: tuple[T, Future] | None = None
    for item in items:
        started = start(item)
        if pending is not None:
            yield pending
        pending = (item, started)
    if pending is not None:
        yield pending
