"""The old name of :mod:`veltrane.jaccard`, kept importable for one release."""

from .jaccard import (
    JACCARD_PAIR_DTYPE,
    iter_near_duplicate_pairs_jaccard,
    jaccard_similarities,
    lsh_parameters,
    near_duplicate_clusters_jaccard,
    near_duplicate_pairs_jaccard,
)

__all__ = [
    "JACCARD_PAIR_DTYPE",
    "iter_near_duplicate_pairs_jaccard",
    "jaccard_similarities",
    "lsh_parameters",
    "near_duplicate_clusters_jaccard",
    "near_duplicate_pairs_jaccard",
]
