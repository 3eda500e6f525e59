"""Pure-Python model of SimHash fingerprints and their distance, written straight from the
algorithm (one counter per fingerprint bit) so the tests can check the native shortcuts
(64 counters, tiling, popcount blocks) against it."""

MASK64 = (1 << 64) - 1
# std::hash<std::string>'s seed in libstdc++.
SEED = 0xC70F6907
MUL = (0xC6A4A793 << 32) | 0x5BD1E995


def _shift_mix(v):
    return v ^ (v >> 47)


def hash_bytes(data, seed=SEED):
    """libstdc++'s 64-bit std::_Hash_bytes (a MurmurHash64A variant)."""
    data = bytes(data)
    n = len(data)
    aligned = n & ~7
    h = (seed ^ (n * MUL)) & MASK64
    for p in range(0, aligned, 8):
        k = int.from_bytes(data[p : p + 8], "little")
        k = (_shift_mix((k * MUL) & MASK64) * MUL) & MASK64
        h = ((h ^ k) * MUL) & MASK64
    if n & 7:
        # The tail is read as a little-endian integer of its 1 to 7 bytes.
        h = ((h ^ int.from_bytes(data[aligned:], "little")) * MUL) & MASK64
    h = (_shift_mix(h) * MUL) & MASK64
    return _shift_mix(h)


def as_bytes(text):
    return text.encode("utf-8") if isinstance(text, str) else bytes(text)


def tokens(text):
    """Pieces between space bytes; a trailing empty piece is dropped (so b"" has none)."""
    pieces = as_bytes(text).split(b" ")
    if pieces[-1] == b"":
        pieces.pop()
    return pieces


def lower(token):
    # tolower() under the C and C.UTF-8 locales: only A-Z change, as bytes.lower() does.
    return token.lower()


def fingerprint(text, bits=64):
    if bits < 0:
        raise ValueError("cannot create std::vector larger than max_size()")
    counters = [0] * bits
    for tok in tokens(text):
        h = hash_bytes(lower(tok))
        for i in range(bits):
            counters[i] += 1 if (h >> (i % 64)) & 1 else -1
    out = bytearray(bits // 8)
    for i in range(8 * len(out)):
        if counters[i] >= 0:
            out[i >> 3] |= 1 << (i & 7)
    return bytes(out)


def hamming_distance(fp1, fp2):
    if len(fp2) < len(fp1):
        raise ValueError(f"fp2 is shorter than fp1: {len(fp2)} < {len(fp1)} bytes")
    return sum((a ^ b).bit_count() for a, b in zip(fp1, fp2))
