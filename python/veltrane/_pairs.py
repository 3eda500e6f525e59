"""What every near-duplicate search shares: the texts it takes, how its pairs come in batches,
clusters from pairs, and the progress protocol of the long-running functions (see
:class:`Progress`).
"""

from __future__ import annotations

import re
import threading
import time
from collections.abc import Callable, Iterable, Iterator, Sequence
from typing import Protocol

import numpy as np

from . import _args, _native

Texts = Iterable["str | bytes | bytearray"]


class Progress(Protocol):
    """``progress(step, done, total)``: how a long-running function reports its progress.

    A function given ``progress=`` calls it as it goes, where ``step`` names what it is doing
    ("fingerprinting", "signing", "searching", "verifying", "chunking"), ``done`` counts what
    that step has finished (texts, pairs, search steps or bytes) and ``total`` is what it will
    finish, or None when that is not known. A new step starts counting from 0. Raising an
    exception from ``progress`` (``KeyboardInterrupt`` to cancel) stops the work and
    propagates; so does Ctrl-C.
    """

    def __call__(self, step: str, done: int, total: int | None, /) -> None: ...


#: How often a running native search reports its progress.
PROGRESS_INTERVAL_SECONDS = 0.1
# With a progress report, texts are handled this many at a time, so that the report moves
# (and Ctrl-C is seen) every fraction of a second on a core; the results are the same, as
# every text is handled on its own.
REPORT_TEXTS = 1 << 14


def run_reporting[Result](
    run: Callable[[_native.Progress | None], Result], step: str, progress: Progress | None
) -> Result:
    """``run(native_progress)``, reporting its steps as ``step``.

    Without ``progress`` the native search runs here. With it, the search runs on a thread of
    its own without the GIL while this thread reports every ``PROGRESS_INTERVAL_SECONDS``;
    an exception here (Ctrl-C, or one raised by ``progress``) cancels the search before it
    propagates.
    """
    if progress is None:
        return run(None)
    native = _native.Progress()
    outcome: dict[str, object] = {}

    def target() -> None:
        try:
            outcome["result"] = run(native)
        except BaseException as e:  # handed to the waiting thread
            outcome["error"] = e

    worker = threading.Thread(target=target, name="veltrane-search", daemon=True)
    worker.start()
    try:
        # Reported once more after the search ends, so a search that is over before the first
        # look is still shown complete.
        while True:
            worker.join(PROGRESS_INTERVAL_SECONDS)
            progress(step, native.done, native.total or None)
            if not worker.is_alive():
                break
    except BaseException:
        native.cancel()
        worker.join()
        raise
    if "error" in outcome:
        raise outcome["error"]  # type: ignore[misc]
    return outcome["result"]  # type: ignore[return-value]


def in_batches[Part](
    texts: Texts,
    run: Callable[[Sequence], Part],
    join: Callable[[list[Part]], Part],
    step: str,
    progress: Progress | None,
) -> Part:
    """``run(texts)``; with ``progress``, over batches of ``REPORT_TEXTS`` texts joined by
    ``join``, reporting each. A bad item is named by its index in the whole input."""
    texts = _args.texts(texts)
    if progress is None:
        return run(texts)  # type: ignore[arg-type]
    items = texts if isinstance(texts, (list, tuple)) else list(texts)
    n = len(items)
    progress(step, 0, n)
    if n <= REPORT_TEXTS:
        result = run(items)
        progress(step, n, n)
        return result
    # Batches grow until each takes about a report interval: every batch costs a call that
    # gathers its texts and starts its threads, so thousands of small ones cost more than the
    # work on a corpus of millions.
    parts = []
    start, size = 0, REPORT_TEXTS
    while start < n:
        part = items[start : start + size]
        began = time.perf_counter()
        try:
            parts.append(run(part))
        except TypeError as e:
            bad = re.match(r"texts\[(\d+)\](.*)", str(e), re.S)
            if bad is None:
                raise
            raise TypeError(f"texts[{int(bad[1]) + start}]{bad[2]}") from None
        start += len(part)
        progress(step, start, n)
        took = time.perf_counter() - began
        size = max(
            REPORT_TEXTS, min(8 * size, int(size * PROGRESS_INTERVAL_SECONDS / max(took, 1e-6)))
        )
    return join(parts)


def pair_batches(stream, batch_size: int, dtype: np.dtype) -> Iterator[np.ndarray]:
    """The rows of a native pair stream, at most ``batch_size`` at a time, none empty."""
    while len(batch := stream.next(batch_size, dtype)):
        yield batch


def clusters(n: int, pairs) -> np.ndarray:
    """For each of ``n`` items, the lowest index in its cluster (so "keep the first").

    ``pairs`` is what :func:`veltrane.near_duplicate_pairs` returns, or any sequence of
    (i, j) pairs. Clusters are the connected components of the pairs, so two members of one
    cluster may be further apart than the distance the pairs were found with.
    """
    n = _args.count(n, "n")
    if isinstance(pairs, np.ndarray) and pairs.dtype.names:
        i, j = pairs["i"], pairs["j"]
    else:
        try:
            arr = np.asarray(pairs if len(pairs) else np.empty((0, 2)), dtype=np.int64)
        except OverflowError:
            # Too large for int64, so certainly not one of the items.
            raise ValueError(f"pairs name an item outside 0..{n - 1}") from None
        if arr.ndim != 2 or arr.shape[1] != 2:
            raise ValueError("pairs must be a sequence of (i, j) pairs")
        i, j = arr[:, 0], arr[:, 1]
    try:
        return _native.clusters(n, i, j)
    except IndexError as e:
        raise ValueError(str(e)) from None
