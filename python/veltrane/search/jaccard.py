"""Near duplicates as Jaccard similarity of word shingles: MinHash, LSH bands, verification.

Two texts are near duplicates when the Jaccard similarity of their sets of shingles (runs of
``ngram`` consecutive words, see :func:`veltrane.minhash_signatures`) is at least a
threshold. The search:

1. MinHash signatures of every text (``num_perm`` values each).
2. Exact duplicates collapsed: texts with identical signatures (and, when verifying exactly,
   identical shingle sets) become one representative, the lowest index. Copies are never
   compared with each other; they pair at similarity 1.0.
3. Candidates: each signature is cut into ``bands`` bands of ``rows`` values, and two
   representatives that agree on a whole band are a candidate pair. A pair of similarity
   ``s`` agrees on a band with probability ``s ** rows``, so it becomes a candidate with
   probability ``1 - (1 - s ** rows) ** bands``; see :func:`lsh_parameters`.
4. Verification: ``"exact"`` computes the true Jaccard similarity of the two shingle sets and
   keeps pairs at or above the threshold (no reported pair is below it); ``"estimate"`` keeps
   pairs whose signatures agree on at least that share of values; ``None`` keeps every
   candidate, with the estimate as its similarity.

Shingles are compared as 64-bit hashes, so "exact" is exact up to collisions of that hash
(about one pair in 10^19 shingles). Texts without words have no shingles. By default
(``wordless="copies"``) their sets are all equal, so they are copies of each other (similarity
1.0) and unrelated to every other text; ``wordless="apart"`` makes them near duplicates of
nothing, as deduplication wants: a line of ``}`` is not a copy of a blank line.
"""

from __future__ import annotations

from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass, replace
from typing import Literal, NamedTuple

import numpy as np

from .. import _args, _native
from .._pairs import Progress, clusters, pair_batches
from ..defaults import DEFAULT_NGRAM, DEFAULT_NUM_PERM, DEFAULT_THRESHOLD, PAIR_BATCH
from ..sketch.minhash import minhash_signatures, shingle_hashes
from .banding import bands_and_rows

#: The rows of :func:`near_duplicate_pairs_jaccard`.
JACCARD_PAIR_DTYPE = np.dtype([("i", "<i8"), ("j", "<i8"), ("similarity", "<f8")])

#: What ``verify=`` takes: ``"exact"``, ``"estimate"`` or None (see
#: :func:`near_duplicate_pairs_jaccard`).
Verify = Literal["exact", "estimate"] | None
#: What ``wordless=`` takes: texts without words are copies of each other (``"copies"``) or
#: near duplicates of nothing (``"apart"``).
Wordless = Literal["copies", "apart"]

# With a progress report, pairs are verified this many at a time, so that the report moves
# (and Ctrl-C is seen) every fraction of a second on a core; the results are the same, as
# every pair is verified on its own.
_REPORT_PAIRS = 1 << 18


def _signature_array(signatures: np.ndarray) -> np.ndarray:
    if signatures.ndim != 2 or signatures.dtype not in (np.uint32, np.uint64):
        raise TypeError(
            "signatures must be a two-dimensional uint32 or uint64 array, got "
            f"{signatures.ndim}-dimensional {signatures.dtype}"
        )
    if signatures.shape[1] < 1:
        raise ValueError("signatures must have at least one column")
    return np.ascontiguousarray(signatures)


def shingle_sets(texts: Sequence, ngram: int, threads: int) -> tuple[np.ndarray, np.ndarray]:
    """(offsets, values): the sorted distinct shingle hashes of each text, one after another."""
    values, offsets = shingle_hashes(texts, ngram=ngram, threads=threads)
    return offsets, values


class BandedRows(NamedTuple):
    """What a search needs of the texts' MinHash signatures, made as they were read (see
    ``veltrane.corpus.signed``): a row of ``bands + 2`` uint64 values a text, the keys of its
    bands of ``rows`` values (``_native.band_keys``' formula), a hash of its whole signature,
    and 1 for a text without shingles (else 0). Texts agree on a band, or have the same
    signature, when these agree (a false agreement, about one in 2**64, only costs an exact
    verification)."""

    #: One row of ``bands + 2`` uint64 values a text.
    table: np.ndarray
    #: The number of bands.
    bands: int
    #: Signature values a band.
    rows: int


