"""Which texts to keep when near duplicates are dropped: the texts in memory, signed,
searched, and one keeper chosen for each group of near duplicates."""

from __future__ import annotations

import re
from collections.abc import Sequence
from typing import NamedTuple

import numpy as np

from ._pairs import Progress
from .defaults import (
    DEFAULT_MAX_DISTANCE,
    DEFAULT_METHOD,
    DEFAULT_NGRAM,
    DEFAULT_NUM_PERM,
    DEFAULT_THRESHOLD,
)
from .keep import KeepRule, keep_step
from .search.exact import copies as exact_copies
from .search.exact import groups_of
from .search.hamming import near_duplicate_pairs
from .search.jaccard import JaccardParams, jaccard_similarities, search
from .sketch.digest import DEFAULT_NORMALIZE, Normalize, check_normalize
from .sketch.simhash import fingerprints64


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
    bytes), compared by a 128-bit digest (:mod:`veltrane.sketch.digest`), similarity 1.0.
    Under ``"words"`` texts without words are copies of nothing and always kept.

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
    return deduplicate_signed(
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


def deduplicate_signed(
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
    :func:`veltrane.search.jaccard.search`)."""
    if clusters not in ("greedy", "components"):
        raise ValueError(f"clusters must be 'greedy' or 'components', got {clusters!r}")
    n = len(texts)
    if method == "exact":
        check_normalize(normalize)
        if signed is not None:
            groups, apart = groups_of(signed.pop(), normalize)
        else:
            groups, apart = exact_copies(texts, normalize=normalize, threads=threads)
        none = np.empty(0, dtype=np.int64)
        i, j, s = none, none, np.empty(0)
        closer, same = True, 1.0
    elif method == "simhash":
        fps = fingerprints64(texts, threads=threads, progress=progress)
        apart = without_words(texts)
        groups, i, j, s = _simhash_pairs(fps, apart, max_distance, threads, progress)
        closer, same = False, 0.0
    elif method == "minhash":
        params = JaccardParams(threshold, ngram, num_perm, wordless="apart")
        found = search(texts, params, threads=threads, progress=progress, signed=signed)
        groups, i, j, s, apart = found.reps, found.i, found.j, found.similarity, found.wordless
        closer, same = True, 1.0
    else:
        raise ValueError(f"method must be 'simhash' or 'minhash' (or 'exact'), got {method!r}")

    def measure(dropped: np.ndarray, kept_for: np.ndarray) -> np.ndarray:
        if method == "exact":
            return np.ones(len(dropped))  # every copy is at similarity 1.0
        if method == "simhash":
            bits = np.unpackbits((fps[dropped] ^ fps[kept_for]).view(np.uint8))
            return bits.reshape(-1, 64).sum(axis=1)
        return jaccard_similarities(texts, dropped, kept_for, ngram=ngram, threads=threads)

    keeper, similarity = keep_step(
        n,
        i,
        j,
        s,
        groups=groups,
        keep=keep,
        clusters=clusters,
        texts=texts,
        larger_is_closer=closer,
        self_similarity=same,
        measure=measure,
    )
    kept = keeper == np.arange(n)
    return TextDeduplication(
        keep=np.flatnonzero(kept),
        duplicate_of=np.where(kept, -1, keeper),
        similarity=similarity,
        without_words=np.asarray(apart, dtype=np.int64),
    )
