"""GearCDC: every kernel and thread count against the literal loop, a Python model of the
table and the loop, shift resistance, golden cuts, and argument checks."""

import hashlib
import io
import json
import mmap
import os
import random
import subprocess
import sys

import model_gear
import numpy as np
import pytest
import veltrane
from hypothesis import given
from hypothesis import strategies as st
from veltrane import GearCDC, _native

# The AVX-512 kernel needs 16 lanes of at least 512 bytes; threads need 256 KiB each.
LANES_MIN = 16 * 512

SUPPORTED = _native.isas()
# The AVX-512 walk in lanes, each instruction set's candidate scan, and the one-thread walk.
KERNELS = _native.Gear.kernels()


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
    "one-byte": lambda seed, n: bytes([seed % 255 + 1]) * n,
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
    assert _native.Gear(64, 64, 64, 0, 0).table.tolist() == model_gear.table(0)
    data = mixed(1, 20_000) + rng_bytes(2, 20_000)
    for p in PARAMS:
        g = GearCDC(**p)
        want = model_gear.cut_points(
            data,
            p["min_size"],
            p["avg_size"],
            p["max_size"],
            p["normalization"],
            model_gear.table(0),
        )
        assert g._gear.reference_cut_points(data).tolist() == want
        assert g.cut_points(data).tolist() == want


def sizes(p):
    around = [0, 1, 63, 64, 65]
    for s in (p["min_size"], p["avg_size"], p["max_size"], LANES_MIN, 16 * 576):
        around += [s - 1, s, s + 1, 2 * s + 7]
    return sorted({s for s in around if s >= 0})


@pytest.mark.parametrize("isa", KERNELS)
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


@given(
    st.integers(0, 3),  # avg_size 64 << k
    st.integers(0, 3),  # normalization
    st.floats(0, 1),  # min_size between 64 and avg_size
    st.integers(1, 8),  # max_size in multiples of avg_size
    st.lists(st.tuples(st.sampled_from(sorted(KINDS)), st.integers(1, 3000)), max_size=12),
    st.integers(1, 3),
)
def test_kernels_equal_the_literal_loop_on_any_mix(k, level, low, high, parts, threads):
    # Runs of each kind of data, so that lanes start in and cross every kind, and the chunker
    # sizes around them; `make test-long` tries 10,000 such inputs.
    avg = 64 << k
    g = GearCDC(avg, min_size=64 + int(low * (avg - 64)), max_size=high * avg, normalization=level)
    data = b"".join(KINDS[kind](n, n) for kind, n in parts)
    want = g._gear.reference_cut_points(data)
    for kernel in KERNELS:
        got = g._gear.kernel_cut_points(data, kernel, threads if kernel != "serial" else 1)
        np.testing.assert_array_equal(got, want, err_msg=kernel)
    assert g.chunk(data, threads=threads) == chunks_of(data, want.tolist())


@pytest.mark.parametrize("kind", ["random", "one-byte", "mixed"])
@pytest.mark.parametrize("parts", [2, 3, 5])
@pytest.mark.parametrize("p", PARAMS[:2], ids=lambda p: f"avg{p['avg_size']}n{p['normalization']}")
def test_walks_in_parts_stitch_at_every_edge(kind, parts, p):
    # Parts that end just before, at and after chunk sizes, so that a part's last chunk ends
    # on, before and past where the next part starts.
    g = GearCDC(**p)
    big = KINDS[kind](7, 300_000)
    edges = (p["min_size"], p["avg_size"], p["max_size"], 4000)
    for n in sorted({parts * s + d for s in edges for d in (-1, 0, 1)} | {1, 63, 64, len(big)}):
        data = big[:n]
        want = g._gear.reference_cut_points(data)
        got = g._gear.kernel_cut_points(data, "parts", parts)
        np.testing.assert_array_equal(got, want, err_msg=f"{kind} size {n}")


