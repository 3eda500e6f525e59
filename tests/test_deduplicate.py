"""Corpus in, deduplicated corpus out: the greedy keep rule's two guarantees against brute
force, texts without words, keep rules on ties, and the command's output as a subset of its
input whatever the input's format or the thread count."""

from __future__ import annotations

import itertools
import json
import random
import re

import numpy as np
import pyarrow as pa
import pyarrow.parquet as pq
import pytest
import veltrane as vt
from test_cli import one_line_error, veltrane
from test_corpus import COMPRESS


def shingles(text: str, n: int) -> set:
    words = re.findall(r"\w+", text.lower())
    return {tuple(words[k : k + n]) for k in range(max(1, len(words) - n + 1))} if words else set()


def jaccard(a: set, b: set) -> float:
    return len(a & b) / len(a | b)


def corpus(seed: int, n: int = 120) -> list[str]:
    """Edited copies of a few sources, so that near duplicates chain; some texts without words."""
    rng = random.Random(seed)
    words = [f"w{k}" for k in range(60)]
    sources = [[rng.choice(words) for _ in range(12)] for _ in range(6)]
    texts = []
    for _ in range(n):
        if rng.random() < 0.05:
            texts.append(rng.choice(["", "}", "  # ====", "!!"]))
            continue
        t = list(rng.choice(sources))
        for _ in range(rng.randrange(4)):
            t[rng.randrange(len(t))] = rng.choice(words)
        texts.append(" ".join(t))
    return texts


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("keep", ["first", "longest", "values"])
def test_greedy_minhash_guarantees_against_brute_force(seed, keep):
    texts = corpus(seed)
    rule = np.random.default_rng(seed).integers(0, 3, len(texts)) if keep == "values" else keep
    found = vt.deduplicate_texts(texts, threshold=0.5, ngram=2, keep=rule)
    sets = [shingles(t, 2) for t in texts]
    kept = set(found.keep.tolist())
    assert found.without_words.tolist() == [k for k, s in enumerate(sets) if not s]
    assert kept >= set(found.without_words.tolist())
    for d in np.flatnonzero(found.duplicate_of >= 0).tolist():
        k = int(found.duplicate_of[d])
        assert k in kept and jaccard(sets[d], sets[k]) >= 0.5
        assert found.similarity[d] == pytest.approx(jaccard(sets[d], sets[k]))
    for a, b in itertools.combinations(sorted(kept), 2):
        assert not (sets[a] and sets[b] and jaccard(sets[a], sets[b]) >= 0.5), (a, b)
    # Components drop more: a chain joins texts below the threshold.
    chained = vt.deduplicate_texts(texts, threshold=0.5, ngram=2, keep=rule, clusters="components")
    assert len(chained.keep) <= len(found.keep)


@pytest.mark.parametrize("seed", range(3))
def test_greedy_simhash_guarantees_against_brute_force(seed):
    texts = corpus(seed)
    fps = vt.fingerprints64(texts).tolist()
    found = vt.deduplicate_texts(texts, 12, method="simhash", keep="longest")
    wordless = {k for k, t in enumerate(texts) if not re.search(r"\w", t)}
    kept = set(found.keep.tolist())
    assert set(found.without_words.tolist()) == wordless and kept >= wordless
    for d in np.flatnonzero(found.duplicate_of >= 0).tolist():
        k = int(found.duplicate_of[d])
        assert k in kept and found.similarity[d] == (fps[d] ^ fps[k]).bit_count() <= 12
    worded = sorted(kept - wordless)
    assert all((fps[a] ^ fps[b]).bit_count() > 12 for a, b in itertools.combinations(worded, 2))


def test_texts_without_words_are_near_duplicates_of_nothing():
    texts = ["", "}", "", "# ====", "some words here", "some words here"]
    for method in ("minhash", "simhash"):
        found = vt.deduplicate_texts(texts, method=method)
        assert found.keep.tolist() == [0, 1, 2, 3, 4] and found.without_words.tolist() == [
            0,
            1,
            2,
            3,
        ]
    # The pair functions keep their documented default: such texts are copies of each other.
    assert len(vt.near_duplicate_pairs_jaccard(texts[:4])) == 6
    assert len(vt.near_duplicate_pairs_jaccard(texts[:4], wordless="apart")) == 0


def test_keep_rules_break_ties_to_the_first():
    base = "one two three four five six seven eight"
    texts = [base, base + " nine", base + " ten", base + " nine"]
    options = dict(threshold=0.7, ngram=1)
    assert vt.deduplicate_texts(texts, **options).keep.tolist() == [0]
    assert vt.deduplicate_texts(texts, keep="longest", **options).keep.tolist() == [1]
    found = vt.deduplicate_texts(texts, keep=[1.0, 5.0, 5.0, np.nan], **options)
    assert found.keep.tolist() == [1] and found.duplicate_of.tolist() == [1, -1, 1, 1]


def records(seed: int) -> list[dict]:
    texts = corpus(seed, 200)
    return [{"id": f"doc{k}", "text": t, "score": k % 7} for k, t in enumerate(texts)]


