"""Near-duplicate search beyond one machine, on Dask.

The same results as :func:`veltrane.near_duplicate_pairs`, :func:`veltrane.clusters` and
:func:`veltrane.deduplicate_texts`, for Dask DataFrames too large for one machine. Every step
is a Dask operation, so the code runs unchanged on the default local scheduler, on a
``distributed.LocalCluster`` and on any cluster a ``distributed.Client`` points at.

``fingerprints(df, text, id)``
    The 64-bit SimHash fingerprint of every text, per partition.
``fingerprint_pairs(df, fingerprint, id, max_distance)`` / ``near_duplicate_pairs(df, ...)``
    Every pair of rows whose fingerprints are at most ``max_distance`` bits apart, as
    (``id_a``, ``id_b``, ``distance``) with ``id_a < id_b``.
``clusters(pairs)``
    For each id in the pairs, the smallest id of its connected component.
``deduplicate(df, ...)``
    The rows to keep: the smallest id of each cluster.

How the pairs are found (each step a Dask operation, none collecting data on the client):

1. Fingerprints per partition, by the native batch code with the GIL released, so that the
   worker's threads run in parallel.
2. Identical fingerprints collapsed: each set becomes one *representative* (its smallest id)
   plus its members, first within each partition, then across partitions by a shuffle of
   the partitions' own representatives. Only representatives are searched, so a million
   copies of one text cost a million rows, not 5 * 10^11 comparisons, and no task holds
   them all.
3. Pigeonhole: the 64 bits are cut into ``max_distance + 1`` blocks (as the single-machine
   search cuts them); two fingerprints within the distance agree on at least one block. Each
   representative is emitted once per block, keyed by (block, block value), and shuffled by
   that key. Each partition runs the native search over the rows of one block and keeps the
   pairs that agree on that block and on no lower one, so every pair is reported exactly once
   and no global distinct is needed.
4. The pairs between representatives are expanded to their members, and the members of each
   identical set are paired with each other at distance 0.

A (block, value) group larger than ``split_limit`` would make one task compare all its pairs
at once; such groups are found before the shuffle and split into tiles (see
:func:`fingerprint_pairs`), so no task loads a skewed group whole.
"""

from __future__ import annotations

try:
    import dask
    import dask.dataframe as dd
    import pandas as pd
except ImportError as e:  # pragma: no cover - exercised in a subprocess by the tests
    raise ImportError(
        "veltrane.dask needs Dask: install the extra with pip install 'veltrane[dask]' "
        f"(dask[dataframe] and distributed); the import failed with: {e}"
    ) from e

import numpy as np

from . import _args
from . import search as _search
from .search import fingerprints64

__all__ = [
    "DEFAULT_SPLIT_LIMIT",
    "clusters",
    "deduplicate",
    "fingerprint_pairs",
    "fingerprints",
    "near_duplicate_pairs",
]

#: The largest (block, value) group one task searches whole. Checking a group is quadratic:
#: 100,000 fingerprints are 5 * 10^9 comparisons, seconds for one core, while a random
#: corpus of 10^9 texts at distance 3 has groups of 10^9 / 2^16, about 15,000.
DEFAULT_SPLIT_LIMIT = 100_000
# A tile holds two chunks of at least one fingerprint each.
_MIN_SPLIT_LIMIT = 2

# Column names inside the pipeline; user columns are renamed to these on the way in.
_ID = "id"
_FP = "fingerprint"
_REP = "rep"

# A row's key packs, from the lowest bit: the block value (blocks are at most 32 bits wide
# once there are two or more of them, max_distance >= 1), the block number (up to
# MAX_DISTANCE = 16: 5 bits), and for the rows of a split group the tile: chunk i, chunk j
# (13 bits each) and a flag in the top bit. One uint64 is the whole shuffle key.
_KEY_SHIFT = 32
_GROUP_MASK = np.uint64((1 << 37) - 1)
_FIRST_CHUNK_SHIFT = np.uint64(37)
_SECOND_CHUNK_SHIFT = np.uint64(50)
_CHUNK_MASK = np.uint64((1 << 13) - 1)
_TILED = np.uint64(1 << 63)
# A group is cut into at most 2^13 chunks, 33 million tiles; past that tiles grow beyond
# the limit rather than overflow the key.
_MAX_CHUNKS = 1 << 13

# Edges per partition in the rounds of clusters: 1,000,000 pairs of int64 ids are 16 MB.
_EDGES_PER_PARTITION = 1_000_000

# splitmix64's finaliser (Steele, Lea and Flood, "Fast splittable pseudorandom number
# generators", 2014): spreads fingerprints that share a block evenly over a group's chunks.
_MIX_1 = np.uint64(0xBF58476D1CE4E5B9)
_MIX_2 = np.uint64(0x94D049BB133111EB)


