"""``veltrane near-dups``: near-duplicate texts of a corpus, as pairs, as clusters, or as the
deduplicated corpus itself."""

from __future__ import annotations

import json
import os
import re
import sys
from collections.abc import Sequence
from concurrent.futures import Future, ThreadPoolExecutor

import numpy as np

from ..corpus.readers import STDIN, Corpus, CorpusError, CorpusRecords, Records, shards
from ..corpus.signed import SpannedTexts, read_signed
from ..corpus.writers import write_duplicates, write_kept
from ..search.exact import copies, count_copies, iter_copy_pairs
from ..search.hamming import iter_near_duplicate_pairs
from ..search.jaccard import BandedRows, bands_and_rows, iter_near_duplicate_pairs_jaccard
from ..sketch.minhash import minhash_signatures
from ..sketch.simhash import fingerprints64
from ..texts import _deduplicate, without_words
from ._common import (
    PROG,
    CommandError,
    Progress,
    progress_wanted,
)
from ._near_dups_common import (
    _corpus,
    _method_options,
    _shown,
    _write_clusters,
    _write_pairs,
)


def _searched(corpus: Corpus, records: CorpusRecords) -> np.ndarray:
    """The records that are texts: all but the empty lines of line files, which keep their
    line numbers but are not numbered as texts."""
    lines = np.array([s.format == "lines" for s in corpus.shards], dtype=bool)
    if not lines.any():
        return np.arange(len(records.texts), dtype=np.int64)
    if isinstance(records.texts, SpannedTexts):
        empty = records.texts.sizes == 0
    else:
        empty = np.fromiter((not t for t in records.texts), dtype=bool, count=len(records.texts))
    return np.flatnonzero(~(empty & lines[records.source]))


class _Signer:
    """Signs each batch of searched texts on a thread of its own while the next batch is read:
    the native signing lets go of the GIL, so the two overlap instead of following each other.
    The rows gather in one array grown in place (a large block grows by remapping, not by a
    copy), so the signatures never take their memory twice."""

    def __init__(self, corpus: Corpus, args) -> None:
        self.lines = [s.format == "lines" for s in corpus.shards]
        self.num_perm, self.ngram, self.threads = args.num_perm, args.ngram, args.threads
        self.pool = ThreadPoolExecutor(1)
        self.pending: Future | None = None
        self.pending_texts = 0
        self.signatures = np.empty((0, self.num_perm), dtype=np.uint32)

    def __call__(self, batch: Records) -> None:
        # The empty lines of line files are not searched (see _searched).
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


class _Places:
    """Where each searched text is, as JSON fragments: its file and line (or row), or its id."""

    def __init__(self, corpus: Corpus, records: CorpusRecords, searched: np.ndarray) -> None:
        self.names = np.array(
            [json.dumps(s.path, ensure_ascii=False) for s in corpus.shards], dtype=object
        )
        self.source = records.source[searched]
        self.line = records.numbers[searched]
        self.ids = (
            None
            if records.ids is None
            else np.array(
                [json.dumps(records.ids[k], ensure_ascii=False, default=str) for k in searched],
                dtype=object,
            )
        )

    def of(self, texts: np.ndarray, suffix: str = "") -> list[str]:
        if self.ids is not None:
            return [f'"id{suffix}": {v}' for v in self.ids[texts].tolist()]
        return [
            f'"file{suffix}": {f}, "line{suffix}": {n}'
            for f, n in zip(self.names[self.source[texts]].tolist(), self.line[texts].tolist())
        ]


def _pairs(args, out, texts: Sequence[bytes], places: _Places, progress: Progress) -> None:
    everything = np.arange(len(texts), dtype=np.int64)
    if args.method == "minhash":
        batches = iter_near_duplicate_pairs_jaccard(
            texts,
            args.threshold,
            ngram=args.ngram,
            num_perm=args.num_perm,
            threads=args.threads,
            progress=progress,
            wordless="apart",
        )
        _write_pairs(out, batches, "similarity", places, everything)
        return
    if args.method == "exact":
        groups, _ = copies(texts, normalize=args.normalize, threads=args.threads)
        _write_pairs(out, iter_copy_pairs(groups), "similarity", places, everything)
        return
    fps = fingerprints64(texts, threads=args.threads, progress=progress)
    # Texts without words are searched with nothing.
    worded = np.setdiff1d(everything, without_words(texts), assume_unique=True)
    batches = iter_near_duplicate_pairs(
        fps[worded], args.max_distance, threads=args.threads, progress=progress
    )
    _write_pairs(out, batches, "distance", places, worded)