@dataclass(frozen=True)
class JaccardParams:
    """The options of a Jaccard search, checked once when made: what every search mode (in
    memory, within a memory bound, against an index, on Dask) is given instead of its
    arguments one by one. ValueError or TypeError for a bad value, as the search functions
    raise."""

    #: The least Jaccard similarity of shingle sets of two near duplicates.
    threshold: float = DEFAULT_THRESHOLD
    #: Words per shingle.
    ngram: int = DEFAULT_NGRAM
    #: MinHash values a signature.
    num_perm: int = DEFAULT_NUM_PERM
    #: Bands of the LSH search; None: chosen (see :func:`bands_and_rows`).
    bands: int | None = None
    #: Signature values a band; None: chosen.
    rows: int | None = None
    #: The MinHash seed.
    seed: int = 0
    #: Which candidates are kept: ``"exact"``, ``"estimate"`` or None (all).
    verify: Verify = "exact"
    #: Texts without words are copies of each other (``"copies"``) or of nothing (``"apart"``).
    wordless: Wordless = "copies"

    def __post_init__(self) -> None:
        set_ = object.__setattr__
        set_(self, "threshold", _args.threshold(self.threshold))
        if self.wordless not in ("copies", "apart"):
            raise ValueError(f"wordless must be 'copies' or 'apart', got {self.wordless!r}")
        if self.verify not in ("exact", "estimate", None):
            raise ValueError(f"verify must be 'exact', 'estimate' or None, got {self.verify!r}")
        set_(self, "ngram", _args.positive(self.ngram, "ngram"))
        set_(self, "num_perm", _args.positive(self.num_perm, "num_perm"))
        set_(self, "seed", _args.integer(self.seed, "seed"))

    def banding(self, width: int | None = None) -> tuple[int, int]:
        """The ``(bands, rows)`` of a search over signatures ``width`` values wide
        (default: ``num_perm``); see :func:`bands_and_rows`."""
        return bands_and_rows(
            self.threshold, self.num_perm if width is None else width, self.bands, self.rows
        )

    def banded(self) -> JaccardParams:
        """These parameters with ``bands`` and ``rows`` chosen, as a search over full
        signatures runs them: what a search split into steps hands each step."""
        bands, rows = self.banding()
        return replace(self, bands=bands, rows=rows)


class Found(NamedTuple):
    """What a Jaccard search found, whatever the mode: the groups of copies and the verified
    pairs between them, from which pairs, clusters and keepers are all made."""

    #: The number of texts.
    n: int
    #: The bands searched.
    bands: int
    #: Signature values a band.
    rows: int
    #: The lowest index of each text's group of copies (int64).
    reps: np.ndarray
    #: The verified pairs between representatives: first texts (int64)...
    i: np.ndarray
    #: ... second texts (int64)...
    j: np.ndarray
    #: ... and their similarity (float64).
    similarity: np.ndarray
    #: The texts without shingles, when set apart (else none).
    wordless: np.ndarray = np.empty(0, dtype=np.int64)

    def labels(self) -> np.ndarray:
        """For each text the lowest index in its cluster of near duplicates (int64)."""
        # Representatives are the lowest index of their group, so the lowest index of a
        # component of representatives is the lowest of all its members.
        rep_labels = clusters(self.n, np.stack([self.i, self.j], axis=1))
        return rep_labels[self.reps]


def without_shingles(texts: Sequence, sig: np.ndarray, ngram: int, nthreads: int) -> np.ndarray:
    """The indices of the texts without shingles. Their signatures hold only the largest value;
    the rare text with shingles whose signature does too is told apart by its set."""
    top = np.iinfo(sig.dtype).max
    maybe = np.flatnonzero(sig[:, 0] == top)
    maybe = maybe[(sig[maybe] == top).all(axis=1)]
    if not len(maybe):
        return maybe.astype(np.int64)
    offsets, _ = shingle_sets(_args.take(texts, maybe), ngram, nthreads)
    return maybe[np.diff(offsets) == 0].astype(np.int64)


