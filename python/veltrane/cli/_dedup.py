"""``veltrane dedup``: how much of the files' content repeats, chunk by chunk."""

from __future__ import annotations

import json
import os
import sys
from collections.abc import Iterator, Sequence

from ..chunker import CDCChunker, Chunker
from ..dedup import dedup_report
from ..defaults import DEFAULT_AVG_SIZE, DEFAULT_CHUNK_SIZE
from ..gear import GearCDC
from ._common import (
    EXIT_USAGE,
    PROG,
    STDIN,
    CommandError,
    Progress,
    Skipped,
    check_inputs,
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
    return (
        _chunker_line(report) + "\nUnique: not held by an earlier file or an earlier part of the "
        "same file. Saved: the share\nthat repeats. Min, mean, max: chunk lengths.\n\n"
        + _format_table(header, rows)
    )


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


def _walk(top: str, errors: list[tuple[str, OSError]]) -> Iterator[str]:
    """The regular files under ``top``, depth first, each directory's entries sorted by their
    bytes; symbolic links and special files are skipped."""
    try:
        with os.scandir(top) as it:
            entries = sorted(it, key=lambda e: os.fsencode(e.name))
    except OSError as e:
        errors.append((top, e))
        return
    for entry in entries:
        try:
            if entry.is_symlink():
                continue
            if entry.is_dir(follow_symlinks=False):
                yield from _walk(entry.path, errors)
            elif entry.is_file(follow_symlinks=False):
                yield entry.path
        except OSError as e:
            errors.append((entry.path, e))


def _dedup_inputs(paths: Sequence[str], errors: list[tuple[str, OSError]]) -> list:
    inputs: list = []
    for path in paths:
        if path == STDIN:
            inputs.append(_StdinReader())
        elif os.path.isdir(path):
            inputs.extend(_walk(path, errors))
        else:
            inputs.append(path)
    return inputs


def run(args, out) -> None:
    chunker = _dedup_chunker(args)
    # Named inputs that do not exist fail at once, as for the other commands; files found in
    # directories that cannot be read are reported and skipped.
    check_inputs([p for p in args.paths if not os.path.isdir(p)])
    errors: list[tuple[str, OSError]] = []
    inputs = _dedup_inputs(args.paths, errors)
    named = [p for p in inputs if isinstance(p, str)]
    total = total_size(named) if len(named) == len(inputs) else None
    with Progress(progress_wanted(args), total, "chunking") as progress:
        try:
            report = dedup_report(
                inputs,
                chunker=chunker,
                progress=progress,
                on_error=lambda path, e: errors.append((path, e)),
                threads=args.threads,
            )
        except OSError as e:
            where = shown(e.filename) if e.filename is not None else "reading"
            raise CommandError(f"{where}: {e.strerror or e}") from None
    for path, error in errors:
        print(
            f"{PROG} dedup: error: {shown(path)}: {error.strerror or error} (skipped)",
            file=sys.stderr,
        )
    if args.json:
        out.write(json.dumps(report.to_dict(), indent=2) + "\n")
    else:
        out.write(_dedup_table(report))
    if errors:
        out.flush()
        raise Skipped()
