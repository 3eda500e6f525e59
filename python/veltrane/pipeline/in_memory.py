"""The corpus job in memory: the records read (plain files read and signed in one pass, the
rest signed a batch at a time on a thread of their own), every text searched at once, and
the keep step over all of them."""

from __future__ import annotations

import contextlib
from collections.abc import Sequence
from concurrent.futures import Future, ThreadPoolExecutor

import numpy as np

from .._pairs import Progress
from ..corpus.readers import CorpusRecords, Records
from ..corpus.signed import read_signed
from ..corpus.source import Corpus
from ..corpus.writers import (
    FirstCopiesOutput,
    first_copies_output,
    write_duplicates,
    write_kept,
)
from ..search.exact import copies, count_copies, groups_of, iter_copy_pairs
from ..search.hamming import iter_near_duplicate_pairs
from ..search.jaccard import BandedRows, iter_near_duplicate_pairs_jaccard
from ..sketch.digest import empty_digest
from ..sketch.minhash import minhash_signatures
from ..sketch.simhash import fingerprints64
from ..texts import deduplicate_signed, without_words
from . import units
from .plan import CorpusDeduplication, CorpusJob
from .sinks import Places, write_clusters, write_pairs


class _Signer:
    """Signs each batch of searched texts on a thread of its own while the next batch is read:
    the native signing lets go of the GIL, so the two overlap instead of following each other.
    The rows gather in one array grown in place (a large block grows by remapping, not by a
    copy), so the signatures never take their memory twice."""

    def __init__(self, corpus: Corpus, job: CorpusJob) -> None:
        self.lines = units.line_files(corpus)
        assert job.num_perm is not None and job.ngram is not None
        self.num_perm, self.ngram, self.threads = job.num_perm, job.ngram, job.threads
        self.pool = ThreadPoolExecutor(1)
        self.pending: Future | None = None
        self.pending_texts = 0
        self.signatures = np.empty((0, self.num_perm), dtype=np.uint32)

    def __call__(self, batch: Records) -> None:
        # The empty lines of line files are not searched (see units.searched).
        texts = [t for t in batch.texts if t] if self.lines[batch.source] else batch.texts
        self._gather()
        self.pending_texts = len(texts)
        self.pending = self.pool.submit(
            minhash_signatures, texts, self.num_perm, ngram=self.ngram, threads=self.threads
        )

    def _gather(self) -> None:
        if self.pending is not None:
            part, self.pending = self.pending.result(), None
            n = len(self.signatures)
            self.signatures.resize((n + len(part), self.num_perm), refcheck=False)
            self.signatures[n:] = part

    def finish(self, progress: Progress) -> list[np.ndarray]:
        """The signatures, handed over in a list that the search empties. What is left to
        sign once the reading ends (the last batch) shows as its own step."""
        total = len(self.signatures) + (0 if self.pending is None else self.pending_texts)
        progress("signing", len(self.signatures), total)
        self._gather()
        progress("signing", total, total)
        signatures, self.signatures = self.signatures, np.empty((0, 0), dtype=np.uint32)
        return [signatures]

    def close(self) -> None:
        self.pool.shutdown(wait=True, cancel_futures=True)


def _pairs(
    job: CorpusJob, texts: Sequence[bytes], places: Places, groups: np.ndarray | None = None
) -> None:
    """Writes the pairs; ``groups``: the exact search's, when its digests were made as read."""
    everything = np.arange(len(texts), dtype=np.int64)
    if job.method == "minhash":
        assert job.threshold is not None and job.ngram is not None and job.num_perm is not None
        batches = iter_near_duplicate_pairs_jaccard(
            texts,
            job.threshold,
            ngram=job.ngram,
            num_perm=job.num_perm,
            threads=job.threads,
            progress=job.progress,
            wordless="apart",
        )
        write_pairs(job.out, batches, "similarity", places, everything)
        return
    if job.method == "exact":
        if groups is None:
            groups, _ = copies(texts, normalize=job.normalize, threads=job.threads)  # type: ignore[arg-type]
        write_pairs(job.out, iter_copy_pairs(groups), "similarity", places, everything)
        return
    assert job.max_distance is not None
    fps = fingerprints64(texts, threads=job.threads, progress=job.progress)
    # Texts without words are searched with nothing.
    worded = np.setdiff1d(everything, without_words(texts), assume_unique=True)
    batches = iter_near_duplicate_pairs(
        fps[worded], job.max_distance, threads=job.threads, progress=job.progress
    )
    write_pairs(job.out, batches, "distance", places, worded)


