"""Streaming chunking of a large file, and the near-dups command on a million lines.

    python bench/stream.py           a 1 GiB file and 1,000,000 lines (a few minutes)
    python bench/stream.py --quick   a 1 MiB file and 2,000 lines, once each (seconds)

Chunking: ``iter_chunks(path)`` against reading the whole file and calling
``CDC(1024).chunk`` on it, each in a fresh process (so that ``ru_maxrss`` is the peak of that
one run), best of a few runs, with the file in the page cache for both. Both consume the
chunks the same way, by recording their lengths, and the two length sequences must be equal:
over the same content, equal lengths mean equal chunks.

Near duplicates: ``veltrane near-dups`` as a subprocess, its standard error on a terminal of
its own, so the progress bar is drawn and its cost counted.

Inputs are written under /tmp and deleted afterwards. Figures are reported beside their
targets, never held against them; a chunk mismatch or a failed run makes the exit status 1.
"""

import argparse
import fcntl
import hashlib
import json
import os
import pty
import random
import resource
import struct
import subprocess
import sys
import tempfile
import termios
import time
from array import array

from report import per_isa

MIB = 1 << 20
GIB = 1 << 30
CHUNK_SIZE = 1024  # CDC()'s default
# Targets of the streaming work: at least this share of the whole-file throughput, and a
# peak resident size below this.
TARGET_RATIO = 0.85
TARGET_RSS = 64 * MIB
TARGET_NEAR_DUPS_SECONDS = 60
# The input is generated and written a piece at a time, small enough that this process stays
# small: a child inherits its parent's peak resident size across exec in ru_maxrss.
WRITE_PIECE = 4 * MIB
# Generated text: words from a fixed vocabulary, 8 to 20 per line; this share of lines copies
# an earlier line with one word replaced, so that there are near duplicates to find.
VOCABULARY = 20_000
WORDS_PER_LINE = (8, 20)
NEAR_COPY_SHARE = 0.1
RECENT_LINES = 1000  # near copies are made of one of the last this many original lines


def worker(mode: str, path: str) -> None:
    """One measured run in this process; prints its figures as JSON."""
    from veltrane import CDC, iter_chunks

    rss_before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024
    start = time.perf_counter()
    if mode == "whole":
        with open(path, "rb") as f:
            data = f.read()
        lengths = array("q", map(len, CDC(CHUNK_SIZE).chunk(data)))
    else:
        lengths = array("q", map(len, iter_chunks(path, CHUNK_SIZE)))
    seconds = time.perf_counter() - start
    print(
        json.dumps(
            {
                "seconds": seconds,
                "chunks": len(lengths),
                "lengths_digest": hashlib.blake2b(lengths.tobytes()).hexdigest(),
                "rss": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024,
                "rss_before": rss_before,
            }
        )
    )


def measure(mode: str, path: str) -> dict:
    out = subprocess.run(
        [sys.executable, __file__, "--worker", mode, path],
        capture_output=True,
        text=True,
        check=True,
    )
    return json.loads(out.stdout)


def write_random_file(size: int) -> str:
    fd, path = tempfile.mkstemp(prefix="veltrane-bench-", suffix=".bin", dir="/tmp")
    rng = random.Random(1)
    with os.fdopen(fd, "wb") as f:
        left = size
        while left:
            n = min(WRITE_PIECE, left)
            f.write(rng.randbytes(n))
            left -= n
    return path


