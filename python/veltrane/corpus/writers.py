"""Deduplicated corpora out: the kept records unchanged and in input order, in the input's
format, and the record of what was dropped onto what.

Every output is written to a temporary name in its directory and renamed over the output's
name once complete, so a full disk, an error or a kill never leaves a partial file under that
name. An output that is one of the inputs is refused, and so is an existing output unless
``force``. Compression comes from the output's extension (``.gz``, ``.zst``, ``.bz2``,
``.xz``); Parquet compresses its own pages and takes none.
"""

from __future__ import annotations

import bz2
import contextlib
import gzip
import io
import json
import lzma
import os
import sys
import tempfile
from collections.abc import Iterator, Sequence
from typing import Any, BinaryIO

import numpy as np

from .. import _native
from .compressed import data_errors, decompressed_stream
from .inputs import CorpusError, Shard, compression_of_name, format_of_name, shown_path
from .readers import CorpusRecords, read_blocks
from .source import Corpus

#: The output path that stands for standard output.
STDOUT = "-"
# Decompressed bytes read at a time when kept lines are copied.
_COPY_BLOCK = 32 << 20


def check_output(
    path: str | os.PathLike[str], inputs: Sequence[Shard], force: bool = False
) -> str:
    """``path`` as a string, when it may be written: not one of the inputs, and not an existing
    file unless ``force``; ``"-"`` is standard output. CorpusError otherwise."""
    out = os.fspath(path)
    if out == STDOUT:
        return out
    for shard in inputs:
        if shard.path == "-":
            continue
        same = os.path.abspath(shard.path) == os.path.abspath(out)
        with contextlib.suppress(OSError):
            same = same or os.path.samefile(shard.path, out)
        if same:
            raise CorpusError(f"{shown_path(out)}: the output is an input")
    if os.path.isdir(out):
        raise CorpusError(f"{shown_path(out)}: the output is a directory")
    if os.path.lexists(out) and not force:
        raise CorpusError(
            f"{shown_path(out)}: the output exists (force=True, or --force, replaces it)"
        )
    return out


def _compressed(raw: BinaryIO, compression: str | None) -> Any:
    if compression is None:
        return raw
    if compression == "gzip":
        return gzip.GzipFile(fileobj=raw, mode="wb", compresslevel=6)
    if compression == "bz2":
        return bz2.BZ2File(raw, mode="wb")
    if compression == "xz":
        return lzma.LZMAFile(raw, mode="wb")
    import zstandard

    # A checksum per frame, so that a reader can tell a damaged file; compressed on every core.
    return zstandard.ZstdCompressor(write_checksum=True, threads=-1).stream_writer(
        raw, closefd=False
    )


@contextlib.contextmanager
def _standard_output() -> Iterator[BinaryIO]:
    """Standard output as a binary stream, flushed when the block ends; a pipe closed by its
    reader stays a BrokenPipeError (the command then stops quietly)."""
    if sys.stdout is None:
        raise CorpusError("standard output is closed")
    try:
        sys.stdout.flush()
        stream = sys.stdout.buffer
        yield stream
        stream.flush()
    except BrokenPipeError:
        raise
    except OSError as e:
        raise CorpusError(f"standard output: {e.strerror or e}") from None


@contextlib.contextmanager
def atomic_output(path: str) -> Iterator[BinaryIO]:
    """A binary file that appears under ``path`` only when the block ends without an error;
    compressed as the name says. OSErrors become CorpusErrors naming ``path``. ``"-"`` is
    standard output, written as it comes (nothing there can be taken back)."""
    if path == STDOUT:
        with _standard_output() as stream:
            yield stream
        return
    directory = os.path.dirname(os.path.abspath(path))
    try:
        fd, temporary = tempfile.mkstemp(dir=directory, prefix=f".{os.path.basename(path)}.")
    except OSError as e:
        raise CorpusError(f"{shown_path(path)}: {e.strerror or e}") from None
    try:
        with os.fdopen(fd, "wb") as raw:
            stream = _compressed(raw, compression_of_name(path))
            yield stream
            if stream is not raw:
                stream.close()
            raw.flush()
            os.fsync(raw.fileno())
        # mkstemp's file is private; the output gets the mode a new file gets here.
        umask = os.umask(0)
        os.umask(umask)
        os.chmod(temporary, 0o666 & ~umask)
        os.replace(temporary, path)
    except BaseException as e:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        if isinstance(e, OSError) and not isinstance(e, CorpusError):
            raise CorpusError(
                f"{shown_path(path)}: {e.strerror or e} (nothing was written under that name)"
            ) from None
        raise


