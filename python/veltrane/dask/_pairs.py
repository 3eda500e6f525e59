"""Step 4, pairs between representatives back to pairs between rows, and the public pair
functions that run steps 1 to 4."""

from __future__ import annotations

import dask.dataframe as dd
import numpy as np
import pandas as pd

from .. import _args
from ..defaults import DEFAULT_MAX_DISTANCE
from ._collapse import Collapsed, member_pairs
from ._fingerprints import fingerprints
from ._frames import FP, ID, REP, check_columns, empty_frame, select, shown
from ._hamming import representative_pairs
from ._tiles import DEFAULT_SPLIT_LIMIT, MIN_SPLIT_LIMIT


def _ordered(part: pd.DataFrame) -> pd.DataFrame:
    x, y = part["x"], part["y"]
    if (x == y).any():
        raise ValueError(f"ids must be unique: id {shown(x[x == y].iloc[0])} repeats")
    swap = (x > y).to_numpy()
    return pd.DataFrame(
        {
            "id_a": x.where(~swap, y).reset_index(drop=True),
            "id_b": y.where(~swap, x).reset_index(drop=True),
            "distance": part["distance"].to_numpy(),
        }
    )


def _expand(rep_pairs: dd.DataFrame, members: dd.DataFrame) -> dd.DataFrame:
    """Pairs between representatives become pairs between all their rows; a representative
    whose fingerprint no other row shares stands for itself, so only the others are joined."""
    shared_a = members.rename(columns={REP: "rep_a", ID: "x"})
    left_columns = ["x", "rep_b", "distance", "multi_b"]
    # Concatenation adds up the partition counts; merging neighbours back keeps them level.
    nparts = rep_pairs.npartitions
    left = dd.concat(
        [
            select(rep_pairs, "multi_a", False).rename(columns={"rep_a": "x"})[left_columns],
            select(rep_pairs, "multi_a", True).merge(shared_a, on="rep_a")[left_columns],
        ]
    ).repartition(npartitions=nparts)
    shared_b = members.rename(columns={REP: "rep_b", ID: "y"})
    columns = ["x", "y", "distance"]
    both = dd.concat(
        [
            select(left, "multi_b", False).rename(columns={"rep_b": "y"})[columns],
            select(left, "multi_b", True).merge(shared_b, on="rep_b")[columns],
        ]
    ).repartition(npartitions=nparts)
    id_dtype = members[ID].dtype
    meta = empty_frame(id_a=id_dtype, id_b=id_dtype, distance=np.uint8)
    return both.map_partitions(_ordered, meta=meta)


def _fingerprint_frame(df, fingerprint: str, id: str) -> dd.DataFrame:
    check_columns(df, fingerprint, id)
    if df[fingerprint].dtype != np.uint64:
        raise TypeError(
            f"the fingerprint column {fingerprint!r} must be uint64, not {df[fingerprint].dtype}"
        )
    return df[[id, fingerprint]].rename(columns={id: ID, fingerprint: FP})


def _pair_meta(id_dtype) -> pd.DataFrame:
    return empty_frame(id_a=id_dtype, id_b=id_dtype, distance=np.uint8)


def fingerprint_pairs(
    df: dd.DataFrame,
    fingerprint: str = "fingerprint",
    id: str = "id",
    max_distance: int = DEFAULT_MAX_DISTANCE,
    *,
    split_limit: int = DEFAULT_SPLIT_LIMIT,
) -> dd.DataFrame:
    """Every pair of rows whose ``uint64`` fingerprints are at most ``max_distance`` bits apart.

    ``df`` has a fingerprint column (``uint64``, as :func:`fingerprints` makes it) and an id
    column whose values are unique and ordered (ints or strings). Returns a Dask DataFrame with
    columns ``id_a``, ``id_b`` (``id_a < id_b``) and ``distance`` (``uint8``), in no
    particular order: exactly the pairs :func:`veltrane.near_duplicate_pairs` finds on the same
    fingerprints, with its indices replaced by the rows' ids. Repeated ids are an error
    (ValueError) where the search meets them: within a set of identical fingerprints or in one
    pair.

    The search is exact (see the module docstring for its steps). One cost is the output's
    own: ``m`` rows with one fingerprint make ``m * (m - 1) / 2`` pairs, so for corpora with
    large sets of identical texts :func:`deduplicate` is the call that never forms them.

    ``split_limit`` bounds the rows one task searches: a (block, value) group with more
    distinct fingerprints is cut by a hash of the fingerprint into ``s = ceil(2 * size /
    split_limit)`` slices, and every pair of slices (and every slice with itself) is searched
    as one tile of about ``split_limit`` rows, keeping only the pairs across the tile's two
    slices (within its slice on the diagonal). Every pair of the group meets in exactly one
    tile, so nothing is lost or repeated. Each row of the group is sent ``s`` times, about
    ``2 * size**2 / split_limit`` rows for the group: splitting bounds each task, not the
    work, which stays the ``size**2 / 2`` comparisons any exact search of the group makes.
    A further block would be no safe sub-key: the fingerprints that fill a skewed group often
    agree on more blocks than one, and pairs that differ on the sub-key block still have to
    meet.

    Building the result reads no data; computing it makes three passes over the collapsed
    fingerprints (two to find the groups over the limit, one to search), holding them on the
    workers in between.
    """
    max_distance = _args.max_distance(max_distance)
    limit = _args.in_range(split_limit, "split_limit", MIN_SPLIT_LIMIT)
    collapsed = Collapsed(_fingerprint_frame(df, fingerprint, id))
    members = collapsed.members()
    near = _expand(representative_pairs(collapsed.distinct, max_distance, limit), members)
    identical = members.shuffle(on=REP, ignore_index=True, force=True).map_partitions(
        member_pairs, meta=_pair_meta(collapsed.id_dtype)
    )
    return dd.concat([near, identical])


def near_duplicate_pairs(
    df: dd.DataFrame,
    text: str = "text",
    id: str = "id",
    max_distance: int = DEFAULT_MAX_DISTANCE,
    *,
    split_limit: int = DEFAULT_SPLIT_LIMIT,
) -> dd.DataFrame:
    """Every pair of rows whose texts' fingerprints are at most ``max_distance`` bits apart.

    ``df`` is a Dask DataFrame with a text column and an id column of unique values. Returns a
    Dask DataFrame of ``id_a``, ``id_b`` (``id_a < id_b``) and ``distance`` (``uint8``):
    exactly the pairs :func:`veltrane.near_duplicate_pairs` finds on
    ``veltrane.fingerprints64`` of the same texts, mapped to ids, in no particular order.
    :func:`fingerprints` followed by :func:`fingerprint_pairs`; see both.
    """
    return fingerprint_pairs(
        fingerprints(df, text, id), FP, ID, max_distance, split_limit=split_limit
    )
