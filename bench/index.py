"""The lasting Jaccard index and the out-of-core search on generated documents.

    python bench/index.py            full run: 100,000 documents of about 1 KiB
    python bench/index.py --quick    smoke run: 2,000 documents

Documents are 170 words drawn from a 20,000-word vocabulary, one in twenty an edited copy of
another (5 words replaced; about 0.75 similar) and one in fifty a copy with one word replaced
(about 0.95). The index: ten shards added one at a time, then every document queried; its bytes
on disk a document, apart for the band hashes and for what verification keeps. The
out-of-core search: in-memory time beside a memory limit of a quarter of what the bands need
(so that it spills), batches of 10,000 documents. Checks (exit status 1 when one fails): the
index's answers equal the in-memory pairs, and the out-of-core pairs equal them too.
Figures are reported, never held against a threshold.
"""

import argparse
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))

import veltrane  # noqa: E402

from report import cpu_model, per_isa, print_table  # noqa: E402

WORDS = 170
BATCH = 10_000


def documents(n: int) -> list[str]:
    rng = np.random.default_rng(20240611)
    vocab = np.array([f"w{k}" for k in range(20_000)])
    words = rng.integers(0, len(vocab), size=(n, WORDS))
    for k in range(0, n, 20):
        words[k] = words[rng.integers(n)]
        words[k, rng.integers(WORDS, size=5)] = rng.integers(0, len(vocab), 5)
    for k in range(10, n, 50):
        words[k] = words[rng.integers(n)]
        words[k, rng.integers(WORDS)] = rng.integers(len(vocab))
    return [" ".join(vocab[w]) for w in words]


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="2,000 documents")
    args = parser.parse_args()
    n = 2_000 if args.quick else 100_000
    texts = documents(n)
    failed = False

    start = time.perf_counter()
    pairs = veltrane.near_duplicate_pairs_jaccard(texts)
    in_memory = time.perf_counter() - start
    want: list[list[int]] = [[] for _ in texts]
    for i, j, _ in pairs:
        want[i].append(int(j))
        want[j].append(int(i))
    for row in want:
        row.sort()

    with tempfile.TemporaryDirectory() as tmp:
        index = veltrane.JaccardIndex(Path(tmp) / "index")
        start = time.perf_counter()
        for shard in np.array_split(np.arange(n), 10):
            index.add([texts[k] for k in shard.tolist()], ids=shard.tolist())
        adding = time.perf_counter() - start
        start = time.perf_counter()
        found = index.query(texts)
        querying = time.perf_counter() - start
        got = [sorted(m.id for m in row if m.id != k) for k, row in enumerate(found)]
        if got != want:
            print("FAILED: the index's answers differ from the in-memory pairs")
            failed = True
        bands = sum(p.stat().st_size for p in index.path.glob("seg-*.npy"))
        catalogue = sum(p.stat().st_size for p in index.path.glob("catalogue.sqlite*"))
        shape = f"{index.bands} bands of {index.rows} rows"
        index.close()

        start = time.perf_counter()
        memory = max(n * index.bands * 16 // 4, BATCH * index.bands * 32)
        spilled = veltrane.near_duplicate_pairs_jaccard_out_of_core(
            (texts[s : s + BATCH] for s in range(0, n, BATCH)),
            lambda ids: [texts[k] for k in ids.tolist()],
            memory=memory,
            tmp_dir=tmp,
        )
        out_of_core = time.perf_counter() - start
        if not np.array_equal(spilled, pairs):
            print("FAILED: the out-of-core pairs differ from the in-memory ones")
            failed = True

    mean = sum(map(len, texts)) / n
    print_table(
        f"JaccardIndex: {n:,} documents of {mean:.0f} bytes, ten shards, {shape} "
        f"({cpu_model()}; shared machines make times noisy)",
        ["measure", "value"],
        [
            ["add, ten shards", f"{adding:.2f} s ({n / adding:,.0f} documents/s)"],
            ["query every document", f"{querying:.2f} s ({n / querying:,.0f} documents/s)"],
            ["band hashes on disk", f"{bands / n:.0f} bytes/document"],
            ["verification data (catalogue)", f"{catalogue / n:.0f} bytes/document"],
            ["in-memory search", f"{in_memory:.2f} s"],
            [f"out-of-core, memory {memory / 1e6:.0f} MB", f"{out_of_core:.2f} s"],
        ],
    )
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(per_isa(main))
