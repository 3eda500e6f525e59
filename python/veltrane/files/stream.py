"""Content-defined chunking of files and streams of any size.

``CDC.chunk`` and ``GearCDC.cut_points`` need their whole input in memory. The functions here
read a file a piece at a time and cut exactly the chunks that the chunker would cut from the
whole content, holding about ``read_size`` plus one or two longest chunks at a time. Which
chunk ends of a piece are final is decided in one place, :func:`final_ends`.
"""

from __future__ import annotations

import io
import operator
import os
import stat
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor
from typing import BinaryIO, Union

from .. import _args
from ..defaults import DEFAULT_CHUNK_SIZE, DEFAULT_READ_SIZE
from .chunker import Chunker, as_chunker

__all__ = [
    "DEFAULT_CHUNK_SIZE",
    "DEFAULT_READ_SIZE",
    "Source",
    "final_ends",
    "iter_chunk_spans",
    "iter_pieces",
    "iter_chunks",
]

#: What the streaming functions accept: a path, a binary file object or bytes-like data.
Source = Union[str, "os.PathLike[str]", BinaryIO, bytes, bytearray, memoryview]


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


def final_ends(ends: list[int], filled: int, ended: bool, longest: int) -> list[int]:
    """The chunk ends of a buffer of ``filled`` bytes that no further input can change.

    ``ends`` are the chunker's ends over the buffer, the last at ``filled``. Every chunk but
    the last ends at a cut or a limit inside the buffer: final. The last ends where the buffer
    ends, and more input could move its cut, unless the input is over (``ended``) or the chunk
    already has the longest length a chunk may have.
    """
    if ended or not ends:
        return ends
    last_start = ends[-2] if len(ends) > 1 else 0
    return ends if filled - last_start == longest else ends[:-1]


def _cut(chunker: Chunker, view: memoryview) -> list[int]:
    # One thread: a read's worth of bytes is cut in a few milliseconds, in which a team of
    # threads gains little, and it loses much when another process holds a core.
    return chunker.cut_points(view, threads=1).tolist()


