"""The fast paths of chunking, fingerprints and voting give exactly the literal results.

CDC.chunk speculates on 16 lanes and falls back to the literal loop where speculation does
not pay; deduplicate interleaves several fingerprint chains; SimHash lowers and hashes words
in registers and counts votes in byte lanes. Each is compared with the literal models on data
shaped to reach its corners. `make test-long` runs these with 10,000 examples each.
"""

import json
import locale
import os
import random
import shutil
import subprocess
import sys

import model_cdc
import model_simhash
import pytest
from dedup_core import CDC, SimHash
from hypothesis import given
from hypothesis import strategies as st

# --- chunking ----------------------------------------------------------------------------------

# Speculation scans 16-byte blocks and tests for cuts from the fourth block on (the window is 48
# bytes); a limit 2 * chunk_size of 50 is the smallest it takes, and the chance that a random
# chunk runs to its limit falls from 0.99 there to 0.3 at 5000, where the literal loop takes over.
chunk_sizes = st.one_of(
    st.integers(1, 5000),
    st.integers(20, 40),  # around the smallest limit with a cut test
    st.integers(1, 400).map(lambda k: 8 * k + 4),  # limits that end inside a block
    st.integers(4400, 5600),  # around the limit rate where speculation stops
)


def segment(kind, length, seed):
    rng = random.Random(seed)
    if kind == "random":
        return rng.randbytes(length)
    if kind == "zeros":  # every chunk cuts at its first test
        return bytes(length)
    if kind == "repeat":  # a short block over and over: cuts at the same places, or none
        return (rng.randbytes(rng.randint(1, 64)) * (length // 2 + 1))[:length]
    return bytes(rng.choice(b"ab c") for _ in range(length))  # low-entropy text


segments = st.builds(
    segment,
    st.sampled_from(["random", "random", "zeros", "repeat", "text"]),
    st.integers(0, 4000),
    st.integers(0, 2**32),
)
# Mixed segments: content cuts and limit cuts in one input, so that lanes are dropped,
# speculation starts and stops, and chunks pile up behind a long head chunk.
mixed_data = st.lists(segments, min_size=1, max_size=5).map(b"".join)


@given(data=mixed_data, chunk_size=chunk_sizes)
def test_chunk_equals_literal(data, chunk_size):
    assert CDC(chunk_size).chunk(data) == model_cdc.chunk(data, chunk_size)


@st.composite
def near_limit_multiples(draw):
    # Lengths a few bytes either side of k limits, where the last lanes run out of data.
    chunk_size = draw(st.integers(25, 1200))
    k = draw(st.integers(1, 8))
    delta = draw(st.sampled_from([-49, -48, -17, -16, -1, 0, 1, 15, 16, 17, 48, 49]))
    length = max(0, min(k * 2 * chunk_size + delta, 12_000))
    return chunk_size, random.Random(draw(st.integers(0, 2**32))).randbytes(length)


@given(near_limit_multiples())
def test_chunk_equals_literal_near_limit_multiples(case):
    chunk_size, data = case
    assert CDC(chunk_size).chunk(data) == model_cdc.chunk(data, chunk_size)


@pytest.mark.parametrize(
    "chunk_size, data",
    [
        # A long random head chunk, then thousands of 49-byte chunks finished behind it.
        (2000, random.Random(1).randbytes(4000) + bytes(20_000)),
        # Random data switching with zero runs: speculation starts and stops again and again.
        (64, b"".join(random.Random(2).randbytes(4096) + bytes(4096) for _ in range(4))),
        (1024, b"".join(random.Random(3).randbytes(9000) + bytes(3000) for _ in range(3))),
    ],
    ids=["long-head", "switching-64", "switching-1024"],
)
def test_chunk_equals_literal_on_shaped_data(chunk_size, data):
    assert CDC(chunk_size).chunk(data) == model_cdc.chunk(data, chunk_size)


def first_cut_at(length, seed):
    """`length` > 48 bytes whose cut hash, started afresh, first cuts at the last byte."""
    rng = random.Random(seed)
    while True:
        head = rng.randbytes(length - 1)
        h = 0
        for i, b in enumerate(head):
            h = ((h * model_cdc.PRIME) & model_cdc.M64) ^ b
            if i >= model_cdc.WINDOW and h & model_cdc.MASK == 0:
                break
        else:
            product = (h * model_cdc.PRIME) & model_cdc.M64
            last = product & 0xFF  # clears the low 8 bits; the next 5 are zero once in 32
            if (product ^ last) & model_cdc.MASK == 0:
                return head + bytes([last])


@pytest.mark.parametrize("length", [49, 50, 51, 96, 97, 98])
def test_chunk_equals_literal_after_a_short_chunk(length):
    # A chunk that cuts a few bytes after its first test, then zeros: the guess that chunks
    # keep cutting at their first test holds only for the 49-byte one.
    data = first_cut_at(length, length) + bytes(400)
    assert CDC(1024).chunk(data) == model_cdc.chunk(data, 1024)
    assert len(model_cdc.chunk(data, 1024)[0]) == length


@pytest.mark.parametrize("chunk_size", [25, 64, 1024])
def test_chunk_equals_literal_where_guessed_windows_end(chunk_size):
    # The literal loop hashes the windows of the next chunks as they would start if each cut at
    # its first test (49 bytes), as zeros do: zero runs of every length up to five such chunks,
    # alone, and followed by bytes that break the guess after 0 to 4 chunks.
    tail = random.Random(4).randbytes(300)
    for n in range(5 * 49 + 50):
        for data in (bytes(n), bytes(n) + tail):
            assert CDC(chunk_size).chunk(data) == model_cdc.chunk(data, chunk_size), n


# --- fingerprints ------------------------------------------------------------------------------

COLLIDING = [bytes.fromhex("d86f0c06534e4300"), bytes.fromhex("4f2d5fb2e274ec22")]

# Ragged lengths keep the fingerprint chains finishing at different times, and repeats make a
# fingerprint that one chain computed differently from another show up as a kept duplicate.
pieces = st.one_of(
    st.binary(max_size=3),
    st.binary(min_size=4, max_size=300),
    st.sampled_from(COLLIDING),
    st.integers(0, 600).map(bytes),
)


@given(
    st.lists(pieces, max_size=60).flatmap(
        lambda pool: st.lists(st.sampled_from(pool or [b""]), max_size=200)
    )
)
def test_deduplicate_equals_literal(chunks):
    assert CDC().deduplicate(chunks) == model_cdc.deduplicate(chunks)


# --- SimHash -----------------------------------------------------------------------------------

# Tokens around the word boundaries of the hash (8 and 16 bytes), the case boundaries of the
# lowering ('@' 'A' 'Z' '[' '`' 'a' 'z' '{'), bytes whose low 7 bits are letters (0xC1, 0xDA),
# and long runs of tokens (the byte counters are flushed every 255 tokens).
token_bytes = st.binary(max_size=20).map(lambda b: b.replace(b" ", b"x"))
token_letters = st.text(alphabet="@AZ[`az{\t\xc1\xda\xe9\xc9\u0130", max_size=20)
tokens = st.one_of(token_bytes, token_letters.map(lambda t: t.encode()))
texts = st.tuples(
    st.lists(tokens, max_size=40),
    st.lists(st.sampled_from([b" ", b"  "]), min_size=40, max_size=40),
    st.integers(1, 30),
).map(lambda t: b"".join(tok + sep for tok, sep in zip(*t[:2])) * t[2])


@pytest.fixture(scope="module")
def c_ctype_locale():
    # tolower() follows the process locale; the model lowers only A to Z.
    old = locale.setlocale(locale.LC_CTYPE)
    locale.setlocale(locale.LC_CTYPE, "C")
    yield
    locale.setlocale(locale.LC_CTYPE, old)


@given(text=texts, cut=st.integers(0, 40), bits=st.sampled_from([8, 64, 72, 128]))
def test_compute_equals_literal(c_ctype_locale, text, cut, bits):
    # Cutting the text short moves a token to its very end, where no word may be read past it.
    text = text[: len(text) - cut] if cut < len(text) else text
    assert SimHash(bits).compute(text) == model_simhash.fingerprint(text, bits)


LATIN1_PROBE = """if True:
    import json, locale, sys
    from dedup_core import SimHash
    texts = [bytes.fromhex(h) for h in json.loads(sys.argv[1])]
    def run():
        return [SimHash().compute(t).hex() for t in texts]
    c = run()
    locale.setlocale(locale.LC_CTYPE, sys.argv[2])
    latin1 = run()
    locale.setlocale(locale.LC_CTYPE, "C")
    print(json.dumps([c, latin1, run()]))
"""


def test_compute_follows_locale_changes_with_long_tokens(tmp_path):
    # Outside the C locales every byte goes through the locale's table, which each thread
    # caches: switching the locale and back must switch the lowering with it.
    if (
        not shutil.which("localedef")
        or subprocess.run(
            ["localedef", "-i", "en_US", "-f", "ISO-8859-1", str(tmp_path / "latin1")],
            capture_output=True,
            timeout=60,
        ).returncode
    ):
        pytest.skip("could not build an ISO-8859-1 locale")
    rng = random.Random(7)
    alphabet = bytes(range(0x21, 0x100)).replace(b" ", b"")
    texts = [
        b"\xc9T\xc9 \xe9t\xe9 ABC abc",
        b" ".join(bytes(rng.choice(alphabet) for _ in range(n)) for n in (1, 8, 15, 16, 17, 300)),
        bytes(rng.choice(alphabet) for _ in range(600)),
    ]
    done = subprocess.run(
        [sys.executable, "-c", LATIN1_PROBE, json.dumps([t.hex() for t in texts]), "latin1"],
        capture_output=True,
        text=True,
        timeout=60,
        env=dict(os.environ, LOCPATH=str(tmp_path)),
    )
    assert done.returncode == 0, done.stderr
    c, latin1, c_again = ([bytes.fromhex(h) for h in run] for run in json.loads(done.stdout))

    def latin1_lower(text):
        return text.decode("latin-1").lower().encode("latin-1")

    assert c == c_again == [model_simhash.fingerprint(t) for t in texts]
    assert latin1 == [model_simhash.fingerprint(latin1_lower(t)) for t in texts]
    assert latin1[0] != c[0]
