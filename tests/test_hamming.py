"""veltrane's near-duplicate search against brute force: batch fingerprints, pairs, the index,
clusters, deduplicate_texts."""

import random
import subprocess

import numpy as np
import pytest
import veltrane
from address_limit import python_under_address_limit
from dedup_core import SimHash
from hypothesis import given
from hypothesis import strategies as st
from veltrane.sketch.minhash import words

PAIR_DTYPE = np.dtype([("i", "<i8"), ("j", "<i8"), ("distance", "u1")])
THREADS = (1, 2)  # one worker, and several that split the batches
POPCOUNT = np.array([bin(b).count("1") for b in range(256)], dtype=np.uint8)


def popcount(x):
    x = np.ascontiguousarray(x, dtype=np.uint64)
    return POPCOUNT[x.view(np.uint8)].reshape(*x.shape, 8).sum(axis=-1)


def brute_pairs(fps, k, rows=500):
    """Sorted (i, j, distance) of every pair i < j within k bits, by comparing all pairs."""
    fps = np.asarray(fps, dtype=np.uint64)
    found = []
    for s in range(0, len(fps), rows):
        d = popcount(fps[s : s + rows, None] ^ fps[None, :])
        i, j = np.nonzero(np.triu(d <= k, s + 1))
        found += zip((i + s).tolist(), j.tolist(), d[i, j].tolist())
    return found


def pairs(fps, k, threads):
    found = veltrane.near_duplicate_pairs(fps, k, threads=threads)
    assert found.dtype == PAIR_DTYPE
    return found.tolist()


def union_find_reps(n, edges):
    """The lowest index of each item's connected component, by plain relabelling."""
    reps = list(range(n))
    for i, j in edges:
        a, b = reps[i], reps[j]
        low = min(a, b)
        reps = [low if r in (a, b) else r for r in reps]
    return reps


def le64(fp):
    return int.from_bytes(fp, "little")


def with_neighbours(rng, n, planted, k):
    """n random fingerprints plus `planted` copies of some of them with 0 to k + 1 bits flipped."""
    base = [rng.getrandbits(64) for _ in range(n)]
    near = [
        rng.choice(base) ^ sum(1 << b for b in rng.sample(range(64), rng.randint(0, k + 1)))
        for _ in range(planted)
    ]
    items = base + near
    rng.shuffle(items)
    return np.array(items, dtype=np.uint64)


