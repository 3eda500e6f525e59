"""The whole deduplication on Dask: MinHash pairs, the keep rule, and the no-chain (greedy) or
component clustering, distributed, with the single machine's result.

Rows are named inside by a *position key*, ``partition << 32 | row``: it orders rows as their
global positions do (``keep="first"``) and names the partition that holds a row, so that texts
and marks go straight to it instead of through a join. The steps, each a set of Dask tasks on
numpy arrays (no per-row Python, no DataFrame shuffles):

1. Sketch each partition (MinHash signature, band hashes, a 64-bit hash of the text); texts
   without shingles leave the job here (near duplicates of nothing, always kept). Each row's
   band hashes (not its signature) go to the bucket their range names: ``bands * 8`` bytes
   a row, with its keep value unless the order is the rows' own. The worker keeps the
   partition it read while its memory allows (``HOLD_SHARE``): the input is then read once.
2. Each bucket groups equal band hashes. Inside a group, rows of the same text are one set,
   named by its first position (copies cost no pairs); distinct sets give candidate pairs.
   Band 0 also lists each set's members.
3. Candidates go to a verification bucket by pair (so a pair found in several bands is
   verified once); each source partition gives the texts asked of it (from memory, or read
   again when not held), and the pairs are verified by exact Jaccard similarity.
4. Connected components of the verified pairs by star rounds (``_components.star_forest``).
5. Sets, members and pairs go to a bucket by set, which labels them with their component,
   then to a bucket by component, where the native greedy keepers (:func:`veltrane.keep.keepers`)
   decide each component: greedy decisions depend only on the pairs and order inside one.
6. Each dropped row's mark goes back to its partition, which drops it where it is held (or
   when read again for output).

No step gathers the pairs, the sets or the marks on one process.
"""

from __future__ import annotations

from typing import Any

import dask
import dask.dataframe as dd
import numpy as np
import pandas as pd
from dask import delayed

from ..keep import keep_step
from ..search.jaccard import JaccardParams, jaccard_similarities
from ._components import leaf_edges, star_forest
from ._frames import empty_frame
from ._partitions import (
    ROW_BITS,
    ROW_MASK,
    Arrays,
    bucket_of,
    concat,
    pair_bucket,
    sketch,
    split_by_bucket,
)

_MAX_BUCKETS = 64
# The share of a worker's memory limit that partitions held between steps may fill, with
# everything else the worker holds: Dask starts spilling at 60 %, and the shuffles need room.
HOLD_SHARE = 0.3


