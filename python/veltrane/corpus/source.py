"""A corpus: its shards, read a batch of records at a time or all at once, each format by its
reader."""

from __future__ import annotations

import os
from collections.abc import Callable, Iterator, Sequence
from typing import Any

import numpy as np

from .. import _args, _native
from .inputs import STDIN, CorpusError, Format, shards, shown_path
from .jsonl import JsonReader, read_jsonl
from .parquet import check_parquet, read_parquet
from .readers import (
    BLOCK_SIZE,
    CorpusRecords,
    Records,
    make_block,
    read_lines,
    split_lines,
    valid_utf8,
)


class Corpus:
    """The records of one or more files or directories of shards.

    ``field`` names the text field (JSON Lines) or column (Parquet), ``"text"`` by default;
    ``id_field`` a field or column whose value identifies each record; ``value_field`` a
    numeric one whose values are read as well (for a keep rule). All are refused for line
    files. ``format`` forces a format (see the module docstring). Parquet files are checked for
    their columns when the corpus is made; the rest is read by :meth:`batches`.

    Raises:
        CorpusError: as :func:`shards`, and for a field named for a line file or a Parquet
            file without the columns named.
    """

    def __init__(
        self,
        paths: str | os.PathLike[str] | Sequence[str | os.PathLike[str]],
        *,
        field: str | None = None,
        id_field: str | None = None,
        value_field: str | None = None,
        format: Format | None = None,
    ) -> None:
        #: The files read, in order; :attr:`Records.source` indexes it.
        self.shards = shards(paths, format)
        #: The text field or column.
        self.field = "text" if field is None else field
        #: The id field or column, or None.
        self.id_field = id_field
        #: The numeric field or column read as :attr:`Records.values`, or None.
        self.value_field = value_field
        named = field is not None or id_field is not None or value_field is not None
        for shard in self.shards:
            if shard.format == "lines" and named:
                raise CorpusError(
                    f"{shown_path(shard.path)}: a file of lines has no fields; "
                    "read it as JSON Lines or Parquet to name one"
                )
            if shard.format == "parquet":
                check_parquet(shard.path, self.field, id_field, value_field)

    def read(
        self,
        *,
        block_size: int = BLOCK_SIZE,
        each: Callable[[Records], None] | None = None,
    ) -> CorpusRecords:
        """Every record at once, the batches of :meth:`batches` joined; ``block_size`` is
        passed on. ``each``, if given, sees every batch as soon as it is read, so that work on
        it (signing, in ``veltrane near-dups``) can overlap the reading of the next. Raises
        :class:`CorpusError` on bad input."""
        texts: list[bytes] = []
        sources, numbers, spans, values = [], [], [], []
        ids: list[Any] | None = [] if self.id_field is not None else None
        for batch in self.batches(block_size=block_size):
            if each is not None:
                each(batch)
            texts.extend(batch.texts)
            sources.append(np.full(len(batch.texts), batch.source, dtype=np.int32))
            numbers.append(batch.numbers)
            spans.append(
                batch.spans if batch.spans is not None else np.full((len(batch.texts), 2), -1)
            )
            if ids is not None and batch.ids is not None:
                ids.extend(batch.ids)
            if batch.values is not None:
                values.append(batch.values)
        return CorpusRecords(
            np.concatenate(sources) if sources else np.empty(0, np.int32),
            texts,
            np.concatenate(numbers) if numbers else np.empty(0, np.int64),
            ids,
            np.concatenate(spans).astype(np.int64) if spans else np.empty((0, 2), np.int64),
            None
            if self.value_field is None
            else np.concatenate(values)
            if values
            else np.empty(0, np.float64),
        )

    def rereadable(self, source: int) -> bool:
        """Whether :meth:`texts_at` can read records of the shard ``source`` again: a plain
        file (not standard input) of lines or JSON Lines."""
        shard = self.shards[source]
        return shard.path != STDIN and shard.compression is None and shard.format != "parquet"

    def texts_at(self, source: int, spans: np.ndarray) -> list[bytes]:
        """The texts of the records at ``spans`` (an (n, 2) array of :attr:`Records.spans`) of
        a shard :meth:`rereadable` accepts, read again from its file as :meth:`batches` read
        them: a caller short of memory keeps where its texts are, not the texts.

        Raises:
            CorpusError: the file cannot be read, or no longer holds those records.
        """
        shard = self.shards[source]
        path = shown_path(shard.path)
        spans = np.ascontiguousarray(spans, dtype=np.int64).reshape(-1, 2)
        try:
            data = _native.gather_lines(shard.path, spans, _args.threads(None))
        except OSError as e:
            raise CorpusError(f"{path}: {e.strerror or e}") from None
        if data is None:
            raise CorpusError(f"{path}: the file changed while it was read")
        block = make_block(0, 1, memoryview(data))
        if shard.format == "lines":
            texts = valid_utf8(split_lines(block)[0], data)
        else:
            texts = JsonReader(path, self.field, None, None).read(block)[0]
        if len(texts) != len(spans):
            raise CorpusError(f"{path}: the file changed while it was read")
        return texts

    def batches(self, *, block_size: int = BLOCK_SIZE) -> Iterator[Records]:
        """The records, a batch at a time, in the order of the shards and of each file.

        Args:
            block_size: decompressed bytes parsed at a time from a line or JSON Lines file
                (a longer record makes its block longer); a Parquet file is read
                ``block_size // 512`` rows (at least one) at a time.

        Yields:
            A :class:`Records` per block (lines, JSON Lines) or batch of rows (Parquet) read,
            never an empty one.

        Raises:
            CorpusError: bad input, named by file and line or row; the batches before it have
                been yielded.
        """
        for source, shard in enumerate(self.shards):
            if shard.format == "lines":
                yield from read_lines(source, shard, block_size)
            elif shard.format == "jsonl":
                yield from read_jsonl(
                    source, shard, self.field, self.id_field, self.value_field, block_size
                )
            else:
                yield from read_parquet(
                    source,
                    shard,
                    self.field,
                    self.id_field,
                    self.value_field,
                    max(1, block_size // 512),
                )
