"""SimHash.hamming_distance(fp1, fp2) against the model, over fingerprints of any length.

Input: byte 0 picks how fp2 is made, bytes 1-2 (little-endian) where the rest is split, byte 3
holds flags; the rest is the fingerprint material. Flags: bits 0 and 1 make fp1 and fp2 bytes
subclasses, bit 2 calls through the class rather than an instance; for way 3, bits 3-6 pick the
refused type and bit 7 whether fp1 or fp2 gets it. Ways to make fp2:
  0  the bytes after the split, independent of fp1 (often shorter: ValueError)
  1  fp1 XOR the bytes after the split, extended by their tail: at least as long as fp1
  2  fp1 followed by the bytes after the split: distance 0 whatever the tail
  3  an argument of a type the caster refuses: TypeError
"""

from common import ByteArray, Bytes, check, dedup_core, fuzz, incompatible, model_simhash, raises

SimHash = dedup_core.SimHash

# Types that must be refused for either fingerprint, bytes-like ones included.
REFUSED = [bytearray, ByteArray, memoryview, lambda b: b.decode("latin-1"), lambda b: None, list]


def xor_extend(fp1, mask):
    if not mask:
        return bytes(len(fp1))
    padded = (mask * (len(fp1) // len(mask) + 1))[: len(fp1)]
    return bytes(a ^ b for a, b in zip(fp1, padded)) + mask[len(fp1) :]


def test_one_input(data):
    if len(data) < 4:
        return
    way, split, flags, rest = data[0] % 4, int.from_bytes(data[1:3], "little"), data[3], data[4:]
    split %= len(rest) + 1
    fp1, tail = rest[:split], rest[split:]
    fp2 = {0: tail, 1: xor_extend(fp1, tail), 2: fp1 + tail, 3: tail}[way]
    if flags & 1:
        fp1 = Bytes(fp1)
    if flags & 2:
        fp2 = Bytes(fp2)
    # A static method: the class and an instance must behave alike.
    distance = SimHash.hamming_distance if flags & 4 else SimHash(flags >> 3).hamming_distance

    if way == 3:
        refuse = REFUSED[(flags >> 3 & 15) % len(REFUSED)]
        args = (refuse(fp1), fp2) if flags & 0x80 else (fp1, refuse(fp2))
        raises(lambda: distance(*args), TypeError, incompatible("hamming_distance"))
        return
    if len(fp2) < len(fp1):
        message = f"fp2 is shorter than fp1: {len(fp2)} < {len(fp1)} bytes"
        raises(lambda: distance(fp1, fp2), ValueError, message)
        return

    got = distance(fp1, fp2)
    want = model_simhash.hamming_distance(fp1, fp2)
    check(
        type(got) is int and got == want,
        "distance differs from the model",
        fp1=fp1,
        fp2=fp2,
        got=got,
        want=want,
    )


if __name__ == "__main__":
    fuzz(test_one_input)
