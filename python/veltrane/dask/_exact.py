"""Exact copies on Dask: each row's digest (:mod:`veltrane.sketch.digest`) made in its
partition, the rows shuffled by digest so that each group of copies meets in one partition,
the first of each group in keep order kept there (as :func:`veltrane.deduplicate_texts` with
``method="exact"`` keeps it), and the decisions gathered to filter the partitions."""

from __future__ import annotations

import dask
import dask.dataframe as dd
import numpy as np
import pandas as pd

from ..sketch.digest import Normalize, check_normalize, empty_digest, text_digests
from ._frames import empty_frame
from ._partitions import keep_values, texts_of

_META = {"d0": np.uint64, "d1": np.uint64, "part": np.int64, "row": np.int64, "value": np.float64}


def _digested(
    part: pd.DataFrame, index: int, text: str, keep: str, column: str | None, normalize: str
) -> pd.DataFrame:
    texts = texts_of(part, text)
    d = text_digests(texts, normalize=normalize, threads=1)  # type: ignore[arg-type]
    value = keep_values(part, texts, keep, column)
    return pd.DataFrame(
        {
            "d0": d[:, 0],
            "d1": d[:, 1],
            "part": np.full(len(texts), index, dtype=np.int64),
            "row": np.arange(len(texts), dtype=np.int64),
            # Largest first, NaN last: the negated value ascending, NaN as +inf.
            "value": np.where(np.isnan(value), np.inf, -value),
        }
    )


def _decided(group: pd.DataFrame, apart: tuple[int, int]) -> pd.DataFrame:
    """Within a partition holding whole groups of copies: each dropped row and its keeper."""
    ordered = group.sort_values(["d0", "d1", "value", "part", "row"], kind="stable")
    first = ordered.groupby(["d0", "d1"], sort=False)[["part", "row"]].transform("first")
    blank = (ordered["d0"].to_numpy() == apart[0]) & (ordered["d1"].to_numpy() == apart[1])
    dropped = ((first["part"] != ordered["part"]) | (first["row"] != ordered["row"])).to_numpy()
    dropped = dropped & ~blank
    return pd.DataFrame(
        {
            "part": ordered["part"].to_numpy()[dropped],
            "row": ordered["row"].to_numpy()[dropped],
            "keeper_part": first["part"].to_numpy()[dropped],
            "keeper_row": first["row"].to_numpy()[dropped],
        }
    )


def _kept_rows(part: pd.DataFrame, drop: np.ndarray) -> pd.DataFrame:
    mask = np.ones(len(part), dtype=bool)
    mask[drop] = False
    return part[mask]


def deduplication(
    df: dd.DataFrame, text: str, keep: str, column: str | None, normalize: Normalize
) -> tuple[dd.DataFrame, pd.DataFrame]:
    """The kept rows (the input's columns and index, in input order) and a frame of the
    dropped rows: ``row``, ``keeper`` (global row positions) and ``similarity`` (1.0)."""
    check_normalize(normalize)
    parts = df.to_delayed()
    digested = dd.from_delayed(
        [
            dask.delayed(_digested)(p, k, text, keep, column, normalize)
            for k, p in enumerate(parts)
        ],
        meta=empty_frame(**_META),
        verify_meta=False,
    )
    # Under "words" texts without words are copies of nothing.
    none = (-1, -1) if normalize == "none" else tuple(int(v) for v in empty_digest(normalize))
    shuffled = digested.shuffle("d0", npartitions=max(1, digested.npartitions))
    meta = empty_frame(part=np.int64, row=np.int64, keeper_part=np.int64, keeper_row=np.int64)
    decided = shuffled.map_partitions(_decided, none, meta=meta).compute()
    (lengths,) = dask.compute([dask.delayed(len)(p) for p in parts])
    offsets = np.concatenate([[0], np.cumsum(lengths)]).astype(np.int64)
    drops = [
        np.sort(decided["row"].to_numpy()[decided["part"].to_numpy() == k])
        for k in range(len(parts))
    ]
    kept = dd.from_delayed(
        [dask.delayed(_kept_rows)(p, drops[k]) for k, p in enumerate(parts)],
        meta=df._meta,
        verify_meta=False,
    )
    row = offsets[decided["part"].to_numpy()] + decided["row"].to_numpy()
    keeper = offsets[decided["keeper_part"].to_numpy()] + decided["keeper_row"].to_numpy()
    order = np.argsort(row, kind="stable")
    duplicates = pd.DataFrame(
        {"row": row[order], "keeper": keeper[order], "similarity": np.ones(len(row))}
    )
    return kept, duplicates
