"""Near-duplicate search beyond one machine, on Dask.

The same results as :func:`veltrane.near_duplicate_pairs`, :func:`veltrane.clusters` and
:func:`veltrane.deduplicate_texts`, for Dask DataFrames too large for one machine. Every step
is a Dask operation, so the code runs unchanged on the default local scheduler, on a
``distributed.LocalCluster`` and on any cluster a ``distributed.Client`` points at.

``fingerprints(df, text, id)``
    The 64-bit SimHash fingerprint of every text, per partition.
``fingerprint_pairs(df, fingerprint, id, max_distance)`` / ``near_duplicate_pairs(df, ...)``
    Every pair of rows whose fingerprints are at most ``max_distance`` bits apart, as
    (``id_a``, ``id_b``, ``distance``) with ``id_a < id_b``.
``clusters(pairs)``
    For each id in the pairs, the smallest id of its connected component.
``deduplicate(data, ...)`` / ``deduplication(data, ...)``
    The rows to keep, from a frame or from Parquet or JSON Lines shards, with the keep rule
    and greedy (no chain) or component clusters: :func:`veltrane.deduplicate_texts` on the
    cluster (see ``veltrane.dask._job``); ``deduplication`` also gives each dropped row's
    keeper and similarity. ``deduplicate(df, text, id, max_distance)`` is the earlier SimHash
    entry: the smallest id of each cluster.
``read(data)``
    A Dask DataFrame of Parquet or JSON Lines shards (a file, a directory or a list), read by
    Dask's own readers.
``dedup_report(paths, ...)``
    The totals of :func:`veltrane.dedup_report` over files, digests shuffled by prefix (see
    ``veltrane.dask._files``).
``remove_repeats(df, text, unit=..., normalize=...)``
    The rows with the lines or paragraphs seen earlier cut out of their texts, as
    :func:`veltrane.remove_repeats` cuts them (see ``veltrane.dask._repeats``).
``near_duplicate_pairs_jaccard(df, text, id, threshold)``
    Every pair of rows whose texts' shingle sets have Jaccard similarity at least
    ``threshold``, as (``id_a``, ``id_b``, ``similarity``): MinHash bands keyed by (band,
    band value) in the shuffle, verified exactly (see ``veltrane.dask._jaccard``).

How the pairs are found (each step a Dask operation, none collecting data on the client):

1. Fingerprints per partition, by the native batch code with the GIL released, so that the
   worker's threads run in parallel.
2. Identical fingerprints collapsed: each set becomes one *representative* (its smallest id)
   plus its members, first within each partition, then across partitions by a shuffle of
   the partitions' own representatives. Only representatives are searched, so a million
   copies of one text cost a million rows, not 5 * 10^11 comparisons, and no task holds
   them all.
3. Pigeonhole: the 64 bits are cut into ``max_distance + 1`` blocks (as the single-machine
   search cuts them); two fingerprints within the distance agree on at least one block. Each
   representative is emitted once per block, keyed by (block, block value), and shuffled by
   that key. Each partition runs the native search over the rows of one block and keeps the
   pairs that agree on that block and on no lower one, so every pair is reported exactly once
   and no global distinct is needed.
4. The pairs between representatives are expanded to their members, and the members of each
   identical set are paired with each other at distance 0.

A (block, value) group larger than ``split_limit`` would make one task compare all its pairs
at once; such groups are found before the shuffle and split into tiles (see
:func:`fingerprint_pairs`), so no task loads a skewed group whole.
"""

from __future__ import annotations

# Every step needs Dask's DataFrames (and pandas under them): fail here, naming the extra,
# rather than deep inside a step.
try:
    import dask.dataframe  # noqa: F401
    import pandas  # noqa: F401
except ImportError as e:  # pragma: no cover - exercised in a subprocess by the tests
    raise ImportError(
        "veltrane.dask needs Dask: install the extra with pip install 'veltrane[dask]' "
        f"(dask[dataframe] and distributed); the import failed with: {e}"
    ) from e

from ._components import clusters
from ._deduplicate import Deduplication, deduplicate, deduplication, read
from ._files import dedup_report
from ._fingerprints import fingerprints
from ._jaccard import near_duplicate_pairs_jaccard
from ._pairs import fingerprint_pairs, near_duplicate_pairs
from ._repeats import remove_repeats
from ._tiles import DEFAULT_SPLIT_LIMIT

__all__ = [
    "DEFAULT_SPLIT_LIMIT",
    "Deduplication",
    "clusters",
    "dedup_report",
    "deduplicate",
    "deduplication",
    "fingerprint_pairs",
    "fingerprints",
    "near_duplicate_pairs",
    "near_duplicate_pairs_jaccard",
    "read",
    "remove_repeats",
]