@pytest.mark.parametrize("isa", [k for k in KERNELS if k != "serial"])
@pytest.mark.parametrize("threads", [2, 3, 7])
def test_threads_equal_the_literal_loop(isa, threads):
    data = mixed(5, 900_000) + rng_bytes(6, 1_100_003)
    for p in PARAMS[:2]:
        g = GearCDC(**p)
        want = g._gear.reference_cut_points(data)
        np.testing.assert_array_equal(g._gear.kernel_cut_points(data, isa, threads), want)
        if isa == "scalar":  # chunk() runs the kernels of this processor, copying on threads
            assert g.chunk(data, threads=threads) == chunks_of(data, want.tolist())


@pytest.mark.parametrize("isa", SUPPORTED)
def test_environment_pins_the_kernel(isa):
    env = dict(os.environ, VELTRANE_ISA=isa)
    code = (
        "import veltrane, veltrane._native as n, random\n"
        "d = random.Random(3).randbytes(300_000)\n"
        "g = veltrane.GearCDC(1024)\n"
        "assert (g.cut_points(d) == g._gear.reference_cut_points(d)).all()\n"
        "print(n.isa(), n.blake3(n.blake3_many(d, [8191] * 36)).hex())"
    )
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    assert out.returncode == 0, out.stderr
    # The digests follow the pinned set too (16, 8 or 4 lanes): the same bytes on every one.
    d = random.Random(3).randbytes(300_000)
    assert out.stdout.split() == [isa, _native.blake3(_native.blake3_many(d, [8191] * 36)).hex()]


def test_the_widest_instruction_set_is_preferred():
    env = {k: v for k, v in os.environ.items() if k != "VELTRANE_ISA"}
    code = "import veltrane._native as n; print(n.isa(), *n.isas())"
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    isa, *isas = out.stdout.split()
    assert isas == SUPPORTED and isa == isas[0] and isas[-1] == "scalar"
    assert KERNELS[-1] == "serial" and set(SUPPORTED) < set(KERNELS)
    with pytest.raises(ValueError, match="unknown instruction set"):
        GearCDC(64)._gear.kernel_cut_points(b"", "neon", 1)


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


# Reads shorter than the longest chunk, and from it on (a file is then read ahead in halves).
@pytest.mark.parametrize("read_size", [1, 1000, 3000, 4097, 6001, 1 << 16])
def test_streaming_equals_whole_buffer(tmp_path, read_size):
    g = GearCDC(256, max_size=3000)
    data = mixed(14, 120_000)
    ends = g.cut_points(data).tolist()
    starts = [0, *ends[:-1]]
    spans = list(veltrane.iter_chunk_spans(io.BytesIO(data), chunker=g, read_size=read_size))
    assert spans == [(s, e - s) for s, e in zip(starts, ends)]
    path = tmp_path / "data.bin"
    path.write_bytes(data)
    assert list(veltrane.iter_chunks(path, chunker=g, read_size=read_size)) == g.chunk(data)


def test_stream_chunker_argument():
    data = rng_bytes(15, 50_000)
    cdc = list(veltrane.iter_chunks(data, 512))
    assert list(veltrane.iter_chunks(data, chunker=512)) == cdc
    with pytest.raises(TypeError, match="not both"):
        veltrane.iter_chunks(data, 512, chunker=GearCDC())
    with pytest.raises(TypeError, match="chunker must be a GearCDC or an int"):
        veltrane.iter_chunks(data, chunker="gear")  # type: ignore[arg-type]
    with pytest.raises(ValueError, match="chunker must be at least 1"):
        veltrane.dedup_report([], chunker=0)


def test_report_names_the_chunker_and_skips_unreadable_files(tmp_path):
    one, two = tmp_path / "one", tmp_path / "two"
    one.write_bytes(rng_bytes(16, 100_000))
    two.write_bytes(b"x" + one.read_bytes())
    g = GearCDC(1024)
    failed = []
    missing = tmp_path / "missing"  # a directory would be walked
    report = veltrane.dedup_report(
        [one, missing, two], chunker=g, on_error=lambda p, e: failed.append(p)
    )
    assert failed == [str(missing)]
    assert [f.path for f in report.files] == [str(one), str(two)]
    assert report.files[1].byte_reduction_percent > 95
    assert report.to_dict()["chunker"] == {
        "name": "gear",
        "min_size": 256,
        "avg_size": 1024,
        "max_size": 8192,
        "normalization": 2,
    }
    assert report.chunk_size is None
    with pytest.raises(FileNotFoundError):
        veltrane.dedup_report([missing], chunker=g)


