"""The store under crashes and bad conditions: SIGKILL at random moments of add and prune,
a second writer, a full disk, and stores of another format, read-only, with a pack missing
or the index truncated: each one line, nothing lost."""

import errno
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
from store_trees import tree
from veltrane.store import Store, StoreError, lock
from veltrane.store.packs import PackWriter


def _restored(dest, src) -> str:
    return os.path.join(str(dest), os.path.abspath(str(src)).lstrip("/"))


def _files(root) -> dict:
    out = {}
    for top, _, names in os.walk(root):
        for n in names:
            p = os.path.join(top, n)
            with open(p, "rb") as f:
                out[os.path.relpath(p, root)] = f.read()
    return out


def _fill(src, seed: int, files: int = 12, size: int = 1 << 20) -> None:
    rng = random.Random(seed)
    os.makedirs(src, exist_ok=True)
    for k in range(files):
        with open(os.path.join(src, f"f{k}"), "wb") as f:
            f.write(rng.randbytes(size))


def _killed(code: str, after: float) -> None:
    """Runs ``code`` in a new interpreter and SIGKILLs it ``after`` seconds in."""
    p = subprocess.Popen([sys.executable, "-c", code])
    time.sleep(after)
    p.send_signal(signal.SIGKILL)
    p.wait()


def _healthy(store: Store) -> None:
    v = store.verify(read_data=True)
    assert v["problems"] == []


@pytest.mark.parametrize("after", [0.3, 0.6, 0.9, 1.3])
def test_sigkill_during_add(tmp_path, after):
    src, repo = tmp_path / "src", tmp_path / "repo"
    _fill(src, 1)
    store = Store.init(repo, avg_size=4096, pack_size=256 << 10)
    store.add([src], name="before")
    _fill(src, 2, files=6)  # half the files change
    code = f"from veltrane.store import Store; Store({str(repo)!r}).add([{str(src)!r}])"
    _killed(code, after)
    # As before the run, or as after it: every snapshot whole and restorable.
    _healthy(store)
    assert len(store.snapshots()) in (1, 2)
    r = store.add([src], name="next")
    assert r["errors"] == []
    _healthy(store)
    assert store.restore("next", tmp_path / "out")["errors"] == []
    assert _files(_restored(tmp_path / "out", src)) == _files(src)
    # What the killed run left is reclaimed: nothing unneeded remains.
    store.forget([s.id for s in store.snapshots() if s.name != "next"])
    store.prune()
    v = store.verify(read_data=True)
    assert v["problems"] == [] and v["notes"] == []
    assert store.stats()["chunk_bytes"] == sum(len(b) for b in _files(src).values())


@pytest.mark.parametrize("after", [0.25, 0.5, 0.8, 1.2])
def test_sigkill_during_prune(tmp_path, after):
    src, repo = tmp_path / "src", tmp_path / "repo"
    _fill(src, 3)
    store = Store.init(repo, avg_size=4096, pack_size=128 << 10)
    store.add([src], name="v1")
    _fill(src, 4, files=6)
    store.add([src], name="v2")
    want = tree(str(src))
    store.forget(["v1"])
    _killed(f"from veltrane.store import Store; Store({str(repo)!r}).prune()", after)
    _healthy(store)
    assert store.restore("v2", tmp_path / "out")["errors"] == []
    assert tree(_restored(tmp_path / "out", src)) == want
    store.prune()
    v = store.verify(read_data=True)
    assert v["problems"] == [] and v["notes"] == []
    assert store.stats()["chunk_bytes"] == 12 << 20


