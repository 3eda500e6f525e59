"""64-bit hashes of the bands of MinHash signatures, for the searches that keep bands on disk.

The in-memory search compares band values directly; the index and the out-of-core search keep
only a hash per band (8 bytes instead of ``4 * rows``), so two bands agree when their hashes
do, which differs from comparing values with probability about 2**-64 a pair. The hash is part
of the index's format on disk: changing it needs a new format version.
"""

from __future__ import annotations

import numpy as np

from .. import _args, _native


def band_keys(signatures: np.ndarray, bands: int, rows: int) -> np.ndarray:
    """The hash of each band of each signature: ``uint64`` of shape (bands, n), band-major so
    that each band's keys are one contiguous row. The key of ``rows`` values v is
    ``h = rows; for each v: h ^= v; h *= 0x9E3779B97F4A7C15; h ^= h >> 29``, then splitmix64's
    finaliser (native, on every core)."""
    sig = np.ascontiguousarray(signatures)
    return _native.band_keys(sig, bands, rows, _args.threads(None))


def row_keys(signatures: np.ndarray) -> np.ndarray:
    """The hash of each whole signature (``uint64``, one per row): equal signatures, equal
    keys."""
    sig = np.ascontiguousarray(signatures)
    return _native.band_keys(sig, 1, sig.shape[1], _args.threads(None))[0]


def sort_bands(keys: np.ndarray, docs: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Each row of ``keys`` (bands, m) sorted, with ``docs`` (the text of each key: (m,) for
    every band, or (bands, m)) permuted alike, texts of equal keys in increasing order."""
    keys, out = _native.sort_bands(keys, docs, _args.threads(None))
    return keys, out.astype(docs.dtype, copy=False)
