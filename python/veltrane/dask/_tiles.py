"""Skewed groups: (block, value) groups over the split limit, found before the shuffle and cut
into slices, every pair of slices searched as one tile."""

from __future__ import annotations

import dask.dataframe as dd
import numpy as np
import pandas as pd

from .. import _native
from ._blocks import MAX_SLICES, block_keys
from ._frames import FP, empty_frame

#: The largest (block, value) group one task searches whole. Checking a group is quadratic:
#: 100,000 fingerprints are 5 * 10^9 comparisons, seconds for one core, while a random
#: corpus of 10^9 texts at distance 3 has groups of 10^9 / 2^16, about 15,000.
DEFAULT_SPLIT_LIMIT = 100_000
# A tile holds two slices of at least one fingerprint each.
MIN_SPLIT_LIMIT = 2


def _local_heavy(part: pd.DataFrame, blocks, limit: int, nparts: int) -> pd.DataFrame:
    """Keys that may be in more than ``limit`` rows overall: a key over the limit in all
    ``nparts`` partitions together is over limit / nparts in at least one of them."""
    keys, counts = np.unique(block_keys(part[FP].to_numpy(), blocks), return_counts=True)
    over = counts * nparts > limit
    return pd.DataFrame({"key": keys[over], "count": counts[over].astype(np.int64)})


def _count_candidates(part: pd.DataFrame, candidates: pd.DataFrame, blocks) -> pd.DataFrame:
    wanted = np.unique(candidates["key"].to_numpy())
    if len(wanted) == 0:
        return empty_frame(key=np.uint64, count=np.int64)
    keys = block_keys(part[FP].to_numpy(), blocks)
    keys, counts = np.unique(keys[np.isin(keys, wanted)], return_counts=True)
    return pd.DataFrame({"key": keys, "count": counts.astype(np.int64)})


def _over_limit(counts: pd.DataFrame, limit: int) -> pd.DataFrame:
    totals = counts.groupby("key", sort=True)["count"].sum()
    totals = totals[totals > limit]
    return pd.DataFrame({"key": totals.index.to_numpy(np.uint64), "count": totals.to_numpy()})


def heavy_groups(distinct: dd.DataFrame, blocks, limit: int) -> dd.DataFrame:
    """A one-partition frame of the (block, value) keys with more than ``limit`` rows and
    their sizes, found without gathering all keys anywhere: candidates from each partition's
    own counts, then exact counts of the candidates alone."""
    meta = empty_frame(key=np.uint64, count=np.int64)
    nparts = distinct.npartitions
    candidates = distinct.map_partitions(
        _local_heavy, blocks, limit, nparts, meta=meta
    ).repartition(npartitions=1)
    counts = distinct.map_partitions(_count_candidates, candidates, blocks, meta=meta)
    return counts.repartition(npartitions=1).map_partitions(_over_limit, limit, meta=meta)


def cut_into_slices(
    fps: np.ndarray, group_sizes: np.ndarray, limit: int
) -> tuple[np.ndarray, np.ndarray]:
    """(slice count, slice) of rows of split groups: ``ceil(2 * size / limit)`` slices, so
    that two slices together hold about ``limit`` rows, chosen by a hash of the whole
    fingerprint (the group's block bits are all equal, so they cannot spread it)."""
    count = np.minimum(-(-2 * group_sizes // limit), MAX_SLICES)
    return count, (_native.mix64(fps) % count.astype(np.uint64)).astype(np.int64)


def heavy_lookup(heavy: pd.DataFrame, keys: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """For each block key: whether its group is split, and the group's size where it is."""
    heavy_keys = heavy["key"].to_numpy().astype(np.uint64)
    if len(heavy_keys) == 0 or len(keys) == 0:
        return np.zeros(len(keys), dtype=bool), np.zeros(len(keys), dtype=np.int64)
    order = np.argsort(heavy_keys)
    heavy_keys = heavy_keys[order]
    sizes = heavy["count"].to_numpy()[order]
    at = np.minimum(np.searchsorted(heavy_keys, keys), len(heavy_keys) - 1)
    return heavy_keys[at] == keys, sizes[at]
