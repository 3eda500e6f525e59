"""Near duplicates by Jaccard similarity of 5-word shingles: quality on real text beside
datasketch, and the whole pipeline on a million generated documents.

    python bench/jaccard.py            full run: three corpora, then 1,000,000 documents
    python bench/jaccard.py --quick    smoke run: 50 texts a corpus, 2,000 documents

Quality: the truth is every pair whose exact shingle Jaccard similarity is at least 0.8,
computed here in plain Python (words are ``re.findall(r"\\w+", text.lower())``, shingles the
distinct runs of 5 words) by an exact all-pairs join with prefix filtering. Three corpora of
real text found on this Debian machine, none of it ours:

- prose: the paragraphs (blank-line separated, 10 words or more) of the license and
  copyright files under /usr/share/doc and /usr/share/common-licenses;
- source code: the .py files of the standard libraries of the Python versions pyenv holds
  (3.6 to 3.13 here: the same modules in several versions);
- structured text: man pages as roff source (/usr/share/man, gzip-compressed, translations
  included).

Documents without a shingle (no word at all) are left out: their similarity is a convention.

Figures are reported, never held against a threshold; the targets are printed beside them.
A failed check (a reported pair below the threshold with exact verification) makes the exit
status 1. datasketch shows as n/a when it does not import.
"""

import argparse
import gc
import gzip
import math
import os
import re
import resource
import subprocess
import sys
import time
from collections import Counter, defaultdict
from pathlib import Path

import numpy as np

BENCH_DIR = Path(__file__).resolve().parent
sys.path.insert(0, str(BENCH_DIR))

import veltrane  # noqa: E402

from report import cpu_model, per_isa, print_table  # noqa: E402

THRESHOLD = 0.8  # a true pair: exact shingle Jaccard at least this
SIMHASH_DISTANCE = 3  # the command line's SimHash default, for the "before" row
NGRAM = 5
NUM_PERM = 128
WORD = re.compile(r"\w+")


# --------------------------------------------------------------------------------------------
# Corpora


def _read(path: Path) -> str | None:
    try:
        data = gzip.decompress(path.read_bytes()) if path.suffix == ".gz" else path.read_bytes()
    except (OSError, EOFError, gzip.BadGzipFile):
        return None
    return data.decode("utf-8", "replace")


def prose(limit: int) -> list[str]:
    files = sorted(Path("/usr/share/doc").glob("*/copyright"))
    files += sorted(p for p in Path("/usr/share/common-licenses").glob("*") if p.is_file())
    paragraphs = []
    for path in files:
        text = _read(path)
        if text is None:
            continue
        for paragraph in re.split(r"\n\s*\n", text):
            if len(WORD.findall(paragraph)) >= 10:
                paragraphs.append(paragraph)
        if len(paragraphs) >= limit:
            break
    return paragraphs[:limit]


