"""Pure-Python model of GearCDC: its table and its cut rule, byte by byte, as its docstring
describes them. Slow: keep inputs to some tens of KB."""

M64 = (1 << 64) - 1


def splitmix64(state: int) -> tuple[int, int]:
    """The next state and output of SplitMix64."""
    state = (state + 0x9E3779B97F4A7C15) & M64
    z = state
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & M64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & M64
    return state, z ^ (z >> 31)


def table(seed: int = 0) -> list[int]:
    out = []
    for _ in range(32):
        seed, v = splitmix64(seed)
        out.append(v)
    low, high = out[:16], out[16:]
    return [(low[b & 15] + high[b >> 4]) & M64 for b in range(256)]


def cut_points(data, min_size, avg_size, max_size, normalization, gear=None) -> list[int]:
    """End offsets of the chunks: the hash restarts at every chunk, as a reader would write it."""
    gear = gear or table(0)
    bits = avg_size.bit_length() - 1
    strict, loose = 64 - bits - normalization, 64 - bits + normalization  # free low bits
    ends, start = [], 0
    while start < len(data):
        end = min(len(data), start + max_size)
        h = 0
        for j in range(start, end):
            h = ((h << 1) + gear[data[j]]) & M64
            length = j + 1 - start
            if length >= min_size and h >> (strict if length < avg_size else loose) == 0:
                end = j + 1
                break
        ends.append(end)
        start = end
    return ends
