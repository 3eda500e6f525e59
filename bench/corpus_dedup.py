"""Deduplicating a corpus end to end: `veltrane near-dups corpus.jsonl -o kept.jsonl` against
Python's `json.loads` merely parsing the same records on one core, and the texts dropped onto
a keeper below the threshold with each clustering on real corpora.

Run: `python bench/corpus_dedup.py [--size-mb N] [--quick]`; with `--bounded 2G --size-mb 8800`,
`near-dups --memory 2G` on 8.8 GB against the run in memory on its first GB instead. The
generated corpus is JSON Lines of documents of about 1 KiB (Zipf-distributed words, as
bench/corpus.py draws them), a few percent of them copies of an earlier document with one to
three words changed. Wall time and peak RSS come from `/usr/bin/time -v`; each command runs
once, so figures on a shared machine are noisy.
"""

from __future__ import annotations

import argparse
import json
import os
import random
import re
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import corpus  # noqa: E402
import real_texts  # noqa: E402
import veltrane  # noqa: E402

from report import per_isa  # noqa: E402

WORDS_PER_DOC = 140  # about 1 KiB with the vocabulary's mean word length
EDITED_SHARE = 0.05
THRESHOLD = 0.8


def generate(path: Path, size: int, seed: int = corpus.SEED) -> int:
    """Writes about ``size`` bytes of JSON Lines to ``path``; returns the number of records."""
    rng = np.random.default_rng(seed)
    words = np.array(corpus.vocabulary(random.Random(seed)), dtype=object)
    ranks = np.arange(1, len(words) + 1, dtype=np.float64)
    cumulative = np.cumsum(1.0 / ranks**corpus.ZIPF_EXPONENT)
    cumulative /= cumulative[-1]
    written = records = 0
    with open(path, "w") as out:
        while written < size:
            ids = np.searchsorted(cumulative, rng.random((10_000, WORDS_PER_DOC)))
            # Edited copies of earlier documents of the batch: one to three words changed.
            edited = np.flatnonzero(rng.random(len(ids)) < EDITED_SHARE)
            edited = edited[edited > 0]
            ids[edited] = ids[rng.integers(0, edited)]
            for changes in range(3):
                which = edited[rng.random(len(edited)) < 1.0 / (changes + 1)]
                ids[which, rng.integers(0, WORDS_PER_DOC, len(which))] = rng.integers(
                    0, len(words), len(which)
                )
            lines = [
                f'{{"id": {records + k}, "text": "{" ".join(words[row].tolist())}"}}\n'
                for k, row in enumerate(ids)
            ]
            chunk = "".join(lines)
            out.write(chunk)
            written += len(chunk)
            records += len(lines)
    return records


def timed(command: list[str]) -> tuple[float, float]:
    """Wall seconds and peak RSS in MB of a command, from /usr/bin/time -v. Dirty pages are
    written out first: the corpus just generated, or the output of the command before, was
    otherwise written back during the next command and counted in its time."""
    os.sync()
    result = subprocess.run(
        ["/usr/bin/time", "-v", *command], capture_output=True, text=True, check=False
    )
    if result.returncode != 0:
        raise SystemExit(f"{command[0]} failed: {result.stderr[-2000:]}")
    wall = re.search(r"Elapsed \(wall clock\) time.*: (?:(\d+):)?(\d+):([\d.]+)", result.stderr)
    rss = re.search(r"Maximum resident set size \(kbytes\): (\d+)", result.stderr)
    assert wall and rss, result.stderr
    hours, minutes, seconds = wall.groups()
    return int(hours or 0) * 3600 + int(minutes) * 60 + float(seconds), int(rss.group(1)) / 1e3


