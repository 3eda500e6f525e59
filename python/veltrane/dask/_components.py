"""Clusters: connected components of the pairs by large-star / small-star rounds."""

from __future__ import annotations

import dask
import dask.dataframe as dd
import numpy as np
import pandas as pd

from ._frames import check_columns, empty_frame

# Edges per partition in the rounds of clusters: 1,000,000 pairs of int64 ids are 16 MB.
_EDGES_PER_PARTITION = 1_000_000


def oriented_edges(part: pd.DataFrame, a: str, b: str) -> pd.DataFrame:
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


def star_forest(edges: dd.DataFrame) -> dd.DataFrame:
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
    edge_meta = empty_frame(u=edges["u"].dtype, v=edges["v"].dtype)
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


def leaf_edges(forest: dd.DataFrame) -> dd.DataFrame:
    """The forest's (leaf, centre) edges, each once: rounds drop repeats only per partition."""
    meta = empty_frame(u=forest["u"].dtype, v=forest["v"].dtype)
    return forest.shuffle(on="u", ignore_index=True, force=True).map_partitions(
        _distinct, meta=meta
    )


def _labels(leaves: dd.DataFrame) -> dd.DataFrame:
    id_dtype = leaves["v"].dtype
    centres = (
        leaves[["v"]]
        .shuffle(on="v", ignore_index=True, force=True)
        .map_partitions(_centres, meta=empty_frame(id=id_dtype, representative=id_dtype))
    )
    return dd.concat([leaves.rename(columns={"u": "id", "v": "representative"}), centres])


def clusters(pairs: dd.DataFrame) -> dd.DataFrame:
    """For each id in ``pairs``, the smallest id of its connected component.

    ``pairs`` is a Dask DataFrame with columns ``id_a`` and ``id_b`` (any further columns are
    ignored), such as :func:`near_duplicate_pairs` returns. Returns a Dask DataFrame with
    columns ``id`` and ``representative``, one row per id that appears in a pair, in no
    particular order. Ids in no pair are clusters of their own and do not appear.

    The components are computed on the cluster by large-star / small-star rounds (see
    ``star_forest``); the pairs are never collected in one place. This call computes:
    each round is persisted on the workers, and the call returns when the rounds have
    converged, with a result built on the persisted edges.
    """
    check_columns(pairs, "id_a", "id_b")
    id_dtype = pairs["id_a"].dtype
    edges = pairs[["id_a", "id_b"]].map_partitions(
        oriented_edges, "id_a", "id_b", meta=empty_frame(u=id_dtype, v=id_dtype)
    )
    return _labels(leaf_edges(star_forest(edges)))