# Sizes that give the thread pool several batches of groups at the distances that have
# hundreds of groups per block (0 and 3), and the comparison sort (wide blocks, at 0) as well as
# the counting sort (at 3 and up).
@pytest.mark.parametrize("threads", THREADS)
@pytest.mark.parametrize("n, k", [(0, 3), (1, 0), (3000, 0), (2000, 3), (1000, 8), (500, 16)])
def test_pairs_equal_brute_force_on_random_sets(n, k, threads):
    fps = with_neighbours(random.Random(n + k), n, n // 2, k)
    assert pairs(fps, k, threads) == brute_pairs(fps, k)


def block_bits(k):
    """Bit positions of each of the k + 1 pigeonhole blocks as hamming.cpp lays them out (the
    first 64 % (k + 1) blocks one bit wider), so that flips can straddle their boundaries."""
    count, start, out = k + 1, 0, []
    for b in range(count):
        width = 64 // count + (b < 64 % count)
        out.append(range(start, start + width))
        start += width
    return out


@pytest.mark.parametrize("k", range(veltrane.MAX_DISTANCE + 1))
def test_native_block_layout_is_the_model(k):
    # veltrane.dask cuts its shuffle keys by this layout: it must be the search's own.
    assert veltrane._native.blocks(k) == [(b.start, len(b)) for b in block_bits(k)]


@pytest.mark.parametrize("k", range(veltrane.MAX_DISTANCE + 1))
def test_pairs_at_exactly_k_and_k_plus_one_bits(k):
    blocks = block_bits(k)
    masks = []
    for agree in range(k + 1):  # k flips that leave only block `agree` intact
        for edge in (0, -1):  # the first or the last bit of every other block
            masks.append(sum(1 << b[edge] for n, b in enumerate(blocks) if n != agree))
    masks += [sum(1 << b[edge] for b in blocks) for edge in (0, -1)]  # every block hit: k + 1
    for length in (k, k + 1):  # a run of adjacent flips, inside one block or across several
        masks += [((1 << length) - 1) << shift for shift in (0, 5, 64 - length)]
    rng = random.Random(k)
    items = []
    for mask in masks:
        x = rng.getrandbits(64)
        items += [x, x ^ mask]
    fps = np.array(items, dtype=np.uint64)
    expected = brute_pairs(fps, k)
    planted = {(2 * m, 2 * m + 1) for m, mask in enumerate(masks) if mask.bit_count() <= k}
    assert planted <= {(i, j) for i, j, _ in expected}
    for threads in THREADS:
        assert pairs(fps, k, threads) == expected


@pytest.mark.parametrize("k", [0, 3, 16])
def test_all_equal_fingerprints_pair_with_each_other(k):
    n = 150
    expected = [(i, j, 0) for i in range(n) for j in range(i + 1, n)]
    for threads in THREADS:
        assert pairs(np.full(n, 0xDEADBEEF, dtype=np.uint64), k, threads) == expected


@given(st.data())
def test_pairs_property(data):
    k = data.draw(st.integers(0, veltrane.MAX_DISTANCE))
    fps = with_neighbours(
        random.Random(data.draw(st.integers(0, 2**32))),
        data.draw(st.integers(1, 40)),
        data.draw(st.integers(0, 40)),
        k,
    )
    expected = brute_pairs(fps, k)
    assert pairs(fps, k, 1) == expected
    assert pairs(fps, k, 2) == expected
    as_bytes = [int(x).to_bytes(8, "little") for x in fps]
    assert pairs(as_bytes, k, 1) == expected


def test_chain_is_one_cluster_though_its_ends_are_far_apart():
    chain = [(1 << t) - 1 for t in range(64)]  # each one bit from the next; ends 63 bits apart
    random.Random(0).shuffle(chain)
    fps = np.array(chain, dtype=np.uint64)
    found = veltrane.near_duplicate_pairs(fps, 1)
    assert len(found) == 63
    assert veltrane.clusters(64, found).tolist() == [0] * 64


@given(st.data())
def test_clusters_equal_union_find(data):
    n = data.draw(st.integers(1, 30))
    item = st.integers(0, n - 1)
    edges = data.draw(st.lists(st.tuples(item, item), max_size=40))
    assert veltrane.clusters(n, edges).tolist() == union_find_reps(n, edges)


def test_index_stores_each_distinct_fingerprint_once():
    index = veltrane.NearDuplicateIndex(3)
    index.add(np.array([5, 6], dtype=np.uint64))
    for _ in range(50):
        index.add(np.full(200, 5, dtype=np.uint64))
    assert len(index) == 10_002 and index._index.distinct == 2
    assert index.query(4).tolist() == [0, 1, *range(2, 10_002)]  # 4 is one bit from 5 and 6


@pytest.mark.parametrize("k", [0, 3, 12])
def test_index_queries_equal_brute_force_as_it_grows(k):
    rng = random.Random(k)
    index = veltrane.NearDuplicateIndex(k)
    seen = np.empty(0, dtype=np.uint64)
    for batch in range(3):
        new = with_neighbours(rng, 200, 100, k)
        ids = index.add([int(x).to_bytes(8, "little") for x in new] if batch == 1 else new)
        assert ids.tolist() == list(range(len(seen), len(seen) + len(new)))
        seen = np.concatenate([seen, new])
        assert len(index) == len(seen)
        for q in [int(x) for x in seen[::37]] + [rng.getrandbits(64), 0, 2**64 - 1]:
            expected = np.nonzero(popcount(seen ^ np.uint64(q)) <= k)[0].tolist()
            assert index.query(q).tolist() == expected
            assert index.query(q.to_bytes(8, "little")).tolist() == expected


TEXTS = [
    "",
    " ",
    "abc",
    "ABC  ",
    "hello world",
    "a\tb c",
    "Éé ü",
    "word " * 300,
    b"abc",
    b"\xff\x00 \x80",
    bytearray(b"HELLO world"),
    type("S", (str,), {})("x y"),
]


@pytest.mark.parametrize("threads", THREADS)
@pytest.mark.parametrize("bits", [0, 8, 12, 64, 128])
def test_fingerprints_equal_compute(bits, threads):
    texts = TEXTS * 20  # more texts than one batch of work
    assert veltrane.fingerprints(texts, bits, threads=threads) == [
        SimHash(bits).compute(t) for t in texts
    ]


@given(st.lists(st.one_of(st.text(), st.binary(), st.binary().map(bytearray)), max_size=150))
def test_fingerprints64_equal_compute(texts):
    for threads in THREADS:
        got = veltrane.fingerprints64(texts, threads=threads)
        assert got.dtype == np.uint64
        assert got.tolist() == [le64(SimHash().compute(t)) for t in texts]
    # Of the words: compute of the words joined by single spaces.
    got = veltrane.fingerprints64(texts, threads=2, tokens="words")
    assert got.tolist() == [le64(SimHash().compute(" ".join(words(t)))) for t in texts]


def test_texts_are_copied_or_kept_alive():
    # Fresh objects referenced only by the generator, and a bytearray changed once yielded:
    # the result must be that of the values as they were handed over.
    def texts():
        buf = bytearray(b"first words")
        for k in range(300):
            yield buf if k == 0 else (f"text number {k}" if k % 2 else f"bytes {k}".encode())
            buf[:] = b"changed afterwards to something longer"

    expected = [le64(SimHash().compute(b"first words"))] + [
        le64(SimHash().compute(f"text number {k}" if k % 2 else f"bytes {k}".encode()))
        for k in range(1, 300)
    ]
    assert veltrane.fingerprints64(texts(), threads=2).tolist() == expected


def test_deduplicate_texts_against_compute_and_brute_force():
    rng = random.Random(1)
    words = [f"w{n}" for n in range(2000)]
    originals = [" ".join(rng.choices(words, k=200)) for _ in range(60)]
    # Upper-cased copies and repeats have the same fingerprint; an extra space shifts a few bits.
    texts = (
        originals
        + [t.upper() for t in originals[:20]]
        + [t.replace(" ", "  ", 1) for t in originals[20:40]]
        + originals[:5]
    )
    rng.shuffle(texts)
    fps = [le64(SimHash().compute(t)) for t in texts]
    reps = union_find_reps(len(texts), [(i, j) for i, j, _ in brute_pairs(fps, 3)])
    result = veltrane.deduplicate_texts(
        texts, 3, method="simhash", threads=2, clusters="components"
    )
    assert result.keep.tolist() == [m for m in range(len(texts)) if reps[m] == m]
    assert result.duplicate_of.dtype == np.int64
    assert result.duplicate_of.tolist() == [-1 if r == m else r for m, r in enumerate(reps)]
    assert (result.duplicate_of >= 0).sum() >= 25  # at least the upper-cased copies and repeats


def with_copies(rng, distinct, n, k):
    """n fingerprints drawn from `distinct` values (half of them near copies of the others, up
    to k + 1 bits away), so that most values occur many times, interleaved."""
    base = [rng.getrandbits(64) for _ in range((distinct + 1) // 2)]
    near = [
        rng.choice(base) ^ sum(1 << b for b in rng.sample(range(64), rng.randint(1, k + 1)))
        for _ in range(distinct // 2)
    ]
    return np.array(rng.choices(base + near, k=n), dtype=np.uint64)


def chain_of_copies(copies):
    """A chain of values one bit apart (ends 63 bits apart), each value `copies` times, in an
    order that makes every value's first occurrence come late and copies meet across values."""
    chain = [(1 << t) - 1 for t in range(64)]
    items = [v for _ in range(copies) for v in chain]
    random.Random(copies).shuffle(items)
    return np.array(items, dtype=np.uint64)


COPY_SETS = {
    "empty": (np.empty(0, dtype=np.uint64), 3),
    "one": (np.array([7], dtype=np.uint64), 3),
    "all equal": (np.full(500, 0xDEADBEEF, dtype=np.uint64), 3),
    "all equal, k=0": (np.full(300, 2**64 - 1, dtype=np.uint64), 0),
    "chain across copies": (chain_of_copies(8), 1),
    "many copies": (with_copies(random.Random(1), 40, 2000, 3), 3),
    "many copies, k=0": (with_copies(random.Random(2), 30, 1000, 0), 0),
    "many copies, k=12": (with_copies(random.Random(3), 50, 1500, 12), 12),
}


@pytest.mark.parametrize("threads", THREADS)
@pytest.mark.parametrize("name", COPY_SETS)
def test_collapsed_paths_equal_the_pairs(name, threads):
    fps, k = COPY_SETS[name]
    expected = veltrane.near_duplicate_pairs(fps, k, threads=threads)
    if len(fps) <= 2000:
        assert expected.tolist() == brute_pairs(fps, k)
    reps = veltrane.clusters(len(fps), expected)
    got = veltrane.near_duplicate_clusters(fps, k, threads=threads)
    assert got.dtype == np.int64 and np.array_equal(got, reps)
    for batch_size in (1, 1000, 1 << 16):
        batches = list(
            veltrane.iter_near_duplicate_pairs(fps, k, threads=threads, batch_size=batch_size)
        )
        assert all(0 < len(b) <= batch_size and b.dtype == PAIR_DTYPE for b in batches)
        assert len(batches) == -(-len(expected) // batch_size)  # every batch full but the last
        streamed = np.concatenate(batches) if batches else np.empty(0, dtype=PAIR_DTYPE)
        assert np.array_equal(streamed, expected)
    if name == "chain across copies":
        assert set(reps.tolist()) == {0}


@given(st.data())
def test_collapsed_paths_property(data):
    k = data.draw(st.integers(0, veltrane.MAX_DISTANCE))
    rng = random.Random(data.draw(st.integers(0, 2**32)))
    fps = with_copies(rng, data.draw(st.integers(1, 12)), data.draw(st.integers(0, 120)), k)
    expected = brute_pairs(fps, k)
    streamed = np.concatenate(
        [np.empty(0, PAIR_DTYPE), *veltrane.iter_near_duplicate_pairs(fps, k, batch_size=7)]
    )
    assert streamed.tolist() == expected
    assert veltrane.near_duplicate_clusters(fps, k).tolist() == union_find_reps(
        len(fps), [(i, j) for i, j, _ in expected]
    )


def test_deduplicate_texts_with_thousands_of_copies():
    texts = ["boilerplate line", "other line"] * 3000 + ["Boilerplate  LINE", "x"]
    rng = random.Random(5)
    rng.shuffle(texts)
    fps = veltrane.fingerprints64(texts)
    reps = veltrane.clusters(len(texts), veltrane.near_duplicate_pairs(fps, 3))
    result = veltrane.deduplicate_texts(texts, 3, method="simhash", clusters="components")
    assert np.array_equal(result.duplicate_of, np.where(reps == np.arange(len(texts)), -1, reps))
    assert result.keep.tolist() == np.flatnonzero(reps == np.arange(len(texts))).tolist()


ZEROS = np.zeros(3, dtype=np.uint64)


@pytest.mark.parametrize(
    "call, error, message",
    [
        (
            lambda: veltrane.fingerprints(["a", 1]),
            TypeError,
            "texts[1] must be str, bytes or bytearray, not int",
        ),
        (
            lambda: veltrane.fingerprints64([b"a", memoryview(b"b")]),
            TypeError,
            "texts[1] must be str, bytes or bytearray, not memoryview",
        ),
        (
            lambda: veltrane.fingerprints64(["a", "b\udcff"]),
            TypeError,
            "texts[1] is a str without",
        ),
        (
            lambda: veltrane.fingerprints([], -8),
            ValueError,
            "cannot create std::vector larger than max_size()",
        ),
        (
            lambda: veltrane.fingerprints64(["a"], threads=0),
            ValueError,
            "threads must be at least 1, got 0",
        ),
        (
            lambda: veltrane.near_duplicate_pairs(ZEROS, 17),
            ValueError,
            "max_distance must be from 0 to 16, got 17",
        ),
        (
            lambda: veltrane.near_duplicate_pairs(ZEROS, -1),
            ValueError,
            "max_distance must be from 0 to 16, got -1",
        ),
        (
            lambda: veltrane.NearDuplicateIndex(17),
            ValueError,
            "max_distance must be from 0 to 16, got 17",
        ),
        (
            lambda: veltrane.near_duplicate_pairs(ZEROS, threads=0),
            ValueError,
            "threads must be at least 1, got 0",
        ),
        (
            lambda: veltrane.near_duplicate_pairs(ZEROS.astype(np.int64)),
            TypeError,
            "one-dimensional uint64 array, got 1-dimensional int64",
        ),
        (
            lambda: veltrane.near_duplicate_pairs(ZEROS.reshape(3, 1)),
            TypeError,
            "one-dimensional uint64 array, got 2-dimensional uint64",
        ),
        (
            lambda: veltrane.near_duplicate_pairs([bytes(8), bytes(7)]),
            TypeError,
            "fingerprints[1] must be an 8-byte bytes object, got 7 bytes",
        ),
        (lambda: veltrane.NearDuplicateIndex().query(1 << 64), ValueError, "from 0 to 2**64 - 1"),
        (
            lambda: veltrane.clusters(3, [(0, 1), (2, 3)]),
            ValueError,
            "pair 1 (2, 3) names an item outside 0..2",
        ),
        (lambda: veltrane.clusters(3, [(-1, 0)]), ValueError, "outside 0..2"),
        (lambda: veltrane.clusters(3, [(0, 2**63)]), ValueError, "outside 0..2"),
        (lambda: veltrane.fingerprints64("abc"), TypeError, "not a single str"),
        (lambda: veltrane.fingerprints64(["a"], tokens="x"), ValueError, "'raw' or 'words'"),
    ],
)
def test_errors(call, error, message):
    with pytest.raises(error) as info:
        call()
    assert message in str(info.value)


@pytest.mark.no_sanitizer
def test_groups_of_twenty_thousand_copies_under_a_memory_limit(tmp_path):
    # Five lines 20,000 times each are a billion pairs (24 GB as pairs); collapsed, the corpus
    # is 105,000 fingerprints of 5,005 distinct values, which fit in a few MB.
    setup = f"""
        import contextlib, io, json, random
        import numpy as np
        import veltrane
        from veltrane import cli

        texts = [f"boilerplate line {{g}} of every file" for g in range(5)] * 20_000
        texts += [f"line {{k}} " + "words " * (k % 7) + str(k * k) for k in range(5000)]
        random.Random(0).shuffle(texts)
        path = {str(tmp_path / "corpus.txt")!r}
        with open(path, "w") as f:
            f.write("\\n".join(texts) + "\\n")
        fps = veltrane.fingerprints64(texts)
        values, first, group = np.unique(fps, return_index=True, return_inverse=True)
        # The model: clusters of the distinct values, each named by its first copy.
        small = veltrane.clusters(len(values), veltrane.near_duplicate_pairs(values, 3))
        low = np.full(len(values), len(fps))
        np.minimum.at(low, small, first)
        expected = low[small][group]
        """
    code = """
        assert np.array_equal(veltrane.near_duplicate_clusters(fps, 3), expected)
        dedup = veltrane.deduplicate_texts(texts, 3, method="simhash", clusters="components")
        assert np.array_equal(dedup.keep, np.flatnonzero(expected == np.arange(len(fps))))
        batch = next(veltrane.iter_near_duplicate_pairs(fps, 3, batch_size=1000))
        assert len(batch) == 1000 and (batch["i"] == batch["i"][0]).all()
        out = io.StringIO()
        command = ["near-dups", "--method", "simhash", "--format", "clusters", path,
                   "--clusters", "components"]
        with contextlib.redirect_stdout(out):
            assert cli.main(command) == 0
        rows = [json.loads(line) for line in out.getvalue().splitlines()]
        assert {r["i"]: r["cluster"] for r in rows} == {
            i: r for i, r in enumerate(expected.tolist()) if (expected == r).sum() > 1
        }
        print(len(dedup.keep), len(rows))
        """
    result = subprocess.run(
        python_under_address_limit(setup, code), capture_output=True, text=True, timeout=300
    )
    assert result.returncode == 0, result.stderr
    keep, rows = map(int, result.stdout.split())
    assert keep <= 5005 and rows >= 100_000


def test_progress_reports_each_step_and_changes_no_result():
    # Past one report batch, so that texts are handled in batches and the batches joined.
    texts = [f"w{k % 997} x{k % 13} y{k % 7} z{k % 5} v{k}" for k in range(20_000)]
    seen: list[tuple[str, int, int | None]] = []
    report = lambda step, done, total: seen.append((step, done, total))  # noqa: E731
    for method in ("minhash", "simhash"):
        seen.clear()
        got = veltrane.deduplicate_texts(texts, method=method, ngram=2, progress=report)
        want = veltrane.deduplicate_texts(texts, method=method, ngram=2)
        np.testing.assert_array_equal(got.duplicate_of, want.duplicate_of)
        steps = list(dict.fromkeys(step for step, _, _ in seen))
        first = "signing" if method == "minhash" else "fingerprinting"
        assert steps[0] == first and "searching" in steps, steps
        for step in steps:
            counts = [(d, t) for s, d, t in seen if s == step]
            assert [d for d, _ in counts] == sorted(d for d, _ in counts), step
            done, total = counts[-1]
            assert total is None or done == total, (step, counts[-1])
    fps = veltrane.fingerprints64(texts, progress=report)
    np.testing.assert_array_equal(fps, veltrane.fingerprints64(texts))
    bad = [*texts[:17_000], 5, *texts[17_000:]]
    with pytest.raises(TypeError, match=r"texts\[17000\]"):
        veltrane.minhash_signatures(bad, progress=report)


def test_raising_from_progress_cancels_the_search():
    fps = np.random.default_rng(1).integers(0, 2**63, 200_000, dtype=np.uint64)

    def stop(step, done, total):
        if step == "searching":
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        veltrane.near_duplicate_clusters(fps, 6, progress=stop)
    # The cancelled search left nothing behind: the next one runs to its end.
    assert len(veltrane.near_duplicate_clusters(fps[:1000], 6)) == 1000


def test_pairs_with_a_progress_report_are_all_the_pairs():
    # Near copies of a few values: far more pairs than the search finds between blocks.
    rng = np.random.default_rng(8)
    base = rng.integers(0, 2**63, 300, dtype=np.uint64)
    flips = np.uint64(1) << rng.integers(0, 64, 3000).astype(np.uint64)
    fps = np.unique(base[rng.integers(0, 300, 3000)] ^ flips)
    want = veltrane.near_duplicate_pairs(fps, 3)
    got = veltrane.near_duplicate_pairs(fps, 3, progress=lambda *report: None)
    assert len(want) > 1000 and got.tolist() == want.tolist()
