"""Repeats inside texts: lines, paragraphs and long runs of words seen earlier in a corpus,
cut out with the first occurrence kept.

Texts are taken in corpus order, and the units of a text in order. A unit is a repeat when an
equal unit occurred earlier in the corpus, in an earlier text or earlier in the same one:

- ``unit="line"``: the lines of a text (split at ``\\n``; a ``\\r`` before it belongs to the
  break); a line goes with its break.
- ``unit="paragraph"``: runs of lines separated by lines that hold only whitespace; a
  paragraph goes with the blank lines after it (the last one, with none after it, takes those
  before it instead).
- ``unit="span"``: a word is in a repeat when it lies in a run of ``min_words`` consecutive
  words of its text equal to a run that starts earlier in the corpus; each maximal run of such
  words is cut from its first word's first byte to its last word's last byte.

Lines and paragraphs are equal with ``normalize="words"`` (the default) when their words are
(the words of the Jaccard search, lower-cased), with ``normalize="none"`` when their bytes
are; a unit without words is never a repeat. Hash matches are checked against the first
occurrence before anything is cut (windows word hash by word hash), so a collision cuts
nothing.
"""

from __future__ import annotations

import bisect
import json
import os
import shutil
import sys
import tempfile
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures import Future, ThreadPoolExecutor
from contextlib import ExitStack, contextmanager
from functools import partial
from typing import Any, Literal, NamedTuple

import numpy as np

from .. import _args, _native
from .._disk import NoSpaceError
from ..corpus import Corpus, CorpusError, Records
from ..corpus.inputs import STDIN
from ..corpus.writers import atomic_output, check_output, edited_output, write_edited
from .index import DEFAULT_MIN_WORDS, IndexedCuts, RepeatIndex
from .parts import PartSearch, batch_bytes, block_size, one_ahead

Unit = Literal["line", "paragraph", "span"]
Normalize = Literal["words", "none"]

#: The units repeats are looked for in.
UNITS: tuple[str, ...] = ("line", "paragraph", "span")
#: How lines and paragraphs are compared.
NORMALIZATIONS: tuple[str, ...] = ("words", "none")


class RepeatsSummary(NamedTuple):
    """What :func:`remove_repeats` did."""

    #: Texts read.
    texts: int
    #: Texts something was cut from.
    changed: int
    #: Records not written: left without words by the cuts (unless ``keep_empty``).
    dropped: int
    #: Bytes of text cut out.
    bytes_removed: int
    #: Stretches cut (one ``spans`` line each).
    runs: int


