"""Near-duplicate search on Dask (veltrane.dask) beside the single-machine search.

    python bench/dask_hamming.py            full run: 10,000,000 fingerprints, a few minutes
    python bench/dask_hamming.py --quick    smoke run: 20,000 fingerprints in 2 partitions

The fingerprints are random plus 10% planted copies at distances 0 to 3, as bench/hamming.py
plants them; they are written as Parquet files, one per partition, and read by the workers,
as a real cluster would read them from shared storage. The same fingerprints go through
veltrane.near_duplicate_pairs on this machine (every core) and through
veltrane.dask.fingerprint_pairs on a LocalCluster of 2 single-threaded worker processes.

Reported: both wall times and their ratio, each worker's peak resident memory (its process's
VmHWM, read on the worker after the run) beside the 2 GiB target, and whether both
searches found the same pairs (the one check: a mismatch makes the exit status 1). Figures
are reported, never held against a threshold.
"""

import argparse
import logging
import os
import platform
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import pandas as pd
import veltrane

try:
    import dask
    import dask.dataframe as dd
    import veltrane.dask as vdask
    from distributed import Client, LocalCluster
except ImportError as e:
    sys.exit(f"dask_hamming: {e}; install the extra: pip install 'veltrane[dask]'")

MAX_DISTANCE = 3  # the usual threshold for 64-bit SimHash near duplicates
PLANTED_DISTANCES = (0, 1, 2, 3)  # every distance up to the radius, equally often
PLANTED_SHARE = 0.1  # planted copies per random fingerprint, as in bench/hamming.py
SEED = 20240611  # bench/corpus.py's seed: any fixed value does
WORKERS = 2  # the benchmark machine has 2 cores: one single-threaded worker process each
# 500,000 rows a partition: 8 MB of fingerprints and 8 MB of ids, so that a worker holds a
# few partitions of every stage at once well inside its memory.
ROWS_PER_PARTITION = 500_000
# Generous so that Dask neither spills nor pauses: the figure measured is what the search
# needs, to be compared with the 2 GiB target.
WORKER_MEMORY_LIMIT = "8GiB"
TARGET_PEAK_BYTES = 2 << 30
GIB = 1 << 30


def planted_fingerprints(total: int) -> np.ndarray:
    """``total`` fingerprints: random ones plus PLANTED_SHARE as many copies of randomly
    chosen ones with 0 to 3 distinct bits flipped, shuffled together."""
    rng = np.random.default_rng(SEED)
    planted = int(round(total * PLANTED_SHARE / (1 + PLANTED_SHARE)))
    random_count = total - planted
    base = rng.integers(0, 1 << 64, size=random_count, dtype=np.uint64, endpoint=False)
    sources = rng.integers(0, random_count, size=planted)
    distances = rng.choice(np.array(PLANTED_DISTANCES), size=planted)
    copies = base[sources]
    # Distinct bit positions per copy: the first d of a random permutation of 0..63, drawn
    # in batches so the 64-column matrix stays small.
    batch = 100_000
    for start in range(0, planted, batch):
        stop = min(start + batch, planted)
        positions = np.argsort(rng.random((stop - start, 64)), axis=1)[:, : max(PLANTED_DISTANCES)]
        for t in range(max(PLANTED_DISTANCES)):
            use = distances[start:stop] > t
            flips = np.uint64(1) << positions[use, t].astype(np.uint64)
            copies[start:stop][use] ^= flips
    items = np.concatenate([base, copies])
    return items[rng.permutation(len(items))]


def write_partitions(fps: np.ndarray, directory: Path, rows: int) -> int:
    parts = 0
    for start in range(0, len(fps), rows):
        stop = min(start + rows, len(fps))
        frame = pd.DataFrame(
            {"id": np.arange(start, stop, dtype=np.int64), "fingerprint": fps[start:stop]}
        )
        frame.to_parquet(directory / f"part-{parts:05d}.parquet", index=False)
        parts += 1
    return parts