# Peak memory of the run in memory a byte of text read: 1.6 measured on generated JSON Lines
# (1.74 GB for 1.08 GB), with a margin.
_PEAK_PER_BYTE = 2
# Bytes of text a byte of a compressed or Parquet file may hold: text compresses 3 to 5 times.
_TEXT_PER_PACKED_BYTE = 5
# Of the memory available, the share a bound chosen by default takes: the peak is about
# 1.1 times --memory plus some 180 bytes a record (measured at 2G and 8.6 GB).
_DEFAULT_SHARE = 3


def _available_memory() -> int | None:
    """What the system can give without swapping (Linux: MemAvailable, at most the cgroup's
    limit), or None where that is unknown."""
    found = None
    try:
        with open("/proc/meminfo") as f:
            for line in f:
                if line.startswith("MemAvailable:"):
                    found = int(line.split()[1]) * 1024
    except (OSError, ValueError, IndexError):
        return None
    try:
        # Its use is not subtracted: that counts the page cache, which is given back.
        with open("/sys/fs/cgroup/memory.max") as f:
            limit = f.read().strip()
        if limit != "max" and found is not None:
            found = min(found, int(limit))
    except (OSError, ValueError):
        pass
    return found


def _default_memory(args) -> int | None:
    """A bound on the search's memory when the run in memory would not fit in what the
    machine has available: the output is the same either way, and a corpus larger than
    memory is then deduplicated instead of failing."""
    if args.index is not None or args.method != "minhash":
        return None
    available = _available_memory()
    if available is None:
        return None
    fmt = "jsonl" if args.jsonl else "lines" if args.lines else None
    try:
        found = shards(args.inputs, fmt)
    except (CorpusError, ValueError):
        return None  # reported by the run itself
    text = 0
    for shard in found:
        if shard.path == STDIN:
            continue
        try:
            size = os.path.getsize(shard.path)
        except OSError:
            continue
        packed = shard.compression is not None or shard.format == "parquet"
        text += size * (_TEXT_PER_PACKED_BYTE if packed else 1)
    if text * _PEAK_PER_BYTE <= available:
        return None
    from ._near_dups_bounded import MIN_MEMORY

    memory = max(MIN_MEMORY, available // _DEFAULT_SHARE)
    if not args.quiet:
        bound = f"{memory >> 20}M" if memory >= 1 << 20 else f"{memory >> 10}K"
        print(
            f"{PROG} near-dups: up to {text / 1e9:.1f} GB of text and {available / 1e9:.1f} GB "
            f"of memory available: searching within --memory {bound}, band hashes on "
            "disk (the same output; --memory sets the bound)",
            file=sys.stderr,
        )
    return memory


def run(args, out) -> None:
    if args.method == "exact" and args.index is None and args.memory is not None:
        # The search holds 16 bytes of digest a text, besides where each text is: the run in
        # memory is the run within the bound.
        args.memory = args.tmp_dir = None
    if args.memory is None:
        args.memory = _default_memory(args)
    if args.memory is not None or args.index is not None or args.tmp_dir is not None:
        from . import _near_dups_bounded

        return _near_dups_bounded.run(args, out)
    _method_options(args)
    try:
        _run(args, out)
    except CorpusError as e:
        # FILE:LINE, as compilers and grep name a line, so that editors can jump to it.
        raise CommandError(re.sub(r"^(.*?): line (\d+): ", r"\1:\2: ", str(e), count=1)) from None


def _keep_rule(args, records: CorpusRecords, searched: np.ndarray):
    if args.keep_by is not None:
        assert records.values is not None
        return records.values[searched]
    return args.keep or "first"


def _run(args, out) -> None:
    corpus = _corpus(args)
    writing = args.output is not None or args.duplicates is not None
    show = _shown(args)
    pairs_only = show == "pairs" and not writing
    signing = args.method == "minhash" and not pairs_only
    exact = args.normalize if args.method == "exact" and not pairs_only else ""
    with Progress(progress_wanted(args), None, "reading") as progress:
        # Plain files are read and signed in one pass; the rest, and a file that pass does not
        # take, are read here and signed a batch at a time as they come.
        # The search needs only each text's band keys and signature hash: made as each text is
        # signed, a third of the memory of the signatures.
        banding = bands_and_rows(args.threshold, args.num_perm) if signing else (0, 0)
        read = (
            read_signed(corpus, args.num_perm, args.ngram, args.threads, progress, banding)
            if signing
            # Exact copies: each text's digest as it is read, 16 bytes a text.
            else read_signed(corpus, 1, 1, args.threads, progress, exact=exact)
            if exact
            else None
        )
        signed: list | None
        if read is not None:
            records, table = read
            signed = [table if exact else BandedRows(table, *banding)]
            del read, table
        else:
            signer = _Signer(corpus, args) if signing else None
            try:
                records = corpus.read(each=signer)
                signed = signer.finish(progress) if signer is not None else None
            finally:
                if signer is not None:
                    signer.close()
        searched = _searched(corpus, records)
        texts: Sequence[bytes] = records.texts
        if len(searched) != len(records.texts):
            texts = (
                records.texts.subset(searched)
                if isinstance(records.texts, SpannedTexts)
                else [records.texts[k] for k in searched.tolist()]
            )
        places = _Places(corpus, records, searched)
        if pairs_only:
            _pairs(args, out, texts, places, progress)
            return
        found = _deduplicate(
            texts,
            args.max_distance,
            method=args.method,
            threshold=args.threshold,
            ngram=args.ngram,
            num_perm=args.num_perm,
            threads=args.threads,
            progress=progress,
            keep=_keep_rule(args, records, searched),
            clusters=args.clusters,
            signed=signed,
            normalize=args.normalize,
        )
    n = len(records.texts)
    keeper = np.arange(n, dtype=np.int64)
    local = np.where(found.duplicate_of < 0, np.arange(len(texts)), found.duplicate_of)
    keeper[searched] = searched[local]
    similarity = np.full(n, 0.0 if args.method == "simhash" else 1.0)
    similarity[searched] = found.similarity
    if args.output is not None:
        write_kept(corpus, records, keeper == np.arange(n), args.output, force=args.force)
    if args.duplicates is not None:
        write_duplicates(corpus, records, keeper, similarity, args.duplicates, force=args.force)
    if show == "clusters":
        field = "distance" if args.method == "simhash" else "similarity"
        values = (
            found.similarity.astype(np.int64) if args.method == "simhash" else found.similarity
        )
        n_found = len(found.duplicate_of)
        reps = np.where(found.duplicate_of < 0, np.arange(n_found), found.duplicate_of)
        _write_clusters(out, field, reps, values, places)
    elif show == "pairs":
        _pairs(args, out, texts, places, progress)
    if writing and not args.quiet:
        dropped = int((keeper != np.arange(n)).sum())
        wordless = len(found.without_words) + n - len(searched)
        copied = ""
        if args.method == "minhash":
            # Copies have the same shingles: only the texts dropped at similarity 1 are read
            # again to tell the copies among them.
            same = np.flatnonzero((found.duplicate_of >= 0) & (found.similarity == 1.0))
            exact_copies = count_copies(
                texts, same, found.duplicate_of[same], threads=args.threads
            )
            copied = f" ({exact_copies:,} of them exact copies: the same words)"
        print(
            f"{PROG} near-dups: {n:,} texts read, {n - dropped:,} kept, {dropped:,} "
            f"dropped{copied}, {wordless:,} without words (kept)",
            file=sys.stderr,
        )
