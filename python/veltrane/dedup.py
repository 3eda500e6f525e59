"""Deduplication as users run it: which texts to keep when near duplicates are dropped, and
how much of a set of files repeats, chunk by chunk."""

from __future__ import annotations

import hashlib
import io
import os
import re
import stat
import sys
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from contextlib import nullcontext
from dataclasses import dataclass, field
from typing import BinaryIO, NamedTuple, overload

import numpy as np

from . import _args, _native, exact
from ._pairs import Progress
from .chunk_index import ChunkIndex
from .chunker import CDCChunker, Chunker, as_chunker
from .defaults import (
    DEFAULT_MAX_DISTANCE,
    DEFAULT_METHOD,
    DEFAULT_NGRAM,
    DEFAULT_NUM_PERM,
    DEFAULT_READ_SIZE,
    DEFAULT_THRESHOLD,
)
from .exact import DEFAULT_NORMALIZE, Normalize
from .gear import GearCDC
from .jaccard import _search, jaccard_similarities
from .keep import KeepRule, component_keepers, keepers
from .simhash import fingerprints64, near_duplicate_pairs
from .stream import iter_pieces

#: Bytes of a chunk's BLAKE2b digest: 256 bits, so that a collision among even 2^64 chunks
#: has a probability near 2^-128.
DIGEST_SIZE = 32

#: Why a path is in :attr:`DedupReport.skipped`: a file already counted, reached again (another
#: hardlink, the same path twice), or a FIFO, socket or device, which is never opened.
#: A skipped file's reason: the same file (device and inode) was read already.
SAME_FILE = "same_file"
#: A skipped file's reason: a FIFO, socket or device, never opened.
SPECIAL = "special"


def blake3(data) -> bytes:
    """The 32-byte BLAKE3 digest of a bytes-like object: the chunk digest of
    :func:`dedup_report` on paths."""
    return _native.blake3(data)


class TextDeduplication(NamedTuple):
    """What :func:`deduplicate_texts` keeps and drops."""

    #: Indices of the texts to keep, in increasing order.
    keep: np.ndarray
    #: For each text, the index of the kept text in its place, or -1 for a kept text
    #: (``int64``).
    duplicate_of: np.ndarray
    #: For each text, its similarity to the text kept in its place (``float64``): the exact
    #: Jaccard similarity of their shingle sets (minhash; 1.0 for a kept text), or the Hamming
    #: distance of their fingerprints in bits (simhash; 0 for a kept text).
    similarity: np.ndarray
    #: Indices of the texts without words, in increasing order: near duplicates of nothing,
    #: always kept.
    without_words: np.ndarray


_WORD = re.compile(r"\w")
_ASCII_WORD = re.compile(rb"\w")


def _has_word(text: str | bytes | bytearray) -> bool:
    if isinstance(text, str):
        return _WORD.search(text) is not None
    if _ASCII_WORD.search(text) is not None:
        return True
    # Letters beyond ASCII need the text decoded; most texts never get here.
    return not text.isascii() and _WORD.search(bytes(text).decode("utf-8", "replace")) is not None


def without_words(texts: Sequence[str | bytes | bytearray]) -> np.ndarray:
    """The indices of the texts that hold no word (a run of Unicode letters, digits or ``_``),
    as int64: blank lines, ``}``, ``# ====``."""
    mask = np.fromiter((not _has_word(t) for t in texts), dtype=bool, count=len(texts))
    return np.flatnonzero(mask)


def _simhash_pairs(fps: np.ndarray, apart: np.ndarray, max_distance: int, threads, progress):
    """(groups, i, j, distance): each fingerprint's group of equal ones (named by its first
    index), and the pairs of groups at most ``max_distance`` bits apart; the texts ``apart``
    are groups of their own and in no pair."""
    n = len(fps)
    searched = np.ones(n, dtype=bool)
    searched[apart] = False
    index = np.flatnonzero(searched)
    values, first, inverse = np.unique(fps[index], return_index=True, return_inverse=True)
    groups = np.arange(n, dtype=np.int64)
    groups[index] = index[first[inverse.reshape(-1)]]
    pairs = near_duplicate_pairs(values, max_distance, threads=threads, progress=progress)
    rep = index[first]
    return groups, rep[pairs["i"]], rep[pairs["j"]], pairs["distance"].astype(np.float64)


