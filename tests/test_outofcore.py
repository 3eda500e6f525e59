"""The out-of-core Jaccard search against the in-memory one, with memory limits so small that
every batch spills, and its errors: a limit below one batch, a full temporary disk."""

import errno

import numpy as np
import pytest
import veltrane
from test_index import corpus
from veltrane import _native
from veltrane.search import outofcore
from veltrane.search.outofcore import (
    BandRuns,
    near_duplicate_clusters_jaccard_out_of_core,
    near_duplicate_pairs_jaccard_out_of_core,
)


def batched(texts, size):
    return [texts[s : s + size] for s in range(0, len(texts), size)]


def fetcher(texts):
    def fetch(ids):
        assert np.all(np.diff(ids) > 0)
        return [texts[k] for k in ids.tolist()]

    return fetch


@pytest.mark.parametrize("threshold", [0.5, 0.8])
@pytest.mark.parametrize("batch", [5, 97])
def test_out_of_core_equals_in_memory(tmp_path, threshold, batch, rounds, monkeypatch):
    # Copies split and candidates verified a few at a time, so that every chunk boundary shows.
    monkeypatch.setattr(outofcore, "_REREAD_TEXTS", 5)
    bands, rows = veltrane.lsh_parameters(threshold)
    one_batch = batch * bands * 16 * 2
    for r in range(rounds(3)):
        texts = corpus(r, 300)
        wordless = ("copies", "apart")[r % 2]
        both = dict(memory=0, tmp_dir=tmp_path, wordless=wordless)
        # Just one batch fits: every batch is a run, every merge block a few entries.
        for both["memory"] in (one_batch, one_batch * 3, 1 << 30):
            pairs = near_duplicate_pairs_jaccard_out_of_core(
                batched(texts, batch), fetcher(texts), threshold, **both
            )
            want = veltrane.near_duplicate_pairs_jaccard(texts, threshold, wordless=wordless)
            assert np.array_equal(pairs, want)
            labels = near_duplicate_clusters_jaccard_out_of_core(
                batched(texts, batch), fetcher(texts), threshold, **both
            )
            want = veltrane.near_duplicate_clusters_jaccard(texts, threshold, wordless=wordless)
            assert np.array_equal(labels, want)
    assert not any(tmp_path.iterdir())  # runs removed


def test_band_runs_candidates_are_the_band_agreements(tmp_path, rounds):
    rng = np.random.default_rng(2)
    for _ in range(rounds(10)):
        n, bands, rows = int(rng.integers(1, 200)), int(rng.integers(1, 6)), 2
        sig = rng.integers(0, 3, size=(n, bands * rows + 1)).astype(np.uint32)
        distinct = rng.random(n) < 0.8
        with BandRuns(bands, rows, memory=10 * bands * 32, tmp_dir=tmp_path) as runs:
            for part in batched(sig, 10):
                runs.add(part)
            reps = runs.finish()
            assert runs.spilled == (n + 9) // 10
            found = {}
            for band, i, j in runs.candidates(distinct):
                assert np.all(i < j)
                for pair in zip(i.tolist(), j.tolist()):
                    assert (band, pair) not in found
                    found[band, pair] = True
        for x in range(n):
            assert reps[x] == min(np.flatnonzero((sig == sig[x]).all(axis=1)))
        want = _native.jaccard_candidates(sig, np.flatnonzero(distinct), bands, rows, 1)
        assert {pair for _, pair in found} == set(zip(*(w.tolist() for w in want)))


def test_errors_lose_nothing(tmp_path, monkeypatch):
    texts = corpus(1, 200)
    source = tmp_path / "input.txt"
    source.write_text("\n".join(texts))
    before = source.read_bytes()
    lines = source.read_text().split("\n")
    with pytest.raises(ValueError, match="below what one batch of 50 signatures needs"):
        near_duplicate_pairs_jaccard_out_of_core(
            batched(lines, 50), fetcher(lines), memory=1000, tmp_dir=tmp_path
        )

    def full(path, array):
        raise OSError(errno.ENOSPC, "No space left on device")

    spill = tmp_path / "spill"
    spill.mkdir()
    monkeypatch.setattr(outofcore, "_save_run", full)
    with pytest.raises(OSError, match="writing band runs") as caught:
        near_duplicate_pairs_jaccard_out_of_core(
            batched(lines, 50), fetcher(lines), memory=50 * 21 * 32, tmp_dir=spill
        )
    assert caught.value.errno == errno.ENOSPC
    assert not any(spill.iterdir()) and source.read_bytes() == before


def _model_fold(values: np.ndarray) -> np.ndarray:
    # The band key as the index's format states it, in NumPy, row by row of the last axis.
    h = np.full(values.shape[:-1], values.shape[-1], dtype=np.uint64)
    for k in range(values.shape[-1]):
        h ^= values[..., k].astype(np.uint64)
        h *= np.uint64(0x9E3779B97F4A7C15)
        h ^= h >> np.uint64(29)
    for shift, mul in ((30, 0xBF58476D1CE4E5B9), (27, 0x94D049BB133111EB)):
        h ^= h >> np.uint64(shift)
        h *= np.uint64(mul)
    return h ^ (h >> np.uint64(31))


@pytest.mark.parametrize("dtype", [np.uint32, np.uint64])
def test_band_keys_and_their_sort_equal_the_model(dtype):
    from veltrane.search._bands import band_keys, row_keys, sort_bands

    rng = np.random.default_rng(5)
    sig = rng.integers(0, 4, size=(3000, 20), dtype=dtype)  # few values: equal bands and rows
    keys = band_keys(sig, 3, 6)
    assert np.array_equal(keys, _model_fold(sig[:, :18].reshape(3000, 3, 6)).T)
    assert np.array_equal(row_keys(sig), _model_fold(sig))
    docs = rng.permutation(3000).astype(np.int64)
    # Docs in order (as every caller gives them) and in any order.
    for given in (np.arange(3000), docs, np.stack([np.arange(3000), docs, docs[::-1]])):
        got_keys, got_docs = sort_bands(keys, given)
        for b in range(3):
            d = given if given.ndim == 1 else given[b]
            order = np.lexsort((d, keys[b]))
            assert np.array_equal(got_keys[b], keys[b][order])
            assert np.array_equal(got_docs[b], d[order])
