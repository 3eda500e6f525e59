"""Tests of dedup_core.CDC: content-defined chunking and chunk deduplication."""

import os
import pickle
import random
import subprocess
import sys
from decimal import Decimal

import dedup_core
import model_cdc as model
import pytest
from hypothesis import given
from hypothesis import strategies as st

CDC = dedup_core.CDC

# Byte i is i mod 251: content cuts end the third and fifth chunks at the default size.
RAMP = bytes(i % 251 for i in range(10000))
# Two different 8-byte chunks that share the chunk digest 0xe329ee6bdabdccec.
COLLIDING = [bytes.fromhex("d86f0c06534e4300"), bytes.fromhex("4f2d5fb2e274ec22")]
# Sizes for which start + 2 * chunk_size passes 2^64.
HUGE = [2**63 - 1, 2**63, 2**64 - 1]


class Blob(bytes):
    pass


class Ten:
    def __index__(self):
        return 10


def lengths(chunks):
    return [len(c) for c in chunks]


@pytest.mark.parametrize(
    "chunk_size, data, expected",
    [
        (1024, b"", []),
        (1024, RAMP, [2048, 2048, 128, 2048, 85, 2048, 1595]),
        # All-zero data keeps the hash at 0, so the first test in every chunk cuts.
        (1024, bytes(5000), [49] * 102 + [2]),
        (1024, RAMP[:48], [48]),
        (1024, RAMP[:49], [49]),
        (1024, bytes(50), [49, 1]),
        (1024, b"\x01" * 50, [50]),
        # 2 * chunk_size <= 48: no content cut can happen, only fixed pieces.
        (10, RAMP[:45], [20, 20, 5]),
        (10, RAMP[:40], [20, 20]),
        (24, RAMP[:100], [48, 48, 4]),
        (1, b"abcde", [2, 2, 1]),
        # A limit past 2^64 saturates at the end of the data: only content cuts remain.
        *[(size, bytes(5000), [49] * 102 + [2]) for size in HUGE],
        *[(size, RAMP[4096:], [128, 3896, 1880]) for size in HUGE],
        *[(size, RAMP, [10000]) for size in HUGE],
    ],
)
def test_chunk_check_values(chunk_size, data, expected):
    chunks = CDC(chunk_size).chunk(data)
    assert type(chunks) is list
    assert lengths(chunks) == expected
    assert b"".join(chunks) == data


A, B, C, D = b"alpha", b"beta", b"gamma", b"delta"


@pytest.mark.parametrize(
    "chunks, unique, percent",
    [
        ([], [], 0.0),
        ([A], [A], 0.0),
        ([A, A, B, A], [A, B], 50.0),
        ([A] * 4, [A], 75.0),
        # 1 - U/N first, then times 100, in double precision.
        ([A, B, C, D, A], [A, B, C, D], 19.999999999999996),
        ([A] * 3, [A], 66.66666666666667),
        ([b""] * 3, [b""], 66.66666666666667),
        ([b"", b"\x00", b""], [b"", b"\x00"], 33.333333333333336),
        pytest.param(COLLIDING * 2, COLLIDING, 50.0, id="collision"),
        pytest.param(COLLIDING[::-1] * 3, COLLIDING[::-1], 66.66666666666667, id="collision-rev"),
    ],
)
def test_deduplicate_cases(chunks, unique, percent):
    result = CDC().deduplicate(chunks)
    assert type(result) is tuple
    assert result == (unique, percent)
    assert type(result[1]) is float


def test_colliding_pair_shares_digest():
    # Guards the premise of the collision cases: equal digests, different bytes.
    assert COLLIDING[0] != COLLIDING[1]
    assert model.digest(COLLIDING[0]) == model.digest(COLLIDING[1]) == 0xE329EE6BDABDCCEC
    assert model.digest(b"") == model.SEED


def test_repeated_data_chunks_and_deduplicates():
    d = RAMP[:2048]  # no content cut inside it, and the cut hash restarts at each chunk
    cdc = CDC()
    assert cdc.chunk(d + d) == [d, d]
    assert cdc.deduplicate(cdc.chunk(d + d)) == ([d], 50.0)


def test_results_are_new_plain_bytes():
    data = Blob(RAMP[:30])
    (piece,) = CDC().chunk(data)
    assert type(piece) is bytes and piece == data and piece is not data

    items = [Blob(b"abc"), b"abc", Blob(b"xyz"), b"xyz"]
    snapshot = list(items)
    unique, _ = CDC().deduplicate(items)
    assert unique == [b"abc", b"xyz"]
    assert all(type(u) is bytes for u in unique)
    assert not any(u is i for u in unique for i in items)
    assert items == snapshot and all(a is b for a, b in zip(items, snapshot))


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda c: c.deduplicate([A, "x"]), "Object of type 'str' is not an instance of 'bytes'"),
        (
            lambda c: c.deduplicate([bytearray(A)]),
            "Object of type 'bytearray' is not an instance of 'bytes'",
        ),
        (lambda c: c.deduplicate([A, 7]), "Object of type 'int' is not an instance of 'bytes'"),
        (lambda c: c.deduplicate((A, B)), "deduplicate(): incompatible function arguments"),
        (lambda c: c.deduplicate(iter([A])), "deduplicate(): incompatible function arguments"),
        (lambda c: c.chunk(bytearray(A)), "chunk(): incompatible function arguments"),
        (lambda c: c.chunk(memoryview(A)), "chunk(): incompatible function arguments"),
        (lambda c: c.chunk("alpha"), "chunk(): incompatible function arguments"),
    ],
)
def test_argument_type_errors(call, message):
    with pytest.raises(TypeError) as err:
        call(CDC())
    assert str(err.value).startswith(message)


