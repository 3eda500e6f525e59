"""What the streaming functions and the dedup report need of a chunker, and the adapter that
lets ``dedup_core.CDC`` serve as one.

A chunker is any object with ``cut_points(data, *, threads=None)`` (the end offset of every
chunk of a contiguous buffer, as an ``int64`` array), ``max_size`` (no chunk is longer, so a
stream knows how much to carry between reads) and ``description()`` (a JSON-ready dict that
names it in reports). :class:`veltrane.GearCDC` is one; :class:`CDCChunker` makes
``CDC(chunk_size)`` one. A new chunker needs nothing else of this package.
"""

from __future__ import annotations

from typing import Protocol, runtime_checkable

import numpy as np

from .. import _args, _native
from ..defaults import DEFAULT_CHUNK_SIZE

# CDC() takes an unsigned 64-bit chunk_size.
_MAX_CHUNK_SIZE = (1 << 64) - 1


@runtime_checkable
class Chunker(Protocol):
    """The chunker protocol (see the module docstring)."""

    @property
    def max_size(self) -> int:
        """No chunk is longer."""
        ...

    def cut_points(self, data, *, threads: int | None = None) -> np.ndarray:
        """The end offset of every chunk of ``data``, in order (``int64``)."""
        ...

    def description(self) -> dict:
        """The chunker and its sizes, as a report names it."""
        ...


class CDCChunker:
    """``CDC(chunk_size)`` as a :class:`Chunker`: the cuts of ``CDC(chunk_size).chunk``.

    ``chunk_size`` runs from 1 to 2^64 - 1 (ValueError outside, TypeError for a non-integer).
    CDC restarts its cut hash at every chunk, so an insertion moves every later cut; prefer
    :class:`veltrane.GearCDC` for data that changes.
    """

    __slots__ = ("_size",)

    def __init__(self, chunk_size: int = DEFAULT_CHUNK_SIZE, *, _name: str = "chunk_size"):
        self._size = _args.size(chunk_size, _name, _MAX_CHUNK_SIZE)

    @property
    def chunk_size(self) -> int:
        """CDC's ``chunk_size``."""
        return self._size

    @property
    def max_size(self) -> int:
        """``2 * chunk_size``: no chunk is longer."""
        # May exceed 2^64: then no chunk reaches it, as in CDC.chunk.
        return 2 * self._size

    def cut_points(self, data, *, threads: int | None = None) -> np.ndarray:
        """The end offset of every chunk of ``data`` (any contiguous buffer), in order.
        ``threads`` is accepted for the protocol; CDC cuts on one."""
        return _native.chunk_ends(data, self._size)

    def description(self) -> dict:
        """``{"name": "cdc", "chunk_size", "max_size"}``."""
        return {"name": "cdc", "chunk_size": self._size, "max_size": self.max_size}

    def __repr__(self) -> str:
        return f"CDCChunker({self._size})"

    def __eq__(self, other: object) -> bool:
        if not isinstance(other, CDCChunker):
            return NotImplemented
        return self._size == other._size

    def __hash__(self) -> int:
        return hash(("cdc", self._size))


def as_chunker(
    chunker: object = None, chunk_size: object = None, *, default: Chunker | None = None
) -> Chunker:
    """The chunker of a function's ``chunker`` and ``chunk_size`` arguments (at most one
    given): a :class:`Chunker` as it is, an int as ``CDCChunker(int)``; ``default`` (or
    ``CDCChunker()``) when neither is given."""
    if chunk_size is not None and chunker is not None:
        raise TypeError("give chunk_size or chunker, not both")
    if chunk_size is not None:
        return CDCChunker(chunk_size)  # type: ignore[arg-type]
    if chunker is None:
        return default if default is not None else CDCChunker()
    if isinstance(chunker, Chunker):
        return chunker
    if isinstance(chunker, bool) or not hasattr(chunker, "__index__"):
        raise TypeError(
            "chunker must be a GearCDC or an int (the chunk_size of CDC), or another "
            f"Chunker, not {type(chunker).__name__}"
        )
    return CDCChunker(chunker, _name="chunker")  # type: ignore[arg-type]
