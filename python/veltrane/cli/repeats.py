"""``veltrane repeats``: the corpus with the lines, paragraphs or long runs of words that
occurred earlier in it cut out."""

from __future__ import annotations

import argparse
import re
import sys

from ..corpus import CorpusError
from ..repeats import DEFAULT_MIN_WORDS, NORMALIZATIONS, UNITS, remove_repeats
from ._common import (
    EXIT_USAGE,
    PROG,
    CommandError,
    ProgressBar,
    check_inputs,
    int_at_least,
    progress_wanted,
    size,
    total_size,
)


def add_parser(commands, parents: list[argparse.ArgumentParser]) -> None:
    """Adds ``repeats`` to the subcommands ``commands``."""
    p = commands.add_parser(
        "repeats",
        parents=parents,
        help="cut the lines, paragraphs or long runs of words seen earlier out of a corpus",
        description=(
            "Read a corpus as near-dups reads it (text lines, JSON Lines or Parquet, plain or "
            "compressed, files or directories of shards in order) and cut out of each text "
            "what occurred earlier in the corpus, in an earlier text or earlier in the same "
            "one; the first occurrence stays. --unit line: lines (split at \\n; a \\r before "
            "it belongs to the break), removed with their break. --unit paragraph: runs of "
            "lines separated by lines of only whitespace, removed with the blank lines after "
            "them (a last paragraph takes those before it). --unit span: every word that lies "
            "in a run of --min-words words equal to a run starting earlier in the corpus; each "
            "maximal run of such words is cut from its first byte to its last. Lines and "
            "paragraphs are equal when their words are (--normalize words: runs of Unicode "
            "letters, digits and _, lower-cased) or their bytes (--normalize none); a unit "
            "without words is never a repeat. Every match is checked against the first "
            "occurrence before anything is cut."
        ),
        epilog=(
            "-o writes every record unchanged but for its text, in input order and in the "
            "input's format; a record left without words is dropped unless --keep-empty. "
            '--spans writes {"file", "line" (or "id"), "start", "end", "first_file", '
            '"first_line" (or "first_id"), "first_start" (or "first_word" for spans)} per '
            "stretch cut; start and end are byte offsets into the text's UTF-8. The summary "
            "on standard error: texts read, changed, dropped, bytes removed."
        ),
    )
    p.add_argument("inputs", nargs="+", metavar="INPUT", help="a file, a directory, or -")
    kind = p.add_mutually_exclusive_group()
    kind.add_argument("--lines", action="store_true", help="read every file as text lines")
    kind.add_argument("--jsonl", action="store_true", help="read every file as JSON Lines")
    p.add_argument("--field", metavar="NAME", help="JSON Lines or Parquet: the text field")
    p.add_argument(
        "--id-field", metavar="NAME", help="a field that identifies each record in --spans"
    )
    p.add_argument("--unit", choices=UNITS, default="line", help="what repeats (default: line)")
    p.add_argument(
        "--min-words",
        metavar="N",
        type=int_at_least(1),
        default=DEFAULT_MIN_WORDS,
        help=f"span: words of a repeated run (default: {DEFAULT_MIN_WORDS})",
    )
    p.add_argument(
        "--normalize",
        choices=NORMALIZATIONS,
        default="words",
        help="line, paragraph: equal words (the default) or equal bytes (none)",
    )
    p.add_argument("-o", "--output", metavar="PATH", help="the corpus without its repeats")
    p.add_argument("--spans", metavar="PATH", help="one JSON line per stretch cut")
    p.add_argument("--keep-empty", action="store_true", help="keep records left without words")
    p.add_argument("--force", action="store_true", help="replace existing outputs")
    p.add_argument(
        "--memory",
        metavar="SIZE",
        type=size,
        help="hold the search within about SIZE (2G, 512M): the tables are built a part of "
        "the units or windows per pass over the corpus, as many passes as SIZE takes, the "
        "words of spans kept on disk, and the corpus is read once more to be cut; the output "
        "is the same as without it",
    )
    p.add_argument(
        "--index",
        metavar="DIR",
        help="a lasting index in DIR (made if new) of the units of earlier runs: a line or "
        "paragraph it holds occurred earlier, so every copy of it is cut, and a window of "
        "words of an earlier run's text starts earlier than this run's; a cut is named in "
        "--spans by where the earlier run saw it. This run's first occurrences (for spans, "
        "its texts' word hashes, 8 bytes a word) are added once the outputs are written. It "
        "keeps the --unit, --normalize and --min-words it was made with",
    )
    p.add_argument(
        "--tmp-dir",
        metavar="DIR",
        help="where --memory puts its temporary files, and --unit span the word hashes of "
        "the corpus, 8 bytes a word (default: the system's, $TMPDIR)",
    )
    p.add_argument(
        "--threads",
        metavar="N",
        type=int_at_least(1),
        help="threads for finding and hashing units (default: every core)",
    )


def run(args, out) -> None:
    check_inputs(args.inputs)
    usage = None
    if args.tmp_dir is not None and args.memory is None and args.unit != "span":
        usage = "--tmp-dir needs --memory or --unit span"
    if usage is not None:
        raise CommandError(usage, EXIT_USAGE, f"{PROG} repeats")
    fmt = "jsonl" if args.jsonl else "lines" if args.lines else None
    with ProgressBar(progress_wanted(args), total_size(args.inputs), "reading") as progress:
        try:
            summary = remove_repeats(
                args.inputs,
                args.output,
                unit=args.unit,
                min_words=args.min_words,
                normalize=args.normalize,
                spans=args.spans,
                keep_empty=args.keep_empty,
                field=args.field,
                id_field=args.id_field,
                format=fmt,
                force=args.force,
                threads=args.threads,
                memory=args.memory,
                tmp_dir=args.tmp_dir,
                index=args.index,
                progress=progress,
            )
        except CorpusError as e:
            raise CommandError(
                re.sub(r"^(.*?): line (\d+): ", r"\1:\2: ", str(e), count=1)
            ) from None
    if not args.quiet:
        print(
            f"{PROG} repeats: {summary.texts:,} texts read, {summary.changed:,} changed, "
            f"{summary.dropped:,} dropped, {summary.bytes_removed:,} bytes removed",
            file=sys.stderr,
        )
