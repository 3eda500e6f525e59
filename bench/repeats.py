"""Repeats inside documents: `veltrane repeats` against the literal model on real corpora,
against `json.loads` on the generated JSON Lines corpus of bench/corpus_dedup.py, and against a
suffix-array script (pydivsufsort) on the same texts.

Run: `python bench/repeats.py [--size-mb N] [--sa-mb N] [--quick]`.

- Real corpora (the copyright files of installed Debian packages with the common licenses,
  the Python sources under pyenv, the man pages): every text cut by `Repeats` equal, text for
  text, to the literal model of tests/model_repeats.py (a dict of units, or of word tuples),
  for lines, paragraphs, and spans of 50 and of 10 words. A span text whose words the regex
  cannot place (lower-casing moved them) is compared by its words left.
- Speed: `veltrane repeats --unit line|paragraph|span` on --size-mb of generated JSON Lines
  (documents of one line, a few percent edited copies of earlier ones), wall time against
  json.loads parsing the records on one core, peak RSS against the input's size.
- Suffix array: pydivsufsort over the concatenated texts of --sa-mb, Kasai's LCP array, and
  every byte run of at least 250 bytes that occurs earlier marked, as a user would write it,
  against `veltrane repeats --unit span` on the same texts. The two find different things (bytes
  against words), so only time and memory are compared.

Wall time and peak RSS come from `/usr/bin/time -v`; each command runs once, so figures on a
shared machine are noisy.
"""

from __future__ import annotations

import argparse
import json
import os
import sys
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
sys.path.insert(0, str(HERE))
sys.path.insert(0, str(HERE.parent / "tests"))

import corpus_dedup  # noqa: E402
import real_texts  # noqa: E402
import veltrane  # noqa: E402
from model_repeats import model_spans, model_units  # noqa: E402
from veltrane import _native  # noqa: E402
from veltrane.repeats import Repeats, cut_out  # noqa: E402

SUFFIX_ARRAY = r"""
import sys, time
import numpy as np
from pydivsufsort import divsufsort, kasai
data = open(sys.argv[1], "rb").read()
sa = divsufsort(data)
lcp = kasai(data, sa)
# lcp[i]: the common prefix of the suffixes at sa[i] and sa[i + 1]; the later of the two
# repeats the earlier on that many bytes.
hits = np.flatnonzero(lcp >= 250)
later = np.maximum(sa[hits], sa[hits + 1])
marked = np.zeros(len(data) + 1, dtype=np.int32)
np.add.at(marked, later, 1)
np.add.at(marked, later + lcp[hits], -1)
print(int((np.cumsum(marked) > 0).sum()))
"""


def real_corpora(limit: int) -> None:
    corpora = {
        "licenses": lambda: real_texts.licenses(limit=limit),
        "python sources": lambda: real_texts.python_sources(limit=limit),
        "man pages": lambda: real_texts.man_pages(limit=limit),
    }
    print(
        f"{'corpus':16} {'unit':14} {'texts':>7} {'MB':>6} {'changed':>8} {'cut MB':>7} "
        f"{'= model':>8} {'by words':>9} {'s':>6}"
    )
    failed = False
    for name, load in corpora.items():
        texts = load()
        size = sum(map(len, texts)) / 1e6
        for unit, n in (("line", 0), ("paragraph", 0), ("span", 50), ("span", 10)):
            start = time.perf_counter()
            finder = Repeats(unit, min_words=max(n, 1))  # type: ignore[arg-type]
            rows, offsets = finder.cuts(texts)
            seconds = time.perf_counter() - start
            got = [rows[offsets[k] : offsets[k + 1]] for k in range(len(texts))]
            if unit == "span":
                want = model_spans(texts, n)
            else:
                want = list(model_units(texts, unit, "words"))
            same = by_words = 0
            for k, text in enumerate(texts):
                mine = cut_out(text, got[k])
                cuts = want[k]
                if cuts is None:  # compared by the words left
                    by_words += 1
                    same += _native.words(mine) == _words_left(texts, k, n, want)
                    continue
                same += mine == cut_out(text, _array(cuts)) and got[k].tolist() == cuts
            changed = sum(1 for g in got if len(g))
            cut = sum(len(t) - len(cut_out(t, g)) for t, g in zip(texts, got)) / 1e6
            label = unit if not n else f"span {n}"
            print(
                f"{name:16} {label:14} {len(texts):7,} {size:6.1f} {changed:8,} {cut:7.2f} "
                f"{same:>8,} {by_words:9,} {seconds:6.2f}"
            )
            failed |= same != len(texts)
    if failed:
        raise SystemExit("repeats: a text differs from the literal model")


_WORDS_LEFT: dict = {}


