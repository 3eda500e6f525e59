"""Near duplicates by SimHash fingerprints: every pair within a Hamming distance (exact: none
missed, none over), clusters, and the fingerprints seen so far for streams."""

from __future__ import annotations

import os
import sqlite3
from collections.abc import Iterator

import numpy as np

from .. import _args, _native
from .._pairs import Progress, pair_batches, run_reporting
from ..defaults import DEFAULT_MAX_DISTANCE, PAIR_BATCH
from ..sketch.simhash import as_fingerprints

#: The largest ``max_distance`` the search supports.
MAX_DISTANCE: int = _native.MAX_DISTANCE

_INDEX_FORMAT = "veltrane.NearDuplicateIndex"

#: The rows of :func:`near_duplicate_pairs`.
PAIR_DTYPE = np.dtype([("i", "<i8"), ("j", "<i8"), ("distance", "u1")])


def near_duplicate_pairs(
    fingerprints,
    max_distance: int = DEFAULT_MAX_DISTANCE,
    *,
    threads: int | None = None,
    progress: Progress | None = None,
) -> np.ndarray:
    """Every pair (i, j), i < j, of fingerprints at most ``max_distance`` bits apart.

    ``fingerprints`` is a ``uint64`` array or a sequence of 8-byte ``bytes``. Identical
    fingerprints are pairs too. Returns a structured array with fields ``i``, ``j`` (int64)
    and ``distance`` (uint8), sorted by (i, j). The search is exact: the 64 bits are cut into
    ``max_distance + 1`` blocks, and two fingerprints within the distance agree on at least
    one of them. ``max_distance`` runs from 0 to :data:`MAX_DISTANCE`; large distances make
    the blocks narrow and the search slow on large inputs. ``progress`` is called as
    ``progress("searching", done, total)`` in search steps.
    """
    fps = as_fingerprints(fingerprints)
    max_distance = _args.max_distance(max_distance)
    nthreads = _args.threads(threads)
    if progress is None:
        return _native.pairs(fps, max_distance, nthreads, PAIR_DTYPE)
    stream = run_reporting(
        lambda p: _native.PairStream(fps, max_distance, nthreads, p), "searching", progress
    )
    # The stream's length is not the number of pairs it expands into: drain it.
    parts = list(pair_batches(stream, PAIR_BATCH, PAIR_DTYPE))
    return np.concatenate(parts) if parts else np.empty(0, dtype=PAIR_DTYPE)


def iter_near_duplicate_pairs(
    fingerprints,
    max_distance: int = DEFAULT_MAX_DISTANCE,
    *,
    threads: int | None = None,
    batch_size: int = PAIR_BATCH,
    progress: Progress | None = None,
) -> Iterator[np.ndarray]:
    """The pairs of :func:`near_duplicate_pairs`, in the same order, a batch at a time.

    Yields arrays of the same dtype, each of at most ``batch_size`` rows (the last may be
    shorter; none is empty), whose concatenation equals ``near_duplicate_pairs(fingerprints,
    max_distance)``. Identical fingerprints are searched once and expanded into their pairs
    only as batches are asked for, so memory stays linear in the number of fingerprints however
    many pairs there are: m copies of one text are m(m - 1)/2 pairs. The search among the
    distinct values runs at the call, reporting to ``progress`` as
    :func:`near_duplicate_pairs` does; the batches only expand its result.
    """
    fps = as_fingerprints(fingerprints)
    max_distance = _args.max_distance(max_distance)
    nthreads = _args.threads(threads)
    batch_size = _args.positive(batch_size, "batch_size")
    stream = run_reporting(
        lambda p: _native.PairStream(fps, max_distance, nthreads, p), "searching", progress
    )
    return pair_batches(stream, batch_size, PAIR_DTYPE)


def near_duplicate_clusters(
    fingerprints,
    max_distance: int = DEFAULT_MAX_DISTANCE,
    *,
    threads: int | None = None,
    progress: Progress | None = None,
) -> np.ndarray:
    """For each fingerprint the lowest index in its cluster of near duplicates.

    The same ``int64`` array as ``clusters(len(fingerprints), near_duplicate_pairs(...))``,
    found without forming the pairs: identical fingerprints are collapsed onto their first
    occurrence and only the distinct values are searched, so time and memory grow with the
    number of fingerprints and of distinct near pairs, not with the square of the copies.
    ``progress`` as for :func:`near_duplicate_pairs`.
    """
    fps = as_fingerprints(fingerprints)
    max_distance = _args.max_distance(max_distance)
    nthreads = _args.threads(threads)
    return run_reporting(
        lambda p: _native.cluster_fingerprints(fps, max_distance, nthreads, p),
        "searching",
        progress,
    )


