"""Step 3: the block shuffle and the pigeonhole search between representatives."""

from __future__ import annotations

import dask.dataframe as dd
import numpy as np
import pandas as pd

from ..search import hamming
from ._blocks import (
    FIRST_SLICE_SHIFT,
    GROUP_MASK,
    KEY_SHIFT,
    SECOND_SLICE_SHIFT,
    SLICE_MASK,
    TILED,
    block_keys,
    block_layout,
    block_masks,
    lowest_agreeing_block,
)
from ._frames import FP, REP, empty_frame
from ._tiles import cut_into_slices, heavy_groups, heavy_lookup


def _explode(part: pd.DataFrame, heavy: pd.DataFrame, blocks, limit: int) -> pd.DataFrame:
    """One row per representative and block, keyed by (block, value).

    A group in ``heavy`` is cut into slices (see :func:`cut_into_slices`) and each of its rows goes
    to the tiles (i, j), i <= j, that hold its slice, once each: every pair of the group
    meets in exactly one tile, of about ``limit`` rows. The tile is packed into the key.
    """
    fps = part[FP].to_numpy()
    keys = block_keys(fps, blocks)
    rows = np.tile(np.arange(len(fps)), len(blocks))
    split, sizes = heavy_lookup(heavy, keys)
    if split.any():
        split_rows = rows[split]
        count, slice_of = cut_into_slices(fps[split_rows], sizes[split], limit)
        copies = np.repeat(np.arange(len(split_rows)), count)
        other = np.arange(len(copies)) - np.repeat(np.cumsum(count) - count, count)
        mine = slice_of[copies]
        tiles = (
            TILED
            | (np.minimum(mine, other).astype(np.uint64) << FIRST_SLICE_SHIFT)
            | (np.maximum(mine, other).astype(np.uint64) << SECOND_SLICE_SHIFT)
        )
        keys = np.concatenate([keys[~split], keys[split][copies] | tiles])
        rows = np.concatenate([rows[~split], split_rows[copies]])
    return pd.DataFrame(
        {
            "key": keys,
            FP: fps[rows],
            REP: part[REP].iloc[rows].reset_index(drop=True),
            "multi": part["multi"].to_numpy()[rows],
        }
    )


def _search_partition(
    part: pd.DataFrame, heavy: pd.DataFrame, max_distance: int, blocks, limit: int
) -> pd.DataFrame:
    """The pairs of representatives whose lowest agreeing block is the one they were keyed
    by in this partition."""
    masks = block_masks(blocks)
    fps = part[FP].to_numpy()
    keys = part["key"].to_numpy()
    groups = keys & GROUP_MASK
    found_i, found_j, found_d = [], [], []

    def search_rows(
        idx: np.ndarray, block: int, slices: np.ndarray | None, diagonal: bool
    ) -> None:
        found = hamming.near_duplicate_pairs(fps[idx], max_distance, threads=1)
        i, j = idx[found["i"]], idx[found["j"]]
        keep = (groups[i] == groups[j]) & (lowest_agreeing_block(fps[i] ^ fps[j], masks) == block)
        if slices is not None:
            # Inside a tile only the pairs the tile stands for: within its slice on the
            # diagonal, across its two slices elsewhere.
            keep &= (slices[found["i"]] == slices[found["j"]]) == diagonal
        found_i.append(i[keep])
        found_j.append(j[keep])
        found_d.append(found["distance"][keep])

    block_of = (groups >> np.uint64(KEY_SHIFT)).astype(np.int64)
    plain = (keys & TILED) == 0
    # All plain rows of one block at once: the native search sorts them into their groups,
    # and a pair from two different groups of this block is dropped by the group check.
    for block in np.unique(block_of[plain]):
        idx = np.flatnonzero(plain & (block_of == block))
        if len(idx) > 1:
            search_rows(idx, int(block), None, False)
    tiled = np.flatnonzero(~plain)
    if len(tiled):
        tiled = tiled[np.argsort(keys[tiled], kind="stable")]
        bounds = np.concatenate([[0], np.flatnonzero(np.diff(keys[tiled]) != 0) + 1, [len(tiled)]])
        _, sizes = heavy_lookup(heavy, groups[tiled[bounds[:-1]]])
        for start, end, size in zip(bounds[:-1], bounds[1:], sizes):
            if end - start > 1:
                idx = tiled[start:end]
                key = keys[idx[0]]
                first = (key >> FIRST_SLICE_SHIFT) & SLICE_MASK
                second = (key >> SECOND_SLICE_SHIFT) & SLICE_MASK
                _, slices = cut_into_slices(fps[idx], np.full(len(idx), size), limit)
                search_rows(idx, int(block_of[idx[0]]), slices, bool(first == second))

    i = np.concatenate(found_i) if found_i else np.empty(0, dtype=np.int64)
    j = np.concatenate(found_j) if found_j else np.empty(0, dtype=np.int64)
    distance = np.concatenate(found_d) if found_d else np.empty(0, dtype=np.uint8)
    reps = part[REP]
    multi = part["multi"].to_numpy()
    return pd.DataFrame(
        {
            "rep_a": reps.iloc[i].reset_index(drop=True),
            "rep_b": reps.iloc[j].reset_index(drop=True),
            "distance": distance.astype(np.uint8),
            "multi_a": multi[i],
            "multi_b": multi[j],
        }
    )


def representative_pairs(distinct: dd.DataFrame, max_distance: int, limit: int):
    """Every pair of distinct fingerprints within ``max_distance``, as representatives."""
    id_dtype = distinct[REP].dtype
    meta = empty_frame(
        rep_a=id_dtype, rep_b=id_dtype, distance=np.uint8, multi_a=bool, multi_b=bool
    )
    if max_distance == 0:
        # One block of all 64 bits: only identical fingerprints agree, and they are
        # collapsed already.
        return dd.from_pandas(meta, npartitions=1)
    blocks = block_layout(max_distance)
    heavy = heavy_groups(distinct, blocks, limit)
    exploded_meta = empty_frame(key=np.uint64, **{FP: np.uint64, REP: id_dtype}, multi=bool)
    exploded = distinct.map_partitions(_explode, heavy, blocks, limit, meta=exploded_meta)
    # One output partition per input partition and block keeps partitions at the input's
    # size, since every representative is emitted once per block.
    shuffled = exploded.shuffle(
        on="key",
        npartitions=distinct.npartitions * len(blocks),
        ignore_index=True,
        force=True,
    )
    return shuffled.map_partitions(
        _search_partition, heavy, max_distance, blocks, limit, meta=meta
    )