class Repeats:
    """The repeats of texts handed over in corpus order, a batch at a time: each call sees the
    texts of all calls before it as earlier in the corpus.

    ``unit``, ``min_words`` and ``normalize`` are those of :func:`remove_repeats`.
    """

    #: Marks the first_text of a cut of spans whose first occurrence is a primed text.
    EARLIER: int = _native.RepeatFinder.EARLIER

    def __init__(
        self,
        unit: Unit = "line",
        *,
        min_words: int = DEFAULT_MIN_WORDS,
        normalize: Normalize = "words",
        threads: int | None = None,
        hash_bits: int = 64,
    ) -> None:
        if unit not in UNITS:
            raise ValueError(f"unit must be one of {', '.join(UNITS)}, got {unit!r}")
        if normalize not in NORMALIZATIONS:
            raise ValueError(
                f"normalize must be one of {', '.join(NORMALIZATIONS)}, got {normalize!r}"
            )
        min_words = _args.in_range(min_words, "min_words", 1)
        #: Bits of each hash kept: fewer than 64 only to make collisions happen in tests.
        self.hash_bits = _args.in_range(hash_bits, "hash_bits", 1, 64)
        #: Threads that find and hash the units of a batch.
        self.threads = _args.threads(threads)
        self._finder = _native.RepeatFinder(unit, normalize == "words", min_words, hash_bits)

    def read_from(self, corpus: Corpus) -> None:
        """Lets the finder read texts of ``corpus``'s plain files again from where they are
        (see :meth:`cuts`' ``located``): the first occurrences of their lines and paragraphs
        are then kept as places, tens of bytes each, instead of as their bytes."""
        self._finder.read_from(_line_texts(corpus))

    def cuts(
        self, texts: Sequence[bytes | str], located: np.ndarray | None = None
    ) -> tuple[np.ndarray, np.ndarray]:
        """The stretches to cut from the next ``texts``: an (m, 4) int64 array of rows
        (start, end, first_text, first_at), ascending by text, and the offsets (n + 1) of each
        text's rows in it. start and end are byte offsets into the text's UTF-8; first_text
        numbers (from 0, across calls) the text of the first occurrence of the stretch's
        first unit or window, and first_at is its first byte there (lines, paragraphs) or its
        first word's number (spans). ``located``, after :meth:`read_from`: each text's
        (shard, offset, length) of its line, shard -1 for a text that cannot be read again."""
        return self._finder.add(texts, self.threads, located)

    def keep_words_in(self, path: str | os.PathLike[str]) -> None:
        """Keeps the word hashes of spans (8 bytes a word of the corpus) in the file ``path``,
        made or emptied, instead of in memory; before the first :meth:`cuts`. A window found
        again by its hash is checked against them there, a block at a time."""
        self._finder.keep_words_in(os.fspath(path), True)

    def finish_words(self) -> None:
        """Waits until the file of :meth:`keep_words_in` holds every word hashed (the last
        :meth:`cuts` returns while its words are still being written); OSError when it could
        not take them. Does nothing when the words are in memory."""
        self._finder.finish_words()

    def prime(self, words: np.ndarray, starts: np.ndarray, first: int) -> None:
        """Before the first :meth:`cuts`, for spans: the word hashes of texts of an earlier
        run (``words`` end to end, ``starts`` where each text's begin with the end last, as
        :meth:`save_words` wrote them), numbered from ``first`` on. Their windows come before
        this run's in the corpus; a cut whose first occurrence is among them has a first_text
        of ``EARLIER`` plus that number."""
        self._finder.prime(words, starts, first)

    def reserve_windows(self, windows: int) -> None:
        """Makes room for ``windows`` more windows of spans at once, as before priming."""
        self._finder.reserve_windows(_args.count(windows, "windows"))

    def save_words(self, path: str) -> tuple[np.ndarray, np.ndarray]:
        """For spans: writes the word hashes of this run's texts with a window to the new
        file ``path``, durably, and returns those texts' numbers and where each one's words
        begin there (with the end last)."""
        return self._finder.save_words(path)

    def expect_bytes(self, size: int) -> None:
        """Says the corpus holds about ``size`` bytes of texts: once some MiB of them are
        seen, the tables are made the size the whole will need at once (doubling up to it
        costs the kernel's clearing of every table passed through)."""
        self._finder.expect_bytes(_args.count(size, "size"))

    def cut(self, texts: Sequence[bytes]) -> list[bytes]:
        """The next ``texts`` with their repeats cut out."""
        rows, offsets = self.cuts(texts)
        return [cut_out(t, rows[offsets[k] : offsets[k + 1]]) for k, t in enumerate(texts)]

    @property
    def texts(self) -> int:
        """Texts seen so far."""
        return int(self._finder.texts)

    @property
    def memory(self) -> int:
        """Bytes the tables and first occurrences take."""
        return int(self._finder.memory)


def _line_texts(corpus: Corpus) -> _native.LineTexts:
    field = corpus.field.encode("utf-8", "surrogateescape")
    paths = [s.path for s in corpus.shards]
    json_lines = [s.format == "jsonl" for s in corpus.shards]
    return _native.LineTexts(paths, json_lines, field)


def cut_out(text: bytes, rows: np.ndarray) -> bytes:
    """``text`` without the byte ranges [start, end) of ``rows`` (ascending, disjoint)."""
    if not len(rows):
        return text
    pieces, at = [], 0
    for start, end in rows[:, :2].tolist():
        pieces.append(text[at:start])
        at = end
    pieces.append(text[at:])
    return b"".join(pieces)


