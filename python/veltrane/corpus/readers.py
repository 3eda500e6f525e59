"""Corpora as they are stored: text lines, JSON Lines and Parquet, plain or compressed, one file
or a directory of shards, read a batch of records at a time.

Formats and compression:

- ``lines``: every line is a record, its text the line without its ending (``\\n`` or
  ``\\r\\n``); empty lines included. ``jsonl``: one JSON object per line; blank lines hold no
  record. ``parquet``: one record per row of a text column.
- A file's format comes from ``format=`` when given, else from its extension (``.jsonl``,
  ``.ndjson``, ``.json``; ``.parquet``, ``.pq``; anything else is lines), and a file that starts
  with Parquet's magic bytes is Parquet whatever its name.
- ``.gz``, ``.zst``, ``.bz2`` and ``.xz`` files are decompressed as they are read, and so is a
  file whose first bytes are one of those formats' magic numbers whatever its name; a file named
  as compressed whose bytes are not is refused.
- A directory stands for the files under it (recursively, in sorted order of their paths,
  names starting with ``.`` or ``_`` left out, as shard writers use them for markers); paths
  given one by one are read in the order given.

What a text is: the UTF-8 bytes of the line, or of the JSON string or Parquet value of the
field. A byte-order mark at the start of a file is not part of its first line. Invalid UTF-8
reads as U+FFFD, one per invalid byte run as ``bytes.decode("utf-8", "replace")`` does, in
every format alike (the near-duplicate search reads it that way too); the records themselves
are copied unchanged by the writers. A line file holding a NUL byte is binary and refused.

Bad input raises :class:`CorpusError`, whose message is one line naming the file and the line
(lines and JSON Lines, from 1) or row (Parquet, from 1).
"""

from __future__ import annotations

import bz2
import gzip
import lzma
import os
import sys
import zlib
from collections.abc import Callable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any, BinaryIO, Literal, NamedTuple

import numpy as np

from .. import _args, _native

#: A corpus file's format: text lines, JSON Lines or Parquet.
Format = Literal["lines", "jsonl", "parquet"]
#: A compression a line or JSON Lines file may be read through (Parquet never is).
Compression = Literal["gzip", "zstd", "bz2", "xz"]
#: Every :data:`Format`, the values ``format=`` takes.
FORMATS: tuple[Format, ...] = ("lines", "jsonl", "parquet")
#: The path that stands for standard input (lines or JSON Lines, compressed or not).
STDIN = "-"

#: Decompressed bytes read at a time from a line or JSON Lines file: parsing runs on all cores
#: within such a block. A record longer than a block makes its block longer.
BLOCK_SIZE = 32 << 20

_COMPRESSION_EXTENSIONS: dict[str, Compression] = {
    ".gz": "gzip",
    ".gzip": "gzip",
    ".zst": "zstd",
    ".zstd": "zstd",
    ".bz2": "bz2",
    ".xz": "xz",
}
_FORMAT_EXTENSIONS: dict[str, Format] = {
    ".jsonl": "jsonl",
    ".ndjson": "jsonl",
    ".json": "jsonl",
    ".parquet": "parquet",
    ".pq": "parquet",
}
_PARQUET_MAGIC = b"PAR1"
_BOM = b"\xef\xbb\xbf"
# Arrow's JSON parser splits the work in blocks of this many bytes; a block must hold whole
# records, so one longer record gets a block of its size.
_JSON_BLOCK = 1 << 20
# Bytes read from a compressed file per decompression call: a bound on what one call makes.
_COMPRESSED_READ = 1 << 16
_BLANK = b" \t\r"


class _Number(str):
    """A JSON number kept as its text, told apart from a string."""


class CorpusError(ValueError):
    """Input that cannot be read as a corpus; the message is one line that names the file and,
    where it applies, the line or row."""


def _shown(path: str) -> str:
    return os.fsencode(path).decode("utf-8", "backslashreplace")


