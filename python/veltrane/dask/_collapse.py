"""Step 2: identical fingerprints collapsed onto one representative each.

In two levels, so that no task holds all rows of one fingerprint (a corpus may hold
millions of empty or boilerplate texts): each partition first collapses its own rows onto a
local representative; only those are shuffled by fingerprint, at most one per partition and
fingerprint, and collapsed onto the global representative. The members of a fingerprint stay
in their partitions, linked to the global representative through their local one.
"""

from __future__ import annotations

import dask.dataframe as dd
import numpy as np
import pandas as pd

from ._frames import FP, ID, REP, empty_frame, shown


def _runs(values: np.ndarray) -> np.ndarray:
    """For sorted values, True where a run of equal values starts."""
    first = np.ones(len(values), dtype=bool)
    first[1:] = values[1:] != values[:-1]
    return first


def _repeated(fps: np.ndarray, first: np.ndarray, ids: pd.Series) -> None:
    """Raises when an id repeats within a fingerprint (rows sorted by fingerprint, then id)."""
    repeated = ~first[1:] & (ids.iloc[1:].to_numpy() == ids.iloc[:-1].to_numpy())
    if repeated.any():
        raise ValueError(f"ids must be unique: id {shown(ids.iloc[1:][repeated].iloc[0])} repeats")


def _local_groups(part: pd.DataFrame) -> pd.DataFrame:
    """Every row of a partition with its fingerprint's local representative (smallest id in
    this partition) and the local count, sorted by (fingerprint, id)."""
    part = part.sort_values([FP, ID], kind="stable", ignore_index=True)
    fps = part[FP].to_numpy()
    ids = part[ID]
    first = _runs(fps)
    _repeated(fps, first, ids)
    starts = np.flatnonzero(first)
    group = np.cumsum(first) - 1
    sizes = np.diff(np.append(starts, len(fps)))
    return pd.DataFrame(
        {
            FP: fps,
            ID: ids,
            "local": ids.iloc[starts[group]].reset_index(drop=True),
            "local_size": sizes[group].astype(np.int64),
        }
    )


def _local_representatives(part: pd.DataFrame) -> pd.DataFrame:
    lead = part[(part[ID] == part["local"]).to_numpy()]
    return pd.DataFrame(
        {
            FP: lead[FP].to_numpy(),
            "local": lead["local"].reset_index(drop=True),
            "local_size": lead["local_size"].to_numpy(),
        }
    )


def _local_members(part: pd.DataFrame) -> pd.DataFrame:
    """(local representative, id) of the rows that share their fingerprint within the
    partition."""
    shared = part[part["local_size"].to_numpy() > 1]
    return pd.DataFrame(
        {"local": shared["local"].reset_index(drop=True), ID: shared[ID].reset_index(drop=True)}
    )


def _global_groups(part: pd.DataFrame) -> pd.DataFrame:
    """Every local representative with its fingerprint's representative (the smallest id of
    all) and the number of rows with the fingerprint. All local representatives of a
    fingerprint are in this partition."""
    part = part.sort_values([FP, "local"], kind="stable", ignore_index=True)
    fps = part[FP].to_numpy()
    local = part["local"]
    first = _runs(fps)
    _repeated(fps, first, local)
    starts = np.flatnonzero(first)
    group = np.cumsum(first) - 1
    totals = np.add.reduceat(part["local_size"].to_numpy(), starts) if len(starts) else starts
    return pd.DataFrame(
        {
            FP: fps,
            "local": local,
            "local_size": part["local_size"].to_numpy(),
            REP: local.iloc[starts[group]].reset_index(drop=True),
            "size": totals[group].astype(np.int64),
        }
    )


def _distinct_rows(part: pd.DataFrame) -> pd.DataFrame:
    """One row per fingerprint: the fingerprint, its representative, and whether other rows
    share it."""
    lead = part[(part["local"] == part[REP]).to_numpy()]
    return pd.DataFrame(
        {
            FP: lead[FP].to_numpy(),
            REP: lead[REP].reset_index(drop=True),
            "multi": lead["size"].to_numpy() > 1,
        }
    )


def _lone_members(part: pd.DataFrame) -> pd.DataFrame:
    """(representative, id) for the rows of a shared fingerprint that are alone with it in
    their partition: the local representative is the row."""
    lone = part[(part["size"].to_numpy() > 1) & (part["local_size"].to_numpy() == 1)]
    return pd.DataFrame(
        {REP: lone[REP].reset_index(drop=True), ID: lone["local"].reset_index(drop=True)}
    )


def _links(part: pd.DataFrame) -> pd.DataFrame:
    """(local representative, representative) of the local groups of several rows."""
    linked = part[part["local_size"].to_numpy() > 1]
    return pd.DataFrame(
        {
            "local": linked["local"].reset_index(drop=True),
            REP: linked[REP].reset_index(drop=True),
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


def member_pairs(part: pd.DataFrame) -> pd.DataFrame:
    """The pairs, at distance 0, among the members of each representative (all of them in
    this partition); sorted by id within a representative, each pair comes out ordered."""
    part = part.sort_values([REP, ID], kind="stable", ignore_index=True)
    reps = part[REP].to_numpy()
    run_ends = np.append(np.flatnonzero(_runs(reps))[1:], len(reps))
    lengths = np.diff(np.append(0, run_ends))
    p, q = _pairs_within_runs(np.repeat(run_ends, lengths))
    ids = part[ID]
    return pd.DataFrame(
        {
            "id_a": ids.iloc[p].reset_index(drop=True),
            "id_b": ids.iloc[q].reset_index(drop=True),
            "distance": np.zeros(len(p), dtype=np.uint8),
        }
    )


class Collapsed:
    """The lazy frames of the collapse: ``distinct`` (fingerprint, representative, multi) and,
    built on demand, ``members`` (representative, id) of every shared fingerprint."""

    def __init__(self, frame: dd.DataFrame) -> None:
        id_dtype = frame[ID].dtype
        self.id_dtype = id_dtype
        self.local = frame.map_partitions(
            _local_groups,
            meta=empty_frame(
                **{FP: np.uint64, ID: id_dtype, "local": id_dtype}, local_size=np.int64
            ),
        )
        leads = self.local.map_partitions(
            _local_representatives,
            meta=empty_frame(**{FP: np.uint64}, local=id_dtype, local_size=np.int64),
        )
        self.groups = leads.shuffle(on=FP, ignore_index=True, force=True).map_partitions(
            _global_groups,
            meta=empty_frame(
                **{FP: np.uint64},
                local=id_dtype,
                local_size=np.int64,
                **{REP: id_dtype},
                size=np.int64,
            ),
        )
        self.distinct = self.groups.map_partitions(
            _distinct_rows, meta=empty_frame(**{FP: np.uint64, REP: id_dtype}, multi=bool)
        )

    def members(self) -> dd.DataFrame:
        pair = empty_frame(**{REP: self.id_dtype, ID: self.id_dtype})
        lone = self.groups.map_partitions(_lone_members, meta=pair)
        links = self.groups.map_partitions(
            _links, meta=empty_frame(local=self.id_dtype, **{REP: self.id_dtype})
        )
        shared = self.local.map_partitions(
            _local_members, meta=empty_frame(local=self.id_dtype, **{ID: self.id_dtype})
        )
        linked = shared.merge(links, on="local")[[REP, ID]]
        return dd.concat([lone, linked]).repartition(npartitions=self.local.npartitions)
