"""The sinks of the corpus job beside the kept corpus and the duplicates
(:mod:`veltrane.corpus.writers`): pair and cluster records as JSON lines, and the duplicates
of a run against a lasting index, whose keepers may be texts of earlier runs.

Every sink names texts through a places object: ``places.of(texts, suffix)`` gives each
searched text's JSON members, its id or its file and line.
"""

from __future__ import annotations

import json
from typing import Any

import numpy as np

from .._pairs import pair_batches
from ..corpus.readers import CorpusRecords
from ..corpus.source import Corpus
from ..corpus.writers import atomic_output, check_output
from ..defaults import WRITE_BATCH
from ..search.jaccard import JACCARD_PAIR_DTYPE


class Places:
    """Where each searched text is, as JSON fragments: its file and line (or row), or its id.

    ``source`` and ``numbers`` hold each record's shard and line; ``searched`` maps text
    numbers to record numbers; ``ids`` is the records' ids, or an object whose
    ``fragments(records)`` gives them as JSON (a spill of ids), or None."""

    def __init__(
        self, corpus: Corpus, source: np.ndarray, numbers: np.ndarray, searched: np.ndarray, ids
    ) -> None:
        self.names = np.array(
            [json.dumps(s.path, ensure_ascii=False) for s in corpus.shards], dtype=object
        )
        self.source, self.numbers, self.searched = source, numbers, searched
        self.spilled = ids is not None and hasattr(ids, "fragments")
        self.ids = ids
        if ids is not None and not self.spilled:
            self.ids = np.array(
                [json.dumps(ids[k], ensure_ascii=False, default=str) for k in searched],
                dtype=object,
            )

    def of(self, texts: np.ndarray, suffix: str = "") -> list[str]:
        """The JSON members naming each of ``texts`` (text numbers)."""
        if self.ids is not None:
            values = (
                self.ids.fragments(self.searched[texts])
                if self.spilled
                else self.ids[texts].tolist()
            )
            return [f'"id{suffix}": {v}' for v in values]
        records = self.searched[texts]
        return [
            f'"file{suffix}": {f}, "line{suffix}": {n}'
            for f, n in zip(
                self.names[self.source[records]].tolist(), self.numbers[records].tolist()
            )
        ]


def write_pairs(out, batches, field: str, places, index=None) -> None:
    """Writes the pair records of each batch of (i, j, ``field``) rows, ``index`` mapping the
    searched positions to the text numbers (none: they are the text numbers)."""
    for batch in batches:
        i, j = (
            (batch["i"], batch["j"]) if index is None else (index[batch["i"]], index[batch["j"]])
        )
        out.write(
            "".join(
                [
                    f'{{"i": {a}, "j": {b}, "{field}": {v!r}, {pa}, {pb}}}\n'
                    for a, b, v, pa, pb in zip(
                        i.tolist(),
                        j.tolist(),
                        batch[field].tolist(),
                        places.of(i, "_i"),
                        places.of(j, "_j"),
                    )
                ]
            )
        )


def write_found_pairs(out, found, places) -> None:
    """Writes the pairs of a Jaccard search's result, copies expanded a batch at a time."""
    from .. import _native

    stream = _native.JaccardExpandStream(found.reps, found.i, found.j, found.similarity)
    write_pairs(out, pair_batches(stream, WRITE_BATCH, JACCARD_PAIR_DTYPE), "similarity", places)


def cluster_members(reps: np.ndarray) -> np.ndarray:
    """The texts of clusters of two or more, by cluster, then by index."""
    sizes = np.bincount(reps, minlength=len(reps))
    members = np.flatnonzero(sizes[reps] > 1)
    return members[np.lexsort((members, reps[members]))]


def write_clusters(out, field: str, reps: np.ndarray, values: np.ndarray, places) -> None:
    """Writes the members of clusters of two or more, ``reps`` giving each text's kept text
    and ``values`` its ``field`` to it."""
    members = cluster_members(reps)
    for start in range(0, len(members), WRITE_BATCH):
        m = members[start : start + WRITE_BATCH]
        out.write(
            "".join(
                [
                    f'{{"cluster": {r}, "i": {i}, {p}, "{field}": {v!r}, '
                    f'"keep": {"true" if i == r else "false"}}}\n'
                    for i, r, p, v in zip(
                        m.tolist(), reps[m].tolist(), places.of(m), values[m].tolist()
                    )
                ]
            )
        )


def place_of(corpus: Corpus, records: CorpusRecords, k: int) -> dict[str, Any]:
    """A record as a lasting index names it: its id, or its file and line (row for Parquet)."""
    if records.ids is not None:
        return {"id": records.ids[k]}
    shard = corpus.shards[int(records.source[k])]
    unit = "row" if shard.format == "parquet" else "line"
    return {"file": shard.path, unit: int(records.numbers[k])}


def indexed_place(id_: int | str) -> dict[str, Any]:
    """What :func:`place_of` stored as an index id; an id added otherwise is an id."""
    if isinstance(id_, str):
        try:
            place = json.loads(id_)
        except ValueError:
            place = None
        if isinstance(place, dict):
            return place
    return {"id": id_}


def write_indexed_duplicates(
    corpus: Corpus,
    records: CorpusRecords,
    keeper: np.ndarray,
    similarity: np.ndarray,
    earlier: dict[int, dict[str, Any]],
    path: str,
    force: bool,
) -> None:
    """The lines of :func:`~veltrane.corpus.writers.write_duplicates`, where a keeper in
    earlier data (``keeper`` -1) is named as the index recorded it."""
    out = check_output(path, corpus.shards, force)
    dropped = np.flatnonzero(keeper != np.arange(len(keeper))).tolist()
    with atomic_output(out) as stream:
        for start in range(0, len(dropped), WRITE_BATCH):
            lines = []
            for k in dropped[start : start + WRITE_BATCH]:
                row = place_of(corpus, records, k)
                by = earlier[k] if keeper[k] < 0 else place_of(corpus, records, int(keeper[k]))
                row.update({f"keeper_{key}": v for key, v in by.items()})
                row["similarity"] = float(similarity[k])
                lines.append(json.dumps(row, ensure_ascii=False, default=str) + "\n")
            stream.write("".join(lines).encode("utf-8", "surrogateescape"))
