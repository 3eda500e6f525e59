""":class:`Store`: a deduplicating store of snapshots of files and trees, the verbs of
``veltrane store`` in Python."""

from __future__ import annotations

import contextlib
import gc
import os
import socket
import time
from concurrent.futures import ThreadPoolExecutor

from .. import _native
from .._args import threads as _threads
from . import lock
from .add import Adder, WriteFailed, assemble, is_full, reuse, summary, walk
from .index import Index
from .layout import (
    PACKS,
    SNAPSHOTS,
    StoreError,
    default_config,
    disk_error,
    init_layout,
    read_config,
    remove_tmp_files,
)
from .packs import PackWriter
from .prune import forget as _forget
from .prune import prune as _prune
from .restore import Restorer, select
from .snapshot import FILE, HARDLINK, Node, Snapshot, headers, read_columns, resolve
from .snapshot import read as read_snapshot
from .snapshot import write as write_snapshot
from .verify import verify as _verify

#: The store's default average chunk length (see the README for the measurement behind it).
DEFAULT_AVG_SIZE = 1 << 16
#: The default zstd level.
DEFAULT_LEVEL = 3
#: Packs are finished once they hold this many bytes.
DEFAULT_PACK_SIZE = 32 << 20


@contextlib.contextmanager
def _collector_paused():
    """The cycle collector paused: a verb builds 10^5 objects that form no cycles, and the
    collector walked them all again and again (a fifth of an unchanged add of 121,583
    files)."""
    was = gc.isenabled()
    gc.disable()
    try:
        yield
    finally:
        if was:
            gc.enable()


def _warn(message: str) -> None:
    import sys

    print(f"veltrane store: warning: {message}", file=sys.stderr)


