"""``veltrane dedup``: how much of the files' content repeats, chunk by chunk."""

from __future__ import annotations

import base64
import json
import os
import sys
from collections.abc import Iterator, Sequence

import numpy as np

from .. import _native
from ..chunk_index import ChunkIndexError
from ..chunker import CDCChunker, Chunker
from ..dedup import SAME_FILE, SPECIAL, DedupReport, FileStatsList, dedup_report
from ..defaults import DEFAULT_AVG_SIZE, DEFAULT_CHUNK_SIZE
from ..gear import GearCDC
from ._common import (
    _CONTROLS,
    EXIT_USAGE,
    PROG,
    STDIN,
    CommandError,
    Progress,
    Skipped,
    progress_wanted,
    shown,
    total_size,
)
from .store import link_duplicates


def _format_table(header: Sequence[str], columns: Sequence[Sequence[str]]) -> str:
    """Columns padded to their widest cell: the first left-aligned, the others right. Column
    by column, with one format call a row: a tree has a row per file."""
    columns = [[h, *c] for h, c in zip(header, columns)]
    widths = [max(map(len, c)) for c in columns]
    line = "  ".join(f"{{:<{w}}}" if k == 0 else f"{{:>{w}}}" for k, w in enumerate(widths))
    return "\n".join(line.format(*row).rstrip() for row in zip(*columns)) + "\n"


def _chunker_line(report) -> str:
    c = report.chunker
    if c["name"] == "gear":
        return (
            f"GearCDC: chunks of {c['min_size']:,} to {c['max_size']:,} bytes, "
            f"{c['avg_size']:,} on average (normalization {c['normalization']})."
        )
    return f"CDC, chunk size {c['chunk_size']:,}: chunks of at most {c['max_size']:,} bytes."


def _table_columns(report) -> list[list[str]]:
    """The table's cells, column by column: the files from their columns (no object per
    file), then the total."""
    raw, stats = _file_columns(report.files)
    size, chunks, unique_chunks, unique_bytes, low, high = (stats[:, k] for k in range(6))
    with np.errstate(divide="ignore", invalid="ignore"):
        mean = np.where(chunks > 0, size / chunks, 0.0)
    empty = (chunks == 0).tolist()

    def lengths(values: np.ndarray) -> list[str]:
        return ["-" if e else f"{v:,.0f}" for v, e in zip(values.tolist(), empty)]

    columns = [
        [p.decode("utf-8", "backslashreplace").translate(_CONTROLS) for p in raw],
        [f"{v:,}" for v in size.tolist()],
        [f"{v:,}" for v in unique_bytes.tolist()],
        [f"{v:.1f}%" for v in _percent_column(unique_bytes, size)],
        [f"{v:,}" for v in chunks.tolist()],
        [f"{v:,}" for v in unique_chunks.tolist()],
        [f"{v:.1f}%" for v in _percent_column(unique_chunks, chunks)],
        lengths(low),
        lengths(mean),
        lengths(high),
    ]
    t = report.total
    sizes = (t.min_chunk, t.mean_chunk, t.max_chunk)
    total = [
        "total",
        f"{t.bytes:,}",
        f"{t.unique_bytes:,}",
        f"{t.byte_reduction_percent:.1f}%",
        f"{t.chunks:,}",
        f"{t.unique_chunks:,}",
        f"{t.chunk_reduction_percent:.1f}%",
        *("-" if size is None else f"{size:,.0f}" for size in sizes),
    ]
    for column, cell in zip(columns, total):
        column.append(cell)
    return columns


def _dedup_table(report) -> str:
    header = [
        "file",
        "bytes",
        "unique",
        "saved",
        "chunks",
        "unique",
        "saved",
        "min",
        "mean",
        "max",
    ]
    digest = getattr(report, "digest", "blake2b").upper()
    return (
        _chunker_line(report) + f" Chunks compared by {digest} digest.\n"
        "Unique: not held by an earlier file or an earlier part of the same file. Saved: the "
        "share\nthat repeats. Min, mean, max: chunk lengths.\n\n"
        + _format_table(header, _table_columns(report))
    )