def run_cli(*args, cwd, stdin=None):
    return subprocess.run(
        [sys.executable, "-m", "veltrane", *map(str, args)],
        cwd=cwd,
        input=stdin,
        capture_output=True,
    )


def test_cli_dedup_walks_directories_and_reads_stdin(tmp_path):
    base = rng_bytes(17, 200_000)
    tree = tmp_path / "tree"
    (tree / "b").mkdir(parents=True)
    (tree / "b" / "z.bin").write_bytes(base)
    (tree / "a.bin").write_bytes(base[:1000] + b"inserted" + base[1000:])
    (tree / "link.bin").symlink_to(tree / "a.bin")
    result = run_cli("dedup", "--json", "tree", "-", cwd=tmp_path, stdin=base[5:])
    assert result.returncode == 0, result.stderr
    report = json.loads(result.stdout)
    assert [f["path"] for f in report["files"]] == ["tree/a.bin", "tree/b/z.bin", "-"]
    assert report["chunker"]["name"] == "gear" and report["chunker"]["avg_size"] == 8192
    assert report["files"][1]["byte_reduction_percent"] > 90
    assert report["files"][2]["byte_reduction_percent"] > 90
    old = run_cli("dedup", "--chunk-size", 1024, "--json", "tree", cwd=tmp_path)
    assert json.loads(old.stdout)["chunker"] == {
        "name": "cdc",
        "chunk_size": 1024,
        "max_size": 2048,
    }
    assert json.loads(old.stdout)["files"][1]["byte_reduction_percent"] < 5
    table = run_cli("dedup", "--avg-size", 2048, "tree", cwd=tmp_path).stdout.decode()
    assert table.startswith("GearCDC: chunks of 512 to 16,384 bytes, 2,048 on average")


@pytest.mark.parametrize(
    "args, fragment",
    [
        (["--chunker", "cdc", "--avg-size", "4096"], "--avg-size needs --chunker gear"),
        (["--chunker", "gear", "--chunk-size", "512"], "--chunk-size needs --chunker cdc"),
        (["--avg-size", "1000"], "--avg-size must be a power of two"),
        (["--avg-size", "1024", "--min-size", "2048"], "--min-size must be at most"),
    ],
)
def test_cli_dedup_bad_sizes(tmp_path, args, fragment):
    (tmp_path / "in.bin").write_bytes(b"data")
    result = run_cli("dedup", *args, "in.bin", cwd=tmp_path)
    assert result.returncode == 2 and fragment in result.stderr.decode()


def test_chunkers_are_values_and_cdc_chunker_cuts_as_cdc():
    same = [GearCDC(4096), GearCDC(4096, min_size=1024, max_size=32768, normalization=2)]
    assert same[0] == same[1] and hash(same[0]) == hash(same[1])
    others = [
        GearCDC(4096, key=b""),
        GearCDC(4096, key=b"k"),
        GearCDC(4096, normalization=1),
        GearCDC(8192),
        veltrane.CDCChunker(4096),
    ]
    assert len({same[0], *others}) == len(others) + 1
    assert GearCDC(4096, key=b"k") == GearCDC(4096, key=b"k")
    for chunker in [same[0], others[2], veltrane.CDCChunker(512)]:
        assert eval(repr(chunker), vars(veltrane)) == chunker
        assert isinstance(chunker, veltrane.Chunker)
    data = rng_bytes(3, 200_000)
    lengths = [len(c) for c in veltrane.CDC(512).chunk(data)]
    ends = veltrane.CDCChunker(512).cut_points(data)
    assert ends.tolist() == np.cumsum(lengths).tolist()
