"""``veltrane dedup``: how much of the files' content repeats, chunk by chunk."""

from __future__ import annotations

import base64
import json
import os
import sys
from collections.abc import Sequence

from ..chunk_index import ChunkIndexError
from ..chunker import CDCChunker, Chunker
from ..dedup import SAME_FILE, SPECIAL, dedup_report
from ..defaults import DEFAULT_AVG_SIZE, DEFAULT_CHUNK_SIZE
from ..gear import GearCDC
from ._common import (
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


def _format_table(header: Sequence[str], rows: Sequence[Sequence[str]]) -> str:
    """Columns padded to their widest cell: the first left-aligned, the others right."""
    widths = [max(len(row[c]) for row in [header, *rows]) for c in range(len(header))]
    lines = []
    for row in [header, *rows]:
        cells = [row[0].ljust(widths[0])] + [s.rjust(w) for s, w in zip(row[1:], widths[1:])]
        lines.append("  ".join(cells).rstrip())
    return "\n".join(lines) + "\n"


def _chunker_line(report) -> str:
    c = report.chunker
    if c["name"] == "gear":
        return (
            f"GearCDC: chunks of {c['min_size']:,} to {c['max_size']:,} bytes, "
            f"{c['avg_size']:,} on average (normalization {c['normalization']})."
        )
    return f"CDC, chunk size {c['chunk_size']:,}: chunks of at most {c['max_size']:,} bytes."


def _dedup_table(report) -> str:
    rows = []
    for s in [*report.files, report.total]:
        sizes = (s.min_chunk, s.mean_chunk, s.max_chunk)
        rows.append(
            [
                "total" if s.path is None else shown(s.path),
                f"{s.bytes:,}",
                f"{s.unique_bytes:,}",
                f"{s.byte_reduction_percent:.1f}%",
                f"{s.chunks:,}",
                f"{s.unique_chunks:,}",
                f"{s.chunk_reduction_percent:.1f}%",
                *("-" if size is None else f"{size:,.0f}" for size in sizes),
            ]
        )
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
        "share\nthat repeats. Min, mean, max: chunk lengths.\n\n" + _format_table(header, rows)
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


def _json_report(report, duplicate_files: bool) -> dict:
    d = report.to_dict()
    for entry in [*d["files"], *d.get("skipped", [])]:
        entry.update(_json_path(entry["path"]))
    if duplicate_files:
        d["duplicate_files"] = [[_json_path(p) for p in g] for g in report.duplicate_files]
    else:
        d.pop("duplicate_files", None)
    return d


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
        out.write(json.dumps(_json_report(report, args.duplicate_files), indent=2) + "\n")
    else:
        out.write(_dedup_table(report) + _skipped_lines(report) + _index_lines(report))
        if args.duplicate_files:
            out.write(_duplicate_lines(report))
    if errors:
        out.flush()
        raise Skipped()
