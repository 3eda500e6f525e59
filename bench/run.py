"""Throughput of dedup_core, side by side with its PyPI peers and with the literal hash loops.

    python bench/run.py            full run: 256 MiB buffers, a few minutes
    python bench/run.py --quick    smoke run: 1 MiB buffers, each measurement once, seconds
    python bench/run.py --mb 64    large buffers of 64 MiB (also: BENCH_MB=64)

Every figure is measured in this run, and every ratio compares two figures of this run.
Figures are reported, never held against a threshold. The one check: the literal chunk loop
must count as many chunks as CDC.chunk returns. A mismatch, or a step that could not run
(literal library not built, deduplication worker failed), makes the exit status 1 once all
tables are printed. A peer that does not import or that raises shows as n/a.
"""

import argparse
import ctypes
import gc
import importlib
import importlib.metadata
import json
import math
import os
import platform
import random
import subprocess
import sys
import time
from itertools import starmap
from pathlib import Path

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))

import corpus  # noqa: E402
import dedup_core  # noqa: E402

from report import cpu_model, print_table  # noqa: E402

BUILD_DIR = BENCH_DIR / "build"  # gitignored; the library is never installed
LITERAL_SOURCE = BENCH_DIR / "literal_scan.cpp"
# The literal loops get the instruction set the module itself is built for.
# Header-only: the loops come from src/, so the benchmark times the library's own reference.
LITERAL_COMPILE = ["c++", "-std=c++17", "-O3", "-mavx2", "-mbmi", "-mbmi2", "-mpopcnt"]
LITERAL_COMPILE += ["-shared", "-fPIC", "-I", str(BENCH_DIR.parent / "src")]
LITERAL_WARNINGS = ["-Wall", "-Wextra"]

MIB = 1 << 20
MB = 1e6  # speeds are in MB/s of 10^6 bytes; buffer sizes are in MiB

DOC_SIZES = (100, 1024, 64 * 1024)  # SimHash text sizes in bytes
FINGERPRINT_BITS = 64  # SimHash() default: 8-byte fingerprints
CHUNK_SIZES = (1024, 256, 4096)  # CDC() default, a smaller and a larger one
DEDUP_CHUNK_LEN = 2048  # the longest chunk CDC() cuts
DEDUP_THREADS = (1, 2)  # the benchmark machine has 2 cores

# The speed goals of the fast paths, as (what, this run's figure, goal, unit): a summary table
# at the end shows each beside its goal. Nothing depends on whether a goal is met.
GOALS = []
CHUNK_GOAL_DEFAULT_RANDOM = 2.0  # CDC() on random bytes, times the literal chunk loop
CHUNK_GOAL_OTHERS = 0.95  # other chunk sizes and the text: never slower than the literal loop
DEDUP_GOAL = 2.0  # deduplicate with two threads, times the one-thread literal digest loop
COMPUTE_GOAL_MBS = 400  # SimHash.compute on 1 KiB texts, call overhead included


class Config:
    """Sizes and repetition counts of one run."""

    def __init__(self, big_mib: int, quick: bool):
        self.quick = quick
        self.big = big_mib * MIB  # each chunk buffer, and the deduplication input
        self.repeats = 1 if quick else 5  # best of N, after one warm-up call
        # SimHash texts: enough documents for tens of milliseconds of our calls per size.
        self.doc_bytes = min(self.big, 256 * 1024 if quick else 4 * MIB)
        # The Python SimHash peers do about 1 MB/s: about half a second per pass.
        self.peer_doc_bytes = min(self.doc_bytes, 16 * 1024 if quick else 512 * 1024)
        self.peer_repeats = 1 if quick else 3
        self.hamming_pairs = 10_000 if quick else 1_000_000
        self.peer_hamming_pairs = 1_000 if quick else 100_000
        # Pure-Python chunkers would take minutes on the full buffers: a prefix, fewer repeats.
        self.slow_prefix = min(self.big, 256 * 1024 if quick else 16 * MIB)
        self.slow_repeats = 1 if quick else 2


# --- measurement -------------------------------------------------------------------------------


