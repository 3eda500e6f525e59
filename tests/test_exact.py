import gzip
import json
import subprocess
import sys

import model_blake3
import model_minhash
import numpy as np
import pytest
import veltrane
from hypothesis import given, settings
from hypothesis import strategies as st
from veltrane.keep import keep_ranks
from veltrane.search.exact import exact_groups
from veltrane.sketch.digest import text_digests

# Copies under one normalisation or the other: case, punctuation, spacing, a character of a
# script without spaces, bad UTF-8, no words at all.
PIECES = ["Hello", "hello", "world", "World!", ", ", " ", "  ", "中文", "中 文", "\xff", "}", ""]
texts = st.lists(
    st.lists(st.sampled_from(PIECES), max_size=4)
    .map("".join)
    .map(lambda t: t.encode("utf-8", "surrogateescape") if "\xff" in t else t),
    max_size=30,
)


def normalized(text, normalize):
    if normalize == "none":
        return text.encode() if isinstance(text, str) else bytes(text)
    return " ".join(model_minhash.words(text)).encode()


def model(texts, normalize, ranks):
    """The dict model: the first text in keep order of each normalised text is kept."""
    keeper = {}
    for t in sorted(range(len(texts)), key=lambda t: ranks[t]):
        key = normalized(texts[t], normalize)
        if normalize == "words" and key == b"":
            continue  # without words: a copy of nothing
        keeper.setdefault(key, t)
    out = np.full(len(texts), -1)
    for t in range(len(texts)):
        k = keeper.get(normalized(texts[t], normalize), t)
        if k != t and not (normalize == "words" and normalized(texts[t], normalize) == b""):
            out[t] = k
    return out.tolist()


