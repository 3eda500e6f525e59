"""The ``veltrane`` command line: near-duplicate texts, repeated chunks in files, fingerprints.

``veltrane near-dups``, ``veltrane dedup`` and ``veltrane fingerprint``; ``veltrane --help``
and ``veltrane COMMAND --help`` describe them. Results go to standard output, progress bars
and errors to standard error. Exit status: 0 on success, 1 when an input cannot be read or
parsed, 2 for a bad command line, 130 when interrupted.
"""

from __future__ import annotations

import argparse
import json
import os
import stat
import sys
import time
from array import array
from collections.abc import Iterator, Sequence
from itertools import islice
from typing import BinaryIO

import numpy as np
from dedup_core import __version__

from . import _args, _native
from .gear import DEFAULT_AVG_SIZE, GearCDC
from .lsh import (
    iter_near_duplicate_pairs_jaccard,
    jaccard_similarities,
    near_duplicate_clusters_jaccard,
)
from .search import (
    MAX_DISTANCE,
    PAIR_BATCH,
    PAIR_DTYPE,
    _with_progress,
    fingerprints,
    fingerprints64,
)
from .stream import DEFAULT_CHUNK_SIZE, dedup_report

PROG = "veltrane"
STDIN = "-"

# Lines handed to the native fingerprinting per call: enough to keep both cores busy and the
# per-call overhead negligible, few enough that a batch of long lines stays small in memory.
BATCH_LINES = 1 << 16
# Output lines joined per write.
WRITE_BATCH = 10_000
# A run shorter than this never draws a progress bar, so quick runs leave the terminal clean.
PROGRESS_DELAY_SECONDS = 1.0
# Defaults of --method minhash, those of veltrane.near_duplicate_pairs_jaccard.
THRESHOLD, NGRAM, NUM_PERM = 0.8, 5, 128
# Defaults of --method simhash: the distance of veltrane.near_duplicate_pairs.
MAX_DISTANCE_DEFAULT = 3
# SimHash stores bits as a signed 32-bit integer; the largest multiple of 8 it can hold.
MAX_BITS = (1 << 31) - 8
# Exit statuses: bad input, bad command line (argparse's own), interrupted (128 + SIGINT),
# and a closed output pipe (128 + SIGPIPE, as if the signal had ended us like other filters).
EXIT_INPUT, EXIT_USAGE, EXIT_INTERRUPTED, EXIT_BROKEN_PIPE = 1, 2, 130, 141


class CommandError(Exception):
    """A failure reported as one line on standard error."""

    def __init__(self, message: str, status: int = EXIT_INPUT, prog: str = PROG) -> None:
        super().__init__(message)
        self.status = status
        self.prog = prog


class _Parser(argparse.ArgumentParser):
    # argparse prints the whole usage block before an error; one line is easier to read.
    def error(self, message: str):  # type: ignore[override]
        raise CommandError(f"{message} (see '{self.prog} --help')", EXIT_USAGE, self.prog)


def _int_at_least(low: int, high: int | None = None, what: str = "a whole number"):
    """An argparse type: a whole number from ``low`` to ``high``, in the library's words."""

    def parse(text: str) -> int:
        try:
            value = int(text)
        except ValueError:
            raise argparse.ArgumentTypeError(f"expected {what}, got {text!r}") from None
        complaint = _args.out_of_range(value, low, high)
        if complaint is not None:
            raise argparse.ArgumentTypeError(complaint)
        return value

    return parse