def _output_format(corpus: Corpus, path: str) -> str:
    formats = {"parquet" if s.format == "parquet" else "text" for s in corpus.shards}
    if len(formats) > 1:
        raise CorpusError(f"{shown_path(path)}: the inputs mix Parquet and text; write one kind")
    kind = formats.pop() if formats else "text"
    named = format_of_name(path)
    if (named == "parquet") != (kind == "parquet"):
        want = "Parquet" if kind == "parquet" else "text"
        where = shown_path(path)
        raise CorpusError(f"{where}: the inputs are {want}; the output is in their format")
    if kind == "parquet" and compression_of_name(path):
        raise CorpusError(
            f"{shown_path(path)}: Parquet compresses its own pages; name it .parquet"
        )
    return kind


def _mask(records: CorpusRecords, keep: np.ndarray) -> np.ndarray:
    keep = np.asarray(keep)
    if keep.dtype != np.bool_ or keep.shape != (len(records.texts),):
        raise ValueError(
            f"keep must be a bool array of one value per record ({len(records.texts)}), got "
            f"{keep.dtype} of shape {keep.shape}"
        )
    return keep


def write_kept(
    corpus: Corpus,
    records: CorpusRecords,
    keep: np.ndarray,
    path: str | os.PathLike[str],
    *,
    force: bool = False,
) -> int:
    """Writes the records of ``corpus`` for which ``keep`` is true to ``path``, unchanged and in
    input order: a line file or JSON Lines line byte for byte (a file's last line gets the line
    ending it lacked), a Parquet row with its schema. ``records`` is ``corpus.read()``, whose
    spans and row numbers say where each record is; ``keep`` holds one bool per record.
    Returns the number of records written."""
    out = check_output(path, corpus.shards, force)
    keep = _mask(records, keep)
    if _output_format(corpus, out) == "parquet":
        return _write_parquet(corpus, records, keep, out)
    with atomic_output(out) as stream:
        _write_lines(corpus, records, keep, stream)
    return int(keep.sum())


def _write_lines(
    corpus: Corpus, records: CorpusRecords, keep: np.ndarray, stream: BinaryIO
) -> None:
    sources = records.source
    for index, shard in enumerate(corpus.shards):
        mine = (sources == index) & keep
        spans = records.spans[mine]
        # An uncompressed file into an uncompressed output: copied by the kernel.
        plain = isinstance(stream, io.BufferedWriter) and shard.compression is None
        if not plain or shard.path == "-":
            _copy_lines(shard, spans, stream)
            continue
        stream.flush()
        _send_lines(shard, spans, stream.fileno())


