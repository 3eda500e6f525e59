"""Near-duplicate search of corpora full of copies: clusters, deduplicate_texts and the pair
stream, which collapse identical fingerprints before they search, beside the search over
distinct fingerprints.

    python bench/collapse.py            full run: the copyright corpus, 10,000,000 lines, ~2 min
    python bench/collapse.py --quick    smoke run: 50 copyright files, 20,000 lines, once each

The copies come from two corpora. One is real: every line of the Debian `copyright` file of
every package installed on this machine (/usr/share/doc/*/copyright, packages in name order),
where license boilerplate repeats thousands of times. The other is generated: lines of random
words, a tenth of them copies of 100 lines, so that each of those repeats 10,000 times (20
in the quick run, which also takes only the first 50 copyright files). Every measurement runs
in a fresh process, which reports its wall time and its peak resident memory (VmHWM: the whole
process, interpreter and data included). Figures are reported beside the targets, never held
against them; a failed check (a result that differs from its reference) makes the exit
status 1.
"""

import argparse
import contextlib
import gc
import glob
import json
import math
import os
import platform
import random
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
from veltrane import cli  # noqa: E402

from report import cpu_model, per_isa, print_table  # noqa: E402

MAX_DISTANCE = 3  # the command line's default
COPYRIGHT_GLOB = "/usr/share/doc/*/copyright"
GROUPS = 100  # distinct lines that the generated corpus repeats
COPY_SHARE = 0.1  # a tenth of the generated lines are such copies
WORDS_PER_LINE = 8  # words of a generated line after its number: a short sentence
LINES_PER_BATCH = 1_000_000  # generated lines fingerprinted at a time, to bound their memory
RANDOM_FINGERPRINTS = 1_000_000  # the distinct-search comparison: 1M random values, k = 3
# The pair stream on this many lines: their copies make tens of millions of pairs, a few
# seconds of streaming.
STREAM_LINES = 1_000_000
CHECK_LINES = 100_000
# Targets of the issue, printed beside the figures.
TARGET_COPYRIGHT_SECONDS, TARGET_COPYRIGHT_MB = 2.0, 300
TARGET_LINES_SECONDS = 10.0
MB = 1e6