class _Places:
    """Where each text read is: its file and line (or row), or its id, as JSON fragments."""

    def __init__(self, corpus: Corpus, spooled: str | None) -> None:
        self.names = [
            json.dumps(STDIN if s.path == spooled else s.path, ensure_ascii=False)
            for s in corpus.shards
        ]
        self.source: list[np.ndarray] = []
        self.numbers: list[np.ndarray] = []
        self.ids: list[Any] | None = [] if corpus.id_field is not None else None
        self.spans: list[np.ndarray] = []
        # The number of each batch's first text, and its file: a text is found by batch
        # (joining the arrays at each batch cost the whole corpus again every batch).
        self._starts: list[int] = []
        self._files: list[int] = []
        self._read = 0

    def add(self, batch: Records) -> None:
        n = len(batch.texts)
        self.source.append(np.full(n, batch.source, dtype=np.int32))
        self.numbers.append(batch.numbers)
        self.spans.append(batch.spans if batch.spans is not None else np.full((n, 2), -1))
        if self.ids is not None and batch.ids is not None:
            self.ids.extend(batch.ids)
        self._starts.append(self._read)
        self._files.append(batch.source)
        self._read += n

    def arrays(self) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        """source, numbers and spans of every text read, one entry each."""
        if not self.source:
            return np.empty(0, np.int32), np.empty(0, np.int64), np.empty((0, 2), np.int64)
        return (
            np.concatenate(self.source),
            np.concatenate(self.numbers),
            np.concatenate(self.spans).astype(np.int64),
        )

    def of(self, k: int, prefix: str = "") -> str:
        if self.ids is not None:
            return f'"{prefix}id": {json.dumps(self.ids[k], ensure_ascii=False, default=str)}'
        b = bisect.bisect_right(self._starts, k) - 1
        line = int(self.numbers[b][k - self._starts[b]])
        return f'"{prefix}file": {self.names[self._files[b]]}, "{prefix}line": {line}'


class _Tally:
    """The cuts of each batch applied in corpus order: the texts edited, the records dropped,
    the counts of the summary, and the lines of ``spans``."""

    def __init__(
        self, places: _Places, unit: str, keep_empty: bool, spans_out, output=None
    ) -> None:
        self.places, self.keep_empty, self.spans_out = places, keep_empty, spans_out
        self.key = "first_word" if unit == "span" else "first_start"
        #: With ``output`` (an EditedOutput), each batch is written to it as it is decided;
        #: else the edited texts and dropped records gather here for the end.
        self.output = output
        self.edited: dict[int, bytes] = {}
        self.dropped: list[int] = []
        self.dropped_count = 0
        self.read = self.changed = self.removed = self.runs = 0

    def add(
        self,
        batch: Records,
        rows: np.ndarray,
        offsets: np.ndarray,
        outside: Sequence[str] = (),
    ) -> None:
        """Applies a batch's cuts; a first_text of -1 - j names ``outside[j]``, a place in an
        earlier run."""
        lines: list[str] = []
        edited: dict[int, bytes] = {}
        keep = np.ones(len(batch.texts), dtype=bool)
        for k in np.flatnonzero(np.diff(offsets)).tolist():
            mine = rows[offsets[k] : offsets[k + 1]]
            text = batch.texts[k]
            new = cut_out(text, mine)
            number = self.read + k
            self.changed += 1
            self.runs += len(mine)
            self.removed += len(text) - len(new)
            if not self.keep_empty and not _native.has_words(new):
                keep[k] = False
                self.dropped_count += 1
                if self.output is None:
                    self.dropped.append(number)
            elif self.output is None:
                self.edited[number] = new
            else:
                edited[k] = new
            if self.spans_out is not None:
                here = self.places.of(number)
                for start, end, first, at in mine.tolist():
                    lines.append(
                        f'{{{here}, "start": {start}, "end": {end}, '
                        f"{self.places.of(first, 'first_') if first >= 0 else outside[-1 - first]}"
                        f', "{self.key}": {at}}}\n'
                    )
        if lines:
            self.spans_out.write("".join(lines).encode("utf-8"))
        if self.output is not None:
            assert batch.spans is not None
            self.output.add(batch.source, batch.spans, keep, edited)
        self.read += len(batch.texts)


def _spooled_stdin(paths: Sequence[str], stack: ExitStack) -> tuple[list[str], str | None]:
    """The inputs with standard input copied to a temporary file (the output is written from
    the inputs read again), and that file's name."""
    if STDIN not in paths:
        return list(paths), None
    directory = stack.enter_context(tempfile.TemporaryDirectory(prefix="veltrane-repeats-"))
    copy = os.path.join(directory, "stdin")
    with open(copy, "wb") as f:
        shutil.copyfileobj(sys.stdin.buffer, f, 1 << 20)
    return [copy if p == STDIN else p for p in paths], copy


