"""Content-defined chunking of files and streams of any size, and an exact-duplicate report.

``CDC.chunk`` and ``GearCDC.cut_points`` need their whole input in memory. The functions here
read a file a piece at a time and cut exactly the chunks that the chunker would cut from the
whole content, holding about ``read_size`` plus one or two longest chunks at a time.
"""

from __future__ import annotations

import hashlib
import io
import operator
import os
import stat
from collections.abc import Callable, Iterable, Iterator
from concurrent.futures import ThreadPoolExecutor
from contextlib import nullcontext
from dataclasses import asdict, dataclass, field
from typing import BinaryIO, Union

from . import _args, _native
from .gear import GearCDC

#: A chunker: a GearCDC, or the chunk_size of CDC.
type Chunker = GearCDC | int

#: What the streaming functions accept: a path, a binary file object or bytes-like data.
Source = Union[str, "os.PathLike[str]", BinaryIO, bytes, bytearray, memoryview]

DEFAULT_CHUNK_SIZE = 1024  # CDC()'s default
DEFAULT_READ_SIZE = 1 << 20  # 1 MiB: large enough that rescanning a carried tail costs little

# 32 bytes: 256-bit digests, so that a collision among even 2^64 chunks has a probability
# near 2^-128.
DIGEST_SIZE = 32

_MAX_CHUNK_SIZE = (1 << 64) - 1  # CDC() takes an unsigned 64-bit chunk_size


def _as_bytes_view(source: object) -> memoryview | None:
    """A flat byte view of a bytes-like ``source``, or None when it has no buffer."""
    try:
        view = memoryview(source)  # type: ignore[arg-type]
    except TypeError:
        return None
    if view.format == "B" and view.ndim == 1 and view.contiguous:
        return view
    try:
        flat = view.cast("B")
    except TypeError:
        view.release()
        raise TypeError("a bytes-like source must be contiguous") from None
    view.release()
    return flat


def _readinto(stream, into: memoryview) -> int:
    """Reads into ``into`` until it is full or the stream ends; returns the byte count."""
    want = len(into)
    got = 0
    readinto = getattr(stream, "readinto", None)
    while got < want:
        if readinto is not None:
            n = readinto(into[got:])
        else:
            data = stream.read(want - got)
            if isinstance(data, str):
                raise TypeError("source must be opened in binary mode, not text mode")
            n = None if data is None else len(data)
            if n:
                into[got : got + n] = data
        if n is None:
            raise BlockingIOError("the stream has no data ready (non-blocking mode)")
        if n == 0:
            break
        got += n
    return got


@dataclass(frozen=True)
class _Cutter:
    """How one chunker cuts a buffer in place, and the longest chunk it makes."""

    ends: Callable[[memoryview], list[int]]
    longest: int
    description: dict


def _cutter(chunk_size: object, chunker: object) -> _Cutter:
    """The chunker of the ``chunk_size`` and ``chunker`` arguments (at most one given)."""
    if chunk_size is not None and chunker is not None:
        raise TypeError("give chunk_size or chunker, not both")
    if isinstance(chunker, GearCDC):
        gear = chunker
        return _Cutter(
            # One thread: a read's worth of bytes is cut in a few milliseconds, in which a team
            # of threads gains little, and it loses much when another process holds a core.
            lambda view: gear.cut_points(view, threads=1).tolist(),
            gear.max_size,
            {
                "name": "gear",
                "min_size": gear.min_size,
                "avg_size": gear.avg_size,
                "max_size": gear.max_size,
                "normalization": gear.normalization,
            },
        )
    if chunker is not None and (isinstance(chunker, bool) or not hasattr(chunker, "__index__")):
        raise TypeError(
            "chunker must be a GearCDC or an int (the chunk_size of CDC), "
            f"not {type(chunker).__name__}"
        )
    name = "chunk_size" if chunker is None else "chunker"
    given = chunker if chunker is not None else chunk_size
    size = _args.size(DEFAULT_CHUNK_SIZE if given is None else given, name, _MAX_CHUNK_SIZE)
    # 2 * size may exceed 2^64: then no chunk reaches it, as in CDC.chunk.
    return _Cutter(
        lambda view: _native.chunk_ends(view, size).tolist(),
        2 * size,
        {"name": "cdc", "chunk_size": size, "max_size": 2 * size},
    )


