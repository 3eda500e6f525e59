"""``near-dups --memory`` against the run in memory, byte for byte, with a limit so small that
every path spills; ``near-dups --index`` shard by shard against one run, and the errors of
both."""

import gzip
import json
import resource
import signal
import subprocess
import sys
import time

import numpy as np
import pytest
import veltrane
from test_cli import one_line_error
from test_cli import veltrane as run
from test_index import corpus
from veltrane import ExactIndex, JaccardIndex


def write_shards(tmp_path, texts, shards, ids=True):
    """The texts as JSON Lines shards (id, score, text), the shard paths in order."""
    paths = []
    per = -(-len(texts) // shards)
    for s in range(shards):
        path = tmp_path / "in" / f"part-{s}.jsonl"
        path.parent.mkdir(exist_ok=True)
        lines = [
            json.dumps({"id": f"d{k}", "score": k % 7, "text": texts[k]}) if ids else texts[k]
            for k in range(s * per, min((s + 1) * per, len(texts)))
        ]
        path.write_text("".join(line + "\n" for line in lines))
        paths.append(path)
    return paths


@pytest.mark.parametrize(
    "options",
    [
        ["--lines", "--threshold", "0.5"],
        ["--format", "clusters", "--keep", "longest", "-o", "out.jsonl", "--duplicates", "d"],
        ["--id-field", "id", "--keep-by", "score", "--format", "pairs", "--duplicates", "d"],
        ["--id-field", "id", "--clusters", "components", "--format", "clusters", "-o", "o.zst"],
        # Compressed input: the texts are spilled, not read again from their files.
        ["gz", "--id-field", "id", "--format", "clusters", "--duplicates", "d", "-o", "o.zst"],
    ],
)
def test_memory_run_equals_the_run_in_memory(tmp_path, options):
    texts = corpus(7, 700)
    lines = "--lines" in options
    if lines:  # empty lines are numbered but are no texts
        texts = [t if k % 11 else "" for k, t in enumerate(texts)]
    paths = write_shards(tmp_path, texts, 3, ids=not lines)
    if options[0] == "gz":
        options = options[1:]
        for path in paths:
            path.with_suffix(".jsonl.gz").write_bytes(gzip.compress(path.read_bytes()))
            path.unlink()
    (tmp_path / "spill").mkdir()
    outputs = {}
    for name, extra in [("mem", []), ("disk", ["--memory", "64K", "--tmp-dir", "spill"])]:
        (tmp_path / name).mkdir()
        args = [a if a not in ("out.jsonl", "d", "o.zst") else f"{name}/{a}" for a in options]
        result = run("near-dups", "in", *args, *extra, cwd=tmp_path)
        assert result.returncode == 0, result.stderr.decode()
        files = {p.name: p.read_bytes() for p in (tmp_path / name).iterdir()}
        outputs[name] = (result.stdout, result.stderr, files)
    assert outputs["mem"] == outputs["disk"]
    assert outputs["mem"][0] or outputs["mem"][2]
    assert not any((tmp_path / "spill").iterdir())


def test_index_shard_by_shard_equals_one_run(tmp_path):
    texts = corpus(3, 600)
    paths = write_shards(tmp_path, texts, 4)
    common = ["--id-field", "id", "--jsonl", "--threshold", "0.6", "-q"]
    one = run("near-dups", *paths, *common, "--index", "one", "-o", "all.jsonl",
              "--duplicates", "all-d.jsonl", cwd=tmp_path)  # fmt: skip
    assert one.returncode == 0, one.stderr.decode()
    kept, dropped = b"", b""
    for k, path in enumerate(paths):
        result = run("near-dups", path, *common, "--index", "each", "-o", f"{k}.jsonl",
                     "--duplicates", f"{k}-d.jsonl", cwd=tmp_path)  # fmt: skip
        assert result.returncode == 0, result.stderr.decode()
        kept += (tmp_path / f"{k}.jsonl").read_bytes()
        dropped += (tmp_path / f"{k}-d.jsonl").read_bytes()
    assert kept == (tmp_path / "all.jsonl").read_bytes()
    assert dropped == (tmp_path / "all-d.jsonl").read_bytes()

    # Against exact Jaccard: every dropped text is a near duplicate of its keeper, often one
    # of an earlier run, and no two kept texts are near duplicates.
    text_of = {f"d{k}": t for k, t in enumerate(texts)}
    records = [json.loads(line) for line in dropped.decode().splitlines()]
    sims = veltrane.jaccard_similarities(
        [text_of[r[key]] for r in records for key in ("id", "keeper_id")],
        np.arange(0, 2 * len(records), 2),
        np.arange(1, 2 * len(records), 2),
    )
    assert np.allclose(sims, [r["similarity"] for r in records]) and (sims >= 0.6).all()
    shard_of = {f"d{k}": k * 4 // len(texts) for k in range(len(texts))}
    assert any(shard_of[r["keeper_id"]] < shard_of[r["id"]] for r in records)
    survivors = [json.loads(line)["text"] for line in kept.decode().splitlines()]
    pairs = veltrane.near_duplicate_pairs_jaccard(survivors, 0.6, wordless="apart")
    assert len(pairs) == 0

    # Again: every text with words is now in the index, and dropped onto itself.
    again = run("near-dups", paths[1], *common, "--index", "each", "--duplicates", "again",
                cwd=tmp_path)  # fmt: skip
    assert again.returncode == 0, again.stderr.decode()
    records = [json.loads(line) for line in (tmp_path / "again").read_text().splitlines()]
    # Records dropped within their shard the first time name a keeper of that shard.
    assert all(r["similarity"] >= 0.6 for r in records)
    worded = [k for k in range(len(texts)) if shard_of[f"d{k}"] == 1 and any(c.isalnum()
              for c in texts[k])]  # fmt: skip
    assert sorted(r["id"] for r in records) == sorted(f"d{k}" for k in worded)


def test_a_corpus_larger_than_the_memory_available_is_bounded_by_default(
    tmp_path, monkeypatch, capsys
):
    from veltrane.cli import main, near_dups

    write_shards(tmp_path, corpus(5, 700), 2)
    monkeypatch.chdir(tmp_path)
    assert main(["near-dups", "in", "-o", "mem.jsonl"]) == 0
    assert "--memory" not in capsys.readouterr().err
    monkeypatch.setattr(near_dups, "_available_memory", lambda: 100_000)
    assert main(["near-dups", "in", "-o", "auto.jsonl"]) == 0
    assert "searching within --memory 64K" in capsys.readouterr().err
    assert (tmp_path / "auto.jsonl").read_bytes() == (tmp_path / "mem.jsonl").read_bytes()


@pytest.mark.slow
@pytest.mark.parametrize("method", ["minhash", "exact"])
def test_a_killed_index_run_runs_again_as_if_never_killed(tmp_path, rounds, method):
    """The index takes a run's texts only with its outputs: killed at any moment, the run
    again (``--force``: its outputs may be there) writes what a clean run writes, and leaves
    the index a clean run leaves."""
    paths = write_shards(tmp_path, corpus(6, 6000), 2)

    def step(index, path, tag=None):
        out = [] if tag is None else ["-o", f"{tag}.jsonl", "--duplicates", f"{tag}-d.jsonl"]
        return [sys.executable, "-m", "veltrane", "near-dups", str(path), "--id-field", "id",
                "--threshold" if method == "minhash" else "--normalize", "0.6" if method ==
                "minhash" else "words", "--method", method, "-q", "--force", "--index", index,
                *out]  # fmt: skip

    def finish(index, tag, names=("1", "again")):
        for name in names:
            assert subprocess.run(step(index, paths[1], tag + name), cwd=tmp_path).returncode == 0
        return [(tmp_path / f"{tag}{n}{e}").read_bytes() for n in ("1", "again")
                for e in (".jsonl", "-d.jsonl")]  # fmt: skip

    assert subprocess.run(step("clean", paths[0]), cwd=tmp_path).returncode == 0
    kind = JaccardIndex if method == "minhash" else ExactIndex
    before = len(kind(tmp_path / "clean"))
    began = time.monotonic()
    clean = finish("clean", "c")
    took = (time.monotonic() - began) / 2
    rng = np.random.default_rng(8)
    for r in range(rounds(4)):
        index = f"ix{r}"
        assert subprocess.run(step(index, paths[0]), cwd=tmp_path).returncode == 0
        proc = subprocess.Popen(step(index, paths[1], f"k{r}1"), cwd=tmp_path)
        time.sleep(float(rng.uniform(0.1, 1.0)) * took)
        proc.send_signal(signal.SIGKILL)
        proc.wait()
        # Killed after its commit, the run is done: its outputs are there, in full.
        done = len(kind(tmp_path / index)) > before
        assert finish(index, f"k{r}", ["again"] if done else ["1", "again"]) == clean


@pytest.mark.slow
def test_a_killed_memory_run_leaves_nothing(tmp_path, rounds):
    """Spilled texts and band runs have no name, and the output appears whole or not at
    all: a run killed at any moment leaves no file behind."""
    write_shards(tmp_path, corpus(2, 6000), 2)
    (tmp_path / "spill").mkdir()
    rng = np.random.default_rng(4)
    for _ in range(rounds(3)):
        proc = subprocess.Popen([sys.executable, "-m", "veltrane", "near-dups", "in", "-o",
                                 "out.jsonl.gz", "--memory", "64K", "--tmp-dir", "spill"],
                                cwd=tmp_path)  # fmt: skip
        time.sleep(float(rng.uniform(0.3, 2.0)))
        proc.send_signal(signal.SIGKILL)
        proc.wait()
        assert not any((tmp_path / "spill").iterdir())
        left = sorted(p.name for p in tmp_path.iterdir())
        assert left in (["in", "spill"], ["in", "out.jsonl.gz", "spill"]), left


def full_disk():
    """Files of the child may grow to 20 kB: writing more fails as a full disk does."""
    resource.setrlimit(resource.RLIMIT_FSIZE, (20_000, 20_000))


def test_errors_are_one_line_and_lose_nothing(tmp_path):
    paths = write_shards(tmp_path, corpus(1, 2000), 1)
    before = paths[0].read_bytes()
    (tmp_path / "out.jsonl").write_bytes(b"existing\n")
    args = ["near-dups", paths[0], "-o", "out.jsonl", "--force"]
    one_line_error(run(*args, "--memory", "1K", cwd=tmp_path), 2, "--memory 1024 is below")
    one_line_error(run(*args[:2], "--tmp-dir", ".", cwd=tmp_path), 2, "--tmp-dir needs --memory")
    simhash = run(*args[:2], "--method", "simhash", "--memory", "1G", cwd=tmp_path)
    one_line_error(simhash, 2, "--memory and --index need --method minhash")
    # Compressed, so that the texts are spilled (a plain file is read again instead).
    packed = tmp_path / "in" / "packed.jsonl.gz"
    packed.write_bytes(gzip.compress(before))
    spilled = subprocess.run(
        [sys.executable, "-m", "veltrane", "near-dups", packed, *map(str, args[2:]),
         "--memory", "64K"],
        cwd=tmp_path, capture_output=True, preexec_fn=full_disk, timeout=60,
    )  # fmt: skip
    one_line_error(spilled, 1, "File too large writing temporary files")
    assert paths[0].read_bytes() == before
    assert (tmp_path / "out.jsonl").read_bytes() == b"existing\n"

    assert run(*args[:2], "--index", "idx", "--threshold", "0.7", cwd=tmp_path).returncode == 0
    one_line_error(
        run(*args[:2], "--index", "idx", "--threshold", "0.8", cwd=tmp_path),
        1,
        "the index was built with other parameters: threshold=0.8 (built with 0.7)",
    )