def _similarity(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a number, got {text!r}") from None
    if not 0.0 < value <= 1.0:
        raise argparse.ArgumentTypeError(f"must be in (0, 1], got {text}")
    return value


def _bits(text: str) -> int:
    bits = _int_at_least(8, MAX_BITS)(text)
    if bits % 8:
        raise argparse.ArgumentTypeError(f"must be a multiple of 8, got {bits}")
    return bits


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
        help="pairs or clusters of near-duplicate texts",
        description=(
            "Read texts, one per line or one per JSON Lines record, and write the pairs of "
            "near duplicates as JSON Lines. By default (--method minhash) two texts are near "
            "duplicates when the Jaccard similarity of their sets of word shingles (runs of "
            "--ngram words; words are runs of Unicode letters, digits and _, lower-cased) is "
            "at least --threshold; candidates come from MinHash signatures and every reported "
            "pair is checked against the shingle sets. --method simhash finds 64-bit SimHash "
            "fingerprints at most --max-distance bits apart. Texts are numbered 0, 1, 2... "
            "across all inputs in order; empty lines and blank JSONL lines are skipped but "
            "keep their line numbers."
        ),
        epilog=(
            'pairs: {"i", "j", "similarity", "file_i", "line_i", "file_j", "line_j"} per pair, '
            "i < j, sorted. clusters: one object per text that has a near duplicate, "
            '{"cluster", "i", "file", "line", "similarity", "keep"}, grouped by cluster; a '
            "cluster is named by its first text, which is the one to keep, and similarity is "
            'measured to it. With --method simhash, "distance" (bits) replaces "similarity".'
        ),
    )
    near.add_argument("inputs", nargs="+", metavar="INPUT", help="a file, or - for standard input")
    kind = near.add_mutually_exclusive_group()
    kind.add_argument("--lines", action="store_true", help="one text per line (the default)")
    kind.add_argument("--jsonl", action="store_true", help="one JSON object per line")
    near.add_argument(
        "--field",
        metavar="NAME",
        help="with --jsonl: the field that holds the text (default: text)",
    )
    near.add_argument(
        "--method",
        choices=("minhash", "simhash"),
        default="minhash",
        help="Jaccard similarity of shingles (minhash, the default) or SimHash bits (simhash)",
    )
    near.add_argument(
        "--threshold",
        metavar="S",
        type=_similarity,
        help=f"minhash: least Jaccard similarity of a pair, in (0, 1] (default: {THRESHOLD})",
    )
    near.add_argument(
        "--ngram",
        metavar="N",
        type=_int_at_least(1),
        help=f"minhash: words per shingle (default: {NGRAM})",
    )
    near.add_argument(
        "--num-perm",
        metavar="N",
        type=_int_at_least(1),
        help=f"minhash: values per MinHash signature (default: {NUM_PERM})",
    )
    near.add_argument(
        "--max-distance",
        metavar="K",
        type=_int_at_least(0, MAX_DISTANCE),
        help=f"simhash: largest Hamming distance of a pair, 0 to {MAX_DISTANCE} (default: 3)",
    )
    near.add_argument(
        "--format",
        choices=("pairs", "clusters"),
        default="pairs",
        help="what to write (default: pairs)",
    )
    near.add_argument(
        "--threads",
        metavar="N",
        type=_int_at_least(1),
        help="threads for fingerprints and search (default: every core this process may use)",
    )

    dedup = commands.add_parser(
        "dedup",
        parents=[quiet],
        help="how much of the files' content repeats, chunk by chunk",
        description=(
            "Cut every file into content-defined chunks, streaming, and report how many "
            "chunks and bytes repeat within and across the files (compared by BLAKE2b "
            "digest). A chunk counts as unique in the first file, in order, that holds it. "
            "Directories are walked recursively in sorted order, without following symbolic "
            "links; a file that cannot be read is reported, left out, and makes the exit "
            "status 1. The default chunker, gear (GearCDC), cuts where the last 64 bytes say "
            "so, so content shifted by an insertion still repeats; cdc (CDC) restarts its hash "
            "at every chunk, so an insertion shifts every cut behind it."
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
        choices=("gear", "cdc"),
        help="gear (the default) or cdc (the default with --chunk-size)",
    )
    dedup.add_argument(
        "--avg-size",
        metavar="N",
        type=_int_at_least(64, 1 << 30),
        help=f"gear: the average chunk length, a power of two (default: {DEFAULT_AVG_SIZE})",
    )
    dedup.add_argument(
        "--min-size",
        metavar="N",
        type=_int_at_least(64, 1 << 30),
        help="gear: the shortest chunk (default: avg-size / 4)",
    )
    dedup.add_argument(
        "--max-size",
        metavar="N",
        type=_int_at_least(64, 1 << 30),
        help="gear: the longest chunk (default: 8 * avg-size)",
    )
    dedup.add_argument(
        "--chunk-size",
        metavar="N",
        type=_int_at_least(1, (1 << 64) - 1),
        help=f"cdc: half the longest chunk (default: {DEFAULT_CHUNK_SIZE})",
    )
    dedup.add_argument("--json", action="store_true", help="write the report as JSON")

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
        type=_bits,
        default=64,
        help="fingerprint length, a multiple of 8 (default: 64)",
    )
    return parser