def search(
    texts_or_signatures,
    params: JaccardParams,
    *,
    threads: int | None = None,
    progress: Progress | None = None,
    signed: list[np.ndarray] | None = None,
) -> Found:
    """The Jaccard search in memory of texts (or of their signatures), as
    :func:`near_duplicate_pairs_jaccard` describes it, its result before pairs are expanded.

    ``signed``, if given, holds the texts' signatures (or :class:`BandedRows`), made already
    (with ``params.seed``) while the texts were read; it is emptied, so that the signatures
    are freed here once searched."""
    threshold, verify, wordless = params.threshold, params.verify, params.wordless
    ngram, num_perm, seed = params.ngram, params.num_perm, params.seed
    bands, rows = params.bands, params.rows
    nthreads = _args.threads(threads)
    texts: Sequence | None = None
    if isinstance(texts_or_signatures, np.ndarray) and texts_or_signatures.ndim == 2:
        if verify == "exact":
            raise ValueError(
                "verify='exact' needs the texts, not their signatures; pass "
                "verify='estimate' or None to search signatures"
            )
        sig = _signature_array(texts_or_signatures)
    else:
        if isinstance(texts_or_signatures, (str, bytes, bytearray)):
            raise TypeError(
                "texts must be an iterable of texts, not a single "
                + type(texts_or_signatures).__name__
            )
        texts = _args.held(texts_or_signatures)
        # Bands are checked before the signatures are made.
        chosen = params.banding()
        if signed:
            sig = signed.pop()
            if isinstance(sig, BandedRows):
                if (sig.bands, sig.rows) != chosen or sig.table.shape != (
                    len(texts),
                    sig.bands + 2,
                ):
                    raise ValueError("banded rows made for another search")
                return _search_banded(
                    texts, sig, threshold, verify, ngram, nthreads, progress, wordless
                )
            if sig.shape != (len(texts), num_perm):
                raise ValueError(f"signatures of shape {sig.shape} for {len(texts)} texts")
        else:
            sig = minhash_signatures(
                texts, num_perm, ngram=ngram, seed=seed, threads=nthreads, progress=progress
            )
    n, width = sig.shape
    bands, rows = bands_and_rows(threshold, width, bands, rows)

    reps = _native.jaccard_group_rows(sig, nthreads)
    if verify == "exact" and texts is not None:
        reps = _split_copies(reps, texts, ngram, nthreads)
    blank = np.empty(0, dtype=np.int64)
    if wordless == "apart":
        if texts is None:
            raise ValueError("wordless='apart' needs the texts, not their signatures")
        blank = without_shingles(texts, sig, ngram, nthreads)
        # Each its own group, and searched with nothing.
        reps[blank] = blank
    i, j = _candidates(sig, reps, blank, bands, rows, nthreads, progress)
    if verify == "exact" and texts is not None:
        # The signatures (512 bytes a text) are done with: freed before the shingle sets of
        # the candidates are made, so the two never take memory together.
        del sig
        return _verified(
            n, bands, rows, reps, blank, i, j, texts, threshold, ngram, nthreads, progress
        )

    def verify_pairs(a, b):
        return _native.jaccard_verify_estimate(a, b, sig, nthreads)

    similarity = _reported(verify_pairs, i, j, progress)
    if verify is not None:
        keep = similarity >= threshold
        i, j, similarity = i[keep], j[keep], similarity[keep]
    return Found(n, bands, rows, reps, i, j, similarity, blank)


def _candidates(
    sig: np.ndarray,
    reps: np.ndarray,
    blank: np.ndarray,
    bands: int,
    rows: int,
    nthreads: int,
    progress: Progress | None,
) -> tuple[np.ndarray, np.ndarray]:
    """The candidate pairs among the groups' representatives, texts without shingles apart."""
    if progress is not None:
        progress("searching", 0, None)
    distinct = np.flatnonzero(reps == np.arange(len(reps)))
    if len(blank):
        distinct = np.setdiff1d(distinct, blank, assume_unique=True)
    return _native.jaccard_candidates(sig, distinct, bands, rows, nthreads)


def _reported(verify_pairs, i: np.ndarray, j: np.ndarray, progress: Progress | None) -> np.ndarray:
    if progress is None:
        return verify_pairs(i, j)
    similarity = np.empty(len(i), dtype=np.float64)
    for start in range(0, len(i), _REPORT_PAIRS):
        part = slice(start, start + _REPORT_PAIRS)
        similarity[part] = verify_pairs(i[part], j[part])
        progress("verifying", min(start + _REPORT_PAIRS, len(i)), len(i))
    return similarity


