"""``restore``: a snapshot's files written back, byte for byte, with their modes, times,
symbolic and hard links. Nothing is written outside the target: every directory is opened
from the target down, one component at a time, without following a symbolic link, and the
snapshot's paths were checked when it was read. An existing file is replaced only when asked
(``force``); every file is written under a temporary name beside it and renamed. Files are
written on all cores, side by side: creating files, not moving bytes, is what costs."""

from __future__ import annotations

import errno
import os
import stat
import threading
from collections import defaultdict
from concurrent.futures import ThreadPoolExecutor

import zstandard

from .. import _native
from .index import Location
from .layout import TMP_PREFIX, StoreError
from .packs import PackError, PackReader
from .snapshot import DIR, FILE, HARDLINK, LINK, Node

#: Bytes of files written in one native call at most; a longer file is streamed alone.
WRITE_BYTES = 16 << 20
#: A streamed file is written in runs of chunks of about this many bytes, each at its offset
#: by whichever thread is free: one thread decompressing and checking a long file's chunks
#: left the other cores idle.
SPAN_BYTES = 8 << 20
#: Why an entry already at a restored path is not replaced.
_IS_DIR = "exists as a directory"
_NO_FORCE = "exists (restore with --force to replace it)"
#: The native writer's own outcomes.
_WHY = {-1: _IS_DIR, -2: _NO_FORCE}


class ChunkDamaged(Exception):
    """A chunk that is missing, or whose bytes do not match its digest."""


def select(nodes: list[Node], paths: list[str]) -> list[Node]:
    """The entries at or under ``paths`` (all without), with the directories above them. A
    hardlink whose first file is left out becomes that file."""
    if not paths:
        return nodes
    wanted = [p.strip("/") for p in paths]
    by_path = {n.path: n for n in nodes}
    keep: set[str] = set()
    for n in nodes:
        if any(p == "" or n.path == p or n.path.startswith(p + "/") for p in wanted):
            keep.add(n.path)
            parent = n.path.rpartition("/")[0]
            while parent and parent not in keep:
                keep.add(parent)
                parent = parent.rpartition("/")[0]
    out: list[Node] = []
    became: dict[str, str] = {}
    for n in nodes:
        if n.path not in keep:
            continue
        if n.kind == HARDLINK and n.target not in keep:
            first = became.get(n.target)
            if first is None:
                t = by_path[n.target]
                became[n.target] = n.path
                n = Node(
                    n.path,
                    FILE,
                    t.mode,
                    t.mtime_ns,
                    t.uid,
                    t.gid,
                    t.size,
                    t.ctime_ns,
                    t.ino,
                    t.chunks,
                )
            else:
                n = Node(n.path, HARDLINK, target=first)
        out.append(n)
    return out


class _Chain:
    """Descriptors of the directories from the target down to the one asked for last, each
    opened from its parent without following a symbolic link. Entries come in snapshot order
    (a directory's entries together), so most directories are opened once, not once per
    component of their path for every batch."""

    def __init__(self, root: int) -> None:
        self._root = root
        self._parts: list[str] = []
        self._fds: list[int] = []

    def open(self, rel: str) -> int:
        """A descriptor of ``rel`` under the target (ELOOP or ENOTDIR if a symbolic link or
        file is in the way); the chain's own: closed by the chain, never by the caller."""
        parts = rel.split("/") if rel else []
        k = 0
        while k < len(self._parts) and k < len(parts) and self._parts[k] == parts[k]:
            k += 1
        self._drop(k)
        for part in parts[k:]:
            at = self._fds[-1] if self._fds else self._root
            fd = os.open(
                part, os.O_RDONLY | os.O_DIRECTORY | os.O_NOFOLLOW | os.O_CLOEXEC, dir_fd=at
            )
            self._parts.append(part)
            self._fds.append(fd)
        return self._fds[-1] if self._fds else self._root

    def _drop(self, keep: int) -> None:
        while len(self._fds) > keep:
            os.close(self._fds.pop())
            self._parts.pop()

    def close(self) -> None:
        """Closes every descriptor the chain holds."""
        self._drop(0)


