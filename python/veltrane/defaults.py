"""The defaults of the package, in one place: the library's signatures, the command line and
the Dask functions all read them from here, so that one call means the same everywhere."""

from __future__ import annotations

#: Near duplicates by Jaccard: the least similarity of a pair of shingle sets.
DEFAULT_THRESHOLD = 0.8
#: Words per shingle.
DEFAULT_NGRAM = 5
#: Values per MinHash signature: 128 keeps the estimate's standard error near 0.035 at 0.8,
#: and candidates are verified exactly anyway.
DEFAULT_NUM_PERM = 128
#: Near duplicates by SimHash: the largest Hamming distance of a pair of 64-bit fingerprints.
DEFAULT_MAX_DISTANCE = 3
#: How ``deduplicate_texts`` and ``veltrane near-dups`` compare texts by default.
DEFAULT_METHOD = "minhash"

#: GearCDC's average chunk length; min and max follow from it (avg / 4 and 8 * avg).
DEFAULT_AVG_SIZE = 8192
#: ``CDC()``'s default chunk_size, the default of the streaming functions given no chunker.
DEFAULT_CHUNK_SIZE = 1024
#: Bytes per read of the streaming functions: large enough that rescanning a carried tail
#: costs little.
DEFAULT_READ_SIZE = 1 << 20

#: Rows per batch of the pair iterators: 1.1 MB of rows, few enough to stay in memory beside
#: anything, many enough that the per-batch overhead is negligible.
PAIR_BATCH = 1 << 16

#: Output lines (pairs, clusters, duplicates) joined per write.
WRITE_BATCH = 10_000