def remove_repeats(
    inputs: str | os.PathLike[str] | Sequence[str | os.PathLike[str]],
    output: str | os.PathLike[str] | None = None,
    *,
    unit: Unit = "line",
    min_words: int = DEFAULT_MIN_WORDS,
    normalize: Normalize = "words",
    spans: str | os.PathLike[str] | None = None,
    keep_empty: bool = False,
    field: str | None = None,
    id_field: str | None = None,
    format: str | None = None,
    force: bool = False,
    threads: int | None = None,
    memory: int | None = None,
    tmp_dir: str | os.PathLike[str] | None = None,
    index: str | os.PathLike[str] | None = None,
    progress: Callable[[str, int, int | None], None] | None = None,
) -> RepeatsSummary:
    """Cuts the repeats out of the texts of a corpus (see the module's docstring for the rule).

    Args:
        inputs: files, directories of shards or ``"-"`` for standard input, read as
            :class:`Corpus` reads them (``field``, ``id_field`` and ``format`` as there).
        output: where to write every record unchanged but for its text with the repeats cut
            out, in input order and in the input's format (``"-"``: standard output); None
            writes none.
        unit: ``"line"``, ``"paragraph"`` or ``"span"``.
        min_words: words of a window with ``unit="span"``.
        normalize: ``"words"`` or ``"none"``: how lines and paragraphs are compared.
        spans: where to write one JSON line per stretch cut: where its text is (its id, or
            file and line), ``start`` and ``end`` (bytes of the text's UTF-8), and where the
            first occurrence of its first unit or window is (``first_id``, or ``first_file``
            and ``first_line``; ``first_start``, its byte there, or ``first_word``, its word's
            number, for spans).
        keep_empty: write a record left without words by the cuts (by default it is dropped).
        force: replace existing outputs.
        threads: threads for finding units and hashing (default: every core).
        memory: a bound in bytes on the search's memory: the units' or windows' tables are
            then built a part of them per pass over the corpus, as many passes as the bound
            takes, the words of spans kept in a file, and the corpus is read once more to be
            cut; the output is the same. None searches in one pass, in memory.
        tmp_dir: where the passes' files go with ``memory``, and the word hashes of spans
            (default: the system's).
        index: a directory holding a lasting :class:`~veltrane.repeats.index.RepeatIndex`
            of the lines, paragraphs or spans of earlier runs (made when missing, for the
            ``unit``, ``normalize`` and, for spans, ``min_words`` given), with or without
            ``memory``: a unit it holds occurred earlier, and every copy of it is cut, and a
            window of an earlier run's text starts earlier than this run's; a cut is named
            by where the earlier run saw it. This run's first occurrences (for spans, the
            words of its texts) are added to it once the outputs are written.
        progress: called as ``progress("reading", bytes_done, bytes_total)`` (bytes of the
            input files; the total is None when unknown).

    Raises:
        CorpusError: bad input, or an output that may not be written.
    """
    paths = [
        os.fspath(p) for p in ([inputs] if isinstance(inputs, (str, os.PathLike)) else inputs)
    ]
    finder = Repeats(unit, min_words=min_words, normalize=normalize, threads=threads)
    if memory is not None:
        memory = _args.size(memory, "memory")
    with ExitStack() as stack:
        paths, spooled = _spooled_stdin(paths, stack)
        corpus = Corpus(paths, field=field, id_field=id_field, format=format)  # type: ignore[arg-type]
        if output is not None:
            check_output(output, corpus.shards, force)
        spans_path = check_output(spans, corpus.shards, force) if spans is not None else None
        total = _total(paths)
        located = _Located(corpus, unit)
        cuts_of = None
        held = None
        if index is not None:
            # Entered before the outputs, so that it is committed after they are written: a
            # run killed between the two finds the index as it was, and writes them again.
            held = stack.enter_context(_opened(index, unit, normalize, min_words))
        span_index = held if unit == "span" else None
        search = None
        if memory is not None:
            # Found first, a part of the units per pass, within the bound; the corpus is then
            # read once more to be cut.
            directory = _temporary_directory(stack, tmp_dir, needed=True)
            assert directory is not None
            search = PartSearch(
                corpus,
                _part_finder(corpus, located, unit, normalize, min_words, total),
                located,
                memory=memory,
                threads=finder.threads,
                span=unit == "span",
                directory=directory,
                total=total,
                progress=progress,
                prime=None if span_index is None else partial(_prime, span_index, tmp_dir),
            )
            with _temporary_files(tmp_dir):
                search.run()
            stack.callback(search.close)
            cuts_of = search.reader()
        places = _Places(corpus, spooled)
        indexed = None
        if held is not None and unit != "span":
            indexed = IndexedCuts(held, lambda k: places.of(k, "first_"), finder.threads)
        spans_out = None
        if spans_path is not None:
            spans_out = stack.enter_context(atomic_output(spans_path))
        # Plain files into a plain output: each batch is written as it is decided, while
        # the next is read and searched.
        streamed = (
            stack.enter_context(edited_output(corpus, output, force=force))
            if output is not None
            else None
        )
        tally = _Tally(places, unit, keep_empty, spans_out, streamed)
        batches: Iterator[tuple[Records, Future | None]]
        block = block_size(unit == "span")
        if cuts_of is None:
            if located.any:
                finder.read_from(corpus)
            if total is not None:
                finder.expect_bytes(total)
            if unit == "span":
                # The word hashes (8 bytes a word) in a file: the kernel's cache holds what is
                # read back, and the process no longer has a second copy of the corpus's
                # size. On 1.08 GB: 2.37 -> 1.35 GB peak, and no slower. Without a --tmp-dir
                # and none to be had, the hashes stay in memory.
                words = _temporary_directory(stack, tmp_dir, needed=tmp_dir is not None)
                if words is not None:
                    finder.keep_words_in(os.path.join(words, "words"))
                if span_index is not None:
                    _prime(span_index, tmp_dir, finder, 1)
            # The finder works on a batch on a thread of its own (it lets go of the GIL)
            # while the next batch is read and the one before is cut.
            pool = stack.enter_context(ThreadPoolExecutor(1))
            batches = one_ahead(
                corpus.batches(block_size=block),
                lambda b: pool.submit(finder.cuts, b.texts, located(b)),
            )
        else:
            batches = ((b, None) for b in corpus.batches(block_size=block))
        stage = "reading" if cuts_of is None else "writing"
        done = 0
        for batch, future in batches:
            places.add(batch)
            with _temporary_files(tmp_dir):
                if future is not None:
                    rows, offsets = future.result()
                else:
                    assert cuts_of is not None
                    rows, offsets = cuts_of(batch)
            outside: Sequence[str] = ()
            if indexed is not None:
                rows, offsets, outside = indexed.cuts(batch.texts, tally.read, rows, offsets)
            elif span_index is not None:
                rows, outside = _earlier_named(span_index, rows)
            tally.add(batch, rows, offsets, outside)
            done += batch_bytes(batch)
            if progress is not None:
                progress(stage, done, total)
            # Let go of the batch before the next is read: else three are held, not two.
            del batch, future, rows, offsets, outside
        if cuts_of is None:
            with _temporary_files(tmp_dir):
                finder.finish_words()  # a failure of the last write shows here, not lost
        read, edited, dropped = tally.read, tally.edited, tally.dropped
        if output is not None and streamed is None:
            source, numbers, at = places.arrays()
            keep = np.ones(read, dtype=bool)
            keep[np.asarray(dropped, dtype=np.int64)] = False
            write_edited(corpus, source, at, numbers, keep, edited, output, force=force)
        if span_index is not None:
            searched = finder if search is None else search.last
            assert searched is not None
            with _opened_errors():
                span_index.add_words(
                    searched.save_words, lambda texts: [places.of(k, "first_") for k in texts]
                )
    return RepeatsSummary(read, tally.changed, tally.dropped_count, tally.removed, tally.runs)


