"""Deduplication of texts and byte data: near-duplicate texts by Jaccard similarity of word
shingles (MinHash) or by SimHash, and repeated content in files by content-defined chunks.

Every public name is importable from ``veltrane``. The modules, each one job, each importing
only those above it:

- ``veltrane.defaults``: the defaults every function, the command line and Dask share.
- ``veltrane.simhash``: SimHash fingerprints of many texts, every pair within a Hamming
  distance, clusters, and :class:`NearDuplicateIndex` for streams.
- ``veltrane.minhash``: words, shingles and MinHash signatures.
- ``veltrane.jaccard``: near duplicates by Jaccard similarity: LSH bands over the signatures,
  verified exactly against the shingle sets.
- ``veltrane.index``: :class:`JaccardIndex`, near duplicates by Jaccard against a lasting
  index on disk, added to, queried and removed from in batches.
- ``veltrane.outofcore``: the Jaccard search within a memory limit, band hashes spilled to
  disk in sorted runs and texts re-read for verification.
- ``veltrane.gear``: :class:`GearCDC`, shift-resistant content-defined chunking.
- ``veltrane.chunker``: the :class:`Chunker` protocol that the streams and reports take, and
  :class:`CDCChunker`, ``CDC`` as a chunker.
- ``veltrane.stream``: chunks of files and streams of any size, read piece by piece.
- ``veltrane.dedup``: :func:`deduplicate_texts` (which texts to keep) and
  :func:`dedup_report` (how much of a set of files repeats).
- ``veltrane.store``: :class:`Store`, a deduplicating store of snapshots of trees.
- ``veltrane.cli`` (the ``veltrane`` command) and ``veltrane.dask`` (beyond one machine).

Long-running functions take ``progress=``, called as ``progress(step, done, total)``; see
:class:`Progress`. ``CDC``, ``SimHash`` and ``__version__`` are those of the base module
``dedup_core``, re-exported unchanged; the README's Layout section says how the two native
modules divide the work.
"""

# Both native modules check the processor in their import entries, so the order is free.
from dedup_core import CDC, SimHash, __version__

from . import _command  # noqa: F401  (first: before numpy is imported)
from ._pairs import Progress, clusters
from .chunker import CDCChunker, Chunker
from .dedup import ChunkStats, DedupReport, TextDeduplication, dedup_report, deduplicate_texts
from .gear import GearCDC
from .index import IndexMatch, JaccardIndex
from .jaccard import (
    iter_near_duplicate_pairs_jaccard,
    jaccard_similarities,
    lsh_parameters,
    near_duplicate_clusters_jaccard,
    near_duplicate_pairs_jaccard,
)
from .minhash import minhash_signatures, shingle_hashes
from .outofcore import (
    BandRuns,
    near_duplicate_clusters_jaccard_out_of_core,
    near_duplicate_pairs_jaccard_out_of_core,
)
from .simhash import (
    MAX_DISTANCE,
    NearDuplicateIndex,
    fingerprints,
    fingerprints64,
    iter_near_duplicate_pairs,
    near_duplicate_clusters,
    near_duplicate_pairs,
)
from .store import Store, StoreError
from .stream import iter_chunk_spans, iter_chunks

__all__ = [
    "BandRuns",
    "CDC",
    "CDCChunker",
    "ChunkStats",
    "Chunker",
    "DedupReport",
    "GearCDC",
    "IndexMatch",
    "JaccardIndex",
    "MAX_DISTANCE",
    "NearDuplicateIndex",
    "Progress",
    "SimHash",
    "Store",
    "StoreError",
    "TextDeduplication",
    "__version__",
    "clusters",
    "dedup_report",
    "deduplicate_texts",
    "fingerprints",
    "fingerprints64",
    "iter_chunk_spans",
    "iter_chunks",
    "iter_near_duplicate_pairs",
    "iter_near_duplicate_pairs_jaccard",
    "jaccard_similarities",
    "lsh_parameters",
    "minhash_signatures",
    "near_duplicate_clusters",
    "near_duplicate_clusters_jaccard",
    "near_duplicate_clusters_jaccard_out_of_core",
    "near_duplicate_pairs",
    "near_duplicate_pairs_jaccard",
    "near_duplicate_pairs_jaccard_out_of_core",
    "shingle_hashes",
]