def _words_left(texts: list[bytes], k: int, n: int, want) -> list[str]:
    """The words of text k that no repeated window covers, from a dict of word tuples."""
    key = (id(texts), n)
    if key not in _WORDS_LEFT:
        seen: set = set()
        left = []
        for text in texts:
            words = _native.words(text)
            covered = [False] * len(words)
            for i in range(len(words) - n + 1):
                w = tuple(words[i : i + n])
                if w in seen:
                    covered[i : i + n] = [True] * n
                else:
                    seen.add(w)
            left.append([w for w, c in zip(words, covered) if not c])
        _WORDS_LEFT.clear()
        _WORDS_LEFT[key] = left
    return _WORDS_LEFT[key][k]


def _array(cuts):
    import numpy as np

    return np.array(cuts, dtype=np.int64).reshape(-1, 4)


def speed(size_mb: int, tmp: Path) -> Path:
    path = tmp / "corpus.jsonl"
    start = time.perf_counter()
    n = corpus_dedup.generate(path, size_mb << 20)
    size = path.stat().st_size
    print(
        f"\ncorpus: {n:,} records, {size / 1e9:.2f} GB of JSON Lines, generated in "
        f"{time.perf_counter() - start:.0f} s; {os.cpu_count()} cores"
    )
    parse = (
        "import json, sys\n"
        "with open(sys.argv[1], 'rb') as f:\n"
        "    for line in f:\n"
        "        json.loads(line)\n"
    )
    rows = [("json.loads, one core", corpus_dedup.timed([sys.executable, "-c", parse, str(path)]))]
    cmd = [sys.executable, "-m", "veltrane", "repeats", "-q", "--force", str(path)]
    for unit in ("line", "paragraph", "span"):
        rows.append(
            (
                f"repeats --unit {unit}",
                corpus_dedup.timed([*cmd, "--unit", unit, "-o", str(tmp / "out.jsonl")]),
            )
        )
    base = rows[0][1][0]
    print(f"{'':28} {'wall s':>8} {'x json':>7} {'peak RSS MB':>12} {'RSS / input':>12}")
    for name, (wall, rss) in rows:
        print(f"{name:28} {wall:8.1f} {wall / base:7.2f} {rss:12.0f} {rss * 1e6 / size:12.2f}")
    return path


def suffix_array(corpus: Path, sa_mb: int, tmp: Path) -> None:
    try:
        import pydivsufsort  # noqa: F401
    except ImportError:
        print("\nsuffix array: pydivsufsort n/a (pip install pydivsufsort)")
        return
    texts = []
    total = 0
    with open(corpus, "rb") as f:
        for line in f:
            text = json.loads(line)["text"].encode()
            texts.append(text)
            total += len(text)
            if total >= sa_mb << 20:
                break
    joined = tmp / "joined.txt"
    joined.write_bytes(b"\n".join(texts))
    part = tmp / "part.jsonl"
    part.write_text("".join(json.dumps({"text": t.decode()}) + "\n" for t in texts))
    script = tmp / "suffix_array.py"
    script.write_text(SUFFIX_ARRAY)
    sa = corpus_dedup.timed([sys.executable, str(script), str(joined)])
    mine = corpus_dedup.timed(
        [
            sys.executable,
            "-m",
            "veltrane",
            "repeats",
            "-q",
            "--force",
            "--unit",
            "span",
            str(part),
            "-o",
            str(tmp / "part-out.jsonl"),
        ]  # fmt: skip
    )
    print(f"\n{total / 1e6:.0f} MB of texts: {'wall s':>8} {'peak RSS MB':>12}")
    print(f"{'pydivsufsort + LCP, 250 B':26} {sa[0]:8.1f} {sa[1]:12.0f}")
    print(f"{'repeats --unit span':26} {mine[0]:8.1f} {mine[1]:12.0f}")
    print(f"span / suffix array: {mine[0] / sa[0]:.2f} of the time, {mine[1] / sa[1]:.2f} of "
          "the memory")  # fmt: skip


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("--size-mb", type=int, default=1024, help="generated JSONL (MiB)")
    parser.add_argument("--sa-mb", type=int, default=200, help="texts for the suffix array")
    parser.add_argument("--limit", type=int, default=100_000, help="real texts per corpus")
    parser.add_argument("--quick", action="store_true", help="tiny inputs, to check it runs")
    args = parser.parse_args()
    if args.quick:
        args.size_mb, args.sa_mb, args.limit = 4, 1, 300
    print(f"veltrane {veltrane.__version__}")
    real_corpora(args.limit)
    with tempfile.TemporaryDirectory() as tmp:
        corpus = speed(args.size_mb, Path(tmp))
        suffix_array(corpus, args.sa_mb, Path(tmp))


if __name__ == "__main__":
    main()
