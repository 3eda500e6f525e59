"""The whole deduplication on Dask (veltrane.dask.deduplicate) beside the single machine's
veltrane.deduplicate_texts on the same texts.

    python bench/dask_dedup.py --docs 200000     a generated corpus of documents of ~1 KiB
    python bench/dask_dedup.py --quick           smoke run: 20,000 documents

The corpus is bench/corpus_dedup.py's (Zipf words, 5% edited copies), written as Parquet
shards that the workers read. The single machine reads the same shards with pyarrow and runs
deduplicate_texts (every core); Dask runs on a LocalCluster of 2 single-threaded worker
processes, from the shards to Parquet partitions of the kept rows and of the dropped rows.
Reported: both wall times, their ratio, the machine's load, and whether both kept the same
rows with the same keepers (exit status 1 if not). The Dask time runs from the paths to the
written partitions; starting the cluster (its processes and imports) is shown apart and not
counted, as a long-lived cluster would not pay it per job. The single machine's time reads the
texts and decides, writing nothing. Each run once: figures on a shared machine are noisy.
"""

from __future__ import annotations

import argparse
import logging
import os
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pyarrow.parquet as pq

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import corpus_dedup  # noqa: E402
import veltrane  # noqa: E402

try:
    import veltrane.dask as vdask
    from distributed import Client, LocalCluster
except ImportError as e:
    sys.exit(f"dask_dedup: {e}; install the extra: pip install 'veltrane[dask]'")


def shards(tmp: Path, docs: int, count: int) -> Path:
    jsonl = tmp / "corpus.jsonl"
    # Records average about 1,150 bytes with their JSON: enough of them, then the first docs.
    corpus_dedup.generate(jsonl, docs * 1250)
    frame = pd.read_json(jsonl, lines=True).iloc[:docs]
    jsonl.unlink()
    if len(frame) < docs:
        sys.exit(f"dask_dedup: generated {len(frame):,} documents, fewer than {docs:,}")
    folder = tmp / "in"
    folder.mkdir()
    for k in range(count):
        rows = frame.iloc[k * len(frame) // count : (k + 1) * len(frame) // count]
        rows.to_parquet(folder / f"part{k:03d}.parquet", index=False)
    return folder


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--docs", type=int, default=200_000)
    parser.add_argument("--shards", type=int, default=0, help="default: one per 25,000 docs")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument(
        "--corpus", type=Path, help="keep the shards in this folder and reuse them when present"
    )
    args = parser.parse_args()
    docs = 20_000 if args.quick else args.docs
    count = args.shards or max(2, docs // 25_000)
    with tempfile.TemporaryDirectory() as name:
        tmp = Path(name)
        if args.corpus is not None and (args.corpus / "in").is_dir():
            folder = args.corpus / "in"
        else:
            if args.corpus is not None:
                args.corpus.mkdir(parents=True, exist_ok=True)
            folder = shards(args.corpus or tmp, docs, count)
        size = sum(f.stat().st_size for f in folder.iterdir())
        print(f"{docs:,} documents in {count} Parquet shards, {size / 1e6:.0f} MB")
        start = time.perf_counter()
        texts = pq.read_table(folder, columns=["text"])["text"].to_pylist()
        read = time.perf_counter() - start
        want = veltrane.deduplicate_texts(texts)
        single = time.perf_counter() - start
        del texts
        load = os.getloadavg()[0]
        started = time.perf_counter()
        with (
            LocalCluster(
                n_workers=2,
                threads_per_worker=1,
                processes=True,
                dashboard_address=":0",
                silence_logs=logging.ERROR,
            ) as cluster,
            Client(cluster),
        ):
            started = time.perf_counter() - started
            start = time.perf_counter()
            vdask.deduplicate(folder, output=tmp / "out", duplicates=tmp / "dups")
            spread = time.perf_counter() - start
        # The ids are the row positions; the files' order is not the partitions' order.
        kept = np.sort(pq.read_table(tmp / "out", columns=["id"])["id"].to_numpy())
        dups = pq.read_table(tmp / "dups").to_pandas().sort_values("row")
        dropped = np.flatnonzero(want.duplicate_of >= 0)
        same = (
            np.array_equal(kept, want.keep)
            and np.array_equal(dups["row"].to_numpy(), dropped)
            and np.array_equal(dups["keeper"].to_numpy(), want.duplicate_of[dropped])
            and np.array_equal(dups["similarity"].to_numpy(), want.similarity[dropped])
        )
        print(f"load average {load:.1f} before Dask, {os.getloadavg()[0]:.1f} after (2 cores)")
        print(f"single machine: {single:.1f} s ({read:.1f} s of it reading the texts)")
        print(f"dask, 2 workers: {spread:.1f} s, {spread / single:.1f} x")
        print(f"  starting the cluster, not counted: {started:.1f} s")
        print(f"kept {len(kept):,} of {docs:,}; same as the single machine: {same}")
        return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