def speed(size_mb: int, base: str | None) -> None:
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(tmp) / "corpus.jsonl"
        start = time.perf_counter()
        n = generate(path, size_mb << 20)
        size = path.stat().st_size
        print(
            f"corpus: {n:,} records, {size / 1e9:.2f} GB of JSON Lines, generated in "
            f"{time.perf_counter() - start:.0f} s"
        )
        parse = (
            "import json, sys\n"
            "with open(sys.argv[1], 'rb') as f:\n"
            "    for line in f:\n"
            "        json.loads(line)\n"
        )
        rows = [("json.loads, one core", timed([sys.executable, "-c", parse, str(path)]))]
        veltrane_cmd = [sys.executable, "-m", "veltrane", "near-dups", "-q", str(path)]
        rows.append(
            (
                "near-dups -o kept.jsonl",
                timed([*veltrane_cmd, "-o", str(Path(tmp) / "kept.jsonl")]),
            )
        )
        kept = sum(1 for _ in open(Path(tmp) / "kept.jsonl", "rb"))
        for normalize in ("words", "none"):
            rows.append(
                (
                    f"--method exact --normalize {normalize}",
                    timed(
                        [
                            *veltrane_cmd,
                            "--method",
                            "exact",
                            "--normalize",
                            normalize,
                            "-o",
                            str(Path(tmp) / f"exact-{normalize}.jsonl"),
                        ]
                    ),
                )
            )
        same_as_base = None
        if base is not None:
            # The kept records of the build given, on the same corpus: the word rule leaves
            # texts without characters of spaceless scripts as they were.
            before = Path(tmp) / "kept-base.jsonl"
            base_cmd = [base, "-m", "veltrane", "near-dups", "-q", str(path), "-o", str(before)]
            rows.append(("base build: near-dups -o", timed(base_cmd)))
            same_as_base = before.read_bytes() == (Path(tmp) / "kept.jsonl").read_bytes()
        base = rows[0][1][0]
        print(f"{'':34} {'wall s':>8} {'x json':>7} {'peak RSS MB':>12} {'RSS / input':>12}")
        for name, (wall, rss) in rows:
            print(f"{name:34} {wall:8.1f} {wall / base:7.2f} {rss:12.0f} {rss * 1e6 / size:12.2f}")
        print(f"kept {kept:,} of {n:,} records")
        if same_as_base is not None:
            print(f"kept records equal to the base build's: {same_as_base}")


def bounded(size_mb: int, prefix_mb: int, memory: str, corpus_path: str | None) -> None:
    """``near-dups --memory`` on a corpus larger than the run in memory would comfortably
    take, against the run in memory on its first ``prefix_mb``: wall time a GB of each, peak
    RSS, and whether the bounded run's kept records begin with exactly those of the prefix
    (with ``--keep first``, later records cannot change which earlier ones are kept)."""
    with tempfile.TemporaryDirectory() as tmp:
        path = Path(corpus_path) if corpus_path else Path(tmp) / "corpus.jsonl"
        if not corpus_path:
            generate(path, size_mb << 20)
        prefix = Path(tmp) / "prefix.jsonl"
        with open(path, "rb") as src, open(prefix, "wb") as dst:
            for line in src:
                dst.write(line)
                if dst.tell() >= prefix_mb << 20:
                    break
        size, prefix_size = path.stat().st_size, prefix.stat().st_size
        cmd = [sys.executable, "-m", "veltrane", "near-dups", "-q", "--force"]
        for p in (prefix, path):  # into the page cache, as both runs find it
            with open(p, "rb") as f:
                while f.read(1 << 24):
                    pass
        mem_wall, mem_rss = timed([*cmd, str(prefix), "-o", str(Path(tmp) / "prefix-kept.jsonl")])
        out = Path(tmp) / "kept.jsonl"
        wall, rss = timed([*cmd, str(path), "-o", str(out), "--memory", memory])
        kept_prefix = (Path(tmp) / "prefix-kept.jsonl").read_bytes()
        with open(out, "rb") as f:
            same = f.read(len(kept_prefix)) == kept_prefix
        print(f"{'':34} {'GB':>6} {'wall s':>8} {'s / GB':>7} {'peak RSS MB':>12}")
        print(f"{'in memory, the prefix':34} {prefix_size / 1e9:6.2f} {mem_wall:8.1f} "
              f"{mem_wall * 1e9 / prefix_size:7.2f} {mem_rss:12.0f}")  # fmt: skip
        print(f"{'--memory ' + memory:34} {size / 1e9:6.2f} {wall:8.1f} "
              f"{wall * 1e9 / size:7.2f} {rss:12.0f}")  # fmt: skip
        ratio = (wall / size) / (mem_wall / prefix_size)
        print(f"time a GB, bounded / in memory: {ratio:.2f}; kept records of the prefix "
              f"identical: {same}")  # fmt: skip
        if not same:
            raise SystemExit(1)


def license_paragraphs(limit: int) -> list[bytes]:
    docs = real_texts.licenses(limit=limit)
    return [p for d in docs for p in re.split(rb"\n\s*\n", d) if p.strip()]


