"""Exact copies: texts equal after a normalisation, compared by a 128-bit digest of the
normalised text.

- ``normalize="words"`` (the default): the text's words (:func:`veltrane.minhash.words`)
  joined by single spaces, so case, punctuation and spacing do not count;
  ``"Hello, World!"`` and ``"hello world"`` are copies. Bytes that are not valid UTF-8
  separate words, as there.
- ``normalize="none"``: the text's bytes (a ``str`` as UTF-8), so only byte-equal texts are
  copies.

The digest is the first 16 bytes of BLAKE3 of the normalised text, as two little-endian
64-bit halves. Two different normalised texts share a digest with probability 2**-128: among
a billion texts, the chance that any two do is about 1.5e-21. Such a collision would drop a
text as a copy of another that it is not, and nothing would notice; no comparison of the
texts themselves follows.
"""

from __future__ import annotations

from typing import Literal

import numpy as np

from . import _args, _native
from ._pairs import Texts

#: The normalisations of :func:`text_digests`.
Normalize = Literal["words", "none"]
NORMALIZATIONS = ("words", "none")
DEFAULT_NORMALIZE: Normalize = "words"


def check_normalize(normalize: object) -> Normalize:
    """``normalize`` itself when it names a normalisation, else ValueError."""
    if normalize not in NORMALIZATIONS:
        raise ValueError(f"normalize must be 'words' or 'none', got {normalize!r}")
    return normalize  # type: ignore[return-value]


def text_digests(
    texts: Texts, *, normalize: Normalize = DEFAULT_NORMALIZE, threads: int | None = None
) -> np.ndarray:
    """The digest of each normalised text, ``uint64`` of shape (number of texts, 2), on
    ``threads`` threads (default: every core this process may use) without the GIL."""
    return _native.text_digests(
        _args.texts(texts), check_normalize(normalize), _args.threads(threads)
    )


def empty_digest(normalize: Normalize = DEFAULT_NORMALIZE) -> np.ndarray:
    """The digest of a text without words (under ``"words"``) or of ``b""``: shape (2,)."""
    return text_digests([b""], normalize=normalize, threads=1)[0]


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
