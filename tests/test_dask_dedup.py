"""veltrane.dask.deduplicate (MinHash, keep rule, greedy or component clusters) against
veltrane.deduplicate_texts on the same texts in the same order."""

import gzip
import json
import logging

import numpy as np
import pytest

dd = pytest.importorskip("dask.dataframe")
dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")
pd = pytest.importorskip("pandas")
pa = pytest.importorskip("pyarrow")

import veltrane  # noqa: E402
import veltrane.dask as vdask  # noqa: E402

pytestmark = pytest.mark.dask


def corpus(rng, n=600):
    """Random texts, chains of one-word edits (each a near duplicate of the previous, the ends
    far apart), exact copies, copies spaced differently, texts without words and texts
    shorter than a shingle, shuffled."""
    words = [f"w{k}" for k in range(300)]
    texts = [" ".join(rng.choice(words, size=int(rng.integers(3, 40)))) for _ in range(n // 2)]
    for _ in range(n // 30):
        chain = list(rng.choice(words, size=30))
        for _ in range(int(rng.integers(3, 9))):
            chain[int(rng.integers(len(chain)))] = str(rng.choice(words))
            texts.append(" ".join(chain))
    texts += [texts[k] for k in rng.integers(0, len(texts), size=n // 6)]
    # The same shingle set from another text.
    texts += [texts[k].replace(" ", "  ", 1) for k in rng.integers(0, len(texts), size=n // 12)]
    texts += ["", "  ", "}", "# ====", "x", "one"] * 5
    return [texts[k] for k in rng.permutation(len(texts))]


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


@pytest.mark.parametrize("clusters", ["greedy", "components"])
@pytest.mark.parametrize("keep", ["first", "longest", "score"])
def test_equals_the_single_machine_deduplication(client, clusters, keep):
    rng = np.random.default_rng(len(clusters) * 7 + len(keep))
    texts = corpus(rng)
    # Few distinct scores, so that ties go to the earlier row; some missing (kept last).
    score = rng.integers(0, 4, size=len(texts)).astype(float)
    score[rng.random(len(texts)) < 0.1] = np.nan
    frame = pd.DataFrame({"text": texts, "score": score, "n": np.arange(len(texts))})
    found = vdask.deduplication(
        dd.from_pandas(frame, npartitions=5),
        threshold=0.6,
        ngram=2,
        keep=keep,
        clusters=clusters,
    )
    want = veltrane.deduplicate_texts(
        texts,
        threshold=0.6,
        ngram=2,
        keep=score if keep == "score" else keep,
        clusters=clusters,
    )
    kept = found.kept.compute()
    assert kept["n"].tolist() == want.keep.tolist()
    assert kept.index.tolist() == want.keep.tolist()  # the input's index, unchanged
    dropped = found.duplicates.compute()
    rows = dropped["row"].to_numpy()
    assert rows.tolist() == np.flatnonzero(want.duplicate_of >= 0).tolist()
    assert dropped["keeper"].tolist() == want.duplicate_of[rows].tolist()
    assert dropped["similarity"].tolist() == want.similarity[rows].tolist()
    if clusters == "greedy":
        assert (dropped["similarity"] >= 0.6).all()


@pytest.mark.parametrize("suffix", [".jsonl", ".jsonl.gz", ".parquet"])
def test_shards_in_and_parquet_out(client, tmp_path, suffix):
    rng = np.random.default_rng(3)
    texts = corpus(rng, 300)
    shards = tmp_path / "in"
    shards.mkdir()
    for k in range(3):
        part = texts[k * len(texts) // 3 : (k + 1) * len(texts) // 3]
        path = shards / f"part{k}{suffix}"
        if suffix == ".parquet":
            pd.DataFrame({"text": part}).to_parquet(path)
        else:
            with (gzip.open if suffix.endswith(".gz") else open)(path, "wt") as out:
                out.writelines(json.dumps({"text": t}) + "\n" for t in part)
    kept = vdask.deduplicate(
        shards, output=tmp_path / "out", duplicates=tmp_path / "dups", blocksize=2000
    )
    want = veltrane.deduplicate_texts(texts)
    out = dd.read_parquet(tmp_path / "out").compute()
    assert out["text"].tolist() == [texts[k] for k in want.keep]
    # The blocksize splits plain JSON Lines only.
    assert (kept.npartitions > 3) == (suffix == ".jsonl")
    dups = dd.read_parquet(tmp_path / "dups").compute()
    assert dups["keeper"].tolist() == want.duplicate_of[want.duplicate_of >= 0].tolist()


@pytest.mark.parametrize(
    "rows, kwargs, error, message",
    [
        ({"text": ["a", None]}, {}, ValueError, "text of row 1 of a partition is missing"),
        ({"text": ["a", 5]}, {}, TypeError, "must be str, bytes or bytearray, not int"),
        ({"text": ["a", "b"], "s": ["x", "y"]}, {"keep": "s"}, ValueError, "Unable to parse"),
        ({"text": ["a", "b"]}, {"keep": "score"}, KeyError, "no column 'score'"),
        ({"text": ["a", "b"]}, {"clusters": "chains"}, ValueError, "clusters must be"),
        ({"text": ["a", "b"]}, {"threshold": 1.5}, ValueError, "threshold"),
    ],
)
def test_bad_input_is_named(rows, kwargs, error, message):
    with dask.config.set({"dataframe.convert-string": False}):
        frame = dd.from_pandas(pd.DataFrame(rows), npartitions=1)
    with dask.config.set({"scheduler": "sync"}), pytest.raises(error, match=message):
        vdask.deduplication(frame, **kwargs)


def test_the_earlier_simhash_call_is_unchanged():
    texts = ["some words here", "other words there"] * 3
    frame = dd.from_pandas(pd.DataFrame({"id": [5, 4, 3, 2, 1, 0], "text": texts}), 2)
    with dask.config.set({"scheduler": "sync", "dataframe.shuffle.method": "tasks"}):
        # Positional max_distance: SimHash, the smallest id of each component.
        kept = vdask.deduplicate(frame, "text", "id", 3).compute()
        assert sorted(kept["id"]) == [0, 1]
        for wrong in ({"keep": "longest"}, {"clusters": "greedy"}):
            with pytest.raises(ValueError, match="no keep rule"):
                vdask.deduplicate(frame, method="simhash", **wrong)


def test_copies_cost_no_pairs(monkeypatch):
    from veltrane.dask import _job

    texts = ["a footer that every page repeats word for word"] * 400
    rng = np.random.default_rng(1)
    texts += [" ".join(rng.choice([f"w{k}" for k in range(500)], size=12)) for _ in range(40)]
    verified = []
    verify = _job._verify

    def spy(pairs, *args):
        verified.append(len(pairs["a"]))
        return verify(pairs, *args)

    monkeypatch.setattr(_job, "_verify", spy)
    frame = dd.from_pandas(pd.DataFrame({"text": texts}), npartitions=4)
    with dask.config.set({"scheduler": "sync", "dataframe.shuffle.method": "tasks"}):
        found = vdask.deduplication(frame, ngram=2)
        dropped = found.duplicates.compute()
    # 400 copies are one set: no candidate pair among them, all dropped onto the first.
    assert sum(verified) < 10
    assert dropped["row"].tolist() == list(range(1, 400))
    assert set(dropped["keeper"]) == {0} and (dropped["similarity"] == 1.0).all()


@pytest.mark.parametrize("share", [None, 0.0])
def test_held_or_read_again_the_same_output(client, monkeypatch, share):
    """Partitions held by the workers (the default on a cluster with memory limits) or read
    again for verification and output (none fits): the single machine's result either way."""
    from distributed import Future
    from veltrane.dask import _job

    if share is not None:
        monkeypatch.setattr(_job, "HOLD_SHARE", share)
    plans = []
    plan = _job.plan
    monkeypatch.setattr(_job, "plan", lambda *a, **k: plans.append(plan(*a, **k)) or plans[-1])
    rng = np.random.default_rng(11)
    texts = corpus(rng)
    frame = pd.DataFrame({"text": texts, "n": np.arange(len(texts))})
    found = vdask.deduplication(
        dd.from_pandas(frame, npartitions=6),
        threshold=0.6,
        ngram=2,
        keep="longest",
        clusters="components",
    )
    want = veltrane.deduplicate_texts(
        texts, threshold=0.6, ngram=2, keep="longest", clusters="components"
    )
    assert found.kept.compute()["n"].tolist() == want.keep.tolist()
    dropped = found.duplicates.compute()
    assert dropped["similarity"].tolist() == want.similarity[dropped["row"]].tolist()
    held = [isinstance(k, Future) for k in plans[0].kept]
    assert held == [share is None] * 6


@pytest.mark.parametrize(
    "column",
    [
        lambda t: pd.Series(t, dtype=object),
        lambda t: pd.Series(t, dtype="string[pyarrow]"),
        lambda t: pd.Series(t, dtype=pd.ArrowDtype(pa.large_string())),
        # An Arrow slice (its buffers start before its first value), and two chunks.
        lambda t: pd.Series(pd.arrays.ArrowExtensionArray(pa.array(["x", *t])[1:])),
        lambda t: pd.Series(
            pd.arrays.ArrowExtensionArray(pa.chunked_array([pa.array(t[:2]), pa.array(t[2:])]))
        ),
    ],
)
def test_text_digests_are_blake3_of_the_utf8_bytes(column):
    from veltrane import _native
    from veltrane.dask._partitions import digests_of

    texts = ["é à", "", "same", "same", "a longer text of words"]
    series = column(texts)
    want = [int.from_bytes(_native.blake3(t.encode())[:8], "little") for t in texts]
    assert digests_of(series, series.tolist()).tolist() == want
    assert (
        digests_of(pd.Series([t.encode() for t in texts]), [t.encode() for t in texts]).tolist()
        == want
    )


@pytest.mark.parametrize("normalize", ["words", "none"])
@pytest.mark.parametrize("keep", ["first", "longest", "score"])
def test_exact_equals_the_single_machine_deduplication(client, tmp_path, normalize, keep):
    rng = np.random.default_rng(len(normalize) + len(keep))
    texts = corpus(rng, 300)
    texts += [t.upper() + "!" for t in texts[:40]]  # copies under "words" only
    score = rng.integers(0, 4, size=len(texts)).astype(float)
    score[rng.random(len(texts)) < 0.1] = np.nan
    frame = pd.DataFrame({"text": texts, "score": score, "n": np.arange(len(texts))})
    kept = vdask.deduplicate(
        dd.from_pandas(frame, npartitions=4),
        method="exact",
        normalize=normalize,
        keep=keep,
        duplicates=tmp_path / "dups",
    ).compute()
    want = veltrane.deduplicate_texts(
        texts, method="exact", normalize=normalize, keep=score if keep == "score" else keep
    )
    assert kept["n"].tolist() == want.keep.tolist()
    dropped = pd.read_parquet(tmp_path / "dups")
    assert dropped["row"].tolist() == np.flatnonzero(want.duplicate_of >= 0).tolist()
    assert dropped["keeper"].tolist() == want.duplicate_of[dropped["row"]].tolist()
    assert (dropped["similarity"] == 1.0).all()