def chained_drops(limit: int) -> None:
    corpora = {
        "license paragraphs": lambda: license_paragraphs(limit),
        "python sources": lambda: real_texts.python_sources(limit=limit),
        "man pages": lambda: real_texts.man_pages(limit=limit),
    }
    print(
        f"\nthreshold {THRESHOLD}, 5-word shingles; 'below' = dropped texts whose exact Jaccard "
        "similarity to the text kept in their place is below the threshold; 'kept pairs' = "
        "pairs of kept texts at or above it (near_duplicate_pairs_jaccard among the kept)"
    )
    print(
        f"{'corpus':20} {'texts':>8} {'clusters':>11} {'dropped':>8} {'below':>14} "
        f"{'lowest':>7} {'kept pairs':>11} {'s':>6}"
    )
    for name, load in corpora.items():
        texts = load()
        for clusters in ("greedy", "components"):
            start = time.perf_counter()
            found = veltrane.deduplicate_texts(texts, threshold=THRESHOLD, clusters=clusters)
            seconds = time.perf_counter() - start
            dropped = found.similarity[found.duplicate_of >= 0]
            below = int((dropped < THRESHOLD).sum())
            kept = [texts[k] for k in found.keep.tolist()]
            pairs = veltrane.near_duplicate_pairs_jaccard(kept, THRESHOLD, wordless="apart")
            share = f"{below:,} ({below / max(len(dropped), 1):.0%})"
            lowest = f"{dropped.min():.2f}" if len(dropped) else "-"
            print(
                f"{name:20} {len(texts):8,} {clusters:>11} {len(dropped):8,} {share:>14} "
                f"{lowest:>7} {len(pairs):11,} {seconds:6.1f}"
            )


def exact_against_the_dict_model(limit: int) -> None:
    """near-dups --method exact -o on real corpora written as JSON Lines, against a dict of
    the normalised texts (the word rule written here as a regex)."""
    spaceless = (
        "\u3005-\u3007\u3040-\u309f\u30a0-\u30ff\u31f0-\u31ff\uff65-\uff9f\u3400-\u4dbf"
        "\u4e00-\u9fff\uf900-\ufaff\U00020000-\U000323af\U0002f800-\U0002fa1f"
        "\u0e00-\u0e7f\u0e80-\u0eff\u1000-\u109f\u1780-\u17ff"
    )
    words = re.compile(f"(?:(?=\\w)[{spaceless}])|(?:(?![{spaceless}])\\w)+")
    corpora = {
        "license paragraphs": lambda: license_paragraphs(limit),
        "man pages": lambda: real_texts.man_pages(limit=limit),
    }
    print("\nnear-dups --method exact -o against a dict of the normalised texts")
    for name, load in corpora.items():
        texts = [t.decode("utf-8", "replace") for t in load()]
        with tempfile.TemporaryDirectory() as tmp:
            path = Path(tmp) / "in.jsonl"
            lines = [json.dumps({"text": t}, ensure_ascii=False) + "\n" for t in texts]
            path.write_text("".join(lines), encoding="utf-8")
            for normalize in ("words", "none"):
                out = Path(tmp) / "kept.jsonl"
                subprocess.run(
                    [
                        sys.executable,
                        "-m",
                        "veltrane",
                        "near-dups",
                        "-q",
                        str(path),
                        "--method",
                        "exact",
                        "--normalize",
                        normalize,
                        "-o",
                        str(out),
                        "--force",
                    ],
                    check=True,
                )
                seen: set = set()
                want = []
                for t, line in zip(texts, lines):
                    key = " ".join(words.findall(t.lower())) if normalize == "words" else t
                    if normalize == "words" and not key:
                        want.append(line)  # no words: a copy of nothing
                    elif key not in seen:
                        seen.add(key)
                        want.append(line)
                got = out.read_text(encoding="utf-8")
                print(
                    f"{name:20} {normalize:6} {len(texts):8,} texts, {len(want):8,} kept; "
                    f"equal to the model: {got == ''.join(want)}"
                )


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("--size-mb", type=int, default=1024, help="generated JSONL (MiB)")
    parser.add_argument("--quick", action="store_true", help="tiny inputs, to check it runs")
    parser.add_argument(
        "--bounded",
        metavar="MEMORY",
        help="instead: near-dups --memory MEMORY on --size-mb of JSONL against the run in "
        "memory on its first --prefix-mb",
    )
    parser.add_argument("--prefix-mb", type=int, default=1024)
    parser.add_argument("--corpus", help="with --bounded: this JSONL file, not a generated one")
    parser.add_argument("--base", metavar="PYTHON", help="also run this interpreter's build")
    parser.add_argument("--only-speed", action="store_true", help="the end-to-end run only")
    args = parser.parse_args()
    size_mb, limit = (8, 200) if args.quick else (args.size_mb, 10_000)
    print(f"{os.cpu_count()} cores; veltrane {veltrane.__version__}")
    if args.bounded:
        bounded(size_mb, 2 if args.quick else args.prefix_mb, args.bounded, args.corpus)
        return
    speed(size_mb, args.base)
    if args.only_speed:
        return
    exact_against_the_dict_model(limit)
    chained_drops(limit)


if __name__ == "__main__":
    sys.exit(per_isa(main))
