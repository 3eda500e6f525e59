"""The tree report as the JSON document the command writes: json.dumps(indent=2) of its to_dict,
each path as strict JSON, the files formatted natively a batch at a time as they are written."""

from __future__ import annotations

import base64
import json
import os
from collections.abc import Iterator

import numpy as np

from .. import _native
from .report import DedupReport, FileStatsList


def json_path(path: str) -> dict:
    """A path as strict JSON: its text, and when its bytes are not UTF-8, the exact bytes in
    base64 as well (the text then shows them as \\x escapes)."""
    raw = os.fsencode(path)
    try:
        return {"path": raw.decode("utf-8")}
    except UnicodeDecodeError:
        return {
            "path": raw.decode("utf-8", "backslashreplace"),
            "path_base64": base64.b64encode(raw).decode("ascii"),
        }


#: Files formatted per write of --json: few enough that each batch's text (about 350 bytes a
#: file) stays below malloc's mmap threshold, its memory reused rather than mapped afresh.
JSON_BATCH = 256


def percent_column(kept: np.ndarray, total: np.ndarray) -> list[float]:
    """``(1 - kept / total) * 100`` of each file (0 for an empty one)."""
    # ChunkStats' formula, element by element in float64: the same floats, so the same text.
    with np.errstate(divide="ignore", invalid="ignore"):
        return np.where(total > 0, (1.0 - kept / total) * 100.0, 0.0).tolist()


def file_columns(files) -> tuple[list[bytes], np.ndarray]:
    """Raw paths and the uint64 columns of FileStatsList, from any sequence of ChunkStats."""
    names, ends, stats = joined_columns(files)
    starts = [0, *ends[:-1].tolist()]
    return [names[a:b] for a, b in zip(starts, ends.tolist())], stats


def joined_columns(files) -> tuple[bytes, np.ndarray, np.ndarray]:
    """The paths joined, where each ends, and the uint64 columns of FileStatsList, from any
    sequence of ChunkStats."""
    if isinstance(files, FileStatsList):
        return files.names, files.ends, files.columns
    rows = [
        (s.bytes, s.chunks, s.unique_chunks, s.unique_bytes, s.min_chunk or 0, s.max_chunk or 0)
        for s in files
    ]
    raw = [os.fsencode(s.path) for s in files]
    ends = np.cumsum([len(p) for p in raw], dtype=np.uint64)
    return b"".join(raw), ends, np.array(rows, dtype=np.uint64).reshape(-1, 6)


def json_files(files) -> Iterator[str]:
    """The files of --json, a batch of them at a time, each as json.dumps(indent=2) writes it
    within the report (a path that is not UTF-8 as json_path gives it). Formatted natively,
    so that no Python code runs per file."""
    names, ends, stats = joined_columns(files)
    for first in range(0, len(ends), JSON_BATCH):
        last = min(first + JSON_BATCH, len(ends))
        yield _native.dedup_json_files(names, ends, stats, first, last).decode("ascii")


def write_json(report, duplicate_files: bool, out) -> None:
    """The report as one JSON document, its files written as they are formatted rather than
    built in memory: the text json.dumps(indent=2) gives of the report's to_dict, with each
    path as json_path gives it, and duplicate_files only when asked for."""
    skeleton = DedupReport(
        report.chunk_size,
        [],
        report.total,
        report.chunker,
        report.digest,
        report.skipped,
        [],
        report.index,
    ).to_dict()
    for entry in skeleton["skipped"]:
        entry.update(json_path(entry["path"]))
    if duplicate_files:
        skeleton["duplicate_files"] = [[json_path(p) for p in g] for g in report.duplicate_files]
    else:
        del skeleton["duplicate_files"]
    head, tail = json.dumps(skeleton, indent=2).split('"files": []', 1)
    out.write(head)
    if len(report.files) == 0:
        out.write('"files": []')
    else:
        out.write('"files": [\n')
        first = True
        for batch in json_files(report.files):
            out.write(batch if first else ",\n" + batch)
            first = False
        out.write("\n  ]")
    out.write(tail + "\n")
