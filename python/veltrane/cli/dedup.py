"""``veltrane dedup``: how much of the files' content repeats, chunk by chunk."""

from __future__ import annotations

import os
import sys
from collections.abc import Sequence

import numpy as np

from ..defaults import DEFAULT_AVG_SIZE, DEFAULT_CHUNK_SIZE
from ..files.chunk_index import ChunkIndexError
from ..files.chunker import CDCChunker, Chunker
from ..files.gear import GearCDC
from ..files.report import SAME_FILE, SPECIAL
from ..files.report_json import file_columns, percent_column, write_json
from ..files.tree import dedup_report
from ._common import (
    _CONTROLS,
    EXIT_USAGE,
    PROG,
    STDIN,
    CommandError,
    ProgressBar,
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
    raw, stats = file_columns(report.files)
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
        [f"{v:.1f}%" for v in percent_column(unique_bytes, size)],
        [f"{v:,}" for v in chunks.tolist()],
        [f"{v:,}" for v in unique_chunks.tolist()],
        [f"{v:.1f}%" for v in percent_column(unique_chunks, chunks)],
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
    with ProgressBar(progress_wanted(args), total, "chunking") as progress:
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
        write_json(report, args.duplicate_files, out)
    else:
        out.write(_dedup_table(report) + _skipped_lines(report) + _index_lines(report))
        if args.duplicate_files:
            out.write(_duplicate_lines(report))
    link_duplicates(args, report, out)
    if errors:
        out.flush()
        raise Skipped()