def bench_chunking(size: int, repeats: int) -> bool:
    print(
        f"iter_chunks over a {size / MIB:,.0f} MiB file of random bytes, chunk_size "
        f"{CHUNK_SIZE}, read_size 1 MiB; best of {repeats}"
    )
    path = write_random_file(size)
    try:
        with open(path, "rb") as f:  # into the page cache, so both read from memory
            while f.read(WRITE_PIECE):
                pass
        runs: dict[str, list[dict]] = {"whole": [], "stream": []}
        for _ in range(repeats):
            for mode in runs:
                runs[mode].append(measure(mode, path))
    finally:
        os.unlink(path)
    best = {mode: min(r, key=lambda x: x["seconds"]) for mode, r in runs.items()}
    same = len({r["lengths_digest"] for rs in runs.values() for r in rs}) == 1
    for mode, label in (("whole", "read whole file, CDC.chunk"), ("stream", "iter_chunks")):
        r = best[mode]
        print(
            f"  {label:28s} {r['seconds']:7.3f} s  {size / r['seconds'] / MIB:7.0f} MiB/s"
            f"  peak RSS {r['rss'] / MIB:7.1f} MiB (interpreter and imports"
            f" {r['rss_before'] / MIB:.1f} MiB)  {r['chunks']:,} chunks"
        )
    ratio = best["whole"]["seconds"] / best["stream"]["seconds"]
    print(
        f"  throughput of iter_chunks / whole-file chunking: {ratio:.2f}"
        f" (target at least {TARGET_RATIO})"
    )
    print(
        f"  peak RSS of iter_chunks: {best['stream']['rss'] / MIB:.1f} MiB"
        f" (target below {TARGET_RSS / MIB:.0f} MiB)"
    )
    print(f"  same chunks: {'yes' if same else 'NO'}")
    return same


def write_lines(count: int) -> str:
    rng = random.Random(7)
    letters = "abcdefghijklmnopqrstuvwxyz"
    words = ["".join(rng.choices(letters, k=rng.randint(2, 9))) for _ in range(VOCABULARY)]
    recent: list[list[str]] = []
    fd, path = tempfile.mkstemp(prefix="veltrane-bench-", suffix=".txt", dir="/tmp")
    with os.fdopen(fd, "w") as f:
        for _ in range(count):
            if recent and rng.random() < NEAR_COPY_SHARE:
                line = list(rng.choice(recent))
                line[rng.randrange(len(line))] = rng.choice(words)
            else:
                line = rng.choices(words, k=rng.randint(*WORDS_PER_LINE))
                recent.append(line)
                del recent[:-RECENT_LINES]
            f.write(" ".join(line) + "\n")
    return path


def run_on_terminal(argv: list[str], stdout) -> tuple[int, float, bytes]:
    """Runs argv with standard error on a new 80-column terminal; returns status, time, drawn."""
    main, secondary = pty.openpty()
    fcntl.ioctl(secondary, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 80, 0, 0))
    start = time.perf_counter()
    proc = subprocess.Popen(argv, stdout=stdout, stderr=secondary)
    os.close(secondary)
    drawn = b""
    while True:  # read as it comes, so the bar never blocks on a full terminal
        try:
            data = os.read(main, 1 << 16)
        except OSError:
            break
        if not data:
            break
        drawn += data
    status = proc.wait()
    seconds = time.perf_counter() - start
    os.close(main)
    return status, seconds, drawn


def bench_near_dups(lines: int, repeats: int) -> bool:
    print(
        f"veltrane near-dups over {lines:,} generated lines ({NEAR_COPY_SHARE:.0%} near copies"
        f" of earlier lines), --method simhash, progress bar on a terminal; best of {repeats}"
    )
    start = time.perf_counter()
    path = write_lines(lines)
    ok = True
    try:
        print(
            f"  generated {os.path.getsize(path) / MIB:,.1f} MiB in"
            f" {time.perf_counter() - start:.0f} s"
        )
        best = None
        for _ in range(repeats):
            with tempfile.TemporaryFile() as out:
                status, seconds, drawn = run_on_terminal(
                    [sys.executable, "-m", "veltrane", "near-dups", "--method", "simhash", path],
                    out,
                )
                out.seek(0)
                pairs = sum(1 for _ in out)
            ok = ok and status == 0
            best = seconds if best is None else min(best, seconds)
            bar = b"reading" in drawn
    finally:
        os.unlink(path)
    print(
        f"  {best:.1f} s wall, {pairs:,} pairs, progress bar drawn: {'yes' if bar else 'no'}"
        f" (target under {TARGET_NEAR_DUPS_SECONDS} s)"
    )
    return ok


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="small inputs, for a smoke run")
    parser.add_argument("--worker", nargs=2, metavar=("MODE", "PATH"), help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.worker:
        worker(*args.worker)
        return 0
    size, repeats, lines = (MIB, 1, 2_000) if args.quick else (GIB, 3, 1_000_000)
    ok = bench_chunking(size, repeats)
    print()
    ok = bench_near_dups(lines, repeats) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(per_isa(main))
