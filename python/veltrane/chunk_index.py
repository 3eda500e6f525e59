"""A chunk index that lasts between runs of :func:`veltrane.dedup_report`: ``index=DIR``.

The directory holds one SQLite database, ``index.sqlite``: the digests of every distinct chunk
seen so far (32 bytes each, stored a run at a time), and a cache of files (path, size,
modification and change times, inode, and the lengths and digests of their chunks), so that
a later run need not read a file that has not changed. SQLite because it is in Python's
standard library and its transactions make a run's additions all-or-nothing: a run killed at
any moment, or a disk that fills while committing, leaves the index as it was before the run
(LMDB, measured on the same data, read and wrote about twice as fast, which is well under a
second either way beside a run's reading).
"""

from __future__ import annotations

import json
import os
import sqlite3
from dataclasses import dataclass

from . import _native

#: What the index records as its format, so that a foreign database is refused.
FORMAT = "veltrane-chunk-index"
#: The layout version; an index of another version is refused.
VERSION = 1
#: The database inside the index directory.
FILENAME = "index.sqlite"


class ChunkIndexError(Exception):
    """An index that cannot be used: another format or version, another chunker, damaged,
    or read-only. The index is left as it is."""


@dataclass
class Loaded:
    """What a run starts from: the digests seen so far and the file cache."""

    #: The distinct chunk digests in the index.
    seen: _native.DigestSet
    #: Path, size, times, inode, chunk lengths and digests of every file indexed.
    cache: _native.FileCache
    #: How many distinct digests the index held when loaded.
    distinct: int


class ChunkIndex:
    """An open index directory, checked against the run's chunker and digest."""

    def __init__(self, directory: str | os.PathLike, chunker: dict, digest: str) -> None:
        #: The index directory.
        self.directory = os.fspath(directory)
        #: The database file in it.
        self.path = os.path.join(self.directory, FILENAME)
        shown = self.directory
        if os.path.isdir(self.directory):
            others = [n for n in os.listdir(self.directory) if not n.startswith(FILENAME)]
            if not os.path.exists(self.path) and others:
                raise ChunkIndexError(
                    f"{shown}: not a chunk index (it holds other files and no {FILENAME})"
                )
        elif os.path.exists(self.directory):
            raise ChunkIndexError(f"{shown}: not a directory")
        else:
            try:
                os.makedirs(self.directory)
            except OSError as e:
                raise ChunkIndexError(f"{shown}: cannot create the index: {e.strerror}") from e
        if not os.access(self.directory, os.W_OK) or (
            os.path.exists(self.path) and not os.access(self.path, os.W_OK)
        ):
            raise ChunkIndexError(f"{shown}: the index is read-only")
        try:
            self._db = sqlite3.connect(self.path, isolation_level=None)
            self._check(chunker, digest)
            # A write lock now, so that a read-only file system fails before the run, not at
            # its end.
            self._db.execute("begin immediate")
            self._db.execute("rollback")
        except sqlite3.OperationalError as e:
            if "readonly" in str(e):
                raise ChunkIndexError(f"{shown}: the index is read-only ({e})") from e
            raise ChunkIndexError(f"{shown}: not a chunk index, or damaged ({e})") from e
        except sqlite3.DatabaseError as e:
            raise ChunkIndexError(f"{shown}: not a chunk index, or damaged ({e})") from e

    def _check(self, chunker: dict, digest: str) -> None:
        db = self._db
        tables = {r[0] for r in db.execute("select name from sqlite_master where type='table'")}
        want = {"chunker": json.dumps(chunker, sort_keys=True), "digest": digest}
        if not tables:
            db.execute("begin immediate")
            db.execute("create table meta (key text primary key, value text) without rowid")
            db.execute("create table chunks (run integer primary key, digests blob not null)")
            db.execute(
                "create table files (path blob primary key, size integer, mtime_ns integer, "
                "ctime_ns integer, inode integer, lengths blob, digests blob) without rowid"
            )
            meta = {"format": FORMAT, "version": str(VERSION), **want}
            db.executemany("insert into meta values (?, ?)", meta.items())
            db.execute("commit")
            return
        if "meta" not in tables:
            raise ChunkIndexError(f"{self.directory}: not a chunk index (no meta table)")
        meta = dict(db.execute("select key, value from meta"))
        if meta.get("format") != FORMAT:
            raise ChunkIndexError(f"{self.directory}: not a chunk index")
        if meta.get("version") != str(VERSION):
            raise ChunkIndexError(
                f"{self.directory}: index version {meta.get('version')}; this version of "
                f"veltrane reads version {VERSION}"
            )
        for key, value in want.items():
            if meta.get(key) != value:
                raise ChunkIndexError(
                    f"{self.directory}: the index was built with {key} {meta.get(key)}, "
                    f"not {value}: chunks of the two would never match"
                )

    def load(self) -> Loaded:
        """The digests and the file cache, read in one transaction."""
        seen, cache = _native.DigestSet(), _native.FileCache()
        try:
            self._db.execute("begin")
            for (joined,) in self._db.execute("select digests from chunks order by run"):
                if len(joined) % 32:
                    raise ChunkIndexError(f"{self.directory}: damaged index (a digest cut short)")
                seen.add_all(joined)
            for row in self._db.execute("select * from files"):
                cache.add(*row)
            self._db.execute("commit")
        except (sqlite3.DatabaseError, ValueError, TypeError) as e:
            raise ChunkIndexError(f"{self.directory}: damaged index ({e})") from e
        return Loaded(seen, cache, len(seen))

    def commit(self, new_digests: bytes, files: list[tuple]) -> None:
        """Adds a run's new digests and the files it read, all or nothing."""
        db = self._db
        try:
            db.execute("begin immediate")
            if new_digests:
                db.execute("insert into chunks (digests) values (?)", (new_digests,))
            db.executemany("insert or replace into files values (?, ?, ?, ?, ?, ?, ?)", files)
            db.execute("commit")
        except sqlite3.Error as e:
            if db.in_transaction:
                db.execute("rollback")
            raise ChunkIndexError(
                f"{self.directory}: the run's additions were not saved, the index is as it "
                f"was before ({e})"
            ) from e

    def close(self) -> None:
        """Closes the database; what was committed stays."""
        self._db.close()

    def size_bytes(self) -> int:
        """The database's size on disk."""
        return os.path.getsize(self.path)
