"""Near duplicates in scripts written without spaces: recall and precision of
`veltrane near-dups`' search (its defaults: MinHash LSH, verified exactly) at Jaccard 0.8 of
5-word shingles, where each character of Han, Kana, Thai, Lao, Myanmar or Khmer is a word, on
real Chinese and Japanese texts, against an exact join of the shingle sets written here in
plain Python from the word rule.

    python bench/spaceless.py            full run: every message of the catalogs
    python bench/spaceless.py --quick    smoke run: 2,000 messages a language

The texts are the translated messages of the gettext catalogs of the Debian packages on this
machine (/usr/share/locale/{zh_CN,zh_TW,ja}/LC_MESSAGES/*.mo), distinct messages only. The
exact join pairs every two texts that share a shingle of their prefixes (rarest shingles
first, a prefix long enough that any pair at 0.8 shares one of them) and measures each such
pair's Jaccard similarity, so no pair at 0.8 escapes it. With --base PYTHON, that
interpreter's veltrane (another build, e.g. of the release before this word rule) is measured
on the same texts against the same pairs.
"""

from __future__ import annotations

import argparse
import gettext
import glob
import json
import math
import os
import re
import subprocess
import sys
import time
from collections import defaultdict

THRESHOLD = 0.8
NGRAM = 5
S = (
    "\u3005-\u3007\u3040-\u309f\u30a0-\u30ff\u31f0-\u31ff\uff65-\uff9f\u3400-\u4dbf"
    "\u4e00-\u9fff\uf900-\ufaff\U00020000-\U000323af\U0002f800-\U0002fa1f"
    "\u0e00-\u0e7f\u0e80-\u0eff\u1000-\u109f\u1780-\u17ff"
)
WORDS = re.compile(f"(?:(?=\\w)[{S}])|(?:(?![{S}])\\w)+")
LANGUAGES = ("zh_CN", "zh_TW", "ja")

# Run in a child (this or another interpreter): the pairs veltrane finds, as JSON.
CHILD = """
import json, sys
import veltrane
texts = json.load(sys.stdin)
pairs = veltrane.near_duplicate_pairs_jaccard(texts, %r, ngram=%d, wordless="apart")
print(json.dumps([[int(i), int(j)] for i, j in zip(pairs["i"], pairs["j"])]))
"""


def messages(language: str, limit: int) -> list[str]:
    """The distinct translated messages of the catalogs, in sorted path order."""
    seen: dict[str, None] = {}
    for path in sorted(glob.glob(f"/usr/share/locale/{language}/LC_MESSAGES/*.mo")):
        try:
            with open(path, "rb") as f:
                catalog = gettext.GNUTranslations(f)._catalog  # type: ignore[attr-defined]
        except (OSError, ValueError, UnicodeDecodeError):
            continue
        for key, value in catalog.items():
            if key != "" and isinstance(value, str) and value.strip():
                seen.setdefault(value, None)
        if len(seen) >= limit:
            break
    return list(seen)[:limit]


def shingles(text: str) -> frozenset:
    words = WORDS.findall(text.lower())
    if not words:
        return frozenset()
    if len(words) < NGRAM:
        return frozenset([tuple(words)])
    return frozenset(tuple(words[i : i + NGRAM]) for i in range(len(words) - NGRAM + 1))


def exact_pairs(sets: list[frozenset]) -> set[tuple[int, int]]:
    """Every pair at Jaccard >= THRESHOLD, by prefix filtering: with shingles ordered rarest
    first, two sets at that similarity share a shingle among the first
    |A| - ceil(THRESHOLD * |A|) + 1 of each."""
    frequency: dict = defaultdict(int)
    for s in sets:
        for g in s:
            frequency[g] += 1
    index: dict = defaultdict(list)
    candidates = set()
    for k, s in enumerate(sets):
        if not s:
            continue
        ordered = sorted(s, key=lambda g: (frequency[g], g))
        prefix = ordered[: len(s) - math.ceil(THRESHOLD * len(s) - 1e-9) + 1]
        for g in prefix:
            for other in index[g]:
                candidates.add((other, k))
            index[g].append(k)
    found = set()
    for a, b in candidates:
        sa, sb = sets[a], sets[b]
        if len(sa & sb) >= THRESHOLD * len(sa | sb) - 1e-12:
            found.add((a, b))
    return found


def found_by(python: str, texts: list[str]) -> tuple[set[tuple[int, int]], float]:
    start = time.perf_counter()
    out = subprocess.run(
        [python, "-c", CHILD % (THRESHOLD, NGRAM)],
        input=json.dumps(texts),
        capture_output=True,
        text=True,
        check=True,
    ).stdout
    return {(a, b) for a, b in json.loads(out)}, time.perf_counter() - start


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="2,000 messages a language")
    parser.add_argument("--base", metavar="PYTHON", help="also measure this interpreter's build")
    args = parser.parse_args()
    limit = 2000 if args.quick else 10**9
    programs = {"veltrane": sys.executable}
    if args.base:
        programs["base"] = args.base
    print(f"{os.cpu_count()} cores; Jaccard >= {THRESHOLD} of {NGRAM}-word shingles")
    print(
        f"{'':8} {'texts':>7} {'pairs':>7}   "
        + "   ".join(f"{name + ' recall':>15} {'precision':>9} {'s':>5}" for name in programs)
    )
    for language in LANGUAGES:
        texts = messages(language, limit)
        if not texts:
            print(f"{language:8} no catalogs")
            continue
        truth = exact_pairs([shingles(t) for t in texts])
        cells = []
        for python in programs.values():
            found, seconds = found_by(python, texts)
            hit = len(found & truth)
            recall = hit / len(truth) if truth else 1.0
            precision = hit / len(found) if found else 1.0
            cells.append(f"{recall:15.4f} {precision:9.4f} {seconds:5.1f}")
        print(f"{language:8} {len(texts):7,} {len(truth):7,}   " + "   ".join(cells))


if __name__ == "__main__":
    main()
