"""The ``veltrane`` command line: near-duplicate texts, repeated chunks in files, fingerprints.

``veltrane near-dups``, ``veltrane dedup`` and ``veltrane fingerprint``; ``veltrane --help``
and ``veltrane COMMAND --help`` describe them. Results go to standard output, progress bars
and errors to standard error. Exit status: 0 on success, 1 when an input cannot be read or
parsed, 2 for a bad command line, 130 when interrupted.
"""

from __future__ import annotations

import argparse
import importlib
import os
import sys
from collections.abc import Sequence

# No command does linear algebra, and numpy's OpenBLAS threads, started at its import, spin
# for about 0.1 s of CPU time on another core while the command's own threads want it.
os.environ.setdefault("OPENBLAS_NUM_THREADS", "1")

from dedup_core import __version__

from ..defaults import (
    DEFAULT_AVG_SIZE,
    DEFAULT_CHUNK_SIZE,
    DEFAULT_MAX_DISTANCE,
    DEFAULT_METHOD,
    DEFAULT_NGRAM,
    DEFAULT_NUM_PERM,
    DEFAULT_THRESHOLD,
)
from ..files.gear import MAX_MAX_SIZE, MIN_MIN_SIZE
from ..search.hamming import MAX_DISTANCE
from . import dedup as _dedup
from . import store as store_cli
from ._common import (
    EXIT_BROKEN_PIPE,
    EXIT_INPUT,
    EXIT_INTERRUPTED,
    EXIT_USAGE,
    PROG,
    CommandError,
    Output,
    OutputError,
    Skipped,
    bits,
    int_at_least,
    similarity,
    size,
    threads_option,
)

__all__ = [
    "EXIT_BROKEN_PIPE",
    "EXIT_INPUT",
    "EXIT_INTERRUPTED",
    "EXIT_USAGE",
    "CommandError",
    "build_parser",
    "main",
]


class _Parser(argparse.ArgumentParser):
    # argparse prints the whole usage block before an error; one line is easier to read.
    def error(self, message: str):  # type: ignore[override]
        raise CommandError(f"{message} (see '{self.prog} --help')", EXIT_USAGE, self.prog)


