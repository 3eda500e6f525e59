"""``veltrane near-dups --memory SIZE`` and ``--index DIR``: the same deduplication within a
memory limit, and against the texts of earlier runs.

With ``--memory``, the inputs are read once, a batch at a time: each text's signature goes to
band runs on disk (:mod:`veltrane.outofcore`); verification re-reads the candidates by number,
from their own files where all are plain files of lines or JSON Lines, else from a copy of the
texts in a temporary file. What stays in memory is a few integers a record (where it is, its
length, its keeper). The output is byte for byte that of the run
without ``--memory``.

With ``--index``, each input file in turn is deduplicated against every text the index
holds (a text with a near duplicate there is dropped onto the closest one), then against
itself by the keep rule, and its kept texts are added to the index under their id, or file
and line, so that a later run names them as keepers.
"""

from __future__ import annotations

import contextlib
import ctypes
import json
import os
import re
import sys
import tempfile
from collections.abc import Iterator
from concurrent.futures import ThreadPoolExecutor
from contextlib import ExitStack
from typing import Any, cast

import numpy as np

from .. import _native
from .._pairs import pair_batches
from ..corpus.readers import BLOCK_SIZE, Corpus, CorpusError, CorpusRecords
from ..corpus.writers import atomic_output, check_output, write_duplicates, write_kept
from ..keep import component_keepers, keepers
from ..search.index import JaccardIndex
from ..search.jaccard import JACCARD_PAIR_DTYPE, bands_and_rows, jaccard_similarities
from ..search.outofcore import _search_out_of_core
from ..texts import deduplicate_texts
from ._common import EXIT_USAGE, PROG, WRITE_BATCH, CommandError, Progress, progress_wanted
from ._near_dups_common import _corpus, _method_options, _shown
from ._near_dups_common import _write_clusters as write_clusters
from ._near_dups_common import _write_pairs as write_pairs

#: The least ``--memory``: a reading block and the band entries of a batch of texts.
MIN_MEMORY = 1 << 16
# Band entries of one text while sorted: 16 bytes a band, held twice.
_TEXT_ENTRY_BYTES = 32
# Texts whose similarity to their keeper is measured at a time (--clusters components).
_MEASURE_TEXTS = 1 << 14


def _usage(message: str) -> CommandError:
    return CommandError(message, EXIT_USAGE, f"{PROG} near-dups")


def run(args, out) -> None:
    if args.method != "minhash":
        raise _usage("--memory and --index need --method minhash")
    if args.memory is not None and args.index is not None:
        raise _usage("--memory and --index go separately (--index reads one input at a time)")
    if args.tmp_dir is not None and args.memory is None:
        raise _usage("--tmp-dir needs --memory")
    if args.index is not None and args.format is not None:
        raise _usage("--format needs no --index; --duplicates names each dropped text's keeper")
    given = {n for n in ("threshold", "ngram", "num_perm") if getattr(args, n) is not None}
    _method_options(args)
    try:
        if args.memory is not None:
            _run_memory(args, out)
        else:
            _run_index(args, given)
    except CorpusError as e:
        raise CommandError(re.sub(r"^(.*?): line (\d+): ", r"\1:\2: ", str(e), count=1)) from None


def _summary(args, n: int, dropped: int, wordless: int, earlier: int | None = None) -> None:
    if args.quiet or (args.output is None and args.duplicates is None and earlier is None):
        return
    onto = "" if earlier is None else f" ({earlier:,} onto earlier texts)"
    print(
        f"{PROG} near-dups: {n:,} texts read, {n - dropped:,} kept, {dropped:,} dropped{onto}, "
        f"{wordless:,} without words (kept)",
        file=sys.stderr,
    )


# ---- --memory ---------------------------------------------------------------------------------