class _Progress:
    """A tqdm byte counter on standard error, or nothing when it is off."""

    def __init__(self, enabled: bool, total: int | None, description: str) -> None:
        self._bar = None
        self._counting: str | None = None
        if enabled:
            from tqdm import tqdm

            self._bar = tqdm(
                total=total,
                desc=description,
                unit="B",
                unit_scale=True,
                unit_divisor=1024,
                delay=PROGRESS_DELAY_SECONDS,
                leave=False,
                file=sys.stderr,
                dynamic_ncols=True,
            )
            self._start = time.monotonic()

    def update(self, n: int) -> None:
        if self._bar is not None:
            self._bar.update(n)

    def count(self, description: str, done: int, total: int) -> None:
        """Shows ``done`` of ``total`` steps of the phase ``description``, counted from 0 when
        the phase is new (total 0: not known yet)."""
        bar = self._bar
        if bar is None:
            return
        if self._counting != description:
            self._counting = description
            bar.unit, bar.unit_scale, bar.unit_divisor = "", True, 1000
            bar.n = bar.last_print_n = 0
            bar.total = total or None
            self.phase(description)
        if total and bar.total != total:
            bar.total = total
        if done > bar.n:
            bar.update(done - bar.n)
            if done == total:  # the last step is drawn, however soon after the one before
                self.phase(description)

    def phase(self, description: str) -> None:
        """Names the next step; drawn at once if the bar is already showing."""
        if self._bar is not None:
            self._bar.set_description_str(description, refresh=False)
            if time.monotonic() - self._start >= PROGRESS_DELAY_SECONDS:
                self._bar.refresh()

    def close(self) -> None:
        if self._bar is not None:
            self._bar.close()

    def __enter__(self) -> _Progress:
        return self

    def __exit__(self, *exc) -> None:
        self.close()


def _progress_wanted(args) -> bool:
    return not args.quiet and sys.stderr.isatty()


def _shown(path: str) -> str:
    """A path as the file system spells it: bytes that are not UTF-8 appear as escapes."""
    return os.fsencode(path).decode("utf-8", "backslashreplace")


def _check_inputs(paths: Sequence[str], stdin_ok: bool = True) -> None:
    """Fails on the first input that cannot be read, before any work or output.

    Inputs are not opened here: opening a named pipe to try it would consume its writer.
    """
    for path in paths:
        if path == STDIN and stdin_ok:
            continue
        try:
            st = os.stat(path)
        except OSError as e:
            raise CommandError(f"{_shown(path)}: {e.strerror or e}") from None
        if stat.S_ISDIR(st.st_mode):
            raise CommandError(f"{_shown(path)}: Is a directory")
        if not os.access(path, os.R_OK):
            raise CommandError(f"{_shown(path)}: Permission denied")


def _total_size(paths: Sequence[str]) -> int | None:
    """The bytes the inputs hold, when all are regular files; else None (unknown)."""
    total = 0
    for path in paths:
        try:
            st = os.stat(path) if path != STDIN else None
        except OSError:
            return None
        if st is None or not os.path.isfile(path):
            return None
        total += st.st_size
    return total


def _open(path: str) -> BinaryIO:
    if path == STDIN:
        return sys.stdin.buffer
    try:
        return open(path, "rb")
    except OSError as e:
        raise CommandError(f"{_shown(path)}: {e.strerror or e}") from None


def _line_batches(path: str, progress: _Progress) -> Iterator[tuple[int, list[bytes]]]:
    """(number of the first line, lines without their endings), a batch at a time."""
    stream = _open(path)
    try:
        first = 1
        while True:
            try:
                lines = list(islice(stream, BATCH_LINES))
            except OSError as e:
                raise CommandError(f"{_shown(path)}: {e.strerror or e}") from None
            if not lines:
                return
            data = b"".join(lines)
            progress.update(len(data))
            if b"\r" in data:
                texts = [
                    line[:-2]
                    if line.endswith(b"\r\n")
                    else line[:-1]
                    if line.endswith(b"\n")
                    else line
                    for line in lines
                ]
            else:
                # Without \r only \n ends lines, and one split in C cuts them all; every line
                # but the file's last ends with it, which leaves an empty piece to drop.
                texts = data.split(b"\n")
                if data.endswith(b"\n"):
                    texts.pop()
            yield first, texts
            first += len(lines)
    finally:
        if stream is not sys.stdin.buffer:
            stream.close()


