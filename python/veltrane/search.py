"""The old home of the SimHash search, kept importable for one release.

Import from :mod:`veltrane` (or :mod:`veltrane.simhash`, :mod:`veltrane.dedup`) instead.
"""

from ._pairs import clusters
from .dedup import TextDeduplication, deduplicate_texts
from .defaults import PAIR_BATCH
from .simhash import (
    MAX_DISTANCE,
    PAIR_DTYPE,
    NearDuplicateIndex,
    fingerprints,
    fingerprints64,
    iter_near_duplicate_pairs,
    near_duplicate_clusters,
    near_duplicate_pairs,
)

__all__ = [
    "MAX_DISTANCE",
    "PAIR_BATCH",
    "PAIR_DTYPE",
    "NearDuplicateIndex",
    "TextDeduplication",
    "clusters",
    "deduplicate_texts",
    "fingerprints",
    "fingerprints64",
    "iter_near_duplicate_pairs",
    "near_duplicate_clusters",
    "near_duplicate_pairs",
]