def deduplicate_texts(
    texts: Sequence[str | bytes | bytearray],
    max_distance: int = DEFAULT_MAX_DISTANCE,
    *,
    method: str = DEFAULT_METHOD,
    threshold: float = DEFAULT_THRESHOLD,
    ngram: int = DEFAULT_NGRAM,
    num_perm: int = DEFAULT_NUM_PERM,
    threads: int | None = None,
    progress: Progress | None = None,
    keep: KeepRule | Sequence[float] | np.ndarray = "first",
    clusters: str = "greedy",
    normalize: Normalize = DEFAULT_NORMALIZE,
) -> TextDeduplication:
    """Which texts to keep when near duplicates are dropped, and which kept text each dropped
    one stands for.

    ``method="exact"`` drops copies only: texts equal after ``normalize`` (``"words"``, the
    default: the same words, case, punctuation and spacing ignored; ``"none"``: the same
    bytes), compared by a 128-bit digest (:mod:`veltrane.exact`), similarity 1.0. Under
    ``"words"`` texts without words are copies of nothing and always kept.

    ``method="minhash"`` (the default, as for ``veltrane near-dups``) pairs texts whose sets
    of ``ngram``-word shingles have Jaccard similarity at least ``threshold``, verified
    exactly (with ``num_perm`` MinHash values to find candidates); ``method="simhash"`` pairs
    texts whose 64-bit fingerprints are at most ``max_distance`` bits apart. Each method
    ignores the other's options. Texts without words are near duplicates of nothing and are
    always kept.

    ``keep`` orders the texts (:func:`veltrane.keep.keep_ranks`): ``"first"``, ``"longest"``
    (most UTF-8 bytes), or one number per text, largest first; ties go to the earlier text.
    ``clusters="greedy"`` (the default) takes the texts in that order and drops a text onto the
    closest text already kept that is its near duplicate, else keeps it: every dropped text is
    within the method's bound of the text kept in its place, and no two kept texts are near
    duplicates. ``clusters="components"`` keeps one text per connected component of pairs,
    the first in keep order, so a chain of near duplicates may drop a text far from its keeper.
    Copies cost no pairs. The result does not depend on ``threads``. ``progress`` sees the
    steps of the method's functions (see :class:`veltrane.Progress`).
    """
    return _deduplicate(
        texts,
        max_distance,
        method=method,
        threshold=threshold,
        ngram=ngram,
        num_perm=num_perm,
        threads=threads,
        progress=progress,
        keep=keep,
        clusters=clusters,
        normalize=normalize,
    )


