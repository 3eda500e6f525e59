"""Deduplication of texts and byte data: near-duplicate texts by Jaccard similarity of word
shingles (MinHash) or by SimHash, and repeated content in files by content-defined chunks.

Every public name is importable from ``veltrane``, each loaded on first use (``import
veltrane`` loads no search, no reader and none of pyarrow, SQLite or Dask). The packages,
each module one job, each importing only those below it in this list:

- ``veltrane.defaults``: the defaults every function, the command line and Dask share.
- ``veltrane.sketch``: signatures of texts: ``minhash`` (words, shingles, MinHash rows),
  ``simhash`` (fingerprints) and ``digest`` (128-bit digests of exact copies).
- ``veltrane.search``: the searches: ``hamming`` (SimHash pairs, clusters and
  :class:`FingerprintSet` for streams), ``jaccard`` (LSH bands verified exactly, in memory),
  ``outofcore`` (within a memory bound: sorted runs on disk, texts read again), ``index``
  (:class:`JaccardIndex`, a lasting index on disk) and ``exact`` (groups of equal digests).
- ``veltrane.keep``: the keep step: keep orders, and which text is kept in place of which.
- ``veltrane.texts``: :func:`deduplicate_texts`, the texts in memory from signing to keeping.
- ``veltrane.corpus``: corpora in (shards, formats, compression, the one-pass signed reader)
  and out (the kept records, the duplicates).
- ``veltrane.pipeline``: :func:`deduplicate_corpus`, a corpus from its files to the kept
  corpus, in memory, within a memory bound or against a lasting index.
- ``veltrane.repeats``: :func:`remove_repeats`, the lines, paragraphs or long runs of words
  of a corpus's texts that occurred earlier in it, cut out.
- ``veltrane.files``: the file job: chunkers (``gear``, ``chunker``), chunk streams
  (``stream``), the tree report (``tree``, ``report``) and its ``chunk_index``.
- ``veltrane.store``: :class:`Store`, a deduplicating store of snapshots of trees.
- ``veltrane.cli`` (the ``veltrane`` command: parses, calls the above, formats) and
  ``veltrane.dask`` (beyond one machine).

The old module names (``veltrane.minhash``, ``veltrane.jaccard``, ``veltrane.dedup``...) and
the old names of renamed classes stay importable for one release (see the README).

Long-running functions take ``progress=``, called as ``progress(step, done, total)``; see
:class:`Progress`. ``CDC``, ``SimHash`` and ``__version__`` are those of the base module
``dedup_core``, re-exported unchanged; the README's Layout section says how the two native
modules divide the work.
"""

from __future__ import annotations

import importlib
from typing import TYPE_CHECKING, Any

# Both native modules check the processor in their import entries, so the order is free.
from dedup_core import CDC, SimHash, __version__

from . import (
    _command,  # noqa: F401  (first: before numpy is imported)
    _moved,
)

_moved.install()

#: The modules and packages reached as attributes of the package, imported on first use.
_MODULES = frozenset(
    {
        "cli",
        "corpus",
        "dask",
        "defaults",
        "files",
        "keep",
        "pipeline",
        "search",
        "sketch",
        "store",
        "texts",
    }
)

