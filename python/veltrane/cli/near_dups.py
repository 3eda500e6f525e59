"""``veltrane near-dups``: near-duplicate texts of a corpus, as pairs, as clusters, or as the
deduplicated corpus itself. Parses, calls :func:`veltrane.pipeline.deduplicate_corpus`, and
formats what it returns."""

from __future__ import annotations

import re
import sys

from ..corpus.inputs import CorpusError, Format
from ..corpus.writers import STDOUT
from ..pipeline.job import run as run_job
from ..pipeline.plan import (
    CorpusDeduplication,
    CorpusJob,
    CorpusJobError,
    UsageError,
    choose_memory,
)
from ..pipeline.plan import (
    available_memory as _available_memory,  # a test stands in for the machine
)
from ._common import EXIT_USAGE, PROG, CommandError, ProgressBar, progress_wanted


def _usage(message: str) -> CommandError:
    return CommandError(message, EXIT_USAGE, f"{PROG} near-dups")


def _method_options(args) -> None:
    """The options of the other method are a usage error."""
    own = {
        "minhash": ("threshold", "ngram", "num_perm"),
        "simhash": ("max_distance",),
        "exact": ("normalize",),
    }
    for method, names in own.items():
        for name in names:
            if method != args.method and getattr(args, name) is not None:
                raise _usage(f"--{name.replace('_', '-')} needs --method {method}")


def _default_memory(args) -> int | None:
    """A bound on the search's memory when the run in memory would not fit (see
    :func:`veltrane.pipeline.plan.choose_memory`), said on standard error."""
    if args.index is not None or args.method != "minhash":
        return None
    fmt: Format | None = "jsonl" if args.jsonl else "lines" if args.lines else None
    available = _available_memory()
    chosen = choose_memory(args.inputs, fmt, available)
    if chosen is None or available is None:
        return None
    memory, text = chosen
    if not args.quiet:
        bound = f"{memory >> 20}M" if memory >= 1 << 20 else f"{memory >> 10}K"
        print(
            f"{PROG} near-dups: up to {text / 1e9:.1f} GB of text and {available / 1e9:.1f} GB "
            f"of memory available: searching within --memory {bound}, band hashes on "
            "disk (the same output; --memory sets the bound)",
            file=sys.stderr,
        )
    return memory


def _shown(args) -> str | None:
    """What goes to standard output: ``--format``, else the pairs unless an output does."""
    if args.format is not None:
        return args.format
    return "pairs" if args.output is None and args.duplicates != STDOUT else None


def _job(args, out) -> CorpusJob:
    """The job the arguments ask for, after the checks of the command line's own."""
    memory = args.memory if args.memory is not None else _default_memory(args)
    if args.method == "exact" and args.index is None and args.tmp_dir is None:
        memory = None  # 16 bytes of digest a text: the run in memory keeps within any bound
    if memory is not None or args.index is not None or args.tmp_dir is not None:
        if args.method == "simhash" or (args.method == "exact" and args.index is None):
            raise _usage("--memory and --index need --method minhash (--index: or exact)")
        if memory is not None and args.index is not None:
            raise _usage("--memory and --index go separately (--index reads one input at a time)")
        if args.tmp_dir is not None and memory is None:
            raise _usage("--tmp-dir needs --memory")
        if args.index is not None and args.format is not None:
            raise _usage(
                "--format needs no --index; --duplicates names each dropped text's keeper"
            )
    _method_options(args)
    to_stdout = [p for p in (args.output, args.duplicates) if p == STDOUT]
    if len(to_stdout) + (args.format is not None) > 1 and to_stdout:
        raise _usage("one of -o -, --duplicates - and --format writes to standard output, not two")
    fmt: Format | None = "jsonl" if args.jsonl else "lines" if args.lines else None
    return CorpusJob(
        args.inputs,
        output=args.output,
        duplicates=args.duplicates,
        method=args.method,
        threshold=args.threshold,
        ngram=args.ngram,
        num_perm=args.num_perm,
        max_distance=args.max_distance,
        normalize=args.normalize,
        keep=args.keep or "first",
        keep_by=args.keep_by,
        clusters=args.clusters,
        memory=memory,
        index=args.index,
        tmp_dir=args.tmp_dir,
        field=args.field,
        id_field=args.id_field,
        format=fmt,
        force=args.force,
        threads=args.threads,
        show=None if args.index is not None else _shown(args),
        out=out,
    )


def _summary(args, job: CorpusJob, done: CorpusDeduplication) -> None:
    if args.quiet or (not job.writing and done.onto_earlier is None):
        return
    earlier = done.onto_earlier
    onto = "" if earlier is None else f" ({earlier:,} onto earlier texts)"
    if done.exact_copies is not None:
        onto += f" ({done.exact_copies:,} of them exact copies: the same words)"
    print(
        f"{PROG} near-dups: {done.texts:,} texts read, {done.kept:,} kept, "
        f"{done.dropped:,} dropped{onto}, {done.without_words:,} without words (kept)",
        file=sys.stderr,
    )


def run(args, out) -> None:
    job = _job(args, out)
    try:
        with ProgressBar(progress_wanted(args), None, "reading") as bar:
            job.progress = bar
            done = run_job(job)
    except UsageError as e:
        raise _usage(str(e)) from None
    except CorpusJobError as e:
        raise CommandError(str(e)) from None
    except CorpusError as e:
        # FILE:LINE, as compilers and grep name a line, so that editors can jump to it.
        raise CommandError(re.sub(r"^(.*?): line (\d+): ", r"\1:\2: ", str(e), count=1)) from None
    _summary(args, job, done)
