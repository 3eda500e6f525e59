"""Generated, repeatable benchmark inputs: English-like text, random bytes, repeated chunks.

Everything is derived from a seed with `random.Random`, so two runs (and the worker processes
of one run) see byte-identical data without storing any of it.
"""

import itertools
import random

# Any fixed value does; it only has to be the same in every run and every worker process.
SEED = 20240611

# The vocabulary: 50,000 distinct words of 2 to 12 letters, about as many and as long as the
# words of everyday English.
VOCABULARY_SIZE = 50_000
WORD_LENGTHS = (2, 12)

# Relative letter frequencies of English prose in percent (the table usually quoted in
# cryptanalysis texts), so that words look and hash like English rather than uniform noise.
LETTER_FREQUENCIES = {
    "e": 12.7,
    "t": 9.1,
    "a": 8.2,
    "o": 7.5,
    "i": 7.0,
    "n": 6.7,
    "s": 6.3,
    "h": 6.1,
    "r": 6.0,
    "d": 4.3,
    "l": 4.0,
    "c": 2.8,
    "u": 2.8,
    "m": 2.4,
    "w": 2.4,
    "f": 2.2,
    "g": 2.0,
    "y": 2.0,
    "p": 1.9,
    "b": 1.5,
    "v": 1.0,
    "k": 0.8,
    "j": 0.15,
    "x": 0.15,
    "q": 0.1,
    "z": 0.07,
}

# Zipf's law for English word frequencies: the word of rank r is drawn with weight 1 / r^1.
ZIPF_EXPONENT = 1.0

# Words drawn per batch while building a long text: bounds the temporary list of strings.
_WORDS_PER_BATCH = 1 << 20

# random.randbytes goes through getrandbits, whose bit count must fit a C int: 2^31 bits is
# 256 MiB, so larger buffers are drawn in pieces.
_RANDBYTES_PIECE = 64 << 20


def vocabulary(rng: random.Random) -> list[str]:
    """VOCABULARY_SIZE distinct lower-case words in rank order, most frequent first.

    Lengths are uniform over WORD_LENGTHS and ranks are random, so running text averages about
    seven letters a word, a little above English prose: SimHash's per-word cost weighs
    slightly less per byte than in real text (documents per second show it too).
    """
    letters = list(LETTER_FREQUENCIES)
    weights = list(LETTER_FREQUENCIES.values())
    words: set[str] = set()
    while len(words) < VOCABULARY_SIZE:
        length = rng.randint(*WORD_LENGTHS)
        words.add("".join(rng.choices(letters, weights, k=length)))
    # Sorting first makes the ranks independent of string hash randomisation.
    ranked = sorted(words)
    rng.shuffle(ranked)
    return ranked


def english_like_text(size: int, seed: int = SEED) -> bytes:
    """`size` bytes of ASCII words separated by single spaces, Zipf-distributed over the
    vocabulary. The last word may be cut short at `size`."""
    rng = random.Random(seed)
    words = vocabulary(rng)
    cumulative = list(
        itertools.accumulate(1.0 / rank**ZIPF_EXPONENT for rank in range(1, len(words) + 1))
    )
    pieces: list[bytes] = []
    produced = 0
    # A word and its space take at least two bytes: small texts draw no more words than they use.
    per_batch = min(_WORDS_PER_BATCH, size // 2 + 1)
    while produced < size:
        batch = " ".join(rng.choices(words, cum_weights=cumulative, k=per_batch))
        piece = (batch + " ").encode("ascii")
        pieces.append(piece)
        produced += len(piece)
    return b"".join(pieces)[:size]


def random_bytes(size: int, seed: int = SEED) -> bytes:
    """`size` uniformly random bytes."""
    rng = random.Random(seed)
    pieces = []
    left = size
    while left > 0:
        n = min(left, _RANDBYTES_PIECE)
        pieces.append(rng.randbytes(n))
        left -= n
    return b"".join(pieces)


def repeated_chunks(total: int, chunk_len: int, seed: int = SEED) -> list[bytes]:
    """About `total` bytes as chunks of `chunk_len` random bytes in which every distinct chunk
    occurs exactly twice, in shuffled order, so that deduplication removes half of them.

    The list holds two references to each distinct `bytes` object: the deduplicator copies
    its input either way, and the benchmark needs only half the memory.
    """
    distinct_count = max(1, total // chunk_len // 2)
    rng = random.Random(seed)
    data = random_bytes(distinct_count * chunk_len, seed=rng.getrandbits(64))
    distinct = [data[i : i + chunk_len] for i in range(0, len(data), chunk_len)]
    chunks = distinct * 2
    rng.shuffle(chunks)
    return chunks