def _jsonl_texts(path: str, first: int, lines: list[bytes], name: str):
    """The ``name`` field of each record as UTF-8, and the line numbers of the records."""
    texts, numbers = [], []
    for number, line in enumerate(lines, first):
        if not line.strip():
            continue
        where = f"{_shown(path)}:{number}"
        try:
            record = json.loads(line)
        except json.JSONDecodeError as e:
            raise CommandError(f"{where}: not valid JSON: {e.msg} at column {e.colno}") from None
        except UnicodeDecodeError:
            raise CommandError(f"{where}: not UTF-8 text") from None
        if not isinstance(record, dict):
            raise CommandError(f"{where}: expected a JSON object, got {type(record).__name__}")
        if name not in record:
            raise CommandError(f"{where}: the record has no field {name!r}")
        text = record[name]
        if not isinstance(text, str):
            raise CommandError(
                f"{where}: field {name!r} must be a string, got {type(text).__name__}"
            )
        try:
            texts.append(text.encode("utf-8"))
        except UnicodeEncodeError:
            raise CommandError(
                f"{where}: field {name!r} holds a lone surrogate, which has no UTF-8 form"
            ) from None
        numbers.append(number)
    return texts, numbers


def _write(out, lines: Iterator[str]) -> None:
    while batch := list(islice(lines, WRITE_BATCH)):
        out.write("".join(batch))


def _method_options(args) -> None:
    """Fills in the options of the chosen method; those of the other are a usage error."""
    own = {"minhash": ("threshold", "ngram", "num_perm"), "simhash": ("max_distance",)}
    for method, names in own.items():
        for name in names:
            if method != args.method and getattr(args, name) is not None:
                option = "--" + name.replace("_", "-")
                raise CommandError(
                    f"{option} needs --method {method}", EXIT_USAGE, f"{PROG} near-dups"
                )
    defaults = {
        "threshold": THRESHOLD,
        "ngram": NGRAM,
        "num_perm": NUM_PERM,
        "max_distance": MAX_DISTANCE_DEFAULT,
    }
    for name, value in defaults.items():
        if getattr(args, name) is None:
            setattr(args, name, value)


def _read_texts(args, field: str, progress: _Progress):
    """Every text of the inputs as bytes, with the input index and line number of each."""
    texts: list[bytes] = []
    sources = array("i")
    numbers = array("q")
    for k, path in enumerate(args.inputs):
        for first, lines in _line_batches(path, progress):
            if args.jsonl:
                batch, lines_of = _jsonl_texts(path, first, lines, field)
            else:
                lines_of = [n for n, text in enumerate(lines, first) if text]
                batch = [text for text in lines if text]
            texts.extend(batch)
            sources.extend([k] * len(batch))
            numbers.extend(lines_of)
    return texts, sources, numbers


def _near_dups_minhash(args, out, field: str) -> None:
    options = dict(verify="exact", ngram=args.ngram, num_perm=args.num_perm, threads=args.threads)
    with _Progress(_progress_wanted(args), _total_size(args.inputs), "reading") as progress:
        texts, sources, numbers = _read_texts(args, field, progress)
        progress.phase("searching")
        if args.format == "pairs":
            # The search runs here; copies become pairs a batch at a time as they are written.
            batches = iter_near_duplicate_pairs_jaccard(texts, args.threshold, **options)
        else:
            reps = near_duplicate_clusters_jaccard(texts, args.threshold, **options)
            sizes = np.bincount(reps, minlength=len(reps))
            members = np.flatnonzero(sizes[reps] > 1)
            members = members[np.lexsort((members, reps[members]))]  # by cluster, then index
            similarity = jaccard_similarities(
                texts, members, reps[members], ngram=args.ngram, threads=args.threads
            )
    names = [json.dumps(path) for path in args.inputs]
    if args.format == "pairs":
        del texts  # not needed any more, and as large as the input
        for batch in batches:
            out.write(
                "".join(
                    [
                        f'{{"i": {i}, "j": {j}, "similarity": {s!r}, '
                        f'"file_i": {names[sources[i]]}, "line_i": {numbers[i]}, '
                        f'"file_j": {names[sources[j]]}, "line_j": {numbers[j]}}}\n'
                        for i, j, s in zip(
                            batch["i"].tolist(), batch["j"].tolist(), batch["similarity"].tolist()
                        )
                    ]
                )
            )
        return
    _write(
        out,
        (
            f'{{"cluster": {r}, "i": {i}, "file": {names[sources[i]]}, "line": {numbers[i]}, '
            f'"similarity": {s!r}, "keep": {"true" if i == r else "false"}}}\n'
            for i, r, s in zip(members.tolist(), reps[members].tolist(), similarity.tolist())
        ),
    )


