"""Which texts a deduplication keeps, and which kept text each dropped one stands for.

The keep order ranks the texts: ``"first"`` (input order), ``"longest"`` (most UTF-8 bytes
first), or the largest of given numeric values first (a missing value, NaN, last); ties go to
the earlier text. :func:`keepers` takes the texts in that order: a text with a near duplicate
already kept is dropped onto the most similar such kept text (ties to the earliest in keep
order), else it is kept. So every dropped text is a near duplicate of the text kept in its
place, and no two kept texts are near duplicates of each other, unlike connected components
(:func:`component_keepers`), where a chain of near duplicates joins texts far apart. The result
depends only on the pairs and the order, never on a thread count.
"""

from __future__ import annotations

from collections.abc import Sequence
from typing import Literal

import numpy as np

from . import _native
from ._pairs import clusters

#: The named keep orders; the third kind of order is a sequence of numbers, largest first.
KeepRule = Literal["first", "longest"]


def keep_ranks(
    n: int, keep: KeepRule | Sequence[float] | np.ndarray = "first", *, texts=None
) -> np.ndarray:
    """The position of each of ``n`` texts in keep order (an int64 permutation of 0..n-1).
    ``"longest"`` needs ``texts``; an array of ``n`` numbers ranks by value, largest first."""
    if isinstance(keep, str):
        if keep == "first":
            return np.arange(n, dtype=np.int64)
        if keep != "longest":
            raise ValueError(f"keep must be 'first', 'longest' or n numbers, got {keep!r}")
        if texts is None or len(texts) != n:
            raise ValueError("keep='longest' needs the n texts")
        sizes = getattr(texts, "sizes", None)  # texts read when asked for know their sizes
        lengths = (
            np.asarray(sizes, dtype=np.int64)
            if sizes is not None
            else np.fromiter(
                (len(t.encode("utf-8") if isinstance(t, str) else t) for t in texts),
                dtype=np.int64,
                count=n,
            )
        )
        order = np.argsort(-lengths, kind="stable")
    else:
        values = np.asarray(keep, dtype=np.float64)
        if values.shape != (n,):
            raise ValueError(f"keep values must hold one number per text ({n})")
        # Largest first, NaN (no value) last; a stable sort leaves ties in input order.
        key = np.where(np.isnan(values), np.inf, -values)
        order = np.argsort(key, kind="stable")
    ranks = np.empty(n, dtype=np.int64)
    ranks[order] = np.arange(n)
    return ranks


def _checked_pairs(n: int, i, j, similarity) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
    i = np.ascontiguousarray(i, dtype=np.int64).reshape(-1)
    j = np.ascontiguousarray(j, dtype=np.int64).reshape(-1)
    if len(i) != len(j):
        raise ValueError(f"i and j must have the same length, got {len(i)} and {len(j)}")
    if len(i) and (min(i.min(), j.min()) < 0 or max(i.max(), j.max()) >= n):
        raise IndexError(f"pair indices must index the {n} texts")
    if similarity is None:
        return i, j, np.ones(len(i))
    s = np.ascontiguousarray(similarity, dtype=np.float64).reshape(-1)
    if len(s) != len(i):
        raise ValueError("similarity must hold one value per pair")
    if not np.isfinite(s).all():
        raise ValueError("similarities must be finite")
    return i, j, s


