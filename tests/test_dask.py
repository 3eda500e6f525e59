"""veltrane.dask against the single-machine search, clusters and deduplication."""

import logging
import os
import random
import subprocess
import sys
import textwrap

import numpy as np
import pytest

dd = pytest.importorskip("dask.dataframe")
dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")
pd = pytest.importorskip("pandas")

import veltrane  # noqa: E402
import veltrane.dask as vdask  # noqa: E402
from veltrane.dask import _collapse  # noqa: E402

pytestmark = pytest.mark.dask


# --- data ------------------------------------------------------------------------------------


def planted(rng, count, copies, max_flips=3, base=None):
    """``count`` random fingerprints (or ``base``) plus ``copies`` copies of random ones with
    up to ``max_flips`` bits flipped (0 flips: exact duplicates)."""
    fps = rng.integers(0, 1 << 64, size=count, dtype=np.uint64) if base is None else base
    sources = rng.integers(0, len(fps), size=copies)
    out = fps[sources].copy()
    flips = rng.integers(0, max_flips + 1, size=copies)
    for t in range(max_flips):
        bit = rng.integers(0, 64, size=copies).astype(np.uint64)
        out[flips > t] ^= np.uint64(1) << bit[flips > t]
    return np.concatenate([fps, out])


def shuffled_ids(rng, n, kind):
    order = rng.permutation(n)
    if kind == "str":
        return np.array([f"doc-{v:07d}" for v in order], dtype=object)
    return order.astype(np.int64) * 3 - n  # negative and positive, no order shared with rows


def expected_pairs(fps, ids, max_distance):
    found = veltrane.near_duplicate_pairs(fps, max_distance)
    a, b = ids[found["i"]], ids[found["j"]]
    swap = a > b
    a, b = np.where(swap, b, a), np.where(swap, a, b)
    return sorted(zip(a.tolist(), b.tolist(), found["distance"].tolist()))


def as_sorted(pairs):
    pairs_frame = pairs.compute()
    assert list(pairs_frame.columns) == ["id_a", "id_b", "distance"]
    assert pairs_frame["distance"].dtype == np.uint8
    return sorted(
        zip(
            pairs_frame["id_a"].tolist(),
            pairs_frame["id_b"].tolist(),
            pairs_frame["distance"].tolist(),
        )
    )


def fingerprint_frame(fps, ids, npartitions):
    return dd.from_pandas(pd.DataFrame({"id": ids, "fingerprint": fps}), npartitions=npartitions)


def in_process():
    """This process's synchronous scheduler, for tests that watch or stop the work inside it,
    whether or not another test's cluster is the default."""
    return dask.config.set({"scheduler": "sync", "dataframe.shuffle.method": "tasks"})


@pytest.fixture(scope="module")
def client():
    with (
        distributed.LocalCluster(
            n_workers=2,
            threads_per_worker=1,
            processes=True,
            dashboard_address=":0",
            silence_logs=logging.ERROR,
        ) as cluster,
        distributed.Client(cluster) as c,
    ):
        yield c


# --- pairs -----------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "max_distance, id_kind, npartitions",
    [(0, "int", 3), (1, "str", 4), (3, "int", 5), (7, "str", 2)],
)
def test_pairs_equal_the_single_machine_search(client, max_distance, id_kind, npartitions):
    rng = np.random.default_rng(max_distance)
    fps = planted(rng, 3000, 900)
    ids = shuffled_ids(rng, len(fps), id_kind)
    frame = fingerprint_frame(fps, ids, npartitions)
    got = as_sorted(vdask.fingerprint_pairs(frame, max_distance=max_distance))
    assert got == expected_pairs(fps, ids, max_distance)


def skewed(rng, shared_mask):
    """Fingerprints that all agree on the bits of ``shared_mask`` (one huge group in the blocks
    those bits cover), with near and exact copies among them, plus unrelated ones."""
    crowd = rng.integers(0, 1 << 64, size=600, dtype=np.uint64)
    crowd = (crowd & ~np.uint64(shared_mask)) | np.uint64(0x5A5A5A5A5A5A5A5A & shared_mask)
    crowd = planted(rng, 0, 300, base=crowd)
    return np.concatenate([crowd, rng.integers(0, 1 << 64, size=300, dtype=np.uint64)])


