"""Pure-Python model of the corpus tokenizer, shingle hashes and MinHash signatures, written
from their definitions (the regex, one hash step at a time, one permutation at a time)."""

import re

MASK64 = (1 << 64) - 1
K = 0x9E3779B97F4A7C15  # 2**64 / golden ratio


# Scripts written without spaces: each of their word characters is a word by itself.
S = (
    "\u3005-\u3007\u3040-\u309f\u30a0-\u30ff\u31f0-\u31ff\uff65-\uff9f\u3400-\u4dbf"
    "\u4e00-\u9fff\uf900-\ufaff\U00020000-\U000323af\U0002f800-\U0002fa1f"
    "\u0e00-\u0e7f\u0e80-\u0eff\u1000-\u109f\u1780-\u17ff"
)
WORDS = re.compile(f"(?:(?=\\w)[{S}])|(?:(?![{S}])\\w)+")


def words(text):
    if not isinstance(text, str):
        text = bytes(text).decode("utf-8", errors="replace")
    return WORDS.findall(text.lower())


def shingles(ws, n):
    """Distinct runs of n consecutive words; fewer words make one shingle of all of them."""
    if not ws:
        return set()
    if len(ws) < n:
        return {tuple(ws)}
    return {tuple(ws[i : i + n]) for i in range(len(ws) - n + 1)}


def mix64(z):
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK64
    return z ^ (z >> 31)


def step(h, w):
    g = ((h ^ w) * K) & MASK64
    return g ^ (g >> 32)


def word_hash(word):
    data = word.encode("utf-8")
    h = (len(data) * K) & MASK64
    for i in range(0, len(data), 8):
        h = step(h, int.from_bytes(data[i : i + 8], "little"))
    return mix64(h)


def shingle_hash(shingle):
    h = len(shingle)
    for word in shingle:
        h = step(h, word_hash(word))
    return mix64(h)


def shingle_set(text, n):
    return sorted({shingle_hash(s) for s in shingles(words(text), n)})


def permutations(num_perm, seed):
    """(a_k, b_k): the low halves of splitmix64's outputs from `seed`, alternately; a_k odd."""
    state, out = seed, []
    for _ in range(num_perm):
        state = (state + K) & MASK64
        a = mix64(state) & 0xFFFFFFFF | 1
        state = (state + K) & MASK64
        out.append((a, mix64(state) & 0xFFFFFFFF))
    return out


def signature(text, num_perm, n=5, seed=0):
    hashes = shingle_set(text, n)
    return [
        min(((a * (s & 0xFFFFFFFF) + b) & 0xFFFFFFFF for s in hashes), default=0xFFFFFFFF)
        for a, b in permutations(num_perm, seed)
    ]
