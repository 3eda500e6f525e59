"""The corpus job's four search modes (in memory, within a memory bound, against a fresh
lasting index, on Dask) keep the same records of one corpus."""

import json

import numpy as np
import pytest
from test_dask_dedup import corpus
from veltrane.pipeline import deduplicate_corpus


@pytest.mark.parametrize("clusters", ["greedy", "components"])
def test_every_search_mode_keeps_the_same_records(tmp_path, clusters):
    rng = np.random.default_rng(26)
    texts = corpus(rng)
    source = tmp_path / "in.jsonl"
    source.write_text("".join(json.dumps({"text": t}) + "\n" for t in texts))
    options = dict(threshold=0.6, ngram=2, keep="longest", clusters=clusters)
    kept = {}
    for mode, bound in [
        ("memory", {}),
        ("bounded", {"memory": 1 << 16}),
        ("index", {"index": tmp_path / "index"}),
    ]:
        out = tmp_path / f"{mode}.jsonl"
        done = deduplicate_corpus([str(source)], output=str(out), **bound, **options)
        kept[mode] = out.read_bytes()
        assert done.kept + done.dropped == done.texts == len(texts)
    assert kept["bounded"] == kept["memory"] and kept["index"] == kept["memory"]
    lines = source.read_bytes().splitlines(keepends=True)
    assert 0 < kept["memory"].count(b"\n") < len(lines)

    dd = pytest.importorskip("dask.dataframe")
    pd = pytest.importorskip("pandas")
    dask = pytest.importorskip("dask")
    import veltrane.dask as vdask

    frame = pd.DataFrame({"text": texts, "n": np.arange(len(texts))})
    with dask.config.set(scheduler="synchronous"):
        found = vdask.deduplication(dd.from_pandas(frame, npartitions=3), **options).kept.compute()
    assert b"".join(lines[k] for k in sorted(found["n"].tolist())) == kept["memory"]


@pytest.mark.parametrize(
    "old, name, home",
    [
        ("veltrane.minhash", "minhash_signatures", "veltrane.sketch.minhash"),
        ("veltrane.simhash", "fingerprints64", "veltrane.sketch.simhash"),
        ("veltrane.simhash", "NearDuplicateIndex", "veltrane.search.hamming"),
        ("veltrane.jaccard", "lsh_parameters", "veltrane.search.banding"),
        ("veltrane.outofcore", "BandRuns", "veltrane.search.outofcore"),
        ("veltrane.dedup", "deduplicate_texts", "veltrane.texts"),
        ("veltrane.dedup", "ChunkStats", "veltrane.files.report"),
        ("veltrane.writers", "write_kept", "veltrane.corpus.writers"),
        ("veltrane.search", "deduplicate_texts", "veltrane.texts"),
        ("veltrane.corpus", "Corpus", "veltrane.corpus.source"),
    ],
)
def test_old_module_names_give_the_same_objects(old, name, home):
    import importlib

    assert getattr(importlib.import_module(old), name) is getattr(
        importlib.import_module(home), name
    )


def test_the_package_loads_its_names_on_first_use():
    import subprocess
    import sys

    code = (
        "import sys, veltrane.minhash, veltrane; "
        "heavy = ('pyarrow', 'sqlite3', 'dask', 'zstandard', 'veltrane.search.index'); "
        "print(sorted(m for m in heavy if m in sys.modules)); "
        "veltrane.JaccardIndex; print('sqlite3' in sys.modules)"
    )
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.split("\n")[:2] == ["[]", "True"]
