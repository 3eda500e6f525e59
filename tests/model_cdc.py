"""Pure-Python model of CDC: the cut algorithm, the chunk digest and deduplication.

Written as the literal algorithm, byte by byte, so it is slow: keep inputs to a few KB.
"""

M64 = (1 << 64) - 1
WINDOW = 48
PRIME = 0x100000001B3
MASK = 8191
SEED = 0x1234567890ABCDEF


def chunk(data: bytes, chunk_size: int = 1024) -> list[bytes]:
    n = len(data)
    chunks = []
    start = 0
    while start < n:
        # Python ints do not wrap, so a start + 2 * chunk_size beyond 2^64 simply saturates
        # at the end of the data: a huge chunk_size cuts only at content cuts and at the end.
        limit = min(n, start + 2 * chunk_size)
        end = limit
        if start + WINDOW < n:
            h = 0
            for b in data[start : start + WINDOW]:
                h = ((h * PRIME) & M64) ^ b
            for p in range(start + WINDOW, limit):
                h = ((h * PRIME) & M64) ^ data[p]
                if h & MASK == 0:
                    end = p + 1
                    break
        chunks.append(bytes(data[start:end]))
        start = end
    return chunks


def digest(chunk: bytes) -> int:
    f = SEED
    for b in chunk:
        x = ((f ^ b) * PRIME) & M64
        f = ((x >> 33) | (x << 31)) & M64  # rotate right by 33 over 64 bits
    return f


def deduplicate(chunks: list[bytes]) -> tuple[list[bytes], float]:
    # Distinct bytes values, not distinct digests: colliding chunks both survive.
    seen = set()
    unique = []
    for c in map(bytes, chunks):
        if c not in seen:
            seen.add(c)
            unique.append(c)
    if not chunks:
        return unique, 0.0
    return unique, (1.0 - len(unique) / len(chunks)) * 100.0