def _read(
    corpus: Corpus, job: CorpusJob, signing: bool, follow=None
) -> tuple[CorpusRecords, list | None]:
    """The records, and the signatures (or digests) of their texts when they were signed as
    read; ``follow``: see :func:`read_signed`."""
    progress = job.progress
    assert progress is not None
    if signing and job.method == "exact":
        # Each text's digest as it is read, 16 bytes a text; a file that pass does not take
        # is read whole, and the texts are digested at the search.
        read = read_signed(
            corpus, 1, 1, job.threads, progress, exact=job.normalize or "", follow=follow
        )
        if read is not None:
            return read[0], [read[1]]
        return corpus.read(), None
    # Plain files are read and signed in one pass; the rest, and a file that pass does not
    # take, are read here and signed a batch at a time as they come.
    # The search needs only each text's band keys and signature hash: made as each text is
    # signed, a third of the memory of the signatures.
    banding = job.jaccard().banding() if signing else (0, 0)
    read = (
        read_signed(corpus, job.num_perm, job.ngram, job.threads, progress, banding)  # type: ignore[arg-type]
        if signing
        else None
    )
    if read is not None:
        records, table = read
        return records, [BandedRows(table, *banding)]
    signer = _Signer(corpus, job) if signing else None
    try:
        records = corpus.read(each=signer)
        return records, signer.finish(progress) if signer is not None else None
    finally:
        if signer is not None:
            signer.close()


def _keep_rule(job: CorpusJob, records: CorpusRecords, searched: np.ndarray):
    if job.keep_by is not None:
        assert records.values is not None
        return records.values[searched]
    return job.keep or "first"


def _followed_output(job: CorpusJob, corpus: Corpus):
    """The output the reader writes as it reads, when the kept records are known as they
    are read: the first of each set of exact copies. Else a context of None."""
    first = job.keep_by is None and (job.keep or "first") == "first"
    if job.output is None or job.method != "exact" or not first:
        return contextlib.nullcontext(None)
    assert job.normalize is not None
    apart = empty_digest(job.normalize) if job.normalize == "words" else None  # type: ignore[arg-type]
    return first_copies_output(corpus, job.output, force=job.force, apart=apart)


def run(job: CorpusJob) -> CorpusDeduplication:
    """The job in memory."""
    corpus = job.corpus()
    with _followed_output(job, corpus) as followed:
        return _run(job, corpus, followed)


def _run(job: CorpusJob, corpus: Corpus, followed: FirstCopiesOutput | None):
    pairs_only = job.show == "pairs" and not job.writing
    # The exact digests made as the texts are read serve the pairs as well as the keep step.
    signing = job.method == "exact" or (job.method == "minhash" and not pairs_only)
    follow = None if followed is None else followed.follower
    records, signed = _read(corpus, job, signing, follow)
    searched = units.searched(corpus, records)
    texts: Sequence[bytes] = units.texts_of(records, searched)
    places = Places(corpus, records.source, records.numbers, searched, records.ids)
    n = len(records.texts)
    groups = None
    if job.method == "exact" and signed is not None and job.show == "pairs":
        groups, _ = groups_of(signed[0], job.normalize)  # type: ignore[arg-type]
    if pairs_only:
        _pairs(job, texts, places, groups)
        return CorpusDeduplication(n, n, 0, 0)
    found = deduplicate_signed(
        texts,
        job.max_distance,  # type: ignore[arg-type]
        method=job.method,
        threshold=job.threshold,  # type: ignore[arg-type]
        ngram=job.ngram,  # type: ignore[arg-type]
        num_perm=job.num_perm,  # type: ignore[arg-type]
        threads=job.threads,
        progress=job.progress,
        keep=_keep_rule(job, records, searched),
        clusters=job.clusters,
        signed=signed,
        normalize=job.normalize,  # type: ignore[arg-type]
    )
    local = np.where(found.duplicate_of < 0, np.arange(len(texts)), found.duplicate_of)
    same = 0.0 if job.method == "simhash" else 1.0
    keeper, similarity = units.records_of(n, searched, local, found.similarity, same)
    if followed is not None:
        followed.finish(records, keeper == np.arange(n), followed=signed is not None)
    elif job.output is not None:
        write_kept(corpus, records, keeper == np.arange(n), job.output, force=job.force)
    if job.duplicates is not None:
        write_duplicates(corpus, records, keeper, similarity, job.duplicates, force=job.force)
    if job.show == "clusters":
        field = "distance" if job.method == "simhash" else "similarity"
        values = found.similarity.astype(np.int64) if job.method == "simhash" else found.similarity
        write_clusters(job.out, field, local, values, places)
    elif job.show == "pairs":
        _pairs(job, texts, places, groups)
    dropped = int((keeper != np.arange(n)).sum())
    wordless = len(found.without_words) + n - len(searched)
    copied = None
    if job.method == "minhash" and job.writing:
        # Copies have the same shingles: only the texts dropped at similarity 1 are read
        # again to tell the copies among them.
        same_sets = np.flatnonzero((found.duplicate_of >= 0) & (found.similarity == 1.0))
        copied = count_copies(texts, same_sets, found.duplicate_of[same_sets], threads=job.threads)
    return CorpusDeduplication(n, n - dropped, dropped, wordless, exact_copies=copied)