# --------------------------------------------------------------------------------------------
# Arguments


def _check_columns(df, *names: str) -> None:
    if not isinstance(df, dd.DataFrame):
        raise TypeError(f"df must be a Dask DataFrame, not {type(df).__name__}")
    if len(set(names)) != len(names):
        raise ValueError(f"the columns must be distinct, got {names}")
    missing = [name for name in names if name not in df.columns]
    if missing:
        raise KeyError(f"df has no column {missing[0]!r}; its columns are {list(df.columns)}")


def _shown(value) -> str:
    """An id as the user wrote it: 2, not np.int64(2)."""
    return repr(value.item() if isinstance(value, np.generic) else value)


def _empty(**columns) -> pd.DataFrame:
    """An empty frame with these columns; each value is a dtype."""
    return pd.DataFrame({name: pd.Series([], dtype=dtype) for name, dtype in columns.items()})


# --------------------------------------------------------------------------------------------
# Blocks


def _blocks(max_distance: int) -> list[tuple[int, int]]:
    """(shift, width) of each block: max_distance + 1 contiguous blocks from bit 0 upward,
    the first 64 % (max_distance + 1) of them one bit wider, as the single-machine search
    cuts them."""
    count = max_distance + 1
    blocks = []
    shift = 0
    for b in range(count):
        width = 64 // count + (1 if b < 64 % count else 0)
        blocks.append((shift, width))
        shift += width
    return blocks


def _block_masks(blocks) -> list[np.uint64]:
    return [np.uint64(((1 << width) - 1) << shift) for shift, width in blocks]


def _block_keys(fps: np.ndarray, blocks) -> np.ndarray:
    """The (block, value) key of every fingerprint for every block, block after block."""
    keys = np.empty(len(fps) * len(blocks), dtype=np.uint64)
    for b, (shift, width) in enumerate(blocks):
        value = (fps >> np.uint64(shift)) & np.uint64((1 << width) - 1)
        keys[b * len(fps) : (b + 1) * len(fps)] = value | np.uint64(b << _KEY_SHIFT)
    return keys


def _lowest_agreeing_block(diff: np.ndarray, masks) -> np.ndarray:
    """For each XOR of two fingerprints, the lowest block on which they agree (len(masks)
    when none)."""
    lowest = np.full(len(diff), len(masks), dtype=np.int64)
    for b in reversed(range(len(masks))):
        lowest[(diff & masks[b]) == 0] = b
    return lowest


def _mix(fps: np.ndarray) -> np.ndarray:
    z = fps ^ (fps >> np.uint64(30))
    z = z * _MIX_1
    z = z ^ (z >> np.uint64(27))
    z = z * _MIX_2
    return z ^ (z >> np.uint64(31))


# --------------------------------------------------------------------------------------------
# Step 1: fingerprints


def _fingerprint_partition(part: pd.DataFrame, text: str, id: str) -> pd.DataFrame:
    ids = part[id].reset_index(drop=True)
    if ids.isna().any():
        raise ValueError(f"the id column {id!r} has missing values")
    texts = part[text].reset_index(drop=True)
    missing = texts.isna()
    if missing.any():
        raise ValueError(f"the text of id {_shown(ids[missing].iloc[0])} is missing")
    values = texts.tolist()
    try:
        fps = fingerprints64(values, threads=1)
    except TypeError:
        # The native message names a position inside this partition; the id means more.
        for k, value in enumerate(values):
            if not isinstance(value, (str, bytes, bytearray)):
                raise TypeError(
                    f"the text of id {_shown(ids.iloc[k])} must be str, bytes or bytearray, "
                    f"not {type(value).__name__}"
                ) from None
        raise
    return pd.DataFrame({_ID: ids, _FP: fps})


def fingerprints(df: dd.DataFrame, text: str = "text", id: str = "id") -> dd.DataFrame:
    """The 64-bit SimHash fingerprint of every row's text.

    ``df`` is a Dask DataFrame with a text column (``str``, ``bytes`` or ``bytearray``
    values) and an id column. Returns a Dask DataFrame with columns ``id`` (the ids, same
    dtype) and ``fingerprint`` (``uint64``, the value :func:`veltrane.fingerprints64` gives),
    one row per row of ``df``, partitioned as ``df``. Each task fingerprints its partition on
    one thread with the GIL released, so a worker's threads run side by side. A missing text
    or id raises ValueError, a text of another type TypeError, both naming the id.
    """
    _check_columns(df, text, id)
    meta = _empty(**{_ID: df[id].dtype, _FP: np.uint64})
    return df[[id, text]].map_partitions(_fingerprint_partition, text, id, meta=meta)