def measure(call, repeats, summarize=None):
    """(best wall time of `repeats` calls, summarize(result of the warm-up call)).

    The collector is paused while timing, as timeit does, so that a collection set off by
    one implementation's allocations is not charged to another.
    """
    gc.collect()
    enabled = gc.isenabled()
    gc.disable()
    try:
        result = call()
        summary = summarize(result) if summarize else None
        del result
        best = math.inf
        for _ in range(repeats):
            start = time.perf_counter()
            result = call()
            elapsed = time.perf_counter() - start
            del result  # freed outside the timed span, before the next call
            best = min(best, elapsed)
    finally:
        if enabled:
            gc.enable()
    return best, summary


def measure_alternating(calls, repeats, summarize):
    """[(best wall time, summarize(result of the warm-up call))] for each of `calls`, timed in
    turns: one call of each per round, so that a change in the machine's load between the
    first and the last measurement weighs on all of them alike."""
    gc.collect()
    enabled = gc.isenabled()
    gc.disable()
    try:
        firsts = [summarize(call()) for call in calls]
        best = [math.inf] * len(calls)
        for _ in range(repeats):
            for i, call in enumerate(calls):
                start = time.perf_counter()
                result = call()
                elapsed = time.perf_counter() - start
                del result
                best[i] = min(best[i], elapsed)
    finally:
        if enabled:
            gc.enable()
    return list(zip(best, firsts))


def measure_peer(call, repeats, summarize=None):
    """measure() for a peer: (seconds, summary, None), or (None, None, error) if it raises."""
    try:
        seconds, summary = measure(call, repeats, summarize)
    except Exception as exc:  # a broken peer is reported as n/a, it does not end the run
        return None, None, f"{type(exc).__name__}: {exc}"
    return seconds, summary, None


# --- output ------------------------------------------------------------------------------------


def fmt_rate(value):
    return "n/a" if value is None else f"{value:,.1f}"


def fmt_count(value):
    return "n/a" if value is None else f"{value:,.0f}"


def fmt_ratio(numerator, denominator):
    if not numerator or not denominator:
        return "n/a"
    return f"{numerator / denominator:.2f}"


# --- peers and the literal loops ---------------------------------------------------------------


class Peer:
    """A PyPI package measured beside ours; `module` is None when it does not import."""

    def __init__(self, distribution, module_name):
        self.name = distribution
        self.module = None
        self.version = None
        self.reason = None
        try:
            self.module = importlib.import_module(module_name)
            self.version = importlib.metadata.version(distribution)
        except Exception as exc:  # whatever keeps it from importing, the peer is n/a
            self.module = None
            self.reason = f"n/a, not importable ({type(exc).__name__}: {exc})"

    @property
    def label(self):
        return f"{self.name} {self.version}" if self.version else self.name


def build_literal_scan():
    """Compiles literal_scan.cpp into bench/build/ and loads it: (library, None) or
    (None, error text)."""
    BUILD_DIR.mkdir(exist_ok=True)
    target = BUILD_DIR / "literal_scan.so"
    partial = BUILD_DIR / f"literal_scan.{os.getpid()}.so"
    command = [*LITERAL_COMPILE, *LITERAL_WARNINGS, "-o", str(partial), str(LITERAL_SOURCE)]
    try:
        done = subprocess.run(command, capture_output=True, text=True)
    except OSError as exc:
        return None, f"{command[0]}: {exc}"
    if done.returncode != 0:
        partial.unlink(missing_ok=True)
        return None, done.stderr.strip()
    if done.stderr.strip():
        print(f"warning: literal_scan.cpp compiles with warnings:\n{done.stderr}", file=sys.stderr)
    os.replace(partial, target)  # a concurrent run never loads a half-written library
    lib = ctypes.CDLL(str(target))
    for name in ("literal_chunk_count", "literal_digests"):
        function = getattr(lib, name)
        function.argtypes = [ctypes.c_char_p, ctypes.c_uint64, ctypes.c_uint64]
        function.restype = ctypes.c_uint64
    return lib, None


