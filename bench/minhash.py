"""MinHash signatures of veltrane beside rensa's RMinHash and datasketch's MinHash, on real
text (bench/real_texts.py), and the raw-text throughput on 1 KiB documents.

    python bench/minhash.py            full run: three corpora, 100,000 documents of 1 KiB
    python bench/minhash.py --quick    smoke run: 50 texts a corpus, 500 documents, once each

One thread, num_perm = 128, 5-word shingles, the same shingle sets for every program: the
words are re.findall(r"\\w+", text.lower()), and the peers get each text's distinct shingles
(as str for rensa, UTF-8 bytes for datasketch), made in Python beforehand and not timed.
veltrane is timed from the raw text, tokenising included. Best of a few rounds, the programs
interleaved so that a busy spell of the machine slows all of them; the load average is printed
beside the figures. A peer that does not import shows as n/a.
"""

import argparse
import gc
import os

# One thread for every program: rensa's bulk calls may use a Rayon pool.
os.environ["RAYON_NUM_THREADS"] = "1"
import re
import sys
import time
from pathlib import Path

import numpy as np

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))

import real_texts  # noqa: E402
import veltrane  # noqa: E402
from veltrane import _native  # noqa: E402

from report import cpu_model, per_isa, print_table  # noqa: E402

NUM_PERM = 128
NGRAM = 5
TARGET = 3.0  # signatures from raw text at least three times as fast as rensa's from shingles


def shingle_lists(texts):
    out = []
    for data in texts:
        words = re.findall(r"\w+", data.decode("utf-8", errors="replace").lower())
        if len(words) < NGRAM:
            out.append([" ".join(words)] if words else [])
        else:
            out.append(
                list({" ".join(words[i : i + NGRAM]) for i in range(len(words) - NGRAM + 1)})
            )
    return out


def best_times(calls, repeats):
    """{name: best wall time} over `repeats` interleaved rounds, after one warm-up each."""
    gc.collect()
    gc.disable()
    try:
        for call in calls.values():
            call()
        best = dict.fromkeys(calls, float("inf"))
        for _ in range(repeats):
            for name, call in calls.items():
                start = time.perf_counter()
                call()
                best[name] = min(best[name], time.perf_counter() - start)
    finally:
        gc.enable()
    return best


def rensa_calls(shingles, texts):
    """rensa's per-text object, its bulk matrix from str shingles, and its bulk matrix from
    64-bit shingle hashes (veltrane's, of the same sets: only the permutations are left)."""
    try:
        from rensa import RMinHash
    except ImportError:
        return {}

    def per_text():
        for sh in shingles:
            m = RMinHash(num_perm=NUM_PERM, seed=0)
            m.update(sh)
            m.digest()

    values, offsets = veltrane.shingle_hashes(texts, threads=1)
    offsets = offsets.astype(np.uint64)
    return {
        "rensa": per_text,
        "rensa matrix": lambda: RMinHash.digest_matrix_from_token_sets(shingles, NUM_PERM, 0),
        "rensa hashes": lambda: RMinHash.digest_matrix_from_flat_token_hashes(
            values, offsets, NUM_PERM, 0
        ),
    }


def datasketch_call(shingles):
    try:
        from datasketch import MinHash
    except ImportError:
        return None
    encoded = [[s.encode() for s in sh] for sh in shingles]

    def run():
        for sh in encoded:
            m = MinHash(num_perm=NUM_PERM, seed=0)
            m.update_batch(sh)

    return run


def load():
    load1, load5, _ = os.getloadavg()
    return f"load average {load1:.1f} / {load5:.1f} (1 / 5 min) on {os.cpu_count()} cores"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small inputs, seconds")
    args = parser.parse_args()
    limit = 50 if args.quick else 10_000
    repeats = 1 if args.quick else 3
    # datasketch is 30 to 50 times slower: it gets a slice of each corpus, and its rate per
    # shingle is compared.
    datasketch_share = 20

    print(f"MinHash, {NUM_PERM} permutations, {NGRAM}-word shingles, one thread")
    print(f"{cpu_model()}; veltrane kernels: {_native.isa()}")
    rows = []
    for name, loader in real_texts.CORPORA.items():
        texts = loader(limit=limit)
        if not texts:
            rows.append([name, "0", *["n/a"] * 10])
            continue
        start = time.perf_counter()
        shingles = shingle_lists(texts)
        python_shingling = time.perf_counter() - start
        count = sum(len(s) for s in shingles)
        size = sum(len(t) for t in texts)
        calls = {
            "veltrane": lambda texts=texts: veltrane.minhash_signatures(texts, NUM_PERM, threads=1)
        }
        calls.update(rensa_calls(shingles, texts))
        sample = shingles[::datasketch_share]
        if (d := datasketch_call(sample)) is not None:
            calls["datasketch"] = d
        times = best_times(calls, repeats)
        sample_count = sum(len(s) for s in sample)

        def rate(key, n=count, times=times):
            return f"{n / times[key] / 1e6:.1f}" if key in times else "n/a"

        def ratio(key, times=times):
            return f"{times[key] / times['veltrane']:.2f}" if key in times else "n/a"

        rows.append(
            [
                name,
                f"{len(texts):,}",
                f"{size / 1e6:.1f}",
                f"{count / 1e6:.2f}",
                f"{python_shingling:.2f}",
                rate("veltrane"),
                rate("rensa"),
                rate("rensa matrix"),
                rate("rensa hashes"),
                rate("datasketch", sample_count),
                ratio("rensa"),
                ratio("rensa matrix"),
            ]
        )
    print_table(
        "Signatures, millions of shingles a second (veltrane from raw text, peers from shingles)",
        [
            "corpus",
            "texts",
            "MB",
            "M shingles",
            "Python shingling s",
            "veltrane",
            "rensa",
            "rensa matrix",
            "rensa hashes",
            "datasketch",
            "x rensa",
            "x matrix",
        ],
        rows,
        notes=[
            load(),
            "rensa: one RMinHash a text; matrix: digest_matrix_from_token_sets; hashes:",
            "digest_matrix_from_flat_token_hashes of veltrane's shingle hashes",
            f"x rensa, x matrix: that call's time over veltrane's (raw text); target >= {TARGET}",
        ],
    )

    count = 500 if args.quick else 100_000
    docs = real_texts.one_kib_documents(count, per_corpus=limit if args.quick else 2000)
    size = sum(len(d) for d in docs)
    calls = {
        f"{t} thread{'s' if t > 1 else ''}": (
            lambda t=t: veltrane.minhash_signatures(docs, NUM_PERM, threads=t)
        )
        for t in (1, 2)
    }
    times = best_times(calls, repeats)
    print_table(
        f"Raw text to signatures: {count:,} documents of about 1 KiB ({size / 1e6:.0f} MB)",
        ["threads", "MB/s", "documents/s", "s per million documents"],
        [
            [
                name,
                f"{size / t / 1e6:.0f}",
                f"{count / t:,.0f}",
                f"{t / count * 1e6:.1f}",
            ]
            for name, t in times.items()
        ],
        notes=[
            load(),
            f"signatures take {NUM_PERM * 4} bytes a document ({NUM_PERM * 4} MB a million)",
        ],
    )


if __name__ == "__main__":
    sys.exit(per_isa(main))
