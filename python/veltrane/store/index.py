"""The chunk index: where each chunk is (pack, offset, stored and raw length, kind), in
SQLite. It is a cache of the packs' footers: a damaged or missing index is rebuilt from them,
and packs it does not list yet (left by a killed writer) are read in by the next writer."""

from __future__ import annotations

import operator
import os
import sqlite3
import urllib.parse
from collections.abc import Iterable

import numpy as np

from .layout import (
    FORMAT,
    INDEX,
    PACKS,
    TMP_PREFIX,
    VERSION,
    StoreError,
    disk_error,
    pack_path,
)
from .packs import Entry, PackError, read_footer

# Chunks name their pack by its row: a 64-digit name on each of 10^5 chunks was half the
# index (6.6 of 14 MB for 104,000 chunks).
_SCHEMA = """
CREATE TABLE IF NOT EXISTS meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE IF NOT EXISTS packs (id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE,
    size INTEGER NOT NULL, chunks INTEGER NOT NULL);
CREATE TABLE IF NOT EXISTS chunks (digest BLOB PRIMARY KEY, pack INTEGER NOT NULL,
    offset INTEGER NOT NULL, stored INTEGER NOT NULL, raw INTEGER NOT NULL,
    kind INTEGER NOT NULL) WITHOUT ROWID;
"""
#: The index's own schema: an index of another (an earlier veltrane's) is rebuilt.
_INDEX_SCHEMA = "2"
_EARLIER = "an index of an earlier schema"
_LOCATED = (
    "SELECT c.digest, p.name, c.offset, c.stored, c.raw, c.kind"
    " FROM chunks c JOIN packs p ON c.pack = p.id"
)

#: (pack, offset, stored, raw, kind) of a chunk.
Location = tuple[str, int, int, int, int]


def pack_names(repo: str) -> set[str]:
    """The packs on disk (finished ones: temporary names left out)."""
    out: set[str] = set()
    root = os.path.join(repo, PACKS)
    for sub in os.listdir(root):
        if sub.startswith(TMP_PREFIX) or not os.path.isdir(os.path.join(root, sub)):
            continue
        out.update(n for n in os.listdir(os.path.join(root, sub)) if not n.startswith(TMP_PREFIX))
    return out