class _Located:
    """Where each text of a batch is, for a finder to keep its first occurrences of lines or
    paragraphs as places: None for spans, and for batches not read verbatim from a plain
    file."""

    def __init__(self, corpus: Corpus, unit: str) -> None:
        self._plain = [corpus.rereadable(k) for k in range(len(corpus.shards))]
        #: Whether any batch may be located.
        self.any = unit != "span" and any(self._plain)

    def __call__(self, batch: Records) -> np.ndarray | None:
        if not self.any or not self._plain[batch.source] or not batch.verbatim:
            return None
        assert batch.spans is not None
        at = np.empty((len(batch.texts), 3), dtype=np.int64)
        at[:, 0] = batch.source
        at[:, 1:] = batch.spans
        return at


def _part_finder(
    corpus: Corpus,
    located: _Located,
    unit: str,
    normalize: str,
    min_words: int,
    total: int | None,
) -> Callable[[int, int], _native.RepeatFinder]:
    """What makes the finder of each pass of a search in parts: its runs of words unplaced,
    to be joined with the other passes' first."""

    def made(parts: int, part: int) -> _native.RepeatFinder:
        finder = _native.RepeatFinder(
            unit, normalize == "words", min_words, 64, parts, part, unit == "span"
        )
        if located.any:
            finder.read_from(_line_texts(corpus))
        if total is not None:
            finder.expect_bytes(total)
        return finder

    return made