def _deduplicate(
    texts: Sequence[str | bytes | bytearray],
    max_distance: int,
    *,
    method: str,
    threshold: float,
    ngram: int,
    num_perm: int,
    threads: int | None,
    progress: Progress | None,
    keep: KeepRule | Sequence[float] | np.ndarray,
    clusters: str,
    signed: list[np.ndarray] | None = None,
    normalize: Normalize = DEFAULT_NORMALIZE,
) -> TextDeduplication:
    """:func:`deduplicate_texts`, with MinHash signatures (seed 0) or, for ``exact``, digests
    made already as the texts were read: ``signed`` holds them and is emptied (see
    ``jaccard._search``)."""
    if clusters not in ("greedy", "components"):
        raise ValueError(f"clusters must be 'greedy' or 'components', got {clusters!r}")
    n = len(texts)
    if method == "exact":
        exact.check_normalize(normalize)
        if signed is not None:
            digests = signed.pop()
            groups, apart = exact.groups_of(digests, normalize)
            del digests
        else:
            groups, apart = exact.copies(texts, normalize=normalize, threads=threads)
        none = np.empty(0, dtype=np.int64)
        i, j, s = none, none, np.empty(0)
        closer, same = True, 1.0
    elif method == "simhash":
        fps = fingerprints64(texts, threads=threads, progress=progress)
        apart = without_words(texts)
        groups, i, j, s = _simhash_pairs(fps, apart, max_distance, threads, progress)
        closer, same = False, 0.0
    elif method == "minhash":
        found = _search(
            texts,
            threshold,
            None,
            None,
            "exact",
            ngram,
            num_perm,
            0,
            threads,
            progress,
            "apart",
            signed,
        )
        groups, i, j, s, apart = found.reps, found.i, found.j, found.similarity, found.wordless
        closer, same = True, 1.0
    else:
        raise ValueError(f"method must be 'minhash', 'simhash' or 'exact', got {method!r}")
    if clusters == "greedy":
        keeper, similarity = keepers(
            n,
            i,
            j,
            s,
            keep=keep,
            texts=texts,
            groups=groups,
            larger_is_closer=closer,
            self_similarity=same,
        )
    else:
        # Copies join their group's first text, then the pairs join groups.
        copies = np.flatnonzero(groups != np.arange(n))
        keeper = component_keepers(
            n,
            np.concatenate([i, copies]),
            np.concatenate([j, groups[copies]]),
            keep=keep,
            texts=texts,
        )
        similarity = np.full(n, same)
        dropped = np.flatnonzero(keeper != np.arange(n))
        if method == "exact":
            pass  # every copy is at similarity 1.0
        elif method == "simhash":
            bits = np.unpackbits((fps[dropped] ^ fps[keeper[dropped]]).view(np.uint8))
            similarity[dropped] = bits.reshape(-1, 64).sum(axis=1)
        else:
            similarity[dropped] = jaccard_similarities(
                texts, dropped, keeper[dropped], ngram=ngram, threads=threads
            )
    kept = keeper == np.arange(n)
    return TextDeduplication(
        keep=np.flatnonzero(kept),
        duplicate_of=np.where(kept, -1, keeper),
        similarity=similarity,
        without_words=np.asarray(apart, dtype=np.int64),
    )


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

    def _add(self, length: int, new: bool) -> None:
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

    def _merge(self, other: ChunkStats) -> None:
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
        self._names = names
        self._ends = ends
        #: One row per file: bytes, chunks, unique chunks, unique bytes, shortest and longest
        #: chunk (0 without chunks), as uint64.
        self.columns = stats

    def __len__(self) -> int:
        return len(self._ends)

    def raw_path(self, i: int) -> bytes:
        """File ``i``'s path as the file system has it."""
        return self._names[int(self._ends[i - 1]) if i else 0 : int(self._ends[i])]

    def paths(self) -> Iterator[str]:
        """Every file's path, in order."""
        names, fsdecode, start = self._names, os.fsdecode, 0
        for end in self._ends.tolist():
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


class _Later(Sequence[list[str]]):
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
        return self._list() == (other._list() if isinstance(other, _Later) else other)

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
    another (a :class:`veltrane.chunker.Chunker`, or an int: the ``chunk_size`` of ``CDC``)
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
    :mod:`veltrane.chunk_index`): chunks already in it count as seen, as if an earlier file held
    them, and at the end of the run its new chunks are added, all or nothing. A file whose
    path, size, times and inode are as the index recorded is not read again: its chunks are
    taken from the index. Native runs only (paths, GearCDC or CDC); the chunker must be the
    index's. :class:`veltrane.chunk_index.ChunkIndexError` for an index of another format, version
    or chunker, a damaged or read-only one, or a commit that failed (a full disk, say),
    which leaves the index as it was.
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
    gear = chunker._gear if isinstance(chunker, GearCDC) else None
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
    report.duplicate_files = _Later(lambda: _same_content(files, content))
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
    ends = files._ends
    starts = np.concatenate([np.zeros(1, ends.dtype), ends[:-1]])
    names, encoding, errors = (
        files._names,
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


def _walk(path: str, found: list, on_error) -> None:
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
            _walk(os.fsdecode(path), found, failed)
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
        add = stats._add
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
        total._merge(stats)
        if stats.bytes:
            by_content.setdefault(content.digest(), []).append(name)
    return _report(chunker, files, total, "blake2b", skipped, by_content)