def test_prune_after_one_killed_before_its_commit(tmp_path):
    # The state a prune killed between finishing its packs and switching the index leaves:
    # the next prune writes the same packs again (same bytes, same names) and keeps them.
    src, repo, killed = tmp_path / "src", tmp_path / "repo", tmp_path / "killed"
    _fill(src, 3, files=6)
    store = Store.init(repo, avg_size=4096, pack_size=128 << 10)
    store.add([src], name="v1")
    _fill(src, 4, files=3)
    store.add([src], name="v2")
    store.forget(["v1"])
    shutil.copytree(repo, killed)
    before = set(_files(repo / "packs"))
    store.prune()
    for name in set(_files(repo / "packs")) - before:
        os.makedirs(os.path.dirname(killed / "packs" / name), exist_ok=True)
        shutil.copy(repo / "packs" / name, killed / "packs" / name)
    again = Store(killed)
    again.prune()
    v = again.verify(read_data=True)
    assert v["problems"] == [] and v["notes"] == []
    assert again.restore("v2", tmp_path / "out")["errors"] == []
    assert _files(_restored(tmp_path / "out", src)) == _files(src)


def test_a_second_writer_waits_then_fails_with_one_line(tmp_path):
    (tmp_path / "src").mkdir()
    store = Store.init(tmp_path / "repo")
    other = Store(tmp_path / "repo", wait=0.3)
    with lock.writer(store.path):
        t = time.monotonic()
        with pytest.raises(StoreError, match=r"another writer holds the store's lock \(waited"):
            other.add([tmp_path / "src"])
        assert time.monotonic() - t >= 0.3
        # Readers go on meanwhile.
        assert other.snapshots() == []
    assert other.add([tmp_path / "src"])["errors"] == []


def _listing(root) -> dict:
    """Every file's bytes, and the index by its rows (SQLite's page counters may move)."""
    out = _files(root)
    index = os.path.join(root, "index.sqlite")
    if "index.sqlite" in out:
        db = sqlite3.connect(f"file:{index}?mode=ro", uri=True)
        out["index.sqlite"] = [
            sorted(db.execute(f"SELECT * FROM {t}")) for t in ("meta", "packs", "chunks")
        ]
        db.close()
    return out


@pytest.mark.parametrize("where", ["pack", "pack of a long file", "snapshot"])
def test_full_disk_during_add_leaves_the_store_as_it_was(tmp_path, monkeypatch, where):
    if where == "pack of a long file":  # read in pieces, their chunks packed by other workers
        monkeypatch.setattr("veltrane.store.add.READ_BYTES", 10_000)
    src, repo = tmp_path / "src", tmp_path / "repo"
    _fill(src, 5, files=3, size=100_000)
    store = Store.init(repo, pack_size=64 << 10)
    store.add([src])
    _fill(src, 6, files=3, size=100_000)
    before = _listing(repo)

    def full(*args, **kwargs):
        raise OSError(errno.ENOSPC, os.strerror(errno.ENOSPC))

    if where.startswith("pack"):
        monkeypatch.setattr(PackWriter, "_flush", full)
    else:
        monkeypatch.setattr("veltrane.store.snapshot.write_atomic", full)
    with pytest.raises(StoreError, match="No space left on device$"):
        store.add([src])
    assert _listing(repo) == before
    monkeypatch.undo()
    assert store.add([src])["errors"] == []
    _healthy(store)


@pytest.mark.parametrize(
    ("config", "message"),
    [
        ({"format": "someone-else"}, "not a veltrane store"),
        ({"format": "veltrane-store", "version": 99}, "layout version 99"),
        (None, "not a store"),
    ],
)
def test_a_store_of_another_format_or_version_is_refused(tmp_path, config, message):
    repo = tmp_path / "repo"
    Store.init(repo)
    if config is None:
        (repo / "config").unlink()
    else:
        (repo / "config").write_text(json.dumps(config))
    before = _listing(repo)
    with pytest.raises(StoreError, match=message):
        Store(repo)
    assert _listing(repo) == before


def _store_with_two_files(tmp_path):
    src = tmp_path / "src"
    _fill(src, 7, files=2, size=50_000)
    store = Store.init(tmp_path / "repo", avg_size=1 << 20, pack_size=1)  # a pack per file
    store.add([src], name="s")
    return store, src


