"""Chunk-level duplication of files on Dask: the totals of :func:`veltrane.dedup_report`.

Files are chunked and digested in tasks of ``files_per_task`` files each (the native pipeline,
on the worker's threads); each task keeps its distinct (digest, length) pairs and splits them
by the digest's first byte into ``partitions`` parts. Part ``p`` of every task goes to one
task, which counts the distinct digests of that prefix range: a shuffle by prefix, so no task
holds every digest. Which file holds a chunk first depends on the order of all files, so the
Dask report has totals only.
"""

from __future__ import annotations

import os
from collections.abc import Iterable

import dask
import numpy as np

from .. import _args, _native
from ..defaults import DEFAULT_READ_SIZE
from ..files.chunker import CDCChunker, as_chunker
from ..files.gear import GearCDC
from ..files.report import SAME_FILE, ChunkStats, DedupReport, SkippedFile
from ..files.tree import walk

DEFAULT_PARTITIONS = 16
DEFAULT_FILES_PER_TASK = 256


def _spec(chunker) -> tuple:
    # The native Gear cannot be pickled; its sizes are sent and it is made again on the worker.
    if isinstance(chunker, GearCDC):
        if chunker.keyed:
            raise TypeError("a keyed GearCDC cannot be sent to Dask workers")
        return (
            "gear",
            chunker.avg_size,
            chunker.min_size,
            chunker.max_size,
            chunker.normalization,
        )
    return ("cdc", chunker.chunk_size)


def _task(paths: list[str], spec: tuple, read_size: int, partitions: int) -> tuple:
    """Totals of ``paths``, and their distinct (digests, lengths) split by prefix."""
    if spec[0] == "gear":
        g = GearCDC(spec[1], min_size=spec[2], max_size=spec[3], normalization=spec[4])
        gear, cdc = g.kernel, 0
    else:
        gear, cdc = None, spec[1]
    files, _, errors = _native.dedup_tree(
        [os.fsencode(p) for p in paths],
        gear,
        cdc,
        _args.threads(None),
        read_size,
        None,
        _native.DigestSet(),
        None,
        True,
    )
    if errors:
        path, code = errors[0]
        raise OSError(code, os.strerror(code), os.fsdecode(path))
    lengths = np.frombuffer(b"".join(f[12] for f in files), dtype=np.uint64)
    digests = np.frombuffer(b"".join(f[13] for f in files), dtype=np.uint8).reshape(-1, 32)
    totals = (
        int(lengths.sum()),
        len(lengths),
        int(lengths.min()) if len(lengths) else None,
        int(lengths.max()) if len(lengths) else None,
    )
    _, first = np.unique(digests.view(np.dtype((np.void, 32))).ravel(), return_index=True)
    digests, lengths = digests[first], lengths[first]
    part = digests[:, 0].astype(np.int64) * partitions // 256
    return totals, [
        (digests[part == p].tobytes(), lengths[part == p].tobytes()) for p in range(partitions)
    ]


def _part(task: tuple, p: int) -> tuple[bytes, bytes]:
    return task[1][p]


def _distinct(parts: list[tuple[bytes, bytes]]) -> tuple[int, int]:
    """Distinct digests of one prefix range across all tasks, and their bytes."""
    seen = _native.DigestSet()
    count = size = 0
    for joined, lengths in parts:
        sizes = np.frombuffer(lengths, dtype=np.uint64)
        for i in range(len(sizes)):
            if seen.add(joined[32 * i : 32 * i + 32]):
                count += 1
                size += int(sizes[i])
    return count, size


def dedup_report(
    paths: Iterable[str | os.PathLike],
    chunk_size: int | None = None,
    *,
    chunker=None,
    read_size: int = DEFAULT_READ_SIZE,
    partitions: int = DEFAULT_PARTITIONS,
    files_per_task: int = DEFAULT_FILES_PER_TASK,
) -> DedupReport:
    """The totals of :func:`veltrane.dedup_report` over ``paths``, computed on Dask.

    ``paths`` are paths (a list, or a Dask bag of paths); directories are walked here, as
    the single-machine report walks them, and a file reached twice (by device and inode) is
    counted once, so the totals equal the single-machine report's (``files`` is empty; see
    the module docstring). The files must be readable where the workers run. ``chunker``
    and ``chunk_size`` as for :func:`veltrane.dedup_report` (GearCDC without a key, or CDC).
    """
    cut = as_chunker(chunker, chunk_size, default=GearCDC())
    if not isinstance(cut, (GearCDC, CDCChunker)):
        raise TypeError("chunker must be a GearCDC or CDC on Dask")
    spec = _spec(cut)
    read_size = _args.size(read_size, "read_size")
    partitions = _args.in_range(partitions, "partitions", 1, 256)
    files_per_task = _args.in_range(files_per_task, "files_per_task", 1)
    if hasattr(paths, "compute") and hasattr(paths, "to_delayed"):
        paths = paths.compute()  # type: ignore[union-attr]
    found: list = []
    errors: list = []
    for path in paths:
        walk(os.fsdecode(os.fspath(path)), found, lambda p, e: errors.append((p, e)))
    if errors:
        raise errors[0][1]
    files, skipped, keys = [], [], set()
    for path, special in found:
        st = os.stat(path)
        key = (st.st_dev, st.st_ino)
        if special is not None or key in keys:
            skipped.append(SkippedFile(path, special or SAME_FILE))
            continue
        keys.add(key)
        files.append(path)
    tasks = [
        dask.delayed(_task)(files[i : i + files_per_task], spec, read_size, partitions)
        for i in range(0, len(files), files_per_task)
    ]
    counts = [
        dask.delayed(_distinct)([dask.delayed(_part)(t, p) for t in tasks])
        for p in range(partitions)
    ]
    done_tasks, done_counts = dask.compute([t[0] for t in tasks], counts)
    total = ChunkStats(path=None)
    for size, chunks, low, high in done_tasks:
        total.merge(
            ChunkStats(None, size, chunks, 0, 0, low, high, _length_sum=size)  # type: ignore[arg-type]
        )
    total.unique_chunks = sum(c for c, _ in done_counts)
    total.unique_bytes = sum(b for _, b in done_counts)
    description = cut.description()
    return DedupReport(
        chunk_size=description.get("chunk_size") if description["name"] == "cdc" else None,
        files=[],
        total=total,
        chunker=description,
        skipped=skipped,
    )
