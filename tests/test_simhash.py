"""SimHash.compute and SimHash.hamming_distance: check values, the pure-Python model, locales."""

import json
import locale
import os
import re
import shutil
import subprocess
import sys

import model_simhash as model
import pytest
from dedup_core import SimHash
from hypothesis import given
from hypothesis import strategies as st

ABC = "39ba3dedf82bd832"  # token hash of "abc", little-endian
EMPTY = "6e2a461e90933e55"  # token hash of the empty token
VECTOR_ERROR = "cannot create std::vector larger than max_size()"


@pytest.fixture(scope="module", autouse=True)
def c_ctype_locale():
    # tolower() follows the process locale; pin it so that the model's ASCII-only lowering
    # holds whatever locale the run inherited.
    old = locale.setlocale(locale.LC_CTYPE)
    locale.setlocale(locale.LC_CTYPE, "C")
    yield
    locale.setlocale(locale.LC_CTYPE, old)


def fp(text, bits=64):
    return SimHash(bits).compute(text)


def run_python(code, *args, env=None):
    out = subprocess.run(
        [sys.executable, "-c", code, *args], capture_output=True, text=True, timeout=60, env=env
    )
    assert out.returncode == 0, out.stderr
    return out.stdout


@pytest.mark.parametrize(
    "text, bits, expected",
    [
        ("", 64, "ff" * 8),
        ("abc", 64, ABC),
        ("ABC", 64, ABC),
        (b"abc", 64, ABC),
        (bytearray(b"abc"), 64, ABC),
        (type("S", (str,), {})("aBc"), 64, ABC),
        ("hello world", 64, "e8b9fffdfcf7757f"),
        (" ", 64, EMPTY),
        ("      ", 64, EMPTY),
        ("abc  ", 64, "7fba7ffff8bbfe77"),
        ("abc", 12, "39"),
        ("abc", 16, "39ba"),
        ("abc", 128, ABC * 2),
        ("abc", 0, ""),
        ("abc", 7, ""),
    ],
)
def test_check_values(text, bits, expected):
    assert fp(text, bits).hex() == expected


@pytest.mark.parametrize(
    "a, b, same",
    [
        ("abc", "abc ", True),  # one trailing space adds no token...
        ("abc ", "abc  ", False),  # ...a second one adds an empty token
        ("abc", " abc", False),  # and so does a leading space
        ("word word", "word  word", True),  # the empty token is outvoted by the repeated word
        ("a\tb", "a b", False),  # only the space byte separates tokens
        ("É", "é", False),  # no case folding outside ASCII
    ],
)
def test_fingerprint_relations(a, b, same):
    assert (fp(a) == fp(b)) is same


def test_one_space_votes_or_two_spaces_vote_majority():
    h, w, e = (model.hash_bytes(t) for t in (b"hello", b"world", b""))
    assert fp("hello world") == (h | w).to_bytes(8, "little")
    assert fp("hello  world") == ((h & w) | (h & e) | (w & e)).to_bytes(8, "little")


@pytest.mark.parametrize("text", [memoryview(b"abc"), None, 7, ["abc"], "ok \udcff"], ids=repr)
def test_compute_rejects_text(text):
    with pytest.raises(TypeError, match=r"^compute\(\): incompatible function arguments"):
        SimHash().compute(text)


@pytest.mark.parametrize("bits", [-1, -8, -(2**31)])
def test_negative_bits_fails_every_call(bits):
    sh = SimHash(bits)
    for text in ["", "abc def", ""]:
        with pytest.raises(ValueError, match=f"^{re.escape(VECTOR_ERROR)}$"):
            sh.compute(text)
    assert sh.hamming_distance(b"\x0f", b"\x01") == 3  # the static method ignores bits


def test_large_bits_tile_the_64_bit_fingerprint():
    text = "Tiling A large fingerprint  repeats its first eight bytes"
    assert fp(text, 2**20 + 13) == fp(text) * 2**14 + fp(text)[:1]


