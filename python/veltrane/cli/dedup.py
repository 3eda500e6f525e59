"""``veltrane dedup``: how much of the files' content repeats, chunk by chunk."""

from __future__ import annotations

import os
import sys

from ..defaults import DEFAULT_AVG_SIZE, DEFAULT_CHUNK_SIZE
from ..files.chunk_index import ChunkIndexError
from ..files.chunker import CDCChunker, Chunker
from ..files.gear import GearCDC
from ..files.report_json import write_json
from ..files.report_text import format_report
from ..files.tree import dedup_report
from ._common import (
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
        out.write(format_report(report, args.duplicate_files))
    link_duplicates(args, report, out)
    if errors:
        out.flush()
        raise Skipped()


def add_link_arguments(dedup) -> None:
    """``--link`` and ``--dry-run`` for ``veltrane dedup --duplicate-files``."""
    dedup.add_argument(
        "--link",
        choices=("reflink", "hardlink"),
        help="with --duplicate-files: replace each later file of a group by a hardlink to the "
        "first (it then has the first file's mode, owner and times), or share the first "
        "file's extents (reflink: the kernel compares the bytes itself; each file keeps its "
        "own metadata). Bytes are compared first; a file that changed since is left alone",
    )
    dedup.add_argument(
        "--dry-run",
        action="store_true",
        help="with --link: print what would be linked and the bytes it would free",
    )


def link_duplicates(args, report, out) -> None:
    """Runs ``--link`` on the report's groups of identical files."""
    if args.link is None:
        if args.dry_run:
            raise CommandError("--dry-run goes with --link", EXIT_USAGE)
        return
    if not args.duplicate_files:
        raise CommandError("--link needs --duplicate-files", EXIT_USAGE)
    from ..store import StoreError
    from ..store.links import replace_duplicates

    try:
        r = replace_duplicates(report.duplicate_files, args.link, args.dry_run)
    except StoreError as e:
        raise CommandError(shown(str(e)), prog="veltrane dedup") from None
    write = (lambda s: print(s, end="", file=sys.stderr)) if args.json else out.write
    verb = "would link" if args.dry_run else "linked"
    lines = [f"{verb} {shown(c)} -> {shown(f)}\n" for f, c in r.linked]
    lines += [f"left alone: {shown(p)}: {shown(why)}\n" for p, why in r.left]
    freed = "would free" if args.dry_run else "freed"
    lines.append(f"{len(r.linked):,} files {verb} ({args.link}); {freed} {r.freed:,} bytes\n")
    write("".join(lines))