class _Spill:
    """Byte strings appended to an unnamed temporary file and read back by number: the file
    is gone from the directory at once, so nothing is left behind whatever ends the run."""

    def __init__(self, directory: str | None) -> None:
        self._where = directory or tempfile.gettempdir()
        try:
            self._file = tempfile.TemporaryFile(dir=directory, prefix="veltrane-")
        except OSError as e:
            raise self._error(e) from None
        self._ends: list[np.ndarray] = []
        self._size = 0
        self._all: np.ndarray | None = None

    def _error(self, e: OSError) -> CommandError:
        return CommandError(
            f"{self._where}: {e.strerror or e} writing temporary files (--tmp-dir names "
            "another place); no output was written"
        )

    def add(self, items: list[bytes]) -> None:
        lengths = np.fromiter(map(len, items), dtype=np.int64, count=len(items))
        try:
            self._file.write(b"".join(items))
        except OSError as e:
            raise self._error(e) from None
        self._ends.append(self._size + np.cumsum(lengths))
        self._size += int(lengths.sum())

    def _ends_all(self) -> np.ndarray:
        if self._all is None:
            try:
                self._file.flush()
            except OSError as e:
                raise self._error(e) from None
            self._all = np.concatenate(self._ends) if self._ends else np.empty(0, np.int64)
            self._ends.clear()
        return self._all

    def get(self, numbers: np.ndarray) -> list[bytes]:
        _trim()  # the texts of the part before are freed
        ends = self._ends_all()
        numbers = np.asarray(numbers, dtype=np.int64)
        stops = ends[numbers]
        starts = np.where(numbers > 0, ends[numbers - 1], 0)
        fd = self._file.fileno()
        return [os.pread(fd, b - a, a) for a, b in zip(starts.tolist(), stops.tolist())]

    def close(self) -> None:
        # What the buffer still holds is not wanted, and may not fit: a full disk has said so.
        with contextlib.suppress(OSError):
            self._file.close()


class _Ids:
    """The ids of the records, spilled as JSON: fragments for the pair and cluster lines,
    values for :func:`write_duplicates`."""

    def __init__(self, spill: _Spill) -> None:
        self.spill = spill

    def fragments(self, records: np.ndarray) -> list[str]:
        return [b.decode("utf-8", "surrogatepass") for b in self.spill.get(records)]

    def __getitem__(self, record: int) -> Any:
        return json.loads(self.fragments(np.array([record]))[0])


class _Reread:
    """The texts read again from their files by number, where every shard is a plain file
    of lines or JSON Lines: only where each record is stays in memory, and verification
    reads the few texts it needs without a copy of all of them on disk."""

    def __init__(self, corpus: Corpus, cols: _Columns) -> None:
        self.corpus, self.cols = corpus, cols

    def get(self, numbers: np.ndarray) -> list[bytes]:
        _trim()  # the texts of the part before are freed
        source, spans, searched = self.cols.freeze()
        records = searched[np.asarray(numbers, dtype=np.int64)]
        of = source[records]
        out: list[bytes] = [b""] * len(records)
        for shard in np.unique(of).tolist():
            where = np.flatnonzero(of == shard)
            texts = self.corpus.texts_at(shard, spans[records[where]])
            for k, text in zip(where.tolist(), texts):
                out[k] = text
        return out

    def close(self) -> None:
        pass


class _Places:
    """Where each searched text is, as the JSON fragments of the command's pair and cluster
    lines: its id, or its file and line."""

    def __init__(self, corpus: Corpus, source, numbers, searched, ids: _Ids | None) -> None:
        self.names = np.array(
            [json.dumps(s.path, ensure_ascii=False) for s in corpus.shards], dtype=object
        )
        self.source, self.numbers, self.searched, self.ids = source, numbers, searched, ids

    def of(self, texts: np.ndarray, suffix: str = "") -> list[str]:
        records = self.searched[texts]
        if self.ids is not None:
            return [f'"id{suffix}": {v}' for v in self.ids.fragments(records)]
        return [
            f'"file{suffix}": {f}, "line{suffix}": {n}'
            for f, n in zip(
                self.names[self.source[records]].tolist(), self.numbers[records].tolist()
            )
        ]


def _write_pairs(out, found, places: _Places) -> None:
    stream = _native.JaccardExpandStream(found.reps, found.i, found.j, found.similarity)
    write_pairs(out, pair_batches(stream, WRITE_BATCH, JACCARD_PAIR_DTYPE), "similarity", places)