class Store:
    """An open store: ``Store(path)``; :meth:`init` makes a new one.

    Every method that runs long takes ``progress=``, called as ``progress(step, done,
    total)``. Failures that stop a verb raise :class:`StoreError` with one line; files that
    cannot be read or written are passed to ``on_error(path, message)`` (by default
    collected in the result's ``errors``) and the rest goes on.
    """

    def __init__(
        self, path: str | os.PathLike, *, wait: float = lock.DEFAULT_WAIT_SECONDS
    ) -> None:
        #: The store's directory.
        self.path = os.fspath(path)
        #: Its config (format, version, chunker, compression, pack size).
        self.config = read_config(self.path)
        self._wait = wait
        c = self.config["chunker"]
        self._gear = _native.Gear(
            c["min_size"], c["avg_size"], c["max_size"], c["normalization"], 0
        )

    @classmethod
    def init(
        cls,
        path: str | os.PathLike,
        *,
        avg_size: int = DEFAULT_AVG_SIZE,
        level: int = DEFAULT_LEVEL,
        pack_size: int = DEFAULT_PACK_SIZE,
    ) -> Store:
        """Creates an empty store at ``path`` (a missing or empty directory) and opens it.
        Chunks are cut by GearCDC of ``avg_size`` (min a quarter, max eight times) and
        compressed with zstd at ``level``."""
        from ..files.gear import GearCDC

        gear = GearCDC(avg_size)
        chunker = {
            "name": "gear",
            "min_size": gear.min_size,
            "avg_size": gear.avg_size,
            "max_size": gear.max_size,
            "normalization": gear.normalization,
        }
        if not 1 <= level <= 22:
            raise ValueError(f"level must be from 1 to 22, got {level}")
        init_layout(os.fspath(path), default_config(chunker, level, pack_size))
        return cls(path)

    # -- writers ----------------------------------------------------------------------------

    def _writable_index(self) -> Index:
        if not os.access(self.path, os.W_OK) or not os.access(
            os.path.join(self.path, PACKS), os.W_OK
        ):
            raise StoreError(f"{self.path}: the store is read-only")
        index = Index(self.path, True, _warn)
        for sub in (PACKS, SNAPSHOTS):
            remove_tmp_files(os.path.join(self.path, sub))
        for entry in os.scandir(os.path.join(self.path, PACKS)):
            if entry.is_dir():
                remove_tmp_files(entry.path)
        index.refresh()
        return index

    def add(
        self, paths, *, name: str = "", progress=None, threads: int | None = None, on_error=None
    ) -> dict:
        """Adds a snapshot of ``paths`` (files and trees); what it did, with the snapshot's
        ``id``. Paths are kept absolute, without the leading ``/``."""
        started = time.monotonic()
        errors: list[tuple[str, str]] = []

        def failed(path: str, e: OSError | str) -> None:
            message = e if isinstance(e, str) else (e.strerror or str(e))
            if on_error is not None:
                on_error(path, message)
            else:
                errors.append((path, message))

        sources = [os.path.abspath(os.fspath(p)) for p in paths]
        with lock.writer(self.path, self._wait), _collector_paused():
            index = self._writable_index()
            try:
                return self._add(index, sources, name, progress, threads, failed, errors, started)
            finally:
                index.close()

    def _add(self, index, sources, name, progress, threads, failed, errors, started) -> dict:
        here = os.stat(self.path)
        # The walk lets go of the interpreter: the index's digests and the last snapshot are
        # read meanwhile (a fifth of an unchanged add). Its errors are reported here, after.
        missed: list[tuple[str, OSError]] = []
        with ThreadPoolExecutor(1) as pool:
            walking = pool.submit(
                walk,
                sources,
                lambda path, e: missed.append((path, e)),
                (here.st_dev, here.st_ino),
                _threads(threads),
            )
            known = index.digests()
            parent = None
            for s in reversed(headers(self.path)):
                if s.sources == sources:
                    parent = read_columns(self.path, s.id)
                    break
            scan, special = walking.result()
        for path, e in missed:
            failed(path, e)
        reused = reuse(scan, parent, known)
        todo = scan.files()[reused < 0]
        read = {
            i: Node(scan.paths[i], FILE, *row)
            for i, row in zip(todo.tolist(), scan.ints[:7, todo].T.tolist())
        }
        writer = PackWriter(self.path, self.config["pack_size"])
        adder = Adder(
            self._gear,
            known,
            writer,
            self.config["compression"]["level"],
            failed,
            _threads(threads),
        )
        try:
            adder.run([(n, "/" + n.path) for n in read.values()], progress)
            writer.close()
            index.add_packs(writer.finished)
        except WriteFailed as e:
            writer.abort()
            raise disk_error(f"{self.path}: add failed, nothing stored", e.error) from None
        except StoreError:
            writer.abort()  # the index was left as it was
            raise
        except BaseException as e:
            writer.abort()
            if isinstance(e, OSError) and is_full(e):
                raise disk_error(f"{self.path}: add failed, nothing stored", e) from None
            raise
        columns = assemble(scan, parent, reused, read, adder.failed)
        snap = Snapshot("", name, time.time_ns(), sources)
        snap.summary = summary(columns, adder, started, int((reused >= 0).sum()))
        snap.summary["special_skipped"] = special
        snap.summary["host"] = socket.gethostname()
        try:
            write_snapshot(self.path, snap, columns)
        except OSError as e:
            # The packs were listed: forget them, then delete them.
            index.drop_packs([name for name, _, _ in writer.finished])
            writer.abort()
            raise disk_error(f"{self.path}: add failed, nothing stored", e) from None
        out = dict(snap.summary)
        out["id"] = snap.id
        out["errors"] = errors
        out["seconds"] = round(time.monotonic() - started, 3)
        return out

    def forget(self, refs) -> list[str]:
        """Deletes the snapshots ``refs`` names (ids, id prefixes or names); their ids. Their
        chunks stay until :meth:`prune`."""
        with lock.writer(self.path, self._wait):
            sids = [resolve(self.path, r) for r in refs]
            try:
                _forget(self.path, sids)
            except OSError as e:
                raise disk_error(f"{self.path}: forget", e) from e
        return sids

    def prune(self, *, progress=None) -> dict:
        """Removes every chunk no snapshot needs, rewriting packs; what it did."""
        with lock.writer(self.path, self._wait):
            index = self._writable_index()
            try:
                return _prune(self.path, index, self.config["pack_size"], progress, self._wait)
            except OSError as e:
                raise disk_error(f"{self.path}: prune failed, nothing lost", e) from e
            finally:
                index.close()

    # -- readers ----------------------------------------------------------------------------

    def _read_index(self) -> Index:
        return Index(self.path, False, _warn)

    def snapshots(self) -> list[Snapshot]:
        """Every snapshot's header (entries not loaded), oldest first."""
        return headers(self.path)

    def snapshot(self, ref: str) -> Snapshot:
        """The snapshot ``ref`` names (``latest``, a name, or an id prefix), with its
        entries."""
        return read_snapshot(self.path, resolve(self.path, ref))

    def ls(self, ref: str, path: str = "") -> list[Node]:
        """The entries of a snapshot at or under ``path``."""
        nodes = self.snapshot(ref).nodes
        p = path.strip("/")
        if not p:
            return nodes
        return [n for n in nodes if n.path == p or n.path.startswith(p + "/")]

    def diff(self, a: str, b: str) -> dict:
        """Paths added, removed and changed (kind, mode, content or target) from ``a`` to
        ``b``, and the bytes of chunks ``b`` needs that ``a`` does not."""
        sa, sb = self.snapshot(a), self.snapshot(b)
        na = {n.path: _resolved(n, sa) for n in sa.nodes}
        nb = {n.path: _resolved(n, sb) for n in sb.nodes}
        added = sorted(p for p in nb if p not in na)
        removed = sorted(p for p in na if p not in nb)
        changed = sorted(p for p in nb if p in na and not na[p].same_content(nb[p]))
        new = sb.digests() - sa.digests()
        with lock.reader(self.path, self._wait):
            index = self._read_index()
            try:
                locations = index.locations()
            finally:
                index.close()
        return {
            "a": sa.id,
            "b": sb.id,
            "added": added,
            "removed": removed,
            "changed": changed,
            "new_chunks": len(new),
            "new_bytes": sum(locations[d][3] for d in new if d in locations),
        }

    def stats(self) -> dict:
        """Snapshots, packs, chunks, the bytes they hold raw and stored, and the bytes of
        every snapshot's files together."""
        with lock.reader(self.path, self._wait):
            index = self._read_index()
            try:
                db = index.db
                chunks, raw, stored = db.execute(
                    "SELECT count(*), coalesce(sum(raw), 0), coalesce(sum(stored), 0) FROM chunks"
                ).fetchone()
                packs, pack_bytes = db.execute(
                    "SELECT count(*), coalesce(sum(size), 0) FROM packs"
                ).fetchone()
            finally:
                index.close()
        snaps = self.snapshots()
        logical = sum(int(s.summary.get("bytes", 0)) for s in snaps)
        return {
            "snapshots": len(snaps),
            "packs": packs,
            "pack_bytes": pack_bytes,
            "chunks": chunks,
            "chunk_bytes": raw,
            "stored_bytes": stored,
            "snapshot_bytes": logical,
            "dedup_ratio": round(logical / raw, 3) if raw else None,
            "compression_ratio": round(raw / stored, 3) if stored else None,
        }

    def restore(
        self,
        ref: str,
        dest: str | os.PathLike,
        paths=(),
        *,
        force: bool = False,
        progress=None,
        threads: int | None = None,
        on_error=None,
    ) -> dict:
        """Writes the snapshot ``ref`` (or only ``paths`` in it) under ``dest``; files,
        bytes and errors. An existing file is replaced only with ``force``."""
        errors: list[tuple[str, str]] = []

        def failed(path: str, message: str) -> None:
            if on_error is not None:
                on_error(path, message)
            else:
                errors.append((path, message))

        with _collector_paused():
            snap = self.snapshot(ref)
            nodes = select(snap.nodes, list(paths))
        with lock.reader(self.path, self._wait), _collector_paused():
            index = self._read_index()
            try:
                locations = index.locations()
            finally:
                index.close()
            r = Restorer(
                self.path, os.fspath(dest), locations, force, _threads(threads), failed, progress
            )
            r.run(nodes)
        return {
            "id": snap.id,
            "files": r.files,
            "bytes": r.bytes,
            "failed": r.failed,
            "errors": errors,
        }

    def verify(
        self, *, read_data: bool = False, progress=None, threads: int | None = None
    ) -> dict:
        """Checks the store (with ``read_data``, every chunk's bytes too); ``problems`` lists
        each fault in a line, naming every snapshot and file a damaged chunk harms."""
        with lock.reader(self.path, self._wait):
            index = self._read_index()
            try:
                return _verify(self.path, index, read_data, _threads(threads), progress)
            finally:
                index.close()


def _resolved(n: Node, snap: Snapshot) -> Node:
    """A hardlink compared as the file it shares."""
    if n.kind != HARDLINK:
        return n
    for m in snap.nodes:
        if m.path == n.target:
            return m
    return n
