"""What the whole deduplication on Dask does to each partition of rows: its texts, their digests
and keep values, and their MinHash band hashes, as arrays cut by bucket."""

from __future__ import annotations

import numpy as np
import pandas as pd
import pyarrow as pa
from dask.sizeof import sizeof

from .. import _native
from ..search.jaccard import JaccardParams
from ..sketch.minhash import minhash_signatures, shingle_hashes
from ._jaccard import band_hashes

GOLDEN = np.uint64(_native.GOLDEN)


ROW_BITS = 32


ROW_MASK = np.int64((1 << ROW_BITS) - 1)


Arrays = dict[str, np.ndarray]


def bucket_of(values: np.ndarray, buckets: int) -> np.ndarray:
    """The bucket of each int64 key, by its mixed hash."""
    return (_native.mix64(values.astype(np.uint64)) % np.uint64(buckets)).astype(np.int64)


def pair_bucket(a: np.ndarray, b: np.ndarray, buckets: int) -> np.ndarray:
    with np.errstate(over="ignore"):
        mixed = a.astype(np.uint64) * GOLDEN ^ b.astype(np.uint64)
    return bucket_of(mixed, buckets)


def split_by_bucket(arrays: Arrays, bucket: np.ndarray, buckets: int) -> list[Arrays]:
    """``arrays`` (equal lengths) cut into ``buckets`` pieces by ``bucket``, in one sort."""
    order = np.argsort(bucket, kind="stable")
    bounds = np.searchsorted(bucket[order], np.arange(buckets + 1))
    sorted_arrays = {name: values[order] for name, values in arrays.items()}
    return [
        {name: values[bounds[k] : bounds[k + 1]] for name, values in sorted_arrays.items()}
        for k in range(buckets)
    ]


def concat(pieces: list[Arrays], like: Arrays | None = None) -> Arrays:
    names = pieces[0].keys() if pieces else (like or {}).keys()
    return {name: np.concatenate([p[name] for p in pieces]) for name in names}


def arrow_strings(column: pd.Series):
    """The column as one Arrow (large) string array when it is Arrow-backed text without
    missing values, else None."""
    to_arrow = getattr(column.array, "__arrow_array__", None)
    if to_arrow is None:
        return None
    arr = to_arrow()
    if isinstance(arr, pa.ChunkedArray):
        arr = arr.chunk(0) if arr.num_chunks == 1 else arr.combine_chunks()
    if arr.null_count or not (pa.types.is_string(arr.type) or pa.types.is_large_string(arr.type)):
        return None
    return arr


def texts_of(part: pd.DataFrame, text: str) -> list:
    texts = part[text].tolist()
    if arrow_strings(part[text]) is not None:
        return texts
    for k, value in enumerate(texts):
        if not isinstance(value, (str, bytes, bytearray)):
            if value is None or (isinstance(value, float) and np.isnan(value)):
                raise ValueError(f"the text of row {k} of a partition is missing")
            raise TypeError(
                f"the text of row {k} of a partition must be str, bytes or bytearray, "
                f"not {type(value).__name__}"
            )
    return texts


def digests_of(column: pd.Series, texts: list) -> np.ndarray:
    """A 64-bit digest of each text's bytes (UTF-8 for str): the first 8 bytes of its BLAKE3
    hash, taken straight from the Arrow buffers when the column has them."""
    if not texts:
        return np.empty(0, np.uint64)
    arr = arrow_strings(column)
    if arr is not None:
        width = np.int64 if pa.types.is_large_string(arr.type) else np.int32
        offsets = np.frombuffer(arr.buffers()[1], dtype=width)[
            arr.offset : arr.offset + len(arr) + 1
        ]
        data = np.frombuffer(arr.buffers()[2], dtype=np.uint8)[offsets[0] : offsets[-1]]
        lengths = np.diff(offsets).tolist()
    else:
        encoded = [t.encode("utf-8") if isinstance(t, str) else bytes(t) for t in texts]
        lengths = [len(b) for b in encoded]
        data = np.frombuffer(b"".join(encoded), dtype=np.uint8)
    digests = np.frombuffer(_native.blake3_many(data, lengths), dtype="<u8")
    return digests[::4].astype(np.uint64)


