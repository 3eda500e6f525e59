"""``add``: a snapshot of files and trees. The tree is walked once (lstat of every entry); a
file whose size, times and inode match the previous snapshot of the same sources, and whose
chunks are all stored, is not read again. Other files are read, cut by GearCDC, digested with
BLAKE3, and their new chunks compressed and packed, on all cores. The packs are finished
first, then listed in the index, then the snapshot written: a run killed at any moment leaves
no snapshot that needs a chunk the store lacks."""

from __future__ import annotations

import errno
import os
import threading
import time
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait

import numpy as np
import zstandard

from .. import _native
from .packs import MAX_CHUNK, RAW, ZSTD, PackWriter
from .snapshot import COUNT, CTIME, DIR, FILE, HARDLINK, INO, LINK, MTIME, SIZE, Columns, Node

#: Bytes read from a file at a time (a larger file is cut piece by piece).
READ_BYTES = 16 << 20
#: Files handed to a worker at once, and their bytes at most.
BATCH_FILES = 256
BATCH_BYTES = 8 << 20


class WriteFailed(Exception):
    """Writing to the store failed (the OSError is the cause): the whole add stops."""

    def __init__(self, error: OSError) -> None:
        super().__init__(str(error))
        self.error = error


def walk(
    sources: list[str], on_error, exclude: tuple[int, int] | None = None, threads: int = 1
) -> tuple[Columns, int]:
    """The entries of the sources (absolute paths; their parent directories first) as
    columns, without chunks yet, and how many FIFOs, sockets and devices were left out. The
    directory ``exclude`` (device, inode: the store itself) is left out with everything in
    it. The walk is native: one lstat an entry, and Python sees only columns; a single
    source's directories are listed on ``threads`` threads, in the same order as on one."""
    dev, ino = exclude if exclude is not None else (-1, -1)
    s = _native.store_scan(sources, dev & (1 << 64) - 1, ino & (1 << 64) - 1, threads)
    for path, error in s["errors"]:
        on_error(path, OSError(error, os.strerror(error)))
    ints = np.zeros((8, len(s["rel"])), np.int64)
    for k, name in enumerate(("mode", "mtime_ns", "uid", "gid", "size", "ctime_ns", "ino")):
        ints[k] = s[name]
    c = Columns(s["rel"], s["kind"].encode(), ints, s["target"], b"", np.zeros(0, np.uint32))
    return c, s["special"]


def stored(table: bytes, known: np.ndarray) -> np.ndarray:
    """Which digests of ``table`` (32 bytes each) are among ``known`` (as from the index's
    ``digests``): a search by their first eight bytes, the hit compared on all 32. Two stored
    digests alike in their first eight bytes can make one look missing (its file is then
    read again), never a missing one look stored."""
    mine = np.frombuffer(table, np.uint64).reshape(-1, 4)
    if not len(known):
        return np.zeros(len(mine), bool)
    at = np.minimum(np.searchsorted(known[:, 0], mine[:, 0]), len(known) - 1)
    return (known[at] == mine).all(axis=1)


def reuse(scan: Columns, parent: Columns | None, known: np.ndarray) -> np.ndarray:
    """For each file of the scan (in order), the position among the parent snapshot's files
    of the same file, when its size, times and inode agree and every chunk is still stored
    (it is then not read again); -1 for the others. ``known``: the stored digests, as
    :func:`stored` takes them."""
    files = scan.files()
    out = np.full(len(files), -1, np.int64)
    pfiles = parent.files() if parent is not None else np.zeros(0, np.int64)
    if parent is None or not len(files) or not len(pfiles):
        return out
    if scan.kinds == parent.kinds and scan.paths == parent.paths:
        # The usual case, the same entries: no lookup each, not even lists of the files.
        j = np.arange(len(files), dtype=np.int64)
    else:
        theirs = list(map(parent.paths.__getitem__, pfiles.tolist()))
        ours = list(map(scan.paths.__getitem__, files.tolist()))
        at = {p: k for k, p in enumerate(theirs)}
        j = np.fromiter((at.get(p, -1) for p in ours), np.int64, len(files))
    pcount = parent.ints[COUNT][pfiles]
    pstart = np.cumsum(pcount) - pcount
    missing = ~stored(parent.table, known)
    lost = np.concatenate(([0], np.cumsum(missing[parent.refs], dtype=np.int64)))
    lost = lost[pstart + pcount] - lost[pstart]
    jj = np.where(j >= 0, j, 0)
    same = (j >= 0) & (lost[jj] == 0)
    for col in (SIZE, MTIME, CTIME, INO):
        same &= scan.ints[col][files] == parent.ints[col][pfiles][jj]
    out[same] = j[same]
    return out