class FirstCopiesOutput:
    """An output of kept records that the one-pass reader writes as it reads, made by
    :func:`first_copies_output`: ``follower`` goes to the one-pass reader
    (``read_signed``), which copies each record that is the first
    of its exact copies, and :meth:`finish` makes sure the output holds what the keep step
    kept."""

    def __init__(self, corpus: Corpus, stream: BinaryIO, apart: np.ndarray | None) -> None:
        self.corpus, self.stream = corpus, stream
        self._finished = False
        #: The native copier the one-pass reader is handed (None once finished).
        self.follower: Any = _native.FirstCopies(
            stream.fileno(), None if apart is None else np.ascontiguousarray(apart).view(np.uint32)
        )

    def finish(self, records: CorpusRecords, keep: np.ndarray, *, followed: bool) -> int:
        """Makes the output hold the records for which ``keep`` is true, as
        :func:`write_kept` would; ``followed``: the records were read with ``follower``. What
        the reader wrote stands when it kept the same records; otherwise (a file the reader
        did not take, or a keep step that keeps others) the output is written again. Returns
        the number of records written."""
        keep = _mask(records, keep)
        follower, self.follower = self.follower, None
        kept, error = follower.kept, follower.error
        del follower  # its write-back thread ends before the file is closed
        if not (followed and error == 0 and np.array_equal(kept, keep)):
            self.stream.seek(0)
            self.stream.truncate()
            _write_lines(self.corpus, records, keep, self.stream)
        self._finished = True
        return int(keep.sum())


@contextlib.contextmanager
def first_copies_output(
    corpus: Corpus,
    path: str | os.PathLike[str],
    *,
    force: bool = False,
    apart: np.ndarray | None = None,
) -> Iterator[FirstCopiesOutput | None]:
    """An output at ``path`` (checked as :func:`write_kept` checks it) for the one-pass reader
    to write the first of each set of exact copies into while it reads, so that the copy
    overlaps the reading; ``apart``: the digest of texts that are copies of nothing. None
    where the reader could not write it: a compressed or Parquet output or input, or standard
    input or output; the caller then uses :func:`write_kept`. The output appears when the
    block ends without an error, and only if :meth:`FirstCopiesOutput.finish` was called."""
    out = check_output(path, corpus.shards, force)
    if (
        out == STDOUT
        or compression_of_name(out) is not None
        or _output_format(corpus, out) != "text"
        or any(s.path == "-" or s.compression is not None for s in corpus.shards)
    ):
        yield None
        return
    with atomic_output(out) as stream:
        output = FirstCopiesOutput(corpus, stream, apart)
        try:
            yield output
        finally:
            output.follower = None
        if not output._finished:
            raise RuntimeError("the output of first copies was left unfinished")


def _runs(spans: np.ndarray) -> tuple[list[int], list[int]]:
    """The starts and ends of the runs of adjacent lines at ``spans`` (ascending)."""
    starts = spans[:, 0]
    ends = starts + spans[:, 1]
    first = np.ones(len(starts), dtype=bool)
    first[1:] = starts[1:] != ends[:-1]
    last = np.append(first[1:], True)
    return starts[first].tolist(), ends[last].tolist()


def _send_lines(shard: Shard, spans: np.ndarray, out: int) -> None:
    """Copies the lines at ``spans`` of an uncompressed file to the file descriptor ``out``
    within the kernel, a run of adjacent lines at a time, while the disk writes what is copied:
    the bytes never come up to Python."""
    if not len(spans):
        return
    starts, ends = _runs(spans)
    try:
        whole = _native.send_ranges(
            out, shard.path, np.array(starts, dtype=np.int64), np.array(ends, dtype=np.int64)
        )
        with open(shard.path, "rb") as f:
            last = os.pread(f.fileno(), 1, ends[-1] - 1)
    except OSError as e:
        if e.filename is None:
            raise  # the output's: named by atomic_output
        raise CorpusError(f"{shown_path(shard.path)}: {e.strerror or e}") from None
    if not whole:
        raise CorpusError(f"{shown_path(shard.path)}: the file changed while it was read")
    if last != b"\n":
        os.write(out, b"\n")  # the file's last line lacked its ending