@pytest.mark.no_sanitizer
def test_max_bits_does_not_allocate_a_counter_per_bit():
    # 2**31 - 1 counters would take gigabytes; the 268 MB result (twice, for the comparison)
    # fits under a 1 GiB address-space limit.
    out = run_python("""if True:
        import resource
        resource.setrlimit(resource.RLIMIT_AS, (1 << 30, 1 << 30))
        from dedup_core import SimHash
        n = 2**31 - 1
        big, tile = SimHash(n).compute("max bits"), SimHash().compute("max bits")
        print(len(big), big == tile * (n // 64) + tile[:7])
    """)
    assert out.split() == [str((2**31 - 1) // 8), "True"]


WORDS = ["", "abc", "ABC", "Hello", "wörld", "WÖRLD", "a\tb", "É", "é", "x"]
TEXTS = st.one_of(
    st.lists(st.sampled_from(WORDS), max_size=12).map(" ".join),
    st.text(alphabet=" aAbBzZ@[\t\n\xe9\xc9\u0130", max_size=40),
    st.text(max_size=30),
    st.binary(max_size=40),
)


@given(TEXTS, st.integers(-16, 260))
def test_compute_matches_model(text, bits):
    try:
        expected = model.fingerprint(text, bits)
    except ValueError as e:
        with pytest.raises(ValueError, match=f"^{re.escape(str(e))}$"):
            SimHash(bits).compute(text)
    else:
        assert SimHash(bits).compute(text) == expected


# In a subprocess, since setlocale is process-wide: the fingerprint of every single byte.
LOCALE_PROBE = """if True:
    import json, locale, sys
    from dedup_core import SimHash
    locale.setlocale(getattr(locale, sys.argv[1]), sys.argv[2])
    print(json.dumps([SimHash().compute(bytes([b])).hex() for b in range(256)]))
"""


def probe_locale(category, name, env=None):
    return [
        bytes.fromhex(h) for h in json.loads(run_python(LOCALE_PROBE, category, name, env=env))
    ]


@pytest.mark.parametrize("name", ["C", "C.UTF-8"])
@pytest.mark.parametrize("category", ["LC_ALL", "LC_CTYPE"])
def test_c_locales_lower_only_ascii_letters(category, name):
    # Only A-Z change; 0x80-0xFF, passed to tolower() as negative chars, come back unchanged.
    assert probe_locale(category, name) == [model.fingerprint(bytes([b])) for b in range(256)]


def test_compute_follows_the_current_locale(tmp_path):
    # An 8-bit locale folds Latin-1 letters as well: the lowering must come from the locale,
    # not from a fixed ASCII table.
    name = "en_US.ISO-8859-1"
    if (
        not shutil.which("localedef")
        or subprocess.run(
            ["localedef", "-i", "en_US", "-f", "ISO-8859-1", str(tmp_path / name)],
            capture_output=True,
            timeout=60,
        ).returncode
    ):
        pytest.skip("could not build an ISO-8859-1 locale")
    got = probe_locale("LC_CTYPE", name, env=dict(os.environ, LOCPATH=str(tmp_path)))
    lowered = [bytes([b]).decode("latin-1").lower().encode("latin-1") for b in range(256)]
    assert got == [model.fingerprint(low) for low in lowered]
    assert got[0xC9] == got[0xE9] and got[0xD7] != got[0xF7]


BYTES_SUB = type("B", (bytes,), {})


@pytest.mark.parametrize(
    "fp1, fp2, expected",
    [
        (b"", b"", 0),
        (b"", b"anything", 0),
        (b"\x00", b"\xff", 8),
        (b"\x0f", b"\x01", 3),
        (b"\xa5" * 40, b"\x5a" * 40, 320),
        (b"\xff" * 71, b"\x00" * 71, 568),
        (fp("abc"), fp("abc") + b"\xff", 0),
        (fp("abc"), fp("abc", 128), 0),
        (fp(""), fp("abc"), 28),
        (BYTES_SUB(b"\x01"), BYTES_SUB(b"\x02"), 2),
    ],
)
def test_hamming_distance_values(fp1, fp2, expected):
    assert SimHash.hamming_distance(fp1, fp2) == expected
    assert SimHash(8).hamming_distance(fp2=fp2, fp1=fp1) == expected


@pytest.mark.parametrize("n1, n2", [(1, 0), (2, 1), (41, 40), (1000, 8)])
def test_hamming_distance_refuses_shorter_fp2(n1, n2):
    with pytest.raises(ValueError) as info:
        SimHash.hamming_distance(b"x" * n1, b"x" * n2)
    assert str(info.value) == f"fp2 is shorter than fp1: {n2} < {n1} bytes"


@pytest.mark.parametrize("bad", ["ab", bytearray(b"ab"), memoryview(b"ab"), None], ids=repr)
@pytest.mark.parametrize("args", [lambda bad: (bad, b"ab"), lambda bad: (b"ab", bad)])
def test_hamming_distance_rejects_non_bytes(bad, args):
    with pytest.raises(TypeError, match=r"^hamming_distance\(\): incompatible function"):
        SimHash.hamming_distance(*args(bad))


@given(
    st.binary(max_size=100).flatmap(
        lambda a: st.tuples(st.just(a), st.binary(min_size=len(a), max_size=len(a) + 9))
    )
)
def test_hamming_distance_matches_model(pair):
    assert SimHash.hamming_distance(*pair) == model.hamming_distance(*pair)


@pytest.mark.slow
def test_hamming_distance_counts_beyond_int32():
    n = 2**28 + 3  # 2**31 + 24 differing bits, in two 268 MB bytes objects
    assert SimHash.hamming_distance(b"\xff" * n, b"\x00" * n) == 8 * n


@given(
    st.lists(st.sampled_from([b"a b", b"\r", b"\n", b"\r\n", b"x\ry", b"", b"\xff"]), max_size=40),
    st.integers(1, 4),
)
def test_line_fingerprints_are_those_of_the_lines_without_their_endings(pieces, batch):
    import io

    from veltrane.sketch import simhash

    data = b"".join(pieces)
    # Literal: split after each \n, then strip \r\n or \n, nothing else.
    lines = [
        m[:-2] if m.endswith(b"\r\n") else m[:-1] if m.endswith(b"\n") else m
        for m in re.findall(rb"[^\n]*\n|[^\n]+$", data)
    ]
    read = []
    old = simhash.BATCH_LINES
    simhash.BATCH_LINES = batch  # batches of a few lines cross every kind of boundary
    try:
        got = [
            fp
            for fps in simhash.line_fingerprints(io.BytesIO(data), 64, read.append)
            for fp in fps
        ]
    finally:
        simhash.BATCH_LINES = old
    assert got == [SimHash(64).compute(line) for line in lines]
    assert sum(read) == len(data)
