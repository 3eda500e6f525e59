"""The corpus job against a lasting index: each input file in turn is deduplicated against
every text the index holds (a text with a near duplicate there is dropped onto the closest
one), then against itself by the keep rule, and its kept texts are added to the index under
their id, or file and line, so that a later run names them as keepers."""

from __future__ import annotations

import contextlib
import json
from collections.abc import Iterator
from typing import Any

import numpy as np

from .._disk import NoSpaceError
from ..corpus.inputs import CorpusError
from ..corpus.writers import write_kept
from ..search.index import JaccardIndex
from ..texts import deduplicate_texts
from . import units
from .plan import CorpusDeduplication, CorpusJob, CorpusJobError
from .sinks import indexed_place, place_of, write_indexed_duplicates


def _open_index(job: CorpusJob, given: set[str]) -> JaccardIndex:
    try:
        return JaccardIndex(
            job.index,  # type: ignore[arg-type]
            threshold=job.threshold if "threshold" in given else None,
            ngram=job.ngram if "ngram" in given else None,
            num_perm=job.num_perm if "num_perm" in given else None,
            threads=job.threads,
        )
    except (ValueError, TimeoutError, OSError) as e:
        raise CorpusJobError(str(e)) from None


@contextlib.contextmanager
def _committed_last(index: JaccardIndex) -> Iterator[None]:
    """The run as one batch of the index; the index's own errors (locked, damaged, a full
    disk at the commit) as one line."""
    try:
        with index.batch():
            yield
    except (CorpusError, CorpusJobError):
        raise
    except NoSpaceError as e:
        raise CorpusJobError(str(e)) from None
    except (ValueError, TimeoutError) as e:
        raise CorpusJobError(str(e)) from None


def run(job: CorpusJob, given: set[str]) -> CorpusDeduplication:
    """The job against ``job.index``; ``given`` names the parameters the caller chose (the
    others are the index's)."""
    corpus = job.corpus()
    with _open_index(job, given) as index, _committed_last(index):
        # The index's parameters rule the run, so that every text is compared alike.
        job.threshold, job.ngram, job.num_perm = index.threshold, index.ngram, index.num_perm
        records = corpus.read()
        searched = units.searched(corpus, records)
        n = len(records.texts)
        keeper = np.arange(n, dtype=np.int64)
        similarity = np.ones(n)
        earlier: dict[int, dict[str, Any]] = {}
        wordless = n - len(searched)
        for source in range(len(corpus.shards)):
            mine = searched[records.source[searched] == source]
            texts = [records.texts[k] for k in mine.tolist()]
            matches = index.query(texts)
            # Dropped onto the closest earlier text, ties to the first added.
            for k, found in enumerate(matches):
                if found:
                    best = max(found, key=lambda m: m.similarity)
                    record = int(mine[k])
                    keeper[record] = -1
                    similarity[record] = best.similarity
                    earlier[record] = indexed_place(best.id)
            rest = mine[keeper[mine] >= 0]
            result = deduplicate_texts(
                [records.texts[k] for k in rest.tolist()],
                method="minhash",
                threshold=job.threshold,
                ngram=job.ngram,
                num_perm=job.num_perm,
                threads=job.threads,
                keep=records.values[rest]
                if job.keep_by is not None and records.values is not None
                else job.keep or "first",  # type: ignore[arg-type]
                clusters=job.clusters,
            )
            local = np.where(result.duplicate_of < 0, np.arange(len(rest)), result.duplicate_of)
            keeper[rest] = rest[local]
            similarity[rest] = result.similarity
            wordless += len(result.without_words)
            new = rest[np.setdiff1d(result.keep, result.without_words, assume_unique=True)]
            try:
                index.add(
                    [records.texts[k] for k in new.tolist()],
                    ids=[
                        json.dumps(place_of(corpus, records, k), ensure_ascii=False, default=str)
                        for k in new.tolist()
                    ],
                )
            except ValueError as e:
                raise CorpusJobError(f"{job.index}: {e} (ids name texts across runs)") from None
        # Inside the batch: the index takes this run's texts only once its outputs are
        # written, so a run that dies before can be run again with the same result.
        kept = keeper == np.arange(n)
        if job.output is not None:
            write_kept(corpus, records, kept, job.output, force=job.force)
        if job.duplicates is not None:
            write_indexed_duplicates(
                corpus, records, keeper, similarity, earlier, job.duplicates, job.force
            )
    dropped = int((~kept).sum())
    return CorpusDeduplication(n, n - dropped, dropped, wordless, len(earlier))