def _band_groups(pieces: list[Arrays], verify_buckets: int) -> tuple[Arrays, list[Arrays]]:
    """Sets (members of band 0 with their set's first position) and candidate pairs of
    distinct sets that share a band hash, cut into verification buckets by pair."""
    s = concat(pieces)
    if "value" not in s:
        s["value"] = np.zeros(len(s["key"]))
    # Equal hashes meet; their order is settled below, by text and position.
    key = s["key"]
    order = np.argsort(key)
    key = key[order]
    shared_key = np.zeros(len(key), dtype=bool)
    if len(key) > 1:
        same = key[1:] == key[:-1]
        shared_key[1:] |= same
        shared_key[:-1] |= same
    # Only hashes shared by several rows make sets or candidates: most rows stop here.
    order = order[shared_key]
    key, pos, digest = key[shared_key], s["pos"][order], s["digest"][order]
    value, first = s["value"][order], s["first"][order]
    order = np.lexsort((pos, digest, key))
    key, pos, digest = key[order], pos[order], digest[order]
    value, first = value[order], first[order]
    m = len(key)
    new_key = np.ones(m, dtype=bool)
    new_key[1:] = key[1:] != key[:-1]
    new_set = new_key.copy()
    new_set[1:] |= digest[1:] != digest[:-1]
    set_start = np.flatnonzero(new_set)
    set_id = np.cumsum(new_set) - 1
    rep = pos[set_start][set_id]
    # Band 0 holds every row once: it names each row's set when the set has other members.
    sizes = np.diff(np.append(set_start, m))[: len(set_start)]
    shared = first & (sizes[set_id] > 1)
    members = {"pos": pos[shared], "rep": rep[shared], "value": value[shared]}
    # Candidates: every pair of distinct sets within a key group, by the sets' first rows.
    s_key = key[set_start]
    s_pos, s_value = pos[set_start], value[set_start]
    group_start = np.ones(len(s_key), dtype=bool)
    group_start[1:] = s_key[1:] != s_key[:-1]
    starts = np.flatnonzero(group_start)
    ends = np.append(starts[1:], len(s_key))[: len(starts)]
    run_end = np.repeat(ends, ends - starts)
    after = run_end - np.arange(len(s_key)) - 1
    p = np.repeat(np.arange(len(s_key)), after)
    q = p + 1 + np.arange(len(p)) - np.repeat(np.cumsum(after) - after, after)
    a, b = s_pos[p], s_pos[q]
    va, vb = s_value[p], s_value[q]
    swap = a > b
    pairs = {
        "a": np.where(swap, b, a),
        "b": np.where(swap, a, b),
        "va": np.where(swap, vb, va),
        "vb": np.where(swap, va, vb),
    }
    return members, split_by_bucket(
        pairs, pair_bucket(pairs["a"], pairs["b"], verify_buckets), verify_buckets
    )


def _unique_pairs(pieces: list[Arrays], sources: int) -> tuple[Arrays, list[np.ndarray]]:
    """The bucket's distinct pairs, and the positions each source partition must read."""
    pairs = concat(pieces)
    _, first = np.unique(np.stack([pairs["a"], pairs["b"]], axis=1), axis=0, return_index=True)
    pairs = {name: values[first] for name, values in pairs.items()}
    needed = np.union1d(pairs["a"], pairs["b"])
    source = needed >> np.int64(ROW_BITS)
    bounds = np.searchsorted(source, np.arange(sources + 1))
    return pairs, [needed[bounds[k] : bounds[k + 1]] for k in range(sources)]


def _read_texts(part: pd.DataFrame, text: str, asked: list[np.ndarray]) -> list[tuple]:
    """For each verification bucket, the positions it asked for and their texts."""
    column = part[text]
    return [(pos, column.iloc[pos & ROW_MASK].to_numpy(dtype=object)) for pos in asked]


def _similarities(pairs: Arrays, read: list[tuple], ngram: int) -> np.ndarray:
    pos = np.concatenate([p for p, _ in read]) if read else np.empty(0, np.int64)
    texts = np.concatenate([t for _, t in read]) if read else np.empty(0, object)
    order = np.argsort(pos)
    pos, texts = pos[order], texts[order]
    i = np.searchsorted(pos, pairs["a"])
    j = np.searchsorted(pos, pairs["b"])
    return jaccard_similarities(list(texts), i, j, ngram=ngram, threads=1)


def _verify(pairs: Arrays, read: list[tuple], params: JaccardParams) -> Arrays:
    sim = _similarities(pairs, read, params.ngram)
    near = sim >= params.threshold
    out = {name: values[near] for name, values in pairs.items()}
    out["sim"] = sim[near]
    return out


def _fill_similarities(pairs: Arrays, read: list[tuple], ngram: int) -> Arrays:
    return {"pos": pairs["a"], "keeper": pairs["b"], "sim": _similarities(pairs, read, ngram)}


def _edges(verified: Arrays) -> pd.DataFrame:
    # star_forest's edges point from the larger node to the smaller one.
    return pd.DataFrame({"u": verified["b"], "v": verified["a"]})


def _forest_by_set(forest: pd.DataFrame, buckets: int) -> list[Arrays]:
    u, v = forest["u"].to_numpy(np.int64), forest["v"].to_numpy(np.int64)
    node = np.concatenate([u, v])
    label = np.concatenate([v, v])
    return split_by_bucket({"node": node, "label": label}, bucket_of(node, buckets), buckets)


