"""Near-duplicate search of veltrane: the pair search at corpus scale, beside a brute-force
NumPy search and simhash.SimhashIndex, and batch fingerprints on one and two threads.

    python bench/hamming.py            full run: 1,000,000 + 100,000 fingerprints, about a minute
    python bench/hamming.py --quick    smoke run: 20,000 + 2,000 fingerprints, each measured once

Every figure is measured in this run, and every ratio compares two figures of this run.
Figures are reported, never held against a threshold; the targets are printed beside them.
The checks: every planted pair is found at its distance, both thread counts find the same
pairs, and the pairs on the sample equal those of the brute-force search. A failed check, or a
measuring process that fails, makes the exit status 1 once all tables are printed. A peer that
does not import or that raises shows as n/a.
"""

import argparse
import gc
import hashlib
import importlib.metadata
import json
import logging
import math
import os
import platform
import resource
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))

import corpus  # noqa: E402
import veltrane  # noqa: E402

from report import cpu_model, per_isa, print_table  # noqa: E402

MAX_DISTANCE = 3  # the target's radius, the usual threshold for 64-bit SimHash near duplicates
PLANTED_DISTANCES = (0, 1, 2, 3)  # every distance up to the radius, equally often
THREADS = (1, 2)  # the benchmark machine has 2 cores
TEXT_SIZE = 1024  # bytes per text for the fingerprint throughput
# Brute force compares one block of rows with every later item: 256 rows of 20,000 items keep
# its temporaries near 40 MB.
BRUTE_ROWS = 256
# Planted copies are made this many at a time, so their temporaries (a 64-column random matrix
# and its argsort) stay a few MB.
PLANT_BATCH = 10_000
# Targets of the search, printed beside the figures.
TARGET_SECONDS = 1.0
TARGET_BYTES = 1e9
TARGET_SPEEDUP = 1.7

MB = 1e6  # memory and speeds in MB of 10^6 bytes


class Config:
    """Sizes and repetition counts of one run."""

    def __init__(self, quick: bool):
        self.quick = quick
        self.random = 20_000 if quick else 1_000_000
        self.planted = 2_000 if quick else 100_000
        self.sample = 2_000 if quick else 20_000
        # simhash.SimhashIndex is pure Python: the whole sample takes it a few seconds a pass.
        self.peer_sample = 500 if quick else 20_000
        self.repeats = 1 if quick else 5  # best of N, after one warm-up call
        self.peer_repeats = 1 if quick else 3
        self.text_bytes = (256 << 10) if quick else (16 << 20)


# --- data ------------------------------------------------------------------------------------


def planted_set(cfg):
    """(fingerprints, planted pairs as (i, j, distance) arrays with i < j).

    Random fingerprints, plus copies of randomly chosen ones with 0 to 3 distinct bits flipped,
    all shuffled together. Two random 64-bit values are within 3 bits with probability
    (1 + 64 + 2016 + 41664) / 2^64, about 2.4e-15, so nearly every pair found involves a planted
    copy: a source and its copy, or two copies of one source.
    """
    rng = np.random.default_rng(corpus.SEED)
    base = rng.integers(0, 1 << 64, size=cfg.random, dtype=np.uint64, endpoint=False)
    sources = rng.integers(0, cfg.random, size=cfg.planted)
    distances = rng.choice(np.array(PLANTED_DISTANCES, dtype=np.uint8), size=cfg.planted)
    masks = np.zeros(cfg.planted, dtype=np.uint64)
    for start in range(0, cfg.planted, PLANT_BATCH):
        stop = min(start + PLANT_BATCH, cfg.planted)
        # The first d columns of a random permutation of the 64 bit positions: d distinct bits.
        positions = np.argsort(rng.random((stop - start, 64)), axis=1)[:, : max(PLANTED_DISTANCES)]
        for t in range(max(PLANTED_DISTANCES)):
            use = distances[start:stop] > t
            masks[start:stop][use] |= np.uint64(1) << positions[use, t].astype(np.uint64)
    items = np.concatenate([base, base[sources] ^ masks])
    order = rng.permutation(len(items))
    fps = items[order]
    where = np.empty_like(order)
    where[order] = np.arange(len(order))
    a, b = where[sources], where[cfg.random + np.arange(cfg.planted)]
    return fps, (np.minimum(a, b), np.maximum(a, b), distances)


