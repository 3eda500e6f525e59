"""BLAKE3 written out literally (one block, one chunk and one tree node at a time): the model
the vendored C implementation is checked against on inputs that reach its SIMD paths."""

IV = [
    0x6A09E667,
    0xBB67AE85,
    0x3C6EF372,
    0xA54FF53A,
    0x510E527F,
    0x9B05688C,
    0x1F83D9AB,
    0x5BE0CD19,
]
PERMUTATION = [2, 6, 3, 10, 7, 0, 4, 13, 1, 11, 12, 5, 9, 14, 15, 8]
CHUNK_START, CHUNK_END, PARENT, ROOT = 1, 2, 4, 8
BLOCK, CHUNK = 64, 1024
M32 = 0xFFFFFFFF


def _rotr(x: int, n: int) -> int:
    return ((x >> n) | (x << (32 - n))) & M32


def _g(s: list[int], a: int, b: int, c: int, d: int, x: int, y: int) -> None:
    s[a] = (s[a] + s[b] + x) & M32
    s[d] = _rotr(s[d] ^ s[a], 16)
    s[c] = (s[c] + s[d]) & M32
    s[b] = _rotr(s[b] ^ s[c], 12)
    s[a] = (s[a] + s[b] + y) & M32
    s[d] = _rotr(s[d] ^ s[a], 8)
    s[c] = (s[c] + s[d]) & M32
    s[b] = _rotr(s[b] ^ s[c], 7)


def compress(cv: list[int], block: bytes, counter: int, length: int, flags: int) -> list[int]:
    m = [int.from_bytes(block[i : i + 4].ljust(4, b"\0"), "little") for i in range(0, BLOCK, 4)]
    s = [*cv, *IV[:4], counter & M32, counter >> 32, length, flags]
    for r in range(7):
        for k, (a, b, c, d) in enumerate(
            [(0, 4, 8, 12), (1, 5, 9, 13), (2, 6, 10, 14), (3, 7, 11, 15)]
            + [(0, 5, 10, 15), (1, 6, 11, 12), (2, 7, 8, 13), (3, 4, 9, 14)]
        ):
            _g(s, a, b, c, d, m[2 * k], m[2 * k + 1])
        if r < 6:
            m = [m[p] for p in PERMUTATION]
    return [s[i] ^ s[i + 8] for i in range(8)] + [s[i + 8] ^ cv[i] for i in range(8)]


def _node(data: bytes, first: int, count: int) -> tuple:
    """The last compression of the subtree of ``count`` chunks from chunk ``first``, not yet
    run: (cv, block, counter, length, flags)."""
    if count == 1:
        chunk = data[first * CHUNK : (first + 1) * CHUNK]
        blocks = [chunk[i : i + BLOCK] for i in range(0, len(chunk), BLOCK)] or [b""]
        cv = IV
        for i, block in enumerate(blocks[:-1]):
            cv = compress(cv, block.ljust(BLOCK, b"\0"), first, BLOCK, CHUNK_START * (i == 0))[:8]
        flags = CHUNK_END | (CHUNK_START if len(blocks) == 1 else 0)
        last = blocks[-1]
        return cv, last.ljust(BLOCK, b"\0"), first, len(last), flags
    left = 1 << ((count - 1).bit_length() - 1)  # the largest power of two below count
    halves = [
        compress(*_node(data, f, n))[:8] for f, n in ((first, left), (first + left, count - left))
    ]
    words = b"".join(w.to_bytes(4, "little") for w in halves[0] + halves[1])
    return IV, words, 0, BLOCK, PARENT


def blake3(data: bytes) -> bytes:
    cv, block, counter, length, flags = _node(data, 0, max(1, -(-len(data) // CHUNK)))
    out = compress(cv, block, counter, length, flags | ROOT)[:8]
    return b"".join(w.to_bytes(4, "little") for w in out)