# --------------------------------------------------------------------------------------------
# Step 2: identical fingerprints collapsed
#
# In two levels, so that no task holds all rows of one fingerprint (a corpus may hold
# millions of empty or boilerplate texts): each partition first collapses its own rows onto a
# local representative; only those are shuffled by fingerprint, at most one per partition and
# fingerprint, and collapsed onto the global representative. The members of a fingerprint stay
# in their partitions, linked to the global representative through their local one.


def _runs(values: np.ndarray) -> np.ndarray:
    """For sorted values, True where a run of equal values starts."""
    first = np.ones(len(values), dtype=bool)
    first[1:] = values[1:] != values[:-1]
    return first


def _repeated(fps: np.ndarray, first: np.ndarray, ids: pd.Series) -> None:
    """Raises when an id repeats within a fingerprint (rows sorted by fingerprint, then id)."""
    repeated = ~first[1:] & (ids.iloc[1:].to_numpy() == ids.iloc[:-1].to_numpy())
    if repeated.any():
        raise ValueError(
            f"ids must be unique: id {_shown(ids.iloc[1:][repeated].iloc[0])} repeats"
        )


def _local_groups(part: pd.DataFrame) -> pd.DataFrame:
    """Every row of a partition with its fingerprint's local representative (smallest id in
    this partition) and the local count, sorted by (fingerprint, id)."""
    part = part.sort_values([_FP, _ID], kind="stable", ignore_index=True)
    fps = part[_FP].to_numpy()
    ids = part[_ID]
    first = _runs(fps)
    _repeated(fps, first, ids)
    starts = np.flatnonzero(first)
    group = np.cumsum(first) - 1
    sizes = np.diff(np.append(starts, len(fps)))
    return pd.DataFrame(
        {
            _FP: fps,
            _ID: ids,
            "local": ids.iloc[starts[group]].reset_index(drop=True),
            "local_size": sizes[group].astype(np.int64),
        }
    )


def _local_representatives(part: pd.DataFrame) -> pd.DataFrame:
    lead = part[(part[_ID] == part["local"]).to_numpy()]
    return pd.DataFrame(
        {
            _FP: lead[_FP].to_numpy(),
            "local": lead["local"].reset_index(drop=True),
            "local_size": lead["local_size"].to_numpy(),
        }
    )


def _local_members(part: pd.DataFrame) -> pd.DataFrame:
    """(local representative, id) of the rows that share their fingerprint within the
    partition."""
    shared = part[part["local_size"].to_numpy() > 1]
    return pd.DataFrame(
        {"local": shared["local"].reset_index(drop=True), _ID: shared[_ID].reset_index(drop=True)}
    )


def _global_groups(part: pd.DataFrame) -> pd.DataFrame:
    """Every local representative with its fingerprint's representative (the smallest id of
    all) and the number of rows with the fingerprint. All local representatives of a
    fingerprint are in this partition."""
    part = part.sort_values([_FP, "local"], kind="stable", ignore_index=True)
    fps = part[_FP].to_numpy()
    local = part["local"]
    first = _runs(fps)
    _repeated(fps, first, local)
    starts = np.flatnonzero(first)
    group = np.cumsum(first) - 1
    totals = np.add.reduceat(part["local_size"].to_numpy(), starts) if len(starts) else starts
    return pd.DataFrame(
        {
            _FP: fps,
            "local": local,
            "local_size": part["local_size"].to_numpy(),
            _REP: local.iloc[starts[group]].reset_index(drop=True),
            "size": totals[group].astype(np.int64),
        }
    )


def _distinct_rows(part: pd.DataFrame) -> pd.DataFrame:
    """One row per fingerprint: the fingerprint, its representative, and whether other rows
    share it."""
    lead = part[(part["local"] == part[_REP]).to_numpy()]
    return pd.DataFrame(
        {
            _FP: lead[_FP].to_numpy(),
            _REP: lead[_REP].reset_index(drop=True),
            "multi": lead["size"].to_numpy() > 1,
        }
    )


def _lone_members(part: pd.DataFrame) -> pd.DataFrame:
    """(representative, id) for the rows of a shared fingerprint that are alone with it in
    their partition: the local representative is the row."""
    lone = part[(part["size"].to_numpy() > 1) & (part["local_size"].to_numpy() == 1)]
    return pd.DataFrame(
        {_REP: lone[_REP].reset_index(drop=True), _ID: lone["local"].reset_index(drop=True)}
    )


def _links(part: pd.DataFrame) -> pd.DataFrame:
    """(local representative, representative) of the local groups of several rows."""
    linked = part[part["local_size"].to_numpy() > 1]
    return pd.DataFrame(
        {
            "local": linked["local"].reset_index(drop=True),
            _REP: linked[_REP].reset_index(drop=True),
        }
    )