def pair_keys(i, j, n):
    """One sortable int64 per pair (i, j) of n items."""
    return np.asarray(i, dtype=np.int64) * n + np.asarray(j, dtype=np.int64)


if hasattr(np, "bitwise_count"):
    popcount = np.bitwise_count
else:  # NumPy before 2.0: a table of the 256 byte values
    _BYTE_BITS = np.array([bin(v).count("1") for v in range(256)], dtype=np.uint8)

    def popcount(x):
        return _BYTE_BITS[x.view(np.uint8)].reshape(*x.shape, 8).sum(axis=-1, dtype=np.uint8)


def brute_force_pairs(fps, k):
    """(i, j, distance) of every pair i < j within k bits, comparing every pair with NumPy."""
    found = []
    for s in range(0, len(fps), BRUTE_ROWS):
        d = popcount(fps[s : s + BRUTE_ROWS, None] ^ fps[None, s:])
        rows, cols = np.nonzero(d <= k)
        later = cols > rows  # columns start at row s: drop each item with itself and earlier
        rows, cols = rows[later], cols[later]
        found.append((rows + s, cols + s, d[rows, cols]))
    i, j, dist = (np.concatenate(parts) for parts in zip(*found))
    order = np.lexsort((j, i))
    return i[order], j[order], dist[order].astype(np.uint8)


def simhash_index_pairs(module, values, k):
    """Pairs (i, j), i < j, from simhash.SimhashIndex: index every item, query every item."""
    objects = [module.Simhash(v, f=64) for v in values]
    index = module.SimhashIndex([(str(n), o) for n, o in enumerate(objects)], f=64, k=k)
    found = []
    for n, o in enumerate(objects):
        found.extend((n, m) for m in map(int, index.get_near_dups(o)) if n < m)
    found.sort()
    return found


# --- measurement -----------------------------------------------------------------------------