def _members_by_set(members: Arrays, buckets: int) -> list[Arrays]:
    return split_by_bucket(members, bucket_of(members["rep"], buckets), buckets)


def _pairs_by_set(verified: Arrays, buckets: int) -> list[Arrays]:
    return split_by_bucket(verified, bucket_of(verified["a"], buckets), buckets)


def _label(
    forest: list[Arrays], members: list[Arrays], pairs: list[Arrays], buckets: int
) -> list[tuple[Arrays, Arrays]]:
    """Members and pairs labelled with their component (a set in no pair is one of its own),
    cut into buckets by component."""
    f = concat(forest, {"node": np.empty(0, np.int64), "label": np.empty(0, np.int64)})
    nodes, first = np.unique(f["node"], return_index=True)
    labels = f["label"][first]

    def label_of(rep: np.ndarray) -> np.ndarray:
        if not len(nodes):
            return rep
        k = np.minimum(np.searchsorted(nodes, rep), len(nodes) - 1)
        return np.where(nodes[k] == rep, labels[k], rep)

    m = concat(members)
    p = concat(pairs)
    pair_label = label_of(p["a"])
    docs = {
        "pos": np.concatenate([m["pos"], p["a"], p["b"]]),
        "rep": np.concatenate([m["rep"], p["a"], p["b"]]),
        "value": np.concatenate([m["value"], p["va"], p["vb"]]),
        "label": np.concatenate([label_of(m["rep"]), pair_label, pair_label]),
    }
    edges = {"a": p["a"], "b": p["b"], "sim": p["sim"], "label": pair_label}
    doc_pieces = split_by_bucket(docs, bucket_of(docs["label"], buckets), buckets)
    edge_pieces = split_by_bucket(edges, bucket_of(edges["label"], buckets), buckets)
    return list(zip(doc_pieces, edge_pieces))


def _decide(pieces: list[tuple[Arrays, Arrays]], keep: str, clusters: str, sources: int):
    """The bucket's components decided: for each dropped row, its keeper and similarity
    (NaN when it must be computed from the texts), cut by source partition."""
    docs = concat([d for d, _ in pieces])
    edges = concat([e for _, e in pieces])
    pos, first = np.unique(docs["pos"], return_index=True)
    n = len(pos)
    rep = np.searchsorted(pos, docs["rep"][first])
    value = docs["value"][first]
    i, j = np.searchsorted(pos, edges["a"]), np.searchsorted(pos, edges["b"])
    order: Any = "first" if keep == "first" else value

    def measure(dropped: np.ndarray, kept_for: np.ndarray) -> np.ndarray:
        # A copy has its set's similarity; a verified pair joins the sets' first rows; the
        # rest (NaN) are computed from the texts.
        known = pd.Series(edges["sim"], index=pd.MultiIndex.from_arrays([i, j]))
        lo = np.minimum(rep[dropped], rep[kept_for])
        hi = np.maximum(rep[dropped], rep[kept_for])
        found = known.reindex(pd.MultiIndex.from_arrays([lo, hi])).to_numpy()
        return np.where(rep[dropped] == rep[kept_for], 1.0, found)

    keeper, sim = keep_step(
        n, i, j, edges["sim"], groups=rep, keep=order, clusters=clusters, measure=measure
    )
    dropped = np.flatnonzero(keeper != np.arange(n))
    out = {"pos": pos[dropped], "keeper": pos[keeper[dropped]], "sim": sim[dropped]}
    return split_by_bucket(out, out["pos"] >> np.int64(ROW_BITS), sources)


def _unknown(marks: list[Arrays], buckets: int) -> list[Arrays]:
    m = concat(marks)
    todo = np.isnan(m["sim"])
    pairs = {"a": m["pos"][todo], "b": m["keeper"][todo]}
    return split_by_bucket(pairs, pair_bucket(pairs["a"], pairs["b"], buckets), buckets)


