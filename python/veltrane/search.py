"""Near-duplicate search over SimHash fingerprints, at corpus scale.

Fingerprints of many texts at once, every pair within a Hamming distance (exact: none missed,
none over), an index for streams, and clusters that say which text to keep.
"""

from __future__ import annotations

import threading
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Literal, NamedTuple

import numpy as np

from . import _args, _native

#: The largest ``max_distance`` the search supports.
MAX_DISTANCE: int = _native.MAX_DISTANCE

#: The rows of :func:`near_duplicate_pairs`.
PAIR_DTYPE = np.dtype([("i", "<i8"), ("j", "<i8"), ("distance", "u1")])

#: Rows per batch of :func:`iter_near_duplicate_pairs` by default: 1.1 MB of rows, few enough
#: to stay in memory beside anything, many enough that the per-batch overhead is negligible.
PAIR_BATCH = 1 << 16

Texts = Iterable["str | bytes | bytearray"]


def _as_fingerprints(fingerprints) -> np.ndarray:
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


def fingerprints(texts: Texts, bits: int = 64, *, threads: int | None = None) -> list[bytes]:
    """The SimHash fingerprints of many texts, as ``SimHash(bits).compute(text)`` gives each.

    Texts are ``str`` (as UTF-8), ``bytes`` or ``bytearray``; a bad item raises TypeError
    naming its index. The work runs on ``threads`` threads (default: every core this process
    may use) without the GIL.
    """
    return _native.fingerprints(_args.texts(texts), bits, _args.threads(threads))


def fingerprints64(
    texts: Texts, *, threads: int | None = None, tokens: Literal["raw", "words"] = "raw"
) -> np.ndarray:
    r"""64-bit fingerprints of many texts as a ``uint64`` array.

    Element k is the little-endian value of ``SimHash(64).compute(texts[k])``. Otherwise as
    :func:`fingerprints`.

    ``tokens="words"`` fingerprints the words of each text instead, as
    :func:`veltrane.minhash.words` finds them (``re.findall(r"\w+", text.lower())``), joined
    by single spaces: element k is then ``SimHash(64).compute(" ".join(words(texts[k])))``.
    ``compute`` splits on the space byte only, so on the raw text case, punctuation, line
    breaks and runs of spaces all make tokens of their own; on real documents near duplicates
    are found far better from the words (see the README). The default stays the raw text.
    ValueError for another value.
    """
    if tokens not in ("raw", "words"):
        raise ValueError(f"tokens must be 'raw' or 'words', got {tokens!r}")
    native = _native.fingerprints64 if tokens == "raw" else _native.word_fingerprints64
    return native(_args.texts(texts), _args.threads(threads))


def near_duplicate_pairs(
    fingerprints, max_distance: int = 3, *, threads: int | None = None
) -> np.ndarray:
    """Every pair (i, j), i < j, of fingerprints at most ``max_distance`` bits apart.

    ``fingerprints`` is a ``uint64`` array or a sequence of 8-byte ``bytes``. Identical
    fingerprints are pairs too. Returns a structured array with fields ``i``, ``j`` (int64)
    and ``distance`` (uint8), sorted by (i, j). The search is exact: the 64 bits are cut into
    ``max_distance + 1`` blocks, and two fingerprints within the distance agree on at least
    one of them. ``max_distance`` runs from 0 to :data:`MAX_DISTANCE`; large distances make
    the blocks narrow and the search slow on large inputs.
    """
    fps = _as_fingerprints(fingerprints)
    return _native.pairs(fps, _args.max_distance(max_distance), _args.threads(threads), PAIR_DTYPE)


