"""Digests of exact copies: texts equal after a normalisation have equal 128-bit digests of the
normalised text (the groups: :mod:`veltrane.search.exact`).

- ``normalize="words"`` (the default): the text's words (:func:`veltrane.sketch.minhash.words`)
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

from .. import _args, _native
from .._pairs import Texts

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
