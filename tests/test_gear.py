"""GearCDC: every kernel and thread count against the literal loop, a Python model of the
table and the loop, shift resistance, golden cuts, and argument checks."""

import hashlib
import mmap
import os
import random
import subprocess
import sys

import numpy as np
import pytest
import veltrane
from veltrane import GearCDC, _native

MASK64 = (1 << 64) - 1
ISAS = ["scalar", "avx2", "avx512"]
# The AVX-512 kernel needs 16 lanes of at least 512 bytes; threads need 256 KiB each.
LANES_MIN = 16 * 512


def supported(isa):
    env = dict(os.environ, VELTRANE_ISA=isa)
    code = "import veltrane._native as n; print(n.isa())"
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    return out.stdout.strip() == isa


SUPPORTED = [isa for isa in ISAS if isa != "avx512" or supported("avx512")]


def splitmix64(state):
    state = (state + 0x9E3779B97F4A7C15) & MASK64
    z = state
    z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK64
    z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK64
    return state, z ^ (z >> 31)


def model_table(seed=0):
    out = []
    for _ in range(32):
        seed, v = splitmix64(seed)
        out.append(v)
    low, high = out[:16], out[16:]
    return [(low[b & 15] + high[b >> 4]) & MASK64 for b in range(256)]


def model_cut_points(data, min_size, avg_size, max_size, normalization, table):
    """The description in GearCDC's docstring, one byte at a time."""
    bits = avg_size.bit_length() - 1
    strict, loose = 64 - bits - normalization, 64 - bits + normalization  # free low bits
    ends, start = [], 0
    while start < len(data):
        end = min(len(data), start + max_size)
        h = 0
        for j in range(start, end):
            h = ((h << 1) + table[data[j]]) & MASK64
            length = j + 1 - start
            if length >= min_size and h >> (strict if length < avg_size else loose) == 0:
                end = j + 1
                break
        ends.append(end)
        start = end
    return ends


def rng_bytes(seed, n):
    return random.Random(seed).randbytes(n)


def low_entropy(seed, n):
    r = random.Random(seed)
    return bytes(r.choice(b"ab") for _ in range(n))


def mixed(seed, n):
    r = random.Random(seed)
    words = b"the of and to in is that for it as was with be by on not he this are or".split()
    parts, size = [], 0
    while size < n:
        kind = r.randrange(4)
        if kind == 0:
            part = r.randbytes(r.randrange(1, 3000))
        elif kind == 1:
            part = bytes(r.randrange(1, 9000))
        elif kind == 2:
            part = b" ".join(r.choice(words) for _ in range(r.randrange(1, 800)))
        else:
            part = low_entropy(r.random(), r.randrange(1, 2000))
        parts.append(part)
        size += len(part)
    return b"".join(parts)[:n]


KINDS = {
    "random": rng_bytes,
    "zeros": lambda seed, n: bytes(n),
    "low-entropy": low_entropy,
    "mixed": mixed,
}
PARAMS = [
    dict(avg_size=256, min_size=64, max_size=1024, normalization=2),
    dict(avg_size=8192, min_size=2048, max_size=65536, normalization=3),
    dict(avg_size=1024, min_size=1024, max_size=1024, normalization=0),
    dict(avg_size=128, min_size=100, max_size=5000, normalization=1),
]


def test_table_and_literal_loop_match_the_model():
    assert _native.Gear(64, 64, 64, 0, 0).table.tolist() == model_table(0)
    data = mixed(1, 20_000) + rng_bytes(2, 20_000)
    for p in PARAMS:
        g = GearCDC(**p)
        want = model_cut_points(
            data, p["min_size"], p["avg_size"], p["max_size"], p["normalization"], model_table(0)
        )
        assert g._gear.reference_cut_points(data).tolist() == want
        assert g.cut_points(data).tolist() == want


def sizes(p):
    around = [0, 1, 63, 64, 65]
    for s in (p["min_size"], p["avg_size"], p["max_size"], LANES_MIN, 16 * 576):
        around += [s - 1, s, s + 1, 2 * s + 7]
    return sorted({s for s in around if s >= 0})