def write_inputs(tmp_path, rows):
    raw = b"".join(
        json.dumps(r, ensure_ascii=k % 2 == 0).encode() + b"\n" for k, r in enumerate(rows)
    )
    paths = {}
    for ext in ("", ".gz", ".zst"):
        paths[ext] = tmp_path / f"in.jsonl{ext}"
        paths[ext].write_bytes(COMPRESS[ext](raw))
    paths[".parquet"] = tmp_path / "in.parquet"
    pq.write_table(pa.Table.from_pylist(rows), paths[".parquet"], row_group_size=37)
    return raw, paths


@pytest.mark.parametrize("keep", [[], ["--keep", "longest"], ["--keep-by", "score"]])
def test_output_is_the_input_less_the_drops_in_every_format(tmp_path, keep):
    rows = records(1)
    raw, paths = write_inputs(tmp_path, rows)
    lines = raw.splitlines(keepends=True)
    kept = {}
    for ext, path in paths.items():
        out = tmp_path / ("out.parquet" if ext == ".parquet" else f"out{ext}.jsonl")
        dups = tmp_path / f"dups{ext}.jsonl"
        args = ["near-dups", path, "-o", out, "--duplicates", dups, "--threshold", 0.5, *keep]
        result = veltrane(*args, "--id-field", "id", "--ngram", 2)
        assert result.returncode == 0, result.stderr
        summary = result.stderr.decode()
        if ext == ".parquet":
            table = pq.read_table(out)
            assert table.schema == pq.read_table(path).schema
            got = table.to_pylist()
            assert got == [r for r in rows if r in got]  # rows unchanged, in input order
            ids = [r["id"] for r in got]
        else:
            data = out.read_bytes()
            assert data == b"".join(line for line in lines if line in data.splitlines(True))
            ids = [json.loads(line)["id"] for line in data.splitlines()]
        kept[ext] = ids
        dropped = [json.loads(line) for line in dups.read_text().splitlines()]
        assert {d["id"] for d in dropped}.isdisjoint(ids) and {
            d["keeper_id"] for d in dropped
        } <= set(ids)
        assert len(ids) + len(dropped) == len(rows)
        assert f"{len(rows)} texts read, {len(ids)} kept, {len(dropped)} dropped" in summary
    assert kept[".gz"] == kept[".zst"] == kept[".parquet"] == kept[""]
    assert len(kept[""]) < len(rows)


def test_thread_counts_give_identical_output(tmp_path):
    _, paths = write_inputs(tmp_path, records(2))
    outputs = []
    for threads in (1, 2, 3):
        out = tmp_path / f"out{threads}.jsonl"
        result = veltrane("near-dups", paths[""], "-o", out, "--threads", threads, "-q")
        assert result.returncode == 0 and result.stderr == b"", result.stderr
        clusters = veltrane("near-dups", paths[""], "--format", "clusters", "--threads", threads)
        outputs.append((out.read_bytes(), clusters.stdout))
    assert outputs[0] == outputs[1] == outputs[2]


@pytest.mark.parametrize(
    "args",
    [
        ["near-dups", "in.txt"],
        ["near-dups", "in.txt", "--format", "clusters"],
        ["dedup", "in.txt"],
        ["fingerprint", "in.txt"],
    ],
)
def test_a_full_disk_on_standard_output_is_one_line(tmp_path, args):
    (tmp_path / "in.txt").write_text("some words here\nsome words here\n" * 10)
    with open("/dev/full", "wb") as full:
        import subprocess
        import sys

        result = subprocess.run(
            [sys.executable, "-m", "veltrane", *args],
            cwd=tmp_path,
            stdout=full,
            stderr=subprocess.PIPE,
            timeout=60,
        )
    result.stdout = b""
    one_line_error(result, 1, "standard output: No space left on device")


@pytest.mark.parametrize("name", ["in.txt", "in.jsonl"])
def test_signing_batch_by_batch_while_reading_changes_nothing(tmp_path, monkeypatch, name):
    # The command signs each batch as it is read, the empty lines of line files left out;
    # batches of a few records each must give the output of one batch.
    from veltrane import cli
    from veltrane.corpus import Corpus

    texts = corpus(3, 150)
    texts[5:5] = ["", "", "   "]
    lines = texts if name == "in.txt" else [json.dumps({"text": t}) for t in texts]
    path = tmp_path / name
    path.write_text("\n".join(lines) + "\n")

    def run(tag: str) -> tuple[bytes, bytes]:
        out, dups = tmp_path / f"out{tag}{path.suffix}", tmp_path / f"dups{tag}.jsonl"
        argv = ["near-dups", str(path), "-o", str(out), "--duplicates", str(dups), "-q"]
        assert cli.main([*argv, "--threshold", "0.5", "--ngram", "2"]) in (0, None)
        return out.read_bytes(), dups.read_bytes()

    whole = run("whole")
    batches = Corpus.batches
    monkeypatch.setattr(Corpus, "batches", lambda self, **kw: batches(self, block_size=64))
    assert run("small") == whole and whole[1]