def compression_of_magic(head: bytes) -> Compression | None:
    """The compression whose magic number ``head`` (a file's first bytes) starts with, or None.

    Sixteen bytes are enough for every format; fewer may miss bzip2, whose magic is checked
    beyond its first three bytes (text may well start with ``BZh``).
    """
    if head.startswith(b"\x1f\x8b"):
        return "gzip"
    if head.startswith(b"\x28\xb5\x2f\xfd"):
        return "zstd"
    if head.startswith(b"\xfd7zXZ\x00"):
        return "xz"
    # "BZh", the block size digit, then the magic of a block or of the end of the stream:
    # plain text may well start with "BZh".
    if (
        len(head) >= 10
        and head.startswith(b"BZh")
        and head[3:4] in b"123456789"
        and head[4:10] in (b"\x31\x41\x59\x26\x53\x59", b"\x17\x72\x45\x38\x50\x90")
    ):
        return "bz2"
    return None


def compression_of_name(path: str) -> Compression | None:
    """The compression a path's extension names (case aside), or None; nothing is read."""
    return _COMPRESSION_EXTENSIONS.get(os.path.splitext(path)[1].lower())


def format_of_name(path: str) -> Format:
    """The format a path's extension names, after any compression extension (``a.jsonl.gz``
    is JSON Lines); ``"lines"`` for any other name. Nothing is read: :func:`shards` also
    looks for Parquet's magic bytes."""
    stem = path
    if compression_of_name(stem) is not None:
        stem = os.path.splitext(stem)[0]
    return _FORMAT_EXTENSIONS.get(os.path.splitext(stem)[1].lower(), "lines")


@dataclass(frozen=True)
class Shard:
    """One input file as :func:`shards` found it."""

    #: The file's path as given or found under a directory; ``"-"`` for standard input.
    path: str
    #: How its records are read.
    format: Format
    #: What it is decompressed with; None for a plain file (and for standard input, whose
    #: compression is told from its first bytes when it is read).
    compression: Compression | None


class Records(NamedTuple):
    """A batch of records, all from one shard (:meth:`Corpus.batches`); the fields after
    ``source`` hold one entry per record, in the order of the file."""

    #: The index of the shard in :attr:`Corpus.shards`.
    source: int
    #: The UTF-8 text of each record, invalid bytes replaced by U+FFFD.
    texts: list[bytes]
    #: Each record's line (lines, JSON Lines) or row (Parquet), from 1, as int64.
    numbers: np.ndarray
    #: The value of each record's id field (``str``, ``int`` or ``float``; a JSON number too
    #: long for an ``int`` stays its text), or None when no id field was asked for.
    ids: list[Any] | None
    #: For lines and JSON Lines, the offset and length of each record's line, its ending
    #: included, in the decompressed bytes of the file (an (n, 2) int64 array), so that a writer
    #: can copy the line unchanged; None for Parquet.
    spans: np.ndarray | None
    #: The number in each record's value field as float64 (NaN where it is missing or null), or
    #: None when no value field was asked for.
    values: np.ndarray | None = None


class CorpusRecords(NamedTuple):
    """Every record of a corpus (:meth:`Corpus.read`): as :class:`Records`, but ``source`` is
    an int32 array (the shard of each record) and ``spans`` always an array, -1 for Parquet
    rows."""

    #: The shard of each record, an index into :attr:`Corpus.shards` (int32).
    source: np.ndarray
    #: As :attr:`Records.texts`, for the whole corpus.
    texts: list[bytes]
    #: As :attr:`Records.numbers`.
    numbers: np.ndarray
    #: As :attr:`Records.ids`.
    ids: list[Any] | None
    #: As :attr:`Records.spans`, with (-1, -1) for a Parquet row.
    spans: np.ndarray
    #: As :attr:`Records.values`.
    values: np.ndarray | None = None


def _check_format(format: str | None) -> Format | None:
    if format is not None and format not in FORMATS:
        raise ValueError(f"format must be one of {', '.join(FORMATS)} or None, got {format!r}")
    return format  # type: ignore[return-value]


def _files_of(path: str) -> list[str]:
    found: list[str] = []
    for root, dirs, files in os.walk(path):
        dirs[:] = [d for d in dirs if not d.startswith((".", "_"))]
        found.extend(os.path.join(root, f) for f in files if not f.startswith((".", "_")))
    return sorted(found, key=os.fsencode)


def _head(path: str, size: int = 16) -> bytes:
    try:
        with open(path, "rb") as f:
            return f.read(size)
    except OSError as e:
        raise CorpusError(f"{_shown(path)}: {e.strerror or e}") from None


