"""The index that lasts between runs: runs in turn equal one run over everything, a killed run
leaves the index before or after itself, and an index that cannot be used says so."""

import itertools
import json
import os
import random
import shutil
import signal
import sqlite3
import subprocess
import sys
import time

import pytest
from veltrane import GearCDC, _native, dedup_report
from veltrane.files.chunk_index import VERSION, ChunkIndex, ChunkIndexError

CHUNKER = GearCDC(1024)


def write_tree(top, seed: int, files: int = 12, size: int = 40_000) -> None:
    rng = random.Random(seed)
    shared = rng.randbytes(size)
    for i in range(files):
        folder = os.path.join(top, f"d{i % 3}")
        os.makedirs(folder, exist_ok=True)
        data = shared[: rng.randrange(size)] + rng.randbytes(rng.randrange(size))
        with open(os.path.join(folder, f"f{i}"), "wb") as f:
            f.write(data)


def counts(report) -> list:
    return [
        {k: v for k, v in s.to_dict().items() if k != "path"}
        for s in [*report.files, report.total]
    ]


def test_runs_in_turn_equal_one_run_over_everything(tmp_path):
    tree, old, index = tmp_path / "tree", tmp_path / "old", tmp_path / "index"
    write_tree(tree, 1)
    first = dedup_report([tree], chunker=CHUNKER, index=index)
    assert first.index["distinct_chunks_before"] == 0
    assert first.index["distinct_chunks_after"] == first.total.unique_chunks
    again = dedup_report([tree], chunker=CHUNKER, index=index)
    assert again.total.unique_bytes == 0 and again.index["files_from_cache"] == len(first.files)
    shutil.copytree(tree, old)
    # A few files change (one grows at its start, one is rewritten), one is new.
    path = tree / "d0" / "f3"
    path.write_bytes(b"new start" + path.read_bytes())
    (tree / "d1" / "f4").write_bytes(random.Random(2).randbytes(30_000))
    (tree / "d2" / "new").write_bytes(random.Random(3).randbytes(10_000))
    after = dedup_report([tree], chunker=CHUNKER, index=index)
    fresh = dedup_report([old, tree], chunker=CHUNKER)
    assert counts(after)[:-1] == counts(fresh)[len(first.files) : -1]
    assert after.total.unique_bytes == sum(f.unique_bytes for f in fresh.files[len(first.files) :])
    assert after.index["files_from_cache"] == len(first.files) - 2


