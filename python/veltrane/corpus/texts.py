"""Texts by number: every way of reading a corpus's texts again once the reading has moved on
(by span from their own files, from a spill file) answers ``take(indices)``; texts held in a
list are taken by indexing.

A search within a memory bound holds no texts: it asks for the few it must verify, by number,
from a :class:`TextsByNumber`. ``veltrane.corpus.signed.SpannedTexts`` (texts read by
span from plain files) is one as well.
"""

from __future__ import annotations

import contextlib
import ctypes
import os
import tempfile
from collections.abc import Callable
from typing import Protocol

import numpy as np

from .source import Corpus


class TextsByNumber(Protocol):
    """The texts of a corpus, read again by number."""

    def take(self, indices: np.ndarray) -> list[bytes]:
        """The texts of those numbers, in their order."""
        ...

    def close(self) -> None:
        """Lets go of what holds them (a file, say)."""
        ...


class SpillError(OSError):
    """A spill file could not be written or read (a full disk, say); ``where`` is its
    directory."""

    def __init__(self, where: str, e: OSError) -> None:
        super().__init__(e.errno, e.strerror or str(e))
        #: The directory of the spill file.
        self.where = where

    def __str__(self) -> str:
        return f"{self.where}: {self.strerror} writing temporary files"


class Spill:
    """Byte strings appended to an unnamed temporary file and read back by number: the file
    is gone from the directory at once, so nothing is left behind whatever ends the run."""

    def __init__(self, directory: str | None) -> None:
        self._where = directory or tempfile.gettempdir()
        try:
            self._file = tempfile.TemporaryFile(dir=directory, prefix="veltrane-")
        except OSError as e:
            raise SpillError(self._where, e) from None
        self._ends: list[np.ndarray] = []
        self._size = 0
        self._all: np.ndarray | None = None

    def add(self, items: list[bytes]) -> None:
        """Appends the items; they are numbered on from the last."""
        lengths = np.fromiter(map(len, items), dtype=np.int64, count=len(items))
        try:
            self._file.write(b"".join(items))
        except OSError as e:
            raise SpillError(self._where, e) from None
        self._ends.append(self._size + np.cumsum(lengths))
        self._size += int(lengths.sum())

    def _ends_all(self) -> np.ndarray:
        if self._all is None:
            try:
                self._file.flush()
            except OSError as e:
                raise SpillError(self._where, e) from None
            self._all = np.concatenate(self._ends) if self._ends else np.empty(0, np.int64)
            self._ends.clear()
        return self._all

    def take(self, indices: np.ndarray) -> list[bytes]:
        """The items of those numbers, in their order."""
        trim()  # the texts of the part before are freed
        ends = self._ends_all()
        numbers = np.asarray(indices, dtype=np.int64)
        stops = ends[numbers]
        starts = np.where(numbers > 0, ends[numbers - 1], 0)
        fd = self._file.fileno()
        return [os.pread(fd, b - a, a) for a, b in zip(starts.tolist(), stops.tolist())]

    def close(self) -> None:
        """Closes (and so removes) the file."""
        # What the buffer still holds is not wanted, and may not fit: a full disk has said so.
        with contextlib.suppress(OSError):
            self._file.close()


class Reread:
    """The texts read again from their files by number, where every shard is a plain file
    of lines or JSON Lines: only where each record is stays in memory, and verification
    reads the few texts it needs without a copy of all of them on disk.

    ``where()`` gives, once every record is read, (source, spans, searched): each record's
    shard and span, and the records that are texts (text k is record ``searched[k]``)."""

    def __init__(
        self, corpus: Corpus, where: Callable[[], tuple[np.ndarray, np.ndarray, np.ndarray]]
    ) -> None:
        self.corpus, self.where = corpus, where

    def take(self, indices: np.ndarray) -> list[bytes]:
        """The texts of those numbers, in their order."""
        trim()  # the texts of the part before are freed
        source, spans, searched = self.where()
        records = searched[np.asarray(indices, dtype=np.int64)]
        of = source[records]
        out: list[bytes] = [b""] * len(records)
        for shard in np.unique(of).tolist():
            at = np.flatnonzero(of == shard)
            texts = self.corpus.texts_at(shard, spans[records[at]])
            for k, text in zip(at.tolist(), texts):
                out[k] = text
        return out

    def close(self) -> None:
        """Nothing to let go of."""


def freed_memory_returned() -> None:
    """Blocks of 256 KiB and more mapped from the system and unmapped when freed (glibc).
    Otherwise glibc raises that bound to the largest block freed, and the arrays of one item
    a text, made and freed step after step, stay in the heap: the resident size grew by
    about 100 bytes a text beyond what was in use."""
    m_mmap_threshold = -3
    with contextlib.suppress(OSError, AttributeError):
        ctypes.CDLL(None).mallopt(m_mmap_threshold, 1 << 18)


def trim() -> None:
    """Gives the free pages of the heap back (glibc): the texts re-read for each part of
    the verification, small blocks freed between longer-lived ones, otherwise left it
    growing by about a megabyte a part."""
    with contextlib.suppress(OSError, AttributeError):
        ctypes.CDLL(None).malloc_trim(0)
