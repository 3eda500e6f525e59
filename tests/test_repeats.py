"""Repeats against a literal model: a dict of units or of word tuples, on random corpora with
repeats planted inside texts, across them, overlapping, at a text's start and end."""

from __future__ import annotations

import errno
import gzip
import json
import os
import random
import signal
import subprocess
import sys
import time

import numpy as np
import pytest
import veltrane
from model_repeats import model_spans, model_units
from veltrane import _native
from veltrane.cli import main
from veltrane.corpus import Corpus, CorpusError, writers
from veltrane.repeats import Repeats, cut_out
from veltrane.repeats.index import RepeatIndex

# Words of several scripts (one without spaces), blanks of several kinds, both line breaks.
VOCAB = ["alpha", "Beta", "gamma", "δέλτα", "Ёж", "naïve", "日本語", "中文", "x1", "_"]
PUNCT = [" ", " ", ", ", ". ", " - ", "\u3000"]


def _line(rng: random.Random) -> str:
    n = rng.choice([0, 1, 2, 3, 5])
    words = [rng.choice(VOCAB) for _ in range(n)]
    if rng.random() < 0.2:
        words = [w.upper() for w in words]
    line = "".join(w + rng.choice(PUNCT) for w in words).rstrip(" ")
    return rng.choice(["", " ", "\t", "--"]) + line if rng.random() < 0.2 else line


def _corpus(seed: int, texts: int = 40) -> list[bytes]:
    """Texts of lines and blank lines, with lines and paragraphs planted again and again."""
    rng = random.Random(seed)
    pool = [_line(rng) for _ in range(12)]
    out = []
    for _ in range(texts):
        parts = []
        for _ in range(rng.randint(0, 12)):
            parts.append(rng.choice(pool) if rng.random() < 0.6 else _line(rng))
            parts.append(rng.choice(["\n", "\n", "\r\n", "\n\n", "\n \n", "\n\t\n\n"]))
        if parts and rng.random() < 0.4:
            parts.pop()  # no final line break
        text = "".join(parts).encode()
        if rng.random() < 0.1:
            text = text.replace(b"a", b"\xff", 1)  # invalid UTF-8
        out.append(text)
    return out


