"""How much of a set of files repeats, chunk by chunk: :func:`dedup_report` walks the tree,
reads and cuts each file (natively for paths, else in Python) and counts the chunks seen."""

from __future__ import annotations

import hashlib
import io
import os
import stat
import sys
from collections.abc import Callable, Iterable
from concurrent.futures import ThreadPoolExecutor
from contextlib import nullcontext
from typing import BinaryIO

import numpy as np

from .. import _args, _native
from .._pairs import Progress
from ..defaults import DEFAULT_READ_SIZE
from .chunk_index import ChunkIndex
from .chunker import CDCChunker, Chunker, as_chunker
from .gear import GearCDC
from .report import SAME_FILE, SPECIAL, ChunkStats, DedupReport, FileStatsList, Later, SkippedFile
from .stream import iter_pieces

#: Bytes of a chunk's BLAKE2b digest: 256 bits, so that a collision among even 2^64 chunks
#: has a probability near 2^-128.
DIGEST_SIZE = 32


def blake3(data) -> bytes:
    """The 32-byte BLAKE3 digest of a bytes-like object: the chunk digest of
    :func:`dedup_report` on paths."""
    return _native.blake3(data)


def _digest_range(view: memoryview, starts: list[int], ends: list[int]) -> list[bytes]:
    blake2b = hashlib.blake2b
    return [blake2b(view[a:b], digest_size=DIGEST_SIZE).digest() for a, b in zip(starts, ends)]


