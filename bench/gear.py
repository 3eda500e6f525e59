"""GearCDC against pyfastcdc: speed of the cut points, of chunks as bytes, of streaming, and
the share of a new release's source tree that deduplicates against the previous release.

    python bench/gear.py           256 MiB buffers, best of 5 (a few minutes)
    python bench/gear.py --quick   1 MiB buffers, once each, an edited copy for the share (seconds)

Speed: ``GearCDC.cut_points`` (offsets only) against consuming pyfastcdc's ``cut_buf`` with
the same min/avg/max and normalisation level on the same buffer, random bytes and English-like
text, one thread; then ``threads=2`` against one; ``chunk()`` against ``cut_buf`` plus
``bytes()`` of each chunk; ``iter_chunks`` over a file in the page cache against
``cut_points`` on the same bytes in memory. Each ratio comes from runs side by side in one
process, best of N: one-thread runs in the process's CPU time, the thread comparison in
wall-clock time, streaming (read ahead on a second thread) in both. The load average is
printed with them: on a shared machine only the ratios mean much, and the wall-clock ones
little.

Deduplication: two successive sdists of one library are fetched from PyPI with ``pip
download`` (cached under build/bench-data/), their ``.py`` files tarred in the same (sorted)
order, and the share of the new tar's bytes that lie in chunks the old tar also has is
reported for GearCDC, pyfastcdc at the same sizes, CDC and fixed-size blocks. The quick run
downloads nothing: its pair is English-like text and a copy of it with short edits.
"""

import argparse
import ctypes
import hashlib
import io
import os
import subprocess
import sys
import tarfile
import tempfile
import time
from pathlib import Path

import numpy as np
import veltrane
from veltrane import CDC, GearCDC

from report import cpu_model, per_isa, print_table

MIB = 1 << 20
# Library releases whose source trees make the version pairs: two successive patch releases,
# and the last patch release of one feature release with the next feature release.
PAIRS = [("Django", "5.0.6", "5.0.7"), ("Django", "5.0.8", "5.1")]
DATA_DIR = Path(__file__).resolve().parent.parent / "build" / "bench-data"
AVG_SIZES = (2048, 8192, 65536)
# The speed targets of the work, printed beside the figures.
TARGET_CUT_RATIO = 1.5
TARGET_THREAD_RATIO = 1.8
TARGET_CHUNK_RATIO = 1.5
TARGET_STREAM_RATIO = 0.85
# English-like text: common words drawn with Zipf-like weights, in lines of 5 to 15 words.
WORDS = (
    "the of and to a in is it you that he was for on are with as his they be at one have "
    "this from or had by hot word but what some we can out other were all there when up use "
    "your how said an each she which do their time if will way about many then them write "
    "would like so these her long make thing see him two has look more day could go come did "
    "number sound no most people my over know water than call first who may down side been "
    "now find any new work part take get place made live where after back little only round "
    "man year came show every good me give our under name very through just form sentence "
    "great think say help low line differ turn cause much mean before move right boy old too "
    "same tell does set three want air well also play small end put home read hand port large "
    "spell add even land here must big high such follow act why ask men change went light"
).split()


def best_of(runs, fn, *args, clock=time.process_time, **kwargs):
    """The shortest of `runs` calls, and the last result. One-thread runs are timed in this
    process's CPU time, which a busy machine disturbs far less than the wall clock; runs on
    several threads need the wall clock (clock=time.perf_counter)."""
    best = float("inf")
    result = None
    for _ in range(runs):
        # The last result goes first, so that no run finds its memory already faulted in by
        # another's.
        result = None
        start = clock()
        result = fn(*args, **kwargs)
        best = min(best, clock() - start)
    return best, result


def count_cut_buf(peer, data) -> int:
    return sum(1 for _ in peer.cut_buf(data))


def count_streamed(path, chunker) -> int:
    return sum(1 for _ in veltrane.iter_chunks(path, chunker=chunker, read_size=8 * MIB))


def count_spans(path, chunker) -> int:
    return sum(1 for _ in veltrane.iter_chunk_spans(path, chunker=chunker, read_size=8 * MIB))