def _pieces(
    source: Source, chunker: Chunker, read_size: int
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
        return _path_pieces(source, chunker, read_size)
    if isinstance(source, io.TextIOBase):
        raise TypeError("source must be opened in binary mode, not text mode")
    data = _as_bytes_view(source)
    if data is not None:
        return _memory_pieces(data, chunker)
    if callable(getattr(source, "readinto", None)) or callable(getattr(source, "read", None)):
        return _stream_pieces(source, chunker, read_size)
    raise TypeError(
        "source must be a path (str or os.PathLike), a binary file object or a bytes-like "
        f"object, not {type(source).__name__}"
    )


def _path_pieces(path, chunker: Chunker, read_size: int):
    with open(path, "rb", buffering=0) as stream:
        # Only a regular file is read ahead: a read from a pipe or a terminal may wait without
        # end, and Ctrl-C would then wait for the reading thread.
        if chunker.max_size <= read_size and stat.S_ISREG(os.fstat(stream.fileno()).st_mode):
            yield from _read_ahead_pieces(stream, chunker, read_size)
        else:
            yield from _stream_pieces(stream, chunker, read_size)


def _read_ahead_pieces(
    stream, chunker: Chunker, read_size: int
) -> Iterator[tuple[memoryview, int, list[int]]]:
    """As :func:`_stream_pieces`, but a file we opened ourselves is read on another thread
    while the piece before is cut and consumed, so the copy out of the page cache costs no
    time where a core is free.

    Two buffers take turns, each with room for the longest chunk and then half a read: a read
    fills the back of one while the other's piece is cut and used, and the piece's unfinished
    last chunk (shorter than the longest) is copied to just before the new data. The two
    halves keep the memory at about ``read_size`` plus two longest chunks.
    """
    room = chunker.max_size
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
            ends = final_ends(_cut(chunker, window), len(window), ended, chunker.max_size)
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


def _memory_pieces(data: memoryview, chunker: Chunker):
    # Already in memory: cut it in place, in one scan.
    with data:
        ends = _cut(chunker, data)
        if ends:
            yield data, 0, ends


def _stream_pieces(
    stream, chunker: Chunker, read_size: int
) -> Iterator[tuple[memoryview, int, list[int]]]:
    longest = chunker.max_size
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
            ends = final_ends(_cut(chunker, window), filled, ended, longest)
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
    chunker: Chunker | int | None = None,
    read_size: int = DEFAULT_READ_SIZE,
) -> Iterator[bytes]:
    """The chunks of ``CDC(chunk_size).chunk(content)``, in order, read piece by piece.

    ``chunker`` picks another chunker: a :class:`veltrane.GearCDC` or any other
    :class:`veltrane.files.chunker.Chunker` (the chunks its ``cut_points`` gives for the whole
    content), or an int, the ``chunk_size`` of ``CDC``. Give
    ``chunk_size`` or ``chunker``, not both; the default is ``CDC(1024)``.

    ``source`` is a path, a binary file object (read from its current position to its end
    with ``readinto``, or ``read`` when it has none; left open) or data. The rule for
    ``bytes``, the same for :func:`veltrane.dedup_report`'s sources: a ``str`` or
    ``os.PathLike`` is a path, and a bytes-like object (``bytes``, ``bytearray``,
    ``memoryview``) is always data, never a path, chunked in place from its start (do not
    change it while iterating); a path that is not UTF-8 is ``os.fsdecode(raw)`` or a
    ``pathlib.Path``. A path is opened unbuffered
    at the first chunk and closed when the iteration ends or the generator is closed.

    At most about ``read_size`` plus one longest chunk (``2 * chunk_size``, or the GearCDC's
    ``max_size``) bytes are held at a time: the unfinished last chunk of each read is carried
    into the next. A path to a regular file whose longest chunk fits in ``read_size`` is read
    ahead on another thread, half a read at a time, while the chunks before are used; that
    holds one more longest chunk. Arguments are checked at the call: ``chunk_size`` must be
    from 1 to 2^64 - 1 and ``read_size`` at least 1, else ValueError; TypeError for the wrong
    types. OSError when the source cannot be read.
    """
    return _chunks(_pieces(source, as_chunker(chunker, chunk_size), read_size))


def _chunks(pieces) -> Iterator[bytes]:
    for view, _, ends in pieces:
        # One bytes copy per chunk; map keeps the per-chunk work out of the interpreter loop.
        starts = [0, *ends[:-1]]
        yield from map(bytes, map(view.__getitem__, map(slice, starts, ends)))


def iter_chunk_spans(
    source: Source,
    chunk_size: int | None = None,
    *,
    chunker: Chunker | int | None = None,
    read_size: int = DEFAULT_READ_SIZE,
) -> Iterator[tuple[int, int]]:
    """``(offset, length)`` of each chunk that :func:`iter_chunks` yields, without copying it.

    Offsets count from where reading began. Arguments as for :func:`iter_chunks`.
    """
    return _spans(_pieces(source, as_chunker(chunker, chunk_size), read_size))


def _spans(pieces) -> Iterator[tuple[int, int]]:
    for _, base, ends in pieces:
        starts = [0, *ends[:-1]]
        yield from zip(map(base.__add__, starts), map(operator.sub, ends, starts))


def iter_pieces(
    source: Source, chunker: Chunker, *, read_size: int = DEFAULT_READ_SIZE
) -> Iterator[tuple[memoryview, int, list[int]]]:
    """The stream beneath :func:`iter_chunks`, for consumers that work on whole buffers.

    Yields ``(view, base, ends)``: ``ends`` are the end offsets, inside ``view``, of chunks
    that no further input can change (the first starts at 0), and ``base`` is the offset of
    ``view[0]`` in the source. ``view`` is valid only until the next item is asked for.
    ``source`` as for :func:`iter_chunks`; ``chunker`` a :class:`veltrane.files.chunker.Chunker`.
    """
    return _pieces(source, chunker, read_size)