def _skipped_lines(report) -> str:
    skipped = getattr(report, "skipped", [])
    same = sum(s.reason == SAME_FILE for s in skipped)
    special = sum(s.reason == SPECIAL for s in skipped)
    lines = []
    if same:
        lines.append(
            f"Skipped {same:,} paths to files already counted (hardlinks, paths given twice)."
        )
    if special:
        lines.append(f"Skipped {special:,} FIFOs, sockets or devices (never opened).")
    return "\n" + "\n".join(lines) + "\n" if lines else ""


def _index_lines(report) -> str:
    i = report.index
    if i is None:
        return ""
    return (
        f"\nIndex {shown(i['path'])}: {i['distinct_chunks_before']:,} distinct chunks before "
        f"this run, {i['distinct_chunks_after']:,} after ({i['size_bytes']:,} bytes); "
        f"{i['files_from_cache']:,} unchanged files not read again.\n"
    )


def _duplicate_lines(report) -> str:
    groups = getattr(report, "duplicate_files", [])
    out = [f"\nGroups of identical files (empty files left out): {len(groups):,}\n"]
    for group in groups:
        out.append("\n" + "".join(f"  {shown(path)}\n" for path in group))
    return "".join(out)


def _json_path(path: str) -> dict:
    """A path as strict JSON: its text, and when its bytes are not UTF-8, the exact bytes in
    base64 as well (the text then shows them as \\x escapes)."""
    raw = os.fsencode(path)
    try:
        return {"path": raw.decode("utf-8")}
    except UnicodeDecodeError:
        return {
            "path": raw.decode("utf-8", "backslashreplace"),
            "path_base64": base64.b64encode(raw).decode("ascii"),
        }


#: Files formatted per write of --json: few enough that each batch's text (about 350 bytes a
#: file) stays below malloc's mmap threshold, its memory reused rather than mapped afresh.
_JSON_BATCH = 256


def _percent_column(kept: np.ndarray, total: np.ndarray) -> list[float]:
    # ChunkStats' formula, element by element in float64: the same floats, so the same text.
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(total > 0, (1.0 - kept / total) * 100.0, 0.0).tolist()


def _file_columns(files) -> tuple[list[bytes], np.ndarray]:
    """Raw paths and the uint64 columns of FileStatsList, from any sequence of ChunkStats."""
    names, ends, stats = _joined_columns(files)
    starts = [0, *ends[:-1].tolist()]
    return [names[a:b] for a, b in zip(starts, ends.tolist())], stats


def _joined_columns(files) -> tuple[bytes, np.ndarray, np.ndarray]:
    """The paths joined, where each ends, and the uint64 columns of FileStatsList, from any
    sequence of ChunkStats."""
    if isinstance(files, FileStatsList):
        return files._names, files._ends, files.columns
    rows = [
        (s.bytes, s.chunks, s.unique_chunks, s.unique_bytes, s.min_chunk or 0, s.max_chunk or 0)
        for s in files
    ]
    raw = [os.fsencode(s.path) for s in files]
    ends = np.cumsum([len(p) for p in raw], dtype=np.uint64)
    return b"".join(raw), ends, np.array(rows, dtype=np.uint64).reshape(-1, 6)


def _json_files(files) -> Iterator[str]:
    """The files of --json, a batch of them at a time, each as json.dumps(indent=2) writes it
    within the report (a path that is not UTF-8 as _json_path gives it). Formatted natively,
    so that no Python code runs per file."""
    names, ends, stats = _joined_columns(files)
    for first in range(0, len(ends), _JSON_BATCH):
        last = min(first + _JSON_BATCH, len(ends))
        yield _native.dedup_json_files(names, ends, stats, first, last).decode("ascii")