def _near_dups(args, out) -> None:
    if args.field is not None and not args.jsonl:
        raise CommandError("--field needs --jsonl", EXIT_USAGE, f"{PROG} near-dups")
    field = "text" if args.field is None else args.field
    _method_options(args)
    _check_inputs(args.inputs)
    if args.method == "minhash":
        _near_dups_minhash(args, out, field)
        return
    parts: list[np.ndarray] = []
    sources = array("i")  # input index of each text
    numbers = array("q")  # line number of each text
    with _Progress(_progress_wanted(args), _total_size(args.inputs), "reading") as progress:
        for k, path in enumerate(args.inputs):
            for first, lines in _line_batches(path, progress):
                if args.jsonl:
                    texts, lines_of = _jsonl_texts(path, first, lines, field)
                else:
                    lines_of = [n for n, text in enumerate(lines, first) if text]
                    texts = [text for text in lines if text]
                parts.append(fingerprints64(texts, threads=args.threads))
                sources.extend([k] * len(texts))
                numbers.extend(lines_of)
        fps = np.concatenate(parts) if parts else np.empty(0, dtype=np.uint64)
        threads = _args.threads(args.threads)

        def searching(done: int, total: int) -> None:
            progress.count("searching", done, total)

        searching(0, 0)
        if args.format == "clusters":
            reps = _with_progress(
                lambda p: _native.cluster_fingerprints(fps, args.max_distance, threads, p),
                searching,
            )
        else:
            # Only the distinct fingerprints are searched here; their copies become pairs a
            # batch at a time as they are written, so memory does not grow with the pairs.
            stream = _with_progress(
                lambda p: _native.PairStream(fps, args.max_distance, threads, p), searching
            )
    names = np.array([json.dumps(path) for path in args.inputs], dtype=object)
    source_of = np.frombuffer(sources, dtype=np.int32) if len(sources) else np.empty(0, np.int32)
    line_of = np.frombuffer(numbers, dtype=np.int64) if len(numbers) else np.empty(0, np.int64)
    # Rows are formatted from whole columns, converted to lists a batch at a time: one
    # f-string per row and no indexing in Python.
    if args.format == "pairs":
        while len(batch := stream.next(PAIR_BATCH, PAIR_DTYPE)):
            i, j = batch["i"], batch["j"]
            out.write(
                "".join(
                    [
                        f'{{"i": {a}, "j": {b}, "distance": {d}, "file_i": {fa}, '
                        f'"line_i": {la}, "file_j": {fb}, "line_j": {lb}}}\n'
                        for a, b, d, fa, la, fb, lb in zip(
                            i.tolist(),
                            j.tolist(),
                            batch["distance"].tolist(),
                            names[source_of[i]].tolist(),
                            line_of[i].tolist(),
                            names[source_of[j]].tolist(),
                            line_of[j].tolist(),
                        )
                    ]
                )
            )
        return
    sizes = np.bincount(reps, minlength=len(reps))
    members = np.flatnonzero(sizes[reps] > 1)
    members = members[np.lexsort((members, reps[members]))]  # by cluster, then by index
    cluster = reps[members]
    for start in range(0, len(members), WRITE_BATCH):
        m, r = members[start : start + WRITE_BATCH], cluster[start : start + WRITE_BATCH]
        out.write(
            "".join(
                [
                    f'{{"cluster": {c}, "i": {i}, "file": {f}, "line": {n}, '
                    f'"distance": {(x ^ y).bit_count()}, '
                    f'"keep": {"true" if i == c else "false"}}}\n'
                    for c, i, f, n, x, y in zip(
                        r.tolist(),
                        m.tolist(),
                        names[source_of[m]].tolist(),
                        line_of[m].tolist(),
                        fps[m].tolist(),
                        fps[r].tolist(),
                    )
                ]
            )
        )


