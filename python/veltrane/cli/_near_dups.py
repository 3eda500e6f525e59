"""``veltrane near-dups``: pairs or clusters of near-duplicate texts, by MinHash or SimHash."""

from __future__ import annotations

import json
from array import array

import numpy as np

from ..defaults import DEFAULT_MAX_DISTANCE, DEFAULT_NGRAM, DEFAULT_NUM_PERM, DEFAULT_THRESHOLD
from ..jaccard import (
    iter_near_duplicate_pairs_jaccard,
    jaccard_similarities,
    near_duplicate_clusters_jaccard,
)
from ..simhash import fingerprints64, iter_near_duplicate_pairs, near_duplicate_clusters
from ._common import (
    EXIT_USAGE,
    PROG,
    WRITE_BATCH,
    CommandError,
    Progress,
    check_inputs,
    jsonl_texts,
    line_batches,
    progress_wanted,
    total_size,
)


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
        "threshold": DEFAULT_THRESHOLD,
        "ngram": DEFAULT_NGRAM,
        "num_perm": DEFAULT_NUM_PERM,
        "max_distance": DEFAULT_MAX_DISTANCE,
    }
    for name, value in defaults.items():
        if getattr(args, name) is None:
            setattr(args, name, value)


def _text_batches(args, field: str, progress: Progress, sources: array, numbers: array):
    """Yields the non-empty texts of the inputs a batch at a time, as bytes, recording the input
    index and line number of each in ``sources`` and ``numbers``."""
    for k, path in enumerate(args.inputs):
        for first, lines in line_batches(path, progress):
            if args.jsonl:
                batch, lines_of = jsonl_texts(path, first, lines, field)
            else:
                lines_of = [n for n, text in enumerate(lines, first) if text]
                batch = [text for text in lines if text]
            sources.extend([k] * len(batch))
            numbers.extend(lines_of)
            yield batch


def _read_texts(args, field: str, progress: Progress):
    """Every text of the inputs as bytes, with the input index and line number of each."""
    texts: list[bytes] = []
    sources = array("i")
    numbers = array("q")
    for batch in _text_batches(args, field, progress, sources, numbers):
        texts.extend(batch)
    return texts, sources, numbers


def _origins(args, sources: array, numbers: array):
    """The inputs' names as JSON, and the input index and line number of each text, as arrays
    that are indexed a column at a time."""
    names = np.array([json.dumps(path) for path in args.inputs], dtype=object)
    source_of = np.frombuffer(sources, dtype=np.int32) if len(sources) else np.empty(0, np.int32)
    line_of = np.frombuffer(numbers, dtype=np.int64) if len(numbers) else np.empty(0, np.int64)
    return names, source_of, line_of


def _write_pairs(out, batches, field: str, names, source_of, line_of) -> None:
    """Writes the pair records of each batch of (i, j, ``field``) rows. Rows are formatted from
    whole columns, converted to lists a batch at a time: one f-string per row and no indexing
    in Python."""
    for batch in batches:
        i, j = batch["i"], batch["j"]
        out.write(
            "".join(
                [
                    f'{{"i": {a}, "j": {b}, "{field}": {v!r}, "file_i": {fa}, '
                    f'"line_i": {la}, "file_j": {fb}, "line_j": {lb}}}\n'
                    for a, b, v, fa, la, fb, lb in zip(
                        i.tolist(),
                        j.tolist(),
                        batch[field].tolist(),
                        names[source_of[i]].tolist(),
                        line_of[i].tolist(),
                        names[source_of[j]].tolist(),
                        line_of[j].tolist(),
                    )
                ]
            )
        )


def _minhash(args, out, field: str) -> None:
    with Progress(progress_wanted(args), total_size(args.inputs), "reading") as progress:
        texts, sources, numbers = _read_texts(args, field, progress)
        options = {"ngram": args.ngram, "num_perm": args.num_perm, "threads": args.threads}
        if args.format == "pairs":
            # Copies become pairs a batch at a time as they are written.
            batches = iter_near_duplicate_pairs_jaccard(
                texts, args.threshold, progress=progress, **options
            )
        else:
            reps = near_duplicate_clusters_jaccard(
                texts, args.threshold, progress=progress, **options
            )
            members = _cluster_members(reps)
            similarity = jaccard_similarities(
                texts, members, reps[members], ngram=args.ngram, threads=args.threads
            )
    names, source_of, line_of = _origins(args, sources, numbers)
    if args.format == "pairs":
        del texts  # not needed any more, and as large as the input
        _write_pairs(out, batches, "similarity", names, source_of, line_of)
        return
    for start in range(0, len(members), WRITE_BATCH):
        m = members[start : start + WRITE_BATCH]
        out.write(
            "".join(
                [
                    f'{{"cluster": {r}, "i": {i}, "file": {f}, "line": {n}, '
                    f'"similarity": {v!r}, "keep": {"true" if i == r else "false"}}}\n'
                    for i, r, f, n, v in zip(
                        m.tolist(),
                        reps[m].tolist(),
                        names[source_of[m]].tolist(),
                        line_of[m].tolist(),
                        similarity[start : start + WRITE_BATCH].tolist(),
                    )
                ]
            )
        )


def _cluster_members(reps: np.ndarray) -> np.ndarray:
    """The texts of clusters of two or more, by cluster, then by index."""
    sizes = np.bincount(reps, minlength=len(reps))
    members = np.flatnonzero(sizes[reps] > 1)
    return members[np.lexsort((members, reps[members]))]


def run(args, out) -> None:
    if args.field is not None and not args.jsonl:
        raise CommandError("--field needs --jsonl", EXIT_USAGE, f"{PROG} near-dups")
    field = "text" if args.field is None else args.field
    _method_options(args)
    check_inputs(args.inputs)
    if args.method == "minhash":
        _minhash(args, out, field)
    else:
        _simhash(args, out, field)


def _simhash(args, out, field: str) -> None:
    parts: list[np.ndarray] = []
    sources = array("i")  # input index of each text
    numbers = array("q")  # line number of each text
    with Progress(progress_wanted(args), total_size(args.inputs), "reading") as progress:
        # Fingerprinted batch by batch, so that the texts themselves are never all held.
        for texts in _text_batches(args, field, progress, sources, numbers):
            parts.append(fingerprints64(texts, threads=args.threads))
        fps = np.concatenate(parts) if parts else np.empty(0, dtype=np.uint64)
        options = {"threads": args.threads, "progress": progress}
        if args.format == "clusters":
            reps = near_duplicate_clusters(fps, args.max_distance, **options)
        else:
            # Only the distinct fingerprints are searched here; their copies become pairs a
            # batch at a time as they are written, so memory does not grow with the pairs.
            batches = iter_near_duplicate_pairs(fps, args.max_distance, **options)
    names, source_of, line_of = _origins(args, sources, numbers)
    if args.format == "pairs":
        _write_pairs(out, batches, "distance", names, source_of, line_of)
        return
    members = _cluster_members(reps)
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
