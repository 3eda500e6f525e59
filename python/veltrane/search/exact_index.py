"""A lasting index of exact copies: the digests (:mod:`veltrane.sketch.digest`) of the texts
kept so far, each with the id that names its text, in one SQLite file in a directory.

It records the normalisation its digests were made with and refuses another, and refuses a
directory that holds another kind of index. Writes go in a :meth:`ExactIndex.batch`, one
SQLite transaction (WAL, synchronous FULL): a process killed at any moment leaves the index
as before or after the batch.
"""

from __future__ import annotations

import os
import sqlite3
from collections.abc import Iterator, Sequence
from contextlib import contextmanager
from pathlib import Path

import numpy as np

from ..sketch.digest import DEFAULT_NORMALIZE, check_normalize
from . import catalogue
from .catalogue import check_format, connect, damage_reported, database_error, write_transaction

#: The format version this release writes and reads.
VERSION = 1
# Digests looked up a statement at a time: SQLite's limit of host parameters is 32766.
_IN_CHUNK = 4096


class ExactIndex:
    """The digests of texts kept by earlier runs of the exact search, in the directory
    ``path`` (made when missing).

    A new index takes ``normalize`` (``"words"`` by default, or ``"none"``) and keeps it; an
    existing one is opened with its own, and a ``normalize`` given that differs raises
    ValueError. A directory that is not an exact index (a Jaccard index among them), or a
    damaged one, raises ValueError; a full disk raises an OSError that says "No space left
    on device" and leaves the index as it was. One object is not for several threads at once.
    """

    def __init__(self, path: str | os.PathLike[str], *, normalize: str | None = None) -> None:
        if normalize is not None:
            check_normalize(normalize)
        self._path = Path(path)
        self._db = connect(self._path, "an exact index")
        try:
            self._normalize = self._open(normalize)
        except sqlite3.DatabaseError as e:
            self._db.close()
            raise database_error(self._path, e, "not an exact index or damaged") from None
        except BaseException:
            self._db.close()
            raise
        self._in_batch = False

    def _open(self, asked: str | None) -> str:
        db = self._db
        db.execute("BEGIN IMMEDIATE")
        try:
            tables = {r[0] for r in db.execute("SELECT name FROM sqlite_master")}
            if not tables:
                made = asked or DEFAULT_NORMALIZE
                db.execute("CREATE TABLE meta (name TEXT PRIMARY KEY, value) WITHOUT ROWID")
                # The digest's halves as SQLite's signed 64-bit integers.
                db.execute(
                    "CREATE TABLE texts (d0 INTEGER NOT NULL, d1 INTEGER NOT NULL, id TEXT "
                    "NOT NULL, PRIMARY KEY (d0, d1)) WITHOUT ROWID"
                )
                db.executemany(
                    "INSERT INTO meta VALUES (?, ?)",
                    [
                        ("format", catalogue.EXACT_FORMAT),
                        ("version", VERSION),
                        ("normalize", made),
                    ],
                )
                db.execute("COMMIT")
                return made
            meta = dict(db.execute("SELECT name, value FROM meta")) if "meta" in tables else {}
            db.execute("COMMIT")
        except BaseException:
            if db.in_transaction:
                db.execute("ROLLBACK")
            raise
        check_format(self._path, meta, catalogue.EXACT_FORMAT, VERSION)
        made = meta["normalize"]
        if asked is not None and asked != made:
            raise ValueError(
                f"{self._path}: the index was built with other parameters: "
                f"normalize={asked!r} (built with {made!r})"
            )
        return made

    @property
    def path(self) -> Path:
        """The index directory."""
        return self._path

    @property
    def normalize(self) -> str:
        """What makes two texts copies: ``"words"`` or ``"none"``."""
        return self._normalize

    def __len__(self) -> int:
        (n,) = self._db.execute("SELECT count(*) FROM texts").fetchone()
        return n

    def close(self) -> None:
        """Closes the index; every committed batch is already on disk."""
        self._db.close()

    def __enter__(self) -> ExactIndex:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    @contextmanager
    def batch(self) -> Iterator[ExactIndex]:
        """A ``with`` block whose adds are committed together when it ends without an error,
        and rolled back when it raises. It holds the write lock: another writer waits up to a
        minute, then raises TimeoutError."""
        if self._in_batch:
            raise RuntimeError("batches do not nest")
        self._in_batch = True
        try:
            with write_transaction(self._db, self._path):
                yield self
        finally:
            self._in_batch = False

    def query(self, digests: np.ndarray) -> list[str | None]:
        """For each digest (a row of two ``uint64``), the id of the indexed text with it, or
        None."""
        rows = _signed(digests)
        found: dict[tuple[int, int], str] = {}
        with damage_reported(self._path):
            for start in range(0, len(rows), _IN_CHUNK):
                part = rows[start : start + _IN_CHUNK]
                marks = ",".join(["(?, ?)"] * len(part))
                found.update(
                    ((d0, d1), i)
                    for d0, d1, i in self._db.execute(
                        f"WITH q(d0, d1) AS (VALUES {marks}) "
                        "SELECT t.d0, t.d1, t.id FROM q JOIN texts t USING (d0, d1)",
                        part.reshape(-1).tolist(),
                    )
                )
        return [found.get((d0, d1)) for d0, d1 in rows.tolist()]

    def add(self, digests: np.ndarray, ids: Sequence[str]) -> None:
        """Indexes the digests (new to the index, distinct) under ``ids``, inside
        :meth:`batch`."""
        if not self._in_batch:
            raise RuntimeError("add goes inside a batch")
        rows = _signed(digests)
        if len(rows) != len(ids):
            raise ValueError(f"{len(rows)} digests but {len(ids)} ids")
        with damage_reported(self._path):
            self._db.executemany(
                "INSERT INTO texts VALUES (?, ?, ?)",
                ((d0, d1, i) for (d0, d1), i in zip(rows.tolist(), ids)),
            )


def _signed(digests: np.ndarray) -> np.ndarray:
    d = np.ascontiguousarray(digests)
    if d.ndim == 2 and d.shape[1] == 4 and d.dtype == np.uint32:
        d = d.view(np.uint64)
    if d.ndim != 2 or d.shape[1] != 2 or d.dtype != np.uint64:
        raise ValueError("digests must be uint64 of shape (n, 2) or uint32 of shape (n, 4)")
    return d.view(np.int64)