def test_a_missing_pack_is_named_and_the_rest_restores(tmp_path):
    store, src = _store_with_two_files(tmp_path)
    root = os.path.join(store.path, "packs")
    sub = sorted(os.listdir(root))[0]
    (victim,) = os.listdir(os.path.join(root, sub))
    os.unlink(os.path.join(root, sub, victim))
    problems = store.verify()["problems"]
    assert f"pack {victim[:16]}: missing" in problems
    assert sum(p.startswith("snapshot") for p in problems) == 1
    r = store.restore("s", tmp_path / "out")
    assert len(r["errors"]) == 1 and "is missing" in r["errors"][0][1]
    assert len(os.listdir(_restored(tmp_path / "out", src))) == 1
    # The next add stores the lost chunk again: its snapshot is whole.
    store.add([src], name="healed")
    assert store.restore("healed", tmp_path / "out2")["errors"] == []


def test_a_truncated_index_is_rebuilt_from_the_packs(tmp_path, capfd):
    store, src = _store_with_two_files(tmp_path)
    index = os.path.join(store.path, "index.sqlite")
    size = os.path.getsize(index)
    with open(index, "r+b") as f:
        f.truncate(size // 2)
    # A reader rebuilds it in memory, a writer on disk; both say so in one line.
    assert store.restore("s", tmp_path / "out")["errors"] == []
    assert "index is damaged" in capfd.readouterr().err
    assert store.add([src])["new_bytes"] == 0
    assert "index is damaged" in capfd.readouterr().err
    _healthy(store)
    assert "damaged" not in capfd.readouterr().err


def test_an_index_of_the_earlier_schema_is_rebuilt_and_nothing_stored_again(tmp_path, capfd):
    store, src = _store_with_two_files(tmp_path)
    path = os.path.join(store.path, "index.sqlite")
    os.unlink(path)
    # The earlier schema, literally: chunks named their pack by its 64-digit name.
    db = sqlite3.connect(path)
    db.executescript(
        "CREATE TABLE meta (key TEXT PRIMARY KEY, value TEXT NOT NULL);"
        "INSERT INTO meta VALUES ('format', 'veltrane-store'), ('version', '1');"
        "CREATE TABLE packs (name TEXT PRIMARY KEY, size INTEGER NOT NULL,"
        " chunks INTEGER NOT NULL);"
        "CREATE TABLE chunks (digest BLOB PRIMARY KEY, pack TEXT NOT NULL,"
        " offset INTEGER NOT NULL, stored INTEGER NOT NULL, raw INTEGER NOT NULL,"
        " kind INTEGER NOT NULL) WITHOUT ROWID;"
    )
    db.close()
    assert store.add([src])["new_bytes"] == 0
    assert "written by an earlier veltrane" in capfd.readouterr().err
    _healthy(store)
    assert "index" not in capfd.readouterr().err


def test_a_read_only_store_is_read_and_never_written(tmp_path):
    store, src = _store_with_two_files(tmp_path)
    before = _listing(store.path)
    for top, dirs, names in os.walk(store.path):
        for n in dirs + names:
            os.chmod(os.path.join(top, n), 0o555 if n in dirs else 0o444)
    os.chmod(store.path, 0o555)
    try:
        ro = Store(store.path)
        _healthy(ro)
        assert ro.restore("s", tmp_path / "out")["errors"] == []
        assert len(ro.ls("s")) > 2
        if os.geteuid() != 0:  # root writes anyway
            with pytest.raises(StoreError, match="read-only"):
                ro.add([src])
        else:
            assert ro.stats()["snapshots"] == 1
    finally:
        for top, dirs, _ in os.walk(store.path):
            for d in dirs:
                os.chmod(os.path.join(top, d), 0o755)
        os.chmod(store.path, 0o755)
    if os.geteuid() != 0:
        assert _listing(store.path) == before
