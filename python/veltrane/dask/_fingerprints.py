"""Step 1: the fingerprint of every row, per partition."""

from __future__ import annotations

import dask.dataframe as dd
import numpy as np
import pandas as pd

from ..sketch.simhash import fingerprints64
from ._frames import FP, ID, check_columns, empty_frame, shown


def _fingerprint_partition(part: pd.DataFrame, text: str, id: str) -> pd.DataFrame:
    ids = part[id].reset_index(drop=True)
    if ids.isna().any():
        raise ValueError(f"the id column {id!r} has missing values")
    texts = part[text].reset_index(drop=True)
    missing = texts.isna()
    if missing.any():
        raise ValueError(f"the text of id {shown(ids[missing].iloc[0])} is missing")
    values = texts.tolist()
    try:
        fps = fingerprints64(values, threads=1)
    except TypeError:
        # The native message names a position inside this partition; the id means more.
        for k, value in enumerate(values):
            if not isinstance(value, (str, bytes, bytearray)):
                raise TypeError(
                    f"the text of id {shown(ids.iloc[k])} must be str, bytes or bytearray, "
                    f"not {type(value).__name__}"
                ) from None
        raise
    return pd.DataFrame({ID: ids, FP: fps})


def fingerprints(df: dd.DataFrame, text: str = "text", id: str = "id") -> dd.DataFrame:
    """The 64-bit SimHash fingerprint of every row's text.

    ``df`` is a Dask DataFrame with a text column (``str``, ``bytes`` or ``bytearray``
    values) and an id column. Returns a Dask DataFrame with columns ``id`` (the ids, same
    dtype) and ``fingerprint`` (``uint64``, the value :func:`veltrane.fingerprints64` gives),
    one row per row of ``df``, partitioned as ``df``. Each task fingerprints its partition on
    one thread with the GIL released, so a worker's threads run side by side. A missing text
    or id raises ValueError, a text of another type TypeError, both naming the id.
    """
    check_columns(df, text, id)
    meta = empty_frame(**{ID: df[id].dtype, FP: np.uint64})
    return df[[id, text]].map_partitions(_fingerprint_partition, text, id, meta=meta)