def build_parser() -> argparse.ArgumentParser:
    """The argument parser of ``veltrane`` and its commands."""
    parser = _Parser(
        prog=PROG,
        description="Find near-duplicate texts and repeated content in files.",
        epilog="Run 'veltrane COMMAND --help' for the options of a command.",
    )
    parser.add_argument("--version", action="version", version=f"%(prog)s {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)
    quiet = _Parser(add_help=False)
    quiet.add_argument(
        "-q",
        "--quiet",
        action="store_true",
        help="no progress bar (there is none anyway when standard error is not a terminal)",
    )

    near = commands.add_parser(
        "near-dups",
        parents=[quiet],
        help="near-duplicate texts: pairs, clusters, or the deduplicated corpus",
        description=(
            "Read a corpus (text lines, JSON Lines or Parquet, plain or compressed with gzip, "
            "zstd, bzip2 or xz, one file, several, or directories of shards read in sorted "
            "order; the format comes from each file's name and first bytes) and write the "
            "pairs of near duplicates as JSON Lines, their clusters, or, with -o, the corpus "
            "without them. By default (--method minhash) two texts are near duplicates when "
            "the Jaccard similarity of their sets of word shingles (runs of --ngram words; "
            "words are runs of Unicode letters, digits and _, lower-cased) is at least "
            "--threshold; candidates come from MinHash signatures and every pair is checked "
            "against the shingle sets. --method simhash finds 64-bit SimHash fingerprints at "
            "most --max-distance bits apart. --method exact finds copies: texts with the same "
            "words (--normalize words, the default) or the same bytes (--normalize none), by "
            "a 128-bit digest. A character of Han, Hiragana, Katakana, Thai, Lao, Myanmar or "
            "Khmer is a word by itself. Texts without words (blank lines, '}', '# ===') "
            "are near duplicates of nothing: never paired, never dropped. Texts are numbered "
            "0, 1, 2... across all inputs in order; empty lines of line files are not texts "
            "but keep their line numbers. Invalid UTF-8 reads as U+FFFD; a byte-order mark "
            "is not part of the first line."
        ),
        epilog=(
            'pairs: {"i", "j", "similarity", "file_i", "line_i", "file_j", "line_j"} per pair, '
            "i < j, sorted. clusters: one object per text that has a near duplicate, "
            '{"cluster", "i", "file", "line", "similarity", "keep"}, grouped by cluster; a '
            "cluster is named by the text kept for it, and similarity is measured to it. With "
            '--method simhash, "distance" (bits) replaces "similarity"; with --id-field, "id" '
            "replaces file and line. -o writes the kept records unchanged, in input order and "
            "in the input's format (compressed as the output's name says). The keep rule "
            "(--keep, --keep-by) orders the texts; --clusters greedy (the default) takes them "
            "in that order and drops a text onto the closest kept text that is its near "
            "duplicate, else keeps it, so every dropped text is a near duplicate of its keeper "
            "and no two kept texts are near duplicates. --clusters components keeps one text "
            "per connected component of pairs, which drops texts joined only by a chain."
        ),
    )
    near.add_argument(
        "inputs",
        nargs="+",
        metavar="INPUT",
        help="a file, a directory of shards, or - for standard input",
    )
    kind = near.add_mutually_exclusive_group()
    kind.add_argument("--lines", action="store_true", help="read every file as text lines")
    kind.add_argument("--jsonl", action="store_true", help="read every file as JSON Lines")
    near.add_argument(
        "--field",
        metavar="NAME",
        help="JSON Lines or Parquet: the field or column of the text (default: text)",
    )
    near.add_argument(
        "--id-field",
        metavar="NAME",
        help="JSON Lines or Parquet: a field that identifies each record, reported instead of "
        "file and line",
    )
    near.add_argument(
        "--method",
        choices=("minhash", "simhash", "exact"),
        default=DEFAULT_METHOD,
        help="Jaccard similarity of shingles (minhash, the default), SimHash bits (simhash) "
        "or copies (exact)",
    )
    near.add_argument(
        "--normalize",
        choices=("words", "none"),
        help="exact: texts are copies with the same words, case, punctuation and spacing "
        "ignored (words, the default), or with the same bytes (none)",
    )
    near.add_argument(
        "--threshold",
        metavar="S",
        type=similarity,
        help=(
            "minhash: least Jaccard similarity of a pair, in (0, 1] "
            f"(default: {DEFAULT_THRESHOLD})"
        ),
    )
    near.add_argument(
        "--ngram",
        metavar="N",
        type=int_at_least(1),
        help=f"minhash: words per shingle (default: {DEFAULT_NGRAM})",
    )
    near.add_argument(
        "--num-perm",
        metavar="N",
        type=int_at_least(1),
        help=f"minhash: values per MinHash signature (default: {DEFAULT_NUM_PERM})",
    )
    near.add_argument(
        "--max-distance",
        metavar="K",
        type=int_at_least(0, MAX_DISTANCE),
        help=(
            f"simhash: largest Hamming distance of a pair, 0 to {MAX_DISTANCE} "
            f"(default: {DEFAULT_MAX_DISTANCE})"
        ),
    )
    near.add_argument(
        "--format",
        choices=("pairs", "clusters"),
        help="what to write to standard output (default: pairs, nothing with -o)",
    )
    near.add_argument(
        "-o",
        "--output",
        metavar="PATH",
        help="write the kept records here, in the input's format (- : standard output)",
    )
    near.add_argument(
        "--duplicates",
        metavar="PATH",
        help="write one JSON line per dropped text here (- : standard output): where it is "
        "(or its id), its keeper's, and their similarity",
    )
    rule = near.add_mutually_exclusive_group()
    rule.add_argument(
        "--keep",
        choices=("first", "longest"),
        help="which text of near duplicates to keep: the first (the default) or the longest; "
        "ties to the first",
    )
    rule.add_argument(
        "--keep-by",
        metavar="FIELD",
        help="keep the text with the largest value of this numeric field; ties to the first, "
        "records without it last",
    )
    near.add_argument(
        "--clusters",
        choices=("greedy", "components"),
        default="greedy",
        help="greedy (the default): no text dropped onto a keeper it is not a near duplicate "
        "of; components: connected components of pairs",
    )
    near.add_argument("--force", action="store_true", help="replace an existing output")
    near.add_argument(
        "--memory",
        metavar="SIZE",
        type=size,
        help="minhash: hold about SIZE (2G, 512M) of search data in memory, and the rest on "
        "disk: band hashes in sorted runs, and candidates re-read from the inputs to verify "
        "them (from a copy of the texts in --tmp-dir for compressed or Parquet inputs); the "
        "output is the same as without it. Default: no bound while the input fits in the "
        "memory available, else a third of that memory",
    )
    near.add_argument(
        "--tmp-dir",
        metavar="DIR",
        help="where --memory puts its temporary files (default: the system's, $TMPDIR)",
    )
    near.add_argument(
        "--index",
        metavar="DIR",
        help="minhash or exact: a lasting index in DIR (made if new): each input file is "
        "deduplicated against every text the index holds, then against itself, and its kept "
        "texts are added; a text dropped onto an earlier one names it (its id, or file and "
        "line) in --duplicates. The index keeps the --threshold, --ngram and --num-perm (or "
        "the --normalize) it was made with",
    )
    threads_option(near, "fingerprints and search")

    dedup = commands.add_parser(
        "dedup",
        parents=[quiet],
        help="how much of the files' content repeats, chunk by chunk",
        description=(
            "Cut every file into content-defined chunks, streaming, and report how many "
            "chunks and bytes repeat within and across the files (compared by BLAKE3 digest; "
            "BLAKE2b when standard input is among them). A chunk counts as unique in the first "
            "file, in order, that holds it. Directories are walked recursively in sorted "
            "order, without following symbolic links. A file reached twice (a hardlink, a "
            "path given twice) is read and counted once; FIFOs, sockets and devices are "
            "skipped unopened; both are counted in the report. A path that cannot be read is "
            "reported, left out, and makes the exit status 1. The default chunker, gear "
            "(GearCDC), cuts where the last 64 bytes say so, so content shifted by an "
            "insertion still repeats; cdc (CDC) restarts its hash at every chunk, so an "
            "insertion shifts every cut behind it."
        ),
    )
    dedup.add_argument(
        "paths",
        nargs="+",
        metavar="PATH",
        help="a file, a directory, or - for standard input",
    )
    dedup.add_argument(
        "--chunker",
        choices=tuple(_dedup.CHUNKERS),
        help="gear (the default) or cdc (the default with --chunk-size)",
    )
    dedup.add_argument(
        "--avg-size",
        metavar="N",
        type=int_at_least(MIN_MIN_SIZE, MAX_MAX_SIZE),
        help=f"gear: the average chunk length, a power of two (default: {DEFAULT_AVG_SIZE})",
    )
    dedup.add_argument(
        "--min-size",
        metavar="N",
        type=int_at_least(MIN_MIN_SIZE, MAX_MAX_SIZE),
        help="gear: the shortest chunk (default: avg-size / 4)",
    )
    dedup.add_argument(
        "--max-size",
        metavar="N",
        type=int_at_least(MIN_MIN_SIZE, MAX_MAX_SIZE),
        help="gear: the longest chunk (default: 8 * avg-size)",
    )
    dedup.add_argument(
        "--chunk-size",
        metavar="N",
        type=int_at_least(1, (1 << 64) - 1),
        help=f"cdc: half the longest chunk (default: {DEFAULT_CHUNK_SIZE})",
    )
    dedup.add_argument("--json", action="store_true", help="write the report as JSON")
    dedup.add_argument(
        "--index",
        metavar="DIR",
        help="an index of chunks kept between runs (made when missing): chunks it holds count "
        "as seen, this run's new chunks are added to it, and files that have not changed "
        "since it recorded them are not read again",
    )
    dedup.add_argument(
        "--duplicate-files",
        action="store_true",
        help="also list the groups of files with identical content (empty files left out)",
    )
    _dedup.add_link_arguments(dedup)
    threads_option(dedup, "reading, chunking and digesting files")

    fp = commands.add_parser(
        "fingerprint",
        parents=[quiet],
        help="the SimHash fingerprint of each line, in hex",
        description=(
            "Write the SimHash fingerprint of every input line as hex, one per line. Lines "
            "are read as bytes; only the line ending (\\n or \\r\\n) is stripped."
        ),
    )
    fp.add_argument(
        "inputs",
        nargs="*",
        metavar="INPUT",
        help="a file, or - for standard input (the default)",
    )
    fp.add_argument(
        "--bits",
        metavar="N",
        type=bits,
        default=64,
        help="fingerprint length, a multiple of 8 (default: 64)",
    )
    importlib.import_module(".repeats", __name__).add_parser(commands, [quiet])
    store_cli.add_parser(commands, [quiet])
    return parser


#: Each command's module, imported when the command runs: `dedup` need not load the corpus
#: readers of `near-dups`.
COMMANDS = {
    "near-dups": "near_dups",
    "dedup": "dedup",
    "fingerprint": "fingerprint",
    "repeats": "repeats",
    "store": "store",
}


def main(argv: Sequence[str] | None = None) -> int:
    """Runs ``veltrane`` with ``argv`` (default: the process's arguments); returns the status."""
    command = None
    closed = _stdout_closed()
    try:
        args = build_parser().parse_args(argv)
        command = args.command
        out = Output(sys.stdout, closed)
        importlib.import_module(f".{COMMANDS[args.command]}", __name__).run(args, out)
        out.flush()
    except CommandError as e:
        prog = e.prog or (PROG if command is None else f"{PROG} {command}")
        print(f"{prog}: error: {e}", file=sys.stderr)
        if isinstance(e, OutputError):
            _silence_stdout()
        return e.status
    except Skipped:
        return EXIT_INPUT
    except SystemExit as e:  # --help and --version
        return e.code if isinstance(e.code, int) else 0
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly. Python would report the failed flush
        # of stdout at exit, so stdout is pointed at /dev/null first.
        _silence_stdout()
        return EXIT_BROKEN_PIPE
    return 0


def _stdout_closed() -> bool:
    """Whether descriptor 1 is closed; if so /dev/null takes its place, so that no file this
    process opens gets descriptor 1 and receives what is meant for standard output."""
    try:
        os.fstat(1)
        return False
    except OSError:
        pass
    devnull = os.open(os.devnull, os.O_WRONLY)
    if devnull != 1:
        os.dup2(devnull, 1)
        os.close(devnull)
    if sys.stdout is None:
        sys.stdout = open(1, "w", closefd=False)
    return True


def _silence_stdout() -> None:
    """Points descriptor 1 at /dev/null: Python flushes standard output once more at exit, and
    would report that failure too."""
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, 1)
    os.close(devnull)