def _positions(pieces: list[Arrays], sources: int) -> tuple[Arrays, list[np.ndarray]]:
    pairs = concat(pieces)
    needed = np.union1d(pairs["a"], pairs["b"])
    bounds = np.searchsorted(needed >> np.int64(ROW_BITS), np.arange(sources + 1))
    return pairs, [needed[bounds[k] : bounds[k + 1]] for k in range(sources)]


def _marks_by_source(filled: Arrays, sources: int) -> list[Arrays]:
    return split_by_bucket(filled, filled["pos"] >> np.int64(ROW_BITS), sources)


def _merge_marks(marks: list[Arrays], filled: list[Arrays] | None) -> Arrays:
    m = concat(marks)
    if filled is not None:
        f = concat(filled)
        order = np.argsort(f["pos"])
        at = np.searchsorted(f["pos"][order], m["pos"])
        todo = np.isnan(m["sim"])
        m["sim"] = m["sim"].copy()
        m["sim"][todo] = f["sim"][order][at[todo]]
    order = np.argsort(m["pos"])
    return {name: values[order] for name, values in m.items()}


def _kept_rows(part: pd.DataFrame, marks: Arrays) -> pd.DataFrame:
    drop = np.zeros(len(part), dtype=bool)
    drop[marks["pos"] & ROW_MASK] = True
    return part[~drop]


def _dropped_rows(marks: Arrays, offsets: np.ndarray, index: int) -> pd.DataFrame:
    def where(pos: np.ndarray) -> np.ndarray:
        return offsets[pos >> np.int64(ROW_BITS)] + (pos & ROW_MASK)

    return pd.DataFrame(
        {"row": where(marks["pos"]), "keeper": where(marks["keeper"]), "similarity": marks["sim"]}
    )


class Plan:
    """The decisions of one run: per source partition, the rows it drops and keeps."""

    def __init__(self, kept: list, marks: list, lengths: list[int]) -> None:
        #: Each partition's kept rows: futures on the cluster, or tasks that read it again.
        self.kept = kept
        self.marks = marks
        self.offsets = np.concatenate([[0], np.cumsum(lengths)]).astype(np.int64)