def _copy_lines(shard: Shard, spans: np.ndarray, stream: BinaryIO) -> None:
    """Copies the lines at ``spans`` (ascending) of a file to ``stream``: each run of adjacent
    lines in one write, straight from the block buffer."""
    if not len(spans):
        return
    runs = list(zip(*_runs(spans)))
    k, final = 0, b"\n"
    if shard.path == "-":
        pieces: Iterator[tuple[int, Any]] = (
            (b.offset, b.data) for b in read_blocks(shard, _COPY_BLOCK)
        )
    else:
        pieces = _decompressed_pieces(shard)
    for begin, data in pieces:
        end = begin + len(data)
        while k < len(runs) and runs[k][0] < end:
            a, b = runs[k]
            piece = data[a - begin : min(b, end) - begin]
            stream.write(piece)
            final = bytes(piece[-1:])
            if b > end:  # the run goes on in the next block
                runs[k] = (end, b)
                break
            k += 1
        if k == len(runs):
            break
    if k < len(runs):
        raise CorpusError(f"{shown_path(shard.path)}: the file changed while it was read")
    if final != b"\n":
        stream.write(b"\n")  # the file's last line lacked its ending


def _decompressed_pieces(shard: Shard) -> Iterator[tuple[int, memoryview]]:
    """The decompressed bytes of a file, a piece at a time with the offset of each: read
    again to copy lines, the lines need not be found again."""
    path = shown_path(shard.path)
    try:
        raw = open(shard.path, "rb")
    except OSError as e:
        raise CorpusError(f"{path}: {e.strerror or e}") from None
    errors: tuple[type[BaseException], ...] = (*data_errors(), OSError)
    what = f"corrupt or truncated {shard.compression} data" if shard.compression else "read error"
    with raw:
        stream = decompressed_stream(raw, shard.compression)
        offset = 0
        while True:
            try:
                piece = stream.read(_COPY_BLOCK)
            except errors as e:
                raise CorpusError(f"{path}: {what} ({e})") from None
            if not piece:
                return
            yield offset, memoryview(piece)
            offset += len(piece)


def _write_parquet(corpus: Corpus, records: CorpusRecords, keep: np.ndarray, out: str) -> int:
    import pyarrow as pa
    import pyarrow.parquet as pq

    from .parquet import one_line, parquet_file

    schema = parquet_file(corpus.shards[0].path).schema_arrow
    sources = records.source
    written = 0
    with atomic_output(out) as stream:
        writer = pq.ParquetWriter(stream, schema)
        try:
            for index, shard in enumerate(corpus.shards):
                file = parquet_file(shard.path)
                if not file.schema_arrow.equals(schema):
                    raise CorpusError(
                        f"{shown_path(shard.path)}: its columns differ from those of "
                        f"{shown_path(corpus.shards[0].path)}; one output holds one schema"
                    )
                mine = sources == index
                rows = np.zeros(file.metadata.num_rows, dtype=bool)
                rows[records.numbers[mine] - 1] = keep[mine]
                first = 0
                try:
                    for batch in file.iter_batches(batch_size=1 << 16):
                        part = rows[first : first + batch.num_rows]
                        first += batch.num_rows
                        if part.any():
                            writer.write_batch(batch.filter(pa.array(part)))
                            written += int(part.sum())
                except pa.ArrowException as e:
                    raise CorpusError(
                        f"{shown_path(shard.path)}: row {first + 1}: corrupt Parquet data "
                        f"({one_line(e)})"
                    ) from None
        finally:
            writer.close()
    return written


def _place(corpus: Corpus, records: CorpusRecords, k: int) -> dict[str, Any]:
    shard = corpus.shards[int(records.source[k])]
    unit = "row" if shard.format == "parquet" else "line"
    return {"file": shard.path, unit: int(records.numbers[k])}