def _pieces(
    source: Source, cutter: _Cutter, read_size: int
) -> Iterator[tuple[memoryview, int, list[int]]]:
    """Yields ``(view, base, ends)``: the final chunks of one buffer and where they lie.

    ``ends`` are the end offsets of chunks inside ``view`` that no further input can change;
    the first starts at 0. ``base`` is the absolute offset of ``view[0]``. ``view`` is valid
    only until the next item is requested. Arguments are checked now, not at the first
    item; a path is opened at the first item, so that a generator never started holds no
    open file.
    """
    read_size = _args.size(read_size, "read_size")
    if isinstance(source, (str, os.PathLike)):
        return _path_pieces(source, cutter, read_size)
    if isinstance(source, io.TextIOBase):
        raise TypeError("source must be opened in binary mode, not text mode")
    data = _as_bytes_view(source)
    if data is not None:
        return _memory_pieces(data, cutter)
    if callable(getattr(source, "readinto", None)) or callable(getattr(source, "read", None)):
        return _stream_pieces(source, cutter, read_size)
    raise TypeError(
        "source must be a path (str or os.PathLike), a binary file object or a bytes-like "
        f"object, not {type(source).__name__}"
    )


def _path_pieces(path, cutter: _Cutter, read_size: int):
    with open(path, "rb", buffering=0) as stream:
        # Only a regular file is read ahead: a read from a pipe or a terminal may wait without
        # end, and Ctrl-C would then wait for the reading thread.
        if cutter.longest <= read_size and stat.S_ISREG(os.fstat(stream.fileno()).st_mode):
            yield from _read_ahead_pieces(stream, cutter, read_size)
        else:
            yield from _stream_pieces(stream, cutter, read_size)


