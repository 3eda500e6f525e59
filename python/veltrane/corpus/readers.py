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

import sys
from collections.abc import Iterator
from typing import Any, NamedTuple

import numpy as np

from .. import _args, _native
from .compressed import Prefixed, data_errors, decompressed_stream
from .inputs import STDIN, CorpusError, Shard, compression_of_magic, shown_path

#: Decompressed bytes read at a time from a line or JSON Lines file: parsing runs on all cores
#: within such a block. A record longer than a block makes its block longer.
BLOCK_SIZE = 32 << 20

_BOM = b"\xef\xbb\xbf"
#: The bytes besides the newline that a blank JSON line may hold.
BLANK = b" \t\r"


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
    #: Whether each text is what the one-pass scanner finds in the line at its span (no bytes
    #: replaced, no other parser), so that it can be read again from there.
    verbatim: bool = False


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


# ---- decompression -------------------------------------------------------------------------


# ---- lines and JSON Lines -------------------------------------------------------------------


class Block(NamedTuple):
    """A block of whole lines of a file, as :func:`read_blocks` reads them."""

    #: Where the block starts in the decompressed file.
    offset: int
    #: The number of the block's first line.
    first: int
    #: Whole lines (the file's last one may lack its ending).
    data: memoryview
    #: Where each line starts in ``data``, then ``len(data)``.
    starts: np.ndarray


def make_block(offset: int, first: int, data: memoryview) -> Block:
    """A block of the lines in ``data``, its line starts found natively."""
    return Block(offset, first, data, _native.line_starts(data))


def read_blocks(shard: Shard, block_size: int) -> Iterator[Block]:
    """The decompressed bytes of a file in blocks of whole lines, the byte-order mark left out."""
    path = shown_path(shard.path)
    try:
        if shard.path == STDIN:
            stdin = sys.stdin.buffer
            head = stdin.read(16)
            raw: Any = Prefixed(head, stdin)
            compression = compression_of_magic(head)
        else:
            raw = open(shard.path, "rb")
            compression = shard.compression
    except OSError as e:
        raise CorpusError(f"{path}: {e.strerror or e}") from None
    errors = data_errors()
    offset, line = 0, 1
    try:
        stream = decompressed_stream(raw, compression)
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
            block = make_block(offset, line, memoryview(buf)[:end])
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


def valid_utf8(texts: list[bytes], whole: bytes | memoryview | None = None) -> list[bytes]:
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


def split_lines(block: Block) -> tuple[list[bytes], np.ndarray]:
    """The lines of a block without their "\\n", and their starts in the file."""
    data = bytes(block.data)
    lines = data.split(b"\n")
    if data.endswith(b"\n"):
        lines.pop()
    if b"\r" in data:
        lines = [line[:-1] if line.endswith(b"\r") else line for line in lines]
    return lines, block.starts + block.offset


def line_spans(starts: np.ndarray, keep: np.ndarray | None = None) -> np.ndarray:
    """The (offset, length) of each line from where each starts (those ``keep`` picks)."""
    spans = np.stack([starts[:-1], np.diff(starts)], axis=1)
    return spans if keep is None else spans[keep]


def read_lines(source: int, shard: Shard, block_size: int) -> Iterator[Records]:
    """The records of a file of lines, a block at a time."""
    for block in read_blocks(shard, block_size):
        lines, starts = split_lines(block)
        numbers = np.arange(block.first, block.first + len(lines), dtype=np.int64)
        texts = valid_utf8(lines, block.data)
        yield Records(source, texts, numbers, None, line_spans(starts), verbatim=texts is lines)


def lengths_max(starts: np.ndarray) -> int:
    """The longest line, its ending included, of a block whose lines start at ``starts`` (the
    last entry being the block's size); 0 for a block without lines."""
    return int(np.diff(starts).max()) if len(starts) > 1 else 0


# ---- Parquet ----------------------------------------------------------------------------------


# ---- the corpus -------------------------------------------------------------------------------