def write_duplicates(
    corpus: Corpus,
    records: CorpusRecords,
    keeper: np.ndarray,
    similarity: np.ndarray,
    path: str | os.PathLike[str],
    *,
    force: bool = False,
) -> int:
    """Writes one JSON line per dropped record (``keeper[k] != k``), in input order: its id and
    its keeper's (``{"id", "keeper_id", "similarity"}``) when the corpus has an id field, else
    where each is (``{"file", "line" or "row", "keeper_file", "keeper_line" or "keeper_row",
    "similarity"}``). Returns the number of lines written."""
    out = check_output(path, corpus.shards, force)
    keeper = np.asarray(keeper, dtype=np.int64)
    similarity = np.asarray(similarity, dtype=np.float64)
    n = len(records.texts)
    if keeper.shape != (n,) or similarity.shape != (n,):
        raise ValueError(f"keeper and similarity must hold one value per record ({n})")
    dropped = np.flatnonzero(keeper != np.arange(n))
    with atomic_output(out) as stream:
        for start in range(0, len(dropped), 1 << 14):
            lines = []
            for k in dropped[start : start + (1 << 14)].tolist():
                keep = int(keeper[k])
                if records.ids is not None:
                    row = {"id": records.ids[k], "keeper_id": records.ids[keep]}
                else:
                    row = _place(corpus, records, k)
                    row.update(
                        {f"keeper_{key}": v for key, v in _place(corpus, records, keep).items()}
                    )
                row["similarity"] = float(similarity[k])
                lines.append(json.dumps(row, ensure_ascii=False, default=str) + "\n")
            stream.write("".join(lines).encode("utf-8", "surrogateescape"))
    return len(dropped)


def _lines_at(shard: Shard, spans: np.ndarray) -> Iterator[bytes]:
    """The bytes of the lines at ``spans`` (ascending) of a file read again, one at a time."""
    wanted = spans.tolist()
    k, n = 0, len(wanted)
    held = b""  # the decompressed bytes before the piece that are still wanted
    for begin, data in _decompressed_pieces(shard):
        buf = held + bytes(data) if held else bytes(data)
        start = begin - len(held)
        while k < n:
            a = wanted[k][0] - start
            b = a + wanted[k][1]
            if b > len(buf):
                break
            yield buf[a:b]
            k += 1
        if k == n:
            return
        held = buf[min(max(wanted[k][0] - start, 0), len(buf)) :]
    if k < n:
        raise CorpusError(f"{shown_path(shard.path)}: the file changed while it was read")


def _edit_runs(
    starts: np.ndarray, ends: np.ndarray, edit: np.ndarray
) -> tuple[np.ndarray, np.ndarray]:
    """The first and last line of each run of adjacent unchanged lines among the lines
    [starts, ends) (ascending), an ``edit``ed line being a run of its own."""
    first = np.ones(len(starts), dtype=bool)
    first[1:] = (starts[1:] != ends[:-1]) | edit[1:] | edit[:-1]
    heads = np.flatnonzero(first)
    return heads, np.append(heads[1:], len(starts)) - 1


def _edited_line(line: bytes, text: bytes, fmt: str, field: str) -> bytes:
    ending = b"\r\n" if line.endswith(b"\r\n") else b"\n"
    if fmt == "lines":
        return text + ending
    # The text's string replaced where it stands: the rest of the record keeps its bytes (key
    # order, spacing, numbers as written, escapes), and no record is parsed and dumped again
    # (a third of `repeats -o` on a corpus of edited records). A line the scanner does not
    # take is written again by json.dumps.
    body = line[: len(line) - len(ending)] if line.endswith(ending) else line
    spliced = _native.jsonl_replace_text(body, field.encode("utf-8", "surrogateescape"), text)
    if spliced is not None:
        return spliced + ending
    record = json.loads(line)
    record[field] = text.decode("utf-8")
    return json.dumps(record, ensure_ascii=False).encode("utf-8") + ending