def shards(
    paths: str | os.PathLike[str] | Sequence[str | os.PathLike[str]], format=None
) -> list[Shard]:
    """The files ``paths`` stand for (a directory: the files under it), each with its format and
    compression, as this module reads them. Nothing is read beyond each file's first bytes.

    Args:
        paths: a path or a sequence of them; ``"-"`` is standard input (lines or JSON Lines
            only).
        format (Format | None): one of :data:`FORMATS` to force it, or None to tell it from
            each name.

    Returns:
        One :class:`Shard` per file, in the order given (a directory's files sorted by path).

    Raises:
        ValueError: ``format`` is not a format.
        CorpusError: a path that cannot be opened, an empty directory, a file named as
            compressed that is not, or a file that cannot be read in the format asked for.
    """
    format = _check_format(format)
    if isinstance(paths, (str, os.PathLike)):
        paths = [paths]
    out: list[Shard] = []
    for p in paths:
        path = os.fspath(p)
        if path == STDIN:
            if format == "parquet":
                raise CorpusError("standard input cannot be read as Parquet")
            out.append(Shard(path, format or "lines", None))
            continue
        try:
            is_dir = os.path.isdir(path)
            if not is_dir:
                os.stat(path)
        except OSError as e:
            raise CorpusError(f"{_shown(path)}: {e.strerror or e}") from None
        files = _files_of(path) if is_dir else [path]
        if is_dir and not files:
            raise CorpusError(f"{_shown(path)}: no files in the directory")
        for file in files:
            out.append(_shard(file, format))
    return out


def _shard(path: str, format: Format | None) -> Shard:
    head = _head(path)
    by_name = compression_of_name(path)
    by_magic = compression_of_magic(head)
    if by_name is not None and by_magic != by_name:
        raise CorpusError(f"{_shown(path)}: named as {by_name} data, but it is not")
    if head.startswith(_PARQUET_MAGIC):
        if format not in (None, "parquet"):
            raise CorpusError(f"{_shown(path)}: a Parquet file, not {format}")
        return Shard(path, "parquet", None)
    fmt = format or format_of_name(path)
    if fmt == "parquet":
        what = f"{by_magic} data" if by_magic else "not a Parquet file"
        raise CorpusError(
            f"{_shown(path)}: {what}; Parquet is read uncompressed (it compresses its own pages)"
        )
    return Shard(path, fmt, by_magic)


# ---- decompression -------------------------------------------------------------------------


class _Frames:
    """The decompressed bytes of a stream of compressed frames (gzip members, bzip2 or xz
    streams, zstd frames), one after another, read in large steps straight from the
    decompressor (quicker than the standard library's file objects), with a truncated last
    frame refused (zstandard's own stream reader returns its bytes as if they were all)."""

    def __init__(self, raw: BinaryIO, compression: Compression) -> None:
        self._raw = raw
        self._new = _decompressor(compression)
        self._obj = self._new()
        self._in_frame = False
        self._out = b""  # decompressed, handed out from _pos on
        self._pos = 0

    def read(self, size: int = -1) -> bytes:
        """At most ``size`` bytes (all that one step makes when negative); b"" at the end."""
        if self._pos == len(self._out):
            self._out, self._pos = self._step(), 0
        end = len(self._out) if size < 0 else min(len(self._out), self._pos + size)
        chunk = self._out[self._pos : end]
        self._pos = end
        return chunk

    def _step(self) -> bytes:
        while True:
            data = self._raw.read(_COMPRESSED_READ)
            if not data:
                if self._in_frame:
                    raise EOFError("compressed file ended before the end of its last frame")
                return b""
            out = [self._obj.decompress(data)]
            self._in_frame = True
            while self._obj.eof:
                rest = self._obj.unused_data
                self._obj = self._new()
                self._in_frame = bool(rest)
                if not rest:
                    break
                out.append(self._obj.decompress(rest))
            joined = b"".join(out)
            if joined:
                return joined

    def close(self) -> None:
        pass


def _decompressor(compression: Compression) -> Callable[[], Any]:
    if compression == "gzip":
        return lambda: zlib.decompressobj(16 + zlib.MAX_WBITS)  # checks each member's CRC
    if compression == "bz2":
        return bz2.BZ2Decompressor
    if compression == "xz":
        return lzma.LZMADecompressor
    import zstandard

    return zstandard.ZstdDecompressor().decompressobj


def _decompressed(raw: BinaryIO, compression: Compression | None):
    return raw if compression is None else _Frames(raw, compression)