class Index:
    """The open index of a store. A writer gets it on disk; a reader of a store it cannot
    write, with a damaged index, gets one rebuilt in memory."""

    def __init__(self, repo: str, writable: bool, warn=None) -> None:
        self.repo = repo
        self.path = os.path.join(repo, INDEX)
        self.writable = writable
        self._warn = warn or (lambda message: None)
        try:
            self.db = self._open(self.path if os.path.exists(self.path) or writable else None)
        except sqlite3.DatabaseError as e:
            # The index holds nothing the packs do not: rebuild it rather than fail.
            why = (
                "was written by an earlier veltrane"
                if e.args == (_EARLIER,)
                else f"is damaged ({e})"
            )
            self._warn(f"{self.path}: the index {why}; rebuilding it from the packs")
            if writable:
                self.db = self._rebuild_on_disk()
            else:
                self.db = self._open(None)
                self._read_in(pack_names(repo))

    def _open(self, path: str | None) -> sqlite3.Connection:
        if path is not None and not self.writable and not os.access(self.repo, os.W_OK):
            # A read-only store: SQLite may not create its lock files beside the index.
            uri = "file:" + urllib.parse.quote(os.path.abspath(path)) + "?immutable=1"
            db = sqlite3.connect(uri, uri=True, isolation_level=None, check_same_thread=False)
        else:
            db = sqlite3.connect(path or ":memory:", isolation_level=None, check_same_thread=False)
        if path is not None and self.writable:
            # A rollback journal, not WAL: a reader of a read-only store then needs no
            # file beside the index, and every transaction here is short.
            db.execute("PRAGMA journal_mode=DELETE")
            db.execute("PRAGMA synchronous=FULL")
        if self.writable or path is None:
            db.executescript(_SCHEMA)
            if not db.execute("SELECT 1 FROM meta").fetchone():
                db.executemany(
                    "INSERT INTO meta VALUES (?, ?)",
                    [("format", FORMAT), ("version", str(VERSION)), ("schema", _INDEX_SCHEMA)],
                )
        meta = dict(db.execute("SELECT key, value FROM meta"))
        if meta.get("format") != FORMAT or meta.get("version") != str(VERSION):
            raise sqlite3.DatabaseError("not an index of this layout version")
        if meta.get("schema") != _INDEX_SCHEMA:
            raise sqlite3.DatabaseError(_EARLIER)
        if path is not None:
            (check,) = db.execute("PRAGMA quick_check").fetchone()
            if check != "ok":
                raise sqlite3.DatabaseError(check)
        return db

    def _rebuild_on_disk(self) -> sqlite3.Connection:
        for suffix in ("", "-wal", "-shm"):
            try:
                os.unlink(self.path + suffix)
            except FileNotFoundError:
                pass
        db = self._open(self.path)
        self.db = db
        self._read_in(pack_names(self.repo))
        return db

    def refresh(self) -> list[str]:
        """Reads in the footers of packs on disk the index does not list (a killed writer's),
        and drops packs it lists that are gone, so that their chunks are stored again when
        met again; the names of the gone ones."""
        on_disk = pack_names(self.repo)
        listed = {n for (n,) in self.db.execute("SELECT name FROM packs")}
        self._read_in(on_disk - listed)
        gone = sorted(listed - on_disk)
        if gone:
            self._warn(f"{len(gone)} pack(s) listed in the index are missing: {gone[0][:16]}...")
            self.drop_packs(gone)
        return gone

    def drop_packs(self, names: list[str]) -> None:
        """Forgets packs and the chunks located in them, in one transaction."""
        try:
            self.db.execute("BEGIN")
            self.db.executemany(
                "DELETE FROM chunks WHERE pack = (SELECT id FROM packs WHERE name = ?)",
                [(n,) for n in names],
            )
            self.db.executemany("DELETE FROM packs WHERE name = ?", [(n,) for n in names])
            self.db.execute("COMMIT")
        except sqlite3.OperationalError as e:
            self.db.execute("ROLLBACK")
            raise _db_error(self.path, e) from e

    def _read_in(self, names: Iterable[str]) -> None:
        for name in sorted(names):
            try:
                entries = read_footer(pack_path(self.repo, name))
            except (PackError, OSError) as e:
                self._warn(f"{e}; left out of the index")
                continue
            self.add_pack(name, os.path.getsize(pack_path(self.repo, name)), entries)

    def add_pack(self, name: str, size: int, entries: list[Entry]) -> None:
        """Lists a pack and its chunks; a chunk already listed elsewhere keeps its place."""
        self.add_packs([(name, size, entries)])

    def add_packs(self, packs: list[tuple[str, int, list[Entry]]]) -> None:
        """Lists many packs in one transaction, all or none; a chunk already listed elsewhere
        keeps its place."""
        try:
            self.db.execute("BEGIN")
            self._list(packs, "IGNORE")
            self.db.execute("COMMIT")
        except sqlite3.OperationalError as e:
            self.db.execute("ROLLBACK")
            raise _db_error(self.path, e) from e

    def _list(self, packs: list[tuple[str, int, list[Entry]]], conflict: str) -> None:
        """Lists packs and their chunks within the caller's transaction; a chunk listed
        elsewhere is moved (``REPLACE``) or kept where it is (``IGNORE``)."""
        for name, size, entries in packs:
            self.db.execute(
                "INSERT INTO packs (name, size, chunks) VALUES (?, ?, ?) ON CONFLICT (name)"
                " DO UPDATE SET size = excluded.size, chunks = excluded.chunks",
                (name, size, len(entries)),
            )
            (pid,) = self.db.execute("SELECT id FROM packs WHERE name = ?", (name,)).fetchone()
            self.db.executemany(
                f"INSERT OR {conflict} INTO chunks VALUES (?, ?, ?, ?, ?, ?)",
                ((e.digest, pid, e.offset, e.stored, e.raw, e.kind) for e in entries),
            )

    def move(
        self,
        unneeded: list[bytes],
        packs: list[tuple[str, int, list[Entry]]],
        old: list[str],
    ) -> None:
        """In one transaction: forgets the ``unneeded`` chunks, lists the new ``packs`` (their
        chunks moved there) and forgets the ``old`` ones. Any error rolls it all back."""
        try:
            self.db.execute("BEGIN")
            self.db.executemany("DELETE FROM chunks WHERE digest = ?", [(d,) for d in unneeded])
            self._list(packs, "REPLACE")
            self.db.executemany("DELETE FROM packs WHERE name = ?", [(n,) for n in old])
            self.db.execute("COMMIT")
        except BaseException:
            if self.db.in_transaction:
                self.db.execute("ROLLBACK")
            raise

    def located(self) -> Iterable[tuple[bytes, str, int, int, int, int]]:
        """Every chunk with its location: digest, pack, offset, stored, raw, kind."""
        return self.db.execute(_LOCATED)

    def digests(self) -> np.ndarray:
        """Every chunk digest listed: uint64, shape (chunks, 4), each row a digest's bytes,
        sorted by the first eight (for a search by them, checked on all 32)."""
        rows = self.db.execute("SELECT digest FROM chunks WHERE length(digest) = 32")
        out = np.frombuffer(b"".join(map(operator.itemgetter(0), rows)), np.uint64).reshape(-1, 4)
        return out[np.argsort(out[:, 0])]

    def locations(self) -> dict[bytes, Location]:
        """Every chunk's location."""
        return {row[0]: row[1:] for row in self.db.execute(_LOCATED)}

    def packs(self) -> dict[str, tuple[int, int]]:
        """Every pack's size and chunk count."""
        return {n: (s, c) for n, s, c in self.db.execute("SELECT name, size, chunks FROM packs")}

    def close(self) -> None:
        """Closes the database."""
        self.db.close()


def _db_error(path: str, e: sqlite3.OperationalError) -> StoreError:
    text = str(e)
    if "full" in text:
        return StoreError(f"{path}: No space left on device")
    if "readonly" in text:
        return StoreError(f"{path}: the store is read-only")
    return disk_error(path, OSError(text))
