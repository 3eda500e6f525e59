"""The files of a corpus: the paths given, the shards found under directories, and the format
and compression of each (by name and by magic bytes)."""

from __future__ import annotations

import os
from collections.abc import Sequence
from dataclasses import dataclass
from typing import Literal

#: A corpus file's format: text lines, JSON Lines or Parquet.
Format = Literal["lines", "jsonl", "parquet"]


#: A compression a line or JSON Lines file may be read through (Parquet never is).
Compression = Literal["gzip", "zstd", "bz2", "xz"]


#: Every :data:`Format`, the values ``format=`` takes.
FORMATS: tuple[Format, ...] = ("lines", "jsonl", "parquet")


#: The path that stands for standard input (lines or JSON Lines, compressed or not).
STDIN = "-"


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


class CorpusError(ValueError):
    """Input that cannot be read as a corpus; the message is one line that names the file and,
    where it applies, the line or row."""


def shown_path(path: str) -> str:
    """A path as messages show it: bytes that are not UTF-8 as escapes."""
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


def check_format(format: str | None) -> Format | None:
    """``format`` checked: one of :data:`FORMATS`, or None."""
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
        raise CorpusError(f"{shown_path(path)}: {e.strerror or e}") from None


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
    format = check_format(format)
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
            raise CorpusError(f"{shown_path(path)}: {e.strerror or e}") from None
        files = _files_of(path) if is_dir else [path]
        if is_dir and not files:
            raise CorpusError(f"{shown_path(path)}: no files in the directory")
        for file in files:
            out.append(_shard(file, format))
    return out


def _shard(path: str, format: Format | None) -> Shard:
    head = _head(path)
    by_name = compression_of_name(path)
    by_magic = compression_of_magic(head)
    if by_name is not None and by_magic != by_name:
        raise CorpusError(f"{shown_path(path)}: named as {by_name} data, but it is not")
    if head.startswith(_PARQUET_MAGIC):
        if format not in (None, "parquet"):
            raise CorpusError(f"{shown_path(path)}: a Parquet file, not {format}")
        return Shard(path, "parquet", None)
    fmt = format or format_of_name(path)
    if fmt == "parquet":
        what = f"{by_magic} data" if by_magic else "not a Parquet file"
        raise CorpusError(
            f"{shown_path(path)}: {what}; "
            "Parquet is read uncompressed (it compresses its own pages)"
        )
    return Shard(path, fmt, by_magic)