@pytest.mark.parametrize("isa", SUPPORTED)
@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("p", PARAMS, ids=lambda p: f"avg{p['avg_size']}n{p['normalization']}")
def test_kernels_equal_the_literal_loop(isa, kind, p):
    g = GearCDC(**p)
    big = KINDS[kind](hash(kind) & 0xFFFF, 200_000)
    for n in sizes(p) + [len(big)]:
        data = big[:n]
        want = g._gear.reference_cut_points(data)
        got = g._gear.kernel_cut_points(data, isa, 1)
        np.testing.assert_array_equal(got, want, err_msg=f"{isa} {kind} size {n}")


@pytest.mark.parametrize("isa", SUPPORTED)
@pytest.mark.parametrize("threads", [2, 3, 7])
def test_threads_equal_the_literal_loop(isa, threads):
    data = mixed(5, 900_000) + rng_bytes(6, 1_100_003)
    for p in PARAMS[:2]:
        g = GearCDC(**p)
        want = g._gear.reference_cut_points(data)
        np.testing.assert_array_equal(g._gear.kernel_cut_points(data, isa, threads), want)


@pytest.mark.parametrize("isa", SUPPORTED)
def test_environment_pins_the_kernel(isa):
    env = dict(os.environ, VELTRANE_ISA=isa)
    code = (
        "import veltrane, veltrane._native as n, random\n"
        "d = random.Random(3).randbytes(300_000)\n"
        "g = veltrane.GearCDC(1024)\n"
        "assert (g.cut_points(d) == g._gear.reference_cut_points(d)).all()\n"
        "print(n.isa())"
    )
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    assert out.stdout.strip() == isa


def chunks_of(data, ends):
    starts = [0, *ends[:-1]]
    return [data[s:e] for s, e in zip(starts, ends)]


@pytest.mark.parametrize("edit", ["insert", "delete", "overwrite"])
def test_an_edit_changes_only_the_chunks_around_it(edit):
    g = GearCDC(1024)
    data = rng_bytes(7, 300_000)
    at = 50_000
    edited = {
        "insert": data[:at] + b"inserted!" + data[at:],
        "delete": data[:at] + data[at + 9 :],
        "overwrite": data[:at] + b"changed!!" + data[at + 9 :],
    }[edit]
    before = chunks_of(data, g.cut_points(data).tolist())
    after = chunks_of(edited, g.cut_points(edited).tolist())
    same_head = next(i for i, (x, y) in enumerate(zip(before, after)) if x != y)
    same_tail = next(i for i, (x, y) in enumerate(zip(before[::-1], after[::-1])) if x != y)
    # Chunks before the one that holds the edit are untouched, and the cuts line up again
    # within a chunk or two of it (one more when a cut candidate moves across avg_size).
    assert sum(map(len, before[: same_head + 1])) > at
    assert len(before) - same_head - same_tail <= 2
    assert len(after) - same_head - same_tail <= 2


def test_reordered_files_still_deduplicate():
    a, b, c = rng_bytes(8, 200_000), mixed(9, 200_000), rng_bytes(10, 200_000)
    g = GearCDC(2048)
    one = set(g.chunk(a + b + c))
    other = g.chunk(c + a + b)
    shared = sum(len(x) for x in other if x in one)
    assert shared > 0.95 * len(a + b + c)


@pytest.mark.parametrize("p", PARAMS, ids=lambda p: f"avg{p['avg_size']}n{p['normalization']}")
def test_bounds_and_concatenation(p):
    g = GearCDC(**p)
    data = mixed(11, 300_000)
    chunks = g.chunk(data)
    assert b"".join(chunks) == data
    assert all(p["min_size"] <= len(c) <= p["max_size"] for c in chunks[:-1])
    assert 0 < len(chunks[-1]) <= p["max_size"]
    assert [len(c) for c in g.chunk(bytes(100_000))[:-1]] == [p["max_size"]] * (
        100_000 // p["max_size"] - (100_000 % p["max_size"] == 0)
    )


