"""Chunk-level duplication across many files, natively: :func:`dedup_files`.

Files are walked, read, cut, digested with BLAKE3 and looked up on every core without the
GIL; Python sees one result per file. The report is the one :func:`veltrane.dedup_report`
gives for the same files in the same order (with BLAKE3 instead of BLAKE2b, which changes no
count short of a digest collision), whatever the thread count.
"""

from __future__ import annotations

import os
from collections.abc import Callable, Iterable
from dataclasses import dataclass, field

from . import _args, _native
from .gear import GearCDC
from .stream import DEFAULT_READ_SIZE, Chunker, ChunkStats, DedupReport, _cutter

#: The chunk digest of the native pipeline: BLAKE3, 256 bits.
DIGEST = "blake3"

#: Why a path is in :attr:`FilesReport.skipped`.
SAME_FILE = "same_file"  # a file already counted, reached again (hardlink, same path twice)
SPECIAL = "special"  # a FIFO, socket or device: never opened


def blake3(data) -> bytes:
    """The 32-byte BLAKE3 digest of a bytes-like object."""
    return _native.blake3(data)


@dataclass(frozen=True)
class SkippedFile:
    """A path that was not read: :data:`SAME_FILE` or :data:`SPECIAL`."""

    path: str
    reason: str


@dataclass
class FilesReport(DedupReport):
    """A :class:`DedupReport` of the native pipeline, with what it skipped and why."""

    #: The chunk digest.
    digest: str = DIGEST
    #: Paths not read, in the order walked.
    skipped: list[SkippedFile] = field(default_factory=list)
    #: Groups of two or more non-empty files of identical content, each in the order walked,
    #: the groups in the order of their first file.
    duplicate_files: list[list[str]] = field(default_factory=list)

    def to_dict(self) -> dict:
        d = super().to_dict()
        d["digest"] = self.digest
        d["skipped"] = [{"path": s.path, "reason": s.reason} for s in self.skipped]
        d["duplicate_files"] = self.duplicate_files
        return d


def _error(path: bytes, code: int) -> OSError:
    return OSError(code, os.strerror(code), os.fsdecode(path))


def dedup_files(
    paths: Iterable[str | bytes | os.PathLike],
    chunk_size: int | None = None,
    *,
    chunker: Chunker | None = None,
    read_size: int = DEFAULT_READ_SIZE,
    progress: Callable[[int], None] | None = None,
    on_error: Callable[[str, OSError], None] | None = None,
    threads: int | None = None,
) -> FilesReport:
    """Chunks every file under ``paths`` and counts the chunks that repeat, natively.

    ``paths`` are paths (``str``, ``bytes`` or ``os.PathLike``; ``bytes`` are always a path
    here, never data), read in order; a directory is walked depth first, each directory's
    entries in the order of their bytes, symbolic links inside it not followed. A file
    reached twice (another hardlink, the same path or directory given twice) is read and
    counted once, by device and inode; FIFOs, sockets and devices are never opened. Both are
    listed in ``skipped``. ``chunker``, ``chunk_size``, ``read_size`` (a file that fits is
    read whole, in one read), ``progress`` and ``threads`` as for
    :func:`veltrane.dedup_report`; ``threads`` files are read at once.

    A path that cannot be read, named or found in a directory, raises OSError once all
    files are done, or, when ``on_error`` is given, is passed to it with the error and left
    out of the report.
    """
    if isinstance(paths, (str, bytes, os.PathLike)):
        raise TypeError("paths must be an iterable of paths, not a single path")
    cutter = _cutter(chunk_size, chunker)
    read_size = _args.size(read_size, "read_size")
    nthreads = _args.threads(threads)
    encoded = []
    for path in paths:
        if not isinstance(path, (str, bytes, os.PathLike)):
            raise TypeError(f"paths must be str, bytes or os.PathLike, not {type(path).__name__}")
        encoded.append(os.fsencode(path))
    gear = chunker._gear if isinstance(chunker, GearCDC) else None
    seen = _native.DigestSet()
    files, skipped, errors = _native.dedup_tree(
        encoded,
        gear,
        0 if gear is not None else cutter.description["chunk_size"],
        nthreads,
        read_size,
        progress,
        seen,
    )
    if errors and on_error is None:
        raise _error(*errors[0])
    stats = []
    total = ChunkStats(path=None)
    by_content: dict[bytes, list[str]] = {}
    for path, size, chunks, unique_chunks, unique_bytes, low, high, content in files:
        name = os.fsdecode(path)
        s = ChunkStats(
            path=name,
            bytes=size,
            chunks=chunks,
            unique_chunks=unique_chunks,
            unique_bytes=unique_bytes,
            min_chunk=low if chunks else None,
            max_chunk=high if chunks else None,
            _length_sum=size,
        )
        stats.append(s)
        total._merge(s)
        if size:
            by_content.setdefault(content, []).append(name)
    if on_error is not None:
        for path, code in errors:
            on_error(os.fsdecode(path), _error(path, code))
    return FilesReport(
        chunk_size=cutter.description.get("chunk_size"),
        files=stats,
        total=total,
        chunker=cutter.description,
        skipped=[SkippedFile(os.fsdecode(p), why) for p, why in skipped],
        duplicate_files=[group for group in by_content.values() if len(group) > 1],
    )
