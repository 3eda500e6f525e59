import hashlib
import os
import random
import subprocess
import sys

import model_minhash as model
import numpy as np
import pytest
import veltrane
from hypothesis import given
from hypothesis import strategies as st
from veltrane import _native
from veltrane.sketch.minhash import minhash_signatures, shingle_hashes, words

# Characters that take the tokenizer's rarer paths: capital sigma and what decides its final
# form (cased letters, case-ignorable marks, apostrophes, modifier letters), the one character
# whose lower case is two ('İ' -> 'i' + U+0307, not a word character), titlecase and
# multi-byte letters, digits and non-word symbols of each UTF-8 length.
TRICKY = (
    "aZ_9 .:'^`\u03a3\u03c3\u0130\u0307\u02b0\u0345\u01c5\u00e9\u00df\ufb01\u2014"
    "\u00b2\u0660\U0001d400\U0001f600\u00ad\n"
)
# Scripts written without spaces, at both ends of each range and just outside them: letters,
# digits, marks that are no word characters (Thai, Myanmar and Khmer vowel signs, the
# combining acute), punctuation inside the ranges, modifier letters (case-ignorable, next to
# capital sigma), and Latin, ASCII and multi-byte, to cross from runs to single characters.
SPACELESS = (
    "\u3004\u3005\u3007\u3008\u303f\u3041\u309f\u30a0\u30a2\u30fb\u30fc\u30ff\u31f0"
    "\uff65\uff70\uff9f\uffa0\u33ff\u3400\u4dbf\u4e00\u9fff\ua000\uf900\ufaff"
    "\U0001ffff\U00020000\U000323af\U000323b0\U0002f800\U0002fa1f"
    "\u0e01\u0e31\u0e3f\u0e50\u0e81\u0eb1\u1000\u1039\u1040\u10a0\u1780\u17d2\u17e0"
    "\u0301\u03a3a_Z9 .\u00e9\u0130"
)
texts = st.one_of(
    st.text(st.characters(exclude_categories=("Cs",)), max_size=80),
    st.text(st.sampled_from(TRICKY), max_size=120),
    st.text(st.sampled_from(SPACELESS), max_size=120),
    # Long ASCII stretches with rare intrusions cross the 32-byte steps at every offset.
    st.lists(
        st.one_of(
            st.text(st.sampled_from("abcXYZ_09 .,\n"), max_size=70), st.sampled_from(TRICKY)
        ),
        max_size=8,
    ).map("".join),
    # The same with characters of the scripts without spaces.
    st.lists(
        st.one_of(
            st.text(st.sampled_from("abcXYZ_09 .,\n"), max_size=70),
            st.text(st.sampled_from(SPACELESS), max_size=4),
        ),
        max_size=8,
    ).map("".join),
)


@given(texts)
def test_words_equal_the_regex(text):
    assert words(text) == model.words(text)


def corrupt(args):
    # Bad bytes dropped into valid UTF-8, anywhere, also inside a character.
    text, bad, at = args
    data = text.encode("utf-8")
    at %= len(data) + 1
    return data[:at] + bad + data[at:]


@given(
    st.binary(max_size=100)
    | st.tuples(
        texts,
        # Encoded surrogates and a Han character cut short, besides any bytes.
        st.binary(min_size=1, max_size=3) | st.sampled_from([b"\xed\xa0\x80", b"\xe4\xb8"]),
        st.integers(0, 500),
    ).map(corrupt)
)
def test_bytes_read_as_utf8_with_replacement(data):
    assert words(data) == words(bytearray(data)) == model.words(data)


@given(
    st.lists(texts, max_size=6),
    st.integers(1, 40),
    st.integers(1, 6),
    st.sampled_from([0, 1, 2**64 - 1]),
)
def test_signatures_and_shingles_equal_the_model(batch, num_perm, ngram, seed):
    sigs = minhash_signatures(batch, num_perm, ngram=ngram, seed=seed, threads=2)
    assert sigs.dtype == np.uint32 and sigs.shape == (len(batch), num_perm)
    values, offsets = shingle_hashes(batch, ngram=ngram, threads=2)
    assert offsets.tolist()[0] == 0 and len(offsets) == len(batch) + 1
    for i, text in enumerate(batch):
        assert sigs[i].tolist() == model.signature(text, num_perm, ngram, seed)
        assert values[offsets[i] : offsets[i + 1]].tolist() == model.shingle_set(text, ngram)


@pytest.mark.parametrize("count", [31, 32, 33, 300, 1 << 16, (1 << 16) + 1])
def test_long_shingle_sets_sorted_as_the_model(count):
    # Sets past 32 shingles are sorted by their top bits first, sets past 2^16 as shorter
    # ones: each side of both bounds, with repeated shingles (a small vocabulary).
    rng = random.Random(count)
    text = " ".join(rng.choice(["a", "b", "c", "dd", "e", "ff"]) for _ in range(count + 4))
    values, offsets = shingle_hashes(["x y", text], ngram=5, threads=2)
    assert values[offsets[1] : offsets[2]].tolist() == model.shingle_set(text, 5)


