"""The ``veltrane`` command line on built-in samples: near-duplicate texts, then repeated chunks.

Run with ``python -m veltrane.demo``. The samples are written to a temporary directory, which
is removed afterwards; each command is shown as you would type it, followed by its output.
"""

import contextlib
import random
import shlex
import sys
import tempfile

from veltrane import cli

# A 64-bit fingerprint differs in about half its bits between unrelated texts (around 32);
# texts that share most of their words land within a few bits, short ones within about ten.
MAX_DISTANCE = 10
# The sample texts have 14 words: one changed word in the middle takes 3 of their 12 shingles
# of 3 words, leaving a Jaccard similarity of about 9 / 15 = 0.6.
JACCARD_THRESHOLD, NGRAM = 0.5, 3

TEXTS = [
    "the quick brown fox jumps over the lazy dog near the river bank at dawn",
    "The quick brown fox jumps over the lazy dog near the river bank at dusk",
    "the quick brown fox jumped over the lazy dog near the river bank at dawn",
    "a completely different sentence about storage systems and backup tools",
    "A completely different sentence about storage systems and backup TOOLS",
    "pipelines move data from one place to another, cleaning it on the way",
]

SAMPLE_SIZE = 256 * 1024
OVERWRITE_AT, OVERWRITE_SIZE = 200_000, 4096
APPENDED = 32 * 1024
INSERT_AT, INSERTED = 1000, b"inserted!"


def run(*argv: str) -> None:
    """Shows a command line and runs it, as a shell would."""
    print(f"$ veltrane {shlex.join(argv)}", flush=True)
    status = cli.main(list(argv))
    sys.stdout.flush()
    if status != 0:
        raise SystemExit(status)
    print()


def write_samples() -> None:
    """The sample texts and three binary samples, in the current directory."""
    with open("texts.txt", "w", encoding="utf-8") as f:
        f.writelines(text + "\n" for text in TEXTS)
    rng = random.Random(2024)
    first = rng.randbytes(SAMPLE_SIZE)
    # Same offsets as the first sample: an overwritten stretch, then new data at the end.
    second = bytearray(first)
    second[OVERWRITE_AT : OVERWRITE_AT + OVERWRITE_SIZE] = rng.randbytes(OVERWRITE_SIZE)
    second += rng.randbytes(APPENDED)
    shifted = first[:INSERT_AT] + INSERTED + first[INSERT_AT:]
    for name, data in (("sample1.bin", first), ("sample2.bin", second), ("shifted.bin", shifted)):
        with open(name, "wb") as f:
            f.write(data)


def near_duplicates() -> None:
    """The pairs of near-duplicate sample texts by Jaccard similarity, clusters, then the same
    by SimHash fingerprints."""
    print("== Near-duplicate texts ==")
    print("texts.txt:")
    for number, text in enumerate(TEXTS, 1):
        print(f"  {number}  {text}")
    print()
    print(
        f"Near duplicates: Jaccard similarity of the sets of {NGRAM}-word shingles at least"
        f" {JACCARD_THRESHOLD}"
    )
    print("(words lower-cased, punctuation ignored). Each pair names its texts by index (from 0)")
    print("and by file and line:")
    jaccard = ["--threshold", str(JACCARD_THRESHOLD), "--ngram", str(NGRAM)]
    run("near-dups", "texts.txt", *jaccard)
    print("Clusters: keep the first text of each, drop the others (texts without a near")
    print("duplicate are not listed):")
    run("near-dups", "texts.txt", *jaccard, "--format", "clusters")
    print("The same texts by 64-bit SimHash fingerprints:")
    run("fingerprint", "texts.txt")
    print(
        f"Threshold: distance <= {MAX_DISTANCE} of 64 bits (unrelated texts are about 32 apart)."
    )
    run("near-dups", "texts.txt", "--method", "simhash", "--max-distance", str(MAX_DISTANCE))


def exact_duplicates() -> None:
    """Repeated chunks across files: edited in place, and shifted by an insertion."""
    print("== Exact duplicates (content-defined chunks, streamed from the files) ==")
    print(
        f"sample2.bin is sample1.bin with {OVERWRITE_SIZE:,} bytes overwritten at offset"
        f" {OVERWRITE_AT:,} and {APPENDED:,} bytes appended:"
    )
    run("dedup", "sample1.bin", "sample2.bin")
    print("Only the chunks that hold the overwritten block and the appended bytes are new.")
    print()
    print(
        f"shifted.bin is sample1.bin with {len(INSERTED)} bytes inserted at offset {INSERT_AT:,}:"
    )
    run("dedup", "sample1.bin", "shifted.bin")
    print(
        "A GearCDC cut depends only on the 64 bytes before it, so the insertion changes only the"
    )
    print("chunk that holds it. CDC restarts its cut hash at every chunk, so there an insertion")
    print("shifts every cut behind it and nothing after it repeats:")
    run("dedup", "--chunker", "cdc", "--chunk-size", "1024", "sample1.bin", "shifted.bin")


def main() -> None:
    """Writes the samples to a temporary directory and runs the commands there."""
    with tempfile.TemporaryDirectory(prefix="veltrane-demo-") as tmp, contextlib.chdir(tmp):
        write_samples()
        near_duplicates()
        exact_duplicates()


if __name__ == "__main__":
    main()
