"""Compressed corpus files read as streams of their decompressed bytes (gzip, zstd, bz2, xz)."""

from __future__ import annotations

import bz2
import gzip
import lzma
import zlib
from collections.abc import Callable
from typing import Any, BinaryIO

from .inputs import Compression

# Bytes read from a compressed file per decompression call: a bound on what one call makes.
_COMPRESSED_READ = 1 << 16


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


def decompressed_stream(raw: BinaryIO, compression: Compression | None):
    return raw if compression is None else _Frames(raw, compression)


class Prefixed:
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


def data_errors() -> tuple[type[BaseException], ...]:
    try:
        import zstandard
    except ImportError:  # pragma: no cover - a declared dependency
        return _DATA_ERRORS
    return (*_DATA_ERRORS, zstandard.ZstdError)