def test_golden_vectors():
    # Pin the hashes and permutations for good: stored signatures depend on them.
    assert model.word_hash("hello") == 0xEDFA8CCB22FBA32E
    fox = "The quick brown fox jumps over the lazy dog"
    assert shingle_hashes([fox])[0].tolist() == [
        9657399604232800416,
        10215866987129309653,
        12104276227895479928,
        15545635256748878050,
        16403710697876820326,
    ]
    assert minhash_signatures([fox, "", "Hello, World!"], 8).tolist() == [
        [877863420, 358746538, 445094625, 606265826, 294758604, 759380270, 165127109, 47167563],
        [2**32 - 1] * 8,
        model.signature("Hello, World!", 8),
    ]
    assert minhash_signatures(["Hello, World!"], 4, seed=2**64 - 1).tolist() == [
        [698500618, 532163803, 1623570370, 604836777]
    ]
    # Each character of Han, Kana and Thai a word, Latin a run.
    mixed = "重复数据删除，日本語のテキスト。ภาษาไทย abc"
    assert minhash_signatures([mixed], 8).tolist() == [
        [57329084, 158928060, 96257996, 175445010, 3565703, 361366382, 800681141, 87606414]
    ]


def test_a_text_without_breaks_is_the_union_of_its_halves():
    # Each Han character is a word, so a text of one unbroken run has a shingle per
    # character: its signature is the least of those of two overlapping halves.
    rng = random.Random(3)
    han = "".join(chr(rng.randrange(0x4E00, 0xA000)) for _ in range(1 << 19))
    half = len(han) // 2
    sigs = minhash_signatures([han, han[: half + 4], han[half:]], 64, ngram=5, threads=1)
    assert (sigs[0] == np.minimum(sigs[1], sigs[2])).all()


LONG_HAN = """
import random, resource, sys, time
from veltrane.minhash import minhash_signatures
rng = random.Random(3)
han = "".join(chr(rng.randrange(0x4E00, 0xA000)) for _ in range(1 << 18)).encode()
for size in (8 << 20, 100 << 20):
    text = (han * (size // len(han) + 1))[: size // 3 * 3]
    before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
    start = time.perf_counter()
    minhash_signatures([text], 128, threads=1)
    seconds = time.perf_counter() - start
    grown = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before
    print(size / seconds, grown * 1024 / size)
"""


@pytest.mark.slow
def test_100_mb_of_han_without_a_break_signs_in_linear_time_and_memory():
    out = subprocess.run(
        [sys.executable, "-c", LONG_HAN], capture_output=True, text=True, check=True
    ).stdout.split()
    small_rate, _, large_rate, large_memory = map(float, out)
    # Linear: a quadratic scan would sign 100 MB 12 times slower per byte than 8 MB (a
    # shared machine under IO pressure has slowed the large run 3.2 times alone). About
    # 12 bytes of memory per byte of text (bounds, hashes and shingles of a word a
    # character), no more than a Latin text of one-letter words takes.
    assert large_rate > small_rate / 5
    assert large_memory < 16


def test_the_exported_mixer_is_the_models():
    # Python code (the Dask searches) hashes through these, as the native code does.
    values = [0, 1, 2**63, 2**64 - 1, model.K, 0x0123456789ABCDEF]
    assert _native.mix64(np.array(values, dtype=np.uint64)).tolist() == list(
        map(model.mix64, values)
    )
    assert _native.mix64(values[:0]).dtype == np.uint64 and _native.GOLDEN == model.K


CHILD = """
import hashlib, random, sys
from veltrane import _native
from veltrane.sketch.minhash import minhash_signatures, words
rng = random.Random(5)
alphabet = sys.argv[1]
docs = ["".join(rng.choice(alphabet) for _ in range(rng.randrange(300))) for _ in range(300)]
sigs = [minhash_signatures(docs[:n], p, ngram=g, seed=7, threads=2) for p, g, n in SHAPES]
print(_native.isa(), hashlib.sha256(repr([words(d) for d in docs]).encode()).hexdigest(),
      *(hashlib.sha256(s.tobytes()).hexdigest() for s in sigs))
"""
# (permutations, shingle words, texts): every way a kernel splits its groups (one, four and
# eight registers at once, and the rest after), and shingles longer than its unrolled ones.
SHAPES = [(40, 2, 300), (128, 5, 60), (300, 9, 30)]