class FingerprintSet:
    """Fingerprints seen so far, queried for those within ``max_distance`` bits.

    For streams: ``query`` each new fingerprint against what came before, then ``add`` it.
    Ids are 0, 1, 2... in the order fingerprints were added. Each distinct fingerprint is
    stored once: adding one again costs one more id in its list.

    With ``path``, the index lasts: the fingerprints are kept in that SQLite file (8 bytes
    each), each ``add`` committed before it returns, so a process killed meanwhile leaves it
    as before the call; opening the file again loads them. ``max_distance`` defaults to the
    one the file was made with, and another raises ValueError, as does a file that is not
    such an index.
    """

    def __init__(
        self, max_distance: int | None = None, *, path: str | os.PathLike[str] | None = None
    ) -> None:
        asked = None if max_distance is None else _args.max_distance(max_distance)
        self._db: sqlite3.Connection | None = None
        if path is None:
            self._index = _native.Index(DEFAULT_MAX_DISTANCE if asked is None else asked)
            return
        self._path = os.fspath(path)
        try:
            self._db = sqlite3.connect(self._path, timeout=60.0, isolation_level=None)
            tables = {r[0] for r in self._db.execute("SELECT name FROM sqlite_master")}
            self._db.execute("BEGIN IMMEDIATE" if not tables else "BEGIN")
            tables = {r[0] for r in self._db.execute("SELECT name FROM sqlite_master")}
            if not tables:
                stored = DEFAULT_MAX_DISTANCE if asked is None else asked
                self._db.execute("CREATE TABLE meta (name TEXT PRIMARY KEY, value)")
                self._db.execute("CREATE TABLE batches (first INTEGER PRIMARY KEY, fps BLOB)")
                self._db.executemany(
                    "INSERT INTO meta VALUES (?, ?)",
                    [("format", _INDEX_FORMAT), ("version", 1), ("max_distance", stored)],
                )
            else:
                meta = dict(self._db.execute("SELECT name, value FROM meta"))
                if meta.get("format") != _INDEX_FORMAT or meta.get("version") != 1:
                    raise sqlite3.DatabaseError("no SimHash index format")
                stored = meta["max_distance"]
            self._db.execute("COMMIT")
        except sqlite3.DatabaseError as e:
            self.close()
            raise ValueError(f"{self._path}: not a SimHash index or damaged ({e})") from None
        except BaseException:
            self.close()
            raise
        if asked is not None and asked != stored:
            self.close()
            raise ValueError(
                f"{self._path}: the index was built with max_distance={stored}, not {asked}"
            )
        self._index = _native.Index(stored)
        self._catch_up()

    def _catch_up(self) -> None:
        """Loads the batches other processes (or earlier runs) committed beyond ours."""
        assert self._db is not None
        for first, blob in self._db.execute(
            "SELECT first, fps FROM batches WHERE first >= ? ORDER BY first", (len(self),)
        ):
            if first != len(self) or len(blob) % 8:
                raise ValueError(f"{self._path}: damaged SimHash index (batch at {first})")
            self._index.add(np.frombuffer(blob, dtype="<u8").astype(np.uint64))

    def close(self) -> None:
        """Closes the file of a lasting index; nothing for one in memory."""
        if self._db is not None:
            self._db.close()
            self._db = None

    @property
    def max_distance(self) -> int:
        """The distance this index answers for."""
        return self._index.max_distance

    def add(self, fingerprints) -> np.ndarray:
        """Adds fingerprints (a ``uint64`` array or 8-byte ``bytes`` items); returns their ids."""
        fps = as_fingerprints(fingerprints)
        if self._db is not None and len(fps):
            self._db.execute("BEGIN IMMEDIATE")
            try:
                self._catch_up()
                self._db.execute(
                    "INSERT INTO batches VALUES (?, ?)", (len(self), fps.astype("<u8").tobytes())
                )
                self._db.execute("COMMIT")
            except BaseException:
                self._db.execute("ROLLBACK")
                raise
        first = self._index.add(fps)
        return np.arange(first, first + len(fps), dtype=np.int64)

    def query(self, fingerprint: int | bytes) -> np.ndarray:
        """Ids of the added fingerprints within the distance, in increasing order."""
        if isinstance(fingerprint, bytes):
            (value,) = as_fingerprints([fingerprint])
            fingerprint = int(value)
        elif isinstance(fingerprint, (int, np.integer)) and not isinstance(fingerprint, bool):
            if not 0 <= fingerprint < 1 << 64:
                raise ValueError("a fingerprint must be from 0 to 2**64 - 1")
        else:
            raise TypeError(
                f"a fingerprint must be an int or 8-byte bytes, not {type(fingerprint).__name__}"
            )
        return self._index.query(int(fingerprint))

    def __len__(self) -> int:
        return len(self._index)


#: The old name of :class:`FingerprintSet`, kept for one release.
NearDuplicateIndex = FingerprintSet