class Restorer:
    """Writes the entries of one snapshot under ``dest``."""

    def __init__(
        self,
        repo: str,
        dest: str,
        locations: dict[bytes, Location],
        force: bool,
        threads: int,
        on_error,
        progress=None,
    ) -> None:
        self._dest = dest
        self._locations = locations
        self._reader = PackReader(repo)
        self._force = force
        self._threads = threads
        self._on_error = on_error
        self._progress = progress
        self._owner = os.geteuid() == 0
        self._lock = threading.Lock()
        self._local = threading.local()
        self._root = -1
        self._chains: list[_Chain] = []
        #: Files and bytes written, and entries that failed.
        self.files = 0
        self.bytes = 0
        self.failed = 0

    def run(self, nodes: list[Node]) -> None:
        """Restores ``nodes`` (in snapshot order)."""
        try:
            os.makedirs(self._dest, exist_ok=True)
            self._root = os.open(self._dest, os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
        except OSError as e:
            raise StoreError(f"{self._dest}: cannot create the target: {e.strerror}") from e
        try:
            dirs = [n for n in nodes if n.kind == DIR]
            bad_dirs: set[str] = set()
            for n in dirs:
                if not self._mkdir(n):
                    bad_dirs.add(n.path)
            groups: dict[str, list[Node]] = defaultdict(list)
            for n in nodes:
                if n.kind == FILE and n.path.rpartition("/")[0] not in bad_dirs:
                    groups[n.path.rpartition("/")[0]].append(n)
            # A directory's files go to one worker: two creating and renaming in the same
            # directory take turns at its lock (the kernel spinning on it was a tenth of a
            # restore's samples); a third of this tree's files are in the 1% of its
            # directories that hold more than 128.
            with ThreadPoolExecutor(self._threads) as pool:
                for f in [pool.submit(self._files, d, g) for d, g in groups.items()]:
                    f.result()
            for n in nodes:
                if n.kind in (HARDLINK, LINK) and n.path.rpartition("/")[0] not in bad_dirs:
                    self._guard(n, self._link)
            for n in reversed(dirs):
                if n.path not in bad_dirs:
                    self._guard(n, self._dir_meta)
        finally:
            for chain in self._chains:
                chain.close()
            os.close(self._root)
            self._reader.close()

    def _fail(self, path: str, message: str) -> None:
        with self._lock:
            self.failed += 1
        self._on_error(path, message)

    def _guard(self, n: Node, f) -> bool:
        try:
            f(n)
            return True
        except OSError as e:
            if e.errno in (errno.ENOSPC, errno.EDQUOT):
                raise StoreError(f"{self._dest}: No space left on device") from e
            self._fail(n.path, e.strerror or str(e))
        except ChunkDamaged as e:
            self._fail(n.path, str(e))
        return False

    def _dir(self, rel: str) -> int:
        """The directory ``rel`` under the target, through this thread's chain (see _Chain):
        the descriptor must not be closed."""
        chain = getattr(self._local, "chain", None)
        if chain is None:
            chain = self._local.chain = _Chain(self._root)
            with self._lock:
                self._chains.append(chain)
        return chain.open(rel)

    def _open_dir(self, rel: str) -> int:
        """A descriptor of its own of the directory ``rel`` (the caller closes it), for a
        second directory beside the one this thread's chain is in."""
        chain = _Chain(self._root)
        try:
            return os.dup(chain.open(rel))
        finally:
            chain.close()

    def _mkdir(self, n: Node) -> bool:
        parent, _, name = n.path.rpartition("/")

        def make(n: Node) -> None:
            try:
                os.mkdir(name, 0o700, dir_fd=self._dir(parent))
            except FileExistsError:
                pass
            self._dir(n.path)  # a directory already there, never a link to one

        return self._guard(n, make)

    def _dir_meta(self, n: Node) -> None:
        fd = self._dir(n.path)
        if self._owner:
            os.fchown(fd, n.uid, n.gid)
        os.fchmod(fd, n.mode)
        os.utime(fd, ns=(n.mtime_ns, n.mtime_ns))

    def _files(self, parent: str, group: list[Node]) -> None:
        try:
            fd = self._dir(parent)
        except OSError as e:
            for n in group:
                self._fail(n.path, e.strerror or str(e))
            return
        batch: list[tuple[Node, list[bytes]]] = []
        size = 0
        for n in group:
            if n.size > WRITE_BYTES:  # streamed, never held whole
                self._guard(n, lambda n: self._file(fd, n))
                continue
            try:
                pieces = [self._chunk(d) for d in n.chunks]
            except ChunkDamaged as e:
                self._fail(n.path, str(e))
                continue
            batch.append((n, pieces))
            size += n.size
            if size >= WRITE_BYTES:
                self._write(fd, batch)
                batch, size = [], 0
        self._write(fd, batch)

    def _write(self, fd: int, batch: list[tuple[Node, list[bytes]]]) -> None:
        """Writes a batch of files of one directory in one native call, which holds no lock
        of the interpreter: the other workers' files are created meanwhile."""
        if not batch:
            return
        nodes = [n for n, _ in batch]
        outcomes = _native.store_write_files(
            fd,
            [n.path.rpartition("/")[2] for n in nodes],
            [len(p) for _, p in batch],
            [piece for _, p in batch for piece in p],
            [n.mode for n in nodes],
            [n.mtime_ns for n in nodes],
            [n.uid for n in nodes],
            [n.gid for n in nodes],
            self._owner,
            self._force,
            TMP_PREFIX,
        )
        written = 0
        for (n, pieces), error in zip(batch, outcomes):
            if error == 0:
                written += sum(len(p) for p in pieces)
            elif error in (errno.ENOSPC, errno.EDQUOT):
                raise StoreError(f"{self._dest}: No space left on device")
            else:
                self._fail(n.path, _WHY.get(error) or os.strerror(error))
        with self._lock:
            self.files += sum(1 for e in outcomes if e == 0)
            self.bytes += written
        if self._progress is not None:
            self._progress("restoring", self.bytes, None)

    def _exists(self, fd: int, name: str) -> None:
        try:
            st = os.lstat(name, dir_fd=fd)
        except FileNotFoundError:
            return
        if stat.S_ISDIR(st.st_mode):
            raise OSError(errno.EISDIR, _IS_DIR)
        if not self._force:
            raise OSError(errno.EEXIST, _NO_FORCE)

    def _location(self, digest: bytes) -> Location:
        loc = self._locations.get(digest)
        if loc is None:
            raise ChunkDamaged(f"chunk {digest.hex()[:16]} is missing from the store")
        return loc

    def _chunk(self, digest: bytes) -> bytes:
        loc = self._location(digest)
        try:
            data = self._reader.read(*loc)
        except FileNotFoundError:
            raise ChunkDamaged(
                f"chunk {digest.hex()[:16]}: pack {loc[0][:16]} is missing"
            ) from None
        except (PackError, zstandard.ZstdError) as e:
            raise ChunkDamaged(f"chunk {digest.hex()[:16]} is damaged ({e})") from None
        if _native.blake3(data) != digest:
            raise ChunkDamaged(f"chunk {digest.hex()[:16]} is damaged (digest mismatch)")
        return data

    def _file(self, dfd: int, n: Node) -> None:
        name = n.path.rpartition("/")[2]
        self._exists(dfd, name)
        tmp = TMP_PREFIX + os.urandom(8).hex()
        fd = os.open(
            tmp,
            os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC,
            0o600,
            dir_fd=dfd,
        )
        try:
            try:
                written = self._fill(fd, n)
                if self._owner:
                    os.fchown(fd, n.uid, n.gid)
                os.fchmod(fd, n.mode)
                os.utime(fd, ns=(n.mtime_ns, n.mtime_ns))
            finally:
                os.close(fd)
            os.rename(tmp, name, src_dir_fd=dfd, dst_dir_fd=dfd)
        except BaseException:
            _unlink(tmp, dfd)
            raise
        with self._lock:
            self.files += 1
            self.bytes += written

    def _fill(self, fd: int, n: Node) -> int:
        """Writes the chunks of ``n`` into ``fd``, spans of them side by side on up to
        ``threads`` threads (this one among them); its size."""
        # Each chunk's place comes from the lengths the index gives, and each is checked
        # against the bytes read: a wrong one would leave a hole in a file said to be whole.
        spans: list[tuple[int, list[tuple[bytes, int]]]] = []
        span: list[tuple[bytes, int]] = []
        start = size = 0
        for d in n.chunks:
            raw = self._location(d)[3]
            span.append((d, raw))
            size += raw
            if size - start >= SPAN_BYTES:
                spans.append((start, span))
                span, start = [], size
        if span:
            spans.append((start, span))
        todo = iter(spans)
        take = threading.Lock()
        stop = threading.Event()

        def work() -> None:
            while not stop.is_set():
                with take:
                    job = next(todo, None)
                if job is None:
                    return
                try:
                    offset, chunks = job
                    for d, raw in chunks:
                        view = memoryview(self._chunk(d))
                        if len(view) != raw:
                            raise ChunkDamaged(
                                f"chunk {d.hex()[:16]}: {len(view)} bytes, the index says {raw}"
                            )
                        while view:
                            wrote = os.pwrite(fd, view, offset)
                            view, offset = view[wrote:], offset + wrote
                except BaseException:
                    stop.set()
                    raise

        helpers = min(self._threads, len(spans)) - 1
        if helpers <= 0:
            work()
            return size
        with ThreadPoolExecutor(helpers) as pool:
            others = [pool.submit(work) for _ in range(helpers)]
            work()  # a failure here stops the helpers after their span, then is raised
        for f in others:
            f.result()
        return size

    def _link(self, n: Node) -> None:
        parent, _, name = n.path.rpartition("/")
        dfd = self._dir(parent)
        tmp = TMP_PREFIX + os.urandom(8).hex()
        self._exists(dfd, name)
        if n.kind == LINK:
            os.symlink(n.target, tmp, dir_fd=dfd)
            try:
                if self._owner:
                    os.chown(tmp, n.uid, n.gid, dir_fd=dfd, follow_symlinks=False)
                os.utime(tmp, ns=(n.mtime_ns, n.mtime_ns), dir_fd=dfd, follow_symlinks=False)
            except BaseException:
                _unlink(tmp, dfd)
                raise
        else:
            tparent, _, tname = n.target.rpartition("/")
            tfd = self._open_dir(tparent)
            try:
                os.link(tname, tmp, src_dir_fd=tfd, dst_dir_fd=dfd, follow_symlinks=False)
            finally:
                os.close(tfd)
        try:
            os.rename(tmp, name, src_dir_fd=dfd, dst_dir_fd=dfd)
        except BaseException:
            _unlink(tmp, dfd)
            raise


def _unlink(name: str, dfd: int) -> None:
    try:
        os.unlink(name, dir_fd=dfd)
    except FileNotFoundError:
        pass