@pytest.mark.parametrize("normalize", ["words", "none"])
def test_digests_are_blake3_of_the_normalised_text(normalize):
    batch = ["Hello, World!", "hello world", b"Caf\xc3\xa9\xff au lait", "中文字 abc", ""]
    # Lengths at the edges of blocks (64) and chunks (1024), and enough texts and bytes that
    # the digests are gathered and written batch after batch.
    rng = np.random.default_rng(5)
    batch += ["w " * (n // 2) + "x" * (n % 2) for n in (63, 64, 65, 1023, 1024, 1025, 2049, 9000)]
    batch += ["".join(rng.choice(list("ab c"), size=rng.integers(0, 2100))) for _ in range(400)]
    got = text_digests(batch, normalize=normalize, threads=2)
    for row, text in zip(got.tolist(), batch):
        want = model_blake3.blake3(normalized(text, normalize))[:16]
        assert row == [int.from_bytes(want[:8], "little"), int.from_bytes(want[8:], "little")]


@given(
    st.lists(
        st.text(st.sampled_from("aZ_9 .,\n"), max_size=40)
        | st.sampled_from(["  ", "... ", "Ab", "中", "é", "\x80"]),
        max_size=12,
    ).map("".join)
)
def test_words_digest_is_the_digest_of_the_joined_words(text):
    # ASCII texts take a path of their own, 32 bytes at a step: runs of separators, words and
    # separators across the steps, a character beyond ASCII anywhere.
    joined = " ".join(model_minhash.words(text))
    a, b = text_digests([text, joined.encode()], normalize="none", threads=1).tolist()
    assert text_digests([text], normalize="words", threads=1).tolist() == [b]
    assert (a == b) == (text.encode() == joined.encode())


@given(texts, st.sampled_from(["words", "none"]), st.sampled_from(["first", "longest", "value"]))
def test_exact_deduplication_equals_the_dict_model(batch, normalize, rule):
    n = len(batch)
    if rule == "value":
        keep = [float((7 * k) % 5) for k in range(n)]
    else:
        keep = rule
    ranks = keep_ranks(n, keep, texts=batch)
    want = model(batch, normalize, ranks)
    for clusters in ("greedy", "components"):
        got = veltrane.deduplicate_texts(
            batch, method="exact", normalize=normalize, keep=keep, clusters=clusters, threads=2
        )
        assert got.duplicate_of.tolist() == want
        assert (got.similarity == 1.0).all()


@settings(max_examples=100, deadline=None)
@given(
    st.lists(texts, min_size=1, max_size=3),
    st.sampled_from(["words", "none"]),
    st.integers(1, 30),
    st.booleans(),
)
def test_first_copies_written_as_read_are_the_dict_models(
    tmp_path_factory, files, normalize, stretch, ended
):
    # Stretches of a few bytes: records, blank lines and a file's end without its line break
    # fall at every edge, and the copies of one file are found in the next.
    from veltrane import _native
    from veltrane.sketch.digest import empty_digest

    where = tmp_path_factory.mktemp("first")
    lines, paths = [], []
    for k, batch in enumerate(files):
        rows = [
            json.dumps({"text": t if isinstance(t, str) else t.decode("latin-1")}).encode()
            for t in batch
        ]
        rows.insert(len(rows) // 2, b"  ")  # a blank line: no record, not written
        raw = b"".join(r + b"\n" for r in rows)
        raw = raw if ended or k < len(files) - 1 else raw[:-1]
        paths.append(where / f"{k}.jsonl")
        paths[-1].write_bytes(raw)
        lines += [r for r in rows if r.strip()]
    texts_read = [json.loads(line)["text"] for line in lines]
    want = model(texts_read, normalize, list(range(len(texts_read))))
    apart = empty_digest("words").view(np.uint32) if normalize == "words" else None
    out = where / "out"
    with open(out, "wb") as f:
        follower = _native.FirstCopies(f.fileno(), apart)
        for path in paths:
            got = _native.sign_plain_file(
                str(path), True, b"text", b"", b"", 1, 1, 0, 0, 0, 2, None, stretch,
                exact=normalize, follow=follower,
            )  # fmt: skip
            assert got is not None
        assert follower.error == 0
        assert follower.kept.tolist() == [d < 0 for d in want]
        del follower
    assert out.read_bytes() == b"".join(r + b"\n" for r, d in zip(lines, want) if d < 0)


def test_groups_of_equal_digests():
    rng = np.random.default_rng(1)
    digests = rng.integers(0, 4, size=(500, 2), dtype=np.uint64)
    first = {}
    want = [first.setdefault(tuple(r), k) for k, r in enumerate(digests.tolist())]
    assert exact_groups(digests).tolist() == want
    assert exact_groups(digests.view(np.uint32)).tolist() == want
    with pytest.raises(ValueError, match="shape"):
        exact_groups(np.zeros((3, 3), dtype=np.uint64))


def corpus_records(seed):
    rng = np.random.default_rng(seed)
    variants = ["Hello, World!", "hello world", "HELLO  world.", "中文字", "中 文 字", "}", "x y"]
    return [
        {"text": str(rng.choice(variants)) + " " * int(rng.integers(0, 2)), "n": int(k % 7)}
        for k in range(300)
    ]


@pytest.mark.parametrize("packed", [False, True, "memory"])
@pytest.mark.parametrize("normalize", ["words", "none"])
@pytest.mark.parametrize("keep", [[], ["--keep", "longest"], ["--keep-by", "n"]])
def test_near_dups_exact_writes_what_the_dict_model_keeps(tmp_path, packed, normalize, keep):
    # Two shards: the one-pass reader takes plain files, the general reader compressed ones;
    # within a memory bound the digests are those of the run in memory.
    bound = ["--memory", "64K"] if packed == "memory" else []
    packed = packed is True
    records = corpus_records(1)
    shards = [records[:150], records[150:]]
    for k, part in enumerate(shards):
        data = "".join(json.dumps(r, ensure_ascii=False) + "\n" for r in part).encode()
        name = tmp_path / "in" / f"{k}.jsonl{'.gz' if packed else ''}"
        name.parent.mkdir(exist_ok=True)
        name.write_bytes(gzip.compress(data) if packed else data)
    out, dups = tmp_path / "kept.jsonl", tmp_path / "dups.jsonl"
    result = subprocess.run(
        [
            sys.executable,
            "-m",
            "veltrane",
            "near-dups",
            "--method",
            "exact",
            "--normalize",
            normalize,
            *keep,
            *bound,
            str(tmp_path / "in"),
            "-o",
            str(out),
            "--duplicates",
            str(dups),
        ],
        capture_output=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr.decode()
    texts = [r["text"] for r in records]
    rule = [float(r["n"]) for r in records] if keep[:1] == ["--keep-by"] else keep[1:] or ["first"]
    rule = rule[0] if isinstance(rule[0], str) else rule
    want = model(texts, normalize, keep_ranks(len(texts), rule, texts=texts))
    assert [json.loads(line) for line in out.read_text().splitlines()] == [
        r for r, d in zip(records, want) if d < 0
    ]
    got = [json.loads(line) for line in dups.read_text().splitlines()]
    dropped = [k for k, d in enumerate(want) if d >= 0]
    assert [(g["line"], g["keeper_line"], g["similarity"]) for g in got] == [
        (k % 150 + 1, want[k] % 150 + 1, 1.0) for k in dropped
    ]


@pytest.mark.parametrize("normalize", ["words", "none"])
def test_a_lasting_index_keeps_the_first_copy_across_runs(tmp_path, normalize):
    from veltrane import deduplicate_corpus
    from veltrane.pipeline.plan import CorpusJobError

    records = corpus_records(2)
    paths = []
    for k in range(3):
        paths.append(tmp_path / f"{k}.jsonl")
        paths[-1].write_text(
            "".join(json.dumps(r) + "\n" for r in records[100 * k : 100 * k + 100])
        )
    kept, dups = [], []
    # One run for the first file, one for the other two: keep="first" is then the dict model.
    for run, inputs in enumerate([paths[:1], paths[1:]]):
        out, dup = tmp_path / f"out{run}.jsonl", tmp_path / f"dup{run}.jsonl"
        deduplicate_corpus(
            [str(p) for p in inputs], output=str(out), duplicates=str(dup), method="exact",
            index=tmp_path / "ix", normalize=normalize if run == 0 else None,
        )  # fmt: skip
        kept += [json.loads(line) for line in out.read_text().splitlines()]
        dups += [json.loads(line) for line in dup.read_text().splitlines()]
    texts = [r["text"] for r in records]
    want = model(texts, normalize, list(range(len(texts))))
    assert kept == [r for r, d in zip(records, want) if d < 0]

    def place(k):
        return (str(paths[k // 100]), k % 100 + 1)

    assert [((d["file"], d["line"]), (d["keeper_file"], d["keeper_line"])) for d in dups] == [
        (place(k), place(d)) for k, d in enumerate(want) if d >= 0
    ]
    other = "none" if normalize == "words" else "words"
    for wrong, match in [
        ({"method": "exact", "normalize": other}, "built with other parameters"),
        ({"method": "minhash"}, "an exact index, not a Jaccard index"),
    ]:
        with pytest.raises(CorpusJobError, match=match):
            deduplicate_corpus([str(paths[0])], index=tmp_path / "ix", **wrong)
    deduplicate_corpus([str(paths[0])], output=str(tmp_path / "m.jsonl"), index=tmp_path / "jx")
    with pytest.raises(CorpusJobError, match="a Jaccard index, not an exact index"):
        deduplicate_corpus([str(paths[0])], method="exact", index=tmp_path / "jx")
