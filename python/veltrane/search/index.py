"""A lasting Jaccard near-duplicate index: texts added, queried and removed in batches, every
committed batch on disk.

A directory holds it:

- ``catalogue.sqlite``: the parameters, one row per indexed text (its id and the sorted
  64-bit hashes of its shingles, which exact verification needs), and the list of segments.
- ``seg-N.keys.npy`` / ``seg-N.docs.npy``: a segment, the band hashes of a run of texts,
  sorted within each band, with the text each belongs to: 12 bytes a band a text (252 bytes a
  text at 21 bands). Segments never change once written; adding texts writes a new one, and
  segments of similar size are merged, so there are about log2(texts) of them.

A batch is one SQLite transaction, taken before any file is written and committed after its
segment files are on disk; files of a batch that never committed are deleted by the next
batch. So a process killed at any moment leaves the index as it was before or after a batch.
Removed texts lose their rows at once and their band hashes when their segment is next merged.
"""

from __future__ import annotations

import os
import sqlite3
from collections.abc import Iterable, Iterator, Sequence
from contextlib import contextmanager
from pathlib import Path
from typing import NamedTuple

import numpy as np

from .. import _args, _native
from ..sketch.minhash import minhash_signatures, shingle_hashes
from ._bands import band_keys, sort_bands
from .catalogue import (
    CATALOGUE,
    Id,
    Segment,
    checked_id,
    checksum,
    damage_reported,
    database_error,
    fsync_dir,
    open_catalogue,
    save_array,
)
from .jaccard import JaccardParams

# Doc numbers are stored as uint32 in the segments.
_MAX_DOCS = (1 << 32) - 1
# A merge holds both segments and the result in memory: 1 GB at 21 bands. Beyond, segments
# of this size accumulate, each one more search per band and query.
_MAX_SEGMENT = 1 << 22
# How long a writer waits for another to commit before TimeoutError.
_LOCK_SECONDS = 60.0
# SQLite's default limit of host parameters in one statement is 32766; stay well below.
_IN_CHUNK = 4096


class IndexMatch(NamedTuple):
    """An indexed text that is a near duplicate of a queried one."""

    #: The id the indexed text was added with.
    id: Id
    #: The exact Jaccard similarity of the two texts' shingle sets.
    similarity: float