def memory_status(field):
    """VmRSS or VmHWM of this process in bytes (see bench/hamming.py for why not getrusage)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise RuntimeError(f"no {field} in /proc/self/status")


# --- data ------------------------------------------------------------------------------------


def copyright_corpus(path, limit=None):
    """Writes every line of the first `limit` installed copyright files (all by default) to
    path; returns (files, lines)."""
    files = sorted(glob.glob(COPYRIGHT_GLOB))[:limit]
    lines = 0
    with open(path, "wb") as out:
        for name in files:
            try:
                data = Path(name).read_bytes()
            except OSError:
                continue
            if data and not data.endswith(b"\n"):
                data += b"\n"
            lines += data.count(b"\n")
            out.write(data)
    return len(files), lines


def generated_fingerprints(lines, seed=corpus.SEED):
    """Fingerprints of `lines` generated lines, a tenth of them copies of GROUPS lines, in
    random order; the lines are made and fingerprinted a batch at a time."""
    words = np.array(corpus.vocabulary(random.Random(seed)), dtype=object)
    rng = np.random.default_rng(seed)

    def make(numbers):
        # The line's number, then WORDS_PER_LINE words drawn uniformly from the vocabulary.
        drawn = words[rng.integers(0, len(words), size=(len(numbers), WORDS_PER_LINE))]
        return [f"{k} {' '.join(ws)}" for k, ws in zip(numbers, drawn.tolist())]

    copies = round(lines * COPY_SHARE) // GROUPS * GROUPS
    parts = [np.repeat(veltrane.fingerprints64(make(range(-GROUPS, 0))), copies // GROUPS)]
    for start in range(0, lines - copies, LINES_PER_BATCH):
        stop = min(start + LINES_PER_BATCH, lines - copies)
        parts.append(veltrane.fingerprints64(make(range(start, stop))))
    fps = np.concatenate(parts)
    return fps[rng.permutation(len(fps))]


# --- workers: one measurement in a fresh process ----------------------------------------------


def worker(kind, path, extra):
    """Runs one measurement and prints {seconds, rss_before, peak, ...} as one JSON line."""
    result = {}
    if kind == "cli":
        before = memory_status("VmRSS")
        with open(os.devnull, "w") as sink, contextlib.redirect_stdout(sink):
            start = time.perf_counter()
            status = cli.main(
                ["near-dups", "--method", "simhash", "--quiet", "--format", extra, path]
            )
            result["seconds"] = time.perf_counter() - start
        result["status"] = status
    elif kind == "dedup":
        # Lines as the command line reads them: bytes, empty lines skipped.
        texts = [t for t in Path(path).read_bytes().split(b"\n") if t]
        before = memory_status("VmRSS")
        start = time.perf_counter()
        dedup = veltrane.deduplicate_texts(
            texts, MAX_DISTANCE, method="simhash", clusters="components"
        )
        result["seconds"] = time.perf_counter() - start
        result["kept"] = len(dedup.keep)
        result["texts"] = len(texts)
    elif kind == "clusters":
        fps = np.load(path)[: int(extra)] if extra else np.load(path)
        before = memory_status("VmRSS")
        start = time.perf_counter()
        reps = veltrane.near_duplicate_clusters(fps, MAX_DISTANCE)
        result["seconds"] = time.perf_counter() - start
        result["kept"] = int((reps == np.arange(len(reps))).sum())
        result["n"] = len(fps)
    elif kind == "stream":
        fps = np.load(path)
        before = memory_status("VmRSS")
        start = time.perf_counter()
        wanted, written = int(extra), 0
        for batch in veltrane.iter_near_duplicate_pairs(fps, MAX_DISTANCE):
            written += len(batch)
            if written >= wanted:
                break
        result["seconds"] = time.perf_counter() - start
        result["pairs"] = written
    else:
        raise SystemExit(f"unknown worker {kind}")
    result["rss_before"] = before
    result["peak"] = memory_status("VmHWM")
    print(json.dumps(result))


def run_worker(kind, path, extra=""):
    done = subprocess.run(
        [sys.executable, __file__, "--worker", kind, str(path), str(extra)],
        capture_output=True,
        text=True,
    )
    if done.returncode != 0:
        return {"error": done.stderr.strip().splitlines()[-1] if done.stderr else "failed"}
    return json.loads(done.stdout.strip().splitlines()[-1])


# --- the benchmarks --------------------------------------------------------------------------


def row(name, items, run, target=""):
    if "error" in run:
        return [name, f"{items:,}", "n/a", "n/a", "n/a", run["error"][:40]]
    return [
        name,
        f"{items:,}",
        f"{run['seconds']:.3f}",
        f"{run['peak'] / MB:,.0f}",
        f"{(run['peak'] - run['rss_before']) / MB:,.0f}",
        target,
    ]


HEADERS = ["what", "items", "seconds", "peak MB", "added MB", "target"]


def bench_copyright(cfg, scratch):
    path = scratch / "copyright.txt"
    files, lines = copyright_corpus(path, cfg.copyright_files)
    if lines == 0:
        print(f"\nno files match {COPYRIGHT_GLOB}: the copyright corpus is n/a")
        return True
    texts = [t for t in path.read_bytes().split(b"\n") if t]
    fps = veltrane.fingerprints64(texts)
    distinct, counts = np.unique(fps, return_counts=True)
    pairs = veltrane._native.PairStream(fps, MAX_DISTANCE, 1).total
    reps = veltrane.near_duplicate_clusters(fps, MAX_DISTANCE)
    # The reference: clusters of the distinct values by their pairs, named by first copies.
    _, first, group = np.unique(fps, return_index=True, return_inverse=True)
    small = veltrane.clusters(len(distinct), veltrane.near_duplicate_pairs(distinct, MAX_DISTANCE))
    low = np.full(len(distinct), len(fps))
    np.minimum.at(low, small, first)
    ok = np.array_equal(reps, low[small][group])

    target = f"< {TARGET_COPYRIGHT_SECONDS:g} s, < {TARGET_COPYRIGHT_MB} MB peak"
    clusters_run = run_worker("cli", path, "clusters")
    dedup_run = run_worker("dedup", path)
    # deduplicate_texts keeps every text without words and clusters the others.
    wordless = veltrane.texts.without_words(texts)
    worded = np.delete(fps, wordless)
    worded_reps = veltrane.near_duplicate_clusters(worded, MAX_DISTANCE)
    expected_kept = int((worded_reps == np.arange(len(worded))).sum()) + len(wordless)
    ok &= dedup_run.get("kept") == expected_kept
    print_table(
        f"Copyright corpus: {lines:,} lines of {files} files ({path.stat().st_size / MB:,.1f} MB),"
        f" {len(texts):,} texts, max_distance {MAX_DISTANCE}",
        HEADERS,
        [
            row("near-dups --method simhash --format clusters", len(texts), clusters_run, target),
            row("deduplicate_texts", len(texts), dedup_run, target),
        ],
        notes=[
            f"corpus: {COPYRIGHT_GLOB} of this machine, packages in name order, every line"
            + ("" if cfg.copyright_files is None else f" of the first {files}"),
            f"  {len(distinct):,} distinct fingerprints; the largest groups of copies:"
            f" {', '.join(f'{c:,}' for c in np.sort(counts)[::-1][:4])}",
            f"  its pairs within {MAX_DISTANCE} bits: {pairs:,} ({pairs * 17 / 1e9:,.1f} GB as"
            " rows of near_duplicate_pairs): what the pair-based clusters formed first",
            "near-dups: cli.main in a fresh process, output to /dev/null, reading and"
            " fingerprints included;",
            "  deduplicate_texts: the call on the lines as bytes, fingerprints included",
            "peak MB: the whole process (interpreter, NumPy, data); added: peak less the"
            " resident memory before the call",
            "same clusters as the distinct values' pairs expanded to their copies: "
            + ("yes" if ok else "NO"),
        ],
    )
    return ok


def bench_lines(cfg, scratch):
    start = time.perf_counter()
    fps = generated_fingerprints(cfg.lines)
    made = time.perf_counter() - start
    path = scratch / "lines.npy"
    np.save(path, fps)
    sizes = sorted({cfg.lines // 10, cfg.lines // 3, cfg.lines})
    runs = {n: run_worker("clusters", path, n) for n in sizes}
    rows = []
    for n in sizes:
        run = runs[n]
        r = row(
            "near_duplicate_clusters",
            n,
            run,
            f"< {TARGET_LINES_SECONDS:g} s" if n == cfg.lines else "",
        )
        if "error" not in run:
            r[0] += f" (MB added per M: {(run['peak'] - run['rss_before']) / MB / (n / 1e6):,.0f})"
        rows.append(r)
    # The pair-based reference on a prefix small enough for its pairs (~100 copies a group).
    checked = fps[: cfg.check_lines]
    reps = veltrane.near_duplicate_clusters(checked, MAX_DISTANCE)
    pairs = veltrane.clusters(len(checked), veltrane.near_duplicate_pairs(checked))
    ok = np.array_equal(reps, pairs)

    # The stream: the same process memory whatever the number of pairs written.
    streamed = fps[: cfg.stream_lines]
    small = scratch / "stream.npy"
    np.save(small, streamed)
    total = veltrane._native.PairStream(streamed, MAX_DISTANCE, 1).total
    for wanted in (total // 100, total // 10, total):
        run = run_worker("stream", small, wanted)
        r = row(f"iter_near_duplicate_pairs, {wanted:,} pairs", len(streamed), run)
        if "error" not in run:
            r[-1] = f"{run['pairs'] / run['seconds'] / 1e6:,.0f} M pairs/s"
        rows.append(r)
    copies = cfg.lines // GROUPS // 10
    print_table(
        f"{cfg.lines:,} generated lines, a tenth of them copies of {GROUPS} lines"
        f" ({copies:,} copies each), max_distance {MAX_DISTANCE}",
        HEADERS,
        rows,
        notes=[
            f"lines: the line number and {WORDS_PER_LINE} words of {corpus.VOCABULARY_SIZE:,},"
            f" made and fingerprinted in {made:.1f} s (not counted above), shuffled",
            "near_duplicate_clusters: on the first N fingerprints, default threads; MB added per"
            " M: memory per million lines, which is constant when memory is linear",
            f"iter_near_duplicate_pairs: the first {len(streamed):,} fingerprints ({total:,}"
            " pairs in all), stopped after the pairs shown; its peak should not grow with them",
            f"clusters equal clusters(n, near_duplicate_pairs(...)) on {len(checked):,}: "
            + ("yes" if ok else "NO"),
        ],
    )
    return ok


def bench_distinct(cfg):
    fps = np.random.default_rng(corpus.SEED).integers(
        0, 1 << 64, size=cfg.random_fingerprints, dtype=np.uint64
    )
    calls = {
        "near_duplicate_pairs": lambda: veltrane.near_duplicate_pairs(fps, 3, threads=1),
        "near_duplicate_clusters": lambda: veltrane.near_duplicate_clusters(fps, 3, threads=1),
        "iter_near_duplicate_pairs, all": lambda: list(
            veltrane.iter_near_duplicate_pairs(fps, 3, threads=1)
        ),
    }
    best = dict.fromkeys(calls, math.inf)
    gc.disable()
    for call in calls.values():  # warm-up
        call()
    for _ in range(cfg.repeats):
        for name, call in calls.items():  # interleaved, so a busy spell slows all of them
            start = time.perf_counter()
            call()
            best[name] = min(best[name], time.perf_counter() - start)
    gc.enable()
    base = best["near_duplicate_pairs"]
    print_table(
        f"{cfg.random_fingerprints:,} random fingerprints (all distinct), max_distance 3,"
        " 1 thread",
        ["call", "seconds", "this/pairs"],
        [[name, f"{s:.3f}", f"{s / base:.2f}"] for name, s in best.items()],
        notes=[
            f"best of {cfg.repeats} after a warm-up, calls interleaved; near_duplicate_pairs"
            " searches as before; the others collapse first,",
            "  then search the distinct values with the same block search",
        ],
    )


class Config:
    def __init__(self, quick):
        self.lines = 20_000 if quick else 10_000_000
        self.repeats = 1 if quick else 5
        self.copyright_files = 50 if quick else None
        self.random_fingerprints = 20_000 if quick else RANDOM_FINGERPRINTS
        self.stream_lines = min(self.lines, STREAM_LINES)
        self.check_lines = min(self.lines, CHECK_LINES)


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("--quick", action="store_true", help="small sizes for a smoke run")
    parser.add_argument("--worker", nargs=3, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(*args.worker)
        return 0
    cfg = Config(args.quick)
    print("veltrane search of corpora with copies" + (" (quick run)" if args.quick else ""))
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    print(
        f"python {platform.python_version()}; {cpu_model()}, {os.cpu_count()} CPUs;"
        f" veltrane {veltrane.__version__}; numpy {np.__version__}; MB = 10^6 bytes;"
        f" load average {load} at the start"
    )
    with tempfile.TemporaryDirectory() as scratch:
        ok = bench_copyright(cfg, Path(scratch))
        ok &= bench_lines(cfg, Path(scratch))
    bench_distinct(cfg)
    if not ok:
        print("\nA CHECK FAILED (see above)")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(per_isa(main))
