"""A lasting index of repeats: the digests (:mod:`veltrane.sketch.digest`) of the lines or
paragraphs earlier runs saw first, each with where it was, or for spans the word hashes of
earlier runs' texts, in a directory.

A unit of a later run whose digest the index holds occurred earlier in the corpus, and is cut.
For spans, a later run's search starts from the windows of the texts the index holds, as if
those texts came first in its corpus, and compares its windows with them word by word as with
its own. Each run adds one segment: its units' digests sorted (or its texts' words end to end,
with where each text's begin), in files written whole under a temporary name and renamed, and
the names of their texts beside it; the segment counts once a
SQLite catalogue (WAL, synchronous FULL) lists it, in the run's one transaction. A process
killed at any moment leaves the index as before or after the run. The index records its unit
and normalisation and refuses others, and refuses a directory that holds another kind of
index.
"""

from __future__ import annotations

import os
import sqlite3
from collections.abc import Callable, Iterator, Sequence
from contextlib import contextmanager
from pathlib import Path

import numpy as np

from .. import _native
from ..search import catalogue
from ..search.catalogue import (
    check_format,
    connect,
    damage_reported,
    database_error,
    fsync_dir,
    save_array,
    write_transaction,
)
from ..sketch.digest import empty_digest, text_digests
from .parts import joined, text_shift

#: The format version this release writes and reads.
VERSION = 1
#: Words of an earlier run primed at once: 64 MiB of them.
_PRIMED_WORDS = 1 << 23
#: Words of a window with ``unit="span"``, unless said.
DEFAULT_MIN_WORDS = 50


class _Segment:
    """One run's units: columns d0, d1, text, at (int64, each contiguous for searchsorted),
    sorted by digest, read from a memory map; for spans, where each text's words begin in
    ``words`` (with the end last); and the names of its texts (numbered from ``first``), read
    when first asked for."""

    def __init__(self, directory: Path, seg: int, first: int) -> None:
        self.columns = np.load(directory / f"seg-{seg}.npy", mmap_mode="r")
        self._words_path = directory / f"seg-{seg}.words"
        self.first = first
        self._names_path = directory / f"seg-{seg}.places"
        self._names: list[str] | None = None

    def name(self, text: int) -> str:
        if self._names is None:
            self._names = self._names_path.read_text(encoding="utf-8").splitlines()
        return self._names[text - self.first]

    def words(self, start: int, stop: int) -> np.ndarray:
        """Word hashes [start, stop) of the segment's texts, end to end (spans), read from the
        file: not mapped, so that they leave the process's memory once primed."""
        with open(self._words_path, "rb") as f:
            f.seek(start * 8)
            got = np.fromfile(f, dtype=np.uint64, count=stop - start)
        if len(got) != stop - start:
            raise ValueError("a segment's words are cut short")
        return got


