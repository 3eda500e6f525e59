"""MinHash signatures of texts over their word shingles.

Words and shingles are defined so that anyone can check them in Python (3.12: full Unicode
lower-casing, ``\\w`` is ``str.isalnum()`` or ``_``). A word character of a script written
without spaces (Han, Hiragana, Katakana, Thai, Lao, Myanmar, Khmer) is a word by itself; every
other word is a run of ``\\w`` as ``re.findall(r"\\w+", ...)`` finds them::

    S = ("\\u3005-\\u3007\\u3040-\\u309f\\u30a0-\\u30ff\\u31f0-\\u31ff\\uff65-\\uff9f"
         "\\u3400-\\u4dbf\\u4e00-\\u9fff\\uf900-\\ufaff\\U00020000-\\U000323af"
         "\\U0002f800-\\U0002fa1f\\u0e00-\\u0e7f\\u0e80-\\u0eff\\u1000-\\u109f\\u1780-\\u17ff")
    words = re.findall(f"(?:(?=\\\\w)[{S}])|(?:(?![{S}])\\\\w)+", text.lower())

A text without such characters has exactly the words of ``re.findall(r"\\w+", text.lower())``.
Its shingles are the distinct runs of ``ngram`` consecutive words (in those scripts, ``ngram``
characters); a text of fewer than ``ngram`` words has one shingle of all its words, a text
without words has none. The native tokenizer gives exactly these words, faster.
:data:`WORD_RULE` names this rule; a lasting index records it.

Texts are ``str``, ``bytes`` or ``bytearray``. Bytes are read as
``data.decode("utf-8", errors="replace")`` would read them: a byte that is not part of a valid
UTF-8 character separates words. A ``str`` with a lone surrogate has no UTF-8 form and raises
``TypeError``, naming its index.

Hashes, fixed across machines and releases (golden vectors in the tests pin them):

- ``step(h, w) = g ^ (g >> 32)`` with ``g = (h ^ w) * K mod 2**64``, ``K = 0x9E3779B97F4A7C15``;
  ``mix64`` is splitmix64's finaliser.
- A word's hash is ``mix64`` of ``step`` folded over its lower-cased UTF-8 bytes taken as
  little-endian 8-byte blocks (the last padded with zeros), starting from ``len(bytes) * K``.
- A shingle's hash is ``mix64`` of ``step`` folded over its words' hashes, starting from the
  number of words.
- Permutation ``k`` maps a shingle hash ``s`` to ``(a_k * (s % 2**32) + b_k) % 2**32``, where
  ``a_k`` and ``b_k`` are the low halves of splitmix64's outputs ``2k`` and ``2k + 1`` seeded
  with ``seed``, ``a_k`` made odd: a bijection of the 32-bit keys, which are well-mixed hashes,
  so each entry estimates the Jaccard similarity without bias (src/text/minhash.hpp says why
  the family is enough). Entry ``k`` of a signature is the least value over the text's
  shingles, ``2**32 - 1`` for a text without shingles.
"""

from __future__ import annotations

import numpy as np

from .. import _args, _native
from .._pairs import Progress, Texts, run_reporting
from ..defaults import DEFAULT_NGRAM, DEFAULT_NUM_PERM

WORD_RULE = "spaceless-scripts"
"""The name of the word rule above, recorded by :class:`veltrane.JaccardIndex`: an index made
with another rule (or before rules were recorded) is refused rather than mixed."""


def words(text: str | bytes | bytearray) -> list[str]:
    """The words of one text by the rule above, natively."""
    if not isinstance(text, (str, bytes, bytearray)):
        raise TypeError(f"text must be str, bytes or bytearray, not {type(text).__name__}")
    return _native.words(text)


def minhash_signatures(
    texts: Texts,
    num_perm: int = DEFAULT_NUM_PERM,
    *,
    ngram: int = DEFAULT_NGRAM,
    seed: int = 0,
    threads: int | None = None,
    progress: Progress | None = None,
) -> np.ndarray:
    """MinHash signatures of the texts' ``ngram``-word shingles, ``uint32`` of shape
    (number of texts, ``num_perm``).

    32-bit values: two different shingles take the same value under a permutation with
    probability 2**-32, far below the estimate's own error, and the signatures take half the
    memory of 64-bit ones (512 bytes a text at 128 permutations). The fraction of equal
    entries of two signatures estimates the Jaccard similarity of the two shingle sets. The
    work runs on ``threads`` threads (default: every core this process may use) without the GIL.
    ``progress`` is called as ``progress("signing", done, total)`` (see
    :class:`veltrane.Progress`).
    """
    texts = _args.texts(texts)
    num_perm = _args.positive(num_perm, "num_perm")
    ngram = _args.positive(ngram, "ngram")
    seed = _args.in_range(seed, "seed", 0, (1 << 64) - 1)
    nthreads = _args.threads(threads)
    if progress is None:
        return _native.minhash_signatures(texts, num_perm, ngram, seed, nthreads)
    # One native call that counts as it signs: no batches to cut, join or start threads for.
    items = texts if isinstance(texts, (list, tuple)) else list(texts)
    progress("signing", 0, len(items))
    return run_reporting(
        lambda native: _native.minhash_signatures(items, num_perm, ngram, seed, nthreads, native),
        "signing",
        progress,
    )


def shingle_hashes(
    texts: Texts, *, ngram: int = DEFAULT_NGRAM, threads: int | None = None
) -> tuple[np.ndarray, np.ndarray]:
    """The distinct 64-bit shingle hashes of every text, ascending, as ``(values, offsets)``:
    those of text ``i`` are ``values[offsets[i]:offsets[i + 1]]`` (``uint64`` and ``int64``,
    ``len(offsets) == len(texts) + 1``). Comparing these sets gives the Jaccard similarity of
    the shingle sets (two different shingles share a hash with probability about 2**-64).
    """
    return _native.shingle_hashes(
        _args.texts(texts), _args.positive(ngram, "ngram"), _args.threads(threads)
    )