@pytest.mark.parametrize(
    "shared_mask, split_limit",
    [
        (0xFFFF, 64),  # block 0 of 4: one group of 900
        (0xFFFF_FFFF, 64),  # blocks 0 and 1: the same rows crowd two groups
        (0xFFFF_0000_0000_FFFF, 16),  # blocks 0 and 3; 100 chunks, 5,000 tiles each
    ],
)
def test_skewed_groups_are_split_and_stay_exact(monkeypatch, shared_mask, split_limit):
    rng = np.random.default_rng(shared_mask % 1000)
    fps = skewed(rng, shared_mask)
    ids = shuffled_ids(rng, len(fps), "int")
    crowd = 900  # rows that share the masked bits
    searched = []
    native = veltrane.search.hamming.near_duplicate_pairs

    def spy(fingerprints, max_distance, **kwargs):
        searched.append(len(fingerprints))
        return native(fingerprints, max_distance, **kwargs)

    monkeypatch.setattr(veltrane.search.hamming, "near_duplicate_pairs", spy)
    frame = fingerprint_frame(fps, ids, 6)
    with in_process():
        got = as_sorted(vdask.fingerprint_pairs(frame, max_distance=3, split_limit=split_limit))
    monkeypatch.undo()
    assert got == expected_pairs(fps, ids, 3)
    # Unsplit, the crowd would be searched in one call of at least its size.
    assert max(searched) < crowd // 2


def test_identical_texts_pair_with_each_other_and_collapse_in_deduplication(client):
    texts = ["the same words again"] * 300 + ["THE SAME words AGAIN"] * 100 + [""] * 50
    texts += [f"another text number {k} with words" for k in range(200)]
    rng = np.random.default_rng(5)
    order = rng.permutation(len(texts))
    texts = [texts[k] for k in order]
    frame = dd.from_pandas(
        pd.DataFrame({"id": np.arange(len(texts)), "text": texts}), npartitions=4
    )
    fps = veltrane.fingerprints64(texts)
    got = as_sorted(vdask.near_duplicate_pairs(frame, max_distance=3))
    assert got == expected_pairs(fps, np.arange(len(texts)), 3)
    kept = vdask.deduplicate(frame, max_distance=3).compute()
    found = veltrane.deduplicate_texts(texts, 3, method="simhash", clusters="components")
    # deduplicate_texts keeps every text without words; Dask still collapses the empty ones.
    empty = [k for k, t in enumerate(texts) if not t]
    assert found.without_words.tolist() == empty
    assert sorted(kept["id"].tolist()) == sorted(set(found.keep.tolist()) - set(empty[1:]))
    assert list(kept.columns) == ["id", "text"]


def edited_texts(rng, sources, copies):
    """Texts of random words, then edited copies (a few words replaced) and exact copies."""
    words = [f"w{k}" for k in range(400)]
    texts = [" ".join(rng.choice(words, size=int(rng.integers(0, 80)))) for _ in range(sources)]
    for _ in range(copies):
        w = texts[int(rng.integers(sources))].split()
        for _ in range(int(rng.integers(0, 3))):
            if w:
                w[int(rng.integers(len(w)))] = "edit"
        texts.append(" ".join(w))
    return texts


@pytest.mark.parametrize("id_kind, npartitions, threshold", [("int", 4, 0.8), ("str", 3, 0.5)])
def test_jaccard_pairs_equal_the_single_machine_search(client, id_kind, npartitions, threshold):
    rng = np.random.default_rng(npartitions)
    texts = edited_texts(rng, 150, 450)
    ids = shuffled_ids(rng, len(texts), id_kind)
    frame = dd.from_pandas(pd.DataFrame({"id": ids, "text": texts}), npartitions=npartitions)
    got = vdask.near_duplicate_pairs_jaccard(frame, threshold=threshold, ngram=3).compute()
    assert list(got.columns) == ["id_a", "id_b", "similarity"]
    found = veltrane.near_duplicate_pairs_jaccard(texts, threshold, ngram=3)
    a, b = ids[found["i"]], ids[found["j"]]
    expected = sorted(
        zip(np.minimum(a, b).tolist(), np.maximum(a, b).tolist(), found["similarity"].tolist())
    )
    assert sorted(got.itertuples(index=False, name=None)) == expected
    assert len(expected) > 500


def test_copies_of_one_text_reach_the_shuffle_once_per_partition(monkeypatch):
    texts = ["boilerplate footer"] * 600 + [f"text {k} of its own" for k in range(40)]
    frame = dd.from_pandas(
        pd.DataFrame({"id": np.arange(len(texts)), "text": texts}), npartitions=4
    )
    seen = []
    collapse = _collapse._global_groups

    def spy(part):
        seen.append(len(part))
        return collapse(part)

    monkeypatch.setattr(_collapse, "_global_groups", spy)
    with in_process():
        kept = vdask.deduplicate(frame, max_distance=3).compute()
    assert (
        sorted(kept["id"].tolist())
        == veltrane.deduplicate_texts(
            texts, 3, method="simhash", clusters="components"
        ).keep.tolist()
    )
    # The 600 copies arrive as at most one local representative from each partition.
    assert sum(seen) <= 4 + 40


