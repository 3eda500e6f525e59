"""Repeated lines and paragraphs cut out on Dask, as :func:`veltrane.remove_repeats` cuts them
on one machine: each partition lists its texts' units with what makes them equal (their words,
or their bytes), the units are shuffled by a digest of that so that equal ones meet in one
partition, where every unit but the first in corpus order (partition, row, unit) is a repeat,
and the repeats are gathered to cut each partition's texts.

Equal units are told apart by their normalised bytes themselves, not by the digest: a digest
collision routes two units to one partition and nothing more."""

from __future__ import annotations

import dask
import dask.dataframe as dd
import numpy as np
import pandas as pd

from .. import _native
from ..repeats import NORMALIZATIONS, cut_out
from ..sketch.digest import text_digests
from ._frames import check_columns, empty_frame
from ._partitions import texts_of

_UNITS = ("line", "paragraph")
_META = {
    "d0": np.uint64,
    "d1": np.uint64,
    "key": object,
    "part": np.int64,
    "row": np.int64,
    "unit": np.int64,
    "cut_start": np.int64,
    "cut_end": np.int64,
}


def _utf8(value) -> bytes:
    return value.encode("utf-8", "surrogatepass") if isinstance(value, str) else bytes(value)


def _units(part: pd.DataFrame, index: int, text: str, unit: str, by_words: bool) -> pd.DataFrame:
    """Every unit with words of the partition's texts, keyed by its words or its bytes."""
    texts = [_utf8(t) for t in texts_of(part, text)]
    rows, offsets = _native.repeat_units(texts, unit)
    owner = np.repeat(np.arange(len(texts), dtype=np.int64), np.diff(offsets))
    number = np.arange(len(rows), dtype=np.int64) - offsets[owner]
    keys, worded = [], np.zeros(len(rows), dtype=bool)
    for k, ((start, end), t) in enumerate(zip(rows[:, :2].tolist(), owner.tolist())):
        piece = texts[t][start:end]
        words = _native.words(piece)
        if words:  # a unit without words is never a repeat
            worded[k] = True
            keys.append(" ".join(words).encode() if by_words else piece)
    d = text_digests(keys, normalize="none", threads=1)
    return pd.DataFrame(
        {
            "d0": d[:, 0],
            "d1": d[:, 1],
            "key": pd.Series(keys, dtype=object),
            "part": np.full(len(keys), index, dtype=np.int64),
            "row": owner[worded],
            "unit": number[worded],
            "cut_start": rows[worded, 2],
            "cut_end": rows[worded, 3],
        }
    )


def _repeated(group: pd.DataFrame) -> pd.DataFrame:
    """Within a partition holding every unit of its keys: the units after the first."""
    ordered = group.sort_values(["part", "row", "unit"], kind="stable")
    later = ordered.duplicated(subset="key").to_numpy()
    return ordered[later][["part", "row", "cut_start", "cut_end"]]


def _cut(part: pd.DataFrame, text: str, cuts: pd.DataFrame, keep_empty: bool) -> pd.DataFrame:
    if cuts.empty:
        return part
    values = part[text].tolist()
    keep = np.ones(len(part), dtype=bool)
    for key, mine in cuts.groupby("row", sort=False):
        row = int(key)  # type: ignore[arg-type]
        value = values[row]
        raw = _utf8(value)
        # The units' cuts, joined where they touch or overlap (a last paragraph's takes the
        # blank lines the one before it took too).
        spans = sorted(zip(mine["cut_start"].tolist(), mine["cut_end"].tolist()))
        joined: list[list[int]] = []
        for start, end in spans:
            if joined and start <= joined[-1][1]:
                joined[-1][1] = max(joined[-1][1], end)
            else:
                joined.append([start, end])
        new = cut_out(raw, np.array(joined, dtype=np.int64).reshape(-1, 2))
        values[row] = new.decode("utf-8", "surrogatepass") if isinstance(value, str) else new
        keep[row] = keep_empty or _native.has_words(new)
    out = part.copy()
    out[text] = pd.Series(values, index=part.index, dtype=part[text].dtype)
    return out[keep]


def remove_repeats(
    df: dd.DataFrame,
    text: str = "text",
    *,
    unit: str = "line",
    normalize: str = "words",
    keep_empty: bool = False,
) -> dd.DataFrame:
    """The rows of ``df`` with the lines or paragraphs that occurred earlier in it cut out of
    their texts: :func:`veltrane.remove_repeats` with ``unit="line"`` or ``"paragraph"`` on
    the texts of the ``text`` column in row order (partition by partition), computed on the
    cluster.

    Args:
        df: a Dask DataFrame whose ``text`` column holds ``str`` or ``bytes``.
        unit: ``"line"`` or ``"paragraph"`` (runs of words are not cut on Dask).
        normalize: ``"words"`` or ``"none"``, as for :func:`veltrane.remove_repeats`.
        keep_empty: keep a row left without words (by default it is dropped).

    Returns:
        The rows, in order with their index and columns, each text cut as one machine cuts
        it. The units are found and shuffled when this is called; the cut rows are read
        again from ``df`` as the result is computed.

    Raises:
        ValueError: a unit or normalisation not listed above.
    """
    if unit not in _UNITS:
        raise ValueError(f"unit must be 'line' or 'paragraph' on Dask, got {unit!r}")
    if normalize not in NORMALIZATIONS:
        raise ValueError(f"normalize must be 'words' or 'none', got {normalize!r}")
    check_columns(df, text)
    parts = df.to_delayed()
    units = dd.from_delayed(
        [
            dask.delayed(_units)(p, k, text, unit, normalize == "words")
            for k, p in enumerate(parts)
        ],
        meta=empty_frame(**_META),
        verify_meta=False,
    )
    shuffled = units.shuffle("d0", npartitions=max(1, units.npartitions))
    meta = empty_frame(part=np.int64, row=np.int64, cut_start=np.int64, cut_end=np.int64)
    repeats = shuffled.map_partitions(_repeated, meta=meta).compute()
    by_part = dict(tuple(repeats.groupby("part", sort=False)))
    none = meta
    return dd.from_delayed(
        [
            dask.delayed(_cut)(p, text, by_part.get(k, none), keep_empty)
            for k, p in enumerate(parts)
        ],
        meta=df._meta,
        verify_meta=False,
    )