def _write_json(report, duplicate_files: bool, out) -> None:
    """The report as one JSON document, its files written as they are formatted rather than
    built in memory: the text json.dumps(indent=2) gives of the report's to_dict, with each
    path as _json_path gives it, and duplicate_files only when asked for."""
    skeleton = DedupReport(
        report.chunk_size,
        [],
        report.total,
        report.chunker,
        report.digest,
        report.skipped,
        [],
        report.index,
    ).to_dict()
    for entry in skeleton["skipped"]:
        entry.update(_json_path(entry["path"]))
    if duplicate_files:
        skeleton["duplicate_files"] = [[_json_path(p) for p in g] for g in report.duplicate_files]
    else:
        del skeleton["duplicate_files"]
    head, tail = json.dumps(skeleton, indent=2).split('"files": []', 1)
    out.write(head)
    if len(report.files) == 0:
        out.write('"files": []')
    else:
        out.write('"files": [\n')
        first = True
        for batch in _json_files(report.files):
            out.write(batch if first else ",\n" + batch)
            first = False
        out.write("\n  ]")
    out.write(tail + "\n")


def _gear(args) -> Chunker:
    return GearCDC(
        DEFAULT_AVG_SIZE if args.avg_size is None else args.avg_size,
        min_size=args.min_size,
        max_size=args.max_size,
    )


def _cdc(args) -> Chunker:
    return CDCChunker(DEFAULT_CHUNK_SIZE if args.chunk_size is None else args.chunk_size)


#: The chunkers of --chunker, by name: how each is made from the command line, and the options
#: that belong to it alone. A new chunker is one line here.
CHUNKERS = {
    "gear": (_gear, ("avg_size", "min_size", "max_size")),
    "cdc": (_cdc, ("chunk_size",)),
}


def _dedup_chunker(args) -> Chunker:
    # --chunk-size alone means cdc, as it always has.
    kind = args.chunker or ("cdc" if args.chunk_size is not None else "gear")
    for name, (_, options) in CHUNKERS.items():
        for option in options:
            if name != kind and getattr(args, option) is not None:
                raise CommandError(
                    f"--{option.replace('_', '-')} needs --chunker {name}", EXIT_USAGE
                )
    try:
        return CHUNKERS[kind][0](args)
    except ValueError as e:
        raise CommandError(f"--{str(e).replace('_', '-')}", EXIT_USAGE) from None


class _StdinReader:
    """Standard input under the name "-", as the report shows it."""

    name = STDIN

    def readinto(self, buffer) -> int:
        return sys.stdin.buffer.readinto(buffer)  # type: ignore[union-attr]


def run(args, out) -> None:
    chunker = _dedup_chunker(args)
    errors: list[tuple[str, OSError]] = []
    if args.index is not None and STDIN in args.paths:
        raise CommandError("--index needs paths, not standard input", EXIT_USAGE)
    # Missing or unreadable paths, named or found in a directory, are reported alike.
    inputs: list = [_StdinReader() if p == STDIN else p for p in args.paths]
    total = (
        None
        if STDIN in args.paths or any(map(os.path.isdir, args.paths))
        else (total_size(args.paths))
    )
    with Progress(progress_wanted(args), total, "chunking") as progress:
        try:
            report = dedup_report(
                inputs,
                chunker=chunker,
                progress=progress,
                on_error=lambda path, e: errors.append((path, e)),
                threads=args.threads,
                index=args.index,
            )
        except ChunkIndexError as e:
            raise CommandError(shown(str(e))) from None
        except OSError as e:
            where = shown(e.filename) if e.filename is not None else "reading"
            raise CommandError(f"{where}: {e.strerror or e}") from None
    for path, error in errors:
        print(
            f"{PROG} dedup: error: {shown(path)}: {error.strerror or error} (skipped)",
            file=sys.stderr,
        )
    if args.json:
        _write_json(report, args.duplicate_files, out)
    else:
        out.write(_dedup_table(report) + _skipped_lines(report) + _index_lines(report))
        if args.duplicate_files:
            out.write(_duplicate_lines(report))
    link_duplicates(args, report, out)
    if errors:
        out.flush()
        raise Skipped()