def _digests(view: memoryview, ends: list[int], pool, parts: int) -> list[bytes]:
    """The digest of each chunk of ``view`` in order, ``parts`` runs of chunks at once: this
    thread hashes the first, ``pool`` the others."""
    starts = [0, *ends[:-1]]
    # A handful of chunks is not worth handing to another thread.
    if pool is None or len(ends) < 4 * parts:
        return _digest_range(view, starts, ends)
    step = -(-len(ends) // parts)
    others = [
        pool.submit(_digest_range, view, starts[k : k + step], ends[k : k + step])
        for k in range(step, len(ends), step)
    ]
    digests = _digest_range(view, starts[:step], ends[:step])
    for other in others:
        digests += other.result()
    return digests


def dedup_report(
    paths: Iterable[str | os.PathLike | BinaryIO | bytes | bytearray | memoryview],
    chunk_size: int | None = None,
    *,
    chunker: Chunker | int | None = None,
    read_size: int = DEFAULT_READ_SIZE,
    progress: Progress | None = None,
    on_error: Callable[[str, OSError], None] | None = None,
    threads: int | None = None,
    index: str | os.PathLike | None = None,
) -> DedupReport:
    """Chunks every file and counts the chunks that repeat, within and across files.

    Chunks are those of :func:`iter_chunks`. Two chunks count as one when their 256-bit
    digests are equal, so different chunks are never merged (short of a digest collision,
    which no one has ever found). Only the digests are kept, not the chunks. The chunk
    reduction is the percentage ``CDC(chunk_size).deduplicate`` reports for all the files'
    chunks together; the byte reduction weighs each chunk by its length.

    ``paths`` are sources as :func:`veltrane.iter_chunks` takes them, read in order, under its
    rule for ``bytes``: a ``str`` or ``os.PathLike`` is a path, and a bytes-like object
    (``bytes``, ``bytearray``, ``memoryview``) is always data, never a path, here named
    ``"<data>"`` (a path that is not UTF-8 is ``os.fsdecode(raw)`` or a ``pathlib.Path``). A
    binary file object is read to its end and left open, named by its ``name``; a text-mode
    one is a TypeError. A directory is walked depth
    first, each directory's entries in the order of their bytes, symbolic links inside it
    not followed. A file reached twice (another hardlink, the same path or directory given
    twice) is read and counted once, by device and inode; FIFOs, sockets and devices are
    never opened. Both are listed in ``skipped``.

    The chunker is ``GearCDC()`` (as for ``veltrane dedup``) unless ``chunker`` names
    another (a :class:`veltrane.files.chunker.Chunker`, or an int: the ``chunk_size`` of ``CDC``)
    or ``chunk_size`` is given (``CDC(chunk_size)``). ``progress``, when given, is called as
    ``progress("chunking", bytes_done, total_bytes)`` as input is processed (total None
    unless ``paths`` are all regular files). A path that cannot be read raises OSError, or,
    when ``on_error`` is given, is passed to it with the error and left out of the report
    (its chunks no longer count as seen).

    With paths only (no data, no file objects) and a ``GearCDC`` or CDC chunker, everything
    runs natively on ``threads`` threads (default: every core this process may use) without
    the GIL:
    files are walked, read (a file of up to ``read_size`` bytes whole, in one read; a longer
    one a piece at a time, the chunks of one piece digested by idle threads while the next
    is read), cut, digested with BLAKE3 and looked up in order, and a path that cannot be
    read raises only once every file is done. Otherwise (file objects, another chunker)
    Python reads the files one by one and digests with BLAKE2b on ``threads`` threads. Both
    give the same counts, and the same report for any thread count.

    ``index``, a directory (made when missing), keeps the chunks between runs (see
    :mod:`veltrane.files.chunk_index`): chunks already in it count as seen, as if an earlier file
    held them, and at the end of the run its new chunks are added, all or nothing. A file whose
    path, size, times and inode are as the index recorded is not read again: its chunks are taken
    from the index. Native runs only (paths, GearCDC or CDC); the chunker must be the index's.
    :class:`veltrane.files.chunk_index.ChunkIndexError` for an index of another format, version or
    chunker, a damaged or read-only one, or a commit that failed (a full disk, say), which leaves
    the index as it was.
    """
    if isinstance(paths, (str, os.PathLike)) or _is_data(paths):
        raise TypeError("paths must be an iterable of paths, not a single path or data")
    cut = as_chunker(chunker, chunk_size, default=GearCDC())
    read_size = _args.size(read_size, "read_size")
    nthreads = _args.threads(threads)
    paths = list(paths)
    for path in paths:
        if isinstance(path, io.TextIOBase):
            raise TypeError("files must be opened in binary mode, not text mode")
    count = None if progress is None else _byte_counter(progress, _total_size(paths))
    if isinstance(cut, (GearCDC, CDCChunker)) and all(
        isinstance(p, (str, os.PathLike)) for p in paths
    ):
        return _native_report(paths, cut, read_size, count, on_error, nthreads, index)
    if index is not None:
        raise TypeError("index needs paths (no file objects) and a GearCDC or CDC chunker")
    return _reference_report(paths, cut, read_size, count, on_error, nthreads)


#: The name of a bytes-like source (data, not a path) in a report.
DATA = "<data>"


def _is_data(source) -> bool:
    return isinstance(source, (bytes, bytearray, memoryview))


def _native_report(paths, chunker, read_size: int, progress, on_error, nthreads: int, index):
    gear = chunker.kernel if isinstance(chunker, GearCDC) else None
    store = None
    seen, cache, before = _native.DigestSet(), None, 0
    if index is not None:
        store = ChunkIndex(index, chunker.description(), "blake3")
    try:
        if store is not None:
            loaded = store.load()
            seen, cache, before = loaded.seen, loaded.cache, loaded.distinct
        run = _native.dedup_tree_columns(
            [os.fsencode(p) for p in paths],
            gear,
            0 if gear is not None else chunker.chunk_size,
            nthreads,
            read_size,
            progress,
            seen,
            cache,
            store is not None,
        )
        summary = None
        if store is not None:
            read = ~run["cached"]
            store.commit(seen.digests(before), _read_files(run, read), loaded.cache)
            summary = {
                "path": os.fsdecode(index),  # type: ignore[arg-type]
                "distinct_chunks_before": before,
                "distinct_chunks_after": len(seen),
                "files_from_cache": len(read) - int(read.sum()),
                "size_bytes": store.size_bytes(),
            }
    finally:
        if store is not None:
            store.close()
    failures = [
        (name, OSError(code, os.strerror(code), name))
        for name, code in ((os.fsdecode(p), code) for p, code in run["errors"])
    ]
    if failures and on_error is None:
        raise failures[0][1]
    files = FileStatsList(run["names"], run["ends"], run["stats"])
    columns = files.columns
    with_chunks = columns[:, 1] > 0
    sums = [int(v) for v in columns[:, :4].sum(axis=0, dtype=np.uint64)] if len(files) else [0] * 4
    total = ChunkStats(
        None,
        sums[0],
        sums[1],
        sums[2],
        sums[3],
        int(columns[with_chunks, 4].min()) if with_chunks.any() else None,
        int(columns[with_chunks, 5].max()) if with_chunks.any() else None,
        sums[0],
    )
    for name, error in failures:
        on_error(name, error)  # type: ignore[misc]
    report = _report(
        chunker,
        files,
        total,
        "blake3",
        [SkippedFile(os.fsdecode(p), why) for p, why in run["skipped"]],
        {},
    )
    content = run["content"]
    report.duplicate_files = Later(lambda: _same_content(files, content))
    report.index = summary
    return report


def _read_files(run: dict, read: np.ndarray) -> dict:
    """The columns of the files a run read (not taken from the cache), as the index keeps
    them."""
    ends = run["ends"]
    if read.all():
        return {k: run[k] for k in ("names", "ends", "ident", "counts", "lengths", "digests")}
    if not read.any():
        return {
            "names": b"",
            "ends": ends[:0],
            "ident": run["ident"][:0],
            "counts": ends[:0],
            "lengths": b"",
            "digests": b"",
        }
    lengths = np.diff(ends, prepend=np.uint64(0)).astype(np.int64)
    names = np.frombuffer(run["names"], dtype=np.uint8)[np.repeat(read, lengths)]
    return {
        "names": names.tobytes(),
        "ends": np.cumsum(lengths[read], dtype=np.uint64),
        "ident": run["ident"][read],
        "counts": run["counts"][read],
        # Only the files read have chunks there.
        "lengths": run["lengths"],
        "digests": run["digests"],
    }


def _same_content(files: FileStatsList, content: bytes) -> list[list[str]]:
    """Groups of two or more non-empty files of equal content digests, each in the order read,
    the groups in the order of their first file."""
    keys = np.frombuffer(content, dtype="V32")
    nonempty = np.flatnonzero(files.columns[:, 0] > 0)
    if len(nonempty) < 2:
        return []
    _, first, inverse, count = np.unique(
        keys[nonempty], return_index=True, return_inverse=True, return_counts=True
    )
    inverse = inverse.reshape(-1)
    shared = count[inverse] > 1
    members = nonempty[shared]
    if len(members) == 0:
        return []
    # By the group's first file, then in the order read (a stable sort keeps that order).
    order = np.argsort(first[inverse[shared]], kind="stable")
    members, group = members[order], inverse[shared][order]
    ends = files.ends
    starts = np.concatenate([np.zeros(1, ends.dtype), ends[:-1]])
    names, encoding, errors = (
        files.names,
        sys.getfilesystemencoding(),
        sys.getfilesystemencodeerrors(),
    )
    groups: list[list[str]] = []
    last = -1
    for g, a, b in zip(group.tolist(), starts[members].tolist(), ends[members].tolist()):
        if g != last:
            groups.append([])
            last = g
        groups[-1].append(names[a:b].decode(encoding, errors))
    return groups


def _report(chunker, files, total, digest, skipped, by_content) -> DedupReport:
    description = chunker.description()
    return DedupReport(
        chunk_size=description.get("chunk_size") if description["name"] == "cdc" else None,
        files=files,
        total=total,
        chunker=description,
        digest=digest,
        skipped=skipped,
        duplicate_files=[group for group in by_content.values() if len(group) > 1],
    )


def _total_size(paths: list) -> int | None:
    """The bytes of all the paths, or None when one is not a path to a regular file."""
    total = 0
    for path in paths:
        if not isinstance(path, (str, os.PathLike)):
            return None
        try:
            st = os.stat(path)
        except OSError:
            return None
        if not stat.S_ISREG(st.st_mode):
            return None
        total += st.st_size
    return total


def _byte_counter(progress: Progress, total: int | None) -> Callable[[int], None]:
    done = 0
    progress("chunking", 0, total)

    def count(n: int) -> None:
        nonlocal done
        done += n
        progress("chunking", done, total)

    return count


def walk(path: str, found: list, on_error) -> None:
    """Appends what a named path holds, in the order the native walk takes it: ``(path,
    None)`` for a regular file, ``(path, SPECIAL)`` for a FIFO, socket or device."""
    try:
        st = os.stat(path)
    except OSError as e:
        on_error(path, e)
        return
    if stat.S_ISDIR(st.st_mode):
        _walk_dir(path, found, on_error)
    else:
        found.append((path, None if stat.S_ISREG(st.st_mode) else SPECIAL))


def _walk_dir(path: str, found: list, on_error) -> None:
    try:
        names = sorted(os.listdir(path), key=os.fsencode)
    except OSError as e:
        on_error(path, e)
        return
    for name in names:
        child = os.path.join(path, name)
        try:
            st = os.lstat(child)
        except OSError as e:
            on_error(child, e)
            continue
        if stat.S_ISDIR(st.st_mode):
            _walk_dir(child, found, on_error)
        elif not stat.S_ISLNK(st.st_mode):
            found.append((child, None if stat.S_ISREG(st.st_mode) else SPECIAL))


def _reference_report(paths, chunker: Chunker, read_size: int, progress, on_error, nthreads):
    """The report read and digested in Python, one file after another: for file objects,
    and the model the native pipeline is tested against."""
    with ThreadPoolExecutor(nthreads - 1) if nthreads > 1 else nullcontext() as pool:
        return _python_report(paths, chunker, read_size, progress, on_error, pool, nthreads)


def _python_report(paths, chunker: Chunker, read_size: int, progress, on_error, pool, nthreads):
    seen: set[bytes] = set()
    counted: set[tuple[int, int]] = set()
    files = []
    skipped = []
    by_content: dict[bytes, list[str]] = {}
    total = ChunkStats(path=None)

    def failed(name: str, error: OSError) -> None:
        if on_error is None:
            raise error
        on_error(name, error)

    inputs: list = []
    for path in paths:
        if isinstance(path, (str, os.PathLike)):
            # fsdecode keeps undecodable bytes of a PathLike as escapes that open() turns back
            # into the same bytes.
            found: list = []
            walk(os.fsdecode(path), found, failed)
            inputs += found
        else:
            inputs.append((path, None))
    for path, special in inputs:
        if special is not None:
            skipped.append(SkippedFile(path, SPECIAL))
            continue
        if isinstance(path, str):
            name = path
            try:
                st = os.stat(path)
            except OSError as error:
                failed(name, error)
                continue
            if (st.st_dev, st.st_ino) in counted:
                skipped.append(SkippedFile(name, SAME_FILE))
                continue
            key = (st.st_dev, st.st_ino)
        else:
            name = DATA if _is_data(path) else str(getattr(path, "name", "<stream>"))
            key = None
        pieces = iter_pieces(path, chunker, read_size=read_size)
        stats = ChunkStats(path=name)
        add = stats.add
        added: list[bytes] = []
        content = hashlib.blake2b(digest_size=DIGEST_SIZE)
        try:
            for view, _, ends in pieces:
                start = 0
                for end, digest in zip(ends, _digests(view, ends, pool, nthreads)):
                    new = digest not in seen
                    if new:
                        seen.add(digest)
                        added.append(digest)
                    add(end - start, new)
                    content.update(digest)
                    start = end
                if progress is not None:
                    progress(start)
        except OSError as error:
            seen.difference_update(added)
            failed(name, error)
            continue
        if key is not None:
            counted.add(key)
        files.append(stats)
        total.merge(stats)
        if stats.bytes:
            by_content.setdefault(content.digest(), []).append(name)
    return _report(chunker, files, total, "blake2b", skipped, by_content)
