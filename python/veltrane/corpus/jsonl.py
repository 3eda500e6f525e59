"""JSON Lines read a block at a time: the native scanner first, Arrow for what it does not take,
Python for what Arrow refuses."""

from __future__ import annotations

from collections.abc import Iterator
from typing import Any

import numpy as np

from .. import _args, _native
from .inputs import CorpusError, Shard, shown_path
from .parquet import arrow_bytes
from .readers import (
    BLANK,
    Block,
    Records,
    lengths_max,
    line_spans,
    read_blocks,
    split_lines,
    valid_utf8,
)

# Arrow's JSON parser splits the work in blocks of this many bytes; a block must hold whole
# records, so one longer record gets a block of its size.
_JSON_BLOCK = 1 << 20


class _Number(str):
    """A JSON number kept as its text, told apart from a string."""


class JsonReader:
    """JSON Lines a block at a time: the native scanner finds the fields on all cores; a block
    with a line it does not take goes to Arrow's parser, and one Arrow refuses is read a line
    at a time by Python's, which takes what it can (duplicate keys, escaped lone surrogates,
    NaN, very deep nesting beside the field) and names the bad line."""

    def __init__(
        self, path: str, field: str, id_field: str | None, value_field: str | None
    ) -> None:
        self.path = path
        self.field = field
        self.id_field = id_field
        self.value_field = value_field
        self.value_bytes = (
            b"" if value_field is None else value_field.encode("utf-8", "surrogateescape")
        )
        # Arrow needs the id's type up front: string first, then integer.
        self.id_types = ["string", "int64"]
        self.field_bytes = field.encode("utf-8", "surrogateescape")
        self.id_bytes = b"" if id_field is None else id_field.encode("utf-8", "surrogateescape")
        self.threads = _args.threads(None)
        #: Whether the texts of the block read last are the native scanner's, unchanged.
        self.verbatim = False

    def read(self, block: Block) -> tuple[list[bytes], list[Any] | None, Any, Any, Any]:
        """(texts, ids, values, line numbers, spans) of the block's records.
        :attr:`verbatim` then tells whether the native scanner found every text as it is."""
        texts, rows, raw_ids, numeric, values, other = _native.jsonl_fields(
            block.data,
            block.starts,
            self.field_bytes,
            self.id_bytes,
            self.value_bytes,
            self.threads,
        )
        if other < 0:
            starts = block.starts + block.offset
            ids = None if raw_ids is None or numeric is None else decoded_ids(raw_ids, numeric)
            # The scanner takes any bytes within strings; one check of the block spares
            # checking each text.
            checked = valid_utf8(texts, block.data)
            self.verbatim = checked is texts
            return checked, ids, values, rows + block.first, line_spans(starts, rows)
        self.verbatim = False
        return self._slow(block)

    def _slow(self, block: Block) -> tuple[list[bytes], list[Any] | None, Any, Any, Any]:
        """A block with a line the native scanner does not take: Arrow's parser, else Python's
        a line at a time, which names the bad line."""
        lines, starts = split_lines(block)
        n = len(lines)
        # Blank lines hold no record; only a line that is empty or starts with a blank can be
        # one, so only those are looked at one by one.
        data = np.frombuffer(block.data, dtype=np.uint8)
        first = np.zeros(n, dtype=np.uint8)
        nonempty = starts[1:] - starts[:-1] > 1
        first[nonempty] = data[starts[:-1][nonempty] - block.offset]
        maybe = np.flatnonzero(~nonempty | np.isin(first, np.frombuffer(BLANK, np.uint8)))
        record = np.ones(n, dtype=bool)
        for k in maybe.tolist():
            if not lines[k].strip(BLANK):
                record[k] = False
        rows = np.flatnonzero(record) if len(maybe) else np.arange(n)
        numbers = rows + block.first
        spans = line_spans(starts, rows)
        # Values are read by Python's parser alone: blocks come here for records without one.
        fast = None
        if self.value_field is None:
            fast = self._arrow(block.data, len(rows), max(lengths_max(starts), 1))
        values = None
        if fast is not None:
            texts, ids = fast
            # Arrow does not check UTF-8; valid JSON text makes valid strings (Arrow refuses
            # escaped lone surrogates), so one check of the block spares checking each.
            texts = valid_utf8(texts, block.data)
        else:
            texts, ids, values = self._python([lines[k] for k in rows.tolist()], numbers)
        return texts, ids, values, numbers, spans

    def _arrow(self, data: bytes | memoryview, rows: int, longest: int):
        import pyarrow as pa
        import pyarrow.json as pj

        for id_type in self.id_types if self.id_field is not None else self.id_types[:1]:
            fields = [(self.field, pa.string())]
            if self.id_field is not None:
                fields.append((self.id_field, pa.string() if id_type == "string" else pa.int64()))
            options = pj.ParseOptions(
                explicit_schema=pa.schema(fields), unexpected_field_behavior="ignore"
            )
            read = pj.ReadOptions(block_size=max(_JSON_BLOCK, longest + 1), use_threads=True)
            try:
                table = pj.read_json(pa.py_buffer(data), read_options=read, parse_options=options)
            except (pa.ArrowInvalid, pa.ArrowNotImplementedError):
                continue
            if table.num_rows != rows or table.column(0).null_count:
                return None  # two records on one line, or records without the text
            if len(self.id_types) > 1:
                self.id_types = [id_type]  # the type that worked goes first from now on
            ids = table.column(1).to_pylist() if self.id_field is not None else None
            return arrow_bytes(table.column(0)), ids
        return None

    def _python(self, lines: list[bytes], numbers: np.ndarray):
        texts: list[bytes] = []
        ids: list[Any] | None = [] if self.id_field is not None else None
        values: list[float] | None = [] if self.value_field is not None else None
        for line, number in zip(lines, numbers.tolist()):
            record = self._parse(line, number)
            if record is _TOO_DEEP:
                # Deeper than Python's parser goes: Arrow's, which does not recurse, decides.
                alone = self._arrow(line + b"\n", 1, len(line) + 1)
                if alone is None or values is not None:
                    raise CorpusError(f"{self._where(number)}: JSON nested too deeply")
                texts.extend(alone[0])
                if ids is not None:
                    ids.extend(alone[1] or [])
                continue
            texts.append(self._text(record, number))
            if ids is not None:
                ids.append(self._id(record, number))
            if values is not None:
                values.append(self._value(record, number))
        return texts, ids, None if values is None else np.array(values, dtype=np.float64)

    def _value(self, record: dict, number: int) -> float:
        value = record.get(self.value_field)
        if value is None:
            return float("nan")
        if not isinstance(value, _Number):
            raise CorpusError(
                f"{self._where(number)}: field {self.value_field!r} must be a number"
            )
        return float(value)

    def _where(self, number: int) -> str:
        return f"{self.path}: line {number}"

    def _parse(self, line: bytes, number: int) -> Any:
        import json

        text = line.decode("utf-8", "replace")
        try:
            # Numbers stay text: a 5,000-digit integer is a valid number Python would refuse.
            return json.loads(text, parse_int=_Number, parse_float=_Number, parse_constant=_Number)
        except json.JSONDecodeError as e:
            raise CorpusError(
                f"{self._where(number)}: not valid JSON: {e.msg} at column {e.colno}"
            ) from None
        except RecursionError:
            return _TOO_DEEP

    def _text(self, record: Any, number: int) -> bytes:
        if not isinstance(record, dict):
            kind = "an array" if isinstance(record, list) else "not an object"
            raise CorpusError(f"{self._where(number)}: expected a JSON object, got {kind}")
        if self.field not in record:
            raise CorpusError(f"{self._where(number)}: the record has no field {self.field!r}")
        value = record[self.field]
        if not isinstance(value, str) or isinstance(value, _Number):
            kind = {dict: "an object", list: "an array", type(None): "null"}.get(
                type(value), "a number or boolean"
            )
            raise CorpusError(
                f"{self._where(number)}: field {self.field!r} must be a string, got {kind}"
            )
        try:
            return value.encode("utf-8")
        except UnicodeEncodeError:  # a lone surrogate escape has no UTF-8 form: U+FFFD
            return value.encode("utf-16", "surrogatepass").decode("utf-16", "replace").encode()

    def _id(self, record: dict, number: int) -> Any:
        assert self.id_field is not None
        if self.id_field not in record:
            raise CorpusError(f"{self._where(number)}: the record has no field {self.id_field!r}")
        value = record[self.id_field]
        if isinstance(value, _Number):
            return _number_id(str(value))
        if not isinstance(value, str):
            raise CorpusError(
                f"{self._where(number)}: field {self.id_field!r} must be a string or a number"
            )
        return value


_TOO_DEEP = object()


def decoded_ids(raw: list[bytes], numeric: np.ndarray) -> list[Any]:
    """The ids the native scanner found: each a number when it was one in the JSON, else
    its unescaped text."""
    return [
        _number_id(i.decode()) if number else i.decode("utf-8", "replace")
        for i, number in zip(raw, numeric.tolist())
    ]


def _number_id(text: str) -> int | float | str:
    """An id that is a JSON number, as a number; one too long for an int stays its text."""
    try:
        return int(text) if text.lstrip("-").isdigit() else float(text)
    except ValueError:
        return text


def read_jsonl(
    source: int,
    shard: Shard,
    field: str,
    id_field: str | None,
    value_field: str | None,
    block_size: int,
) -> Iterator[Records]:
    reader = JsonReader(shown_path(shard.path), field, id_field, value_field)
    for block in read_blocks(shard, block_size):
        texts, ids, values, numbers, spans = reader.read(block)
        if len(texts):
            yield Records(source, texts, numbers, ids, spans, values, reader.verbatim)