def write_edited(
    corpus: Corpus,
    source: np.ndarray,
    spans: np.ndarray,
    numbers: np.ndarray,
    keep: np.ndarray,
    edited: dict[int, bytes],
    path: str | os.PathLike[str],
    *,
    force: bool = False,
) -> int:
    """Writes the records of ``corpus`` for which ``keep`` is true to ``path`` in input order
    and in the input's format, each unchanged but for those in ``edited`` (record number ->
    its new text), whose text field (the line itself, for a file of lines) is replaced; in a
    JSON Lines record, the field's string alone is (a line the native scanner does not take is
    written again by ``json.dumps``). ``source``, ``spans`` and
    ``numbers`` are those of :class:`CorpusRecords`, one entry per record of the corpus.
    Returns the number of records written."""
    out = check_output(path, corpus.shards, force)
    keep = np.asarray(keep, dtype=bool)
    if _output_format(corpus, out) == "parquet":
        return _write_parquet_edited(corpus, source, numbers, keep, edited, out)
    changed = np.zeros(len(keep), dtype=bool)
    if edited:
        changed[np.fromiter(edited, dtype=np.int64, count=len(edited))] = True
    with atomic_output(out) as stream:
        for index, shard in enumerate(corpus.shards):
            mine = np.flatnonzero((source == index) & keep)
            if not changed[mine].any():
                if isinstance(stream, io.BufferedWriter) and shard.compression is None:
                    stream.flush()
                    _send_lines(shard, spans[mine], stream.fileno())
                else:
                    _copy_lines(shard, spans[mine], stream)
                continue
            # Runs of adjacent unchanged lines are copied in one piece; an edited line is one
            # run of its own.
            starts = spans[mine, 0]
            ends = starts + spans[mine, 1]
            edit = changed[mine]
            heads, tails = _edit_runs(starts, ends, edit)
            # A long run goes in pieces, so that no more than a piece is held at a time.
            runs, what = [], []  # what: the record edited, -1 inside a run, -2 at its end
            for head, tail in zip(heads.tolist(), tails.tolist()):
                a, b = int(starts[head]), int(ends[tail])
                if edit[head]:
                    runs.append((a, b - a))
                    what.append(int(mine[head]))
                    continue
                for at in range(a, b, _COPY_BLOCK):
                    runs.append((at, min(b, at + _COPY_BLOCK) - at))
                    what.append(-1)
                what[-1] = -2
            for k, piece in zip(what, _lines_at(shard, np.array(runs, dtype=np.int64))):
                if k >= 0:
                    piece = _edited_line(piece, edited[k], shard.format, corpus.field)
                elif k == -2 and not piece.endswith(b"\n"):
                    piece += b"\n"  # the file's last line lacked its ending
                stream.write(piece)
    return int(keep.sum())