def _found(texts, unit, batches=3, words_in=None, **kw) -> list[list[list[int]]]:
    finder = Repeats(unit, threads=2, **kw)
    if words_in is not None:
        finder.keep_words_in(words_in)
    out = []
    step = max(1, len(texts) // batches)
    for at in range(0, len(texts), step):
        rows, offsets = finder.cuts(texts[at : at + step])
        out += [rows[offsets[k] : offsets[k + 1]].tolist() for k in range(len(offsets) - 1)]
    return out


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("normalize", ["words", "none"])
@pytest.mark.parametrize("unit", ["line", "paragraph"])
def test_lines_and_paragraphs_are_those_of_the_literal_model(unit, normalize, seed):
    texts = _corpus(seed)
    assert _found(texts, unit, normalize=normalize) == model_units(texts, unit, normalize)


@pytest.mark.parametrize("seed", range(2))
@pytest.mark.parametrize("normalize", ["words", "none"])
@pytest.mark.parametrize("unit", ["line", "paragraph"])
def test_dask_cuts_as_one_machine(unit, normalize, seed):
    dd = pytest.importorskip("dask.dataframe")
    import dask
    import pandas as pd
    from veltrane.dask import remove_repeats as on_dask

    texts = _corpus(seed, texts=60)
    cut = Repeats(unit, normalize=normalize).cut(texts)
    # A text the cuts leave without words goes; one that had none to begin with stays.
    want = [(k, t) for k, t in enumerate(cut) if t == texts[k] or _native.words(t)]
    frame = pd.DataFrame({"text": pd.Series(texts, dtype=object), "n": range(len(texts))})
    # Partitions of uneven sizes, so that first occurrences lie in other partitions; bytes
    # stay bytes (Dask would make them strings).
    with dask.config.set({"dataframe.convert-string": False}):
        df = dd.from_pandas(frame, npartitions=1).repartition(divisions=[0, 7, 30, 31, 59])
        got = on_dask(df, unit=unit, normalize=normalize).compute()
    assert list(zip(got["n"], got["text"])) == want
    # str texts come back as str, cut alike.
    strs = frame.assign(text=[t.decode("utf-8", "replace") for t in texts])
    df = dd.from_pandas(strs, npartitions=3)
    cut = Repeats(unit, normalize=normalize).cut([t.encode() for t in strs["text"]])
    kept = on_dask(df, unit=unit, normalize=normalize, keep_empty=True).compute()
    assert kept["text"].tolist() == [t.decode() for t in cut]


def test_units_golden():
    text = b"a b\nc\n\nd\n\n\na b\nc\n"
    assert veltrane.Repeats("paragraph").cut([text, b"D"]) == [b"a b\nc\n\nd\n", b""]
    assert veltrane.Repeats("line").cut([b"Hi there\nx\nhi, THERE!\r\ny"]) == [b"Hi there\nx\ny"]
    assert veltrane.Repeats("line", normalize="none").cut([b"a\nA\na"]) == [b"a\nA\n"]


def _word_corpus(seed: int, texts: int = 30) -> list[bytes]:
    rng = random.Random(seed)
    vocab = ["a", "b", "c", "Δέλτα", "ёж", "naïve", "日本語", "x_1"]
    phrases = [[rng.choice(vocab) for _ in range(rng.randint(3, 25))] for _ in range(6)]
    out = []
    for _ in range(texts):
        words: list[str] = []
        for _ in range(rng.randint(0, 6)):
            words += rng.choice(phrases) if rng.random() < 0.5 else [rng.choice(vocab)]
        seps = [rng.choice([" ", "  ", ", ", "\n", ". "]) for _ in words]
        out.append("".join(w + s for w, s in zip(words, seps)).strip().encode())
    return out


@pytest.mark.parametrize("seed", range(3))
@pytest.mark.parametrize("n", [1, 3, 10])
def test_spans_are_those_of_the_literal_model(n, seed):
    texts = _word_corpus(seed)
    # The first window of a cut run names its first occurrence; the model names the first
    # window covering each word, the same one.
    assert _found(texts, "span", min_words=n) == model_spans(texts, n)


@pytest.mark.parametrize("batches", [1, 3])
def test_a_run_stops_where_the_text_of_its_first_occurrence_ends(batches):
    # The third text repeats the last window of the first and goes on with the first word of
    # the second, the next text in the word log: that window lies in no one text, so it stays.
    texts = [b"a b c", b"u v w", b"a b c u"]
    assert _found(texts, "span", batches=batches, min_words=3) == model_spans(texts, 3)


@pytest.mark.parametrize("seed", range(2))
def test_spans_with_their_words_in_a_file(tmp_path, seed):
    # Many batches: windows found again in the words on disk, in those still being written
    # and in those not yet handed to the writer, and straddling them.
    texts = _word_corpus(seed)
    found = _found(texts, "span", batches=40, words_in=tmp_path / "words", min_words=3)
    assert found == model_spans(texts, 3)


@pytest.mark.parametrize("unit", ["line", "paragraph", "span"])
def test_a_hash_collision_cuts_nothing(unit):
    # Two hash bits: every unit shares its hash with a quarter of the others.
    texts = _corpus(7) if unit != "span" else _word_corpus(7)
    kw = {"min_words": 3} if unit == "span" else {}
    assert _found(texts, unit, hash_bits=2, **kw) == _found(texts, unit, **kw)
    distinct = [f"line {k} of its own\n".encode() for k in range(300)]
    assert _found(distinct, unit, hash_bits=1, min_words=5) == [[]] * 300


def test_words_placed_in_scripts_without_spaces_and_odd_lowering():
    # İ lower-cases to i and a combining dot, which ends its word; the rule decides either way.
    text = "İstanbul 日本語テキスト x İstanbul 日本語テキスト x".encode()
    (cut,) = veltrane.Repeats("span", min_words=2).cut([text])
    assert cut == "İstanbul 日本語テキスト x ".encode()


def test_one_long_line_and_a_million_copies():
    line = b"word " * 2_000_000  # 10 MB, one line
    assert Repeats("line").cut([line, line]) == [line, b""]
    (cut,) = Repeats("span", min_words=5).cut([line])
    assert cut == b"word  "  # the window at word 1 equals the one at word 0
    copies = b"the same line\n" * 1_000_000
    assert Repeats("line").cut([copies]) == [b"the same line\n"]


@pytest.mark.parametrize("unit", ["line", "span"])
def test_first_occurrences_moved_when_their_buffer_outgrows_malloc(unit):
    # 12 MB of distinct lines, then lines of the first texts again: the first occurrences and
    # the word hashes move into a reservation of address space on the way.
    rng = random.Random(5)
    texts = [
        " ".join(f"w{rng.randrange(10**9)}" for _ in range(60)).encode() for _ in range(20_000)
    ]
    texts += [texts[k] + b"\n" + texts[k + 1] for k in range(0, 20_000, 97)]
    if unit == "line":
        assert _found(texts, unit, batches=9) == model_units(texts, unit, "words")
    else:
        found = _found(texts, unit, batches=9, min_words=50)
        assert found[20_000:] == model_spans(texts, 50)[20_000:]


def _jsonl(path, texts):
    path.write_text("".join(json.dumps({"id": f"r{k}", "text": t}) + "\n" for k, t in
                            enumerate(texts)))  # fmt: skip


@pytest.mark.parametrize("suffix", [".jsonl", ".jsonl.gz"])
def test_remove_repeats_writes_the_corpus_and_the_spans(tmp_path, suffix):
    texts = [t.decode() for t in _corpus(3) if b"\xff" not in t]
    _jsonl(tmp_path / "in.jsonl", texts)
    out = tmp_path / f"out{suffix}"
    summary = veltrane.remove_repeats(
        tmp_path / "in.jsonl", out, spans=tmp_path / "spans.jsonl", id_field="id"
    )
    expected = model_units([t.encode() for t in texts], "line", "words")
    kept = [json.loads(line) for line in Corpus(out, format="lines").read().texts]
    want = []
    for k, (t, cuts) in enumerate(zip(texts, expected)):
        new = cut_out(t.encode(), np.array(cuts).reshape(-1, 4))
        if cuts and not _native.words(new):
            continue
        want.append({"id": f"r{k}", "text": new.decode()})
    assert kept == want
    spans = [json.loads(line) for line in (tmp_path / "spans.jsonl").read_text().splitlines()]
    assert [(s["id"], s["start"], s["end"], s["first_id"], s["first_start"]) for s in spans] == [
        (f"r{k}", a, b, f"r{t}", at) for k, cuts in enumerate(expected) for a, b, t, at in cuts
    ]
    assert summary.texts == len(texts)
    assert summary.changed == sum(1 for c in expected if c)
    assert summary.dropped == len(texts) - len(want)


def test_a_full_disk_leaves_the_previous_output(tmp_path, monkeypatch):
    _jsonl(tmp_path / "in.jsonl", ["a b\na b"] * 100)
    (tmp_path / "out.jsonl").write_bytes(b"old")

    class Full:
        def __init__(self, raw):
            self.raw = raw

        def write(self, data):
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

        def fileno(self):
            return self.raw.fileno()

    class FullSender:
        def __init__(self, out):
            pass

        def send(self, *args):
            raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

        write = send

    monkeypatch.setattr(writers, "_compressed", lambda raw, compression: Full(raw))
    # Plain files into a plain output are copied within the kernel, batch by batch.
    monkeypatch.setattr(writers._native, "LineSender", FullSender)
    with pytest.raises(CorpusError, match="No space left on device"):
        veltrane.remove_repeats(tmp_path / "in.jsonl", tmp_path / "out.jsonl", force=True)
    assert sorted(os.listdir(tmp_path)) == ["in.jsonl", "out.jsonl"]
    assert (tmp_path / "out.jsonl").read_bytes() == b"old"


def test_cli_reads_standard_input_and_summarises(tmp_path, capsys, monkeypatch):
    import io
    import sys

    data = b"same line\nother\nsame line\n\nSAME LINE\n"
    monkeypatch.setattr(sys, "stdin", io.TextIOWrapper(io.BytesIO(data)))
    assert main(["repeats", "-", "-o", str(tmp_path / "out.txt")]) == 0
    # Each line of a line file is a text: the later copies are cut, and left without words.
    assert (tmp_path / "out.txt").read_bytes() == b"same line\nother\n\n"
    assert "5 texts read, 2 changed, 2 dropped, 18 bytes removed" in capsys.readouterr().err


def _long_texts(seed: int, lines: bool) -> list[str]:
    """Texts of units longer than a place takes to keep (32 bytes), planted again and again."""
    rng = random.Random(seed)
    pool = [" ".join(rng.choice(VOCAB) for _ in range(8)) for _ in range(6)]
    texts = []
    for _ in range(200):
        parts = [rng.choice(pool) if rng.random() < 0.7 else _line(rng) for _ in range(5)]
        # A file of lines: a text is one line, repeated whole.
        texts.append(parts[0] if lines else rng.choice(["\n", "\r\n", "\n\n"]).join(parts))
    return texts


@pytest.mark.parametrize("normalize", ["words", "none"])
@pytest.mark.parametrize("unit", ["line", "paragraph"])
@pytest.mark.parametrize("kind", ["jsonl", "escaped", "lines"])
def test_first_occurrences_read_again_from_plain_files(tmp_path, kind, unit, normalize):
    # Plain files keep their first occurrences as places, read again to compare: JSON texts
    # as they are, with escapes (each non-ASCII character), and a file of lines ending CRLF.
    texts = _long_texts(4, kind == "lines")
    path = tmp_path / ("in.txt" if kind == "lines" else "in.jsonl")
    if kind == "lines":
        path.write_bytes(b"".join(t.encode() + b"\r\n" for t in texts))
    else:
        rows = [json.dumps({"text": t}, ensure_ascii=kind == "escaped") for t in texts]
        path.write_text("".join(r + "\n" for r in rows), encoding="utf-8")
    out = tmp_path / ("out.txt" if kind == "lines" else "out.jsonl")
    veltrane.remove_repeats(path, out, unit=unit, normalize=normalize, keep_empty=True)
    expected = model_units([t.encode() for t in texts], unit, normalize)
    want = [cut_out(t.encode(), np.array(c).reshape(-1, 4)) for t, c in zip(texts, expected)]
    assert sum(map(len, expected)) > 20
    assert Corpus(out).read().texts == want


def test_a_first_occurrence_changed_on_disk_cuts_nothing(tmp_path):
    # Kept as a place, the first occurrence is read again and checked against what was seen:
    # the file changed since, so the unit equals nothing there, and nothing is cut.
    unit = "the same line of many words, longer than a place"
    path = tmp_path / "in.txt"
    path.write_text(unit + "\n")
    corpus = Corpus(path)
    finder = Repeats("line", normalize="none")
    finder.read_from(corpus)
    (batch,) = corpus.batches()
    assert finder.cuts(batch.texts, np.array([[0, *batch.spans[0]]]))[0].size == 0
    path.write_text(unit.upper() + "\n")
    assert finder.cuts([unit.upper().encode(), unit.encode()])[0].size == 0


@pytest.mark.parametrize("suffix", [".jsonl", ".jsonl.gz"])
@pytest.mark.parametrize("unit", ["line", "paragraph", "span"])
def test_a_memory_bound_cuts_as_one_search_in_memory(tmp_path, monkeypatch, unit, suffix):
    # Tables of a few KiB: the search goes a part of the units or windows per pass (spans with
    # their words in a file), and the joined cuts write the same corpus and the same spans.
    monkeypatch.setattr(veltrane.repeats.parts, "table_limit", lambda memory: memory)
    texts = _long_texts(2, False) + [t.decode("utf-8", "replace") for t in _corpus(5, 200)]
    texts += [t.decode() for t in _word_corpus(6, 200)]
    if unit == "span":  # windows enough to outgrow the bound: random words, slices planted again
        rng = random.Random(8)
        fresh = [" ".join(f"w{rng.randrange(10**6)}" for _ in range(60)) for _ in range(300)]
        texts += [t if rng.random() < 0.7 else t[: rng.randrange(len(t))] for t in fresh * 2]
    bound = (200 if unit == "span" else 120) << 10
    path = tmp_path / f"in{suffix}"
    rows = "".join(json.dumps({"text": t}) + "\n" for t in texts).encode()
    path.write_bytes(gzip.compress(rows) if suffix.endswith(".gz") else rows)
    steps: set[str] = set()
    outs = {}
    for memory in (None, bound):
        out, spans = tmp_path / f"out-{memory}.jsonl", tmp_path / f"spans-{memory}.jsonl"
        summary = veltrane.remove_repeats(
            path,
            out,
            unit=unit,
            min_words=4,
            spans=spans,
            memory=memory,
            tmp_dir=tmp_path,
            progress=lambda step, done, total: steps.add(step),
        )
        outs[memory] = (out.read_bytes(), spans.read_bytes(), summary)
    assert outs[None] == outs[bound]
    assert outs[None][2].runs > 50
    assert len([s for s in steps if s.startswith("reading (pass")]) >= 3
    assert sorted(os.listdir(tmp_path)) == sorted(
        [path.name, *(f"{k}-{m}.jsonl" for k in ("out", "spans") for m in (None, bound))]
    )


def _shards(tmp_path, seed: int, fresh: int = 0) -> tuple[list[str], list]:
    texts = _long_texts(seed, False) + [t.decode("utf-8", "replace") for t in _corpus(seed, 150)]
    # Texts of random words, some planted again cut short: units and windows enough to
    # outgrow tables of a few KiB.
    rng = random.Random(seed)
    new = ["\n".join(f"w{rng.randrange(10**6)} " * 6 for _ in range(10)) for _ in range(fresh)]
    texts += [t if rng.random() < 0.7 else t[: rng.randrange(len(t))] for t in new * 2]
    paths = [tmp_path / "a.jsonl", tmp_path / "b.jsonl"]
    half = len(texts) // 2
    for path, part in zip(paths, (texts[:half], texts[half:])):
        path.write_text("".join(json.dumps({"text": t}) + "\n" for t in part))
    return texts, paths


@pytest.mark.parametrize(
    "unit, normalize, bound",
    [(u, n, None) for u in ("line", "paragraph") for n in ("words", "none")]
    + [("span", "words", None), ("line", "words", 120 << 10), ("span", "words", 200 << 10)],
)
def test_an_index_carries_the_units_of_earlier_runs(tmp_path, monkeypatch, unit, normalize, bound):
    # A run a shard against a lasting index writes what one run over both shards writes, its
    # spans naming first occurrences in the first shard, in memory or a part per pass (tables
    # of a few KiB); a shard run again loses every unit.
    monkeypatch.setattr(veltrane.repeats.parts, "table_limit", lambda memory: memory)
    _, paths = _shards(tmp_path, 11, 0 if bound is None else 300)
    kw: dict = {"unit": unit, "normalize": normalize, "keep_empty": True}
    if unit == "span":
        kw["min_words"] = 6
    whole = tmp_path / "whole"
    veltrane.remove_repeats(paths, whole.with_suffix(".jsonl"), spans=whole, **kw)
    ix = tmp_path / "ix"
    steps: set[str] = set()
    for k, path in enumerate(paths):
        out = tmp_path / f"out{k}"
        veltrane.remove_repeats(
            path,
            out.with_suffix(".jsonl"),
            spans=out,
            index=ix,
            memory=bound,
            progress=lambda step, done, total: steps.add(step),
            **kw,
        )
    assert bound is None or len(steps) > 3  # several passes
    for suffix in (".jsonl", ""):
        got = b"".join((tmp_path / f"out{k}").with_suffix(suffix).read_bytes() for k in (0, 1))
        assert got == whole.with_suffix(suffix).read_bytes()
    assert whole.stat().st_size > 1000
    again = tmp_path / "again.jsonl"
    veltrane.remove_repeats(paths[0], again, index=ix, **kw)
    # Only a text shorter than a window keeps words.
    assert all(len(_native.words(t)) < kw.get("min_words", 1) for t in Corpus(again).read().texts)
    other = {"unit": "paragraph" if unit == "line" else "line"}
    if unit == "span":
        other = {"unit": "span", "min_words": 7}
    with pytest.raises(CorpusError, match="other parameters"):
        veltrane.remove_repeats(paths[0], index=ix, **other)
    veltrane.ExactIndex(tmp_path / "exact").close()
    with pytest.raises(CorpusError, match="an exact index, not a repeats index"):
        veltrane.remove_repeats(paths[0], index=tmp_path / "exact")


@pytest.mark.slow
@pytest.mark.parametrize("unit", [["--unit", "line"], ["--unit", "span", "--min-words", "6"]])
def test_a_run_killed_leaves_the_index_before_or_after_it(tmp_path, rounds, unit):
    texts, paths = _shards(tmp_path, 12)
    paths[1].write_text(paths[1].read_text() * 150)  # a run long enough to be killed in
    step = [sys.executable, "-m", "veltrane", "repeats", *unit, "--index"]
    assert subprocess.run([*step, "clean", "a.jsonl"], cwd=tmp_path).returncode == 0
    before = len(RepeatIndex(tmp_path / "clean"))
    began = time.monotonic()
    assert (
        subprocess.run([*step, "clean", "b.jsonl", "-o", "want.jsonl"], cwd=tmp_path).returncode
        == 0
    )
    took = time.monotonic() - began
    after = len(RepeatIndex(tmp_path / "clean"))
    rng = np.random.default_rng(3)
    for r in range(rounds(4)):
        ix = f"ix{r}"
        assert subprocess.run([*step, ix, "a.jsonl"], cwd=tmp_path).returncode == 0
        # A killed run cannot remove its scratch directory: keep it out of the system's.
        proc = subprocess.Popen(
            [*step, ix, "b.jsonl", "-o", f"k{r}.jsonl"],
            cwd=tmp_path,
            env={**os.environ, "TMPDIR": str(tmp_path)},
        )
        time.sleep(float(rng.uniform(0.1, 1.1)) * took)
        proc.send_signal(signal.SIGKILL)
        proc.wait()
        held = len(RepeatIndex(tmp_path / ix))
        assert held in (before, after)
        if held == before:  # the run again does what it would have done
            assert subprocess.run([*step, ix, "b.jsonl", "-o", f"k{r}.jsonl", "--force"],
                                  cwd=tmp_path).returncode == 0  # fmt: skip
        assert (tmp_path / f"k{r}.jsonl").read_bytes() == (tmp_path / "want.jsonl").read_bytes()
        assert len(RepeatIndex(tmp_path / ix)) == after


@pytest.mark.parametrize(
    "text",
    [
        b"",
        b" -- ",
        b"a",
        b"-- _",
        "—— é".encode(),
        "«»".encode(),
        "—漢".encode(),
        b"\xff\xfe x",
        b"\xff\xfe",
        "、。".encode(),
        "x\u0301".encode(),
        b"\x80abc",
    ],
)
def test_has_words_is_whether_the_word_rule_finds_one(text):
    # Its shortcut (an ASCII word character before any byte above ASCII) against the rule.
    assert _native.has_words(text) == bool(_native.words(text))
