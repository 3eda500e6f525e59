"""Parquet corpora: the text column (and id and value columns) of every row group, checked
first."""

from __future__ import annotations

from collections.abc import Iterator

import numpy as np

from .inputs import CorpusError, Shard, shown_path
from .readers import Records, valid_utf8


def arrow_bytes(column) -> list[bytes]:
    """The values of an Arrow string column (without nulls) as bytes objects."""
    out: list[bytes] = []
    for chunk in column.chunks:
        if len(chunk) == 0:
            continue
        large = chunk.type in _large_types()
        _, offsets_buffer, data_buffer = chunk.buffers()[:3]
        offsets = np.frombuffer(offsets_buffer, dtype=np.int64 if large else np.int32)
        offsets = offsets[chunk.offset : chunk.offset + len(chunk) + 1]
        if data_buffer is None:
            out.extend([b""] * len(chunk))
            continue
        # One copy of the values, then a bytes slice each: quicker than a slice of a view each.
        data = memoryview(data_buffer)[offsets[0] : offsets[-1]].tobytes()
        ends = (offsets - offsets[0]).tolist()
        out.extend([data[a:b] for a, b in zip(ends[:-1], ends[1:])])
        del data
    return out


def _large_types():
    import pyarrow as pa

    return (pa.large_string(), pa.large_binary())


def _text_type(t) -> bool:
    import pyarrow as pa

    return pa.types.is_string(t) or pa.types.is_large_string(t) or pa.types.is_string_view(t)


def parquet_file(path: str):
    import pyarrow as pa
    import pyarrow.parquet as pq

    try:
        return pq.ParquetFile(path)
    except (pa.ArrowException, OSError) as e:
        raise CorpusError(
            f"{shown_path(path)}: not a readable Parquet file ({one_line(e)})"
        ) from None


def one_line(e: BaseException) -> str:
    return " ".join(str(e).split()) or type(e).__name__


def check_parquet(
    path: str, field: str, id_field: str | None, value_field: str | None = None
) -> None:
    """Refuses a Parquet file without a text column ``field`` (or without ``id_field``, or
    without a numeric column ``value_field``): raises :class:`CorpusError` naming the file and
    the column, so that a corpus is refused before any of it is read."""
    import pyarrow as pa

    schema = parquet_file(path).schema_arrow
    for name, kind in ((field, "text"), (id_field, None), (value_field, "number")):
        if name is None:
            continue
        if name not in schema.names:
            raise CorpusError(
                f"{shown_path(path)}: no column {name!r} (columns: {', '.join(schema.names)})"
            )
        held = schema.field(name).type
        if kind == "text" and not _text_type(held):
            raise CorpusError(f"{shown_path(path)}: column {name!r} holds {held}, not text")
        if kind == "number" and not (pa.types.is_integer(held) or pa.types.is_floating(held)):
            raise CorpusError(f"{shown_path(path)}: column {name!r} holds {held}, not numbers")


def read_parquet(
    source: int,
    shard: Shard,
    field: str,
    id_field: str | None,
    value_field: str | None,
    rows: int,
) -> Iterator[Records]:
    import pyarrow as pa

    path = shown_path(shard.path)
    check_parquet(shard.path, field, id_field, value_field)
    columns = [field, *(c for c in (id_field, value_field) if c is not None)]
    first = 1
    batches = parquet_file(shard.path).iter_batches(batch_size=rows, columns=columns)
    while True:
        try:
            batch = next(batches)
        except StopIteration:
            return
        except (pa.ArrowException, OSError) as e:
            raise CorpusError(
                f"{path}: row {first}: corrupt Parquet data ({one_line(e)})"
            ) from None
        text = batch.column(field)
        if text.null_count:
            row = first + int(np.flatnonzero(text.is_null().to_numpy(zero_copy_only=False))[0])
            raise CorpusError(f"{path}: row {row}: column {field!r} is null")
        if pa.types.is_string_view(text.type):
            text = text.cast(pa.large_string())
        texts = valid_utf8(arrow_bytes(pa.chunked_array([text])))
        ids = batch.column(id_field).to_pylist() if id_field is not None else None
        values = None
        if value_field is not None:
            column = batch.column(value_field).cast(pa.float64())
            values = column.to_numpy(zero_copy_only=False).astype(np.float64)
        numbers = np.arange(first, first + batch.num_rows, dtype=np.int64)
        first += batch.num_rows
        if batch.num_rows:
            yield Records(source, texts, numbers, ids, None, values)
