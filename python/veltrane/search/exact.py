"""The exact search: each text's group of copies, the texts whose digests
(:mod:`veltrane.sketch.digest`) are equal. It makes no pairs: the keep step takes the groups."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Protocol, cast

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


#: A pair of copies: the two texts, similarity 1.0.
PAIR_DTYPE = np.dtype([("i", "<i8"), ("j", "<i8"), ("similarity", "<f8")])


def iter_copy_pairs(groups: np.ndarray, batch_size: int = 1 << 16):
    """Every pair of copies ``i < j`` (the same group), sorted, in arrays of
    :data:`PAIR_DTYPE` of at most ``batch_size`` rows: m copies are m(m - 1)/2 pairs."""
    groups = np.asarray(groups, dtype=np.int64)
    n = len(groups)
    sizes = np.bincount(groups, minlength=n)
    members = np.flatnonzero(sizes[groups] > 1)
    by_group = members[np.lexsort((members, groups[members]))]
    starts = np.flatnonzero(np.r_[True, groups[by_group[1:]] != groups[by_group[:-1]]])
    ends = np.r_[starts[1:], len(by_group)]
    firsts, seconds = [], []
    for a, b in zip(starts.tolist(), ends.tolist()):
        run = by_group[a:b]
        i, j = np.triu_indices(len(run), 1)
        firsts.append(run[i])
        seconds.append(run[j])
    if not firsts:
        return
    i, j = np.concatenate(firsts), np.concatenate(seconds)
    order = np.lexsort((j, i))
    for start in range(0, len(order), batch_size):
        part = order[start : start + batch_size]
        batch = np.empty(len(part), dtype=PAIR_DTYPE)
        batch["i"], batch["j"], batch["similarity"] = i[part], j[part], 1.0
        yield batch


class _Taker(Protocol):
    def take(self, indices: np.ndarray) -> list[bytes]: ...


def count_copies(
    texts: Sequence[str | bytes | bytearray] | _Taker,
    a: np.ndarray,
    b: np.ndarray,
    *,
    normalize: Normalize = DEFAULT_NORMALIZE,
    threads: int | None = None,
) -> int:
    """How many of the pairs ``(texts[a[k]], texts[b[k]])`` are copies. Texts that know how to
    read many at once (``take``) are read so, a batch at a time."""
    a = np.asarray(a, dtype=np.int64)
    b = np.asarray(b, dtype=np.int64)
    count = 0
    for start in range(0, len(a), 1 << 14):
        ends = np.concatenate([a[start : start + (1 << 14)], b[start : start + (1 << 14)]])
        batch: Sequence[str | bytes | bytearray]
        if isinstance(texts, Sequence) and not hasattr(texts, "take"):
            batch = [texts[k] for k in ends.tolist()]
        else:
            batch = cast(_Taker, texts).take(ends)
        d = text_digests(batch, normalize=normalize, threads=threads)
        half = len(ends) // 2
        count += int((d[:half] == d[half:]).all(axis=1).sum())
    return count
