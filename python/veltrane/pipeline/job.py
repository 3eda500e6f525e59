"""The corpus job run: :func:`deduplicate_corpus` takes its options (a
:class:`~veltrane.pipeline.plan.CorpusJob`) and runs it in memory, within a memory bound or
against a lasting index."""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import Any

from .._pairs import Progress
from ..defaults import DEFAULT_METHOD
from .plan import CorpusDeduplication, CorpusJob, UsageError


def deduplicate_corpus(
    inputs: Sequence[str],
    *,
    output: str | None = None,
    duplicates: str | None = None,
    method: str = DEFAULT_METHOD,
    memory: int | None = None,
    index: str | os.PathLike | None = None,
    keep: str = "first",
    progress: Progress | None = None,
    **options: Any,
) -> CorpusDeduplication:
    """Deduplicates a corpus: its records read (:class:`~veltrane.corpus.source.Corpus`), the texts
    signed and searched for near duplicates, one kept of each group by the keep rule, and the
    kept records written to ``output`` unchanged (byte for byte, row for row), each dropped
    record and its keeper to ``duplicates``.

    The search runs in memory, or with ``memory`` (bytes) within that bound, band hashes on
    disk and texts read again as verification needs them, or with ``index`` against the texts
    of a lasting index directory (a :class:`~veltrane.JaccardIndex`, or for ``method="exact"``
    an :class:`~veltrane.ExactIndex`), to which the kept texts are added (each input file in
    turn). All three keep the same records. ``options`` are the other fields of
    :class:`CorpusJob` (``threshold``, ``ngram``, ``num_perm``, ``max_distance``,
    ``normalize``, ``keep_by``, ``clusters``, ``tmp_dir``, ``field``, ``id_field``,
    ``format``, ``force``, ``threads``, ``show`` and ``out``).

    Raises :class:`~veltrane.corpus.inputs.CorpusError` for input that cannot be read,
    :class:`CorpusJobError` for a run that cannot finish (no output is then left behind).
    """
    job = CorpusJob(
        inputs,
        output=output,
        duplicates=duplicates,
        method=method,
        memory=memory,
        index=None if index is None else os.fspath(index),
        keep=keep,
        progress=progress,
        **options,
    )
    return run(job)


def run(job: CorpusJob) -> CorpusDeduplication:
    """Runs a job: :func:`deduplicate_corpus` with its options gathered."""
    if job.method == "exact" and job.index is None and job.tmp_dir is None:
        # The search holds 16 bytes of digest a text, besides where each text is: the run
        # in memory keeps within a bound already.
        job = CorpusJob(**{**vars(job), "memory": None})
    if job.index is not None and job.method == "simhash":
        raise UsageError("index needs method='minhash' or 'exact'")
    if job.memory is not None or job.tmp_dir is not None:
        if job.method != "minhash":
            raise UsageError("memory and tmp_dir need method='minhash'")
    if job.memory is not None or job.index is not None or job.tmp_dir is not None:
        if job.memory is not None and job.index is not None:
            raise UsageError("memory and index go separately (an index reads one input at a time)")
        if job.tmp_dir is not None and job.memory is None:
            raise UsageError("tmp_dir needs memory")
        if job.index is not None and job.show is not None:
            raise UsageError("show needs no index; duplicates names each dropped text's keeper")
    index_given = {
        n for n in ("threshold", "ngram", "num_perm", "normalize") if getattr(job, n) is not None
    }
    job = job.filled()
    if job.memory is not None:
        from . import bounded

        return bounded.run(job)
    if job.index is not None:
        from . import indexed

        return indexed.run(job, index_given)
    from . import in_memory

    return in_memory.run(job)
