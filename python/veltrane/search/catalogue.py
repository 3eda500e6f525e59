"""The catalogue of a lasting Jaccard index (SQLite): its tables made or checked, its
segment files written durably, and its errors named (damage, a lock, a full disk)."""

from __future__ import annotations

import os
import sqlite3
import zlib
from collections.abc import Iterator
from contextlib import contextmanager
from pathlib import Path
from typing import NamedTuple

import numpy as np

from .._disk import NoSpaceError, is_full
from ..defaults import DEFAULT_NGRAM, DEFAULT_NUM_PERM, DEFAULT_THRESHOLD
from ..sketch.minhash import WORD_RULE
from .banding import bands_and_rows

#: The id of an indexed text: an int or a str, as given to :meth:`JaccardIndex.add`.
Id = int | str

FORMAT = "veltrane.JaccardIndex"
#: The format name of an :class:`~veltrane.search.exact_index.ExactIndex`.
EXACT_FORMAT = "veltrane.ExactIndex"
#: The format name of a :class:`~veltrane.repeats.index.RepeatIndex`.
REPEATS_FORMAT = "veltrane.RepeatIndex"
VERSION = 1
CATALOGUE = "catalogue.sqlite"

#: The lasting indexes of texts by format name: their name, and the method that makes them.
KINDS = {
    FORMAT: ("a Jaccard index", "--method minhash"),
    EXACT_FORMAT: ("an exact index", "--method exact"),
    REPEATS_FORMAT: ("a repeats index", "veltrane repeats --index"),
}


class Segment(NamedTuple):
    """One segment of band entries: its number, keys and the doc of each key."""

    seg: int
    keys: np.ndarray  # (bands, m) uint64, each row sorted
    docs: np.ndarray  # (bands, m) uint32, the doc of each key


def fsync_dir(path: Path) -> None:
    """Makes the directory's entries durable."""
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)
    finally:
        os.close(fd)


def save_array(path: Path, array: np.ndarray) -> None:
    """Writes an array to ``path`` and makes it durable."""
    with open(path, "wb") as f:
        np.save(f, array, allow_pickle=False)
        f.flush()
        os.fsync(f.fileno())


def checksum(keys: np.ndarray, docs: np.ndarray) -> int:
    """The CRC-32 of a segment's keys and docs."""
    return zlib.crc32(np.ascontiguousarray(docs), zlib.crc32(np.ascontiguousarray(keys)))


@contextmanager
def damage_reported(path: Path) -> Iterator[None]:
    """SQLite's errors on a damaged catalogue as ValueError naming the index; a full disk
    (SQLite's, or a segment file's) as :class:`NoSpaceError`."""
    try:
        yield
    except sqlite3.IntegrityError:
        raise
    except (sqlite3.DatabaseError, OSError) as e:
        if is_full(e):
            raise NoSpaceError(path) from None
        if isinstance(e, OSError):
            raise
        raise database_error(path, e, "damaged index") from None


def database_error(path: Path, e: sqlite3.DatabaseError, what: str) -> Exception:
    """SQLite's error as the index reports it: locked, full, or ``what`` (damaged...)."""
    if is_full(e):
        return NoSpaceError(path)
    if isinstance(e, sqlite3.OperationalError) and "locked" in str(e):
        return TimeoutError(f"{path}: the index is locked by another writer ({e})")
    return ValueError(f"{path}: {what} ({e})")


def checked_id(value: object, k: int) -> Id:
    """The ``k``-th id given, checked: a str, or an int of 64 signed bits."""
    if isinstance(value, str):
        return value
    if isinstance(value, bool) or not isinstance(value, (int, np.integer)):
        raise TypeError(f"ids[{k}] must be an int or str, not {type(value).__name__}")
    number = int(value)
    if not -(1 << 63) <= number < 1 << 63:
        raise ValueError(f"ids[{k}] must fit in 64 signed bits, got {number}")
    return number


# How long a writer of a one-file index waits for another to commit before TimeoutError.
_LOCK_SECONDS = 60.0


def connect(path: Path, what: str) -> sqlite3.Connection:
    """The catalogue of the index in the directory ``path`` (made when missing), in WAL mode
    with synchronous FULL; ``what`` ("an exact index") names the kind in the errors: a file,
    or a directory holding other things, is refused with ValueError."""
    if path.exists() and not path.is_dir():
        raise ValueError(f"{path}: not {what} (a file, not a directory)")
    book = path / CATALOGUE
    if path.is_dir() and not book.exists() and any(path.iterdir()):
        raise ValueError(f"{path}: not {what} (no {CATALOGUE})")
    with damage_reported(path):
        path.mkdir(parents=True, exist_ok=True)
    db = sqlite3.connect(book, timeout=_LOCK_SECONDS, isolation_level=None)
    try:
        db.execute("PRAGMA journal_mode=WAL")
        db.execute("PRAGMA synchronous=FULL")
    except sqlite3.DatabaseError as e:
        db.close()
        raise database_error(path, e, f"not {what} or damaged") from None
    return db


