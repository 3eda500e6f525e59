"""SimHash fingerprints of many texts: 8-byte ``bytes`` or, for the searches, ``uint64``."""

from __future__ import annotations

from collections.abc import Callable, Iterator
from itertools import islice
from typing import BinaryIO, Literal

import numpy as np

from .. import _args, _native
from .._pairs import Progress, Texts, in_batches

#: Lines fingerprinted per call by :func:`line_fingerprints`: enough to keep both cores busy and
#: the per-call overhead negligible, few enough that a batch of long lines stays small.
BATCH_LINES = 1 << 16


def as_fingerprints(fingerprints) -> np.ndarray:
    """A contiguous uint64 array from an array of unsigned 64-bit values or 8-byte bytes."""
    if isinstance(fingerprints, np.ndarray):
        if fingerprints.ndim != 1 or fingerprints.dtype != np.uint64:
            raise TypeError(
                "fingerprints must be a one-dimensional uint64 array, got "
                f"{fingerprints.ndim}-dimensional {fingerprints.dtype}"
            )
        return np.ascontiguousarray(fingerprints)
    items = list(fingerprints)
    for k, fp in enumerate(items):
        if not isinstance(fp, bytes) or len(fp) != 8:
            what = f"{len(fp)} bytes" if isinstance(fp, bytes) else type(fp).__name__
            raise TypeError(f"fingerprints[{k}] must be an 8-byte bytes object, got {what}")
    return np.frombuffer(b"".join(items), dtype="<u8").astype(np.uint64, copy=False)


def _concatenate(parts: list[np.ndarray]) -> np.ndarray:
    return np.concatenate(parts)


def _join_lists(parts: list[list[bytes]]) -> list[bytes]:
    return [fp for part in parts for fp in part]


def fingerprints(
    texts: Texts,
    bits: int = 64,
    *,
    threads: int | None = None,
    progress: Progress | None = None,
) -> list[bytes]:
    """The SimHash fingerprints of many texts, as ``SimHash(bits).compute(text)`` gives each.

    Texts are ``str`` (as UTF-8), ``bytes`` or ``bytearray``; a bad item raises TypeError
    naming its index. The work runs on ``threads`` threads (default: every core this process
    may use) without the GIL. ``progress`` is called as ``progress("fingerprinting", done,
    total)`` (see :class:`veltrane.Progress`).
    """
    nthreads = _args.threads(threads)
    return in_batches(
        texts,
        lambda part: _native.fingerprints(part, bits, nthreads),
        _join_lists,
        "fingerprinting",
        progress,
    )


def fingerprints64(
    texts: Texts,
    *,
    threads: int | None = None,
    tokens: Literal["raw", "words"] = "raw",
    progress: Progress | None = None,
) -> np.ndarray:
    r"""64-bit fingerprints of many texts as a ``uint64`` array.

    Element k is the little-endian value of ``SimHash(64).compute(texts[k])``. Otherwise as
    :func:`fingerprints`.

    ``tokens="words"`` fingerprints the words of each text instead, as
    :func:`veltrane.sketch.minhash.words` finds them (see :mod:`veltrane.sketch.minhash`), joined
    by single spaces: element k is then ``SimHash(64).compute(" ".join(words(texts[k])))``.
    ``compute`` splits on the space byte only, so on the raw text case, punctuation, line
    breaks and runs of spaces all make tokens of their own; on real documents near duplicates
    are found far better from the words (see the README). The default stays the raw text.
    ValueError for another value.
    """
    if tokens not in ("raw", "words"):
        raise ValueError(f"tokens must be 'raw' or 'words', got {tokens!r}")
    native = _native.fingerprints64 if tokens == "raw" else _native.word_fingerprints64
    nthreads = _args.threads(threads)
    return in_batches(
        texts, lambda part: native(part, nthreads), _concatenate, "fingerprinting", progress
    )


def _without_ending(line: bytes) -> bytes:
    return line[:-2] if line.endswith(b"\r\n") else line[:-1] if line.endswith(b"\n") else line


def line_fingerprints(
    stream: BinaryIO, bits: int = 64, read: Callable[[int], None] | None = None
) -> Iterator[list[bytes]]:
    """The fingerprints of a binary stream's lines, a batch at a time, as :func:`fingerprints`
    gives them. A line is its bytes without the ending (``\n`` or ``\r\n``), nothing else
    stripped; ``read(n)`` is told of each ``n`` bytes read."""
    while True:
        lines = list(islice(stream, BATCH_LINES))
        if not lines:
            return
        data = b"".join(lines)
        if read is not None:
            read(len(data))
        if b"\r" in data:
            texts = [
                line[:-2]
                if line.endswith(b"\r\n")
                else line[:-1]
                if line.endswith(b"\n")
                else line
                for line in lines
            ]
        else:
            # Without \r only \n ends lines, and one split in C cuts them all; every line
            # but the file's last ends with it, which leaves an empty piece to drop.
            texts = data.split(b"\n")
            if data.endswith(b"\n"):
                texts.pop()
        yield fingerprints(texts, bits)