#: Where each public name lives; the module is imported when the name is first asked for.
_HOMES: dict[str, str] = {
    "Progress": "._pairs",
    "ProgressBar": ".progress",
    "deduplicate_corpus": ".pipeline.job",
    "CorpusDeduplication": ".pipeline.plan",
    "Corpus": ".corpus.source",
    "CorpusError": ".corpus.inputs",
    "FingerprintSet": ".search.hamming",
    "JaccardParams": ".search.jaccard",
    "clusters": "._pairs",
    "CDCChunker": ".files.chunker",
    "Chunker": ".files.chunker",
    "GearCDC": ".files.gear",
    "iter_chunk_spans": ".files.stream",
    "iter_chunks": ".files.stream",
    "ChunkStats": ".files.report",
    "DedupReport": ".files.report",
    "dedup_report": ".files.tree",
    "TextDeduplication": ".texts",
    "Repeats": ".repeats",
    "RepeatsSummary": ".repeats",
    "remove_repeats": ".repeats",
    "Store": ".store",
    "StoreError": ".store",
    "deduplicate_texts": ".texts",
    "fingerprints": ".sketch.simhash",
    "fingerprints64": ".sketch.simhash",
    "minhash_signatures": ".sketch.minhash",
    "shingle_hashes": ".sketch.minhash",
    "text_digests": ".sketch.digest",
    "MAX_DISTANCE": ".search.hamming",
    "NearDuplicateIndex": ".search.hamming",
    "iter_near_duplicate_pairs": ".search.hamming",
    "near_duplicate_clusters": ".search.hamming",
    "near_duplicate_pairs": ".search.hamming",
    "ExactIndex": ".search.exact_index",
    "RepeatIndex": ".repeats.index",
    "IndexMatch": ".search.index",
    "JaccardIndex": ".search.index",
    "iter_near_duplicate_pairs_jaccard": ".search.jaccard",
    "jaccard_similarities": ".search.jaccard",
    "lsh_parameters": ".search.banding",
    "near_duplicate_clusters_jaccard": ".search.jaccard",
    "near_duplicate_pairs_jaccard": ".search.jaccard",
    "BandRuns": ".search.outofcore",
    "near_duplicate_clusters_jaccard_out_of_core": ".search.outofcore",
    "near_duplicate_pairs_jaccard_out_of_core": ".search.outofcore",
}

__all__ = [
    "BandRuns",
    "CDC",
    "CDCChunker",
    "ChunkStats",
    "Chunker",
    "Corpus",
    "CorpusDeduplication",
    "CorpusError",
    "DedupReport",
    "ExactIndex",
    "FingerprintSet",
    "GearCDC",
    "IndexMatch",
    "JaccardIndex",
    "JaccardParams",
    "MAX_DISTANCE",
    "NearDuplicateIndex",
    "Progress",
    "ProgressBar",
    "RepeatIndex",
    "Repeats",
    "RepeatsSummary",
    "SimHash",
    "Store",
    "StoreError",
    "TextDeduplication",
    "__version__",
    "clusters",
    "dedup_report",
    "deduplicate_corpus",
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
    "remove_repeats",
    "shingle_hashes",
    "text_digests",
]


def __getattr__(name: str) -> Any:
    home = _HOMES.get(name)
    if home is not None:
        value = getattr(importlib.import_module(home, __name__), name)
    elif name in _MODULES or f"{__name__}.{name}" in _moved.MOVED:
        # A module, as ``veltrane.simhash`` was once imported with the package.
        value = importlib.import_module(f".{name}", __name__)
    else:
        raise AttributeError(f"module 'veltrane' has no attribute {name!r}")
    globals()[name] = value
    return value


def __dir__() -> list[str]:
    return sorted({*globals(), *_HOMES})


if TYPE_CHECKING:
    from ._pairs import Progress, clusters
    from .corpus.inputs import CorpusError
    from .corpus.source import Corpus
    from .files.chunker import CDCChunker, Chunker
    from .files.gear import GearCDC
    from .files.report import ChunkStats, DedupReport
    from .files.stream import iter_chunk_spans, iter_chunks
    from .files.tree import dedup_report
    from .pipeline.job import deduplicate_corpus
    from .pipeline.plan import CorpusDeduplication
    from .progress import ProgressBar
    from .repeats import Repeats, RepeatsSummary, remove_repeats
    from .repeats.index import RepeatIndex
    from .search.banding import lsh_parameters
    from .search.exact_index import ExactIndex
    from .search.hamming import (
        MAX_DISTANCE,
        FingerprintSet,
        NearDuplicateIndex,
        iter_near_duplicate_pairs,
        near_duplicate_clusters,
        near_duplicate_pairs,
    )
    from .search.index import IndexMatch, JaccardIndex
    from .search.jaccard import (
        JaccardParams,
        iter_near_duplicate_pairs_jaccard,
        jaccard_similarities,
        near_duplicate_clusters_jaccard,
        near_duplicate_pairs_jaccard,
    )
    from .search.outofcore import (
        BandRuns,
        near_duplicate_clusters_jaccard_out_of_core,
        near_duplicate_pairs_jaccard_out_of_core,
    )
    from .sketch.digest import text_digests
    from .sketch.minhash import minhash_signatures, shingle_hashes
    from .sketch.simhash import fingerprints, fingerprints64
    from .store import Store, StoreError
    from .texts import TextDeduplication, deduplicate_texts