def cpu_seconds():
    """CPU time of every thread of this process, user and system."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def measure_cpu(calls, repeats):
    """{name: (best wall time, CPU time of that call)} of `repeats` rounds over calls
    {name: call}, after one warm-up call each. Rounds interleave the calls, so that a busy
    spell on this machine slows all of them rather than one. The collector is paused while
    timing, as timeit does."""
    gc.collect()
    enabled = gc.isenabled()
    gc.disable()
    try:
        for call in calls.values():
            call()
        best = dict.fromkeys(calls, (math.inf, math.inf))
        for _ in range(repeats):
            for name, call in calls.items():
                cpu = cpu_seconds()
                start = time.perf_counter()
                result = call()
                elapsed = time.perf_counter() - start
                cpu = cpu_seconds() - cpu
                del result  # freed outside the timed span
                best[name] = min(best[name], (elapsed, cpu))
    finally:
        if enabled:
            gc.enable()
    return best


def measure(calls, repeats):
    """{name: best wall time}, as measure_cpu."""
    return {name: wall for name, (wall, _) in measure_cpu(calls, repeats).items()}


def memory_status(field):
    """A figure of /proc/self/status in bytes: VmRSS (resident now) or VmHWM (its peak).

    Not getrusage's ru_maxrss: across fork and exec it keeps the parent's resident size, so a
    worker started by this large process would report at least the parent's memory. VmHWM
    belongs to the address space that exec made fresh.
    """
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024  # the kernel reports kB of 1024 bytes
    raise RuntimeError(f"no {field} in /proc/self/status")


def pairs_worker(path, threads, repeats):
    """Searches in this fresh process, so that its peak resident memory is the search's plus
    the data's, and prints the figures as one JSON line. The data is read from a file rather
    than made here: making it peaks higher than the search, and the peak never comes down."""
    fps = np.load(path)
    before, peak_before = memory_status("VmRSS"), memory_status("VmHWM")
    found = veltrane.near_duplicate_pairs(fps, MAX_DISTANCE, threads=threads)
    peak = memory_status("VmHWM")
    figures = {
        "rss_before": before,
        "peak_before": peak_before,
        "peak": peak,
        "pairs": len(found),
        "digest": hashlib.sha256(found.tobytes()).hexdigest(),
    }
    del found
    search = lambda: veltrane.near_duplicate_pairs(fps, MAX_DISTANCE, threads=threads)  # noqa: E731
    figures["seconds"] = measure({"search": search}, repeats)["search"]
    print(json.dumps(figures))


# --- output ----------------------------------------------------------------------------------


def fmt(value, spec):
    return "n/a" if value is None else format(value, spec)


def ratio(numerator, denominator):
    return "n/a" if not numerator or not denominator else f"{numerator / denominator:,.1f}"


# --- the benchmarks --------------------------------------------------------------------------


def bench_pairs(cfg, fps, planted):
    """The search on the whole set, one fresh process per thread count. Returns (ok, pairs of
    this process's own run)."""
    ok = True
    notes = []
    runs = {}
    with tempfile.TemporaryDirectory() as scratch:
        path = Path(scratch) / "fingerprints.npy"
        np.save(path, fps)
        for threads in THREADS:
            command = [
                sys.executable,
                __file__,
                "--pairs-worker",
                str(path),
                "--threads",
                str(threads),
                "--repeats",
                str(cfg.repeats),
            ]
            done = subprocess.run(command, capture_output=True, text=True)
            if done.returncode != 0:
                ok = False
                notes.append(f"threads={threads}: the worker failed: {done.stderr.strip()}")
                continue
            runs[threads] = json.loads(done.stdout.strip().splitlines()[-1])

    found = veltrane.near_duplicate_pairs(fps, MAX_DISTANCE)
    digest = hashlib.sha256(found.tobytes()).hexdigest()
    keys = pair_keys(found["i"], found["j"], len(fps))
    wanted = pair_keys(planted[0], planted[1], len(fps))
    planted_found = 0
    if len(keys):
        at = np.minimum(np.searchsorted(keys, wanted), len(keys) - 1)
        planted_found = int(((keys[at] == wanted) & (found["distance"][at] == planted[2])).sum())
    ok &= planted_found == len(wanted)

    rows = []
    for threads in THREADS:
        run = runs.get(threads)
        if run is None:
            rows.append([str(threads)] + ["n/a"] * 7)
            continue
        same = run["digest"] == digest
        ok &= same
        rows.append(
            [
                str(threads),
                f"{run['seconds']:.3f}",
                fmt(len(fps) / run["seconds"] / 1e6, ",.1f"),
                f"{run['rss_before'] / MB:,.0f}",
                f"{run['peak'] / MB:,.0f}",
                f"{(run['peak'] - run['rss_before']) / MB:,.0f}",
                f"{run['pairs']:,}",
                "yes" if same else "NO, they differ",
            ]
        )
    if any(r["peak_before"] > r["peak"] * 0.99 for r in runs.values()):
        notes.append("the peak was reached before the search: the search stayed below it")
    notes[:0] = [
        "ours: near_duplicate_pairs(uint64 array, 3, threads=N) -> structured array (i, j,"
        " distance),",
        "  in a fresh process per thread count; RSS: resident memory of that whole process",
        "  before the search and at its peak (VmRSS, VmHWM), interpreter and data",
        "  included; added: the peak less the resident memory before the search",
        f"planted pairs found at their distance: {planted_found:,} of {len(wanted):,}"
        + ("" if planted_found == len(wanted) else "  <-- MISSING PAIRS"),
        f"pairs found: {len(found):,}, of which {len(found) - len(wanted):,} not planted"
        " (copies of one source, within 3 bits of each other)",
        "same pairs: byte for byte those of a run in this process with the default thread count",
        f"targets: at most {TARGET_SECONDS:g} s on 1 thread and {TARGET_BYTES / MB:,.0f} MB",
    ]
    print_table(
        f"near_duplicate_pairs: {cfg.random:,} random + {cfg.planted:,} planted fingerprints"
        f" (distances {PLANTED_DISTANCES[0]} to {PLANTED_DISTANCES[-1]}),"
        f" max_distance {MAX_DISTANCE}",
        [
            "threads",
            "seconds",
            "M fps/s",
            "RSS before MB",
            "peak RSS MB",
            "added MB",
            "pairs",
            "same pairs",
        ],
        rows,
        notes=notes,
    )
    return ok, found


def choose_sample(cfg, n, planted):
    """Sorted indices of cfg.sample items: both ends of sample / 4 planted pairs, so that the
    sample holds thousands of pairs, and random other items for the rest."""
    rng = np.random.default_rng(corpus.SEED + 1)
    chosen = rng.choice(len(planted[0]), size=min(cfg.sample // 4, len(planted[0])), replace=False)
    ends = np.unique(np.concatenate([planted[0][chosen], planted[1][chosen]]))
    others = np.setdiff1d(np.arange(n), ends)
    rest = rng.choice(others, size=cfg.sample - len(ends), replace=False)
    return np.sort(np.concatenate([ends, rest]))


def bench_sample(cfg, fps, found, planted, simhash_module, simhash_reason):
    """Ours, brute force and simhash.SimhashIndex on one sample. Returns ok."""
    sample = choose_sample(cfg, len(fps), planted)
    values = fps[sample]
    ok = True

    # What the whole-set run found among the sample's items, in the sample's numbering.
    inside = np.isin(found["i"], sample) & np.isin(found["j"], sample)
    local = [np.searchsorted(sample, found[f][inside]) for f in ("i", "j")]
    whole_keys = pair_keys(*local, len(sample))

    brute = brute_force_pairs(values, MAX_DISTANCE)
    brute_keys = pair_keys(brute[0], brute[1], len(sample))
    ours = veltrane.near_duplicate_pairs(values, MAX_DISTANCE, threads=1)
    ours_equal = np.array_equal(pair_keys(ours["i"], ours["j"], len(sample)), brute_keys) and (
        np.array_equal(ours["distance"], brute[2])
    )
    whole_equal = np.array_equal(whole_keys, brute_keys)
    ok &= ours_equal and whole_equal

    peer_values = values[: cfg.peer_sample]
    calls = {
        "ours": lambda: veltrane.near_duplicate_pairs(values, MAX_DISTANCE, threads=1),
        "ours on the peer sample": lambda: veltrane.near_duplicate_pairs(
            peer_values, MAX_DISTANCE, threads=1
        ),
    }
    times = measure(calls, cfg.repeats)
    brute_seconds = measure(
        {"brute": lambda: brute_force_pairs(values, MAX_DISTANCE)}, cfg.peer_repeats
    )["brute"]

    def check(equal):
        return "equal" if equal else "DIFFERENT"

    rows = [
        [
            "veltrane near_duplicate_pairs",
            f"{len(values):,}",
            f"{times['ours']:.4f}",
            f"{len(ours):,}",
            check(ours_equal),
            "1.0",
        ],
        [
            "brute-force NumPy",
            f"{len(values):,}",
            f"{brute_seconds:.3f}",
            f"{len(brute[0]):,}",
            "-",
            ratio(brute_seconds, times["ours"]),
        ],
    ]
    notes = [
        "ours: near_duplicate_pairs(sample, 3, threads=1); brute force: XOR and popcount of",
        f"  every pair with NumPy {np.__version__}, {BRUTE_ROWS} rows at a time, one thread",
        f"sample: both ends of {cfg.sample // 4:,} planted pairs and random other items,"
        " in their order in the whole set",
        f"the whole-set run's pairs among the sample's items: {check(whole_equal)} to brute"
        f" force ({len(whole_keys):,} pairs)",
        "ours/this: this row's seconds / ours on the same items",
    ]

    peer_label = "simhash SimhashIndex"
    if simhash_module is None:
        rows.append([peer_label, "n/a", "n/a", "n/a", "n/a", "n/a"])
        notes.append(f"simhash: {simhash_reason}")
    else:
        peer_label += f" {importlib.metadata.version('simhash')}"
        logging.getLogger("simhash").setLevel(logging.ERROR)  # its progress lines, not ours
        python_values = peer_values.tolist()
        try:
            peer_found = simhash_index_pairs(simhash_module, python_values, MAX_DISTANCE)
            peer_seconds = measure(
                {"peer": lambda: simhash_index_pairs(simhash_module, python_values, MAX_DISTANCE)},
                cfg.peer_repeats,
            )["peer"]
        except Exception as exc:  # a broken peer is reported as n/a, it does not end the run
            rows.append([peer_label, "n/a", "n/a", "n/a", "n/a", "n/a"])
            notes.append(f"simhash: n/a, it raised {type(exc).__name__}: {exc}")
        else:
            small = (brute[0] < len(peer_values)) & (brute[1] < len(peer_values))
            peer_keys = pair_keys(*zip(*peer_found), len(sample)) if peer_found else []
            rows.append(
                [
                    peer_label,
                    f"{len(peer_values):,}",
                    f"{peer_seconds:.3f}",
                    f"{len(peer_found):,}",
                    check(np.array_equal(peer_keys, brute_keys[small])),
                    ratio(peer_seconds, times["ours on the peer sample"]),
                ]
            )
            notes += [
                f"simhash: SimhashIndex(objs, f=64, k=3) over the first {len(peer_values):,}"
                " sample items, then get_near_dups of each;",
                "  building its Simhash objects from the integer values is part of its time;"
                f" best of {cfg.peer_repeats}; ours on the same items:"
                f" {times['ours on the peer sample']:.4f} s",
            ]
    print_table(
        f"On a {len(values):,}-item sample, max_distance {MAX_DISTANCE}",
        ["implementation", "items", "seconds", "pairs", "vs brute force", "this/ours"],
        rows,
        notes=notes,
    )
    return ok


def bench_fingerprints(cfg):
    text = corpus.english_like_text(cfg.text_bytes)
    texts = [text[k : k + TEXT_SIZE] for k in range(0, len(text) - TEXT_SIZE + 1, TEXT_SIZE)]
    calls = {}
    for name, function in (
        ("fingerprints64", veltrane.fingerprints64),
        ("fingerprints", veltrane.fingerprints),
    ):
        for threads in THREADS:
            calls[name, threads] = lambda f=function, t=threads: f(texts, threads=t)
    times = measure_cpu(calls, cfg.repeats)
    rows = []
    for (name, threads), (seconds, cpu) in times.items():
        rows.append(
            [
                name,
                str(threads),
                f"{len(texts) * TEXT_SIZE / seconds / MB:,.1f}",
                f"{len(texts) / seconds:,.0f}",
                ratio(times[name, THREADS[0]][0], seconds),
                f"{cpu / seconds:.2f}",
            ]
        )
    print_table(
        f"Batch fingerprints: {len(texts):,} English-like texts of {TEXT_SIZE:,} bytes",
        ["function", "threads", "MB/s", "texts/s", "speed-up", "CPU/wall"],
        rows,
        notes=[
            "fingerprints64(texts) -> uint64 array; fingerprints(texts) -> list of 8-byte bytes;"
            " texts are bytes",
            "texts: consecutive slices of one generated text, so a word may be cut at either end",
            f"speed-up: over the same function on 1 thread; target at least {TARGET_SPEEDUP:g}"
            " on 2 threads",
            "CPU/wall: CPU seconds of the process over wall seconds in the best call: how many",
            "  cores it got; below the thread count, other work on the machine held the rest",
        ],
    )


# --- main ------------------------------------------------------------------------------------


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("--quick", action="store_true", help="small sizes for a smoke run")
    # A worker process: the fingerprints file, the thread count, the repetitions.
    parser.add_argument("--pairs-worker", metavar="NPY", help=argparse.SUPPRESS)
    parser.add_argument("--threads", type=int, default=1, help=argparse.SUPPRESS)
    parser.add_argument("--repeats", type=int, default=1, help=argparse.SUPPRESS)
    return parser.parse_args()


def main():
    args = parse_args()
    cfg = Config(args.quick)
    if args.pairs_worker is not None:
        pairs_worker(args.pairs_worker, args.threads, args.repeats)
        return 0

    try:
        import simhash as simhash_module

        simhash_reason = None
    except Exception as exc:  # whatever keeps it from importing, the peer is n/a
        simhash_module = None
        simhash_reason = f"n/a, not importable ({type(exc).__name__}: {exc})"

    print("veltrane near-duplicate search benchmarks" + (" (quick run)" if cfg.quick else ""))
    print(
        f"python {platform.python_version()}; {cpu_model()}, {os.cpu_count()} CPUs;"
        f" veltrane {veltrane.__version__}; numpy {np.__version__}; simhash "
        + (importlib.metadata.version("simhash") if simhash_module else "n/a")
    )
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    print(
        f"timing: best of {cfg.repeats} whole calls after one warm-up call (peers: best of"
        f" {cfg.peer_repeats}), results included, garbage collector paused; MB = 10^6 bytes;"
        f" seed {corpus.SEED}; load average {load} at the start"
    )

    fps, planted = planted_set(cfg)
    ok, found = bench_pairs(cfg, fps, planted)
    ok &= bench_sample(cfg, fps, found, planted, simhash_module, simhash_reason)
    del fps, found
    bench_fingerprints(cfg)
    if not ok:
        print("\nA CHECK FAILED (see above)")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(per_isa(main))
