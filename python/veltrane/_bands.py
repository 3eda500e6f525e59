"""64-bit hashes of the bands of MinHash signatures, for the searches that keep bands on disk.

The in-memory search compares band values directly; the index and the out-of-core search keep
only a hash per band (8 bytes instead of ``4 * rows``), so two bands agree when their hashes
do, which differs from comparing values with probability about 2**-64 a pair. The hash is part
of the index's format on disk: changing it needs a new format version.
"""

from __future__ import annotations

import numpy as np

_K = np.uint64(0x9E3779B97F4A7C15)
_M1 = np.uint64(0xBF58476D1CE4E5B9)
_M2 = np.uint64(0x94D049BB133111EB)


def _mix64(h: np.ndarray) -> np.ndarray:
    # splitmix64's finaliser, in place.
    h ^= h >> np.uint64(30)
    h *= _M1
    h ^= h >> np.uint64(27)
    h *= _M2
    h ^= h >> np.uint64(31)
    return h


def _fold(values: np.ndarray) -> np.ndarray:
    """The hash of each row of the last axis of ``values`` (any unsigned integers)."""
    count = values.shape[-1]
    h = np.full(values.shape[:-1], count, dtype=np.uint64)
    for k in range(count):
        h ^= values[..., k].astype(np.uint64)
        h *= _K
        h ^= h >> np.uint64(29)
    return _mix64(h)


def band_keys(signatures: np.ndarray, bands: int, rows: int) -> np.ndarray:
    """The hash of each band of each signature: ``uint64`` of shape (bands, n), band-major so
    that each band's keys are one contiguous row."""
    n = signatures.shape[0]
    cut = signatures[:, : bands * rows].reshape(n, bands, rows)
    return np.ascontiguousarray(_fold(cut).T)


def row_keys(signatures: np.ndarray) -> np.ndarray:
    """The hash of each whole signature (``uint64``, one per row): equal signatures, equal
    keys."""
    return _fold(signatures)


def sort_bands(keys: np.ndarray, docs: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Each row of ``keys`` (bands, m) sorted, with ``docs`` (the text of each key: (m,) for
    every band, or (bands, m)) permuted alike, texts of equal keys in increasing order."""
    # NumPy's default sort is several times faster than its stable one on 64-bit keys; the
    # few runs of equal keys are put in order after it.
    order = np.argsort(keys, axis=1)
    keys = np.take_along_axis(keys, order, 1)
    out = docs[order] if docs.ndim == 1 else np.take_along_axis(docs, order, 1)
    for band in range(keys.shape[0]):
        _order_ties(keys[band], out[band])
    return keys, out


def sort_entries(keys: np.ndarray, docs: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """``keys`` (one band's) sorted, ``docs`` alike, texts of equal keys in increasing order."""
    order = np.argsort(keys)
    keys, docs = keys[order], docs[order]
    _order_ties(keys, docs)
    return keys, docs


def _order_ties(keys: np.ndarray, docs: np.ndarray) -> None:
    # In place: docs in increasing order within each run of equal keys of sorted ``keys``.
    same = np.flatnonzero(keys[1:] == keys[:-1])
    if len(same):
        at = np.union1d(same, same + 1)
        docs[at] = docs[at[np.lexsort((docs[at], keys[at]))]]