class _Columns:
    """What stays in memory of each record read: its file, line or row, and span."""

    def __init__(self) -> None:
        self.source: list[np.ndarray] = []
        self.numbers: list[np.ndarray] = []
        self.spans: list[np.ndarray] = []
        self.values: list[np.ndarray] = []
        self.skipped: list[np.ndarray] = []  # the records that are no texts
        self.lengths: list[np.ndarray] = []
        self.n = 0
        self._frozen: tuple[np.ndarray, np.ndarray, np.ndarray] | None = None

    @staticmethod
    def _joined(parts: list[np.ndarray], dtype, shape=()) -> np.ndarray:
        """The parts as one array; the list is emptied, so that they are not held twice."""
        joined = np.concatenate(parts) if parts else np.empty((0, *shape), dtype)
        parts.clear()
        return joined

    def searched(self) -> np.ndarray:
        """The records that are texts, in order."""
        everything = np.arange(self.n, dtype=np.int64)
        if not self.skipped:
            return everything
        return np.setdiff1d(everything, self._joined(self.skipped, np.int64), assume_unique=True)

    def freeze(self) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """(source, spans, searched) once every record is read, each joined once."""
        if self._frozen is None:
            self._frozen = (
                self._joined(self.source, np.int32),
                self._joined(self.spans, np.int64, (2,)),
                self.searched(),
            )
        return self._frozen


def _freed_memory_returned() -> None:
    """Blocks of 256 KiB and more mapped from the system and unmapped when freed (glibc).
    Otherwise glibc raises that bound to the largest block freed, and the arrays of one item
    a text, made and freed step after step, stay in the heap: the resident size grew by
    about 100 bytes a text beyond what was in use."""
    m_mmap_threshold = -3
    with contextlib.suppress(OSError, AttributeError):
        ctypes.CDLL(None).mallopt(m_mmap_threshold, 1 << 18)


def _trim() -> None:
    """Gives the free pages of the heap back (glibc): the texts re-read for each part of
    the verification, small blocks freed between longer-lived ones, otherwise left it
    growing by about a megabyte a part."""
    with contextlib.suppress(OSError, AttributeError):
        ctypes.CDLL(None).malloc_trim(0)


_END = object()


def _read_ahead(items: Iterator) -> Iterator:
    """The items, the next one made on a thread while the caller works on the last: reading a
    block (its system calls and the native scanner let go of the GIL) then overlaps the
    signing of the one before, as in the run in memory. One batch more is held."""
    with ThreadPoolExecutor(1) as pool:
        coming = pool.submit(next, items, _END)
        while True:
            item = coming.result()
            if item is _END:
                return
            coming = pool.submit(next, items, _END)
            yield item


