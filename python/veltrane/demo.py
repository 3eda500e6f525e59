"""The two tools on built-in samples: near-duplicate texts, then repeated chunks of bytes.

Run with ``python -m veltrane.demo``.
"""

import random

from dedup_core import CDC, SimHash

from veltrane import deduplicate_texts, fingerprints64, near_duplicate_pairs

# A 64-bit fingerprint differs in about half its bits between unrelated texts (around 32);
# texts that share most of their words land within a few bits.
THRESHOLD = 10

TEXTS = [
    "the quick brown fox jumps over the lazy dog near the river bank at dawn",
    "The quick brown fox jumps over the lazy dog near the river bank at dusk",
    "the quick brown fox jumped over the lazy dog near the river bank at dawn",
    "a completely different sentence about storage systems and backup tools",
    "A completely different sentence about storage systems and backup TOOLS",
    "pipelines move data from one place to another, cleaning it on the way",
]


def near_duplicates() -> None:
    """Fingerprint the sample texts and list the pairs within the threshold."""
    simhash = SimHash(64)
    fingerprints = [simhash.compute(text) for text in TEXTS]
    print("Near-duplicate texts (SimHash, 64 bits)")
    for i, (text, fp) in enumerate(zip(TEXTS, fingerprints)):
        print(f"  [{i}] {fp.hex()}  {text}")
    print(f"  threshold: distance <= {THRESHOLD} of 64 bits")
    for i in range(len(TEXTS)):
        for j in range(i + 1, len(TEXTS)):
            distance = SimHash.hamming_distance(fingerprints[i], fingerprints[j])
            verdict = "near duplicates" if distance <= THRESHOLD else ""
            print(f"  [{i}] ~ [{j}]  distance {distance:2d}  {verdict}".rstrip())


def corpus_search() -> None:
    """The same texts through the batch API: every pair within the threshold, and clusters."""
    fps = fingerprints64(TEXTS)
    print()
    print(f"Near-duplicate search over the batch (max_distance {THRESHOLD})")
    for i, j, distance in near_duplicate_pairs(fps, THRESHOLD).tolist():
        print(f"  pair [{i}] ~ [{j}]  distance {distance}")
    result = deduplicate_texts(TEXTS, THRESHOLD)
    print(f"  keep: {result.keep.tolist()}")
    for dropped, kept in result.duplicate_of.items():
        print(f"  drop [{dropped}]: near duplicate of [{kept}]")


def exact_duplicates() -> None:
    """Chunk two overlapping byte strings and deduplicate their chunks together."""
    rng = random.Random(2024)
    first = rng.randbytes(256 * 1024)
    # Same offsets as the first sample: an overwritten block, then new data at the end.
    second = bytearray(first)
    second[200_000:204_096] = rng.randbytes(4096)
    second = bytes(second) + rng.randbytes(32 * 1024)
    cdc = CDC(1024)
    chunks1, chunks2 = cdc.chunk(first), cdc.chunk(second)
    unique, percent = cdc.deduplicate(chunks1 + chunks2)
    print()
    print("Exact duplicates (content-defined chunks, chunk_size 1024)")
    print(f"  sample 1: {len(first):,} bytes in {len(chunks1)} chunks")
    print(f"  sample 2: {len(second):,} bytes in {len(chunks2)} chunks"
          " (sample 1 with 4 KiB overwritten at offset 200,000 and 32 KiB appended)")
    print(f"  together: {len(chunks1) + len(chunks2)} chunks, {len(unique)} unique,"
          f" reduction {percent:.1f}%")
    print(f"  unique bytes stored: {sum(map(len, unique)):,} of {len(first) + len(second):,}")
    print("  chunks before the overwritten block repeat; behind it, chunks repeat again only"
          " where the cut points happen to line up once more")

    # The cut hash restarts at every chunk start, so cut points are found again only where
    # the data lines up at the same offsets; an insertion shifts everything behind it.
    shifted = first[:1000] + b"inserted!" + first[1000:]
    _, percent = cdc.deduplicate(chunks1 + cdc.chunk(shifted))
    print(f"  sample 1 with 9 bytes inserted at offset 1,000 instead: reduction {percent:.1f}%"
          " (cut points do not resynchronise after a shift)")


def main() -> None:
    """Run both parts of the demo."""
    near_duplicates()
    corpus_search()
    exact_duplicates()


if __name__ == "__main__":
    main()
