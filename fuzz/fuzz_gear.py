"""GearCDC's cut points, by every kernel this processor runs, against the model.

Input: byte 0 picks the sizes, byte 1 how many times the data is repeated (so that inputs reach
the 8 KiB from which the AVX-512 kernel runs its 16 lanes), byte 2 a key; the rest is the data.
Sizes (byte 0): avg_size 64, 128 or 256 (bits 0-1; 3 means refused arguments), normalization
(bits 2-3), min_size from 64 to avg_size and max_size from avg_size to 4 * avg_size (bits 4-7).
"""

import veltrane
from veltrane import GearCDC, _native

from common import check, fuzz, model_gear, raises

REPEAT_MAX = 24
# The AVX-512 walk in lanes, each instruction set's candidate scan, and the one-thread walk.
SUPPORTED = _native.Gear.kernels()
TABLES = {}


def make(byte):
    """The chunker and its model's arguments, or None after checking a refusal."""
    kind = byte & 3
    if kind == 3:
        bad = [dict(avg_size=96), dict(min_size=63), dict(avg_size=64, max_size=63)][byte % 3]
        raises(lambda: GearCDC(**bad), ValueError)
        return None
    avg = 64 << kind
    level = (byte >> 2) & 3
    low = 64 + ((byte >> 4) * (avg - 64)) // 15
    high = avg + ((byte >> 4) * 3 * avg) // 15
    return (avg, low, high, level)


def test_one_input(data):
    if len(data) < 3:
        return
    sizes = make(data[0])
    if sizes is None:
        return
    avg, low, high, level = sizes
    key = None if data[2] < 128 else bytes([data[2]])
    payload = data[3:] * (1 + data[1] % REPEAT_MAX)
    g = GearCDC(avg, min_size=low, max_size=high, normalization=level, key=key)
    if key not in TABLES:
        TABLES[key] = g._gear.table.tolist()
    want = model_gear.cut_points(payload, low, avg, high, level, TABLES[key])
    got = g._gear.reference_cut_points(payload).tolist()
    check(got == want, "the literal loop differs from the model", sizes=sizes, got=got, want=want)
    for isa in SUPPORTED:
        for threads in (1, 2) if isa == "lanes" else (1,):
            got = g._gear.kernel_cut_points(payload, isa, threads).tolist()
            check(got == want, f"the {isa} kernel differs from the model", sizes=sizes, got=got)
    check(
        g.chunk(payload) == [payload[s:e] for s, e in zip([0, *want[:-1]], want)],
        "chunk() differs from the cut points",
    )
    check(veltrane.GearCDC is GearCDC, "GearCDC is not exported")


if __name__ == "__main__":
    fuzz(test_one_input)