def assemble(
    scan: Columns,
    parent: Columns | None,
    reused: np.ndarray,
    read: dict[int, Node],
    failed: set[str],
) -> Columns:
    """The new snapshot's columns: the scan, each file's chunks taken from the parent where
    ``reused`` says so and from the ``read`` node (by position in the scan) otherwise; files
    that failed, and hardlinks to them, left out. Only the digests the files need are kept.
    A scan of the parent's very entries, none read, is the parent (its body is kept)."""
    if not read and not failed and parent is not None and _same_entries(scan, parent):
        return parent
    files = scan.files()
    ints = scan.ints.copy()
    if parent is not None:
        pfiles = parent.files()
        pcount = parent.ints[COUNT][pfiles]
        pstart = np.cumsum(pcount) - pcount
        prefs, ptable = parent.refs.astype(np.int64), parent.table
    else:
        pcount = pstart = prefs = np.zeros(0, np.int64)
        ptable = b""
    starts = np.zeros(len(files), np.int64)
    counts = np.zeros(len(files), np.int64)
    was = reused >= 0
    starts[was], counts[was] = pstart[reused[was]], pcount[reused[was]]
    # Digests of the files read: indexes after the parent's table, new ones appended.
    ids: dict[bytes, int] = {}
    new: list[bytes] = []
    added: list[int] = []
    if read:
        ids = {ptable[32 * k : 32 * k + 32]: k for k in range(len(ptable) // 32)}
    base = len(ptable) // 32
    places = np.searchsorted(files, np.fromiter(read, np.int64, len(read))).tolist()
    for k, (i, node) in zip(places, read.items()):
        starts[k] = len(prefs) + len(added)
        counts[k] = len(node.chunks)
        ints[SIZE][i] = node.size
        for d in node.chunks:
            at = ids.get(d)
            if at is None:
                at = ids[d] = base + len(new)
                new.append(d)
            added.append(at)
    keep = np.ones(len(scan.paths), bool)
    if failed:
        for k, i in enumerate(files.tolist()):
            if scan.paths[i] in failed:
                keep[i] = False
                counts[k] = 0
        for i, kind in enumerate(scan.kinds):
            if kind == ord(HARDLINK) and scan.targets[i] in failed:
                keep[i] = False
    ints[COUNT][files] = counts
    # Every file's references in order: each a run of ``counts`` from ``starts`` in the
    # parent's references followed by the new ones.
    pool = np.concatenate([prefs, np.asarray(added, np.int64)])
    total = int(counts.sum())
    offsets = np.cumsum(counts) - counts
    take = np.repeat(starts - offsets, counts) + np.arange(total, dtype=np.int64)
    used, refs = np.unique(pool[take], return_inverse=True)
    digests = np.frombuffer(ptable + b"".join(new), np.uint8).reshape(-1, 32)
    paths, kinds, targets = scan.paths, scan.kinds, scan.targets
    if not keep.all():
        paths = [p for p, k in zip(paths, keep.tolist()) if k]
        targets = [t for t, k in zip(targets, keep.tolist()) if k]
        kinds = bytes(np.frombuffer(kinds, np.uint8)[keep])
        ints = ints[:, keep]
    return Columns(
        paths, kinds, ints, targets, digests[used].tobytes(), refs.astype(np.uint32).ravel()
    )


def _same_entries(scan: Columns, parent: Columns) -> bool:
    """Whether the scan found the parent's entries, each with the same fields."""
    return (
        scan.kinds == parent.kinds
        and np.array_equal(scan.ints[:COUNT], parent.ints[:COUNT])
        and scan.paths == parent.paths
        and scan.targets == parent.targets
    )


class Adder:
    """Reads files, cuts and digests them, and packs the chunks the store lacks."""

    def __init__(
        self,
        gear: _native.Gear,
        known: np.ndarray,
        writer: PackWriter,
        level: int,
        on_error,
        threads: int,
    ) -> None:
        self._gear = gear
        self._stored = known
        self._known: set[bytes] = set()
        self._claimed: set[bytes] = set()
        self._claim_lock = threading.Lock()
        self._writer = writer
        self._level = level
        self._on_error = on_error
        self._threads = threads
        self._local = threading.local()
        self._count_lock = threading.Lock()
        #: Bytes read, raw bytes of new chunks, and their bytes as stored.
        self.read_bytes = 0
        self.new_bytes = 0
        self.stored_bytes = 0
        self.new_chunks = 0
        #: Files that could not be read (left out of the snapshot).
        self.failed: set[str] = set()
        # Shares of long files' pieces handed to the pool, and room for at most two a thread
        # in flight (each holds its piece, READ_BYTES or a little more).
        self._pool: ThreadPoolExecutor | None = None
        self._shares: list[Future] = []
        self._shares_lock = threading.Lock()
        self._room = threading.Semaphore(2 * threads)

    def run(self, files: list[tuple[Node, str]], progress) -> None:
        """Reads every file, in batches on all cores; raises WriteFailed when the store
        cannot be written."""
        if files:  # a set for a lookup a chunk, made only when there are chunks
            table = self._stored.tobytes()
            self._known = {table[k : k + 32] for k in range(0, len(table), 32)}
        batches, batch, size = [], [], 0
        for item in files:
            batch.append(item)
            size += item[0].size
            if len(batch) >= BATCH_FILES or size >= BATCH_BYTES:
                batches.append(batch)
                batch, size = [], 0
        if batch:
            batches.append(batch)
        total = sum(n.size for n, _ in files)
        todo = iter(batches)
        with ThreadPoolExecutor(self._threads) as pool:
            self._pool = pool
            pending: set[Future] = set()
            try:
                # Batches are handed out a few at a time, so that the shares of a long file
                # that its reader hands out queue behind these few, not behind every batch.
                while True:
                    while len(pending) < 2 * self._threads:
                        b = next(todo, None)
                        if b is None:
                            break
                        pending.add(pool.submit(self._batch, b))
                    with self._shares_lock:
                        shared, self._shares = self._shares, []
                    if not pending and not shared:
                        break
                    pending |= set(shared)
                    done, pending = wait(pending, timeout=0.1, return_when=FIRST_COMPLETED)
                    for f in done:
                        f.result()
                    if progress is not None:
                        progress("reading", self.read_bytes, total)
            except BaseException:
                self._pool = None
                for f in pending:
                    f.cancel()
                with self._shares_lock:
                    for f in self._shares:
                        f.cancel()
                raise
            self._pool = None

    def _batch(self, batch: list[tuple[Node, str]]) -> None:
        # Read, cut and digested natively, all files of the batch in one call; a file longer
        # than READ_BYTES (or grown past it since the walk) is read piece by piece instead.
        data, table, lengths, digests = _native.store_read(
            [p for _, p in batch], self._gear, READ_BYTES
        )
        view = memoryview(data)
        sizes = lengths.tolist()
        at = k = 0
        for (node, path), (error, size, count) in zip(batch, table.tolist()):
            try:
                if error < 0:
                    self._file(node, path)
                    continue
                if error > 0:
                    raise OSError(error, os.strerror(error), path)
                chunks = [digests[32 * j : 32 * j + 32] for j in range(k, k + count)]
                for digest, n in zip(chunks, sizes[k : k + count]):
                    if self._claim(digest):
                        self._store(digest, view[at : at + n])
                    at += n
                k += count
                node.chunks = chunks
                node.size = size
                with self._count_lock:
                    self.read_bytes += size
            except WriteFailed:
                raise
            except OSError as e:
                self._on_error(path, e)
                with self._count_lock:
                    self.failed.add(node.path)

    def _claim(self, digest: bytes) -> bool:
        """Whether the chunk is new to the store and this run, claiming it for this caller."""
        if digest in self._known:
            return False
        with self._claim_lock:
            if digest in self._claimed:
                return False
            self._claimed.add(digest)
        return True

    def _file(self, node: Node, path: str) -> None:
        fd = os.open(path, os.O_RDONLY | os.O_NOFOLLOW | os.O_CLOEXEC)
        chunks: list[bytes] = []
        total = 0
        try:
            size = os.fstat(fd).st_size
            carry = b""
            while True:
                # Each piece is read straight into a buffer of its own behind the bytes
                # carried from the one before: joining the two afterwards copied every
                # piece again, with the interpreter held (half of the reader's time). Not a
                # bytearray, which zeroes its pages first, also with the interpreter held.
                buf = memoryview(np.empty(len(carry) + READ_BYTES, np.uint8))
                buf[: len(carry)] = carry
                got = os.readv(fd, [buf[len(carry) :]])
                # A short read at the size stat gave is the end: no extra read per file.
                end = not got or (got < READ_BYTES and total + len(carry) + got >= size)
                data = buf[: len(carry) + got]
                if not data:
                    break
                ends = self._gear.cut_points(data, 1)
                if end:
                    keep = len(data)
                elif len(ends) > 1:
                    ends = ends[:-1]  # the last cut is only where the piece ended
                    keep = int(ends[-1])
                else:
                    carry = bytes(data)
                    continue
                self._chunks(data, ends, chunks)
                total += keep
                with self._count_lock:
                    self.read_bytes += keep
                if end:
                    break
                carry = bytes(data[keep:])
        finally:
            os.close(fd)
        node.chunks = chunks
        node.size = total

    def _chunks(self, data: memoryview, ends: np.ndarray, out: list[bytes]) -> None:
        starts = np.concatenate(([0], ends[:-1])).astype(np.int64)
        lengths = (ends - starts).tolist()
        joined = _native.blake3_many(data, lengths)
        new: list[tuple[bytes, int, int]] = []
        for k, (s, n) in enumerate(zip(starts.tolist(), lengths)):
            digest = joined[32 * k : 32 * k + 32]
            out.append(digest)
            if self._claim(digest):
                new.append((digest, s, n))
        self._share(data, new)

    def _share(self, view: memoryview, new: list[tuple[bytes, int, int]]) -> None:
        """Stores the new chunks of one piece of a long file. Compressing them is most of the
        work, and one worker alone reads and cuts the file, so the piece is split into a
        share a thread: all but the last go to the pool while there is room (at most two
        a thread in flight, which bounds the pieces held in memory), and the reader
        stores the rest itself before it reads on."""
        pool = self._pool
        shares = self._threads if pool is not None and len(new) > 1 else 1
        per = -(-sum(n for _, _, n in new) // shares)
        at = 0
        for _ in range(shares - 1):
            end, size = at, 0
            while end < len(new) and size < per:
                size += new[end][2]
                end += 1
            if end == at or not self._room.acquire(blocking=False):
                break
            try:
                f = pool.submit(self._take_share, view, new[at:end])  # type: ignore[union-attr]
            except RuntimeError:  # the run is stopping: no new work is taken
                self._room.release()
                break
            with self._shares_lock:
                self._shares.append(f)
            at = end
        self._store_all(view, new[at:])

    def _take_share(self, view: memoryview, new: list[tuple[bytes, int, int]]) -> None:
        try:
            self._store_all(view, new)
        finally:
            self._room.release()

    def _store_all(self, view: memoryview, new: list[tuple[bytes, int, int]]) -> None:
        for digest, s, n in new:
            self._store(digest, view[s : s + n])

    def _store(self, digest: bytes, raw: memoryview) -> None:
        assert len(raw) <= MAX_CHUNK
        c = getattr(self._local, "c", None)
        if c is None:
            c = self._local.c = zstandard.ZstdCompressor(level=self._level)
        packed = c.compress(raw)
        kind = ZSTD
        if len(packed) >= len(raw):
            packed, kind = bytes(raw), RAW
        try:
            self._writer.add(digest, packed, len(raw), kind)
        except OSError as e:
            raise WriteFailed(e) from e
        with self._count_lock:
            self.new_chunks += 1
            self.new_bytes += len(raw)
            self.stored_bytes += len(packed)


def summary(c: Columns, adder: Adder, started: float, reused: int) -> dict:
    """What the run did, for the snapshot's header and the report."""
    kinds = np.frombuffer(c.kinds, np.uint8)
    files = kinds == ord(FILE)
    return {
        "files": int(files.sum()),
        "hardlinks": int((kinds == ord(HARDLINK)).sum()),
        "directories": int((kinds == ord(DIR)).sum()),
        "symlinks": int((kinds == ord(LINK)).sum()),
        "bytes": int(c.ints[SIZE][files].sum()),
        "files_unchanged": reused,
        "bytes_read": adder.read_bytes,
        "new_chunks": adder.new_chunks,
        "new_bytes": adder.new_bytes,
        "stored_bytes": adder.stored_bytes,
        "seconds": round(time.monotonic() - started, 3),
    }


def is_full(e: OSError) -> bool:
    """Whether the error is a full disk (or quota)."""
    return e.errno in (errno.ENOSPC, errno.EDQUOT)
