"""Near duplicates by Jaccard similarity of shingles on Dask: the pairs of
:func:`veltrane.near_duplicate_pairs_jaccard` (exact verification) for Dask DataFrames.

The steps, each a Dask operation, none collecting data on the client:

1. Per partition, each text's MinHash signature cut into bands, each band reduced to a 64-bit
   hash, and a 64-bit digest of its shingle set.
2. Identical shingle sets collapsed onto one representative, the smallest id (by the digest,
   in two levels as :func:`veltrane.dask.fingerprint_pairs` collapses fingerprints).
3. Each representative emitted once per band, keyed by (band, band hash), and shuffled by that
   key; each group of equal keys gives its pairs as candidates, and a shuffle by pair drops
   those found in several bands.
4. Candidates joined with the two texts and verified by the exact Jaccard similarity of their
   shingle sets; pairs at or above the threshold are expanded to the members of both sets,
   and the members of each set pair with each other at similarity 1.0.

Band values and sets are compared by 64-bit hashes here, where the single-machine search
compares them whole: two different ones share a hash with probability 2^-64 per pair, as two
different shingles share a shingle hash in both searches.
"""

from __future__ import annotations

import dask.dataframe as dd
import numpy as np
import pandas as pd

from .. import _native
from ..defaults import DEFAULT_NGRAM, DEFAULT_NUM_PERM, DEFAULT_THRESHOLD
from ..search.jaccard import JaccardParams, jaccard_similarities
from ..sketch.minhash import minhash_signatures, shingle_hashes
from ._collapse import Collapsed, member_pairs
from ._frames import FP, ID, REP, check_columns, empty_frame, shown

__all__ = ["near_duplicate_pairs_jaccard"]

# Fibonacci hashing's multiplier, as the native search hashes (with _native.mix64).
_GOLDEN = np.uint64(_native.GOLDEN)


def band_hashes(sig: np.ndarray, bands: int, rows: int) -> np.ndarray:
    """(len(sig), bands) hashes of each band's values, the band number mixed in."""
    out = np.empty((len(sig), bands), dtype=np.uint64)
    with np.errstate(over="ignore"):
        for b in range(bands):
            h = np.full(len(sig), b + 1, dtype=np.uint64) * _GOLDEN
            for v in sig[:, b * rows : (b + 1) * rows].T:
                h = (h ^ v.astype(np.uint64)) * _GOLDEN
                h ^= h >> np.uint64(29)
            out[:, b] = _native.mix64(h)
    return out


def _set_digests(values: np.ndarray, offsets: np.ndarray) -> np.ndarray:
    """A 64-bit digest of each set: the sum of its mixed values (order does not matter, and
    the values are distinct), with the size mixed in."""
    sizes = np.diff(offsets)
    with np.errstate(over="ignore"):
        mixed = _native.mix64(values.astype(np.uint64))
        sums = np.zeros(len(sizes), dtype=np.uint64)
        full = sizes > 0
        if full.any():
            sums[full] = np.add.reduceat(mixed, offsets[:-1][full])
        return _native.mix64(sums ^ (sizes.astype(np.uint64) * _GOLDEN))


def _texts_of(part: pd.DataFrame, text: str, id: str) -> tuple[pd.Series, list]:
    ids = part[id].reset_index(drop=True)
    if ids.isna().any():
        raise ValueError(f"the id column {id!r} has missing values")
    texts = part[text].reset_index(drop=True)
    for k, value in enumerate(texts.tolist()):
        if not isinstance(value, (str, bytes, bytearray)):
            raise TypeError(
                f"the text of id {shown(ids.iloc[k])} must be str, bytes or bytearray, "
                f"not {type(value).__name__}"
            )
    return ids, texts.tolist()


def _sketch_partition(part: pd.DataFrame, text: str, id: str, p: JaccardParams) -> pd.DataFrame:
    ids, texts = _texts_of(part, text, id)
    sig = minhash_signatures(texts, p.num_perm, ngram=p.ngram, seed=p.seed, threads=1)
    values, offsets = shingle_hashes(texts, ngram=p.ngram, threads=1)
    frame = {ID: ids, FP: _set_digests(values, offsets)}
    assert p.bands is not None and p.rows is not None
    hashes = band_hashes(sig, p.bands, p.rows)
    for b in range(p.bands):
        frame[f"band{b}"] = hashes[:, b]
    return pd.DataFrame(frame)


def _explode(part: pd.DataFrame, bands: int) -> pd.DataFrame:
    """One row per representative and band, keyed by the band's hash."""
    reps = part[REP].reset_index(drop=True)
    return pd.DataFrame(
        {
            "key": np.concatenate([part[f"band{b}"].to_numpy() for b in range(bands)])
            if bands
            else np.empty(0, np.uint64),
            REP: pd.concat([reps] * bands, ignore_index=True),
        }
    )


def _band_pairs(part: pd.DataFrame) -> pd.DataFrame:
    """Every pair (rep_a < rep_b) of representatives with the same key."""
    part = part.sort_values(["key", REP], kind="stable", ignore_index=True)
    keys = part["key"].to_numpy()
    first = np.ones(len(keys), dtype=bool)
    first[1:] = keys[1:] != keys[:-1]
    starts = np.flatnonzero(first)
    ends = np.append(starts[1:], len(keys))
    counts = ends - starts
    # Within a run of length c starting at s: position p pairs with p + 1 .. s + c - 1.
    run_end = np.repeat(ends, counts)
    positions = np.arange(len(keys))
    after = run_end - positions - 1
    p = np.repeat(positions, after)
    offsets = np.arange(len(p)) - np.repeat(np.cumsum(after) - after, after)
    q = p + 1 + offsets
    reps = part[REP]
    return pd.DataFrame(
        {
            "rep_a": reps.iloc[p].reset_index(drop=True),
            "rep_b": reps.iloc[q].reset_index(drop=True),
        }
    )


