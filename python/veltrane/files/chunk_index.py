"""A chunk index that lasts between runs of :func:`veltrane.dedup_report`: ``index=DIR``.

The directory holds one SQLite database, ``index.sqlite``: the digests of every distinct chunk
seen so far (32 bytes each, stored a run at a time), and a cache of files (path, size,
modification and change times, inode, and the lengths and digests of their chunks), so that
a later run need not read a file that has not changed. The file cache is stored as columns,
one row of blobs for the files a run read (a later row replaces an earlier one's files of the
same path), and loaded into native code in bulk: a run over an unchanged tree builds no Python
object per file, and writes nothing but its counts. When the rows hold more than twice as many
files as the cache, a commit rewrites them as one.

SQLite because it is in Python's standard library and its transactions make a run's additions
all-or-nothing: a run killed at any moment, or a disk that fills while committing, leaves the
index as it was before the run (LMDB, measured on the same data, read and wrote about twice as
fast, which is well under a second either way beside a run's reading).
"""

from __future__ import annotations

import json
import os
import sqlite3
from dataclasses import dataclass

import numpy as np

from .. import _native
from .._disk import NO_SPACE, is_full

#: What the index records as its format, so that a foreign database is refused.
FORMAT = "veltrane-chunk-index"
#: The layout version; an index of another version is refused.
VERSION = 2
#: The database inside the index directory.
FILENAME = "index.sqlite"
#: Chunks per stored blob at most (32 MiB of digests), well below SQLite's 1 GB limit on one.
PIECE_CHUNKS = 1 << 20


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
        # Files in the stored rows of the cache, superseded ones included.
        self._rows = 0
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
            if is_full(e):
                raise ChunkIndexError(f"{shown}: {NO_SPACE}; the index is unchanged") from e
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
            # Per file: path (names, cut at ends), size, mtime_ns, ctime_ns and inode (ident,
            # int64 each), chunk count (counts), then the chunks' lengths and digests.
            db.execute(
                "create table files (run integer primary key, names blob not null, "
                "ends blob not null, ident blob not null, counts blob not null, "
                "lengths blob not null, digests blob not null)"
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
        rows = 0
        try:
            self._db.execute("begin")
            for (joined,) in self._db.execute("select digests from chunks order by run"):
                if len(joined) % 32:
                    raise ChunkIndexError(f"{self.directory}: damaged index (a digest cut short)")
                seen.add_all(joined)
            for names, ends, ident, counts, lengths, digests in self._db.execute(
                "select names, ends, ident, counts, lengths, digests from files order by run"
            ):
                ends = np.frombuffer(ends, dtype=np.uint64)
                _native.file_cache_add_columns(
                    cache,
                    names,
                    ends,
                    np.frombuffer(ident, dtype=np.int64),
                    np.frombuffer(counts, dtype=np.uint64),
                    lengths,
                    digests,
                )
                rows += len(ends)
            self._db.execute("commit")
        except (sqlite3.DatabaseError, ValueError, TypeError) as e:
            if self._db.in_transaction:
                self._db.execute("rollback")
            if is_full(e):
                raise ChunkIndexError(
                    f"{self.directory}: {NO_SPACE}; the index is unchanged"
                ) from e
            raise ChunkIndexError(f"{self.directory}: damaged index ({e})") from e
        self._rows = rows
        return Loaded(seen, cache, len(seen))

    def commit(self, new_digests: bytes, files: dict, cache: _native.FileCache) -> None:
        """Adds a run's new digests and the files it read (columns as
        ``_native.file_cache_columns`` gives them), all or nothing. ``cache`` is the one
        :meth:`load` gave; the files are added to it."""
        n = len(files["ends"])
        if n:
            _native.file_cache_add_columns(
                cache,
                files["names"],
                files["ends"],
                files["ident"],
                files["counts"],
                files["lengths"],
                files["digests"],
            )
        rows = self._rows + n
        compact = rows > 2 * len(cache)
        db = self._db
        try:
            db.execute("begin immediate")
            step = PIECE_CHUNKS * 32
            for at in range(0, len(new_digests), step):
                db.execute(
                    "insert into chunks (digests) values (?)", (new_digests[at : at + step],)
                )
            if compact:
                db.execute("delete from files")
                files = _native.file_cache_columns(cache)
            if n or compact:
                db.executemany(
                    "insert into files (names, ends, ident, counts, lengths, digests) "
                    "values (?, ?, ?, ?, ?, ?)",
                    _pieces(files),
                )
            db.execute("commit")
        except sqlite3.Error as e:
            if db.in_transaction:
                db.execute("rollback")
            if is_full(e):
                raise ChunkIndexError(
                    f"{self.directory}: {NO_SPACE}; the run's additions were not saved, the "
                    "index is unchanged"
                ) from e
            raise ChunkIndexError(
                f"{self.directory}: the run's additions were not saved, the index is as it "
                f"was before ({e})"
            ) from e
        self._rows = len(cache) if compact else rows

    def close(self) -> None:
        """Closes the database; what was committed stays."""
        self._db.close()

    def size_bytes(self) -> int:
        """The database's size on disk."""
        return os.path.getsize(self.path)


def _pieces(files: dict):
    """The rows of the files table for ``files`` (columns), each of at most
    :data:`PIECE_CHUNKS` chunks unless one file has more."""
    ends = np.asarray(files["ends"], dtype=np.uint64)
    counts = np.asarray(files["counts"], dtype=np.uint64)
    ident = np.asarray(files["ident"], dtype=np.int64).reshape(-1, 4)
    names, lengths, digests = files["names"], files["lengths"], files["digests"]
    chunk_ends = np.cumsum(counts, dtype=np.uint64)
    first = 0
    while first < len(ends):
        done = int(chunk_ends[first - 1]) if first else 0
        # The files up to PIECE_CHUNKS more chunks, and at least one.
        last = max(first + 1, int(np.searchsorted(chunk_ends, done + PIECE_CHUNKS, "right")))
        name_start = int(ends[first - 1]) if first else 0
        chunk_end = int(chunk_ends[last - 1])
        yield (
            names[name_start : int(ends[last - 1])],
            (ends[first:last] - np.uint64(name_start)).tobytes(),
            ident[first:last].tobytes(),
            counts[first:last].tobytes(),
            lengths[done * 8 : chunk_end * 8],
            digests[done * 32 : chunk_end * 32],
        )
        first = last