def _verified(
    n: int,
    bands: int,
    rows: int,
    reps: np.ndarray,
    blank: np.ndarray,
    i: np.ndarray,
    j: np.ndarray,
    texts: Sequence,
    threshold: float,
    ngram: int,
    nthreads: int,
    progress: Progress | None,
) -> Found:
    """The candidates (i, j) at or above the threshold, by the exact Jaccard of their sets."""
    if progress is not None:
        progress("verifying", 0, len(i))
    needed = np.union1d(i, j)
    held = _args.take(texts, needed)
    slot = np.full(n, -1, dtype=np.int64)
    slot[needed] = np.arange(len(needed))

    # The shingle sets are made pair by pair, never all held at once.
    def verify_pairs(a, b):
        return _native.pair_similarities(held, slot[a], slot[b], ngram, nthreads)

    similarity = _reported(verify_pairs, i, j, progress)
    keep = similarity >= threshold
    return Found(n, bands, rows, reps, i[keep], j[keep], similarity[keep], blank)


def _split_copies(reps: np.ndarray, texts: Sequence, ngram: int, nthreads: int) -> np.ndarray:
    """Identical signatures are very likely but not surely identical sets (two sets of
    similarity 0.99 agree on all 128 values about one time in four): those groups are split
    by their sets, and the parts meet again as candidates in every band."""
    sizes = np.bincount(reps, minlength=len(reps))
    shared = np.flatnonzero(sizes[reps] > 1)
    if len(shared):
        offsets, values = shingle_sets(_args.take(texts, shared), ngram, nthreads)
        reps[shared] = _native.jaccard_group_sets(shared, reps[shared], offsets, values)
    return reps


def _search_banded(
    texts: Sequence,
    banded: BandedRows,
    threshold: float,
    verify: Verify,
    ngram: int,
    nthreads: int,
    progress: Progress | None,
    wordless: Wordless,
) -> Found:
    """:func:`search` from banded rows: a band key is a band of one value, so the search of
    signatures runs on them as they are."""
    table, bands = banded.table, banded.bands
    n = len(table)
    if verify != "exact":
        raise ValueError("banded rows are searched with exact verification only")
    reps = _native.jaccard_group_rows(np.ascontiguousarray(table[:, bands : bands + 1]), nthreads)
    reps = _split_copies(reps, texts, ngram, nthreads)
    blank = np.empty(0, dtype=np.int64)
    if wordless == "apart":
        blank = np.flatnonzero(table[:, bands + 1]).astype(np.int64)
        reps[blank] = blank
    i, j = _candidates(table, reps, blank, bands, 1, nthreads, progress)
    del table
    return _verified(
        n, bands, banded.rows, reps, blank, i, j, texts, threshold, ngram, nthreads, progress
    )


def near_duplicate_pairs_jaccard(
    texts_or_signatures: Iterable[str | bytes | bytearray] | np.ndarray,
    threshold: float = DEFAULT_THRESHOLD,
    *,
    bands: int | None = None,
    rows: int | None = None,
    verify: Verify = "exact",
    ngram: int = DEFAULT_NGRAM,
    num_perm: int = DEFAULT_NUM_PERM,
    seed: int = 0,
    threads: int | None = None,
    progress: Progress | None = None,
    wordless: Wordless = "copies",
) -> np.ndarray:
    """Every pair (i, j), i < j, of near duplicates: Jaccard similarity of their shingle
    sets at least ``threshold``.

    ``texts_or_signatures`` is an iterable of texts (``str``, ``bytes`` or ``bytearray``;
    a bad item raises TypeError naming its index) or a two-dimensional ``uint32``/``uint64``
    array of MinHash signatures, one row per item (then ``num_perm`` is its width, and
    ``verify`` must be ``"estimate"`` or ``None``). Returns a structured array with fields
    ``i``, ``j`` (int64) and ``similarity`` (float64), sorted by (i, j). Copies (identical
    shingle sets, or identical signatures when no sets are compared) pair with similarity
    1.0. ``wordless``: texts without words are copies of each other (``"copies"``) or near
    duplicates of nothing (``"apart"``, which needs the texts); see the module docstring.

    Candidates come from ``bands`` bands of ``rows`` signature values; with neither given,
    :func:`lsh_parameters` chooses them from the threshold (21 bands of 6 rows for 0.8 and
    128 permutations: a pair of similarity 0.8 is a candidate with probability 0.998, one of
    0.9 with probability 1 - 10^-9). With one given, the other is ``num_perm // given``.
    ``verify`` decides which candidates are kept (see the module docstring): ``"exact"``
    (precision 1.0), ``"estimate"`` or ``None`` (every candidate, with its estimate).

    ``ngram`` (words per shingle), ``num_perm`` and ``seed`` are those of
    :func:`veltrane.minhash_signatures`. The work runs on ``threads`` threads (default: every
    core this process may use) without the GIL. ``progress`` is called with the steps
    "signing" (texts), "searching" (no count) and "verifying" (candidate pairs); see
    :class:`veltrane.Progress`.
    """
    params = JaccardParams(threshold, ngram, num_perm, bands, rows, seed, verify, wordless)
    found = search(texts_or_signatures, params, threads=threads, progress=progress)
    return _native.jaccard_expand(
        found.reps, found.i, found.j, found.similarity, JACCARD_PAIR_DTYPE
    )


