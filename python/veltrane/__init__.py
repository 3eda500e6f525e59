"""Deduplication of texts (SimHash near duplicates) and byte data (content-defined chunks).

The tools come from the native module ``dedup_core`` and are re-exported here unchanged:

``SimHash(bits=64)``
    ``compute(text)`` turns a ``str`` (as UTF-8), ``bytes`` or ``bytearray`` into a
    fingerprint of ``bits // 8`` bytes. Tokens are the pieces between space bytes, each
    lower-cased with the C library's ``tolower`` under the current locale and hashed with
    libstdc++'s string hash; bit *i* is the majority vote of bit *i mod 64* of the token
    hashes. ``SimHash.hamming_distance(fp1, fp2)`` counts the bits in which the first
    ``len(fp1)`` bytes differ (``ValueError`` when ``fp2`` is shorter). Texts that share most
    of their words are a few bits apart; unrelated texts about ``bits / 2``.

``CDC(chunk_size=1024)``
    ``chunk(data)`` cuts ``bytes`` into content-defined chunks of at most ``2 * chunk_size``
    bytes that concatenate to ``data``. ``deduplicate(chunks)`` keeps the first occurrence of
    each distinct chunk, in order, and returns ``(unique_chunks, reduction_percent)`` with the
    percentage ``(1 - unique / total) * 100``. Chunks whose fingerprints collide but whose bytes
    differ are both kept.

``__version__``
    The version of the native module.

Near duplicates at corpus scale (``veltrane.search``, re-exported here):
``fingerprints``, ``fingerprints64``, ``near_duplicate_pairs``, ``iter_near_duplicate_pairs``,
``near_duplicate_clusters``, ``NearDuplicateIndex``, ``clusters`` and ``deduplicate_texts``.
See their docstrings.

Near duplicates by Jaccard similarity of word shingles (``veltrane.minhash``, re-exported
here): ``minhash_signatures(texts, num_perm=128, *, ngram=5, seed=0, threads=None)`` and
``shingle_hashes(texts, *, ngram=5, threads=None)``; words are
``re.findall(r"\\w+", text.lower())``. ``veltrane.lsh``, re-exported here, searches with
them: ``near_duplicate_pairs_jaccard`` and ``near_duplicate_clusters_jaccard`` find near
duplicates from MinHash signatures by LSH bands and verify them; ``lsh_parameters`` says
which bands they use; ``jaccard_similarities`` measures given pairs of texts.

Files of any size (``veltrane.stream``, re-exported here): ``iter_chunks(source,
chunk_size=1024, *, read_size=1 << 20)`` yields the chunks of ``CDC(chunk_size).chunk`` of a
path, binary file or bytes-like object while holding about ``read_size + 2 * chunk_size``
bytes; ``iter_chunk_spans`` yields their ``(offset, length)``; ``dedup_report(paths,
chunk_size=1024)`` counts the chunks that repeat within and across files and returns a
``DedupReport`` of ``ChunkStats``.

Shift-resistant chunking (``veltrane.gear``, re-exported here): ``GearCDC(avg_size=8192, *,
min_size=None, max_size=None, normalization=2, key=None)`` cuts where a gear hash of the last
64 bytes says so, so an insertion moves only the cuts near it; ``cut_points(data)`` returns
the chunk ends as an ``int64`` array, ``chunk(data)`` the chunks.

The command line ``veltrane`` (``python -m veltrane``) runs ``near-dups``, ``dedup`` and
``fingerprint``; see ``veltrane --help``.
"""

# Both native modules check the processor in their import entries, so the order is free.
from dedup_core import CDC, SimHash, __version__

from .gear import GearCDC
from .lsh import (
    iter_near_duplicate_pairs_jaccard,
    jaccard_similarities,
    lsh_parameters,
    near_duplicate_clusters_jaccard,
    near_duplicate_pairs_jaccard,
)
from .minhash import minhash_signatures, shingle_hashes
from .search import (
    MAX_DISTANCE,
    NearDuplicateIndex,
    TextDeduplication,
    clusters,
    deduplicate_texts,
    fingerprints,
    fingerprints64,
    iter_near_duplicate_pairs,
    near_duplicate_clusters,
    near_duplicate_pairs,
)
from .stream import ChunkStats, DedupReport, dedup_report, iter_chunk_spans, iter_chunks

__all__ = [
    "CDC",
    "ChunkStats",
    "DedupReport",
    "GearCDC",
    "MAX_DISTANCE",
    "NearDuplicateIndex",
    "SimHash",
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
    "near_duplicate_pairs",
    "near_duplicate_pairs_jaccard",
    "shingle_hashes",
]