def test_key_changes_the_cuts():
    data = rng_bytes(12, 200_000)
    plain = GearCDC(1024).cut_points(data)
    keyed = GearCDC(1024, key=b"secret").cut_points(data)
    assert not np.array_equal(plain, keyed)
    np.testing.assert_array_equal(keyed, GearCDC(1024, key=bytearray(b"secret")).cut_points(data))
    assert not np.array_equal(GearCDC(1024, key=b"").cut_points(data), plain)
    assert not np.array_equal(GearCDC(1024, key=b"other").cut_points(data), keyed)


def golden_data(n):
    # SHA-256 in counter mode: the same bytes on every platform and Python version.
    return b"".join(hashlib.sha256(i.to_bytes(4, "little")).digest() for i in range(n // 32))


def golden_text(n):
    words = golden_data(4096)
    out, i = bytearray(), 0
    while len(out) < n:
        out += b"word%d " % (words[i % 4096] % 97) + (b"\n" if words[(i + 1) % 4096] < 20 else b"")
        i += 1
    return bytes(out[:n])


# Pinned: changing the table, the cut rule or the defaults would invalidate stored indexes.
GOLDEN = [
    (
        dict(avg_size=8192, min_size=2048, max_size=65536, normalization=2),
        golden_data,
        1 << 20,
        110,
        ([11134, 17604, 28303, 34357, 46617, 57886, 69499, 79650], "a55bf9e6aed0ed66"),
    ),
    (
        dict(avg_size=1024, min_size=256, max_size=4096, normalization=1, key=b"golden"),
        golden_text,
        1 << 18,
        212,
        ([1242, 2270, 2561, 4425, 5852, 6691, 7796, 9293], "189dd36e7b8e63d5"),
    ),
]


@pytest.mark.parametrize("case", range(len(GOLDEN)))
def test_golden_cuts(case):
    kwargs, make, n, count, digest = GOLDEN[case]
    ends = GearCDC(**kwargs).cut_points(make(n))
    got = (len(ends), ends[:8].tolist(), hashlib.sha256(ends.tobytes()).hexdigest()[:16])
    assert got == (count, *digest)


def test_buffers_are_read_in_place():
    data = rng_bytes(13, 100_000)
    g = GearCDC(512)
    want = g.cut_points(data)
    with mmap.mmap(-1, len(data)) as m:
        m[:] = data
        np.testing.assert_array_equal(g.cut_points(m), want)
    words = np.frombuffer(data, dtype=np.uint32)
    np.testing.assert_array_equal(g.cut_points(words), want)
    np.testing.assert_array_equal(g.cut_points(bytearray(data), threads=2), want)
    assert g.chunk(memoryview(data)) == g.chunk(data)
    assert g.cut_points(b"").tolist() == [] and g.cut_points(b"").dtype == np.int64
    with pytest.raises(TypeError, match="contiguous"):
        g.cut_points(memoryview(data)[::2])
    with pytest.raises(TypeError, match="contiguous"):
        g.chunk("text")


@pytest.mark.parametrize(
    "kwargs, name",
    [
        (dict(avg_size=100), "avg_size"),
        (dict(avg_size=32), "avg_size"),
        (dict(avg_size=1 << 31), "avg_size"),
        (dict(avg_size=1024, min_size=63), "min_size"),
        (dict(avg_size=1024, min_size=2048), "min_size"),
        (dict(avg_size=1024, max_size=1023), "max_size"),
        (dict(avg_size=1024, max_size=(1 << 30) + 1), "max_size"),
        (dict(normalization=4), "normalization"),
        (dict(normalization=-1), "normalization"),
    ],
)
def test_bad_sizes_name_the_argument(kwargs, name):
    with pytest.raises(ValueError, match=name):
        GearCDC(**kwargs)


def test_properties_and_defaults():
    g = GearCDC()
    assert (g.min_size, g.avg_size, g.max_size, g.normalization) == (2048, 8192, 65536, 2)
    assert GearCDC(64).min_size == 64
    with pytest.raises(AttributeError):
        g.avg_size = 1  # type: ignore[misc]
    with pytest.raises(ValueError, match="threads"):
        g.cut_points(b"x", threads=0)
    with pytest.raises(TypeError, match="key"):
        GearCDC(key="text")  # type: ignore[arg-type]
    assert veltrane.GearCDC is GearCDC