class RepeatIndex:
    """The units kept by earlier runs of :func:`veltrane.remove_repeats`, in the directory
    ``path`` (made when missing).

    A new index takes ``unit`` (``"line"``, ``"paragraph"`` or ``"span"``), ``normalize``
    (``"words"`` or ``"none"``; spans always compare words) and, for spans, ``min_words``, and
    keeps them; an existing one is opened with its own, and a value given that differs raises
    ValueError. A directory that is not a repeats index (another kind of
    index among them), or a damaged one, raises ValueError; a full disk raises an OSError that
    says "No space left on device" and leaves the index as it was. One object is not for
    several threads at once.
    """

    def __init__(
        self,
        path: str | os.PathLike[str],
        *,
        unit: str | None = None,
        normalize: str | None = None,
        min_words: int | None = None,
    ) -> None:
        self._path = Path(path)
        self._db = connect(self._path, "a repeats index")
        try:
            self._unit, self._normalize, self._min_words = self._open(unit, normalize, min_words)
        except sqlite3.DatabaseError as e:
            self._db.close()
            raise database_error(self._path, e, "not a repeats index or damaged") from None
        except BaseException:
            self._db.close()
            raise
        self._in_batch = False
        self._segments: list[_Segment] = []
        self._first_new = 0
        self._new: list[np.ndarray] = []
        self._names: list[str] = []
        self._words: tuple[int, np.ndarray] | None = None

    def _open(
        self, unit: str | None, normalize: str | None, min_words: int | None
    ) -> tuple[str, str, int | None]:
        if unit == "span":
            if normalize not in (None, "words"):
                raise ValueError("spans compare words: normalize must be 'words'")
        elif min_words is not None:
            raise ValueError("min_words is for spans")
        db = self._db
        with write_transaction(db, self._path):
            tables = {r[0] for r in db.execute("SELECT name FROM sqlite_master")}
            if not tables:
                made = (unit or "line", normalize or "words")
                span = made[0] == "span"
                words = (min_words or DEFAULT_MIN_WORDS) if span else None
                db.execute("CREATE TABLE meta (name TEXT PRIMARY KEY, value) WITHOUT ROWID")
                # A segment's texts are numbered on from those of the segments before it.
                db.execute(
                    "CREATE TABLE segments (seg INTEGER PRIMARY KEY, units INTEGER NOT NULL, "
                    "texts INTEGER NOT NULL)"
                )
                db.executemany(
                    "INSERT INTO meta VALUES (?, ?)",
                    [
                        ("format", catalogue.REPEATS_FORMAT),
                        ("version", VERSION),
                        ("unit", made[0]),
                        ("normalize", made[1]),
                        *([("min_words", words)] if span else []),
                    ],
                )
                return made[0], made[1], words
            meta = dict(db.execute("SELECT name, value FROM meta")) if "meta" in tables else {}
        check_format(self._path, meta, catalogue.REPEATS_FORMAT, VERSION)
        asked = {"unit": unit, "normalize": normalize, "min_words": min_words}
        meta.setdefault("min_words", None)
        differ = [
            f"{k}={v!r} (built with {meta[k]!r})"
            for k, v in asked.items()
            if v is not None and v != meta[k]
        ]
        if differ:
            raise ValueError(
                f"{self._path}: the index was built with other parameters: {', '.join(differ)}"
            )
        return meta["unit"], meta["normalize"], meta["min_words"]

    @property
    def path(self) -> Path:
        """The index directory."""
        return self._path

    @property
    def unit(self) -> str:
        """``"line"``, ``"paragraph"`` or ``"span"``."""
        return self._unit

    @property
    def min_words(self) -> int | None:
        """Words of a window, for spans; else None."""
        return self._min_words

    @property
    def normalize(self) -> str:
        """What makes two units equal: ``"words"`` or ``"none"``."""
        return self._normalize

    def __len__(self) -> int:
        """Units held, or for spans words."""
        (n,) = self._db.execute("SELECT coalesce(sum(units), 0) FROM segments").fetchone()
        return n

    def close(self) -> None:
        """Closes the index; every committed batch is already on disk."""
        self._segments = []
        self._db.close()

    def __enter__(self) -> RepeatIndex:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    @contextmanager
    def batch(self) -> Iterator[RepeatIndex]:
        """A ``with`` block whose adds become one segment when it ends without an error, and
        are dropped when it raises. It holds the write lock from its start, so that what it
        queries stays as it is: another writer waits up to a minute, then raises
        TimeoutError."""
        if self._in_batch:
            raise RuntimeError("batches do not nest")
        self._in_batch = True
        try:
            with write_transaction(self._db, self._path):
                with damage_reported(self._path):
                    self._load()
                yield self
                with damage_reported(self._path):
                    self._write()
        finally:
            self._in_batch = False
            self._new, self._names, self._words = [], [], None

    def _load(self) -> None:
        # The texts of each segment numbered on from those before; this run's after them all.
        self._segments, self._first_new = [], 0
        for seg, texts in self._db.execute("SELECT seg, texts FROM segments ORDER BY seg"):
            self._segments.append(_Segment(self._path, seg, self._first_new))
            self._first_new += texts

    def _next_segment(self) -> int:
        (seg,) = self._db.execute("SELECT coalesce(max(seg), -1) + 1 FROM segments").fetchone()
        return seg

    def _write(self) -> None:
        if self._words is not None:
            seg, starts = self._words
            # The words are already under their temporary name (add_words).
            self._publish(seg, starts, int(starts[-1]), [".words"])
            return
        if not self._new:
            return
        rows = np.concatenate(self._new)
        rows = rows[np.lexsort((rows[:, 1], rows[:, 0]))]
        # A digest added twice keeps its first (lowest) text; lexsort kept their order.
        same = np.zeros(len(rows), dtype=bool)
        same[1:] = (rows[1:, 0] == rows[:-1, 0]) & (rows[1:, 1] == rows[:-1, 1])
        rows = rows[~same]
        self._publish(self._next_segment(), np.ascontiguousarray(rows.T), len(rows), [])

    def _publish(self, seg: int, columns: np.ndarray, units: int, written: list[str]) -> None:
        """Makes segment ``seg`` of ``columns``, the batch's names and the files with the
        suffixes ``written`` already under their temporary names, and lists it."""
        # Written whole and renamed before the catalogue names them: a file left by a killed
        # run is named by no segment, and the next run writes over it.
        for suffix, write in (
            (".npy", lambda p: save_array(p, columns)),
            (".places", lambda p: _save_text(p, "".join(n + "\n" for n in self._names))),
        ):
            write(self._path / f".seg-{seg}{suffix}")
            written.append(suffix)
        for suffix in written:
            os.replace(self._path / f".seg-{seg}{suffix}", self._path / f"seg-{seg}{suffix}")
        fsync_dir(self._path)
        self._db.execute("INSERT INTO segments VALUES (?, ?, ?)", (seg, units, len(self._names)))

    def word_segments(self) -> Iterator[tuple[np.ndarray, np.ndarray, int]]:
        """For spans, inside :meth:`batch`: the texts of earlier runs, in the order of the
        runs, as pieces of (their word hashes end to end, where each text's begin there with
        the end last, the number of the first), each of some MiB but for a longer text."""
        if self._unit != "span":
            raise ValueError("the index holds no spans")
        for segment in self._segments:
            starts = np.asarray(segment.columns, dtype=np.int64)
            if starts.ndim != 1 or not len(starts) or starts[0] != 0:
                raise ValueError(f"{self._path}: damaged index (a segment's words)")
            a = 0
            while a + 1 < len(starts):
                b = int(np.searchsorted(starts, starts[a] + _PRIMED_WORDS, side="right")) - 1
                b = min(max(b, a + 1), len(starts) - 1)
                with damage_reported(self._path):
                    try:
                        words = segment.words(int(starts[a]), int(starts[b]))
                    except ValueError as e:
                        raise ValueError(f"{self._path}: damaged index ({e})") from None
                yield words, starts[a : b + 1] - starts[a], segment.first + a
                a = b

    def add_words(
        self,
        save: Callable[[str], tuple[np.ndarray, np.ndarray]],
        names: Callable[[np.ndarray], list[str]],
    ) -> None:
        """For spans, inside :meth:`batch`, once: ``save(path)`` writes this run's word hashes
        to the file ``path`` and returns the numbers of its texts there and where each one's
        words begin (with the end last); ``names(texts)`` names those texts. They become the
        batch's segment."""
        if not self._in_batch or self._unit != "span" or self._words is not None:
            raise RuntimeError("add_words goes once inside a batch of an index of spans")
        seg = self._next_segment()
        with damage_reported(self._path):
            texts, starts = save(os.fspath(self._path / f".seg-{seg}.words"))
        self._names = list(names(texts))
        if len(self._names) != len(texts):
            raise ValueError(f"{len(texts)} texts and {len(self._names)} names")
        if any("\n" in n for n in self._names):
            raise ValueError("a text's name holds no line break")
        self._words = (seg, np.asarray(starts, dtype=np.int64))

    def names(self, texts: np.ndarray) -> Sequence[str]:
        """The names an earlier run gave the texts numbered ``texts``, looked up when asked
        for."""
        return _Names(self, texts)

    def query(self, digests: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        """For each digest (a row of two ``uint64``), inside :meth:`batch`: the number of the
        text of the earliest indexed unit with it, or -1, and that unit's first byte there."""
        keys = _signed(digests)
        text = np.full(len(keys), -1, dtype=np.int64)
        at = np.zeros(len(keys), dtype=np.int64)
        for segment in self._segments:
            d0, d1, texts, starts = segment.columns
            left = np.flatnonzero(text < 0)
            if not len(d0) or not len(left):
                continue
            k = np.searchsorted(d0, keys[left, 0])
            # From each digest's first half on, the rows of that half (rarely more than one).
            while len(left):
                inside = k < len(d0)
                left, k = left[inside], k[inside]
                same = d0[k] == keys[left, 0]
                left, k = left[same], k[same]
                hit = d1[k] == keys[left, 1]
                text[left[hit]] = texts[k[hit]]
                at[left[hit]] = starts[k[hit]]
                left, k = left[~hit], k[~hit] + 1
        return text, at

    def name(self, text: int) -> str:
        """The name an earlier run gave the text numbered ``text`` by :meth:`query`."""
        for segment in reversed(self._segments):
            if text >= segment.first:
                return segment.name(text)
        raise IndexError(text)

    def add(self, digests: np.ndarray, texts: np.ndarray, at: np.ndarray) -> None:
        """Indexes the digests with where their units are, inside :meth:`batch`: ``texts``
        numbers the texts of this batch from 0, as :meth:`name_text` names them."""
        if not self._in_batch or self._unit == "span":
            raise RuntimeError("add goes inside a batch of an index of lines or paragraphs")
        keys = _signed(digests)
        if not len(keys) == len(texts) == len(at):
            raise ValueError(f"{len(keys)} digests, {len(texts)} texts and {len(at)} bytes")
        texts = np.asarray(texts, dtype=np.int64)
        if len(texts) and (texts.min() < 0 or texts.max() >= len(self._names)):
            raise ValueError("a text not named yet")
        self._new.append(
            np.column_stack([keys, texts + self._first_new, np.asarray(at, dtype=np.int64)])
        )

    def name_text(self, name: str) -> int:
        """Names the next text of this batch (a JSON fragment, as the spans of a cut name it);
        returns its number among them."""
        if "\n" in name:
            raise ValueError("a text's name holds no line break")
        self._names.append(name)
        return len(self._names) - 1


def _save_text(path: Path, text: str) -> None:
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
        f.flush()
        os.fsync(f.fileno())


def _signed(digests: np.ndarray) -> np.ndarray:
    d = np.ascontiguousarray(digests)
    if d.ndim != 2 or d.shape[1] != 2 or d.dtype != np.uint64:
        raise ValueError("digests must be uint64 of shape (n, 2)")
    return d.view(np.int64)


class _Names(Sequence[str]):
    """The names of the texts of a batch's cuts from the index, looked up when asked for."""

    def __init__(self, index: RepeatIndex, texts: np.ndarray) -> None:
        self._index, self._texts = index, texts

    def __len__(self) -> int:
        return len(self._texts)

    def __getitem__(self, j):  # type: ignore[override]
        return self._index.name(int(self._texts[j]))


class IndexedCuts:
    """The cuts of a run against an index: each batch's cuts from the run's own search,
    joined with those of the units the index holds (all their copies in the run, the first
    included), while the batch's first occurrences are added to the index.

    ``place(k)`` names the run's text number ``k`` as a cut's ``first_`` fields name it.
    """

    def __init__(self, index: RepeatIndex, place: Callable[[int], str], threads: int) -> None:
        self._index, self._place, self._threads = index, place, threads
        self._empty = empty_digest("words")

    def cuts(
        self, texts: Sequence[bytes], first: int, rows: np.ndarray, offsets: np.ndarray
    ) -> tuple[np.ndarray, np.ndarray, Sequence[str]]:
        """The cuts of ``texts`` (the run's texts from number ``first`` on), given the run's
        own ``rows`` and ``offsets`` for them: (rows, offsets) as :meth:`Repeats.cuts` gives
        them, but that a cut whose first occurrence is in the index has first_text -1 - j,
        with j its place in the names returned third."""
        n = len(texts)
        units, at = _native.repeat_units(texts, self._index.unit)
        owner = np.repeat(np.arange(n, dtype=np.int64), np.diff(at))
        pieces = [texts[t][s:e] for (s, e), t in zip(units[:, :2].tolist(), owner.tolist())]
        words = text_digests(pieces, normalize="words", threads=self._threads)
        worded = np.flatnonzero((words != self._empty).any(axis=1))
        if self._index.normalize != "words":
            words = text_digests(pieces, normalize="none", threads=self._threads)
        keys = words[worded]
        held, held_at = self._index.query(keys)
        hit = held >= 0
        # The run's own repeats: units whose bytes lie inside one of its cuts.
        longest = max(int(units[:, 3].max()) if len(units) else 0, max(map(len, texts), default=0))
        shift = text_shift(n, longest)
        text_of = np.repeat(np.arange(n, dtype=np.int64), np.diff(offsets))
        starts, ends = text_of * shift + rows[:, 0], text_of * shift + rows[:, 1]
        unit_starts = owner[worded] * shift + units[worded, 0]
        unit_ends = owner[worded] * shift + units[worded, 1]
        j = np.searchsorted(starts, unit_starts, side="right") - 1
        inside = (j >= 0) & (ends[np.maximum(j, 0)] >= unit_ends) if len(rows) else j >= 0
        new = ~hit & ~inside
        fresh = worded[new]
        if len(fresh):
            named = {
                k: self._index.name_text(self._place(first + k))
                for k in np.unique(owner[fresh]).tolist()
            }
            numbers = np.array([named[k] for k in owner[fresh].tolist()], dtype=np.int64)
            self._index.add(keys[new], numbers, units[fresh, 0])
        taken = worded[hit]
        from_index = np.column_stack(
            [
                owner[taken] + first,
                units[taken, 2],
                units[taken, 3],
                -1 - np.arange(len(taken), dtype=np.int64),
                held_at[hit],
            ]
        ).reshape(-1, 5)
        own = np.column_stack([text_of + first, rows]).reshape(-1, 5)
        # The index's rows first: a cut that starts where one of the run's does is named by
        # the earlier run's first occurrence (joined keeps the order of equal starts).
        joined_rows, joined_offsets = joined(np.concatenate([from_index, own]), first, n)
        return joined_rows, joined_offsets, _Names(self._index, held[hit])