def keepers(
    n: int,
    i,
    j,
    similarity=None,
    *,
    keep: KeepRule | Sequence[float] | np.ndarray = "first",
    texts=None,
    groups=None,
    larger_is_closer: bool = True,
    self_similarity: float = 1.0,
) -> tuple[np.ndarray, np.ndarray]:
    """For each of ``n`` texts, the text kept in its place (itself when kept) and their
    similarity (``self_similarity`` for a kept text), as int64 and float64 arrays.

    ``(i[k], j[k], similarity[k])`` are the verified near-duplicate pairs, in any order
    (repeats are harmless). ``keep`` and ``texts`` give the keep order (:func:`keep_ranks`).
    ``groups``, when given, names for each text a representative of its group of copies
    (``groups[t] == groups[u]``: t and u are copies, at ``self_similarity``); the pairs then
    join representatives only, and the result is that of every pair between members, without
    the m(m-1)/2 pairs of m copies. For distances (SimHash), pass ``larger_is_closer=False``
    and ``self_similarity=0``.
    """
    i, j, s = _checked_pairs(n, i, j, similarity)
    ranks = keep_ranks(n, keep, texts=texts)
    if groups is None:
        group = np.arange(n, dtype=np.int64)
    else:
        group = np.ascontiguousarray(groups, dtype=np.int64).reshape(-1)
        if len(group) != n or (n and (group.min() < 0 or group.max() >= n)):
            raise ValueError(f"groups must hold one index of the {n} texts per text")
        # The pairs join groups: map each end to its group.
        i, j = group[i], group[j]
    sign = 1.0 if larger_is_closer else -1.0
    keeper, similarities = _native.keep_greedy(
        ranks, group, i, j, s * sign, float(self_similarity) * sign
    )
    return keeper, similarities * sign


def component_keepers(
    n: int, i, j, *, keep: KeepRule | Sequence[float] | np.ndarray = "first", texts=None
) -> np.ndarray:
    """For each text, the first in keep order of its connected component of pairs: the
    clustering that drops a text for a chain of near duplicates."""
    i, j, _ = _checked_pairs(n, i, j, None)
    ranks = keep_ranks(n, keep, texts=texts)
    labels = clusters(n, np.stack([i, j], axis=1))
    first = np.full(n, n, dtype=np.int64)
    np.minimum.at(first, labels, ranks)
    order = np.empty(n, dtype=np.int64)
    order[ranks] = np.arange(n)
    return order[first[labels]]


#: How groups of near duplicates become keepers: ``"greedy"`` (:func:`keepers`) or
#: ``"components"`` (:func:`component_keepers`).
Clusters = Literal["greedy", "components"]


def keep_step(
    n: int,
    i,
    j,
    similarity,
    *,
    groups,
    keep: KeepRule | Sequence[float] | np.ndarray = "first",
    clusters: str = "greedy",
    texts=None,
    larger_is_closer: bool = True,
    self_similarity: float = 1.0,
    measure=None,
) -> tuple[np.ndarray, np.ndarray]:
    """The one keep step of every search mode: from what a search found (the pairs between
    the representatives ``groups`` names for each group of copies), for each of ``n`` texts
    the text kept in its place and their similarity, as :func:`keepers` gives them.

    ``clusters="greedy"`` is :func:`keepers`; ``"components"`` keeps the first text in keep
    order of each connected component (copies joined to their group's first text), and
    ``measure(dropped, keepers)`` gives the similarity of each dropped text to its keeper,
    which no pair may hold (a component joins texts far apart); kept texts have
    ``self_similarity``.
    """
    if clusters == "greedy":
        return keepers(
            n,
            i,
            j,
            similarity,
            keep=keep,
            texts=texts,
            groups=groups,
            larger_is_closer=larger_is_closer,
            self_similarity=self_similarity,
        )
    if clusters != "components":
        raise ValueError(f"clusters must be 'greedy' or 'components', got {clusters!r}")
    # Copies join their group's first text, then the pairs join groups.
    copies = np.flatnonzero(groups != np.arange(n))
    keeper = component_keepers(
        n,
        np.concatenate([i, copies]),
        np.concatenate([j, groups[copies]]),
        keep=keep,
        texts=texts,
    )
    measured = np.full(n, float(self_similarity))
    dropped = np.flatnonzero(keeper != np.arange(n))
    if len(dropped) or measure is not None:
        assert measure is not None, "components need measure="
        measured[dropped] = measure(dropped, keeper[dropped])
    return keeper, measured