def _run_memory(args, out) -> None:
    _freed_memory_returned()
    corpus = _corpus(args)
    memory = args.memory
    bands, rows = bands_and_rows(args.threshold, args.num_perm, None, None)
    # Half for the band runs; the rest for the block being read and its signatures.
    runs_memory = memory // 2
    most = runs_memory // (bands * _TEXT_ENTRY_BYTES)
    if memory < MIN_MEMORY or most < 1:
        need = max(MIN_MEMORY, 2 * bands * _TEXT_ENTRY_BYTES)
        raise _usage(f"--memory {memory} is below the {need} bytes one batch needs")
    block = max(1 << 12, min(BLOCK_SIZE, memory // 16))
    line_files = [s.format == "lines" for s in corpus.shards]
    cols = _Columns()
    with ExitStack() as stack:
        reread = all(corpus.rereadable(k) for k in range(len(corpus.shards)))
        texts: _Spill | _Reread = _Reread(corpus, cols) if reread else _Spill(args.tmp_dir)
        stack.callback(texts.close)
        ids = None
        if corpus.id_field is not None:
            ids = _Ids(_Spill(args.tmp_dir))
            stack.callback(ids.spill.close)
        # Bytes of the inputs read; their total where all are plain files.
        sizes = [os.path.getsize(s.path) if corpus.rereadable(k) else None
                 for k, s in enumerate(corpus.shards)]  # fmt: skip
        total = None if None in sizes else sum(cast(list[int], sizes))
        progress = stack.enter_context(Progress(progress_wanted(args), total, "reading"))
        read = 0

        def batches() -> Iterator[list[bytes]]:
            nonlocal read
            for batch in corpus.batches(block_size=block):
                k = len(batch.texts)
                read += (
                    int(batch.spans[:, 1].sum())
                    if batch.spans is not None
                    else sum(map(len, batch.texts))
                )
                progress("reading", read, total)
                cols.source.append(np.full(k, batch.source, dtype=np.int32))
                cols.numbers.append(batch.numbers)
                cols.spans.append(
                    np.full((k, 2), -1, np.int64) if batch.spans is None else batch.spans
                )
                if batch.values is not None:
                    cols.values.append(batch.values)
                if ids is not None:
                    assert batch.ids is not None
                    ids.spill.add(
                        [
                            json.dumps(v, ensure_ascii=False, default=str).encode(
                                "utf-8", "surrogatepass"
                            )
                            for v in batch.ids
                        ]
                    )
                # Empty lines of line files keep their numbers but are not texts.
                items = batch.texts
                if line_files[batch.source]:
                    mine = [p for p, t in enumerate(batch.texts) if t]
                    if len(mine) < k:
                        items = [batch.texts[p] for p in mine]
                        cols.skipped.append(np.setdiff1d(np.arange(k), mine) + cols.n)
                if args.keep == "longest":
                    cols.lengths.append(np.fromiter(map(len, items), np.int64, len(items)))
                cols.n += k
                if isinstance(texts, _Spill):
                    texts.add(items)
                for start in range(0, len(items), most):
                    yield items[start : start + most]
            # Merging the runs and verifying have no count to show; their name, at least.
            progress("searching", 0, None)

        try:
            found = _search_out_of_core(
                _read_ahead(batches()),
                texts.get,
                args.threshold,
                bands,
                rows,
                runs_memory,
                args.tmp_dir,
                args.ngram,
                args.num_perm,
                0,
                args.threads,
                "apart",
            )
        except OSError as e:
            # The band runs: already removed.
            raise CommandError(
                f"{e.strerror or e} (--tmp-dir names another place); no output was written"
            ) from None
        _finish_memory(args, out, corpus, cols, found, texts, ids)


def _finish_memory(
    args, out, corpus: Corpus, cols: _Columns, found, texts: _Spill | _Reread, ids
) -> None:
    n_records = cols.n
    source, spans, searched = cols.freeze()
    numbers = cols._joined(cols.numbers, np.int64)
    places = _Places(corpus, source, numbers, searched, ids)
    writing = args.output is not None or args.duplicates is not None
    show = _shown(args)
    if show == "pairs" and not writing:
        _write_pairs(out, found, places)
        return
    n = found.n
    rule: Any = "first"
    if args.keep_by is not None:
        rule = cols._joined(cols.values, np.float64)[searched]
    elif args.keep == "longest":
        # As many bytes, as "longest" ranks them.
        rule = cols._joined(cols.lengths, np.int64).astype(np.float64)
    if args.clusters == "greedy":
        keeper, similarity = keepers(
            n, found.i, found.j, found.similarity, keep=rule, groups=found.reps
        )
    else:
        copies = np.flatnonzero(found.reps != np.arange(n))
        keeper = component_keepers(
            n,
            np.concatenate([found.i, copies]),
            np.concatenate([found.j, found.reps[copies]]),
            keep=rule,
        )
        similarity = _similarities(keeper, texts, args.ngram, args.threads)
    everything = np.arange(n_records, dtype=np.int64)
    keeper_of = everything.copy()
    keeper_of[searched] = searched[keeper]
    similarity_of = np.ones(n_records)
    similarity_of[searched] = similarity
    records = CorpusRecords(
        source,
        cast(list, range(n_records)),  # the writers need only how many
        numbers,
        cast(Any, ids),
        spans,
        None,
    )
    if args.output is not None:
        write_kept(corpus, records, keeper_of == everything, args.output, force=args.force)
    if args.duplicates is not None:
        write_duplicates(
            corpus, records, keeper_of, similarity_of, args.duplicates, force=args.force
        )
    if show == "clusters":
        write_clusters(out, "similarity", keeper, similarity, places)
    elif show == "pairs":
        _write_pairs(out, found, places)
    dropped = int((keeper_of != everything).sum())
    _summary(args, n_records, dropped, len(found.wordless) + n_records - n)


def _similarities(keeper: np.ndarray, texts: _Spill | _Reread, ngram: int, threads) -> np.ndarray:
    """Each text's exact similarity to its keeper, the texts re-read a part at a time."""
    similarity = np.ones(len(keeper))
    dropped = np.flatnonzero(keeper != np.arange(len(keeper)))
    for start in range(0, len(dropped), _MEASURE_TEXTS):
        part = dropped[start : start + _MEASURE_TEXTS]
        needed = np.union1d(part, keeper[part])
        similarity[part] = jaccard_similarities(
            texts.get(needed),
            np.searchsorted(needed, part),
            np.searchsorted(needed, keeper[part]),
            ngram=ngram,
            threads=threads,
        )
    return similarity


# ---- --index ----------------------------------------------------------------------------------


def _searched(corpus: Corpus, records: CorpusRecords) -> np.ndarray:
    """The records that are texts: all but the empty lines of line files."""
    lines = np.array([s.format == "lines" for s in corpus.shards], dtype=bool)
    empty = np.fromiter((not t for t in records.texts), dtype=bool, count=len(records.texts))
    return np.flatnonzero(~(empty & lines[records.source]))


def _place(corpus: Corpus, records: CorpusRecords, k: int) -> dict[str, Any]:
    """A record as the index names it: its id, or its file and line (row for Parquet)."""
    if records.ids is not None:
        return {"id": records.ids[k]}
    shard = corpus.shards[int(records.source[k])]
    unit = "row" if shard.format == "parquet" else "line"
    return {"file": shard.path, unit: int(records.numbers[k])}


def _indexed_place(id_: int | str) -> dict[str, Any]:
    """What ``_place`` stored as an index id; an id added otherwise is an id."""
    if isinstance(id_, str):
        try:
            place = json.loads(id_)
        except ValueError:
            place = None
        if isinstance(place, dict):
            return place
    return {"id": id_}


def _open_index(args, given: set[str]) -> JaccardIndex:
    try:
        return JaccardIndex(
            args.index,
            threshold=args.threshold if "threshold" in given else None,
            ngram=args.ngram if "ngram" in given else None,
            num_perm=args.num_perm if "num_perm" in given else None,
            threads=args.threads,
        )
    except (ValueError, TimeoutError, OSError) as e:
        raise CommandError(str(e)) from None


@contextlib.contextmanager
def _committed_last(index: JaccardIndex) -> Iterator[None]:
    """The run as one batch of the index; the index's own errors (locked, damaged, a full
    disk at the commit) as one line."""
    try:
        with index.batch():
            yield
    except CorpusError:
        raise
    except (ValueError, TimeoutError) as e:
        raise CommandError(str(e)) from None


def _run_index(args, given: set[str]) -> None:
    corpus = _corpus(args)
    with _open_index(args, given) as index, _committed_last(index):
        # The index's parameters rule the run, so that every text is compared alike.
        args.threshold, args.ngram, args.num_perm = index.threshold, index.ngram, index.num_perm
        records = corpus.read()
        searched = _searched(corpus, records)
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
                    earlier[record] = _indexed_place(best.id)
            rest = mine[keeper[mine] >= 0]
            result = deduplicate_texts(
                [records.texts[k] for k in rest.tolist()],
                method="minhash",
                threshold=args.threshold,
                ngram=args.ngram,
                num_perm=args.num_perm,
                threads=args.threads,
                keep=records.values[rest]
                if args.keep_by is not None and records.values is not None
                else args.keep or "first",
                clusters=args.clusters,
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
                        json.dumps(_place(corpus, records, k), ensure_ascii=False, default=str)
                        for k in new.tolist()
                    ],
                )
            except ValueError as e:
                raise CommandError(f"{args.index}: {e} (ids name texts across runs)") from None
        # Inside the batch: the index takes this run's texts only once its outputs are
        # written, so a run that dies before can be run again with the same result.
        kept = keeper == np.arange(n)
        if args.output is not None:
            write_kept(corpus, records, kept, args.output, force=args.force)
        if args.duplicates is not None:
            _write_duplicates(
                corpus, records, keeper, similarity, earlier, args.duplicates, args.force
            )
    _summary(args, n, int((~kept).sum()), wordless, len(earlier))


def _write_duplicates(
    corpus: Corpus,
    records: CorpusRecords,
    keeper: np.ndarray,
    similarity: np.ndarray,
    earlier: dict[int, dict[str, Any]],
    path: str,
    force: bool,
) -> None:
    """The lines of :func:`write_duplicates`, where a keeper in earlier data (``keeper``
    -1) is named as the index recorded it."""
    out = check_output(path, corpus.shards, force)
    dropped = np.flatnonzero(keeper != np.arange(len(keeper))).tolist()
    with atomic_output(out) as stream:
        for start in range(0, len(dropped), WRITE_BATCH):
            lines = []
            for k in dropped[start : start + WRITE_BATCH]:
                row = _place(corpus, records, k)
                by = earlier[k] if keeper[k] < 0 else _place(corpus, records, int(keeper[k]))
                row.update({f"keeper_{key}": v for key, v in by.items()})
                row["similarity"] = float(similarity[k])
                lines.append(json.dumps(row, ensure_ascii=False, default=str) + "\n")
            stream.write("".join(lines).encode("utf-8", "surrogateescape"))
