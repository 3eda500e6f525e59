"""The corpus job against a lasting index: each input file in turn is deduplicated against
every text the index holds (a text with a near duplicate there, or with ``method="exact"`` a
copy, is dropped onto the closest one), then against itself by the keep rule, and its kept
texts are added to the index under their id, or file and line, so that a later run names them
as keepers. MinHash runs against a :class:`~veltrane.search.index.JaccardIndex`, the exact
search against an :class:`~veltrane.search.exact_index.ExactIndex`."""

from __future__ import annotations

import contextlib
import json
from collections.abc import Iterator, Sequence
from typing import Any

import numpy as np

from .._disk import NoSpaceError
from ..corpus.inputs import CorpusError
from ..corpus.writers import write_kept
from ..search.exact_index import ExactIndex
from ..search.index import JaccardIndex
from ..sketch.digest import empty_digest, text_digests
from ..texts import deduplicate_signed
from . import units
from .plan import CorpusDeduplication, CorpusJob, CorpusJobError
from .sinks import indexed_place, place_of, write_indexed_duplicates


class _Jaccard:
    """The MinHash search against a JaccardIndex, whose parameters rule the run."""

    def __init__(self, job: CorpusJob, given: set[str]) -> None:
        self.index = JaccardIndex(
            job.index,  # type: ignore[arg-type]
            threshold=job.threshold if "threshold" in given else None,
            ngram=job.ngram if "ngram" in given else None,
            num_perm=job.num_perm if "num_perm" in given else None,
            threads=job.threads,
        )
        # Every text is compared alike, whatever the run asked.
        job.threshold, job.ngram, job.num_perm = (
            self.index.threshold,
            self.index.ngram,
            self.index.num_perm,
        )

    def matches(self, texts: Sequence[bytes]) -> list[tuple[Any, float] | None]:
        """Each text's closest indexed text (ties to the first added) and their similarity."""
        out: list[tuple[Any, float] | None] = []
        for found in self.index.query(texts):
            best = max(found, key=lambda m: m.similarity) if found else None
            out.append(None if best is None else (best.id, best.similarity))
        return out

    def signed(self, among: np.ndarray) -> list[np.ndarray] | None:
        """What the search within the file may take as made already: nothing."""
        return None

    def add(self, texts: Sequence[bytes], ids: list[str], among: np.ndarray) -> None:
        self.index.add(texts, ids=ids)


class _Exact:
    """The exact search against an ExactIndex, of the normalisation it was built with."""

    def __init__(self, job: CorpusJob, given: set[str]) -> None:
        self.index = ExactIndex(
            job.index,  # type: ignore[arg-type]
            normalize=job.normalize if "normalize" in given else None,
        )
        job.normalize = self.index.normalize
        # The digests of the file's texts, made once for the query, the search within the
        # file and the additions.
        self._digests = np.empty((0, 2), dtype=np.uint64)

    def matches(self, texts: Sequence[bytes]) -> list[tuple[Any, float] | None]:
        digests = self._digests = text_digests(texts, normalize=self.index.normalize)  # type: ignore[arg-type]
        # Texts without words are copies of nothing, under "words".
        blank = (
            np.zeros(len(texts), dtype=bool)
            if self.index.normalize == "none"
            else (digests == empty_digest(self.index.normalize)).all(axis=1)  # type: ignore[arg-type]
        )
        found = self.index.query(digests)
        return [None if b or i is None else (i, 1.0) for i, b in zip(found, blank.tolist())]

    def signed(self, among: np.ndarray) -> list[np.ndarray] | None:
        """The digests of the texts ``among`` those :meth:`matches` was given."""
        return [self._digests[among]]

    def add(self, texts: Sequence[bytes], ids: list[str], among: np.ndarray) -> None:
        self.index.add(self._digests[among], ids)


@contextlib.contextmanager
def _committed_last(index: JaccardIndex | ExactIndex) -> Iterator[None]:
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
    try:
        search = _Exact(job, given) if job.method == "exact" else _Jaccard(job, given)
    except (ValueError, TimeoutError, OSError) as e:
        raise CorpusJobError(str(e)) from None
    with search.index, _committed_last(search.index):
        records = corpus.read()
        searched = units.searched(corpus, records)
        n = len(records.texts)
        keeper = np.arange(n, dtype=np.int64)
        similarity = np.ones(n)
        earlier: dict[int, dict[str, Any]] = {}
        wordless = n - len(searched)
        for source in range(len(corpus.shards)):
            mine = searched[records.source[searched] == source]
            for k, found in enumerate(search.matches([records.texts[k] for k in mine.tolist()])):
                if found is not None:
                    record = int(mine[k])
                    keeper[record] = -1
                    similarity[record] = found[1]
                    earlier[record] = indexed_place(found[0])
            rest = mine[keeper[mine] >= 0]
            result = deduplicate_signed(
                [records.texts[k] for k in rest.tolist()],
                job.max_distance,  # type: ignore[arg-type]
                method=job.method,
                threshold=job.threshold,  # type: ignore[arg-type]
                ngram=job.ngram,  # type: ignore[arg-type]
                num_perm=job.num_perm,  # type: ignore[arg-type]
                normalize=job.normalize,  # type: ignore[arg-type]
                threads=job.threads,
                progress=None,
                signed=search.signed(np.searchsorted(mine, rest)),
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
                search.add(
                    [records.texts[k] for k in new.tolist()],
                    [
                        json.dumps(place_of(corpus, records, k), ensure_ascii=False, default=str)
                        for k in new.tolist()
                    ],
                    np.searchsorted(mine, new),
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