@pytest.mark.parametrize(
    "arg, size",
    [(True, 1), (Decimal("10.9"), 10), (Ten(), 10), (10, 10), (2**64 - 1, 2**64 - 1)],
)
def test_chunk_size_accepted(arg, size):
    data = bytes(range(100))
    assert CDC(arg).chunk(data) == model.chunk(data, size)


@pytest.mark.parametrize("arg", [-1, 2**64, 1.0, 10.5, None, "10", Decimal("-1.5")])
def test_chunk_size_rejected(arg):
    with pytest.raises(TypeError, match=r"^__init__\(\): incompatible constructor arguments"):
        CDC(arg)


@pytest.mark.parametrize("arg", [0, False, Decimal("0.9")])
def test_chunk_size_zero_refused(arg):
    with pytest.raises(ValueError, match=r"^chunk_size must be at least 1$"):
        CDC(arg)


def test_keywords_and_list_subclass():
    cdc = CDC(chunk_size=10)
    assert lengths(cdc.chunk(data=RAMP[:45])) == [20, 20, 5]

    class Chunks(list):
        pass

    assert cdc.deduplicate(chunks=Chunks([A, A])) == ([A], 50.0)


DOCS = {
    "__init__": "__init__(self: dedup_core.CDC, chunk_size: typing.SupportsInt = 1024) -> None\n",
    "chunk": "chunk(self: dedup_core.CDC, data: bytes) -> list\n\n"
    "Split data into content-defined chunks\n",
    "deduplicate": "deduplicate(self: dedup_core.CDC, chunks: list) -> tuple\n\n"
    "Deduplicate chunks and return unique chunks with reduction percentage\n",
}


def test_docstrings():
    assert {name: getattr(CDC, name).__doc__ for name in DOCS} == DOCS


chunk_sizes = st.one_of(
    st.integers(1, 5000),
    st.integers(2**63 - 2, 2**63 + 2),
    st.integers(2**64 - 3, 2**64 - 1),
)
# Random bytes, zero runs (which cut at 49 bytes from a chunk's start) and repeated blocks.
pieces = st.one_of(
    st.binary(max_size=1500),
    st.integers(1, 1500).map(bytes),
    st.tuples(st.binary(min_size=1, max_size=200), st.integers(2, 8)).map(lambda t: t[0] * t[1]),
)
datas = st.lists(pieces, max_size=4).map(b"".join)


@given(data=datas, chunk_size=chunk_sizes)
def test_chunk_matches_model(data, chunk_size):
    chunks = CDC(chunk_size).chunk(data)
    assert all(0 < len(c) <= 2 * chunk_size for c in chunks)
    assert b"".join(chunks) == data
    assert chunks == model.chunk(data, chunk_size)


# Short items repeat often; the colliding pair checks that a digest match is confirmed.
items = st.one_of(
    st.sampled_from(COLLIDING), st.binary(max_size=2), st.builds(Blob, st.binary(max_size=2))
)


@given(chunks=st.lists(items, max_size=80))
def test_deduplicate_matches_model(chunks):
    assert CDC().deduplicate(chunks) == model.deduplicate(chunks)


CHILD = (
    "import pickle, sys, dedup_core\n"
    "cdc = dedup_core.CDC()\n"
    "lists = pickle.load(sys.stdin.buffer)\n"
    "pickle.dump([cdc.deduplicate(chunks) for chunks in lists], sys.stdout.buffer)\n"
)


def straddling_lists():
    small = [bytes([i]) * 3 for i in range(10)]
    # A heavy first chunk keeps the first block's thread busy, so later blocks finish first;
    # the first occurrences sit late in the first block, their repeats early in later ones.
    heavy = b"\x07" * (4 << 20)
    rng = random.Random(5)
    return [
        [],
        [b""] * 5,
        small + small[::-1] + small,
        [heavy, *small, *small[::-1]],
        [heavy, *COLLIDING * 10],
        [heavy, heavy[:-1], *small * 3, heavy],
        CDC(64).chunk(rng.randbytes(1280) * 4),
        [rng.choice(small) for _ in range(200)],
    ]


@pytest.mark.parametrize("threads", ["1", "2", "7"])
def test_deduplicate_independent_of_team_size(threads):
    lists = straddling_lists()
    env = dict(os.environ, OMP_NUM_THREADS=threads)
    done = subprocess.run(
        [sys.executable, "-c", CHILD],
        input=pickle.dumps(lists),
        capture_output=True,
        env=env,
        timeout=60,
        check=True,
    )
    # Every team size gives the model's answer, hence the same answer.
    assert pickle.loads(done.stdout) == [model.deduplicate(chunks) for chunks in lists]