@contextmanager
def write_transaction(db: sqlite3.Connection, path: Path) -> Iterator[None]:
    """One write transaction of the catalogue ``db``: it takes the write lock at once (a
    writer waits up to a minute for another, then raises TimeoutError), commits when the
    block ends without an error and rolls back when it raises."""
    with damage_reported(path):
        db.execute("BEGIN IMMEDIATE")
    try:
        yield
        with damage_reported(path):
            db.execute("COMMIT")
    except BaseException:
        # A failed COMMIT (a full disk) may have rolled back already.
        if db.in_transaction:
            db.execute("ROLLBACK")
        raise


def check_format(path: Path, meta: dict, format: str, version: int) -> None:
    """Refuses, in one line, the meta table of an index not of ``format`` and ``version``:
    another kind of index is named with the method that made it."""
    own = KINDS[format][0]
    found = meta.get("format")
    if found != format:
        if found in KINDS:
            other, method = KINDS[found]
            raise ValueError(f"{path}: {other}, not {own} (made with {method})")
        raise ValueError(f"{path}: not {own}")
    if meta.get("version") != version:
        raise ValueError(
            f"{path}: index format version {meta.get('version')!r}; this release reads "
            f"version {version}"
        )


def open_catalogue(db: sqlite3.Connection, path: Path, asked: dict) -> dict:
    """The parameters of the index whose catalogue ``db`` is, checked against those
    ``asked`` (None: any); a new catalogue is made with them."""
    # A read first, so that opening an index does not wait for its writer.
    db.execute("BEGIN")
    try:
        tables = {r[0] for r in db.execute("SELECT name FROM sqlite_master")}
        if not tables:
            db.execute("COMMIT")
            db.execute("BEGIN IMMEDIATE")
            tables = {r[0] for r in db.execute("SELECT name FROM sqlite_master")}
        if not tables:
            params = create_catalogue(db, asked)
        else:
            if "meta" not in tables:
                raise ValueError(f"{path}: not a Jaccard index (no meta table)")
            meta = dict(db.execute("SELECT name, value FROM meta"))
            check_format(path, meta, FORMAT, VERSION)
            if meta.get("words") != WORD_RULE:
                # Its shingles and band hashes were made of other words: mixed with new ones
                # they would match neither.
                made = meta.get("words")
                raise ValueError(
                    f"{path}: the index was made with "
                    + (
                        f"the word rule {made!r}"
                        if made is not None
                        else "words as runs of \\w (a release before word rules were recorded)"
                    )
                    + f"; this release finds words by the rule {WORD_RULE!r}: build it again"
                )
            params = {name: meta[name] for name in asked}
            # The seed is stored as text: SQLite's integers stop at 2**63 - 1.
            params["seed"] = int(params["seed"])
            differ = [
                f"{name}={value!r} (built with {params[name]!r})"
                for name, value in asked.items()
                if value is not None and value != params[name]
            ]
            if differ:
                raise ValueError(
                    f"{path}: the index was built with other parameters: " + ", ".join(differ)
                )
        db.execute("COMMIT")
    except BaseException:
        db.execute("ROLLBACK")
        raise
    return params


def create_catalogue(db: sqlite3.Connection, asked: dict) -> dict:
    """Makes the tables of a new index with the parameters ``asked`` (None: the default)."""
    threshold = DEFAULT_THRESHOLD if asked["threshold"] is None else asked["threshold"]
    num_perm = DEFAULT_NUM_PERM if asked["num_perm"] is None else asked["num_perm"]
    bands, rows = bands_and_rows(threshold, num_perm, asked["bands"], asked["rows"])
    params = {
        "threshold": threshold,
        "ngram": DEFAULT_NGRAM if asked["ngram"] is None else asked["ngram"],
        "num_perm": num_perm,
        "seed": 0 if asked["seed"] is None else asked["seed"],
        "bands": bands,
        "rows": rows,
    }
    db.execute("CREATE TABLE meta (name TEXT PRIMARY KEY, value) WITHOUT ROWID")
    db.execute(
        "CREATE TABLE docs (doc INTEGER PRIMARY KEY, id UNIQUE NOT NULL, shingles BLOB NOT NULL)"
    )
    db.execute(
        "CREATE TABLE segments (seg INTEGER PRIMARY KEY, entries INTEGER NOT NULL, "
        "crc INTEGER NOT NULL)"
    )
    rows_ = {**params, "seed": str(params["seed"])}
    db.executemany(
        "INSERT INTO meta VALUES (?, ?)",
        [
            ("format", FORMAT),
            ("version", VERSION),
            ("words", WORD_RULE),
            ("next_doc", 0),
            *rows_.items(),
        ],
    )
    return params