def _fingerprint(args, out) -> None:
    inputs = args.inputs or [STDIN]
    _check_inputs(inputs)
    with _Progress(_progress_wanted(args), _total_size(inputs), "fingerprints") as progress:
        for path in inputs:
            for _, lines in _line_batches(path, progress):
                fps = fingerprints(lines, args.bits)
                out.write("".join([fp.hex() + "\n" for fp in fps]))


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
                "total" if s.path is None else _shown(s.path),
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


def _dedup_chunker(args) -> GearCDC | int:
    gear_options = [
        f"--{name.replace('_', '-')}"
        for name in ("avg_size", "min_size", "max_size")
        if getattr(args, name) is not None
    ]
    kind = args.chunker or ("cdc" if args.chunk_size is not None else "gear")
    if kind == "cdc":
        if gear_options:
            raise CommandError(f"{gear_options[0]} needs --chunker gear", EXIT_USAGE)
        return DEFAULT_CHUNK_SIZE if args.chunk_size is None else args.chunk_size
    if args.chunk_size is not None:
        raise CommandError("--chunk-size needs --chunker cdc", EXIT_USAGE)
    try:
        return GearCDC(
            DEFAULT_AVG_SIZE if args.avg_size is None else args.avg_size,
            min_size=args.min_size,
            max_size=args.max_size,
        )
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


def _dedup(args, out) -> None:
    chunker = _dedup_chunker(args)
    # Named inputs that do not exist fail at once, as for the other commands; files found in
    # directories that cannot be read are reported and skipped.
    _check_inputs([p for p in args.paths if not os.path.isdir(p)])
    errors: list[tuple[str, OSError]] = []
    inputs = _dedup_inputs(args.paths, errors)
    named = [p for p in inputs if isinstance(p, str)]
    total = _total_size(named) if len(named) == len(inputs) else None
    with _Progress(_progress_wanted(args), total, "chunking") as progress:
        try:
            report = dedup_report(
                inputs,
                chunker=chunker,
                progress=progress.update,
                on_error=lambda path, e: errors.append((path, e)),
            )
        except OSError as e:
            where = _shown(e.filename) if e.filename is not None else "reading"
            raise CommandError(f"{where}: {e.strerror or e}") from None
    for path, error in errors:
        print(
            f"{PROG}: error: {_shown(path)}: {error.strerror or error} (skipped)", file=sys.stderr
        )
    if args.json:
        out.write(json.dumps(report.to_dict(), indent=2) + "\n")
    else:
        out.write(_dedup_table(report))
    if errors:
        out.flush()
        raise _Skipped()


class _Skipped(Exception):
    """Some inputs could not be read; they were reported and the report written without them."""


COMMANDS = {"near-dups": _near_dups, "dedup": _dedup, "fingerprint": _fingerprint}


def main(argv: Sequence[str] | None = None) -> int:
    """Runs ``veltrane`` with ``argv`` (default: the process's arguments); returns the status."""
    try:
        args = build_parser().parse_args(argv)
        COMMANDS[args.command](args, sys.stdout)
        sys.stdout.flush()
    except CommandError as e:
        print(f"{e.prog}: error: {e}", file=sys.stderr)
        return e.status
    except _Skipped:
        return EXIT_INPUT
    except SystemExit as e:  # --help and --version
        return e.code if isinstance(e.code, int) else 0
    except KeyboardInterrupt:
        print(f"{PROG}: interrupted", file=sys.stderr)
        return EXIT_INTERRUPTED
    except BrokenPipeError:
        # The reader went away (`| head`): stop quietly. Python would report the failed flush
        # of stdout at exit, so stdout is pointed at /dev/null first.
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
        os.close(devnull)
        return EXIT_BROKEN_PIPE
    return 0