# --- SimHash -----------------------------------------------------------------------------------


def bench_simhash(cfg, text, simhash_peer):
    # Documents are consecutive slices of the text of exactly `size` bytes, so a word may be
    # cut at either end. The text is ASCII: as str, characters and bytes agree.
    prefix = text[: cfg.doc_bytes].decode("ascii")
    ours = dedup_core.SimHash(FINGERPRINT_BITS)

    computes = []
    if simhash_peer.module:
        simhash_class = simhash_peer.module.Simhash
        computes.append(
            (simhash_peer, lambda docs: [simhash_class(d, f=FINGERPRINT_BITS).value for d in docs])
        )
    else:
        computes.append((simhash_peer, None))

    rows = []
    failures = []
    for size in DOC_SIZES:
        docs = [prefix[i : i + size] for i in range(0, len(prefix) - size + 1, size)]
        seconds, _ = measure(lambda docs=docs: list(map(ours.compute, docs)), cfg.repeats)
        ours_mbs = len(docs) * size / seconds / MB
        if size == 1024:
            GOALS.append(("SimHash.compute, 1 KiB texts", ours_mbs, COMPUTE_GOAL_MBS, "MB/s"))
        label = f"dedup_core {dedup_core.__version__}"
        rate = fmt_rate(ours_mbs)
        docs_per_s = fmt_count(len(docs) / seconds)
        rows.append([f"{size:,} B", label, fmt_count(len(docs)), rate, docs_per_s, "1.00"])
        for peer, compute in computes:
            seconds = error = None
            peer_docs = docs[: max(1, cfg.peer_doc_bytes // size)]
            if compute is not None:
                seconds, _, error = measure_peer(
                    lambda compute=compute, docs=peer_docs: compute(docs), cfg.peer_repeats
                )
            if seconds is None:
                rows.append([f"{size:,} B", peer.label, "n/a", "n/a", "n/a", "n/a"])
                if error:
                    failures.append(f"{peer.name} on {size:,} B texts: n/a, it raised {error}")
                continue
            mbs = len(peer_docs) * size / seconds / MB
            rows.append(
                [
                    f"{size:,} B",
                    peer.label,
                    fmt_count(len(peer_docs)),
                    fmt_rate(mbs),
                    fmt_count(len(peer_docs) / seconds),
                    fmt_ratio(ours_mbs, mbs),
                ]
            )

    notes = [
        "ours: SimHash(64).compute(text) -> bytes; simhash: Simhash(text, f=64).value;",
        "  both get the same str documents",
        "each tokenises and hashes in its own way (simhash: 4-letter shingles of the letters,",
        "  MD5 each), so fingerprints differ",
        f"Python peers: the first {cfg.peer_doc_bytes // 1024} KiB of documents of each size"
        f" (at least one), best of {cfg.peer_repeats}",
        "ours/this: our MB/s on that text size / this row's MB/s",
    ]
    if simhash_peer.reason:
        notes.append(f"{simhash_peer.name}: {simhash_peer.reason}")
    notes += failures
    if any("out of bounds for uint8" in f for f in failures):
        notes += [
            "  (simhash multiplies a uint8 bit array by a shingle's count when the count is",
            "  above 50; with numpy 2 a count above 255 in one text raises instead of wrapping)",
        ]
    print_table(
        f"SimHash.compute: {FINGERPRINT_BITS}-bit fingerprints of English-like texts",
        ["text size", "implementation", "docs", "MB/s", "docs/s", "ours/this"],
        rows,
        left_columns=2,
        notes=notes,
    )


def bench_hamming(cfg, simhash_peer):
    # Random fingerprints differ in about half their bits, as those of unrelated texts do.
    rng = random.Random(corpus.SEED)
    values = [(rng.getrandbits(64), rng.getrandbits(64)) for _ in range(cfg.hamming_pairs)]
    size = FINGERPRINT_BITS // 8
    pairs = [(a.to_bytes(size, "little"), b.to_bytes(size, "little")) for a, b in values]
    distance = dedup_core.SimHash.hamming_distance
    seconds, _ = measure(lambda: list(starmap(distance, pairs)), cfg.repeats)
    ours_rate = len(pairs) / seconds
    ours_label = f"dedup_core {dedup_core.__version__}"
    rows = [[ours_label, fmt_count(len(pairs)), fmt_count(ours_rate), "1.00"]]
    notes = [
        "ours: SimHash.hamming_distance(fp1, fp2) over a list of pairs of 8-byte fingerprints",
    ]

    seconds = error = None
    if simhash_peer.module:
        simhash_class = simhash_peer.module.Simhash
        peer_values = values[: cfg.peer_hamming_pairs]
        objects = [(simhash_class(a), simhash_class(b)) for a, b in peer_values]
        seconds, _, error = measure_peer(
            lambda: list(starmap(simhash_class.distance, objects)), cfg.peer_repeats
        )
        notes.append(
            "simhash: Simhash.distance over pairs of Simhash objects holding the same values,"
            f" best of {cfg.peer_repeats}"
        )
    if seconds is None:
        rows.append([simhash_peer.label, "n/a", "n/a", "n/a"])
        notes.append(f"simhash: {simhash_peer.reason or 'n/a, it raised ' + str(error)}")
    else:
        rate = len(objects) / seconds
        ratio = fmt_ratio(ours_rate, rate)
        rows.append([simhash_peer.label, fmt_count(len(objects)), fmt_count(rate), ratio])
    print_table(
        "SimHash.hamming_distance: calls on random 8-byte fingerprints",
        ["implementation", "pairs", "calls/s", "ours/this"],
        rows,
        notes=notes,
    )


# --- chunking ----------------------------------------------------------------------------------


def chunk_peers(pyfastcdc_peer, fastcdc_peer):
    """[(label, chunk whole buffer -> list, pure Python?, note)], None callables for n/a."""
    peers = []
    if pyfastcdc_peer.module:
        chunker = pyfastcdc_peer.module.FastCDC()
        slow = type(chunker).__module__.startswith("pyfastcdc.py")
        label = f"{pyfastcdc_peer.label} avg {chunker.avg_size}"
        label += " (pure Python)" if slow else " (Cython)"
        note = "pyfastcdc: list(FastCDC().cut_buf(buf)), its chunks are views of buf, not copies"
        peers.append((label, lambda buf: list(chunker.cut_buf(buf)), slow, note))
    else:
        peers.append((pyfastcdc_peer.label, None, False, f"pyfastcdc: {pyfastcdc_peer.reason}"))
    if fastcdc_peer.module:
        fastcdc = fastcdc_peer.module.fastcdc
        slow = fastcdc.__module__.endswith("_py")
        label = f"{fastcdc_peer.label} avg 8192" + (" (pure Python)" if slow else " (Cython)")
        # fat=True makes its chunks carry a copy of their bytes, as ours do.
        note = "fastcdc: list(fastcdc.fastcdc(buf, fat=True)), its chunks hold copies as ours do"
        peers.append((label, lambda buf: list(fastcdc(buf, fat=True)), slow, note))
    else:
        peers.append((fastcdc_peer.label, None, False, f"fastcdc: {fastcdc_peer.reason}"))
    return peers


def bench_chunk(cfg, buffers, lib, pyfastcdc_peer, fastcdc_peer):
    """Returns False when the literal chunk count disagrees with CDC.chunk."""
    agreed = True
    peers = chunk_peers(pyfastcdc_peer, fastcdc_peer)
    notes = [
        "ours: CDC().chunk(buf), CDC(256).chunk(buf) and CDC(4096).chunk(buf) -> list[bytes]",
        "literal loop: the cut-hash loop alone, counting chunks without making them;",
        "  its count must equal len(CDC(chunk_size).chunk(buf)), and here it does unless noted",
        "ratio columns: speed of CDC(), CDC(256) or CDC(4096) on the same data / this row's speed",
        *(note for _, _, _, note in peers),
    ]
    if any(slow for _, chunk_all, slow, _ in peers if chunk_all):
        notes.append(
            f"pure-Python peers: the first {cfg.slow_prefix / MIB:g} MiB only,"
            f" best of {cfg.slow_repeats}"
        )
    if lib is None:
        notes.append("literal loop: n/a, literal_scan.cpp did not build (see above)")

    rows = []
    for data_name, buf in buffers:
        # Rows as (label, bytes in, chunks, MB/s, chunk size of ours or the literal loop).
        entries = []
        ours = {}
        for chunk_size in CHUNK_SIZES:
            is_default = chunk_size == CHUNK_SIZES[0]
            cdc = dedup_core.CDC() if is_default else dedup_core.CDC(chunk_size)
            name = "CDC()" if is_default else f"CDC({chunk_size})"
            literal_label = f"literal loop ({chunk_size})"
            if lib is None:
                seconds, count = measure(lambda cdc=cdc, buf=buf: cdc.chunk(buf), cfg.repeats, len)
                ours[chunk_size] = mbs = len(buf) / seconds / MB
                entries.append((f"dedup_core {name}", len(buf), count, mbs, chunk_size))
                entries.append((literal_label, None, None, None, chunk_size))
                continue
            # Ours and the literal loop in turns: their ratio is what the goals are about.
            chunk_calls = [
                lambda cdc=cdc, buf=buf: cdc.chunk(buf),
                lambda buf=buf, size=chunk_size: lib.literal_chunk_count(buf, len(buf), size),
            ]
            (seconds, count), (literal_seconds, literal_count) = measure_alternating(
                chunk_calls, cfg.repeats, lambda r: r if isinstance(r, int) else len(r)
            )
            ours[chunk_size] = len(buf) / seconds / MB
            entries.append((f"dedup_core {name}", len(buf), count, ours[chunk_size], chunk_size))
            if literal_count != count:
                agreed = False
                notes.append(
                    f"MISMATCH on {data_name} with chunk_size {chunk_size}: the literal loop"
                    f" counts {literal_count:,} chunks, CDC.chunk returns {count:,}"
                )
            seconds = literal_seconds
            literal_mbs = len(buf) / seconds / MB
            entries.append((literal_label, len(buf), literal_count, literal_mbs, chunk_size))
            goal = CHUNK_GOAL_OTHERS
            if is_default and data_name == "random":
                goal = CHUNK_GOAL_DEFAULT_RANDOM
            ratio = ours[chunk_size] / literal_mbs
            GOALS.append((f"{name}.chunk, {data_name}", ratio, goal, "x literal"))

        for label, chunk_all, slow, _ in peers:
            seconds = error = None
            data = buf[: cfg.slow_prefix] if slow else buf
            if chunk_all is not None:
                repeats = cfg.slow_repeats if slow else cfg.repeats
                seconds, count, error = measure_peer(
                    lambda chunk_all=chunk_all, data=data: chunk_all(data), repeats, len
                )
            if seconds is None:
                entries.append((label, None, None, None, None))
                if error:
                    notes.append(f"{label} on {data_name}: n/a, it raised {error}")
                continue
            entries.append((label, len(data), count, len(data) / seconds / MB, None))

        for label, size, count, mbs, own_size in entries:
            # Ours and the literal loop are compared only at their own chunk size.
            ratios = [
                "-" if own_size not in (None, chunk_size) else fmt_ratio(ours[chunk_size], mbs)
                for chunk_size in CHUNK_SIZES
            ]
            rows.append(
                [
                    data_name,
                    label,
                    "n/a" if size is None else f"{size / MIB:g}",
                    fmt_count(count),
                    "n/a" if not count else f"{size / count:,.0f}",
                    fmt_rate(mbs),
                    *ratios,
                ]
            )
        rows.append([""] * (6 + len(CHUNK_SIZES)))
    rows.pop()

    print_table(
        f"CDC.chunk: {cfg.big / MIB:g} MiB of random bytes and of English-like text",
        ["data", "implementation", "MiB", "chunks", "mean B", "MB/s"]
        + [f"CDC{'()' if i == 0 else f'({s})'}/this" for i, s in enumerate(CHUNK_SIZES)],
        rows,
        left_columns=2,
        notes=notes,
    )
    return agreed


# --- deduplication -----------------------------------------------------------------------------


def dedup_worker(cfg):
    """Times deduplicate in this process, whose OMP_NUM_THREADS the parent set at start-up,
    and prints the figures as one JSON line."""
    chunks = corpus.repeated_chunks(cfg.big, DEDUP_CHUNK_LEN)
    cdc = dedup_core.CDC()
    seconds, (unique, reduction) = measure(
        lambda: cdc.deduplicate(chunks), cfg.repeats, lambda r: (len(r[0]), r[1])
    )
    figures = {
        "seconds": seconds,
        "chunks": len(chunks),
        "bytes": sum(map(len, chunks)),
        "unique": unique,
        "reduction": reduction,
    }
    print(json.dumps(figures))


def bench_dedup(cfg, args, random_buf, lib):
    """Returns False when a worker failed."""
    ok = True
    runs = {}
    notes = [
        "ours: CDC().deduplicate(chunks) -> (list[bytes], float), in a fresh process per",
        "  OMP_NUM_THREADS value, since OpenMP reads it once at start-up",
        "literal loop: the chunk digest alone, over as many 2 KiB pieces, in one thread",
        "speed-up: over our 1-thread run; ours/literal: this row's speed / the literal loop's",
    ]
    for threads in DEDUP_THREADS:
        env = dict(os.environ, OMP_NUM_THREADS=str(threads))
        command = [sys.executable, __file__, "--dedup-worker", "--mb", str(args.mb)]
        if args.quick:
            command.append("--quick")
        done = subprocess.run(command, env=env, capture_output=True, text=True)
        if done.returncode != 0:
            ok = False
            notes.append(f"OMP_NUM_THREADS={threads}: the worker failed: {done.stderr.strip()}")
            continue
        runs[threads] = json.loads(done.stdout.strip().splitlines()[-1])

    literal_mbs = literal_seconds = total = None
    if runs:
        first = next(iter(runs.values()))
        total = first["bytes"]
        notes.append(
            f"input: {first['chunks']:,} chunks of {DEDUP_CHUNK_LEN} random bytes"
            f" ({total / MIB:g} MiB), each distinct chunk twice in shuffled order;"
            f" {first['unique']:,} unique, reduction {first['reduction']}%"
        )
    if lib is not None and total is not None and total <= len(random_buf):
        literal_seconds, _ = measure(
            lambda: lib.literal_digests(random_buf, total, DEDUP_CHUNK_LEN), cfg.repeats
        )
        literal_mbs = total / literal_seconds / MB

    rows = []
    base = runs.get(DEDUP_THREADS[0])
    base_mbs = base["bytes"] / base["seconds"] / MB if base else None
    for threads in DEDUP_THREADS:
        run = runs.get(threads)
        if run is None:
            rows.append(["dedup_core deduplicate", str(threads), "n/a", "n/a", "n/a", "n/a"])
            continue
        mbs = run["bytes"] / run["seconds"] / MB
        rows.append(
            [
                "dedup_core deduplicate",
                str(threads),
                fmt_rate(mbs),
                fmt_count(run["chunks"] / run["seconds"]),
                fmt_ratio(mbs, base_mbs),
                fmt_ratio(mbs, literal_mbs),
            ]
        )
    two = runs.get(2)
    if two and literal_mbs:
        ratio = two["bytes"] / two["seconds"] / MB / literal_mbs
        GOALS.append(("deduplicate, 2 threads", ratio, DEDUP_GOAL, "x literal"))
    literal_chunks = None if literal_mbs is None else total / DEDUP_CHUNK_LEN / literal_seconds
    literal_self = "1.00" if literal_mbs else "n/a"
    literal_rate = fmt_rate(literal_mbs)
    literal_chunk_rate = fmt_count(literal_chunks)
    rows.append(["literal digest loop", "1", literal_rate, literal_chunk_rate, "-", literal_self])
    print_table(
        f"CDC.deduplicate: {cfg.big / MIB:g} MiB in {DEDUP_CHUNK_LEN // 1024} KiB chunks,"
        " half of them repeats",
        ["implementation", "threads", "MB/s", "chunks/s", "speed-up", "ours/literal"],
        rows,
        notes=notes,
    )
    return ok


def print_goals():
    rows = [
        [what, f"{value:,.2f}", f"{goal:g}", unit, "met" if value >= goal else "NOT met"]
        for what, value, goal, unit in GOALS
    ]
    print_table(
        "Goals of the fast paths, from the figures above",
        ["measure", "this run", "goal", "unit", ""],
        rows,
        notes=["x literal: our speed / the literal loop's on the same input, in this run"],
    )


# --- main --------------------------------------------------------------------------------------


def parse_args():
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("--quick", action="store_true", help="small sizes for a smoke run")
    parser.add_argument(
        "--mb",
        type=int,
        default=None,
        help="large buffer size in MiB (default: $BENCH_MB, else 1 with --quick, else 256)",
    )
    parser.add_argument("--dedup-worker", action="store_true", help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.mb is None:
        from_env = os.environ.get("BENCH_MB")
        args.mb = int(from_env) if from_env else (1 if args.quick else 256)
    # The largest SimHash text is 64 KiB, and every table needs at least one.
    if args.mb < 1:
        parser.error("--mb must be at least 1")
    return args


def main():
    args = parse_args()
    cfg = Config(args.mb, args.quick)
    if args.dedup_worker:
        dedup_worker(cfg)
        return 0

    started = time.perf_counter()
    peers = {
        "simhash": Peer("simhash", "simhash"),
        "pyfastcdc": Peer("pyfastcdc", "pyfastcdc"),
        "fastcdc": Peer("fastcdc", "fastcdc"),
    }
    lib, build_error = build_literal_scan()

    print("dedup_core benchmarks" + (" (quick run)" if cfg.quick else ""))
    print(
        f"python {platform.python_version()}; {cpu_model()}, {os.cpu_count()} CPUs;"
        f" dedup_core {dedup_core.__version__}, has_avx2={dedup_core.has_avx2},"
        f" has_openmp={dedup_core.has_openmp}"
    )
    print("peers: " + "; ".join(p.label + (" n/a" if p.reason else "") for p in peers.values()))
    # Other work on this small machine skews the figures, the threaded ones most.
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    print(
        f"timing: best of {cfg.repeats} whole calls after one warm-up call, result objects"
        f" included, garbage collector paused; MB = 10^6 bytes; seed {corpus.SEED};"
        f" load average {load} at the start"
    )
    if build_error:
        print(f"literal_scan.cpp did not build:\n{build_error}")

    generating = time.perf_counter()
    random_buf = corpus.random_bytes(cfg.big)
    text = corpus.english_like_text(cfg.big)
    words = text.count(b" ") + 1
    print(
        f"inputs: {cfg.big / MIB:g} MiB of random bytes; {cfg.big / MIB:g} MiB of English-like"
        f" text ({corpus.VOCABULARY_SIZE:,} words of {corpus.WORD_LENGTHS[0]} to"
        f" {corpus.WORD_LENGTHS[1]} letters, Zipf s={corpus.ZIPF_EXPONENT:g},"
        f" {len(text) / words:.2f} bytes a word with its space);"
        f" made in {time.perf_counter() - generating:.1f} s"
    )

    bench_simhash(cfg, text, peers["simhash"])
    bench_hamming(cfg, peers["simhash"])
    agreed = bench_chunk(
        cfg, [("random", random_buf), ("text", text)], lib, peers["pyfastcdc"], peers["fastcdc"]
    )
    del text
    dedup_ok = bench_dedup(cfg, args, random_buf, lib)

    print_goals()
    load = " ".join(f"{x:.2f}" for x in os.getloadavg())
    print(f"\ntotal time {time.perf_counter() - started:.0f} s; load average {load} at the end")
    return 0 if agreed and dedup_ok and lib is not None else 1


if __name__ == "__main__":
    sys.exit(main())
