"""The tree report as the text table ``veltrane dedup`` writes: a line on the chunker, a row
per file and the total, then what was skipped, the index and the groups of identical files."""

from __future__ import annotations

from collections.abc import Sequence

import numpy as np

from .._shown import shown
from .report import SAME_FILE, SPECIAL, DedupReport
from .report_json import file_columns, percent_column


def format_report(report: DedupReport, duplicate_files: bool = False) -> str:
    """The report as text; ``duplicate_files`` adds the groups of identical files."""
    text = _table(report) + _skipped_lines(report) + _index_lines(report)
    return text + _duplicate_lines(report) if duplicate_files else text


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
        [shown(p) for p in raw],
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


def _table(report) -> str:
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