class _Prefixed:
    """Standard input with the bytes read to sniff its compression put back in front."""

    def __init__(self, head: bytes, rest: BinaryIO) -> None:
        self._head = head
        self._rest = rest

    def read(self, size: int = -1) -> bytes:
        if self._head:
            cut = len(self._head) if size < 0 else size
            head, self._head = self._head[:cut], self._head[cut:]
            return head
        return self._rest.read(size)

    def close(self) -> None:
        pass


# Errors of the decompressors on bad or truncated data.
_DATA_ERRORS: tuple[type[BaseException], ...] = (
    EOFError,
    zlib.error,
    lzma.LZMAError,
    gzip.BadGzipFile,
)


def _data_errors() -> tuple[type[BaseException], ...]:
    try:
        import zstandard
    except ImportError:  # pragma: no cover - a declared dependency
        return _DATA_ERRORS
    return (*_DATA_ERRORS, zstandard.ZstdError)


# ---- lines and JSON Lines -------------------------------------------------------------------


class _Block(NamedTuple):
    offset: int  # in the decompressed file
    first: int  # number of the block's first line
    data: memoryview  # whole lines (the file's last one may lack its ending)
    starts: np.ndarray  # where each line starts in data, then len(data)


def _block(offset: int, first: int, data: memoryview) -> _Block:
    return _Block(offset, first, data, _native.line_starts(data))


def _blocks(shard: Shard, block_size: int) -> Iterator[_Block]:
    """The decompressed bytes of a file in blocks of whole lines, the byte-order mark left out."""
    path = _shown(shard.path)
    try:
        if shard.path == STDIN:
            stdin = sys.stdin.buffer
            head = stdin.read(16)
            raw: Any = _Prefixed(head, stdin)
            compression = compression_of_magic(head)
        else:
            raw = open(shard.path, "rb")
            compression = shard.compression
    except OSError as e:
        raise CorpusError(f"{path}: {e.strerror or e}") from None
    errors = _data_errors()
    offset, line = 0, 1
    try:
        stream = _decompressed(raw, compression)
        # One buffer, read into again and again: a new block each time would cost its pages
        # afresh. The block handed out is a view of it, valid until the next one is asked for.
        # The buffer is never resized (a view may still be held); a line longer than it gets a
        # new buffer twice as large.
        buf = bytearray(block_size)
        held = 0  # bytes at the front of buf not handed out yet
        eof = start = False
        start = True
        while True:
            while held < len(buf) and not eof:
                try:
                    got = _fill(stream, buf, held)
                except errors as e:
                    raise CorpusError(
                        f"{path}: line {line + buf.count(b'\n', 0, held)}: "
                        f"corrupt or truncated {compression} data ({e})"
                    ) from None
                except OSError as e:  # bz2 reports bad data as OSError too
                    what = f"corrupt {compression} data" if compression else "read error"
                    raise CorpusError(f"{path}: line {line}: {what} ({e.strerror or e})") from None
                eof = got == 0
                held += got
            if start and held >= len(_BOM) and buf[: len(_BOM)] == _BOM:
                buf[: held - len(_BOM)] = buf[len(_BOM) : held]
                held -= len(_BOM)
                offset = len(_BOM)
            start = False
            if not held:
                return
            end = held if eof else buf.rfind(b"\n", 0, held) + 1
            if end == 0:
                bigger = bytearray(2 * len(buf))
                bigger[:held] = memoryview(buf)[:held]
                buf = bigger
                continue
            _checked(buf, end, path, line)
            block = _block(offset, line, memoryview(buf)[:end])
            yield block
            offset += end
            line += len(block.starts) - 1
            del block
            buf[: held - end] = buf[end:held]
            held -= end
    finally:
        if shard.path != STDIN:
            raw.close()


def _fill(stream, buf: bytearray, held: int) -> int:
    """Reads into buf after its first ``held`` bytes; 0 at the end of the stream."""
    readinto = getattr(stream, "readinto", None)
    if readinto is not None:
        return readinto(memoryview(buf)[held:]) or 0
    data = stream.read(len(buf) - held)
    buf[held : held + len(data)] = data
    return len(data)


def _checked(buf: bytearray, end: int, path: str, first: int) -> None:
    nul = buf.find(b"\0", 0, end)
    if nul >= 0:
        line = first + buf.count(b"\n", 0, nul)
        raise CorpusError(f"{path}: line {line}: binary data (a NUL byte), not text")