def _distinct_pairs(part: pd.DataFrame) -> pd.DataFrame:
    return part.drop_duplicates(ignore_index=True)


def _verify(part: pd.DataFrame, p: JaccardParams) -> pd.DataFrame:
    texts = part["text_a"].tolist() + part["text_b"].tolist()
    m = len(part)
    sims = jaccard_similarities(texts, np.arange(m), np.arange(m, 2 * m), ngram=p.ngram, threads=1)
    keep = sims >= p.threshold
    return pd.DataFrame(
        {
            "rep_a": part["rep_a"].to_numpy()[keep],
            "rep_b": part["rep_b"].to_numpy()[keep],
            "similarity": sims[keep],
        }
    )


def _ordered(part: pd.DataFrame) -> pd.DataFrame:
    x, y = part["x"].to_numpy(), part["y"].to_numpy()
    if (x == y).any():
        raise ValueError(f"ids must be unique: id {shown(x[x == y][0])} repeats")
    swap = x > y
    return pd.DataFrame(
        {
            "id_a": np.where(swap, y, x),
            "id_b": np.where(swap, x, y),
            "similarity": part["similarity"].to_numpy(),
        }
    )


def _others(part: pd.DataFrame) -> pd.DataFrame:
    """The members that are not their set's representative."""
    return part[(part[ID] != part[REP]).to_numpy()]


def _copy_pairs(part: pd.DataFrame) -> pd.DataFrame:
    pairs = member_pairs(part)
    return pd.DataFrame(
        {
            "id_a": pairs["id_a"],
            "id_b": pairs["id_b"],
            "similarity": np.ones(len(pairs), dtype=np.float64),
        }
    )


def near_duplicate_pairs_jaccard(
    df: dd.DataFrame,
    text: str = "text",
    id: str = "id",
    threshold: float = DEFAULT_THRESHOLD,
    *,
    bands: int | None = None,
    rows: int | None = None,
    ngram: int = DEFAULT_NGRAM,
    num_perm: int = DEFAULT_NUM_PERM,
    seed: int = 0,
) -> dd.DataFrame:
    """Every pair of rows whose texts' shingle sets have Jaccard similarity at least
    ``threshold``.

    ``df`` has a text column and an id column of unique, ordered values (ints or strings).
    Returns a Dask DataFrame of ``id_a``, ``id_b`` (``id_a < id_b``) and ``similarity``
    (``float64``), in no particular order: the pairs :func:`veltrane.near_duplicate_pairs_jaccard`
    finds with ``verify="exact"`` on the same texts and arguments, with its indices replaced
    by the rows' ids. See the module docstring for the steps; building the result reads no
    data.
    """
    check_columns(df, text, id)
    p = JaccardParams(threshold, ngram, num_perm, bands, rows, seed).banded()
    assert p.bands is not None
    bands = p.bands
    id_dtype = df[id].dtype
    band_columns = {f"band{b}": np.uint64 for b in range(bands)}
    sketches = df[[id, text]].map_partitions(
        _sketch_partition,
        text,
        id,
        p,
        meta=empty_frame(**{ID: id_dtype, FP: np.uint64}, **band_columns),
    )
    collapsed = Collapsed(sketches[[ID, FP]])
    # The representatives' bands: the digest's representative is a row of its own.
    reps = collapsed.distinct[[REP]].merge(sketches.drop(columns=[FP]), left_on=REP, right_on=ID)[
        [REP, *band_columns]
    ]
    keyed = reps.map_partitions(
        _explode, bands, meta=empty_frame(key=np.uint64, **{REP: id_dtype})
    )
    candidates = (
        keyed.shuffle(on="key", ignore_index=True, force=True)
        .map_partitions(_band_pairs, meta=empty_frame(rep_a=id_dtype, rep_b=id_dtype))
        .shuffle(on=["rep_a", "rep_b"], ignore_index=True, force=True)
        .map_partitions(_distinct_pairs, meta=empty_frame(rep_a=id_dtype, rep_b=id_dtype))
    )
    texts = df[[id, text]]
    with_texts = candidates.merge(
        texts.rename(columns={id: "rep_a", text: "text_a"}), on="rep_a"
    ).merge(texts.rename(columns={id: "rep_b", text: "text_b"}), on="rep_b")
    verified = with_texts.map_partitions(
        _verify,
        p,
        meta=empty_frame(rep_a=id_dtype, rep_b=id_dtype, similarity=np.float64),
    )
    # Every representative stands for itself and for the members of its set.
    members = collapsed.members()
    own = collapsed.distinct[[REP]].assign(**{ID: collapsed.distinct[REP]})
    everyone = dd.concat([own, members.map_partitions(_others, meta=members._meta)])
    expanded = verified.merge(everyone.rename(columns={REP: "rep_a", ID: "x"}), on="rep_a").merge(
        everyone.rename(columns={REP: "rep_b", ID: "y"}), on="rep_b"
    )[["x", "y", "similarity"]]
    meta = empty_frame(id_a=id_dtype, id_b=id_dtype, similarity=np.float64)
    near = expanded.map_partitions(_ordered, meta=meta)
    copies = members.shuffle(on=REP, ignore_index=True, force=True).map_partitions(
        _copy_pairs, meta=meta
    )
    return dd.concat([near, copies])