def keep_values(part: pd.DataFrame, texts: list, keep: str, column: str | None) -> np.ndarray:
    """Each row's keep value, largest first (NaN last); ties go to the earlier row."""
    if column is not None:
        values = pd.to_numeric(part[column], errors="raise")
        return values.to_numpy(dtype=np.float64, na_value=np.nan)
    if keep == "longest":
        return np.fromiter(
            (len(t.encode("utf-8")) if isinstance(t, str) else len(t) for t in texts),
            dtype=np.float64,
            count=len(texts),
        )
    return np.zeros(len(texts))


def sketch(
    part: pd.DataFrame,
    index: int,
    text: str,
    keep: str,
    column: str | None,
    params: JaccardParams,
    buckets: int,
    hold: float,
) -> tuple[tuple[int, bool], list[Arrays], pd.DataFrame | None]:
    """The partition's length and whether this worker holds it, its rows' band hashes cut into
    buckets by hash, and the partition itself when held (see :func:`holds`). ``params`` are
    banded (see :meth:`~veltrane.search.jaccard.JaccardParams.banded`)."""
    ngram, bands = params.ngram, params.bands
    assert bands is not None and params.rows is not None
    held = part if holds(part, hold) else None
    texts = texts_of(part, text)
    n = len(texts)
    if n >= 1 << ROW_BITS:
        raise ValueError(f"a partition holds {n} rows; repartition below 2**32")
    sig = minhash_signatures(texts, params.num_perm, ngram=ngram, seed=params.seed, threads=1)
    # Texts without shingles have signatures of the largest value only; the rare text with
    # shingles whose signature does too is told apart by its set.
    top = np.iinfo(sig.dtype).max
    maybe = np.flatnonzero((sig == top).all(axis=1))
    blank = np.zeros(n, dtype=bool)
    if len(maybe):
        _, offsets = shingle_hashes([texts[k] for k in maybe.tolist()], ngram=ngram, threads=1)
        blank[maybe[np.diff(offsets) == 0]] = True
    words = np.flatnonzero(~blank)
    value = keep_values(part, texts, keep, column)[words]
    # Rows of equal texts are one set. Equal sets of different texts stay apart, and meet
    # as candidates in every band (equal signatures) at similarity 1.0: the keepers decide
    # the same as for one set, and hashing texts costs far less than making their sets.
    digest = digests_of(part[text], texts)[words]
    hashes = band_hashes(sig[words], bands, params.rows)  # (rows, bands), the band mixed in
    pos = (np.int64(index) << np.int64(ROW_BITS)) | words.astype(np.int64)
    keys = hashes.T.reshape(-1)
    # Cut by hash range: a counting sort on the bucket numbers (the buckets sort their keys).
    bucket = np.searchsorted(bucket_starts(buckets), keys, side="right").astype(np.uint8) - 1
    order = np.argsort(bucket, kind="stable")
    stream = {
        "key": keys[order],
        "pos": np.tile(pos, bands)[order],
        "digest": np.tile(digest, bands)[order],
        "first": (order < len(pos)),
    }
    if keep != "first":  # row order needs no value: the position is the order
        stream["value"] = np.tile(value, bands)[order]
    bounds = np.searchsorted(bucket[order], np.arange(buckets + 1))
    pieces = [{k: v[bounds[b] : bounds[b + 1]] for k, v in stream.items()} for b in range(buckets)]
    return (n, held is not None), pieces, held


def holds(part: pd.DataFrame, share: float) -> bool:
    """Whether the worker keeps the partition for verification and output, which then read no
    input again: while all the data it holds stays within ``share`` of its memory limit. Past
    that (or without a distributed worker or a limit) the later steps read the input again."""
    if share <= 0:
        return False
    try:
        from distributed import get_worker

        worker = get_worker()
        limit = worker.memory_manager.memory_limit
        held = worker.state.nbytes
    except (ImportError, ValueError, AttributeError):
        return False
    return limit is not None and held + sizeof(part) <= share * limit


def bucket_starts(buckets: int) -> np.ndarray:
    """The first hash of each bucket: equal ranges of the 64-bit hashes."""
    return np.array([(b << 64) // buckets for b in range(buckets)], dtype=np.uint64)