def sorted_pairs(id_a, id_b, distance) -> np.ndarray:
    out = np.empty(len(id_a), dtype=[("a", "<i8"), ("b", "<i8"), ("d", "u1")])
    out["a"], out["b"], out["d"] = id_a, id_b, distance
    out.sort(order=["a", "b"])
    return out


def peak_rss_bytes() -> int:
    """This process's peak resident memory. VmHWM, not ru_maxrss: the worker processes are
    started by fork and exec, and ru_maxrss keeps the peak of the forked copy of this (large)
    process across the exec."""
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1]) * 1024  # reported in kB
    raise RuntimeError("no VmHWM in /proc/self/status")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="20,000 fingerprints")
    parser.add_argument("--count", type=int, help="fingerprints (default 10,000,000)")
    args = parser.parse_args()
    total = args.count or (20_000 if args.quick else 10_000_000)
    # The quick run still spreads its few fingerprints over two partitions.
    rows_per_partition = (
        min(ROWS_PER_PARTITION, -(-total // 2)) if args.quick else ROWS_PER_PARTITION
    )

    print(f"veltrane.dask bench: {total:,} fingerprints, max_distance {MAX_DISTANCE}")
    print(f"  python {platform.python_version()}, dask {dask.__version__}, cores {os.cpu_count()}")
    fps = planted_fingerprints(total)

    start = time.perf_counter()
    single = veltrane.near_duplicate_pairs(fps, MAX_DISTANCE)
    single_seconds = time.perf_counter() - start
    expected = sorted_pairs(single["i"], single["j"], single["distance"])
    del single

    with tempfile.TemporaryDirectory(prefix="veltrane-dask-bench-") as tmp:
        parts = write_partitions(fps, Path(tmp), rows_per_partition)
        del fps
        with (
            LocalCluster(
                n_workers=WORKERS,
                threads_per_worker=1,
                # The quick run keeps its workers in this process: starting worker processes
                # would take most of its time. Their memory is then this process's.
                processes=not args.quick,
                memory_limit=WORKER_MEMORY_LIMIT,
                dashboard_address=":0",
                silence_logs=logging.ERROR,
            ) as cluster,
            Client(cluster) as client,
        ):
            baseline = client.run(peak_rss_bytes)
            frame = dd.read_parquet(tmp)
            start = time.perf_counter()
            found = vdask.fingerprint_pairs(frame, max_distance=MAX_DISTANCE).compute()
            dask_seconds = time.perf_counter() - start
            peaks = client.run(peak_rss_bytes)

    got = sorted_pairs(
        found["id_a"].to_numpy(), found["id_b"].to_numpy(), found["distance"].to_numpy()
    )
    same = np.array_equal(got, expected)

    print(f"  partitions: {parts} of {rows_per_partition:,} rows; workers: {WORKERS} x 1 thread")
    print(
        f"  pairs: {len(expected):,} single machine, {len(got):,} on Dask, "
        + ("identical" if same else "DIFFERENT  <-- MISMATCH")
    )
    print(
        f"  single machine (near_duplicate_pairs, {len(os.sched_getaffinity(0))} threads): "
        f"{single_seconds:8.2f} s"
    )
    print(
        f"  Dask (fingerprint_pairs, LocalCluster):                 {dask_seconds:8.2f} s"
        f"   ratio {dask_seconds / single_seconds:.1f}x"
    )
    if args.quick:
        print("  workers are threads of this process (quick run): peak RSS is the whole process")
    for address in sorted(peaks):
        print(
            f"  worker {address}: peak RSS {peaks[address] / GIB:.2f} GiB "
            f"(at start {baseline[address] / GIB:.2f} GiB; "
            f"target < {TARGET_PEAK_BYTES / GIB:.0f} GiB)"
        )
    return 0 if same else 1


if __name__ == "__main__":
    sys.exit(main())