def _valid_utf8(texts: list[bytes], whole: bytes | memoryview | None = None) -> list[bytes]:
    """``texts`` with invalid UTF-8 replaced; ``whole``, when given, holds them all, and one
    check of it spares checking each."""
    if _native.is_utf8(whole if whole is not None else b"".join(texts), _args.threads(None)):
        return texts
    out = []
    for t in texts:
        try:
            t.decode("utf-8")
        except UnicodeDecodeError:
            t = t.decode("utf-8", "replace").encode("utf-8")
        out.append(t)
    return out


def _split(block: _Block) -> tuple[list[bytes], np.ndarray]:
    """The lines of a block without their "\\n", and their starts in the file."""
    data = bytes(block.data)
    lines = data.split(b"\n")
    if data.endswith(b"\n"):
        lines.pop()
    if b"\r" in data:
        lines = [line[:-1] if line.endswith(b"\r") else line for line in lines]
    return lines, block.starts + block.offset


def _spans(starts: np.ndarray, keep: np.ndarray | None = None) -> np.ndarray:
    spans = np.stack([starts[:-1], np.diff(starts)], axis=1)
    return spans if keep is None else spans[keep]


def _read_lines(source: int, shard: Shard, block_size: int) -> Iterator[Records]:
    for block in _blocks(shard, block_size):
        lines, starts = _split(block)
        numbers = np.arange(block.first, block.first + len(lines), dtype=np.int64)
        yield Records(source, _valid_utf8(lines, block.data), numbers, None, _spans(starts))


class _JsonReader:
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

    def read(self, block: _Block) -> tuple[list[bytes], list[Any] | None, Any, Any, Any]:
        """(texts, ids, values, line numbers, spans) of the block's records."""
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
            texts = _valid_utf8(texts, block.data)
            return texts, ids, values, rows + block.first, _spans(starts, rows)
        return self._slow(block)

    def _slow(self, block: _Block) -> tuple[list[bytes], list[Any] | None, Any, Any, Any]:
        """A block with a line the native scanner does not take: Arrow's parser, else Python's
        a line at a time, which names the bad line."""
        lines, starts = _split(block)
        n = len(lines)
        # Blank lines hold no record; only a line that is empty or starts with a blank can be
        # one, so only those are looked at one by one.
        data = np.frombuffer(block.data, dtype=np.uint8)
        first = np.zeros(n, dtype=np.uint8)
        nonempty = starts[1:] - starts[:-1] > 1
        first[nonempty] = data[starts[:-1][nonempty] - block.offset]
        maybe = np.flatnonzero(~nonempty | np.isin(first, np.frombuffer(_BLANK, np.uint8)))
        record = np.ones(n, dtype=bool)
        for k in maybe.tolist():
            if not lines[k].strip(_BLANK):
                record[k] = False
        rows = np.flatnonzero(record) if len(maybe) else np.arange(n)
        numbers = rows + block.first
        spans = _spans(starts, rows)
        # Values are read by Python's parser alone: blocks come here for records without one.
        fast = None
        if self.value_field is None:
            fast = self._arrow(block.data, len(rows), max(lengths_max(starts), 1))
        values = None
        if fast is not None:
            texts, ids = fast
            # Arrow does not check UTF-8; valid JSON text makes valid strings (Arrow refuses
            # escaped lone surrogates), so one check of the block spares checking each.
            texts = _valid_utf8(texts, block.data)
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
            return _arrow_bytes(table.column(0)), ids
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


def lengths_max(starts: np.ndarray) -> int:
    """The longest line, its ending included, of a block whose lines start at ``starts`` (the
    last entry being the block's size); 0 for a block without lines."""
    return int(np.diff(starts).max()) if len(starts) > 1 else 0


def _arrow_bytes(column) -> list[bytes]:
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


def _read_jsonl(
    source: int,
    shard: Shard,
    field: str,
    id_field: str | None,
    value_field: str | None,
    block_size: int,
) -> Iterator[Records]:
    reader = _JsonReader(_shown(shard.path), field, id_field, value_field)
    for block in _blocks(shard, block_size):
        texts, ids, values, numbers, spans = reader.read(block)
        if len(texts):
            yield Records(source, texts, numbers, ids, spans, values)


