"""The exact search: each text's group of copies, the texts whose digests
(:mod:`veltrane.sketch.digest`) are equal. It makes no pairs: the keep step takes the groups."""

from __future__ import annotations

import numpy as np

from .. import _native
from .._pairs import Texts
from ..sketch.digest import DEFAULT_NORMALIZE, Normalize, empty_digest, text_digests


def exact_groups(digests: np.ndarray) -> np.ndarray:
    """For each digest (a row of two ``uint64``, or of four ``uint32`` as the one-pass reader
    gives them), the index of the first equal one, ``int64``: its own index when it is the
    first of its group."""
    d = np.ascontiguousarray(digests)
    if d.ndim == 2 and d.shape[1] == 4 and d.dtype == np.uint32:
        d = d.view(np.uint64)
    if d.ndim != 2 or d.shape[1] != 2 or d.dtype != np.uint64:
        raise ValueError("digests must be uint64 of shape (n, 2) or uint32 of shape (n, 4)")
    return _native.first_equal(d)


def copies(
    texts: Texts, *, normalize: Normalize = DEFAULT_NORMALIZE, threads: int | None = None
) -> tuple[np.ndarray, np.ndarray]:
    """``(groups, apart)``: each text's group of copies, named by its first text (as
    :func:`exact_groups`), and, under ``"words"``, the indices of the texts without words,
    which are copies of nothing and groups of their own (under ``"none"`` there are none)."""
    digests = text_digests(texts, normalize=normalize, threads=threads)
    return groups_of(digests, normalize)


def groups_of(digests: np.ndarray, normalize: Normalize) -> tuple[np.ndarray, np.ndarray]:
    """:func:`copies` from digests made already."""
    groups = exact_groups(digests)
    if normalize == "none" or len(groups) == 0:
        return groups, np.empty(0, dtype=np.int64)
    rows = np.ascontiguousarray(digests)
    if rows.dtype == np.uint32:
        rows = rows.view(np.uint64)
    apart = np.flatnonzero((rows == empty_digest(normalize)).all(axis=1))
    groups[apart] = apart
    return groups, apart
