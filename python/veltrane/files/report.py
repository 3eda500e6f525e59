"""What the tree report found: the chunk and byte counts of each file and of all together,
the paths skipped, and the files of equal content."""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass, field
from typing import overload

import numpy as np

#: Why a path is in :attr:`DedupReport.skipped`: a file already counted, reached again (another
#: hardlink, the same path twice), or a FIFO, socket or device, which is never opened.
#: A skipped file's reason: the same file (device and inode) was read already.
SAME_FILE = "same_file"
#: A skipped file's reason: a FIFO, socket or device, never opened.
SPECIAL = "special"


def _percent(kept: int, total: int) -> float:
    # CDC.deduplicate's formula, in its order of operations: (1 - kept / total) * 100.
    return 0.0 if total == 0 else (1.0 - kept / total) * 100.0


@dataclass
class ChunkStats:
    """Chunk and byte counts of one file, or of all files together.

    ``unique_chunks`` and ``unique_bytes`` count the chunks seen for the first time, in the
    order the files were read: a chunk that an earlier file (or an earlier part of this
    file) already holds is a duplicate.
    """

    #: The file's path as given; ``None`` for the total.
    path: str | None
    #: Bytes read.
    bytes: int = 0
    #: Chunks cut.
    chunks: int = 0
    #: Chunks seen for the first time.
    unique_chunks: int = 0
    #: Bytes of the chunks seen for the first time.
    unique_bytes: int = 0
    #: The shortest chunk length; ``None`` without chunks.
    min_chunk: int | None = None
    #: The longest chunk length; ``None`` without chunks.
    max_chunk: int | None = None
    _length_sum: int = field(default=0, repr=False)

    @property
    def mean_chunk(self) -> float | None:
        """The mean chunk length, or ``None`` without chunks."""
        return self._length_sum / self.chunks if self.chunks else None

    @property
    def chunk_reduction_percent(self) -> float:
        """``(1 - unique_chunks / chunks) * 100``, as ``CDC.deduplicate`` computes it."""
        return _percent(self.unique_chunks, self.chunks)

    @property
    def byte_reduction_percent(self) -> float:
        """``(1 - unique_bytes / bytes) * 100``: the share of bytes a store would not keep."""
        return _percent(self.unique_bytes, self.bytes)

    def add(self, length: int, new: bool) -> None:
        """Counts one more chunk of ``length`` bytes, ``new`` when seen for the first time."""
        self.bytes += length
        self.chunks += 1
        self._length_sum += length
        if new:
            self.unique_chunks += 1
            self.unique_bytes += length
        if self.min_chunk is None or length < self.min_chunk:
            self.min_chunk = length
        if self.max_chunk is None or length > self.max_chunk:
            self.max_chunk = length

    def merge(self, other: ChunkStats) -> None:
        """Adds the counts of ``other`` (of another file, or of the same part of a tree)."""
        self.bytes += other.bytes
        self.chunks += other.chunks
        self.unique_chunks += other.unique_chunks
        self.unique_bytes += other.unique_bytes
        self._length_sum += other._length_sum
        for name, pick in (("min_chunk", min), ("max_chunk", max)):
            mine, theirs = getattr(self, name), getattr(other, name)
            if theirs is not None:
                setattr(self, name, theirs if mine is None else pick(mine, theirs))

    def to_dict(self) -> dict:
        """The figures as a JSON-ready dict, the derived ones included."""
        # Field by field: dataclasses.asdict deep-copies, which a report of 10^5 files feels.
        d: dict = {
            "path": self.path,
            "bytes": self.bytes,
            "chunks": self.chunks,
            "unique_chunks": self.unique_chunks,
            "unique_bytes": self.unique_bytes,
            "min_chunk": self.min_chunk,
            "max_chunk": self.max_chunk,
        }
        d["mean_chunk"] = self.mean_chunk
        d["chunk_reduction_percent"] = self.chunk_reduction_percent
        d["byte_reduction_percent"] = self.byte_reduction_percent
        return d