@pytest.mark.parametrize("change", [False, True])
def test_a_run_with_the_cache_equals_the_pipeline(tmp_path, change):
    tree, index = tmp_path / "tree", tmp_path / "index"
    write_tree(tree, 12, files=6)
    os.link(tree / "d0" / "f0", tree / "d2" / "link")
    os.mkfifo(tree / "d1" / "fifo")
    (tree / "empty").write_bytes(b"")
    paths = [tree, tree / "d1", tree / "missing", tree / "d0" / "f3"]
    dedup_report(paths, chunker=CHUNKER, index=index, on_error=lambda *_: None)
    if change:  # the cache lacks the new file and holds an old f1 and f0
        (tree / "d1" / "f1").write_bytes(b"changed" * 3000)
        with open(tree / "d2" / "link", "ab") as f:  # f0 changes through its other link
            f.write(b"appended")
        (tree / "d0" / "new").write_bytes(random.Random(13).randbytes(20_000))
    encoded = [os.fsencode(p) for p in paths]
    loaded = [ChunkIndex(index, CHUNKER.description(), "blake3").load() for _ in range(2)]
    args = (CHUNKER._gear, 0, 2, 1 << 20, None)
    # The pipeline alone (the tuple binding always runs it), and the cache with the pipeline
    # for what it lacks.
    files, skipped, errors = _native.dedup_tree(
        encoded, *args, loaded[0].seen, loaded[0].cache, True
    )
    run = _native.dedup_tree_columns(encoded, *args, loaded[1].seen, loaded[1].cache, True)
    ends = run["ends"].tolist()
    names = [run["names"][a:b] for a, b in zip([0, *ends[:-1]], ends)]
    content = [run["content"][32 * i : 32 * i + 32] for i in range(len(ends))]
    columns = [(n, *row, c) for n, row, c in zip(names, run["stats"].tolist(), content)]
    assert columns == [f[:8] for f in files] and len(files) == 7 + change
    assert run["cached"].tolist() == [f[8] for f in files]
    assert run["ident"].tolist() == [[f[1], f[10], f[11], f[9]] for f in files]
    assert sum(run["cached"]) == 7 - 2 * change
    read = [f for f in files if not f[8]]
    assert run["counts"].tolist() == [len(f[12]) // 8 if not f[8] else 0 for f in files]
    assert run["lengths"] == b"".join(f[12] for f in read)
    assert run["digests"] == b"".join(f[13] for f in read)
    assert (run["skipped"], run["errors"]) == (skipped, errors)
    assert [s[1] for s in skipped] == ["special"] + ["same_file"] * 3 + ["special", "same_file"]
    assert [e[1] for e in errors] == [2]
    assert loaded[0].seen.digests() == loaded[1].seen.digests()


def test_the_file_cache_is_rewritten_once_it_holds_more_old_files_than_live_ones(tmp_path):
    tree, index = tmp_path / "tree", tmp_path / "index"
    write_tree(tree, 9, files=4)
    rows = []
    for seed in range(4):
        if seed:  # every file changes
            write_tree(tree, 9 + seed, files=4)
        dedup_report([tree], chunker=CHUNKER, index=index)
        with sqlite3.connect(index / "index.sqlite") as db:
            rows.append(db.execute("select count(*) from files").fetchone()[0])
    # Runs append 4 files each until 12 stored files outnumber twice the 4 live ones.
    assert rows == [1, 2, 1, 2]
    again = dedup_report([tree], chunker=CHUNKER, index=index)
    assert again.index["files_from_cache"] == 4 and again.total.unique_bytes == 0


FULL_DISK_RUN = """
import resource, signal, sys
from veltrane import GearCDC, dedup_report
from veltrane.files.chunk_index import ChunkIndexError
# A file may not grow past this: the commit's writes fail as on a full disk.
signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
resource.setrlimit(resource.RLIMIT_FSIZE, (int(sys.argv[3]), int(sys.argv[3])))
try:
    dedup_report([sys.argv[1]], chunker=GearCDC(1024), index=sys.argv[2])
except ChunkIndexError as e:
    sys.exit("refused: " + str(e))
"""


def test_a_full_disk_while_committing_leaves_the_index_as_it_was(tmp_path):
    base, tree, index = tmp_path / "base", tmp_path / "tree", tmp_path / "index"
    write_tree(base, 10)
    write_tree(tree, 11, files=40, size=200_000)
    dedup_report([base], chunker=CHUNKER, index=index)
    kept = tmp_path / "kept"
    shutil.copytree(index, kept)
    limit = os.path.getsize(index / "index.sqlite") + 8192
    run = subprocess.run(
        [sys.executable, "-c", FULL_DISK_RUN, str(tree), str(index), str(limit)],
        capture_output=True,
    )
    assert run.returncode == 1 and b"were not saved, the index is as it was before" in run.stderr
    assert counts(dedup_report([tree], chunker=CHUNKER, index=index)) == counts(
        dedup_report([tree], chunker=CHUNKER, index=kept)
    )


KILLED_RUN = """
import sys
from veltrane import GearCDC, dedup_report
dedup_report([sys.argv[1]], chunker=GearCDC(1024), index=sys.argv[2], threads=1)
"""


@pytest.mark.slow
def test_a_killed_run_leaves_the_index_before_or_after_it(tmp_path):
    base, tree = tmp_path / "base", tmp_path / "tree"
    write_tree(base, 4)
    write_tree(tree, 5, files=60, size=200_000)
    start = tmp_path / "start"
    dedup_report([base], chunker=CHUNKER, index=start)
    # The reports a next run may give: after a run that never happened, or one that ended.
    never = tmp_path / "never"
    shutil.copytree(start, never)
    before = counts(dedup_report([tree], chunker=CHUNKER, index=never))
    after = counts(dedup_report([tree], chunker=CHUNKER, index=never))
    rng = random.Random(6)
    seen = set()
    for k in range(8):
        index = tmp_path / f"killed{k}"
        shutil.copytree(start, index)
        run = subprocess.Popen([sys.executable, "-c", KILLED_RUN, str(tree), str(index)])
        time.sleep(rng.uniform(0.2, 3.0))
        run.send_signal(signal.SIGKILL)
        run.wait()
        report = counts(dedup_report([tree], chunker=CHUNKER, index=index))
        assert report in (before, after)
        seen.add(report == before)
    assert seen  # at least one state was reached


def test_an_index_that_cannot_be_used_says_so_and_stays_as_it_is(tmp_path):
    tree = tmp_path / "tree"
    write_tree(tree, 7, files=3)
    foreign = tmp_path / "foreign"
    foreign.mkdir()
    (foreign / "data.mdb").write_bytes(b"something else")
    with pytest.raises(ChunkIndexError, match="not a chunk index"):
        dedup_report([tree], chunker=CHUNKER, index=foreign)
    assert os.listdir(foreign) == ["data.mdb"]

    damaged = tmp_path / "damaged"
    damaged.mkdir()
    (damaged / "index.sqlite").write_bytes(b"\0" * 4096)
    with pytest.raises(ChunkIndexError, match="not a chunk index, or damaged"):
        dedup_report([tree], chunker=CHUNKER, index=damaged)

    index = tmp_path / "index"
    dedup_report([tree], chunker=CHUNKER, index=index)
    with pytest.raises(ChunkIndexError, match="built with chunker"):
        dedup_report([tree], chunker=GearCDC(2048), index=index)
    with sqlite3.connect(index / "index.sqlite") as db:
        db.execute("update meta set value = '99' where key = 'version'")
    with pytest.raises(ChunkIndexError, match="index version 99"):
        dedup_report([tree], chunker=CHUNKER, index=index)
    with sqlite3.connect(index / "index.sqlite") as db:
        db.execute(f"update meta set value = '{VERSION}' where key = 'version'")
        db.execute("update files set counts = x'0100000000000000'")
    with pytest.raises(ChunkIndexError, match="damaged index"):
        dedup_report([tree], chunker=CHUNKER, index=index)
    with sqlite3.connect(index / "index.sqlite") as db:
        db.execute("update chunks set digests = x'00'")
    with pytest.raises(ChunkIndexError, match="damaged index"):
        dedup_report([tree], chunker=CHUNKER, index=index)


def test_cli_index(tmp_path):
    tree = tmp_path / "tree"
    write_tree(tree, 8, files=4)
    run = [sys.executable, "-m", "veltrane", "dedup", "--json", "--index", "idx", "tree"]
    first = subprocess.run(run, cwd=tmp_path, capture_output=True, check=True)
    second = json.loads(subprocess.run(run, cwd=tmp_path, capture_output=True, check=True).stdout)
    assert json.loads(first.stdout)["index"]["files_from_cache"] == 0
    assert second["index"]["files_from_cache"] == 4 and second["total"]["unique_bytes"] == 0
    (tmp_path / "junk").mkdir()
    (tmp_path / "junk" / "x").write_bytes(b"x")
    bad = subprocess.run([*run[:-2], "junk", "tree"], cwd=tmp_path, capture_output=True)
    assert bad.returncode == 1 and b"junk: not a chunk index" in bad.stderr


# Enough paths to grow the table several times, a third of them added again (the later file
# replaces the earlier): the cache holds what a dict would.
@pytest.mark.parametrize("seed", range(3))
def test_file_cache_holds_what_a_dict_would(seed):
    rng = random.Random(seed)
    names = [rng.randbytes(rng.randrange(1, 12)) for _ in range(3000)]
    model: dict = {}
    cache = _native.FileCache()
    for name in names + rng.sample(names, 1000):
        n = rng.randrange(4)
        row = (
            rng.randrange(1 << 40),
            rng.randrange(1 << 40),
            rng.randrange(1 << 40),
            rng.randrange(1 << 40),
            rng.randbytes(8 * n),
            rng.randbytes(32 * n),
        )
        cache.add(name, *row)
        model[name] = row
    assert len(cache) == len(model)
    c = _native.file_cache_columns(cache)
    ends = c["ends"].tolist()
    chunk_ends = list(itertools.accumulate(c["counts"].tolist()))
    got = {}
    for i, end in enumerate(ends):
        a, b = (chunk_ends[i - 1] if i else 0), chunk_ends[i]
        got[c["names"][ends[i - 1] if i else 0 : end]] = (
            *c["ident"][i].tolist(),
            c["lengths"][8 * a : 8 * b],
            c["digests"][32 * a : 32 * b],
        )
    assert got == model