def _read_ahead_pieces(
    stream, cutter: _Cutter, read_size: int
) -> Iterator[tuple[memoryview, int, list[int]]]:
    """As :func:`_stream_pieces`, but a file we opened ourselves is read on another thread
    while the piece before is cut and consumed, so the copy out of the page cache costs no
    time where a core is free.

    Two buffers take turns, each with room for the longest chunk and then half a read: a read
    fills the back of one while the other's piece is cut and used, and the piece's unfinished
    last chunk (shorter than the longest) is copied to just before the new data. The two
    halves keep the memory at about ``read_size`` plus two longest chunks.
    """
    room = cutter.longest
    half = max(read_size // 2, 1)
    views = [memoryview(bytearray(room + half)) for _ in range(2)]
    base = 0  # absolute offset of the piece's first byte
    carried = 0  # bytes of the unfinished chunk, just before the new data
    k = 0
    with ThreadPoolExecutor(1) as reader:
        pending = reader.submit(_readinto, stream, views[k][room:])
        while True:
            got = pending.result()
            ended = got < half
            if not ended:
                # The next read fills the other buffer's back while this piece is used; its
                # front, where this piece's tail will go, is not touched.
                pending = reader.submit(_readinto, stream, views[1 - k][room:])
            window = views[k][room - carried : room + got]
            if len(window) == 0:
                return
            ends = cutter.ends(window)
            last_start = ends[-2] if len(ends) > 1 else 0
            if not ended and len(window) - last_start != cutter.longest:
                ends.pop()
            if ends:
                yield window, base, ends
            if ended:
                return
            done = ends[-1] if ends else 0
            carried = len(window) - done
            views[1 - k][room - carried : room] = window[done:]
            window.release()
            base += done
            k = 1 - k


def _memory_pieces(data: memoryview, cutter: _Cutter):
    # Already in memory: cut it in place, in one scan.
    with data:
        ends = cutter.ends(data)
        if ends:
            yield data, 0, ends


def _stream_pieces(
    stream, cutter: _Cutter, read_size: int
) -> Iterator[tuple[memoryview, int, list[int]]]:
    longest = cutter.longest
    # A carried tail is shorter than the longest chunk, so this much always holds it plus one
    # read. For a huge CDC chunk_size the buffer starts smaller and doubles as a chunk grows,
    # so that rescanning the tail stays linear in the input. Both chunkers start a chunk
    # afresh at every chunk start (a GearCDC cut sees only bytes of its own chunk), so cutting
    # from the carried chunk's start gives the whole content's cuts.
    bound = read_size + longest
    buf = bytearray(min(bound, 2 * read_size))
    view = memoryview(buf)
    base = 0  # absolute offset of buf[0]
    carried = 0  # bytes of the unfinished chunk at the front of buf
    try:
        while True:
            if len(buf) < carried + read_size:
                grown = bytearray(min(bound, max(carried + read_size, 2 * len(buf))))
                grown[:carried] = view[:carried]
                view.release()
                buf, view = grown, memoryview(grown)
            filled = carried + _readinto(stream, view[carried:])
            ended = filled < len(buf)
            if filled == 0:
                return
            window = view[:filled]
            ends = cutter.ends(window)
            # Every chunk but the last ends at a cut or limit inside the buffer: final. The
            # last ends where the buffer ends; more input could move its cut, unless the
            # input is over or the chunk already reached its limit.
            last_start = ends[-2] if len(ends) > 1 else 0
            if not ended and filled - last_start != longest:
                ends.pop()
            if ends:
                yield window, base, ends
            window.release()
            if ended:
                return
            done = ends[-1] if ends else 0
            carried = filled - done
            view[:carried] = view[done:filled]  # memmove: the ranges may overlap
            base += done
    finally:
        view.release()


def iter_chunks(
    source: Source,
    chunk_size: int | None = None,
    *,
    chunker: Chunker | None = None,
    read_size: int = DEFAULT_READ_SIZE,
) -> Iterator[bytes]:
    """The chunks of ``CDC(chunk_size).chunk(content)``, in order, read piece by piece.

    ``chunker`` picks another chunker: a :class:`GearCDC` (the chunks its ``cut_points``
    gives for the whole content) or an int, the ``chunk_size`` of ``CDC``. Give
    ``chunk_size`` or ``chunker``, not both; the default is ``CDC(1024)``.

    ``source`` is a path (``str`` or ``os.PathLike``; a ``str`` is always a path, never
    data), a binary file object (read from its current position to its end with
    ``readinto``, or ``read`` when it has none; left open) or a bytes-like object (chunked
    in place from its start; do not change it while iterating). A path is opened unbuffered
    at the first chunk and closed when the iteration ends or the generator is closed.

    At most about ``read_size`` plus one longest chunk (``2 * chunk_size``, or the GearCDC's
    ``max_size``) bytes are held at a time: the unfinished last chunk of each read is carried
    into the next. A path to a regular file whose longest chunk fits in ``read_size`` is read
    ahead on another thread, half a read at a time, while the chunks before are used; that
    holds one more longest chunk. Arguments are checked at the call: ``chunk_size`` must be
    from 1 to 2^64 - 1 and ``read_size`` at least 1, else ValueError; TypeError for the wrong
    types. OSError when the source cannot be read.
    """
    return _chunks(_pieces(source, _cutter(chunk_size, chunker), read_size))


def _chunks(pieces) -> Iterator[bytes]:
    for view, _, ends in pieces:
        # One bytes copy per chunk; map keeps the per-chunk work out of the interpreter loop.
        starts = [0, *ends[:-1]]
        yield from map(bytes, map(view.__getitem__, map(slice, starts, ends)))


def iter_chunk_spans(
    source: Source,
    chunk_size: int | None = None,
    *,
    chunker: Chunker | None = None,
    read_size: int = DEFAULT_READ_SIZE,
) -> Iterator[tuple[int, int]]:
    """``(offset, length)`` of each chunk that :func:`iter_chunks` yields, without copying it.

    Offsets count from where reading began. Arguments as for :func:`iter_chunks`.
    """
    return _spans(_pieces(source, _cutter(chunk_size, chunker), read_size))


def _spans(pieces) -> Iterator[tuple[int, int]]:
    for _, base, ends in pieces:
        starts = [0, *ends[:-1]]
        yield from zip(map(base.__add__, starts), map(operator.sub, ends, starts))


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
    bytes: int = 0
    chunks: int = 0
    unique_chunks: int = 0
    unique_bytes: int = 0
    #: Shortest, longest and mean chunk length; ``None`` without chunks.
    min_chunk: int | None = None
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
        d = {k: v for k, v in asdict(self).items() if not k.startswith("_")}
        d["mean_chunk"] = self.mean_chunk
        d["chunk_reduction_percent"] = self.chunk_reduction_percent
        d["byte_reduction_percent"] = self.byte_reduction_percent
        return d


@dataclass
class DedupReport:
    """What :func:`dedup_report` found: one :class:`ChunkStats` per file and their total."""

    #: CDC's chunk_size; None for a GearCDC.
    chunk_size: int | None
    files: list[ChunkStats]
    total: ChunkStats
    #: The chunker and its sizes: ``{"name": "cdc", "chunk_size", "max_size"}`` or
    #: ``{"name": "gear", "min_size", "avg_size", "max_size", "normalization"}``.
    chunker: dict = field(default_factory=dict)

    def to_dict(self) -> dict:
        """The report as a JSON-ready dict."""
        return {
            "chunker": self.chunker,
            "chunk_size": self.chunk_size,
            "files": [f.to_dict() for f in self.files],
            "total": self.total.to_dict(),
        }


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
    paths: Iterable[str | os.PathLike | BinaryIO],
    chunk_size: int | None = None,
    *,
    chunker: Chunker | None = None,
    read_size: int = DEFAULT_READ_SIZE,
    progress: Callable[[int], None] | None = None,
    on_error: Callable[[str, OSError], None] | None = None,
    threads: int | None = None,
) -> DedupReport:
    """Chunks every file and counts the chunks that repeat, within and across files.

    Chunks are those of :func:`iter_chunks`. Two chunks count as one when their 256-bit
    BLAKE2b digests are equal, so different chunks are never merged (short of a digest
    collision, which no one has ever found). Only the digests are kept, not the chunks.
    The chunk reduction is the percentage ``CDC(chunk_size).deduplicate`` reports for all
    the files' chunks together; the byte reduction weighs each chunk by its length.

    ``paths`` are paths (``str``, ``bytes`` or ``os.PathLike``) or binary file objects
    (read to their end and left open, named by their ``name``), read in order. ``chunker``
    and ``chunk_size`` as for :func:`iter_chunks`. ``progress``, when given, is called with
    the number of bytes read each time a piece of input has been processed. A file that
    cannot be read raises OSError, or, when ``on_error`` is given, is passed to it with the
    error and left out of the report (its chunks no longer count as seen).

    The digests of each piece are computed on ``threads`` threads (default: every core this
    process may use); BLAKE2b runs without the GIL on chunks of 2 KiB and more, so threads
    pay off with ``GearCDC`` (whose chunks are at least ``min_size``) far more than with the
    short chunks of ``CDC(1024)``. The report is the same for any thread count.
    """
    if isinstance(paths, (str, bytes, os.PathLike)):
        raise TypeError("paths must be an iterable of paths, not a single path")
    cutter = _cutter(chunk_size, chunker)
    read_size = _args.size(read_size, "read_size")
    nthreads = _args.threads(threads)
    with ThreadPoolExecutor(nthreads - 1) if nthreads > 1 else nullcontext() as pool:
        return _dedup_report(paths, cutter, read_size, progress, on_error, pool, nthreads)


def _dedup_report(paths, cutter: _Cutter, read_size: int, progress, on_error, pool, nthreads):
    seen: set[bytes] = set()
    files = []
    total = ChunkStats(path=None)
    for path in paths:
        if isinstance(path, (str, bytes, os.PathLike)):
            path = os.fspath(path)  # bytes here are a path, not data
            name = os.fsdecode(path)
            pieces = _path_pieces(path, cutter, read_size)
        else:
            name = str(getattr(path, "name", "<stream>"))
            pieces = _stream_pieces(path, cutter, read_size)
        stats = ChunkStats(path=name)
        add = stats._add
        added: list[bytes] = []
        try:
            for view, _, ends in pieces:
                start = 0
                for end, digest in zip(ends, _digests(view, ends, pool, nthreads)):
                    new = digest not in seen
                    if new:
                        seen.add(digest)
                        added.append(digest)
                    add(end - start, new)
                    start = end
                if progress is not None:
                    progress(start)
        except OSError as error:
            if on_error is None:
                raise
            seen.difference_update(added)
            on_error(name, error)
            continue
        files.append(stats)
        total._merge(stats)
    return DedupReport(
        chunk_size=cutter.description.get("chunk_size"),
        files=files,
        total=total,
        chunker=cutter.description,
    )