class JaccardIndex:
    """Texts indexed by the MinHash bands of their shingles, in the directory ``path``, queried
    for the indexed texts of Jaccard similarity at least ``threshold`` (verified exactly, as
    :func:`veltrane.near_duplicate_pairs_jaccard` does).

    A new index takes ``threshold``, ``ngram``, ``num_perm``, ``seed``, ``bands`` and ``rows``
    (the defaults and meaning of :func:`veltrane.near_duplicate_pairs_jaccard`), one by one or
    as ``params`` (a :class:`~veltrane.search.jaccard.JaccardParams`, every field of which is
    then asked for), and keeps them; an existing one is opened with those it was built with,
    and any given that differ raise ValueError. A directory that is not an index, or a damaged
    index, raises ValueError too.

    Every ``add`` and ``remove`` is committed to disk before it returns (there is no save);
    a process killed meanwhile leaves the index as before the call. Batches of several
    writers are taken one at a time: a writer waits up to a minute for another's batch, then
    raises TimeoutError. One object is not for several threads at once.
    """

    def __init__(
        self,
        path: str | os.PathLike[str],
        *,
        threshold: float | None = None,
        ngram: int | None = None,
        num_perm: int | None = None,
        seed: int | None = None,
        bands: int | None = None,
        rows: int | None = None,
        threads: int | None = None,
        params: JaccardParams | None = None,
    ) -> None:
        self._path = Path(path)
        self._threads = _args.threads(threads)
        if params is not None:
            if any(v is not None for v in (threshold, ngram, num_perm, seed, bands, rows)):
                raise ValueError("give params or the parameters one by one, not both")
            threshold, ngram, num_perm, seed = (
                params.threshold,
                params.ngram,
                params.num_perm,
                params.seed,
            )
            bands, rows = params.bands, params.rows
        asked = {
            "threshold": None if threshold is None else _args.threshold(threshold),
            "ngram": None if ngram is None else _args.positive(ngram, "ngram"),
            "num_perm": None if num_perm is None else _args.positive(num_perm, "num_perm"),
            "seed": None if seed is None else _args.in_range(seed, "seed", 0, (1 << 64) - 1),
            "bands": None if bands is None else _args.positive(bands, "bands"),
            "rows": None if rows is None else _args.positive(rows, "rows"),
        }
        if self._path.exists() and not self._path.is_dir():
            raise ValueError(f"{self._path}: not a Jaccard index (a file, not a directory)")
        catalogue = self._path / CATALOGUE
        if self._path.is_dir() and not catalogue.exists() and any(self._path.iterdir()):
            raise ValueError(f"{self._path}: not a Jaccard index (no {CATALOGUE})")
        self._path.mkdir(parents=True, exist_ok=True)
        self._db = sqlite3.connect(
            catalogue, timeout=_LOCK_SECONDS, isolation_level=None, check_same_thread=False
        )
        self._segments: dict[int, Segment] = {}
        # Segments merged away, unlinked once their transaction commits.
        self._replaced: list[int] = []
        self._in_batch = False
        try:
            self._db.execute("PRAGMA journal_mode=WAL")
            self._db.execute("PRAGMA synchronous=FULL")
            # A query verifies exactly, and a text without words matches nothing.
            self._params = JaccardParams(
                **open_catalogue(self._db, self._path, asked), verify="exact", wordless="apart"
            )
            self._check_segments()
        except sqlite3.DatabaseError as e:
            self._db.close()
            raise database_error(self._path, e, "not a Jaccard index or damaged") from None
        except BaseException:
            self._db.close()
            raise

    def _meta(self, name: str):
        (value,) = self._db.execute("SELECT value FROM meta WHERE name = ?", (name,)).fetchone()
        return value

    def _check_segments(self) -> None:
        for seg, entries, crc in self._db.execute("SELECT * FROM segments").fetchall():
            self._segment(seg, entries, crc)

    def _segment(self, seg: int, entries: int, crc: int) -> Segment:
        found = self._segments.get(seg)
        if found is not None:
            return found
        shape = (self.bands, entries)
        try:
            keys = np.load(self._path / f"seg-{seg}.keys.npy", mmap_mode="r")
            docs = np.load(self._path / f"seg-{seg}.docs.npy", mmap_mode="r")
        except (OSError, ValueError) as e:
            raise ValueError(f"{self._path}: damaged index: segment {seg}: {e}") from None
        if (keys.shape, keys.dtype, docs.shape, docs.dtype) != (
            shape,
            np.uint64,
            shape,
            np.uint32,
        ):
            raise ValueError(f"{self._path}: damaged index: segment {seg} has the wrong shape")
        # Read once a process: a flipped bit in a segment would silently lose matches.
        if checksum(keys, docs) != crc:
            raise ValueError(f"{self._path}: damaged index: segment {seg} fails its checksum")
        found = self._segments[seg] = Segment(seg, keys, docs)
        return found

    # -- parameters --------------------------------------------------------------------------

    @property
    def path(self) -> Path:
        """The index directory."""
        return self._path

    @property
    def params(self) -> JaccardParams:
        """The parameters the index was built with, ``bands`` and ``rows`` included."""
        return self._params

    @property
    def threshold(self) -> float:
        """The least Jaccard similarity of a match."""
        return self._params.threshold

    @property
    def ngram(self) -> int:
        """Words per shingle."""
        return self._params.ngram

    @property
    def num_perm(self) -> int:
        """Values per MinHash signature."""
        return self._params.num_perm

    @property
    def seed(self) -> int:
        """The seed of the MinHash permutations."""
        return self._params.seed

    @property
    def bands(self) -> int:
        """LSH bands per signature."""
        assert self._params.bands is not None
        return self._params.bands

    @property
    def rows(self) -> int:
        """Signature values per band."""
        assert self._params.rows is not None
        return self._params.rows

    def __len__(self) -> int:
        (n,) = self._db.execute("SELECT count(*) FROM docs").fetchone()
        return n

    def __contains__(self, id: object) -> bool:
        try:
            key = checked_id(id, 0)
        except (TypeError, ValueError):
            return False
        return self._db.execute("SELECT 1 FROM docs WHERE id = ?", (key,)).fetchone() is not None

    def close(self) -> None:
        """Closes the index; every committed batch is already on disk."""
        self._segments.clear()
        self._db.close()

    def __enter__(self) -> JaccardIndex:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # -- the work ----------------------------------------------------------------------------

    def _sign(self, texts: Sequence) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        p = self._params
        sig = minhash_signatures(
            texts, p.num_perm, ngram=p.ngram, seed=p.seed, threads=self._threads
        )
        values, offsets = shingle_hashes(texts, ngram=p.ngram, threads=self._threads)
        return band_keys(sig, self.bands, self.rows), values, offsets

    def add(
        self, texts: Iterable[str | bytes | bytearray], ids: Iterable[Id] | None = None
    ) -> list[Id]:
        """Indexes the texts under ``ids`` (ints or strs, one per text, new to the index;
        default: the next integers after the largest int id so far) and returns the ids.

        The batch is committed as a whole: a duplicate id or a bad text raises before anything
        is written. A text without words (no shingle) takes its id but is a near duplicate of
        nothing: no query ever matches it."""
        items = list(_args.texts(texts))
        given = None if ids is None else [checked_id(v, k) for k, v in enumerate(ids)]
        if given is not None and len(given) != len(items):
            raise ValueError(f"{len(items)} texts but {len(given)} ids")
        if given is not None and len(set(given)) != len(given):
            raise ValueError("ids must be distinct")
        keys, values, offsets = self._sign(items)
        with damage_reported(self._path):
            return self._add(items, given, keys, values, offsets)

    @contextmanager
    def batch(self) -> Iterator[JaccardIndex]:
        """A ``with`` block whose adds and removes are committed together when it ends without
        an error, and rolled back when it raises: a process killed inside it leaves the index
        as before the block. Queries inside it see the block's own adds. The block holds the
        write lock, so other writers wait for it (and raise TimeoutError after a minute).

        A caller that writes outputs from what it added does so inside the block: then the
        index never records texts whose outputs were lost."""
        if self._in_batch:
            raise RuntimeError("batches do not nest")
        with damage_reported(self._path):
            self._begin_write()
        self._in_batch = True
        try:
            yield self
            with damage_reported(self._path):
                self._db.execute("COMMIT")
        except BaseException:
            self._rollback()
            self._segments.clear()
            self._replaced.clear()
            raise
        finally:
            self._in_batch = False
        self._unlink_replaced()

    def _rollback(self) -> None:
        # A failed COMMIT (a full disk) may have rolled back already: then a ROLLBACK would
        # raise and hide the error that matters.
        if self._db.in_transaction:
            self._db.execute("ROLLBACK")

    def _begin_write(self) -> None:
        self._db.execute("BEGIN IMMEDIATE")
        try:
            self._remove_orphans()
        except BaseException:
            self._db.execute("ROLLBACK")
            raise

    @contextmanager
    def _writing(self) -> Iterator[None]:
        """One write transaction, or, inside :meth:`batch`, a savepoint of its transaction
        (so that a call that raises leaves nothing of itself in the batch)."""
        db = self._db
        if self._in_batch:
            replaced = len(self._replaced)
            db.execute("SAVEPOINT call")
            try:
                yield
                db.execute("RELEASE call")
            except BaseException:
                # A full disk may have rolled the whole transaction back: the savepoint is
                # gone with it, and the batch's own rollback has nothing left to do.
                if db.in_transaction:
                    db.execute("ROLLBACK TO call")
                    db.execute("RELEASE call")
                self._segments.clear()
                del self._replaced[replaced:]
                raise
            return
        self._begin_write()
        try:
            yield
            db.execute("COMMIT")
        except BaseException:
            self._rollback()
            self._segments.clear()
            self._replaced.clear()
            raise
        self._unlink_replaced()

    @contextmanager
    def _reading(self) -> Iterator[None]:
        """One snapshot for the segments and the rows (inside a batch: the batch's)."""
        if self._in_batch:
            yield
            return
        self._db.execute("BEGIN")
        try:
            yield
        finally:
            self._db.execute("COMMIT")

    def _unlink_replaced(self) -> None:
        # Only once committed: until then the replaced segments are still the index.
        for seg in self._replaced:
            self._unlink(seg)
        self._replaced.clear()

    def _add(self, items, given, keys, values, offsets):
        db = self._db
        with self._writing():
            first = self._meta("next_doc")
            n = len(items)
            if first + n > _MAX_DOCS:
                raise ValueError(f"an index holds at most {_MAX_DOCS} texts ever added")
            if given is None:
                (top,) = db.execute(
                    "SELECT max(id) FROM docs WHERE typeof(id) = 'integer'"
                ).fetchone()
                start = 0 if top is None else top + 1
                given = list(range(start, start + n))
            rows = (
                (first + k, given[k], values[offsets[k] : offsets[k + 1]].tobytes())
                for k in range(n)
            )
            try:
                db.executemany("INSERT INTO docs VALUES (?, ?, ?)", rows)
            except sqlite3.IntegrityError:
                taken = self._taken(given)
                raise ValueError(f"id {taken!r} is already in the index") from None
            # Texts without words keep their id but no band: near duplicates of nothing.
            worded = np.diff(offsets) > 0
            if worded.any():
                docs = np.arange(first, first + n, dtype=np.uint32)
                self._write_segment(*sort_bands(keys[:, worded], docs[worded]))
            db.execute("UPDATE meta SET value = ? WHERE name = 'next_doc'", (first + n,))
            self._compact()
        return given

    def _taken(self, ids: list[Id]) -> Id | None:
        for start in range(0, len(ids), _IN_CHUNK):
            part = ids[start : start + _IN_CHUNK]
            found = self._db.execute(
                f"SELECT id FROM docs WHERE id IN ({','.join('?' * len(part))})", part
            ).fetchone()
            if found is not None:
                return found[0]
        return None

    def _write_segment(self, keys: np.ndarray, docs: np.ndarray) -> int:
        (top,) = self._db.execute("SELECT max(seg) FROM segments").fetchone()
        seg = 0 if top is None else top + 1
        save_array(self._path / f"seg-{seg}.keys.npy", keys)
        save_array(self._path / f"seg-{seg}.docs.npy", docs)
        fsync_dir(self._path)
        self._db.execute(
            "INSERT INTO segments VALUES (?, ?, ?)", (seg, keys.shape[1], checksum(keys, docs))
        )
        return seg

    def _compact(self) -> None:
        """Merges the newest segments while the one before the newest is at most twice its
        size (so sizes fall by half or more from the oldest) and together they hold at most
        ``_MAX_SEGMENT`` texts, dropping removed texts."""
        while True:
            segs = self._db.execute(
                "SELECT seg, entries, crc FROM segments ORDER BY seg DESC LIMIT 2"
            ).fetchall()
            if (
                len(segs) < 2
                or segs[1][1] > 2 * segs[0][1]
                or segs[1][1] + segs[0][1] > _MAX_SEGMENT
            ):
                return
            (new, new_n, new_crc), (old, old_n, old_crc) = segs
            a, b = self._segment(old, old_n, old_crc), self._segment(new, new_n, new_crc)
            keys = np.concatenate([a.keys, b.keys], axis=1)
            docs = np.concatenate([a.docs, b.docs], axis=1)
            lo, hi = (int(docs[0].min()), int(docs[0].max())) if docs.size else (0, -1)
            alive = np.isin(docs[0], self._alive(lo, hi))
            # Every band holds each doc once, so the first band's mask picks each band's.
            keep = np.isin(docs, docs[0][alive])
            m = int(alive.sum())
            keys, docs = keys[keep].reshape(self.bands, m), docs[keep].reshape(self.bands, m)
            keys, docs = sort_bands(keys, docs)
            # Written before the old rows go, so that its number is above theirs.
            self._write_segment(keys, docs)
            self._db.execute("DELETE FROM segments WHERE seg IN (?, ?)", (old, new))
            self._replaced += [old, new]

    def _alive(self, lo: int, hi: int) -> np.ndarray:
        found = self._db.execute(
            "SELECT doc FROM docs WHERE doc BETWEEN ? AND ?", (lo, hi)
        ).fetchall()
        return np.array([d for (d,) in found], dtype=np.uint32)

    def _unlink(self, seg: int) -> None:
        self._segments.pop(seg, None)
        for part in ("keys", "docs"):
            (self._path / f"seg-{seg}.{part}.npy").unlink(missing_ok=True)

    def _remove_orphans(self) -> None:
        # Under the write lock: files of a batch that never committed, or of segments merged
        # away by a batch that died before deleting them.
        listed = {seg for (seg,) in self._db.execute("SELECT seg FROM segments")}
        for file in self._path.glob("seg-*.npy"):
            number = file.name.split(".")[0].removeprefix("seg-")
            seg = int(number) if number.isdigit() else -1
            if seg not in listed:
                self._segments.pop(seg, None)
                file.unlink(missing_ok=True)

    def remove(self, ids: Iterable[Id]) -> None:
        """Removes the texts of ``ids`` from the index, all or none: KeyError when one is not
        in it."""
        wanted = list(dict.fromkeys(checked_id(v, k) for k, v in enumerate(ids)))
        with damage_reported(self._path):
            self._remove(wanted)

    def _remove(self, wanted: list[Id]) -> None:
        with self._writing():
            removed = 0
            for start in range(0, len(wanted), _IN_CHUNK):
                part = wanted[start : start + _IN_CHUNK]
                removed += self._db.execute(
                    f"DELETE FROM docs WHERE id IN ({','.join('?' * len(part))})", part
                ).rowcount
            if removed != len(wanted):
                raise KeyError(f"{len(wanted) - removed} of the ids are not in the index")

    def query(self, texts: Iterable[str | bytes | bytearray]) -> list[list[IndexMatch]]:
        """For each text, the indexed texts of Jaccard similarity at least the threshold to it,
        as ``IndexMatch(id, similarity)`` in the order they were added. A text without words
        matches nothing."""
        items = list(_args.texts(texts))
        keys, values, offsets = self._sign(items)
        with damage_reported(self._path):
            return self._query(items, keys, values, offsets)

    def _query(self, items, keys, values, offsets) -> list[list[IndexMatch]]:
        with self._reading():
            q_parts, d_parts = [], []
            wordless = np.diff(offsets) == 0
            for seg, entries, crc in self._db.execute("SELECT * FROM segments").fetchall():
                s = self._segment(seg, entries, crc)
                for b in range(self.bands):
                    lo = np.searchsorted(s.keys[b], keys[b], "left")
                    hi = np.searchsorted(s.keys[b], keys[b], "right")
                    count = hi - lo
                    count[wordless] = 0
                    if not count.any():
                        continue
                    q = np.repeat(np.arange(len(items)), count)
                    start = np.repeat(lo - np.cumsum(count) + count, count)
                    d_parts.append(np.asarray(s.docs[b])[start + np.arange(len(q))])
                    q_parts.append(q)
            if not q_parts:
                return [[] for _ in items]
            pairs = np.unique(
                (np.concatenate(q_parts).astype(np.uint64) << np.uint64(32))
                | np.concatenate(d_parts).astype(np.uint64)
            )
            qi = (pairs >> np.uint64(32)).astype(np.int64)
            doc = (pairs & np.uint64(0xFFFFFFFF)).astype(np.int64)
            needed = np.unique(doc)
            found = self._rows(needed.tolist())
        # Removed texts have no row.
        present = np.isin(doc, np.fromiter(found, dtype=np.int64, count=len(found)))
        qi, doc = qi[present], doc[present]
        docs = sorted(found)
        slot_of = {d: k for k, d in enumerate(docs)}
        sets = [values] + [np.frombuffer(found[d][1], dtype=np.uint64) for d in docs]
        sizes = np.diff(offsets).tolist() + [len(s) for s in sets[1:]]
        all_offsets = np.concatenate([[0], np.cumsum(sizes, dtype=np.int64)])
        j = np.array([len(items) + slot_of[d] for d in doc.tolist()], dtype=np.int64)
        slot = np.arange(len(items) + len(docs), dtype=np.int64)
        sims = _native.jaccard_verify_exact(
            qi, j, slot, all_offsets, np.concatenate(sets), self._threads
        )
        out: list[list[IndexMatch]] = [[] for _ in items]
        for a, d, s in zip(qi.tolist(), doc.tolist(), sims.tolist()):
            if s >= self.threshold:
                out[a].append(IndexMatch(found[d][0], s))
        return out

    def _rows(self, docs: list[int]) -> dict[int, tuple[Id, bytes]]:
        found: dict[int, tuple[Id, bytes]] = {}
        for start in range(0, len(docs), _IN_CHUNK):
            part = docs[start : start + _IN_CHUNK]
            for d, id_, blob in self._db.execute(
                f"SELECT doc, id, shingles FROM docs WHERE doc IN ({','.join('?' * len(part))})",
                part,
            ):
                found[d] = (id_, blob)
        return found
