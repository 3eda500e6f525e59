"""What every step of the Dask search shares: the pipeline's column names, checks of the user's
frames, and small frame helpers that work inside partitions."""

from __future__ import annotations

import dask.dataframe as dd
import numpy as np
import pandas as pd

# Column names inside the pipeline; user columns are renamed to these on the way in.
ID = "id"
FP = "fingerprint"
REP = "rep"


def check_columns(df, *names: str) -> None:
    if not isinstance(df, dd.DataFrame):
        raise TypeError(f"df must be a Dask DataFrame, not {type(df).__name__}")
    if len(set(names)) != len(names):
        raise ValueError(f"the columns must be distinct, got {names}")
    missing = [name for name in names if name not in df.columns]
    if missing:
        raise KeyError(f"df has no column {missing[0]!r}; its columns are {list(df.columns)}")


def shown(value) -> str:
    """An id as the user wrote it: 2, not np.int64(2)."""
    return repr(value.item() if isinstance(value, np.generic) else value)


def empty_frame(**columns) -> pd.DataFrame:
    """An empty frame with these columns; each value is a dtype."""
    return pd.DataFrame({name: pd.Series([], dtype=dtype) for name, dtype in columns.items()})


def _rows_where(part: pd.DataFrame, column: str, value: bool) -> pd.DataFrame:
    return part[part[column].to_numpy() == value]


def select(frame: dd.DataFrame, column: str, value: bool) -> dd.DataFrame:
    """The rows whose boolean ``column`` is ``value``, filtered inside each partition: a Dask
    boolean key would be realigned by index across partitions, and these frames' indices are
    only positions within a partition."""
    return frame.map_partitions(
        _rows_where, column, value, meta=empty_frame(**frame.dtypes.to_dict())
    )