@pytest.mark.parametrize(
    "alphabet",
    [
        "abcdefghij  ABC\u00e9\u03a3'\n" * 3 + TRICKY + SPACELESS,
        # All ASCII, words of 1 to 30 bytes: the vector path that hashes four words at once,
        # across its 8- and 16-byte edges and near the end of the text, where it falls back.
        "abcdefgh_7XYZ  .\n",
    ],
    ids=["mixed", "ascii"],
)
@pytest.mark.parametrize("isa", _native.isas())
def test_each_instruction_set_gives_the_same_results(isa, alphabet):
    # VELTRANE_ISA is read once per process, so each kernel runs in a child of its own.
    env = dict(os.environ, VELTRANE_ISA=isa)
    out = subprocess.run(
        [sys.executable, "-c", f"SHAPES = {SHAPES!r}\n" + CHILD, alphabet],
        env=env,
        capture_output=True,
        text=True,
        check=True,
    ).stdout.split()
    import random

    rng = random.Random(5)
    docs = ["".join(rng.choice(alphabet) for _ in range(rng.randrange(300))) for _ in range(300)]
    sigs = [
        np.array([model.signature(d, p, g, 7) for d in docs[:n]], dtype=np.uint32)
        for p, g, n in SHAPES
    ]
    assert out == [
        isa,
        hashlib.sha256(repr([model.words(d) for d in docs]).encode()).hexdigest(),
        *(hashlib.sha256(s.tobytes()).hexdigest() for s in sigs),
    ]


def test_threads_do_not_change_signatures():
    docs = [f"doc {i} " + "word " * (i % 50) + str(i * 7919) for i in range(1000)]
    one = minhash_signatures(docs, 64, threads=1)
    assert np.array_equal(one, minhash_signatures(docs, 64, threads=3))
    assert np.array_equal(one, veltrane.minhash_signatures(iter(docs), 64))


@pytest.mark.parametrize("threads", [1, 2])
def test_signing_with_a_progress_report_counts_every_text_and_signs_the_same(threads):
    docs = [f"doc {i} " + "word " * (i % 50) + str(i * 7919) for i in range(40_000)]
    seen: list[tuple[str, int, int | None]] = []
    got = minhash_signatures(docs, 32, threads=threads, progress=lambda *r: seen.append(r))
    assert np.array_equal(got, minhash_signatures(docs, 32, threads=threads))
    assert seen[0] == ("signing", 0, len(docs)) and seen[-1] == ("signing", len(docs), len(docs))
    assert [d for _, d, _ in seen] == sorted(d for _, d, _ in seen)

    def stop(step, done, total):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        minhash_signatures(docs * 10, 32, threads=threads, progress=stop)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda: minhash_signatures(["a"], 0), ValueError, "num_perm must be at least 1, got 0"),
        (lambda: minhash_signatures(["a"], ngram=0), ValueError, "ngram must be at least 1"),
        (lambda: shingle_hashes(["a"], ngram=-1), ValueError, "ngram must be at least 1"),
        (lambda: minhash_signatures(["a"], seed=-1), ValueError, "seed must be from 0"),
        (lambda: minhash_signatures(["a"], threads=0), ValueError, "threads must be at least 1"),
        (lambda: minhash_signatures(["a"], 2.0), TypeError, "num_perm must be an int"),
        (
            lambda: minhash_signatures(["a", b"b", bytearray(), 3]),
            TypeError,
            r"texts\[3\] must be str, bytes or bytearray, not int",
        ),
        (lambda: shingle_hashes(["a", "\ud800"]), TypeError, r"texts\[1\] is a str without"),
        (lambda: minhash_signatures("abc"), TypeError, "not a single str"),
        (lambda: words(["a"]), TypeError, "text must be str, bytes or bytearray, not list"),
    ],
)
def test_bad_input(call, error, message):
    with pytest.raises(error, match=message):
        call()


@pytest.mark.parametrize("seed", [0, 12345])
def test_equal_entries_estimate_the_jaccard_similarity(seed):
    # The permutation family must order the keys independently enough: over 4096 entries the
    # estimate's spread is sqrt(J (1 - J) / 4096) <= 0.008, so 0.04 is five of them.
    import random

    rng = random.Random(seed)
    vocabulary = [f"w{k}" for k in range(5000)]
    base = rng.choices(vocabulary, k=600)
    for edits in (10, 40, 150):
        other = list(base)
        for at in rng.sample(range(len(base)), edits):
            other[at] = rng.choice(vocabulary)
        a, b = " ".join(base), " ".join(other)
        sa, sb = set(model.shingle_set(a, 5)), set(model.shingle_set(b, 5))
        jaccard = len(sa & sb) / len(sa | sb)
        sigs = minhash_signatures([a, b], 4096, seed=seed)
        assert abs(np.mean(sigs[0] == sigs[1]) - jaccard) < 0.04