def _temporary_directory(
    stack: ExitStack, tmp_dir: str | os.PathLike[str] | None, *, needed: bool
) -> str | None:
    """A temporary directory for this run in ``tmp_dir`` (default: the system's), removed
    with ``stack``; when it cannot be made, a CorpusError, or None if not ``needed``."""
    try:
        return stack.enter_context(
            tempfile.TemporaryDirectory(prefix="veltrane-repeats-", dir=tmp_dir)
        )
    except OSError as e:
        if not needed:
            return None
        raise _temporary_error(tmp_dir, e) from None


@contextmanager
def _temporary_files(tmp_dir: str | os.PathLike[str] | None) -> Iterator[None]:
    """The errors of the temporary files (the word hashes, a pass's cuts), which name none,
    as CorpusErrors naming where they are: said before an output's block could take them for
    its own."""
    try:
        yield
    except OSError as e:
        if isinstance(e, BrokenPipeError) or e.filename is not None:
            raise
        raise _temporary_error(tmp_dir, e) from None


def _temporary_error(tmp_dir: str | os.PathLike[str] | None, e: OSError) -> CorpusError:
    where = os.fspath(tmp_dir) if tmp_dir is not None else tempfile.gettempdir()
    return CorpusError(f"{where}: temporary files: {e.strerror or e}")


@contextmanager
def _opened(
    path: str | os.PathLike[str], unit: str, normalize: str, min_words: int
) -> Iterator[RepeatIndex]:
    """The index at ``path`` in one batch for the run; its own errors (another kind of index,
    other parameters, locked, damaged, a full disk) as CorpusErrors."""
    span = unit == "span"
    with _opened_errors():
        held = RepeatIndex(
            path,
            unit=unit,
            normalize=None if span else normalize,
            min_words=min_words if span else None,
        )
    with held:
        try:
            with held.batch():
                yield held
        except (TimeoutError, NoSpaceError) as e:
            raise CorpusError(str(e)) from None


@contextmanager
def _opened_errors() -> Iterator[None]:
    """The index's own errors as CorpusErrors."""
    try:
        yield
    except (ValueError, TimeoutError, NoSpaceError) as e:
        raise CorpusError(str(e)) from None


def _prime(
    held: RepeatIndex,
    tmp_dir: str | os.PathLike[str] | None,
    finder: Repeats | _native.RepeatFinder,
    parts: int,
) -> None:
    """Rolls the windows of the earlier runs' texts that ``held`` keeps into ``finder``,
    before its own texts; a finder of one part of ``parts`` keeps about that share of
    them."""
    finder.reserve_windows(len(held) // parts + 1)
    with _opened_errors():
        for earlier in held.word_segments():
            with _temporary_files(tmp_dir):
                finder.prime(*earlier)


def _earlier_named(held: RepeatIndex, rows: np.ndarray) -> tuple[np.ndarray, Sequence[str]]:
    """Cuts of spans whose first occurrence is an earlier run's text: their first_text as
    -1 - j, with j their place in the names returned."""
    earlier = rows[:, 2] >= Repeats.EARLIER
    if not earlier.any():
        return rows, ()
    rows = rows.copy()
    texts = rows[earlier, 2] - Repeats.EARLIER
    rows[earlier, 2] = -1 - np.arange(len(texts), dtype=np.int64)
    return rows, held.names(texts)


def _total(paths: Iterable[str]) -> int | None:
    total = 0
    for p in paths:
        if not os.path.isfile(p):
            return None
        total += os.path.getsize(p)
    return total