def iter_near_duplicate_pairs(
    fingerprints,
    max_distance: int = 3,
    *,
    threads: int | None = None,
    batch_size: int = PAIR_BATCH,
) -> Iterator[np.ndarray]:
    """The pairs of :func:`near_duplicate_pairs`, in the same order, a batch at a time.

    Yields arrays of the same dtype, each of at most ``batch_size`` rows (the last may be
    shorter; none is empty), whose concatenation equals ``near_duplicate_pairs(fingerprints,
    max_distance)``. Identical fingerprints are searched once and expanded into their pairs
    only as batches are asked for, so memory stays linear in the number of fingerprints however
    many pairs there are: m copies of one text are m(m - 1)/2 pairs. The search among the
    distinct values runs at the call; the batches only expand its result.
    """
    fps = _as_fingerprints(fingerprints)
    max_distance = _args.max_distance(max_distance)
    threads = _args.threads(threads)
    batch_size = _args.in_range(batch_size, "batch_size", 1)
    return _pair_batches(_native.PairStream(fps, max_distance, threads), batch_size)


def _pair_batches(stream, batch_size: int) -> Iterator[np.ndarray]:
    while len(batch := stream.next(batch_size, PAIR_DTYPE)):
        yield batch


# How often a running search reports its progress.
PROGRESS_INTERVAL_SECONDS = 0.1


def _with_progress[Result](
    run: Callable[[_native.Progress], Result], report: Callable[[int, int], None]
) -> Result:
    """``run(progress)`` on a thread of its own, the native search inside it without the GIL,
    while this thread calls ``report(done, total)`` every ``PROGRESS_INTERVAL_SECONDS``. An
    exception here (Ctrl-C) cancels the search before it propagates."""
    progress = _native.Progress()
    outcome: dict[str, object] = {}

    def target() -> None:
        try:
            outcome["result"] = run(progress)
        except BaseException as e:  # handed to the waiting thread
            outcome["error"] = e

    worker = threading.Thread(target=target, name="veltrane-search", daemon=True)
    worker.start()
    try:
        # Reported once more after the search ends, so a search that is over before the first
        # look is still shown complete.
        while True:
            worker.join(PROGRESS_INTERVAL_SECONDS)
            report(progress.done, progress.total)
            if not worker.is_alive():
                break
    except BaseException:
        progress.cancel()
        worker.join()
        raise
    if "error" in outcome:
        raise outcome["error"]  # type: ignore[misc]
    return outcome["result"]  # type: ignore[return-value]


def near_duplicate_clusters(
    fingerprints, max_distance: int = 3, *, threads: int | None = None
) -> np.ndarray:
    """For each fingerprint the lowest index in its cluster of near duplicates.

    The same ``int64`` array as ``clusters(len(fingerprints), near_duplicate_pairs(...))``,
    found without forming the pairs: identical fingerprints are collapsed onto their first
    occurrence and only the distinct values are searched, so time and memory grow with the
    number of fingerprints and of distinct near pairs, not with the square of the copies.
    """
    fps = _as_fingerprints(fingerprints)
    return _native.cluster_fingerprints(
        fps, _args.max_distance(max_distance), _args.threads(threads)
    )


class NearDuplicateIndex:
    """Fingerprints seen so far, queried for those within ``max_distance`` bits.

    For streams: ``query`` each new fingerprint against what came before, then ``add`` it.
    Ids are 0, 1, 2... in the order fingerprints were added. Each distinct fingerprint is
    stored once: adding one again costs one more id in its list.
    """

    def __init__(self, max_distance: int = 3) -> None:
        self._index = _native.Index(_args.max_distance(max_distance))

    @property
    def max_distance(self) -> int:
        """The distance this index answers for."""
        return self._index.max_distance

    def add(self, fingerprints) -> np.ndarray:
        """Adds fingerprints (a ``uint64`` array or 8-byte ``bytes`` items); returns their ids."""
        fps = _as_fingerprints(fingerprints)
        first = self._index.add(fps)
        return np.arange(first, first + len(fps), dtype=np.int64)

    def query(self, fingerprint: int | bytes) -> np.ndarray:
        """Ids of the added fingerprints within the distance, in increasing order."""
        if isinstance(fingerprint, bytes):
            (value,) = _as_fingerprints([fingerprint])
            fingerprint = int(value)
        elif isinstance(fingerprint, (int, np.integer)) and not isinstance(fingerprint, bool):
            if not 0 <= fingerprint < 1 << 64:
                raise ValueError("a fingerprint must be from 0 to 2**64 - 1")
        else:
            raise TypeError(
                f"a fingerprint must be an int or 8-byte bytes, not {type(fingerprint).__name__}"
            )
        return self._index.query(int(fingerprint))

    def __len__(self) -> int:
        return len(self._index)


