"""The Jaccard near-duplicate search against brute force: bands, verification, copies, clusters,
and the errors of bad arguments."""

import itertools
import re

import numpy as np
import pytest
import veltrane
from veltrane import _native
from veltrane.search.banding import lsh_parameters
from veltrane.search.jaccard import JACCARD_PAIR_DTYPE

THREADS = (1, 2)


def random_signatures(rng, n, width, alphabet, dtype):
    """Rows from a small alphabet, so bands often agree, with some rows copied whole."""
    sig = rng.integers(0, alphabet, size=(n, width)).astype(dtype)
    copies = rng.integers(0, n, size=(n // 5, 2))
    sig[copies[:, 0]] = sig[copies[:, 1]]
    return sig


def brute_candidates(sig, ids, bands, rows):
    found = []
    for a, b in itertools.combinations(ids, 2):
        if any(
            np.array_equal(sig[a, k * rows : (k + 1) * rows], sig[b, k * rows : (k + 1) * rows])
            for k in range(bands)
        ):
            found.append((a, b))
    return found


@pytest.mark.parametrize("dtype", [np.uint32, np.uint64])
@pytest.mark.parametrize("threads", THREADS)
def test_band_candidates_equal_brute_force(dtype, threads, rounds):
    rng = np.random.default_rng(1)
    for _ in range(rounds(30)):
        n, width = int(rng.integers(2, 60)), int(rng.integers(1, 24))
        rows = int(rng.integers(1, width + 1))
        bands = int(rng.integers(1, width // rows + 1))
        sig = random_signatures(rng, n, width, int(rng.integers(2, 4)), dtype)
        ids = np.sort(rng.choice(n, size=int(rng.integers(2, n + 1)), replace=False))
        i, j = _native.jaccard_candidates(sig, ids.astype(np.int64), bands, rows, threads)
        assert list(zip(i.tolist(), j.tolist())) == brute_candidates(sig, ids, bands, rows)


@pytest.mark.parametrize("dtype", [np.uint32, np.uint64])
def test_signature_search_is_banding_then_estimate(dtype, rounds):
    """On signatures: every pair that shares a band and agrees on at least `threshold` of its
    values, copies included at 1.0."""
    rng = np.random.default_rng(2)
    for _ in range(rounds(20)):
        n, bands, rows = int(rng.integers(2, 50)), int(rng.integers(1, 6)), int(rng.integers(1, 4))
        width = bands * rows + int(rng.integers(0, 3))
        sig = random_signatures(rng, n, width, 2, dtype)
        threshold = float(rng.choice([0.3, 0.5, 2 / 3, 1.0]))
        expected = [
            (a, b, float(np.mean(sig[a] == sig[b])))
            for a, b in brute_candidates(sig, range(n), bands, rows)
        ]
        for verify in ("estimate", None):
            found = veltrane.near_duplicate_pairs_jaccard(
                sig, threshold, bands=bands, rows=rows, verify=verify, threads=2
            )
            assert found.dtype == JACCARD_PAIR_DTYPE
            want = [p for p in expected if verify is None or p[2] >= threshold]
            assert found.tolist() == want


def shingles(text, n):
    words = re.findall(r"\w+", text.lower())
    if not words:
        return set()
    return {tuple(words[k : k + n]) for k in range(max(1, len(words) - n + 1))}


def jaccard(a, b):
    return len(a & b) / len(a | b) if a | b else 1.0


def small_corpus(rng, n):
    """Texts from a few sources with words changed, dropped and repeated; some exact copies,
    some differing only in case and punctuation (the same shingles)."""
    vocabulary = [f"w{k}" for k in range(40)] + ["Ünïcode", "straße", "x_y", "42"]
    sources = [list(rng.choice(vocabulary, size=int(rng.integers(0, 40)))) for _ in range(6)]
    texts = []
    for _ in range(n):
        words = list(sources[int(rng.integers(len(sources)))])
        for _ in range(int(rng.integers(0, 4))):
            if words:
                words[int(rng.integers(len(words)))] = str(rng.choice(vocabulary))
        texts.append(" ".join(words))
    texts += [texts[3], texts[3].upper() + "!", texts[5], ""]
    return texts


@pytest.mark.parametrize("ngram", [1, 3, 5])
def test_exact_pairs_equal_brute_force_jaccard(ngram, rounds):
    """With a band per value every pair sharing a shingle is a candidate, so exact verification
    must return exactly the brute-force pairs, with their Jaccard similarity."""
    rng = np.random.default_rng(ngram)
    for _ in range(rounds(1)):
        texts = small_corpus(rng, 60)
        sets = [shingles(t, ngram) for t in texts]
        for threshold in (0.5, 0.8, 1.0):
            expected = [
                (a, b, jaccard(sets[a], sets[b]))
                for a, b in itertools.combinations(range(len(texts)), 2)
            ]
            expected = [p for p in expected if p[2] >= threshold]
            found = veltrane.near_duplicate_pairs_jaccard(
                texts, threshold, bands=64, rows=1, ngram=ngram, num_perm=64
            )
            assert found.tolist() == expected


def test_default_search_finds_near_copies():
    """The chosen bands miss nothing on light edits of long texts, and never report a pair
    below the threshold."""
    rng = np.random.default_rng(7)
    words = [f"word{k}" for k in range(5000)]
    base = [" ".join(rng.choice(words, size=300)) for _ in range(20)]
    texts = list(base)
    for t in base:
        w = t.split()
        w[int(rng.integers(len(w)))] = "changed"
        texts.append(" ".join(w))
    sets = [shingles(t, 5) for t in texts]
    found = veltrane.near_duplicate_pairs_jaccard(texts)
    expected = [
        (a, b, jaccard(sets[a], sets[b]))
        for a, b in itertools.combinations(range(len(texts)), 2)
        if jaccard(sets[a], sets[b]) >= 0.8
    ]
    assert found.tolist() == expected and len(expected) == 20


def test_identical_signatures_of_different_sets_are_verified_not_copied():
    """Two signature values rarely tell apart sets that differ in one shingle of 200: such
    texts share a signature but are not copies, so exact verification reports their true
    similarity, and their copies pair with both at the right similarity."""
    a = " ".join(f"w{k}" for k in range(204))
    texts = [a, a + " extra", a, a + " extra"]
    sig = veltrane.minhash_signatures(texts, 2)
    assert (sig[0] == sig[1]).all()  # the case under test
    sets = [shingles(t, 5) for t in texts]
    expected = [(x, y, jaccard(sets[x], sets[y])) for x, y in itertools.combinations(range(4), 2)]
    found = veltrane.near_duplicate_pairs_jaccard(texts, 0.9, num_perm=2)
    assert found.tolist() == expected
    assert sorted({s for _, _, s in expected}) == [200 / 201, 1.0]


def many_copies():
    """Texts drawn with replacement from a small corpus: groups of copies, joined in chains."""
    rng = np.random.default_rng(3)
    texts = small_corpus(rng, 40)
    return [texts[int(k)] for k in rng.integers(0, len(texts), size=120)]


CORPORA = {
    "many copies": many_copies(),
    "empty": [],
    "one text": ["a few words"],
    "all equal": ["the same five words here"] * 30,
    "all without words": ["", "!", " ."] * 5,
}


@pytest.mark.parametrize("texts", CORPORA.values(), ids=CORPORA.keys())
@pytest.mark.parametrize("verify", ["exact", "estimate", None])
def test_pair_stream_equals_the_pairs(texts, verify):
    """Batches of the expanded copies, cut anywhere, join to the array; with a band per value
    and exact verification, both are the brute-force pairs."""
    kwargs = dict(ngram=2, num_perm=32, verify=verify)
    for bands, rows in [(16, 2), (32, 1)]:
        pairs = veltrane.near_duplicate_pairs_jaccard(texts, 0.6, bands=bands, rows=rows, **kwargs)
        for batch_size in (1, 7, 1 << 16):
            batches = list(
                veltrane.iter_near_duplicate_pairs_jaccard(
                    texts, 0.6, bands=bands, rows=rows, batch_size=batch_size, **kwargs
                )
            )
            assert all(0 < len(b) <= batch_size and b.dtype == JACCARD_PAIR_DTYPE for b in batches)
            joined = np.concatenate(batches) if batches else pairs[:0]
            assert joined.tolist() == pairs.tolist()
    if verify == "exact":
        sets = [shingles(t, 2) for t in texts]
        expected = [
            (a, b, jaccard(sets[a], sets[b]))
            for a, b in itertools.combinations(range(len(texts)), 2)
            if jaccard(sets[a], sets[b]) >= 0.6
        ]
        assert pairs.tolist() == expected


@pytest.mark.parametrize("verify", ["exact", "estimate", None])
def test_clusters_of_collapsed_copies_equal_clusters_of_pairs(verify):
    texts = many_copies()
    kwargs = dict(bands=16, rows=2, num_perm=32, ngram=2, verify=verify)
    pairs = veltrane.near_duplicate_pairs_jaccard(texts, 0.6, **kwargs)
    labels = veltrane.near_duplicate_clusters_jaccard(texts, 0.6, **kwargs)
    assert labels.tolist() == veltrane.clusters(len(texts), pairs).tolist()


def test_lsh_parameters():
    assert lsh_parameters(0.8, 128) == (21, 6)
    assert lsh_parameters(0.5, 128) == (42, 3)
    assert lsh_parameters(0.9, 128) == (12, 10)
    assert lsh_parameters(1.0, 128) == (1, 128)


@pytest.mark.parametrize(
    "kwargs, error, message",
    [
        (dict(threshold=0.0), ValueError, r"threshold must be in \(0, 1\], got 0.0"),
        (dict(threshold=1.5), ValueError, r"threshold must be in \(0, 1\], got 1.5"),
        (dict(threshold=float("nan")), ValueError, "threshold must be in"),
        (dict(bands=30, rows=5), ValueError, "num_perm = 128 cannot be divided into 30 bands"),
        (dict(bands=200), ValueError, "num_perm = 128 cannot be divided into 200 bands"),
        (dict(rows=129), ValueError, "cannot be divided into bands of 129 rows"),
        (dict(ngram=0), ValueError, "ngram must be at least 1, got 0"),
        (dict(verify="sometimes"), ValueError, "verify must be"),
        (dict(texts_or_signatures=["a", "b", 3]), TypeError, r"texts\[2\]"),
        (dict(texts_or_signatures="abc"), TypeError, "not a single str"),
        (
            dict(texts_or_signatures=np.zeros((3, 8), np.uint32)),
            ValueError,
            "verify='exact' needs the texts",
        ),
        (
            dict(texts_or_signatures=np.zeros((3, 8), np.int32), verify=None),
            TypeError,
            "uint32 or uint64",
        ),
    ],
)
def test_bad_arguments(kwargs, error, message):
    kwargs = {"texts_or_signatures": ["one text", "another"], **kwargs}
    with pytest.raises(error, match=message):
        veltrane.near_duplicate_pairs_jaccard(**kwargs)


def test_deduplicate_texts_by_minhash_keeps_the_first_of_each_cluster():
    rng = np.random.default_rng(4)
    texts = small_corpus(rng, 80)
    pairs = veltrane.near_duplicate_pairs_jaccard(texts, 0.7, ngram=3)
    labels = veltrane.clusters(len(texts), pairs)
    result = veltrane.deduplicate_texts(
        texts, method="minhash", threshold=0.7, ngram=3, clusters="components"
    )
    first = labels == np.arange(len(texts))
    assert result.keep.tolist() == np.flatnonzero(first).tolist()
    assert result.duplicate_of.tolist() == np.where(first, -1, labels).tolist()
    assert 0 < len(result.keep) < len(texts)
    with pytest.raises(ValueError, match="method must be 'simhash' or 'minhash'"):
        veltrane.deduplicate_texts(texts, method="jaccard")