class EditedOutput:
    """The output of :func:`write_edited`, written a batch of records at a time as the
    batches are decided, instead of after the whole corpus: made by :func:`edited_output`
    for plain files into a plain output. Unchanged lines are copied within the kernel, runs of
    adjacent ones at a time; edited ones are written again as :func:`write_edited` writes
    them."""

    def __init__(self, corpus: Corpus, stream: BinaryIO) -> None:
        self.corpus, self.stream = corpus, stream
        self._sender: Any = _native.LineSender(stream.fileno())
        self._files: dict[int, tuple[int, int]] = {}  # shard -> (descriptor, size)

    def _file(self, source: int) -> tuple[int, int]:
        if source not in self._files:
            path = self.corpus.shards[source].path
            try:
                fd = os.open(path, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
            except OSError as e:
                raise CorpusError(f"{shown_path(path)}: {e.strerror or e}") from None
            self._files[source] = (fd, os.fstat(fd).st_size)
        return self._files[source]

    def _send(self, fd: int, size: int, source: int, starts: np.ndarray, ends: np.ndarray) -> None:
        if not len(starts):
            return
        if not self._sender.send(fd, starts, ends):
            path = shown_path(self.corpus.shards[source].path)
            raise CorpusError(f"{path}: the file changed while it was read")
        if ends[-1] == size and os.pread(fd, 1, size - 1) != b"\n":
            self._sender.write(b"\n")  # the file's last line lacked its ending

    def add(
        self, source: int, spans: np.ndarray, keep: np.ndarray, edited: dict[int, bytes]
    ) -> None:
        """The next records, all of shard ``source``: their ``spans``, whether each is kept,
        and the new texts of the edited ones (by their index among these records)."""
        kept = np.flatnonzero(keep)
        if not len(kept):
            return
        fd, size = self._file(source)
        shard = self.corpus.shards[source]
        starts = spans[kept, 0]
        ends = starts + spans[kept, 1]
        edit = np.zeros(len(kept), dtype=bool)
        edit[np.searchsorted(kept, [k for k in edited if keep[k]]).astype(np.int64)] = True
        # The runs of the whole batch at once: one copy call between two edits, not a run
        # search each.
        heads, tails = _edit_runs(starts, ends, edit)
        run_starts, run_ends = starts[heads], ends[tails]
        at = 0
        for r in np.flatnonzero(edit[heads]).tolist():
            self._send(fd, size, source, run_starts[at:r], run_ends[at:r])
            k = int(kept[heads[r]])
            line = os.pread(fd, int(spans[k, 1]), int(spans[k, 0]))
            self._sender.write(_edited_line(line, edited[k], shard.format, self.corpus.field))
            at = r + 1
        self._send(fd, size, source, run_starts[at:], run_ends[at:])

    def close(self) -> None:
        """Lets go of the input files and the copier."""
        self._sender = None
        for fd, _ in self._files.values():
            os.close(fd)
        self._files.clear()


@contextlib.contextmanager
def edited_output(
    corpus: Corpus, path: str | os.PathLike[str], *, force: bool = False
) -> Iterator[EditedOutput | None]:
    """An :class:`EditedOutput` at ``path`` (checked as :func:`write_edited` checks it), which
    appears once the block ends without an error; None where it cannot be written so (a
    compressed or Parquet input or output, standard input or output): the caller then uses
    :func:`write_edited`."""
    out = check_output(path, corpus.shards, force)
    if (
        out == STDOUT
        or compression_of_name(out) is not None
        or _output_format(corpus, out) != "text"
        or not all(corpus.rereadable(k) for k in range(len(corpus.shards)))
    ):
        yield None
        return
    with atomic_output(out) as stream:
        output = EditedOutput(corpus, stream)
        try:
            yield output
        finally:
            output.close()


def _write_parquet_edited(
    corpus: Corpus,
    source: np.ndarray,
    numbers: np.ndarray,
    keep: np.ndarray,
    edited: dict[int, bytes],
    out: str,
) -> int:
    import pyarrow as pa
    import pyarrow.parquet as pq

    from .parquet import parquet_file

    schema = parquet_file(corpus.shards[0].path).schema_arrow
    column = schema.get_field_index(corpus.field)
    written = 0
    with atomic_output(out) as stream:
        writer = pq.ParquetWriter(stream, schema)
        try:
            for index, shard in enumerate(corpus.shards):
                file = parquet_file(shard.path)
                if not file.schema_arrow.equals(schema):
                    raise CorpusError(
                        f"{shown_path(shard.path)}: its columns differ from those of "
                        f"{shown_path(corpus.shards[0].path)}; one output holds one schema"
                    )
                mine = np.flatnonzero(source == index)
                rows = np.zeros(file.metadata.num_rows, dtype=bool)
                rows[numbers[mine] - 1] = keep[mine]
                texts = {int(numbers[k]) - 1: t for k in mine.tolist() if (t := edited.get(k))
                         is not None}  # fmt: skip
                first = 0
                for batch in file.iter_batches(batch_size=1 << 16):
                    part = rows[first : first + batch.num_rows]
                    mine_here = [r for r in range(first, first + batch.num_rows) if r in texts]
                    if mine_here:
                        values = batch.column(column).to_pylist()
                        for r in mine_here:
                            values[r - first] = texts[r].decode("utf-8")
                        arrays = list(batch.columns)
                        arrays[column] = pa.array(values, type=schema.field(column).type)
                        batch = pa.RecordBatch.from_arrays(arrays, schema=schema)
                    first += batch.num_rows
                    if part.any():
                        writer.write_batch(batch.filter(pa.array(part)))
                        written += int(part.sum())
        finally:
            writer.close()
    return written