def sources(limit: int) -> list[str]:
    root = Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv")) / "versions"
    files = []
    for version in sorted(root.glob("3.*")):
        for lib in version.glob("lib/python3.*"):
            files += [
                p
                for p in sorted(lib.rglob("*.py"))
                if "site-packages" not in p.parts and p.stat().st_size < 100_000
            ]
    # Every k-th file, so that a limit keeps all versions and all packages.
    step = max(1, len(files) // limit)
    texts = [_read(p) for p in files[::step][:limit]]
    return [t for t in texts if t]


def man_pages(limit: int) -> list[str]:
    files = sorted(Path("/usr/share/man").rglob("*.gz"))
    step = max(1, len(files) // limit)
    texts = [_read(p) for p in files[::step][:limit]]
    return [t for t in texts if t]


CORPORA = {"prose (licenses)": prose, "source (.py)": sources, "structured (man roff)": man_pages}


# --------------------------------------------------------------------------------------------
# The truth: exact Jaccard >= threshold by prefix filtering


def shingle_set(text: str) -> frozenset:
    words = WORD.findall(text.lower())
    if not words:
        return frozenset()
    return frozenset(
        hash(tuple(words[k : k + NGRAM])) for k in range(max(1, len(words) - NGRAM + 1))
    )


def true_pairs(sets: list[frozenset], threshold: float) -> set[tuple[int, int]]:
    """Every pair (i, j), i < j, with Jaccard >= threshold. Identical sets are grouped first;
    among distinct sets, two with Jaccard >= t share a token among the first
    |x| - ceil(t |x|) + 1 of each, ordered rarest first (Chaudhuri, Ganti and Kaushik, "A
    primitive operator for similarity joins", 2006), and the smaller is at least t times the
    larger."""
    groups: dict[frozenset, list[int]] = defaultdict(list)
    for k, s in enumerate(sets):
        groups[s].append(k)
    distinct = sorted(groups, key=len)
    frequency = Counter(token for s in distinct for token in s)
    index: dict[int, list[int]] = defaultdict(list)
    found = set()
    for x, s in enumerate(distinct):
        ordered = sorted(s, key=lambda token: (frequency[token], token))
        prefix = ordered[: len(s) - math.ceil(threshold * len(s) - 1e-9) + 1]
        seen = set()
        for token in prefix:
            for y in index[token]:
                if y in seen:
                    continue
                seen.add(y)
                other = distinct[y]
                if len(other) < threshold * len(s):
                    continue
                common = len(s & other)
                if common / (len(s) + len(other) - common) >= threshold:
                    found.add((y, x))
            index[token].append(x)
    pairs = set()
    for members in groups.values():
        pairs.update((a, b) for a in members for b in members if a < b)
    for y, x in found:
        for a in groups[distinct[y]]:
            for b in groups[distinct[x]]:
                pairs.add((min(a, b), max(a, b)))
    return pairs


def pair_keys(i, j, n: int) -> np.ndarray:
    """Pairs (i < j) as sorted distinct int64 keys i * n + j."""
    i = np.asarray(i, dtype=np.int64)
    j = np.asarray(j, dtype=np.int64)
    return np.unique(i * n + j)


def scores(found: np.ndarray, truth: np.ndarray) -> tuple[int, float, float, float]:
    """(missed true pairs, precision, recall, F1) of pair keys against the true keys."""
    hit = len(np.intersect1d(found, truth, assume_unique=True))
    precision = hit / len(found) if len(found) else 1.0
    recall = hit / len(truth) if len(truth) else 1.0
    f1 = 2 * precision * recall / (precision + recall) if precision + recall else 0.0
    return len(truth) - hit, precision, recall, f1


# --------------------------------------------------------------------------------------------
# datasketch


def datasketch_pairs(texts_shingles, threshold):
    """(candidate pairs, estimate-filtered pairs, MinHash seconds) of datasketch's MinHash LSH
    at 128 permutations, shingles given as UTF-8 of the words joined by spaces."""
    from datasketch import MinHash, MinHashLSH

    start = time.process_time()
    hashes = []
    for shingles in texts_shingles:
        m = MinHash(num_perm=NUM_PERM)
        m.update_batch(shingles)
        hashes.append(m)
    seconds = time.process_time() - start
    lsh = MinHashLSH(threshold=threshold, num_perm=NUM_PERM)
    for k, m in enumerate(hashes):
        lsh.insert(k, m)
    candidates = set()
    for k, m in enumerate(hashes):
        candidates.update((min(k, o), max(k, o)) for o in lsh.query(m) if o != k)
    kept = {(a, b) for a, b in candidates if hashes[a].jaccard(hashes[b]) >= threshold}
    return candidates, kept, seconds


def shingle_bytes(text: str) -> list[bytes]:
    words = WORD.findall(text.lower())
    if not words:
        return []
    return list(
        {" ".join(words[k : k + NGRAM]).encode() for k in range(max(1, len(words) - NGRAM + 1))}
    )


# --------------------------------------------------------------------------------------------
# Quality


def found_keys(found, n: int) -> np.ndarray:
    return pair_keys(found["i"], found["j"], n)


def set_keys(pairs, n: int) -> np.ndarray:
    array = np.array(sorted(pairs), dtype=np.int64).reshape(-1, 2)
    return pair_keys(array[:, 0], array[:, 1], n)


def bench_quality(limits: dict[str, int]) -> bool:
    ok = True
    rows = []
    sizes = []
    bands, rows_per_band = veltrane.lsh_parameters(THRESHOLD, NUM_PERM)
    for name, make in CORPORA.items():
        texts = make(limits[name])
        sets = [shingle_set(t) for t in texts]
        texts = [t for t, s in zip(texts, sets) if s]
        sets = [s for s in sets if s]
        mib = sum(len(t.encode()) for t in texts) / 2**20
        n = len(texts)
        truth = set_keys(true_pairs(sets, THRESHOLD), n)
        results = {}
        start = time.perf_counter()
        fps = veltrane.fingerprints64(texts)
        simhash = veltrane.near_duplicate_pairs(fps, SIMHASH_DISTANCE)
        seconds = time.perf_counter() - start
        results[f"SimHash fingerprints64, k = {SIMHASH_DISTANCE} (before)"] = (
            found_keys(simhash, n),
            f"{seconds:.2f} s (all)",
        )
        del simhash
        start = time.perf_counter()
        fps = veltrane.fingerprints64(texts, tokens="words")
        simhash = veltrane.near_duplicate_pairs(fps, SIMHASH_DISTANCE)
        seconds = time.perf_counter() - start
        results[f"SimHash fingerprints64(tokens='words'), k = {SIMHASH_DISTANCE}"] = (
            found_keys(simhash, n),
            f"{seconds:.2f} s (all)",
        )
        del simhash
        for verify in ("exact", "estimate"):
            start = time.perf_counter()
            found = veltrane.near_duplicate_pairs_jaccard(texts, THRESHOLD, verify=verify)
            seconds = time.perf_counter() - start
            if verify == "exact" and (found["similarity"] < THRESHOLD).any():
                ok = False
            results[f"veltrane, verify={verify}"] = (
                found_keys(found, n),
                f"{seconds:.2f} s (all)",
            )
        start = time.perf_counter()
        found = veltrane.near_duplicate_pairs_jaccard(texts, THRESHOLD, verify=None, threads=1)
        seconds = time.perf_counter() - start
        results["veltrane, candidates (verify=None)"] = (
            found_keys(found, n),
            f"{seconds:.2f} s (1)",
        )
        try:
            candidates, kept, ds_seconds = datasketch_pairs(
                [shingle_bytes(t) for t in texts], THRESHOLD
            )
            results["datasketch LSH"] = (
                set_keys(candidates, n),
                f"{ds_seconds:.2f} s (1, MinHash)",
            )
            results["datasketch LSH, estimate >= 0.8"] = (set_keys(kept, n), "")
        except ImportError:
            results["datasketch LSH"] = None
        for method, result in results.items():
            if result is None:
                rows.append([name, method, "n/a", "n/a", "n/a", "n/a", "n/a", ""])
                continue
            found, timing = result
            missed, p, r, f = scores(found, truth)
            rows.append(
                [
                    name,
                    method,
                    f"{len(found):,}",
                    f"{missed:,}",
                    f"{p:.4f}",
                    f"{r:.4f}",
                    f"{f:.3f}",
                    timing,
                ]
            )
        sizes.append(f"{name}: {len(texts):,} docs, {mib:.1f} MiB, {len(truth):,} true pairs")
    print_table(
        f"Quality against exact 5-shingle Jaccard >= {THRESHOLD} ({bands} bands of "
        f"{rows_per_band} rows, {NUM_PERM} permutations)",
        ["corpus", "method", "pairs", "missed", "precision", "recall", "F1", "time (threads)"],
        rows,
        left_columns=2,
        notes=[
            *sizes,
            "targets: verify=exact precision 1.0 and recall >= 0.99; verify=estimate F1 above "
            "datasketch's estimate-filtered F1",
            f"load: {os.getloadavg()[0]:.1f} (1-minute average) at the end of the table",
        ],
    )
    return ok


# --------------------------------------------------------------------------------------------
# Speed: a million documents of about 1 KiB


def generated_corpus(n: int, seed: int = 0) -> tuple[list[bytes], int]:
    """n documents of 170 words of 5 letters (1,020 bytes) drawn by Zipf's law from 50,000
    words, the last 5% of them edited copies (3 words replaced) of earlier ones; returns the
    texts and the number of copies."""
    rng = np.random.default_rng(seed)
    letters = rng.integers(ord("a"), ord("z") + 1, size=(50_000, 6), dtype=np.uint8)
    letters[:, 5] = ord(" ")
    words_per_doc = 170
    ranks = np.minimum(rng.zipf(1.1, size=(n, words_per_doc)) - 1, len(letters) - 1)
    copies = n // 20
    sources = rng.integers(0, n - copies, size=copies)
    ranks[n - copies :] = ranks[sources]
    edit_rows = np.repeat(np.arange(n - copies, n), 3)
    ranks[edit_rows, rng.integers(0, words_per_doc, size=len(edit_rows))] = rng.integers(
        0, len(letters), size=len(edit_rows)
    )
    data = letters[ranks].tobytes()
    del ranks
    size = words_per_doc * 6
    return [data[k * size : (k + 1) * size] for k in range(n)], copies


def _high_water_kib() -> int:
    for line in Path("/proc/self/status").read_text().splitlines():
        if line.startswith("VmHWM:"):
            return int(line.split()[1])
    return 0


def pipeline_worker(n: int, threads: int) -> None:
    """In a subprocess: generate, reset the peak RSS, run the pipeline, print the figures."""
    texts, copies = generated_corpus(n)
    gc.collect()
    base = _high_water_kib()
    try:
        Path("/proc/self/clear_refs").write_text("5")  # resets VmHWM to the current RSS
        base = _high_water_kib()
    except OSError:
        pass
    start = time.perf_counter()
    cpu = resource.getrusage(resource.RUSAGE_SELF)
    found = veltrane.near_duplicate_pairs_jaccard(texts, THRESHOLD, threads=threads)
    seconds = time.perf_counter() - start
    after = resource.getrusage(resource.RUSAGE_SELF)
    cpu_seconds = after.ru_utime + after.ru_stime - cpu.ru_utime - cpu.ru_stime
    peak = _high_water_kib() - base
    text_mib = sum(map(len, texts)) / 2**20
    print(f"{seconds} {cpu_seconds} {peak} {len(found)} {copies} {text_mib}")


def bench_pipeline(n: int) -> bool:
    rows = []
    ok = True
    for threads in (1, 2):
        result = subprocess.run(
            [sys.executable, __file__, "--pipeline-worker", str(n), str(threads)],
            capture_output=True,
            text=True,
        )
        if result.returncode != 0:
            print(result.stderr, file=sys.stderr)
            ok = False
            continue
        seconds, cpu_seconds, peak_kib, pairs, copies, text_mib = result.stdout.split()
        rows.append(
            [
                str(threads),
                f"{float(seconds):.1f} s",
                f"{float(cpu_seconds):.1f} s",
                f"{float(text_mib):,.0f} MiB",
                f"{int(peak_kib) / 1024 * 1e6 / n:,.0f} MiB",
                f"{int(pairs):,}",
                f"{int(copies):,}",
            ]
        )
    print_table(
        f"The whole pipeline (tokens, signatures, bands, exact verification) on {n:,} "
        "generated documents of 1,020 bytes",
        ["threads", "wall", "CPU", "texts", "memory / 10^6 docs", "pairs", "edited copies"],
        rows,
        notes=[
            "target: under a minute on 2 cores for 1,000,000 documents",
            "memory: peak resident set above the texts themselves, per million documents",
            f"load: {os.getloadavg()[0]:.1f} (1-minute average); {cpu_model()}",
        ],
    )
    return ok


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="50 texts a corpus, 2,000 documents")
    parser.add_argument("--pipeline-worker", nargs=2, type=int, help=argparse.SUPPRESS)
    args = parser.parse_args()
    if args.pipeline_worker:
        pipeline_worker(*args.pipeline_worker)
        return 0
    if args.quick:
        limits = dict.fromkeys(CORPORA, 50)
        n = 2_000
    else:
        limits = {
            "prose (licenses)": 50_000,
            "source (.py)": 8_000,
            "structured (man roff)": 10_000,
        }
        n = 1_000_000
    ok = bench_quality(limits)
    ok = bench_pipeline(n) and ok
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(per_isa(main))