def _pairs_within_runs(ends: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """Every (p, q), p < q, of positions in the same run, runs given by the end (exclusive)
    of each position's run."""
    positions = np.arange(len(ends))
    counts = ends - positions - 1
    p = np.repeat(positions, counts)
    starts = np.cumsum(counts) - counts
    q = p + 1 + (np.arange(len(p)) - np.repeat(starts, counts))
    return p, q


def _member_pairs(part: pd.DataFrame) -> pd.DataFrame:
    """The pairs, at distance 0, among the members of each representative (all of them in
    this partition); sorted by id within a representative, each pair comes out ordered."""
    part = part.sort_values([_REP, _ID], kind="stable", ignore_index=True)
    reps = part[_REP].to_numpy()
    run_ends = np.append(np.flatnonzero(_runs(reps))[1:], len(reps))
    lengths = np.diff(np.append(0, run_ends))
    p, q = _pairs_within_runs(np.repeat(run_ends, lengths))
    ids = part[_ID]
    return pd.DataFrame(
        {
            "id_a": ids.iloc[p].reset_index(drop=True),
            "id_b": ids.iloc[q].reset_index(drop=True),
            "distance": np.zeros(len(p), dtype=np.uint8),
        }
    )


class _Collapsed:
    """The lazy frames of the collapse: ``distinct`` (fingerprint, representative, multi) and,
    built on demand, ``members`` (representative, id) of every shared fingerprint."""

    def __init__(self, frame: dd.DataFrame) -> None:
        id_dtype = frame[_ID].dtype
        self.id_dtype = id_dtype
        self.local = frame.map_partitions(
            _local_groups,
            meta=_empty(**{_FP: np.uint64, _ID: id_dtype, "local": id_dtype}, local_size=np.int64),
        )
        leads = self.local.map_partitions(
            _local_representatives,
            meta=_empty(**{_FP: np.uint64}, local=id_dtype, local_size=np.int64),
        )
        self.groups = leads.shuffle(on=_FP, ignore_index=True, force=True).map_partitions(
            _global_groups,
            meta=_empty(
                **{_FP: np.uint64},
                local=id_dtype,
                local_size=np.int64,
                **{_REP: id_dtype},
                size=np.int64,
            ),
        )
        self.distinct = self.groups.map_partitions(
            _distinct_rows, meta=_empty(**{_FP: np.uint64, _REP: id_dtype}, multi=bool)
        )

    def members(self) -> dd.DataFrame:
        pair = _empty(**{_REP: self.id_dtype, _ID: self.id_dtype})
        lone = self.groups.map_partitions(_lone_members, meta=pair)
        links = self.groups.map_partitions(
            _links, meta=_empty(local=self.id_dtype, **{_REP: self.id_dtype})
        )
        shared = self.local.map_partitions(
            _local_members, meta=_empty(local=self.id_dtype, **{_ID: self.id_dtype})
        )
        linked = shared.merge(links, on="local")[[_REP, _ID]]
        return dd.concat([lone, linked]).repartition(npartitions=self.local.npartitions)


# --------------------------------------------------------------------------------------------
# Step 3: pigeonhole search between representatives


def _local_heavy(part: pd.DataFrame, blocks, limit: int, nparts: int) -> pd.DataFrame:
    """Keys that may be in more than ``limit`` rows overall: a key over the limit in all
    ``nparts`` partitions together is over limit / nparts in at least one of them."""
    keys, counts = np.unique(_block_keys(part[_FP].to_numpy(), blocks), return_counts=True)
    over = counts * nparts > limit
    return pd.DataFrame({"key": keys[over], "count": counts[over].astype(np.int64)})


def _count_candidates(part: pd.DataFrame, candidates: pd.DataFrame, blocks) -> pd.DataFrame:
    wanted = np.unique(candidates["key"].to_numpy())
    if len(wanted) == 0:
        return _empty(key=np.uint64, count=np.int64)
    keys = _block_keys(part[_FP].to_numpy(), blocks)
    keys, counts = np.unique(keys[np.isin(keys, wanted)], return_counts=True)
    return pd.DataFrame({"key": keys, "count": counts.astype(np.int64)})


def _over_limit(counts: pd.DataFrame, limit: int) -> pd.DataFrame:
    totals = counts.groupby("key", sort=True)["count"].sum()
    totals = totals[totals > limit]
    return pd.DataFrame({"key": totals.index.to_numpy(np.uint64), "count": totals.to_numpy()})


def _heavy_groups(distinct: dd.DataFrame, blocks, limit: int) -> dd.DataFrame:
    """A one-partition frame of the (block, value) keys with more than ``limit`` rows and
    their sizes, found without gathering all keys anywhere: candidates from each partition's
    own counts, then exact counts of the candidates alone."""
    meta = _empty(key=np.uint64, count=np.int64)
    nparts = distinct.npartitions
    candidates = distinct.map_partitions(
        _local_heavy, blocks, limit, nparts, meta=meta
    ).repartition(npartitions=1)
    counts = distinct.map_partitions(_count_candidates, candidates, blocks, meta=meta)
    return counts.repartition(npartitions=1).map_partitions(_over_limit, limit, meta=meta)


def _chunks(fps: np.ndarray, group_sizes: np.ndarray, limit: int) -> tuple[np.ndarray, np.ndarray]:
    """(chunk count, chunk) of rows of split groups: ``ceil(2 * size / limit)`` chunks, so
    that two chunks together hold about ``limit`` rows, chosen by a hash of the whole
    fingerprint (the group's block bits are all equal, so they cannot spread it)."""
    count = np.minimum(-(-2 * group_sizes // limit), _MAX_CHUNKS)
    return count, (_mix(fps) % count.astype(np.uint64)).astype(np.int64)


def _heavy_lookup(heavy: pd.DataFrame, keys: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
    """For each block key: whether its group is split, and the group's size where it is."""
    heavy_keys = heavy["key"].to_numpy().astype(np.uint64)
    if len(heavy_keys) == 0 or len(keys) == 0:
        return np.zeros(len(keys), dtype=bool), np.zeros(len(keys), dtype=np.int64)
    order = np.argsort(heavy_keys)
    heavy_keys = heavy_keys[order]
    sizes = heavy["count"].to_numpy()[order]
    at = np.minimum(np.searchsorted(heavy_keys, keys), len(heavy_keys) - 1)
    return heavy_keys[at] == keys, sizes[at]


def _explode(part: pd.DataFrame, heavy: pd.DataFrame, blocks, limit: int) -> pd.DataFrame:
    """One row per representative and block, keyed by (block, value).

    A group in ``heavy`` is cut into chunks (see :func:`_chunks`) and each of its rows goes
    to the tiles (i, j), i <= j, that hold its chunk, once each: every pair of the group
    meets in exactly one tile, of about ``limit`` rows. The tile is packed into the key.
    """
    fps = part[_FP].to_numpy()
    keys = _block_keys(fps, blocks)
    rows = np.tile(np.arange(len(fps)), len(blocks))
    split, sizes = _heavy_lookup(heavy, keys)
    if split.any():
        split_rows = rows[split]
        count, chunk = _chunks(fps[split_rows], sizes[split], limit)
        copies = np.repeat(np.arange(len(split_rows)), count)
        other = np.arange(len(copies)) - np.repeat(np.cumsum(count) - count, count)
        mine = chunk[copies]
        tiles = (
            _TILED
            | (np.minimum(mine, other).astype(np.uint64) << _FIRST_CHUNK_SHIFT)
            | (np.maximum(mine, other).astype(np.uint64) << _SECOND_CHUNK_SHIFT)
        )
        keys = np.concatenate([keys[~split], keys[split][copies] | tiles])
        rows = np.concatenate([rows[~split], split_rows[copies]])
    return pd.DataFrame(
        {
            "key": keys,
            _FP: fps[rows],
            _REP: part[_REP].iloc[rows].reset_index(drop=True),
            "multi": part["multi"].to_numpy()[rows],
        }
    )


def _search_partition(
    part: pd.DataFrame, heavy: pd.DataFrame, max_distance: int, blocks, limit: int
) -> pd.DataFrame:
    """The pairs of representatives whose lowest agreeing block is the one they were keyed
    by in this partition."""
    masks = _block_masks(blocks)
    fps = part[_FP].to_numpy()
    keys = part["key"].to_numpy()
    groups = keys & _GROUP_MASK
    found_i, found_j, found_d = [], [], []

    def search(idx: np.ndarray, block: int, chunks: np.ndarray | None, diagonal: bool) -> None:
        found = _search.near_duplicate_pairs(fps[idx], max_distance, threads=1)
        i, j = idx[found["i"]], idx[found["j"]]
        keep = (groups[i] == groups[j]) & (_lowest_agreeing_block(fps[i] ^ fps[j], masks) == block)
        if chunks is not None:
            # Inside a tile only the pairs the tile stands for: within its chunk on the
            # diagonal, across its two chunks elsewhere.
            keep &= (chunks[found["i"]] == chunks[found["j"]]) == diagonal
        found_i.append(i[keep])
        found_j.append(j[keep])
        found_d.append(found["distance"][keep])

    block_of = (groups >> np.uint64(_KEY_SHIFT)).astype(np.int64)
    plain = (keys & _TILED) == 0
    # All plain rows of one block at once: the native search sorts them into their groups,
    # and a pair from two different groups of this block is dropped by the group check.
    for block in np.unique(block_of[plain]):
        idx = np.flatnonzero(plain & (block_of == block))
        if len(idx) > 1:
            search(idx, int(block), None, False)
    tiled = np.flatnonzero(~plain)
    if len(tiled):
        tiled = tiled[np.argsort(keys[tiled], kind="stable")]
        bounds = np.concatenate([[0], np.flatnonzero(np.diff(keys[tiled]) != 0) + 1, [len(tiled)]])
        _, sizes = _heavy_lookup(heavy, groups[tiled[bounds[:-1]]])
        for start, end, size in zip(bounds[:-1], bounds[1:], sizes):
            if end - start > 1:
                idx = tiled[start:end]
                key = keys[idx[0]]
                first = (key >> _FIRST_CHUNK_SHIFT) & _CHUNK_MASK
                second = (key >> _SECOND_CHUNK_SHIFT) & _CHUNK_MASK
                _, chunks = _chunks(fps[idx], np.full(len(idx), size), limit)
                search(idx, int(block_of[idx[0]]), chunks, bool(first == second))

    i = np.concatenate(found_i) if found_i else np.empty(0, dtype=np.int64)
    j = np.concatenate(found_j) if found_j else np.empty(0, dtype=np.int64)
    distance = np.concatenate(found_d) if found_d else np.empty(0, dtype=np.uint8)
    reps = part[_REP]
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


def _representative_pairs(distinct: dd.DataFrame, max_distance: int, limit: int):
    """Every pair of distinct fingerprints within ``max_distance``, as representatives."""
    id_dtype = distinct[_REP].dtype
    meta = _empty(rep_a=id_dtype, rep_b=id_dtype, distance=np.uint8, multi_a=bool, multi_b=bool)
    if max_distance == 0:
        # One block of all 64 bits: only identical fingerprints agree, and they are
        # collapsed already.
        return dd.from_pandas(meta, npartitions=1)
    blocks = _blocks(max_distance)
    heavy = _heavy_groups(distinct, blocks, limit)
    exploded_meta = _empty(key=np.uint64, **{_FP: np.uint64, _REP: id_dtype}, multi=bool)
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


# --------------------------------------------------------------------------------------------
# Step 4: back to the rows


def _ordered(part: pd.DataFrame) -> pd.DataFrame:
    x, y = part["x"], part["y"]
    if (x == y).any():
        raise ValueError(f"ids must be unique: id {_shown(x[x == y].iloc[0])} repeats")
    swap = (x > y).to_numpy()
    return pd.DataFrame(
        {
            "id_a": x.where(~swap, y).reset_index(drop=True),
            "id_b": y.where(~swap, x).reset_index(drop=True),
            "distance": part["distance"].to_numpy(),
        }
    )


def _rows_where(part: pd.DataFrame, column: str, value: bool) -> pd.DataFrame:
    return part[part[column].to_numpy() == value]


def _where(frame: dd.DataFrame, column: str, value: bool) -> dd.DataFrame:
    """The rows whose boolean ``column`` is ``value``, filtered inside each partition: a Dask
    boolean key would be realigned by index across partitions, and these frames' indices are
    only positions within a partition."""
    return frame.map_partitions(_rows_where, column, value, meta=_empty(**frame.dtypes.to_dict()))


def _expand(rep_pairs: dd.DataFrame, members: dd.DataFrame) -> dd.DataFrame:
    """Pairs between representatives become pairs between all their rows; a representative
    whose fingerprint no other row shares stands for itself, so only the others are joined."""
    shared_a = members.rename(columns={_REP: "rep_a", _ID: "x"})
    left_columns = ["x", "rep_b", "distance", "multi_b"]
    # Concatenation adds up the partition counts; merging neighbours back keeps them level.
    nparts = rep_pairs.npartitions
    left = dd.concat(
        [
            _where(rep_pairs, "multi_a", False).rename(columns={"rep_a": "x"})[left_columns],
            _where(rep_pairs, "multi_a", True).merge(shared_a, on="rep_a")[left_columns],
        ]
    ).repartition(npartitions=nparts)
    shared_b = members.rename(columns={_REP: "rep_b", _ID: "y"})
    columns = ["x", "y", "distance"]
    both = dd.concat(
        [
            _where(left, "multi_b", False).rename(columns={"rep_b": "y"})[columns],
            _where(left, "multi_b", True).merge(shared_b, on="rep_b")[columns],
        ]
    ).repartition(npartitions=nparts)
    id_dtype = members[_ID].dtype
    meta = _empty(id_a=id_dtype, id_b=id_dtype, distance=np.uint8)
    return both.map_partitions(_ordered, meta=meta)


def _fingerprint_frame(df, fingerprint: str, id: str) -> dd.DataFrame:
    _check_columns(df, fingerprint, id)
    if df[fingerprint].dtype != np.uint64:
        raise TypeError(
            f"the fingerprint column {fingerprint!r} must be uint64, not {df[fingerprint].dtype}"
        )
    return df[[id, fingerprint]].rename(columns={id: _ID, fingerprint: _FP})


def _pair_meta(id_dtype) -> pd.DataFrame:
    return _empty(id_a=id_dtype, id_b=id_dtype, distance=np.uint8)


def fingerprint_pairs(
    df: dd.DataFrame,
    fingerprint: str = "fingerprint",
    id: str = "id",
    max_distance: int = 3,
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
    split_limit)`` chunks, and every pair of chunks (and every chunk with itself) is searched
    as one tile of about ``split_limit`` rows, keeping only the pairs across the tile's two
    chunks (within its chunk on the diagonal). Every pair of the group meets in exactly one
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
    limit = _args.in_range(split_limit, "split_limit", _MIN_SPLIT_LIMIT)
    collapsed = _Collapsed(_fingerprint_frame(df, fingerprint, id))
    members = collapsed.members()
    near = _expand(_representative_pairs(collapsed.distinct, max_distance, limit), members)
    identical = members.shuffle(on=_REP, ignore_index=True, force=True).map_partitions(
        _member_pairs, meta=_pair_meta(collapsed.id_dtype)
    )
    return dd.concat([near, identical])


def near_duplicate_pairs(
    df: dd.DataFrame,
    text: str = "text",
    id: str = "id",
    max_distance: int = 3,
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
        fingerprints(df, text, id), _FP, _ID, max_distance, split_limit=split_limit
    )


# --------------------------------------------------------------------------------------------
# Clusters: large-star / small-star


def _oriented_edges(part: pd.DataFrame, a: str, b: str) -> pd.DataFrame:
    """Edges (u, v) with u > v, self-loops and repeats within the partition dropped."""
    x, y = part[a].reset_index(drop=True), part[b].reset_index(drop=True)
    if x.isna().any() or y.isna().any():
        raise ValueError("pairs must not hold missing ids")
    swap = (x < y).to_numpy()
    edges = pd.DataFrame({"u": x.where(~swap, y), "v": y.where(~swap, x)})
    return edges[edges["u"] != edges["v"]].drop_duplicates(ignore_index=True)


def _large_star(part: pd.DataFrame) -> pd.DataFrame:
    """Each node's larger neighbours are linked to the smallest node of its neighbourhood
    (itself included)."""
    lowest = part.groupby("u", sort=False)["v"].transform("min")
    lowest = lowest.where(lowest < part["u"], part["u"])
    larger = part["v"] > part["u"]
    out = pd.DataFrame({"u": part["v"][larger], "v": lowest[larger]})
    return out.drop_duplicates(ignore_index=True)


def _small_star(part: pd.DataFrame) -> pd.DataFrame:
    """Each node and its smaller neighbours are linked to the smallest of those neighbours."""
    lowest = part.groupby("u", sort=False)["v"].transform("min")
    neighbours = pd.DataFrame({"u": part["v"], "v": lowest})
    out = pd.concat(
        [
            neighbours[neighbours["u"] != neighbours["v"]],
            pd.DataFrame({"u": part["u"], "v": lowest}),
        ]
    )
    return out.drop_duplicates(ignore_index=True)


def _not_star_nodes(part: pd.DataFrame) -> pd.Series:
    """How many nodes are neither a centre (all neighbours larger) nor a leaf (one neighbour,
    smaller). When no node is either, every component is a star around its smallest node."""
    grouped = part.groupby("u", sort=False)["v"]
    low, high = grouped.min(), grouped.max()
    bad = (low.to_numpy() < low.index.to_numpy()) & (high.to_numpy() != low.to_numpy())
    return pd.Series([int(bad.sum())], dtype=np.int64)


def _star_forest(edges: dd.DataFrame) -> dd.DataFrame:
    """Edges (leaf, centre) whose components are those of ``edges`` and whose centres are the
    components' smallest nodes.

    Large-star and small-star rounds (Kiveris, Lattanzi, Mirrokni, Rastogi and Vassilvitskii,
    "Connected Components in MapReduce and Beyond", 2014), each a shuffle by node; they take
    O(log^2 n) rounds where propagating the smallest label along a chain takes as many rounds
    as the chain is long. Each round's edges are persisted on the cluster, and a round checks
    on the way whether its input is a star forest already.
    """
    edges = edges.persist()
    # Pairs are few beside the rows they come from: partitions sized by the edges themselves
    # keep each round's shuffles from paying for many near-empty partitions.
    nparts = max(1, min(edges.npartitions, -(-len(edges) // _EDGES_PER_PARTITION)))
    edge_meta = _empty(u=edges["u"].dtype, v=edges["v"].dtype)
    while True:
        both = dd.concat([edges, edges.rename(columns={"u": "v", "v": "u"})])
        by_node = both.shuffle(on="u", npartitions=nparts, ignore_index=True, force=True)
        large = by_node.map_partitions(_large_star, meta=edge_meta)
        bad = by_node.map_partitions(_not_star_nodes, meta=pd.Series([], dtype=np.int64))
        large, bad = dask.persist(large, bad)
        if int(bad.sum().compute()) == 0:
            # On a star forest large-star changes nothing: its input is the answer.
            return edges
        edges = (
            large.shuffle(on="u", npartitions=nparts, ignore_index=True, force=True)
            .map_partitions(_small_star, meta=edge_meta)
            .persist()
        )


def _distinct(part: pd.DataFrame) -> pd.DataFrame:
    return part.drop_duplicates(ignore_index=True)


def _centres(part: pd.DataFrame) -> pd.DataFrame:
    centres = part["v"].drop_duplicates(ignore_index=True)
    return pd.DataFrame({"id": centres, "representative": centres})


def _leaves(forest: dd.DataFrame) -> dd.DataFrame:
    """The forest's (leaf, centre) edges, each once: rounds drop repeats only per partition."""
    meta = _empty(u=forest["u"].dtype, v=forest["v"].dtype)
    return forest.shuffle(on="u", ignore_index=True, force=True).map_partitions(
        _distinct, meta=meta
    )


def _labels(leaves: dd.DataFrame) -> dd.DataFrame:
    id_dtype = leaves["v"].dtype
    centres = (
        leaves[["v"]]
        .shuffle(on="v", ignore_index=True, force=True)
        .map_partitions(_centres, meta=_empty(id=id_dtype, representative=id_dtype))
    )
    return dd.concat([leaves.rename(columns={"u": "id", "v": "representative"}), centres])


def clusters(pairs: dd.DataFrame) -> dd.DataFrame:
    """For each id in ``pairs``, the smallest id of its connected component.

    ``pairs`` is a Dask DataFrame with columns ``id_a`` and ``id_b`` (any further columns are
    ignored), such as :func:`near_duplicate_pairs` returns. Returns a Dask DataFrame with
    columns ``id`` and ``representative``, one row per id that appears in a pair, in no
    particular order. Ids in no pair are clusters of their own and do not appear.

    The components are computed on the cluster by large-star / small-star rounds (see
    :func:`_star_forest`); the pairs are never collected in one place. This call computes:
    each round is persisted on the workers, and the call returns when the rounds have
    converged, with a result built on the persisted edges.
    """
    _check_columns(pairs, "id_a", "id_b")
    id_dtype = pairs["id_a"].dtype
    edges = pairs[["id_a", "id_b"]].map_partitions(
        _oriented_edges, "id_a", "id_b", meta=_empty(u=id_dtype, v=id_dtype)
    )
    return _labels(_leaves(_star_forest(edges)))


def _kept_marks(part: pd.DataFrame) -> pd.DataFrame:
    """Representatives marked kept unless the left join found them among the leaves."""
    return pd.DataFrame(
        {_REP: part[_REP].reset_index(drop=True), "kept": part["kept"].isna().to_numpy()}
    )


def deduplicate(
    df: dd.DataFrame,
    text: str = "text",
    id: str = "id",
    max_distance: int = 3,
    *,
    split_limit: int = DEFAULT_SPLIT_LIMIT,
) -> dd.DataFrame:
    """The rows of ``df`` to keep when near duplicates are dropped: in each cluster of near
    duplicates (connected through pairs within ``max_distance``), the row with the smallest id.

    The same choice as :func:`veltrane.deduplicate_texts` when the ids are the row positions.
    Returns a Dask DataFrame with ``df``'s columns and the kept rows in no particular order;
    the index is not kept (the rows come out of a join on the id). Rows with identical
    fingerprints are settled by their representative and never paired with each other, so a
    large set of identical texts costs its size, not its pairs.

    This call computes the clusters (see :func:`clusters`) and returns a frame that reads
    ``df`` again for the rows.
    """
    _check_columns(df, text, id)
    max_distance = _args.max_distance(max_distance)
    limit = _args.in_range(split_limit, "split_limit", _MIN_SPLIT_LIMIT)
    id_dtype = df[id].dtype
    distinct = _Collapsed(fingerprints(df, text, id)).distinct
    rep_pairs = _representative_pairs(distinct, max_distance, limit)
    edges = rep_pairs.map_partitions(
        _oriented_edges, "rep_a", "rep_b", meta=_empty(u=id_dtype, v=id_dtype)
    )
    reps, edges = dask.persist(distinct[[_REP]], edges)
    dropped = _leaves(_star_forest(edges))[["u"]].assign(kept=False)
    marked = reps.merge(dropped, left_on=_REP, right_on="u", how="left")
    marked = marked.map_partitions(_kept_marks, meta=_empty(**{_REP: id_dtype, "kept": bool}))
    kept = _where(marked, "kept", True)[[_REP]].rename(columns={_REP: id})
    return df.merge(kept, on=id, how="inner")