# ---- Parquet ----------------------------------------------------------------------------------


def _text_type(t) -> bool:
    import pyarrow as pa

    return pa.types.is_string(t) or pa.types.is_large_string(t) or pa.types.is_string_view(t)


def _parquet_file(path: str):
    import pyarrow as pa
    import pyarrow.parquet as pq

    try:
        return pq.ParquetFile(path)
    except (pa.ArrowException, OSError) as e:
        raise CorpusError(
            f"{_shown(path)}: not a readable Parquet file ({_one_line(e)})"
        ) from None


def _one_line(e: BaseException) -> str:
    return " ".join(str(e).split()) or type(e).__name__


def check_parquet(
    path: str, field: str, id_field: str | None, value_field: str | None = None
) -> None:
    """Refuses a Parquet file without a text column ``field`` (or without ``id_field``, or
    without a numeric column ``value_field``): raises :class:`CorpusError` naming the file and
    the column, so that a corpus is refused before any of it is read."""
    import pyarrow as pa

    schema = _parquet_file(path).schema_arrow
    for name, kind in ((field, "text"), (id_field, None), (value_field, "number")):
        if name is None:
            continue
        if name not in schema.names:
            raise CorpusError(
                f"{_shown(path)}: no column {name!r} (columns: {', '.join(schema.names)})"
            )
        held = schema.field(name).type
        if kind == "text" and not _text_type(held):
            raise CorpusError(f"{_shown(path)}: column {name!r} holds {held}, not text")
        if kind == "number" and not (pa.types.is_integer(held) or pa.types.is_floating(held)):
            raise CorpusError(f"{_shown(path)}: column {name!r} holds {held}, not numbers")


def _read_parquet(
    source: int,
    shard: Shard,
    field: str,
    id_field: str | None,
    value_field: str | None,
    rows: int,
) -> Iterator[Records]:
    import pyarrow as pa

    path = _shown(shard.path)
    check_parquet(shard.path, field, id_field, value_field)
    columns = [field, *(c for c in (id_field, value_field) if c is not None)]
    first = 1
    batches = _parquet_file(shard.path).iter_batches(batch_size=rows, columns=columns)
    while True:
        try:
            batch = next(batches)
        except StopIteration:
            return
        except (pa.ArrowException, OSError) as e:
            raise CorpusError(
                f"{path}: row {first}: corrupt Parquet data ({_one_line(e)})"
            ) from None
        text = batch.column(field)
        if text.null_count:
            row = first + int(np.flatnonzero(text.is_null().to_numpy(zero_copy_only=False))[0])
            raise CorpusError(f"{path}: row {row}: column {field!r} is null")
        if pa.types.is_string_view(text.type):
            text = text.cast(pa.large_string())
        texts = _valid_utf8(_arrow_bytes(pa.chunked_array([text])))
        ids = batch.column(id_field).to_pylist() if id_field is not None else None
        values = None
        if value_field is not None:
            column = batch.column(value_field).cast(pa.float64())
            values = column.to_numpy(zero_copy_only=False).astype(np.float64)
        numbers = np.arange(first, first + batch.num_rows, dtype=np.int64)
        first += batch.num_rows
        if batch.num_rows:
            yield Records(source, texts, numbers, ids, None, values)


# ---- the corpus -------------------------------------------------------------------------------


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
                    f"{_shown(shard.path)}: a file of lines has no fields; "
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
        path = _shown(shard.path)
        spans = np.ascontiguousarray(spans, dtype=np.int64).reshape(-1, 2)
        try:
            data = _native.gather_lines(shard.path, spans, _args.threads(None))
        except OSError as e:
            raise CorpusError(f"{path}: {e.strerror or e}") from None
        if data is None:
            raise CorpusError(f"{path}: the file changed while it was read")
        block = _block(0, 1, memoryview(data))
        if shard.format == "lines":
            texts = _valid_utf8(_split(block)[0], data)
        else:
            texts = _JsonReader(path, self.field, None, None).read(block)[0]
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
                yield from _read_lines(source, shard, block_size)
            elif shard.format == "jsonl":
                yield from _read_jsonl(
                    source, shard, self.field, self.id_field, self.value_field, block_size
                )
            else:
                yield from _read_parquet(
                    source,
                    shard,
                    self.field,
                    self.id_field,
                    self.value_field,
                    max(1, block_size // 512),
                )
