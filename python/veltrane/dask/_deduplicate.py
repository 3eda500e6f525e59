"""The rows to keep: the smallest id of each cluster, settled between representatives."""

from __future__ import annotations

import dask
import dask.dataframe as dd
import pandas as pd

from .. import _args
from ..defaults import DEFAULT_MAX_DISTANCE
from ._collapse import Collapsed
from ._components import leaf_edges, oriented_edges, star_forest
from ._fingerprints import fingerprints
from ._frames import REP, check_columns, empty_frame, select
from ._hamming import representative_pairs
from ._tiles import DEFAULT_SPLIT_LIMIT, MIN_SPLIT_LIMIT


def _kept_marks(part: pd.DataFrame) -> pd.DataFrame:
    """Representatives marked kept unless the left join found them among the leaves."""
    return pd.DataFrame(
        {REP: part[REP].reset_index(drop=True), "kept": part["kept"].isna().to_numpy()}
    )


def deduplicate(
    df: dd.DataFrame,
    text: str = "text",
    id: str = "id",
    max_distance: int = DEFAULT_MAX_DISTANCE,
    *,
    split_limit: int = DEFAULT_SPLIT_LIMIT,
) -> dd.DataFrame:
    """The rows of ``df`` to keep when near duplicates are dropped: in each cluster of near
    duplicates (connected through pairs within ``max_distance``), the row with the smallest id.

    The same choice as :func:`veltrane.deduplicate_texts` with ``clusters="components"`` when
    the ids are the row positions.
    Returns a Dask DataFrame with ``df``'s columns and the kept rows in no particular order;
    the index is not kept (the rows come out of a join on the id). Rows with identical
    fingerprints are settled by their representative and never paired with each other, so a
    large set of identical texts costs its size, not its pairs.

    This call computes the clusters (see :func:`clusters`) and returns a frame that reads
    ``df`` again for the rows.
    """
    check_columns(df, text, id)
    max_distance = _args.max_distance(max_distance)
    limit = _args.in_range(split_limit, "split_limit", MIN_SPLIT_LIMIT)
    id_dtype = df[id].dtype
    distinct = Collapsed(fingerprints(df, text, id)).distinct
    rep_pairs = representative_pairs(distinct, max_distance, limit)
    edges = rep_pairs.map_partitions(
        oriented_edges, "rep_a", "rep_b", meta=empty_frame(u=id_dtype, v=id_dtype)
    )
    reps, edges = dask.persist(distinct[[REP]], edges)
    dropped = leaf_edges(star_forest(edges))[["u"]].assign(kept=False)
    marked = reps.merge(dropped, left_on=REP, right_on="u", how="left")
    marked = marked.map_partitions(_kept_marks, meta=empty_frame(**{REP: id_dtype, "kept": bool}))
    kept = select(marked, "kept", True)[[REP]].rename(columns={REP: id})
    return df.merge(kept, on=id, how="inner")