def clusters(n: int, pairs) -> np.ndarray:
    """For each of ``n`` items, the lowest index in its cluster (so "keep the first").

    ``pairs`` is what :func:`near_duplicate_pairs` returns, or any sequence of (i, j) pairs.
    Clusters are the connected components of the pairs, so two members of one cluster may be
    further apart than the distance the pairs were found with.
    """
    n = _args.count(n, "n")
    if isinstance(pairs, np.ndarray) and pairs.dtype.names:
        i, j = pairs["i"], pairs["j"]
    else:
        try:
            arr = np.asarray(pairs if len(pairs) else np.empty((0, 2)), dtype=np.int64)
        except OverflowError:
            # Too large for int64, so certainly not one of the items.
            raise ValueError(f"pairs name an item outside 0..{n - 1}") from None
        if arr.ndim != 2 or arr.shape[1] != 2:
            raise ValueError("pairs must be a sequence of (i, j) pairs")
        i, j = arr[:, 0], arr[:, 1]
    try:
        return _native.clusters(n, i, j)
    except IndexError as e:
        raise ValueError(str(e)) from None


class TextDeduplication(NamedTuple):
    """What :func:`deduplicate_texts` keeps and drops."""

    #: Indices of the texts to keep, in increasing order.
    keep: np.ndarray
    #: For each text, the index of the kept text that represents its cluster, or -1 for a
    #: kept text (``int64``).
    duplicate_of: np.ndarray


def deduplicate_texts(
    texts: Sequence[str | bytes | bytearray],
    max_distance: int = 3,
    *,
    method: str = "simhash",
    threshold: float = 0.8,
    ngram: int = 5,
    num_perm: int = 128,
    threads: int | None = None,
) -> TextDeduplication:
    """Which texts to keep when near duplicates are dropped.

    ``method="simhash"`` (the default, as before) clusters texts whose 64-bit fingerprints are
    at most ``max_distance`` bits apart; ``method="minhash"`` clusters texts whose sets of
    ``ngram``-word shingles have Jaccard similarity at least ``threshold``, verified exactly
    (:func:`veltrane.near_duplicate_clusters_jaccard` with ``num_perm`` MinHash values). Each
    method ignores the other's options.

    The first text of each cluster is kept. ``duplicate_of[t]`` is -1 for a kept text and
    otherwise its cluster's first text, which, through a chain of near duplicates, may be
    further from it than the method's bound. Copies cost no pairs: the clusters are those of
    :func:`near_duplicate_clusters` or :func:`veltrane.near_duplicate_clusters_jaccard`.
    """
    if method == "simhash":
        fps = fingerprints64(texts, threads=threads)
        reps = near_duplicate_clusters(fps, max_distance, threads=threads)
    elif method == "minhash":
        # lsh builds on this module's clusters, so it is imported here.
        from .lsh import near_duplicate_clusters_jaccard

        reps = near_duplicate_clusters_jaccard(
            texts, threshold, ngram=ngram, num_perm=num_perm, threads=threads
        )
    else:
        raise ValueError(f"method must be 'simhash' or 'minhash', got {method!r}")
    kept = reps == np.arange(len(reps))
    return TextDeduplication(keep=np.flatnonzero(kept), duplicate_of=np.where(kept, -1, reps))