def plan(
    df: dd.DataFrame,
    text: str,
    *,
    keep: str,
    column: str | None,
    clusters: str,
    params: JaccardParams,
) -> Plan:
    """Runs steps 1 to 5 on the cluster (each phase persisted there) and returns the marks."""
    params = params.banded()
    parts = df.to_delayed()
    # Partitions the sketch step's worker could not hold are read again, only the column needed.
    text_parts = df[[text]].to_delayed()
    sources = len(parts)
    # Every source partition sends a piece to every bucket, a task each: a bucket per four
    # sources (at most 64) keeps the tasks, and the scheduler's work, far fewer than sources
    # squared, with a few sources' worth of band hashes in a bucket.
    buckets = max(1, min((sources + 3) // 4, _MAX_BUCKETS))
    # Candidate pairs are far fewer than band hashes: half as many buckets verify them (and
    # decide the components), each a task per source it asks or answers.
    verify_buckets = max(1, (buckets + 1) // 2)
    sketched = [
        delayed(sketch, nout=3)(p, k, text, keep, column, params, buckets, HOLD_SHARE)
        for k, p in enumerate(parts)
    ]
    grouped = [
        delayed(_band_groups, nout=2)([s[1][b] for s in sketched], verify_buckets)
        for b in range(buckets)
    ]
    infos_d = [s[0] for s in sketched]
    held_d = [s[2] for s in sketched]
    members = [g[0] for g in grouped]
    asked = [
        delayed(_unique_pairs, nout=2)([g[1][v] for g in grouped], sources)
        for v in range(verify_buckets)
    ]
    infos, held, members, asked = dask.persist(infos_d, held_d, members, asked)
    infos = list(dask.compute(*infos))
    lengths = [n for n, _ in infos]
    # Held partitions serve verification and output from memory; the others are read again.
    text_of = [held[k] if infos[k][1] else text_parts[k] for k in range(sources)]
    read = [delayed(_read_texts)(p, text, [a[1][k] for a in asked]) for k, p in enumerate(text_of)]
    verified = [delayed(_verify)(a[0], [r[v] for r in read], params) for v, a in enumerate(asked)]
    (verified,) = dask.persist(verified)
    edge_meta = empty_frame(u=np.int64, v=np.int64)
    edges = dd.from_delayed(
        [delayed(_edges)(v) for v in verified], meta=edge_meta, verify_meta=False
    )
    forest = leaf_edges(star_forest(edges)).to_delayed()
    label_buckets = verify_buckets
    by_set_forest = [delayed(_forest_by_set, nout=label_buckets)(f, label_buckets) for f in forest]
    by_set_members = [
        delayed(_members_by_set, nout=label_buckets)(m, label_buckets) for m in members
    ]
    by_set_pairs = [delayed(_pairs_by_set, nout=label_buckets)(v, label_buckets) for v in verified]
    labelled = [
        delayed(_label, nout=label_buckets)(
            [f[r] for f in by_set_forest],
            [m[r] for m in by_set_members],
            [p[r] for p in by_set_pairs],
            label_buckets,
        )
        for r in range(label_buckets)
    ]
    decided = [
        delayed(_decide, nout=sources)([lab[c] for lab in labelled], keep, clusters, sources)
        for c in range(label_buckets)
    ]
    marks = [[d[k] for d in decided] for k in range(sources)]
    filled = None
    if clusters == "components":
        unknown = [delayed(_unknown, nout=verify_buckets)(m, verify_buckets) for m in marks]
        todo = [
            delayed(_positions, nout=2)([u[v] for u in unknown], sources)
            for v in range(verify_buckets)
        ]
        read2 = [
            delayed(_read_texts)(p, text, [t[1][k] for t in todo]) for k, p in enumerate(text_of)
        ]
        sims = [
            delayed(_marks_by_source, nout=sources)(
                delayed(_fill_similarities)(t[0], [r[v] for r in read2], params.ngram), sources
            )
            for v, t in enumerate(todo)
        ]
        filled = [[s[k] for s in sims] for k in range(sources)]
    merged = [
        delayed(_merge_marks)(marks[k], None if filled is None else filled[k])
        for k in range(sources)
    ]
    (merged,) = dask.persist(merged)
    kept = [
        None if infos[k][1] else delayed(_kept_rows)(parts[k], merged[k]) for k in range(sources)
    ]
    held_keys = [k for k in range(sources) if infos[k][1]]
    if held_keys:
        from distributed import default_client, futures_of

        # The kept rows of a held partition are cut where it is held: the scheduler would
        # rather move it to an idle worker than wait, and moving costs more than the filter.
        client = default_client()
        futures = {k: futures_of(held[k])[0] for k in held_keys}
        who = client.who_has(list(futures.values()))
        for k, future in futures.items():
            places = list(who.get(future.key) or ())
            kept[k] = client.submit(
                _kept_rows,
                future,
                futures_of(merged[k])[0],
                workers=places or None,
                allow_other_workers=not places,
                pure=False,
            )
    return Plan(kept, merged, lengths)


def kept_frame(p: Plan, meta: pd.DataFrame) -> dd.DataFrame:
    return dd.from_delayed(p.kept, meta=meta, verify_meta=False)


def dropped_frame(p: Plan) -> dd.DataFrame:
    meta = empty_frame(row=np.int64, keeper=np.int64, similarity=np.float64)
    return dd.from_delayed(
        [delayed(_dropped_rows)(m, p.offsets, k) for k, m in enumerate(p.marks)],
        meta=meta,
        verify_meta=False,
    )