def bytes_of_cut_buf(peer, data) -> list[bytes]:
    return [bytes(c.data) for c in peer.cut_buf(data)]


def english_like(size: int, seed: int = 1) -> bytes:
    rng = np.random.default_rng(seed)
    weights = 1.0 / np.arange(1, len(WORDS) + 1)
    weights /= weights.sum()
    encoded = [w.encode() for w in WORDS]
    out = bytearray()
    # 8 MiB of distinct text, repeated: the cut speed does not depend on repetition.
    piece = min(size, 8 * MIB)
    while len(out) < piece:
        ids = rng.choice(len(WORDS), size=10_000, p=weights)
        lengths = rng.integers(5, 16, size=1000)
        k = 0
        for n in lengths:
            line = b" ".join(encoded[i] for i in ids[k : k + n])
            out += line[:1].upper() + line[1:] + b".\n"
            k += n
    piece_bytes = bytes(out[:piece])
    return (piece_bytes * (size // piece + 1))[:size]


def pyfastcdc_chunker(avg, low, high, level):
    try:
        from pyfastcdc import FastCDC
    except ImportError:
        return None
    return FastCDC(avg, min_size=low, max_size=high, normalized_chunking=level)


def kib(n: int) -> str:
    return f"{n // 1024}K" if n % 1024 == 0 else str(n)


def sizes(g) -> str:
    return f"{kib(g.min_size)}/{kib(g.avg_size)}/{kib(g.max_size)}"


def load() -> str:
    return "load average " + " ".join(f"{x:.1f}" for x in os.getloadavg())


def table_load_bound():
    """A function timing one table load a byte over its data (bench/literal_scan.cpp), or
    None when that cannot be built."""
    from run import build_literal_scan

    lib, _ = build_literal_scan()
    if lib is None:
        return None
    lib.table_load_bound.argtypes = [ctypes.c_char_p, ctypes.c_uint64]
    lib.table_load_bound.restype = ctypes.c_uint64
    return lambda data: lib.table_load_bound(data, len(data))


def speed(size: int, runs: int) -> None:
    buffers = {"random": np.random.default_rng(0).bytes(size), "text": english_like(size)}
    bound = table_load_bound()
    loads = best_of(runs, bound, buffers["random"])[0] if bound is not None else None
    rows = []
    for name, data in buffers.items():
        for avg in AVG_SIZES:
            g = GearCDC(avg)
            peer = pyfastcdc_chunker(avg, g.min_size, g.max_size, g.normalization)
            one, ends = best_of(runs, g.cut_points, data, threads=1)
            wall, _ = best_of(runs, g.cut_points, data, threads=1, clock=time.perf_counter)
            two, ends2 = best_of(runs, g.cut_points, data, threads=2, clock=time.perf_counter)
            assert np.array_equal(ends, ends2)
            if peer is not None:
                theirs, count = best_of(runs, count_cut_buf, peer, data)
            else:
                theirs, count = None, 0
            # The walk hashes from 64 bytes before min_size to each cut: at the table-load
            # bound, a kernel that looks the table up byte by byte takes this long.
            hashed = (size / len(ends) - g.min_size + 64) / (size / len(ends))
            at_bound = loads * hashed if loads is not None else None
            rows.append(
                [
                    name,
                    sizes(g),
                    f"{size / one / 1e9:.2f}",
                    f"{size / theirs / 1e9:.2f}" if theirs else "n/a",
                    f"{theirs / one:.2f}x" if theirs else "n/a",
                    f"{size / two / 1e9:.2f}",
                    f"{wall / two:.2f}x",
                    f"{size / len(ends) / 1024:.1f}",
                    f"{size / count / 1024:.1f}" if count else "n/a",
                    f"{theirs / at_bound:.2f}x" if theirs and at_bound else "n/a",
                ]
            )
    print_table(
        f"cut points of {size // MIB} MiB, one thread unless said (GB/s; {load()})",
        [
            "data",
            "min/avg/max",
            "GearCDC",
            "pyfastcdc",
            "ratio",
            "2 threads",
            "2 vs 1",
            "mean KiB",
            "peer KiB",
            "bound ratio",
        ],
        rows,
        left_columns=2,
        notes=[
            f"targets: ratio >= {TARGET_CUT_RATIO}, 2 vs 1 >= {TARGET_THREAD_RATIO}; "
            f"kernel {veltrane._native.isa()}; pyfastcdc with the same sizes and "
            "normalisation level",
            "bound ratio: the ratio of a walk hashing at one table load a byte and nothing "
            "else"
            + (f" ({size / loads / 1e9:.2f} GB/s here)" if loads else " (not built)")
            + ", the most any kernel that looks the table up byte by byte can reach",
        ],
    )

    data = buffers["random"]
    g = GearCDC()
    peer = pyfastcdc_chunker(g.avg_size, g.min_size, g.max_size, g.normalization)
    # One thread in CPU time; the default (every core) in wall-clock time, against the peer's
    # one thread in the same clock.
    rows = []
    for label, threads, clock in (
        ("GearCDC.chunk(threads=1), CPU time", 1, time.process_time),
        ("GearCDC.chunk(), wall clock", None, time.perf_counter),
    ):
        ours, chunks = best_of(runs, g.chunk, data, threads=threads, clock=clock)
        del chunks  # so that the peer's runs allocate as ours did
        rows.append([label, f"{size / ours / 1e9:.2f}", ""])
        if peer is not None:
            theirs, chunks = best_of(runs, bytes_of_cut_buf, peer, data, clock=clock)
            del chunks
            rows[-1][2] = f"{theirs / ours:.2f}x"
            rows.append(["  pyfastcdc cut_buf + bytes()", f"{size / theirs / 1e9:.2f}", ""])
    print_table(
        f"chunks as bytes, {sizes(g)}, random (GB/s; {load()})",
        ["", "GB/s", "ratio"],
        rows,
        notes=[f"target: ratio >= {TARGET_CHUNK_RATIO}"],
    )

    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "random.bin"
        path.write_bytes(data)
        path.read_bytes()  # into the page cache
        gt = GearCDC()
        # A path is read ahead on a second thread while the cut runs: the wall clock shows
        # what that saves where a core is free, the CPU time what it costs.
        rows = []
        for clock in (time.perf_counter, time.process_time):
            memory, ends = best_of(runs, gt.cut_points, data, threads=1, clock=clock)
            name = "wall clock" if clock is time.perf_counter else "CPU time"
            rows.append([f"cut_points in memory, {name}", f"{size / memory / 1e9:.2f}", "1.00x"])
            for label, count in (
                ("iter_chunk_spans", count_spans),
                ("iter_chunks", count_streamed),
            ):
                streamed, n = best_of(runs, count, path, gt, clock=clock)
                assert n == len(ends)
                rows.append(
                    [
                        f"{label}, {name}",
                        f"{size / streamed / 1e9:.2f}",
                        f"{memory / streamed:.2f}x",
                    ]
                )
    print_table(
        f"a file in the page cache, streamed (read_size 8 MiB), against the same bytes in memory, "
        f"{sizes(GearCDC())}, cut on one thread (GB/s; {load()})",
        ["", "GB/s", "ratio"],
        rows,
        notes=[f"target: ratio >= {TARGET_STREAM_RATIO}"],
    )


def fetch_sources(name: str, version: str) -> bytes:
    """The .py files of the sdist, tarred in sorted order with fixed metadata."""
    DATA_DIR.mkdir(parents=True, exist_ok=True)
    found = sorted(DATA_DIR.glob(f"{name.lower()}-{version}.tar.gz")) + sorted(
        DATA_DIR.glob(f"{name}-{version}.tar.gz")
    )
    if not found:
        subprocess.run(
            [
                sys.executable,
                "-m",
                "pip",
                "download",
                "--quiet",
                "--no-deps",
                "--no-binary",
                ":all:",
                "--dest",
                str(DATA_DIR),
                f"{name}=={version}",
            ],
            check=True,
        )
        found = sorted(DATA_DIR.glob(f"{name.lower()}-{version}.tar.gz")) + sorted(
            DATA_DIR.glob(f"{name}-{version}.tar.gz")
        )
    out = io.BytesIO()
    with tarfile.open(found[0]) as sdist, tarfile.open(fileobj=out, mode="w") as tar:
        members = sorted(
            (m for m in sdist.getmembers() if m.isfile() and m.name.endswith(".py")),
            key=lambda m: m.name.split("/", 1)[1],
        )
        for m in members:
            content = sdist.extractfile(m).read()
            info = tarfile.TarInfo(m.name.split("/", 1)[1])
            info.size = len(content)
            tar.addfile(info, io.BytesIO(content))
    return out.getvalue()


def share(old_chunks, new_chunks) -> tuple[float, float]:
    """Share of the new bytes in chunks the old data holds, and the new data's mean chunk."""
    old = {hashlib.blake2b(c, digest_size=16).digest() for c in old_chunks}
    found = sum(len(c) for c in new_chunks if hashlib.blake2b(c, digest_size=16).digest() in old)
    total = sum(map(len, new_chunks))
    return 100.0 * found / total, total / len(new_chunks)


def pieces(data: bytes, ends) -> list[bytes]:
    starts = [0, *ends[:-1]]
    return [data[s:e] for s, e in zip(starts, ends)]


def edited_copy(data: bytes, edits: int, seed: int = 3) -> bytes:
    """data with `edits` short insertions, deletions and overwrites at random places."""
    rng = np.random.default_rng(seed)
    out = bytearray(data)
    # From the end backwards, so that an edit does not move the places of those still to come.
    for at in sorted(rng.integers(0, len(data), size=edits).tolist(), reverse=True):
        removed, inserted = rng.integers(0, 20, size=2)
        letters = rng.integers(ord("a"), ord("z") + 1, size=inserted, dtype=np.uint8)
        out[at : at + removed] = letters.tobytes()
    return bytes(out)


def dedup_share(title: str, old: bytes, new: bytes) -> None:
    rows = []

    def add(label, chunk):
        percent, mean = share(chunk(old), chunk(new))
        rows.append([label, f"{mean / 1000:.1f}", f"{percent:.1f}%"])

    for avg in (2048, 4096, 8192):
        g = GearCDC(avg)
        add(f"GearCDC({avg})", g.chunk)
        peer = pyfastcdc_chunker(avg, g.min_size, g.max_size, g.normalization)
        if peer is not None:
            add(
                f"pyfastcdc avg {avg // 1024} KiB, same min/max/level",
                lambda d, p=peer: [bytes(c.data) for c in p.cut_buf(d)],
            )
            default_peer = pyfastcdc_chunker(avg, None, None, 1)
            add(
                f"pyfastcdc avg {avg // 1024} KiB, its defaults",
                lambda d, p=default_peer: [bytes(c.data) for c in p.cut_buf(d)],
            )
    for size in (1024, 4096):
        add(f"CDC({size})", CDC(size).chunk)
    add("fixed 2 KiB blocks", lambda d: [d[i : i + 2048] for i in range(0, len(d), 2048)])
    print_table(
        f"share of the new data found in the old: {title}"
        f" ({len(old) / 1e6:.1f} and {len(new) / 1e6:.1f} MB)",
        ["chunker", "mean KB", "share"],
        rows,
    )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="1 MiB buffers, once each")
    parser.add_argument("--no-speed", action="store_true", help="only the deduplication share")
    args = parser.parse_args()
    print(f"{cpu_model()}, {os.cpu_count()} CPUs, Python {sys.version.split()[0]}")
    if not args.no_speed:
        speed(MIB if args.quick else 256 * MIB, 1 if args.quick else 5)
    if args.quick:
        old = english_like(MIB, seed=2)
        dedup_share("English-like text -> a copy with 100 short edits", old, edited_copy(old, 100))
        return
    for name, old_version, new_version in PAIRS:
        try:
            old, new = fetch_sources(name, old_version), fetch_sources(name, new_version)
        except (subprocess.CalledProcessError, OSError, IndexError) as e:
            print(f"\nversion pair: could not fetch {name} {old_version} and {new_version}: {e}")
            continue
        title = f"{name} {old_version} -> {new_version}, .py files tarred in sorted order"
        dedup_share(title, old, new)


if __name__ == "__main__":
    sys.exit(per_isa(main))