class FileStatsList(Sequence[ChunkStats]):
    """The per-file figures of a report made natively, held as columns: a :class:`ChunkStats`
    is made only for the file asked for, so that a report of 10^5 files costs no Python object
    per file until it is read. Compares equal to a list of the same :class:`ChunkStats`."""

    def __init__(self, names: bytes, ends: np.ndarray, stats: np.ndarray) -> None:
        #: Every file's path as bytes, one after another.
        self.names = names
        #: Where each file's path ends in :attr:`names` (int64).
        self.ends = ends
        #: One row per file: bytes, chunks, unique chunks, unique bytes, shortest and longest
        #: chunk (0 without chunks), as uint64.
        self.columns = stats

    def __len__(self) -> int:
        return len(self.ends)

    def raw_path(self, i: int) -> bytes:
        """File ``i``'s path as the file system has it."""
        return self.names[int(self.ends[i - 1]) if i else 0 : int(self.ends[i])]

    def paths(self) -> Iterator[str]:
        """Every file's path, in order."""
        names, fsdecode, start = self.names, os.fsdecode, 0
        for end in self.ends.tolist():
            yield fsdecode(names[start:end])
            start = end

    def _stats(self, i: int) -> ChunkStats:
        size, chunks, unique_chunks, unique_bytes, low, high = self.columns[i].tolist()
        return ChunkStats(
            os.fsdecode(self.raw_path(i)),
            size,
            chunks,
            unique_chunks,
            unique_bytes,
            low if chunks else None,
            high if chunks else None,
            size,
        )

    @overload
    def __getitem__(self, i: int) -> ChunkStats: ...
    @overload
    def __getitem__(self, i: slice) -> list[ChunkStats]: ...
    def __getitem__(self, i):
        if isinstance(i, slice):
            return [self._stats(k) for k in range(*i.indices(len(self)))]
        n = len(self)
        if not -n <= i < n:
            raise IndexError("file index out of range")
        return self._stats(i % n)

    def __iter__(self) -> Iterator[ChunkStats]:
        return (self._stats(k) for k in range(len(self)))

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, Sequence) or isinstance(other, (str, bytes)):
            return NotImplemented
        return len(self) == len(other) and list(self) == list(other)

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return f"FileStatsList({len(self)} files)"


class Later(Sequence[list[str]]):
    """A list made when first used; compares equal to that list."""

    def __init__(self, make: Callable[[], list[list[str]]]) -> None:
        self._make: Callable[[], list[list[str]]] | None = make
        self._items: list[list[str]] = []

    def _list(self) -> list[list[str]]:
        if self._make is not None:
            self._items, self._make = self._make(), None
        return self._items

    def __len__(self) -> int:
        return len(self._list())

    @overload
    def __getitem__(self, i: int) -> list[str]: ...
    @overload
    def __getitem__(self, i: slice) -> list[list[str]]: ...
    def __getitem__(self, i):
        return self._list()[i]

    def __eq__(self, other: object) -> bool:
        return self._list() == (other._list() if isinstance(other, Later) else other)

    __hash__ = None  # type: ignore[assignment]

    def __repr__(self) -> str:
        return repr(self._list())


@dataclass
class DedupReport:
    """What :func:`dedup_report` found: one :class:`ChunkStats` per file and their total."""

    #: CDC's chunk_size; None for any other chunker.
    chunk_size: int | None
    #: One per file, in the order the files were read (a :class:`FileStatsList` when made
    #: natively).
    files: Sequence[ChunkStats]
    #: All files together (``path`` None).
    total: ChunkStats
    #: The chunker's ``description()``: ``{"name": "gear", "min_size", "avg_size",
    #: "max_size", "normalization"}`` or ``{"name": "cdc", "chunk_size", "max_size"}``.
    chunker: dict = field(default_factory=dict)
    #: The chunk digest: ``"blake3"``, or ``"blake2b"`` where file objects were read.
    digest: str = "blake3"
    #: Paths not read, in the order walked: files already counted and special files.
    skipped: list[SkippedFile] = field(default_factory=list)
    #: Groups of two or more non-empty files of identical content, each in the order read,
    #: the groups in the order of their first file (made natively, they are found when first
    #: asked for).
    duplicate_files: Sequence[list[str]] = field(default_factory=list)
    #: With ``index=``: the index's directory, its distinct chunks before and after the run,
    #: and the files whose chunks came from its cache instead of being read.
    index: dict | None = None

    def to_dict(self) -> dict:
        """The report as a JSON-ready dict."""
        return {
            **({"index": self.index} if self.index is not None else {}),
            "chunker": self.chunker,
            "chunk_size": self.chunk_size,
            "digest": self.digest,
            "files": [f.to_dict() for f in self.files],
            "total": self.total.to_dict(),
            "skipped": [{"path": s.path, "reason": s.reason} for s in self.skipped],
            "duplicate_files": self.duplicate_files,
        }


@dataclass(frozen=True)
class SkippedFile:
    """A path that was not read, and why."""

    #: The path as the walk found it.
    path: str
    #: :data:`SAME_FILE` or :data:`SPECIAL`.
    reason: str