def iter_near_duplicate_pairs_jaccard(
    texts_or_signatures: Iterable[str | bytes | bytearray] | np.ndarray,
    threshold: float = DEFAULT_THRESHOLD,
    *,
    bands: int | None = None,
    rows: int | None = None,
    verify: Verify = "exact",
    ngram: int = DEFAULT_NGRAM,
    num_perm: int = DEFAULT_NUM_PERM,
    seed: int = 0,
    threads: int | None = None,
    progress: Progress | None = None,
    batch_size: int = PAIR_BATCH,
    wordless: Wordless = "copies",
) -> Iterator[np.ndarray]:
    """The pairs of :func:`near_duplicate_pairs_jaccard`, in the same order, a batch at a time.

    Yields arrays of :data:`JACCARD_PAIR_DTYPE`, each of at most ``batch_size`` rows (the last
    may be shorter; none is empty), whose concatenation equals
    ``near_duplicate_pairs_jaccard(...)`` with the same arguments. The search among distinct
    texts runs at the call; copies are expanded into their pairs only as batches are asked
    for, so memory grows with the texts and the pairs between distinct ones, not with the
    m(m - 1)/2 pairs of m copies.
    """
    batch_size = _args.positive(batch_size, "batch_size")
    params = JaccardParams(threshold, ngram, num_perm, bands, rows, seed, verify, wordless)
    found = search(texts_or_signatures, params, threads=threads, progress=progress)
    return pair_batches(
        _native.JaccardExpandStream(found.reps, found.i, found.j, found.similarity),
        batch_size,
        JACCARD_PAIR_DTYPE,
    )


def near_duplicate_clusters_jaccard(
    texts_or_signatures: Iterable[str | bytes | bytearray] | np.ndarray,
    threshold: float = DEFAULT_THRESHOLD,
    *,
    bands: int | None = None,
    rows: int | None = None,
    verify: Verify = "exact",
    ngram: int = DEFAULT_NGRAM,
    num_perm: int = DEFAULT_NUM_PERM,
    seed: int = 0,
    threads: int | None = None,
    progress: Progress | None = None,
    wordless: Wordless = "copies",
) -> np.ndarray:
    """For each item, the lowest index in its cluster of near duplicates (an int64 array).

    Clusters are the connected components of :func:`near_duplicate_pairs_jaccard` with the
    same arguments, found without forming the pairs between copies: a set of ``m`` identical
    texts costs ``m``, not ``m * (m - 1) / 2``.
    """
    params = JaccardParams(threshold, ngram, num_perm, bands, rows, seed, verify, wordless)
    found = search(texts_or_signatures, params, threads=threads, progress=progress)
    return found.labels()


def jaccard_similarities(
    texts: Sequence[str | bytes | bytearray],
    i,
    j,
    *,
    ngram: int = DEFAULT_NGRAM,
    threads: int | None = None,
) -> np.ndarray:
    """The exact Jaccard similarity of the shingle sets of ``texts[i[k]]`` and ``texts[j[k]]``
    for each k, as ``float64`` (two texts without shingles have similarity 1.0)."""
    ngram = _args.positive(ngram, "ngram")
    nthreads = _args.threads(threads)
    n = len(texts)
    i = np.asarray(i, dtype=np.int64).reshape(-1)
    j = np.asarray(j, dtype=np.int64).reshape(-1)
    if len(i) != len(j):
        raise ValueError(f"i and j must have the same length, got {len(i)} and {len(j)}")
    both = np.concatenate([i, j])
    if len(both) and (both.min() < 0 or both.max() >= n):
        raise IndexError(f"i and j must index the {n} texts")
    needed = np.unique(both)
    offsets, values = shingle_sets(_args.take(texts, needed), ngram, nthreads)
    slot = np.full(n, -1, dtype=np.int64)
    slot[needed] = np.arange(len(needed))
    return _native.jaccard_verify_exact(i, j, slot, offsets, values, nthreads)