# --- clusters --------------------------------------------------------------------------------


def graph(rng, kind, n):
    if kind == "chain":  # one path through all nodes in random order
        order = rng.permutation(n)
        return order[:-1], order[1:]
    if kind == "star":  # everything hangs on the largest node
        return np.full(n - 1, n - 1), np.arange(n - 1)
    # Random sparse edges: many components of varied shapes and sizes, some repeated edges.
    i = rng.integers(0, n, size=n // 2)
    j = rng.integers(0, n, size=n // 2)
    keep = i != j
    return np.concatenate([i[keep], j[keep][:10]]), np.concatenate([j[keep], i[keep][:10]])


@pytest.mark.parametrize("kind, id_kind", [("chain", "int"), ("star", "str"), ("random", "int")])
def test_clusters_are_the_connected_components(client, kind, id_kind):
    rng = np.random.default_rng(len(kind))
    n = 2000
    i, j = graph(rng, kind, n)
    ids = shuffled_ids(rng, n, id_kind)
    pairs = pd.DataFrame({"id_a": ids[i], "id_b": ids[j]})
    got = vdask.clusters(dd.from_pandas(pairs, npartitions=4)).compute()
    # veltrane.clusters names each component by its lowest index; here the lowest id.
    labels = veltrane.clusters(n, list(zip(i.tolist(), j.tolist())))
    lowest = pd.Series(ids).groupby(labels).transform("min").to_numpy()
    present = np.unique(np.concatenate([i, j]))
    want = sorted(zip(ids[present].tolist(), lowest[present].tolist()))
    assert sorted(zip(got["id"].tolist(), got["representative"].tolist())) == want


def test_deduplicate_keeps_what_deduplicate_texts_keeps(client):
    rng = np.random.default_rng(11)
    words = [f"w{k}" for k in range(3000)]
    texts = [" ".join(rng.choice(words, size=30)) for _ in range(1500)]
    for k in rng.integers(0, len(texts), size=500):
        changed = texts[k].split()
        changed[rng.integers(0, len(changed))] = "changed"
        texts.append(" ".join(changed))
    ids = np.arange(len(texts))
    frame = dd.from_pandas(
        pd.DataFrame({"doc": ids, "body": texts, "extra": ids * 2}), npartitions=5
    )
    kept = vdask.deduplicate(frame, text="body", id="doc", max_distance=4).compute()
    assert (
        sorted(kept["doc"].tolist())
        == veltrane.deduplicate_texts(
            texts, 4, method="simhash", clusters="components"
        ).keep.tolist()
    )
    assert (kept["extra"] == kept["doc"] * 2).all()


# --- bad input -------------------------------------------------------------------------------


@pytest.mark.parametrize(
    "rows, kwargs, error, message",
    [
        ({"id": [1, 2], "text": ["a", None]}, {}, ValueError, "text of id 2 is missing"),
        ({"id": [1, 2], "text": ["a", 5]}, {}, TypeError, "text of id 2 must be str"),
        (
            {"id": [1, 2], "text": ["a", "b"]},
            {"max_distance": 17},
            ValueError,
            "max_distance must be from 0",
        ),
        ({"id": [1, 2], "text": ["a", "b"]}, {"text": "body"}, KeyError, "no column 'body'"),
        ({"id": [1, 2], "text": ["a", "b"]}, {"split_limit": 1}, ValueError, "split_limit"),
    ],
)
def test_bad_input_is_named(rows, kwargs, error, message):
    # Dask would otherwise turn the int among the texts into a string.
    with dask.config.set({"dataframe.convert-string": False}):
        frame = dd.from_pandas(pd.DataFrame(rows), npartitions=1)
    with in_process(), pytest.raises(error, match=message):
        vdask.near_duplicate_pairs(frame, **kwargs).compute()


@pytest.mark.parametrize(
    "fps, npartitions",
    [
        ([6, 6], 1),  # identical, in one partition
        ([6, 6], 2),  # identical, in two partitions
        ([6, 7], 2),  # near: caught in the pair
    ],
)
def test_a_repeated_id_is_caught(fps, npartitions):
    frame = fingerprint_frame(np.array(fps, dtype=np.uint64), np.array([4, 4]), npartitions)
    with in_process(), pytest.raises(ValueError, match="ids must be unique: id 4 repeats"):
        vdask.fingerprint_pairs(frame, max_distance=1).compute()


def test_without_dask_the_import_error_names_the_extra():
    code = "import sys; sys.modules['dask'] = None; import veltrane.dask"
    result = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    assert result.returncode != 0
    assert "veltrane[dask]" in result.stderr


# --- at scale --------------------------------------------------------------------------------

SCALE_SCRIPT = textwrap.dedent(
    """
    import logging
    import numpy as np
    import pandas as pd
    import dask.dataframe as dd
    from distributed import Client, LocalCluster
    import veltrane
    import veltrane.dask as vdask

    def main():
        rng = np.random.default_rng(2024)
        words = np.array([f"w{k:04d}" for k in range(5000)])
        count = 200_000
        lengths = rng.integers(15, 40, size=count)
        texts = [" ".join(rng.choice(words, size=n)) for n in lengths[:180_000]]
        # Near copies: one word replaced; exact copies, some in other letter case.
        for k in rng.integers(0, len(texts), size=12_000):
            changed = texts[k].split()
            changed[rng.integers(0, len(changed))] = "zzz"
            texts.append(" ".join(changed))
        for k in rng.integers(0, len(texts), size=count - len(texts)):
            texts.append(texts[k].upper() if k % 2 else texts[k])
        ids = rng.permutation(count).astype(np.int64)
        fps = veltrane.fingerprints64(texts)
        found = veltrane.near_duplicate_pairs(fps, 3)
        a, b = ids[found["i"]], ids[found["j"]]
        want = np.rec.fromarrays([np.minimum(a, b), np.maximum(a, b), found["distance"]])
        want.sort()
        # One Parquet file per partition, read by the workers, as on a real cluster.
        for part in range(8):
            rows = slice(part * count // 8, (part + 1) * count // 8)
            pd.DataFrame({"id": ids[rows], "text": texts[rows]}).to_parquet(f"part{part}.parquet")
        with LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                          dashboard_address=":0", silence_logs=logging.ERROR) as cluster, \\
                Client(cluster):
            frame = dd.read_parquet("part*.parquet")
            got = vdask.near_duplicate_pairs(frame, max_distance=3).compute()
            kept = vdask.deduplicate(frame, max_distance=3).compute()
        # The smallest id of each cluster the single-machine search forms.
        labels = veltrane.clusters(count, found)
        keep = pd.Series(ids).groupby(labels).min()
        assert sorted(kept["id"].tolist()) == sorted(keep.tolist()), "the kept rows differ"
        got = np.rec.fromarrays([got["id_a"].to_numpy(), got["id_b"].to_numpy(),
                                 got["distance"].to_numpy()])
        got.sort()
        print(f"pairs {len(want)} {len(got)}")
        assert len(want) > 10_000, len(want)
        assert np.array_equal(got, want), "the pairs differ"

    if __name__ == "__main__":
        main()
    """
)


def test_200000_texts_on_a_local_cluster_equal_the_single_machine_search(tmp_path):
    script = tmp_path / "scale.py"
    script.write_text(SCALE_SCRIPT)
    result = subprocess.run(
        [sys.executable, str(script)],
        capture_output=True,
        text=True,
        timeout=600,  # a few times the minute or so it takes on 2 busy cores
        cwd=tmp_path,
    )
    assert result.returncode == 0, result.stdout + result.stderr


# --- files -----------------------------------------------------------------------------------


@pytest.mark.parametrize("chunker", [veltrane.GearCDC(1024), 500])
def test_dedup_report_totals_equal_the_single_machine_report(client, tmp_path, chunker):
    rng = random.Random(9)
    shared = rng.randbytes(50_000)
    for i in range(30):
        folder = tmp_path / f"d{i % 4}"
        folder.mkdir(exist_ok=True)
        (folder / f"f{i}").write_bytes(shared[: rng.randrange(50_000)] + rng.randbytes(i * 999))
    os.link(tmp_path / "d0" / "f0", tmp_path / "d1" / "link")
    (tmp_path / "empty").write_bytes(b"")
    paths = [tmp_path, tmp_path / "d2"]
    single = veltrane.dedup_report(paths, chunker=chunker)
    spread = vdask.dedup_report(paths, chunker=chunker, partitions=5, files_per_task=7)
    assert spread.total == single.total
    assert spread.skipped == single.skipped and len(spread.skipped) == 1 + 7
