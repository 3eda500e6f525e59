"""The rows to keep: MinHash near duplicates with the keep rule and greedy or component
clusters (``_job``), or the earlier SimHash entry: the smallest id of each cluster, settled
between representatives."""

from __future__ import annotations

import os
from typing import NamedTuple

import dask
import dask.dataframe as dd
import pandas as pd

from .. import _args
from ..defaults import DEFAULT_MAX_DISTANCE, DEFAULT_NGRAM, DEFAULT_NUM_PERM, DEFAULT_THRESHOLD
from ..search.jaccard import JaccardParams
from ..sketch.digest import DEFAULT_NORMALIZE, Normalize
from . import _exact, _job
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


def _simhash_components(
    df: dd.DataFrame, text: str, id: str, max_distance: int, split_limit: int
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


class Deduplication(NamedTuple):
    """What :func:`deduplication` keeps and drops, as Dask DataFrames built on decisions
    already computed on the cluster (partitions the workers could not hold are read again)."""

    #: The kept rows: the input's columns and index, in input order.
    kept: dd.DataFrame
    #: One row per dropped row: ``row`` and ``keeper`` (global row positions, as
    #: :attr:`veltrane.TextDeduplication.duplicate_of` numbers texts) and ``similarity``, the
    #: exact Jaccard similarity of their shingle sets; by partition, in row order.
    duplicates: dd.DataFrame


_JSON = (".json", ".jsonl", ".ndjson")
_COMPRESSED = (".gz", ".bz2", ".xz", ".zst")


def _is_json(path: str) -> bool:
    name = path.lower()
    for ext in _COMPRESSED:
        name = name.removesuffix(ext)
    return name.endswith(_JSON)


def read(data, blocksize: int | str | None = "64MiB") -> dd.DataFrame:
    """A Dask DataFrame of ``data``: a Dask DataFrame as it is, or the path of a Parquet file,
    a JSON Lines file (plain or compressed by its extension) or a directory of either, or a
    list of such paths, read by Dask's own readers (``blocksize`` splits plain JSON Lines)."""
    if isinstance(data, dd.DataFrame):
        return data
    paths = [data] if isinstance(data, (str, os.PathLike)) else list(data)
    if not paths:
        raise ValueError("no input paths")
    files: list[str] = []
    for path in map(os.fsdecode, paths):
        if os.path.isdir(path):
            files += sorted(
                os.path.join(path, name)
                for name in os.listdir(path)
                if not name.startswith((".", "_")) and os.path.isfile(os.path.join(path, name))
            )
        else:
            files.append(path)
    if not files:
        raise ValueError(f"no input files in {[os.fspath(p) for p in paths]}")
    if all(_is_json(f) for f in files):
        compressed = any(f.lower().endswith(_COMPRESSED) for f in files)
        return dd.read_json(
            files,
            lines=True,
            orient="records",
            blocksize=None if compressed else blocksize,
            compression="infer",
        )
    if any(_is_json(f) for f in files):
        raise ValueError("the inputs mix JSON Lines and other files")
    return dd.read_parquet(files)


def deduplication(
    data,
    text: str = "text",
    *,
    threshold: float = DEFAULT_THRESHOLD,
    ngram: int = DEFAULT_NGRAM,
    num_perm: int = DEFAULT_NUM_PERM,
    seed: int = 0,
    bands: int | None = None,
    rows: int | None = None,
    keep: str = "first",
    clusters: str = "greedy",
    blocksize: int | str | None = "64MiB",
) -> Deduplication:
    """The rows to keep when near duplicates are dropped, and each dropped row's keeper and
    similarity: :func:`veltrane.deduplicate_texts` with ``method="minhash"`` on the texts of
    ``data`` in row order, computed on the cluster.

    ``data`` is a Dask DataFrame or paths (see :func:`read`). ``keep`` is ``"first"`` (row
    order), ``"longest"`` (most UTF-8 bytes) or the name of a numeric column (largest first,
    missing values last); ties go to the earlier row. ``clusters`` is ``"greedy"`` (no text
    dropped for a chain) or ``"components"``. Texts without shingles are near duplicates of
    nothing and always kept. Every step runs on the workers (see ``veltrane.dask._job``); this
    call computes the decisions and the kept rows of the partitions the workers hold; the
    frames it returns read the others again.
    """
    df = read(data, blocksize)
    params = JaccardParams(threshold, ngram, num_perm, bands, rows, seed).banded()
    if clusters not in ("greedy", "components"):
        raise ValueError(f"clusters must be 'greedy' or 'components', got {clusters!r}")
    if not isinstance(keep, str):
        raise TypeError(f"keep must be 'first', 'longest' or a column name, not {keep!r}")
    column = None if keep in ("first", "longest") else keep
    check_columns(df, text, *([column] if column is not None and column != text else []))
    plan = _job.plan(
        df,
        text,
        keep=keep,
        column=column,
        clusters=clusters,
        params=params,
    )
    return Deduplication(_job.kept_frame(plan, df._meta), _job.dropped_frame(plan))


def deduplicate(
    data,
    text: str = "text",
    id: str = "id",
    max_distance: int | None = None,
    *,
    method: str | None = None,
    threshold: float = DEFAULT_THRESHOLD,
    ngram: int = DEFAULT_NGRAM,
    num_perm: int = DEFAULT_NUM_PERM,
    seed: int = 0,
    keep: str = "first",
    clusters: str | None = None,
    output: str | os.PathLike | None = None,
    duplicates: str | os.PathLike | None = None,
    blocksize: int | str | None = "64MiB",
    split_limit: int = DEFAULT_SPLIT_LIMIT,
    normalize: Normalize = DEFAULT_NORMALIZE,
) -> dd.DataFrame:
    """The rows of ``data`` to keep when near duplicates are dropped.

    ``method="exact"``: copies only, texts equal after ``normalize`` (``"words"`` or
    ``"none"``, see :mod:`veltrane.sketch.digest`), the first of each group in keep order
    kept, in input order; ``duplicates`` as for MinHash, at similarity 1.0.

    ``method="minhash"`` (the default): :func:`deduplication`'s kept rows, in input order
    (``id`` is not used; ``clusters`` defaults to ``"greedy"``). ``output`` writes them as
    Parquet partitions (``DataFrame.to_parquet``), ``duplicates`` writes the dropped rows'
    keepers and similarities there likewise.

    ``method="simhash"``, also chosen when ``max_distance`` is given without ``method`` (as the
    earlier ``deduplicate(df, text, id, max_distance)`` was called): in each connected
    component of rows whose fingerprints are at most ``max_distance`` bits apart, the row with
    the smallest ``id``, in no particular order and without ``df``'s index. It has no keep rule
    (``keep="first"``, ``clusters`` None or ``"components"`` only) and treats empty texts
    as copies.
    """
    if method is None:
        method = "minhash" if max_distance is None else "simhash"
    if method == "simhash":
        if keep != "first" or clusters not in (None, "components") or duplicates is not None:
            raise ValueError(
                "method='simhash' on Dask keeps the smallest id of each component: "
                "no keep rule, greedy clusters or duplicates"
            )
        distance = DEFAULT_MAX_DISTANCE if max_distance is None else max_distance
        df = read(data, blocksize)
        check_columns(df, text, id)
        kept = _simhash_components(df, text, id, distance, split_limit)
    elif method == "minhash":
        if max_distance is not None:
            raise ValueError("max_distance is a SimHash option; MinHash takes threshold")
        found = deduplication(
            data,
            text,
            threshold=threshold,
            ngram=ngram,
            num_perm=num_perm,
            seed=seed,
            keep=keep,
            clusters="greedy" if clusters is None else clusters,
            blocksize=blocksize,
        )
        kept = found.kept
        if duplicates is not None:
            found.duplicates.to_parquet(duplicates, write_index=False)
    elif method == "exact":
        if max_distance is not None or clusters not in (None, "greedy", "components"):
            raise ValueError("method='exact' takes no max_distance, and clusters as given")
        df = read(data, blocksize)
        column = None if keep in ("first", "longest") else keep
        check_columns(df, text, *([column] if column is not None and column != text else []))
        kept, dropped = _exact.deduplication(df, text, keep, column, normalize)
        if duplicates is not None:
            dd.from_pandas(dropped, npartitions=1).to_parquet(duplicates, write_index=False)
    else:
        raise ValueError(f"method must be 'simhash' or 'minhash' (or 'exact'), got {method!r}")
    if output is not None:
        kept.to_parquet(output)
    return kept
