"""What ``veltrane near-dups`` shares between its run in memory and its runs within a memory
limit or against an index: its options, its inputs and outputs, and the pair and cluster
records it writes."""

from __future__ import annotations

import numpy as np

from ..corpus.readers import Corpus, Format
from ..corpus.writers import STDOUT, check_output
from ..defaults import DEFAULT_MAX_DISTANCE, DEFAULT_NGRAM, DEFAULT_NUM_PERM, DEFAULT_THRESHOLD
from ..sketch.digest import DEFAULT_NORMALIZE
from ._common import EXIT_USAGE, PROG, WRITE_BATCH, CommandError


def _method_options(args) -> None:
    """Fills in the options of the chosen method; those of the other are a usage error."""
    own = {
        "minhash": ("threshold", "ngram", "num_perm"),
        "simhash": ("max_distance",),
        "exact": ("normalize",),
    }
    for method, names in own.items():
        for name in names:
            if method != args.method and getattr(args, name) is not None:
                option = "--" + name.replace("_", "-")
                raise CommandError(
                    f"{option} needs --method {method}", EXIT_USAGE, f"{PROG} near-dups"
                )
    defaults = {
        "threshold": DEFAULT_THRESHOLD,
        "ngram": DEFAULT_NGRAM,
        "num_perm": DEFAULT_NUM_PERM,
        "max_distance": DEFAULT_MAX_DISTANCE,
        "normalize": DEFAULT_NORMALIZE,
    }
    for name, value in defaults.items():
        if getattr(args, name) is None:
            setattr(args, name, value)


def _write_pairs(out, batches, field: str, places, index=None) -> None:
    """Writes the pair records of each batch of (i, j, ``field``) rows, ``index`` mapping the
    searched positions to the text numbers (none: they are the text numbers). ``places`` names
    texts: ``places.of(texts, suffix)`` gives each one's JSON members."""
    for batch in batches:
        i, j = (
            (batch["i"], batch["j"]) if index is None else (index[batch["i"]], index[batch["j"]])
        )
        out.write(
            "".join(
                [
                    f'{{"i": {a}, "j": {b}, "{field}": {v!r}, {pa}, {pb}}}\n'
                    for a, b, v, pa, pb in zip(
                        i.tolist(),
                        j.tolist(),
                        batch[field].tolist(),
                        places.of(i, "_i"),
                        places.of(j, "_j"),
                    )
                ]
            )
        )


def _cluster_members(reps: np.ndarray) -> np.ndarray:
    """The texts of clusters of two or more, by cluster, then by index."""
    sizes = np.bincount(reps, minlength=len(reps))
    members = np.flatnonzero(sizes[reps] > 1)
    return members[np.lexsort((members, reps[members]))]


def _write_clusters(out, field: str, reps: np.ndarray, values: np.ndarray, places) -> None:
    """Writes the members of clusters of two or more, ``reps`` giving each text's kept text
    and ``values`` its ``field`` to it."""
    members = _cluster_members(reps)
    for start in range(0, len(members), WRITE_BATCH):
        m = members[start : start + WRITE_BATCH]
        out.write(
            "".join(
                [
                    f'{{"cluster": {r}, "i": {i}, {p}, "{field}": {v!r}, '
                    f'"keep": {"true" if i == r else "false"}}}\n'
                    for i, r, p, v in zip(
                        m.tolist(), reps[m].tolist(), places.of(m), values[m].tolist()
                    )
                ]
            )
        )


def _shown(args) -> str | None:
    """What goes to standard output: ``--format``, else the pairs unless ``-o`` is given or an
    output is standard output."""
    if args.format is not None:
        return args.format
    return "pairs" if args.output is None and args.duplicates != STDOUT else None


def _corpus(args) -> Corpus:
    """The inputs as a corpus, once the outputs are known not to clobber one of them."""
    fmt: Format | None = "jsonl" if args.jsonl else "lines" if args.lines else None
    to_stdout = [p for p in (args.output, args.duplicates) if p == STDOUT]
    if len(to_stdout) + (args.format is not None) > 1 and to_stdout:
        raise CommandError(
            "one of -o -, --duplicates - and --format writes to standard output, not two",
            EXIT_USAGE,
            f"{PROG} near-dups",
        )
    corpus = Corpus(
        args.inputs, field=args.field, id_field=args.id_field, value_field=args.keep_by, format=fmt
    )
    for path in (args.output, args.duplicates):
        if path is not None:
            check_output(path, corpus.shards, args.force)
    return corpus
